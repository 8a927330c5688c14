#include "settings_format.h"

#include <QByteArrayView>
#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>
#include <iterator>
#include <utility>

namespace {

constexpr const char* windows_1252_name = "windows-1252";

QByteArray file_bytes(const QStringList& texts, QStringEncoder&& encoder) {
    QByteArray bytes;
    for (const QString& text : texts)
        bytes += encoder.encode(text) + "\r\n";
    return bytes;
}

std::optional<QStringList> read_back(const QByteArray& bytes) {
    bool handed_out = false;
    return decode_lines(
        first_lines([&] { return std::exchange(handed_out, true) ? QByteArray() : bytes; }));
}

bool is_ascii(QByteArrayView bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

std::vector<QByteArray> first_lines(const std::function<QByteArray()>& more) {
    std::vector<QByteArray> lines;
    QByteArray data;
    qsizetype start = 0;
    qsizetype scan = 0;
    bool at_end = false;
    while (std::ssize(lines) < settings_line_count) {
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

std::optional<QStringList> decode_lines(const std::vector<QByteArray>& lines) {
    // Joined with LF, which no line holds, so that a byte-order mark counts only at the start.
    QByteArray joined;
    for (const QByteArray& line : lines)
        joined += line + '\n';
    joined.chop(1);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(joined);
    if (utf8.hasError()) {
        QStringDecoder windows_1252(windows_1252_name, QStringConverter::Flag::Stateless);
        if (!windows_1252.isValid())
            return std::nullopt;
        text = windows_1252.decode(joined);
    }
    return text.split(u'\n');
}

encoded_settings encode_settings(const QStringList& texts) {
    const QByteArray as_utf8 =
        file_bytes(texts, QStringEncoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless));
    QStringEncoder windows_1252(windows_1252_name, QStringConverter::Flag::Stateless);
    if (!is_ascii(as_utf8) && windows_1252.isValid()) {
        const QByteArray as_1252 = file_bytes(texts, std::move(windows_1252));
        if (read_back(as_1252) == texts)
            return {as_1252};
    }
    const QStringList back = read_back(as_utf8).value_or(QStringList());
    if (back == texts)
        return {as_utf8};
    const auto wrong = std::mismatch(texts.begin(), texts.end(), back.begin(), back.end()).first;
    return {{}, std::distance(texts.begin(), wrong)};
}
