#include "settings_location.h"

#include "settings_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

namespace {

QString user_config_dir() {
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

// An installed copy has its menu entry in the share folder beside its bin folder. Its folder is
// no place for one user's settings even where that user may write (root and /usr/bin): every
// other user would then find a file there that is not theirs.
bool installed(const QString& program_dir) {
    return QFileInfo::exists(
        QDir(program_dir).filePath(QStringLiteral("../share/applications/" APP_ID ".desktop")));
}

} // namespace

QString settings_folder(const QString& program_dir, const QString& config_dir) {
    // Without a home there is no user's folder; Save beside the program then says why it fails.
    if (QFileInfo(settings_path(program_dir)).isFile() || config_dir.isEmpty() ||
        (QFileInfo(program_dir).isWritable() && !installed(program_dir)))
        return program_dir;
    return config_dir;
}

QString settings_folder() {
    return settings_folder(QCoreApplication::applicationDirPath(), user_config_dir());
}

void make_settings_folder(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    const QString config_dir = user_config_dir();
    // The program's own folder holds the executable: if it is missing, Save says so.
    if (config_dir.isEmpty() || folder != QFileInfo(config_dir).absoluteFilePath())
        return;
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error)
        fail_to_save(
            path,
            QCoreApplication::translate("settings", "the folder %1 cannot be created: %2")
                .arg(QDir::toNativeSeparators(folder), QString::fromLocal8Bit(error.message())));
}
