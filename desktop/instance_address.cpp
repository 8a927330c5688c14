#include "instance_address.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace {

struct desktop_text final {
    Q_DECLARE_TR_FUNCTIONS(desktop)
};

QString hashed(const QString& text, qsizetype length) {
    const QByteArray hash =
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QString::fromLatin1(hash.left(length));
}

// Empty when `folder` is a folder of its own, that only its owner may enter, and that owner is
// this user: a file made in it is theirs.
QString private_folder_fault(const QString& folder) {
    QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QFileInfo info(folder);
    if (info.isSymLink() || !info.isDir())
        return desktop_text::tr("%1 is not a folder").arg(folder);
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    if (info.permissions() & others)
        return desktop_text::tr("%1 is open to other users").arg(folder);
    QTemporaryFile mine(folder + QStringLiteral("/owner-XXXXXX"));
    if (!mine.open() || QFileInfo(mine.fileName()).ownerId() != info.ownerId())
        return desktop_text::tr("%1 belongs to another user").arg(folder);
    return {};
}

} // namespace

instance_address instance_address_for(const QString& settings_file) {
    // The path's hash keeps the name short enough for a socket.
    const QString file_name =
        QStringLiteral("ftp-publisher-") + hashed(QDir::cleanPath(settings_file), 32);
    // Not Qt's runtime location: without XDG_RUNTIME_DIR it warns on stderr, which a script reads.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return {runtime + u'/' + file_name, {}};
#ifdef Q_OS_WIN
    // Named pipes: nothing in the file system that another user could put in the way.
    return {QDir::tempPath() + u'/' + file_name, {}};
#else
    const QString folder =
        QDir::tempPath() + QStringLiteral("/ftp-publisher-") + hashed(QDir::homePath(), 16);
    return {folder + u'/' + file_name, private_folder_fault(folder)};
#endif
}
