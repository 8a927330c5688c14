#include "publish_file.h"

#include "site_file.h"

#include <QLineEdit>

QString publish_file(const upload_view& view, const site_file& file) {
    return publish_copy(view, [&] {
        return put_target{file.local, remote_path_for(view.txt_ftpdir->text(), file.relative),
                          folders_below(file.relative)};
    });
}
