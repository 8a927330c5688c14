#include "settings_file.h"

#include <QDir>

QString settings_path(const QString& directory) {
    return QDir(directory).filePath(QStringLiteral("ftpserver.ini"));
}

void load_settings(const QString&, const setting_boxes&) {
}
void save_settings(const QString&, const setting_boxes&) {
}
