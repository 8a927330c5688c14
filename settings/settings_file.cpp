#include "settings_file.h"

#include "settings_format.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSaveFile>
#include <QStringList>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr qsizetype line_count = std::tuple_size_v<setting_boxes>;
static_assert(line_count == settings_line_count);
constexpr qint64 read_piece_size = 64 * 1024;

enum class action { load, save };

struct settings_text final {
    Q_DECLARE_TR_FUNCTIONS(settings)
};

[[noreturn]] void fail(action what, const QString& path, const QString& reason) {
    const QString text = what == action::load
                             ? settings_text::tr("Cannot read the settings from %1:\n%2")
                             : settings_text::tr("Cannot save the settings to %1:\n%2");
    throw settings_failure(text.arg(QDir::toNativeSeparators(path), reason).toStdString());
}

bool settings_file_exists(const QString& path) {
    if (!QFileInfo(path).isFile())
        return false;
#ifdef Q_OS_WIN
    const DWORD attributes =
        GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()));
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
        return false;
#endif
    return true;
}

// Leaves the old file as it was.
[[noreturn]] void abandon(QSaveFile& file, const QString& path) {
    const QString reason = file.errorString();
    file.cancelWriting();
    fail(action::save, path, reason);
}

// QSaveFile::write may take fewer bytes than it was given (a full disk) without flagging an
// error, and commit() would then put the truncated file in place; writing the rest again brings
// out the system's reason.
void write_all(QSaveFile& file, QByteArrayView bytes, const QString& path) {
    while (!bytes.isEmpty()) {
        const qint64 written = file.write(bytes.data(), bytes.size());
        if (written <= 0)
            abandon(file, path);
        bytes = bytes.sliced(written);
    }
}

constexpr qsizetype password_line = 2;

encoded_settings encode_or_fail(const QString& path, const setting_boxes& boxes,
                                password_place place) {
    QStringList texts;
    for (const QLineEdit* box : boxes)
        texts += box->text();
    if (place == password_place::keyring)
        texts[password_line].clear();
    encoded_settings encoded = encode_settings(texts);
    if (encoded.unfit >= 0)
        fail(action::save, path,
             settings_text::tr(
                 "setting %1 of %2 holds a line break or a character that the file cannot "
                 "hold; nothing was saved.")
                 .arg(encoded.unfit + 1)
                 .arg(line_count));
    return encoded;
}

} // namespace

void fail_to_save(const QString& path, const QString& reason) {
    fail(action::save, path, reason);
}

QString settings_path(const QString& directory) {
    return QDir(directory).filePath(QStringLiteral("ftpserver.ini"));
}

void load_settings(const QString& path, const setting_boxes& boxes) {
    if (!settings_file_exists(path))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(action::load, path, file.errorString());
    const auto lines = first_lines([&] {
        QByteArray piece(read_piece_size, Qt::Uninitialized);
        const qint64 got = file.read(piece.data(), piece.size());
        if (got < 0)
            fail(action::load, path, file.errorString());
        piece.truncate(got);
        return piece;
    });
    if (std::ssize(lines) < line_count)
        fail(action::load, path,
             settings_text::tr("it holds only %1 of %2 lines.").arg(lines.size()).arg(line_count));
    const std::optional<QStringList> texts = decode_lines(lines);
    if (!texts)
        fail(action::load, path,
             settings_text::tr("this Qt offers no Windows-1252 conversion (no ICU)."));
    for (qsizetype i = 0; i < line_count; ++i)
        boxes[i]->setText((*texts)[i]);
}

void check_settings_fit(const QString& path, const setting_boxes& boxes) {
    encode_or_fail(path, boxes, password_place::file);
}

void save_settings(const QString& path, const setting_boxes& boxes, password_place place) {
    const encoded_settings encoded = encode_or_fail(path, boxes, place);

    const bool is_new = !QFileInfo::exists(path);
    QSaveFile file(path);
    // Unbuffered, so that a short write shows in write()'s result, not in a flush inside commit().
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        abandon(file, path);
    // The password may stand in plain text; QSaveFile already keeps an existing file's
    // permissions.
    if (is_new && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        abandon(file, path);
    write_all(file, encoded.bytes, path);
    if (!file.commit())
        abandon(file, path);
}
