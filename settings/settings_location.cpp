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

} // namespace

QString settings_folder(const QString& program_dir, const QString& config_dir) {
    // Without a home there is no user's folder; Save beside the program then says why it fails.
    if (QFileInfo(settings_path(program_dir)).isFile() || QFileInfo(program_dir).isWritable() ||
        config_dir.isEmpty())
        return program_dir;
    return config_dir;
}

QString settings_folder() {
    return settings_folder(QCoreApplication::applicationDirPath(), user_config_dir());
}

void make_settings_folder(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    // The program's own folder holds the executable: if it is missing, Save says so.
    if (user_config_dir().isEmpty() || folder != QFileInfo(user_config_dir()).absoluteFilePath())
        return;
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error)
        throw settings_failure(QStringLiteral("Cannot save the settings to %1:\nthe folder %2 "
                                              "cannot be created: %3")
                                   .arg(QDir::toNativeSeparators(path),
                                        QDir::toNativeSeparators(folder),
                                        QString::fromLocal8Bit(error.message()))
                                   .toStdString());
}
