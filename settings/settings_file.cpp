#include "settings_file.h"

#include <QByteArrayView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr qsizetype line_count = std::tuple_size_v<setting_boxes>;
constexpr qint64 read_piece_size = 64 * 1024;

enum class action { load, save };

[[noreturn]] void fail(action what, const QString& path, const QString& reason) {
    const QString doing = what == action::load ? QStringLiteral("Cannot read the settings from")
                                               : QStringLiteral("Cannot save the settings to");
    throw settings_failure(QStringLiteral("%1 %2:\n%3")
                               .arg(doing, QDir::toNativeSeparators(path), reason)
                               .toStdString());
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

// Up to six lines of the bytes that `more` hands out piece by piece, an empty piece at the end.
// A line ends at CR LF, CR or LF; a CR that ends the bytes so far waits for the next piece, whose
// first byte may be its LF. Nothing is asked for once the sixth line is complete.
std::vector<QByteArray> first_lines(const std::function<QByteArray()>& more) {
    std::vector<QByteArray> lines;
    QByteArray data;
    qsizetype start = 0;
    qsizetype scan = 0;
    bool at_end = false;
    while (std::ssize(lines) < line_count) {
        const char* begin = data.constData();
        const qsizetype end = std::find_if(begin + scan, begin + data.size(),
                                           [](char c) { return c == '\r' || c == '\n'; }) -
                              begin;
        if (end < data.size() && (at_end || end + 1 < data.size() || data[end] == '\n')) {
            lines.push_back(data.sliced(start, end - start));
            const bool crlf = data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n';
            start = scan = end + (crlf ? 2 : 1);
            continue;
        }
        if (at_end) {
            if (start < data.size())
                lines.push_back(data.sliced(start));
            break;
        }
        scan = end;
        const QByteArray piece = more();
        at_end = piece.isEmpty();
        data += piece;
    }
    return lines;
}

// Through ICU; a Qt without it must not fall back to Latin-1 unnoticed.
template <class Converter> Converter windows_1252(action what, const QString& path) {
    Converter converter("windows-1252", QStringConverter::Flag::Stateless);
    if (!converter.isValid())
        fail(what, path, QStringLiteral("this Qt offers no Windows-1252 conversion (no ICU)."));
    return converter;
}

// Valid UTF-8 is read as UTF-8 (for pure ASCII that is the same as Windows-1252), anything else
// as Windows-1252, in which the original program wrote.
QStringList decode_lines(const std::vector<QByteArray>& lines, action what, const QString& path) {
    // Joined with LF, which no line holds, so that a byte-order mark counts only at the start.
    QByteArray joined;
    for (const QByteArray& line : lines)
        joined += line + '\n';
    joined.chop(1);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(joined);
    if (utf8.hasError())
        text = windows_1252<QStringDecoder>(what, path).decode(joined);
    return text.split(u'\n');
}

QStringList read_back(const QByteArray& bytes, const QString& path) {
    bool handed_out = false;
    const auto lines =
        first_lines([&] { return std::exchange(handed_out, true) ? QByteArray() : bytes; });
    return decode_lines(lines, action::save, path);
}

QByteArray file_bytes(const QStringList& texts, QStringEncoder&& encoder) {
    QByteArray bytes;
    for (const QString& text : texts)
        bytes += encoder.encode(text) + "\r\n";
    return bytes;
}

bool is_ascii(QByteArrayView bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Windows-1252 as the original program wrote, or UTF-8 where that would not read back as typed
// (a character it lacks, or bytes that would pass for UTF-8); nothing that reads back otherwise.
QByteArray encode_settings(const QStringList& texts, const QString& path) {
    const QByteArray as_utf8 =
        file_bytes(texts, QStringEncoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless));
    if (!is_ascii(as_utf8)) {
        const QByteArray as_1252 =
            file_bytes(texts, windows_1252<QStringEncoder>(action::save, path));
        if (read_back(as_1252, path) == texts)
            return as_1252;
    }
    const QStringList back = read_back(as_utf8, path);
    if (back == texts)
        return as_utf8;
    const auto wrong = std::mismatch(texts.begin(), texts.end(), back.begin(), back.end()).first;
    fail(action::save, path,
         QStringLiteral("setting %1 of %2 holds a line break or a character that the file cannot "
                        "hold; nothing was saved.")
             .arg(wrong - texts.begin() + 1)
             .arg(line_count));
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

} // namespace

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
             QStringLiteral("it holds only %1 of %2 lines.").arg(lines.size()).arg(line_count));
    const QStringList texts = decode_lines(lines, action::load, path);
    for (qsizetype i = 0; i < line_count; ++i)
        boxes[i]->setText(texts[i]);
}

void save_settings(const QString& path, const setting_boxes& boxes) {
    QStringList texts;
    for (const QLineEdit* box : boxes)
        texts += box->text();
    const QByteArray bytes = encode_settings(texts, path);

    const bool is_new = !QFileInfo::exists(path);
    QSaveFile file(path);
    // Unbuffered, so that a short write shows in write()'s result, not in a flush inside commit().
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        abandon(file, path);
    // The password stands in plain text; QSaveFile already keeps an existing file's permissions.
    if (is_new && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        abandon(file, path);
    write_all(file, bytes, path);
    if (!file.commit())
        abandon(file, path);
}
