#include "site_file.h"

#include "put_command.h"
#include "site_listing.h"
#include "upload_text.h"

#include <QFileInfo>

namespace {

transfer_error refused(const QString& why) {
    return {transfer_error::kind::refused, why};
}

// Links and ".." resolved as the system resolves them, never by the letters: "a/link/../b" is
// where the link leads. A missing file cannot be resolved itself: the part of its path that
// exists is, and the rest, which must not climb, follows. Empty when it climbs.
QString resolved(const QString& path) {
    QString existing = path;
    QStringList rest;
    while (!QFileInfo::exists(existing)) {
        const qsizetype slash = existing.lastIndexOf(u'/');
        if (slash < 0)
            return {};
        rest.prepend(existing.mid(slash + 1));
        existing = slash > 0 ? existing.left(slash) : QStringLiteral("/");
    }
    if (rest.contains(QStringLiteral("..")))
        return {};
    const QString found = QFileInfo(existing).canonicalFilePath();
    return rest.isEmpty() ? found : found + u'/' + rest.join(u'/');
}

} // namespace

transfer_result<site_file> site_file_for(const QString& local_dir, const QString& path) {
    if (const QString fault = local_directory_fault(local_dir); !fault.isEmpty())
        return refused(fault);
    const QString root = QFileInfo(local_dir).canonicalFilePath();
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    const auto outside = [&] {
        return refused(upload_text::tr("%1 lies outside the local directory %2").arg(path, root));
    };
    const QString file = resolved(path);
    if (!file.startsWith(prefix))
        return outside();
    if (QFileInfo(file).isDir())
        return refused(upload_text::tr("%1 is a folder, not a file").arg(path));
    // Named as given: a link goes to the server under its own name, not its target's. Only its
    // folder is resolved, and that must lie inside too.
    QString relative = file.mid(prefix.size());
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString name = path.mid(slash + 1);
    if (slash >= 0 && !name.isEmpty() && name != u"." && name != u"..") {
        const QString folder = resolved(slash > 0 ? path.left(slash) : QStringLiteral("/"));
        const QString below = folder.endsWith(u'/') ? folder : folder + u'/';
        if (!below.startsWith(prefix))
            return outside();
        relative = below.mid(prefix.size()) + name;
    }
    if (has_control_character(relative))
        return refused(upload_text::tr("%1 holds a control character in its name").arg(path));
    return site_file{file, relative};
}

QString remote_path_for(const QString& remote_dir, const QString& relative) {
    if (remote_dir.isEmpty() || remote_dir.endsWith(u'/'))
        return remote_dir + relative;
    return remote_dir + u'/' + relative;
}

int folders_below(const QString& relative) {
    return static_cast<int>(relative.count(u'/'));
}
