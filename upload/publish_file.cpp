#include "publish_file.h"

#include "site_file.h"

#include <QLineEdit>

put_outcome put_file(const upload_view& view, const site_file& file) {
    return put_copy(view, [&] {
        return put_target{file.local, remote_path_for(view.txt_ftpdir->text(), file.relative),
                          folders_below(file.relative)};
    });
}
