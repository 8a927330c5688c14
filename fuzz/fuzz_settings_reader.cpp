// The bytes of a settings file, handed out in pieces whose sizes the input chooses too (a CR at
// a piece's end must wait for the next piece), give the same lines as when read whole; the
// texts decode to what encoding gives back. The last byte chooses between a file and six texts
// of raw UTF-16 to be saved.
#include "property.h"
#include "settings_format.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<QByteArray> read_whole(const QByteArray& bytes) {
    bool handed_out = false;
    return first_lines([&] { return std::exchange(handed_out, true) ? QByteArray() : bytes; });
}

bool holds_line_break(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
}

// What no file can give back: a line break, half of a surrogate pair, or a byte-order mark
// where the file starts (the reader drops it).
bool plainly_unfit(const QString& text, qsizetype index) {
    if (holds_line_break(text) || (index == 0 && text.startsWith(QChar(0xFEFF))))
        return true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}

void check_round_trip(const QStringList& texts) {
    const encoded_settings encoded = encode_settings(texts);
    qsizetype first_unfit = -1;
    for (qsizetype i = 0; i < texts.size() && first_unfit < 0; ++i)
        if (plainly_unfit(texts[i], i))
            first_unfit = i;
    REQUIRE(encoded.unfit == first_unfit);
    if (encoded.unfit >= 0) {
        REQUIRE(encoded.bytes.isEmpty());
        return;
    }
    REQUIRE(decode_lines(read_whole(encoded.bytes)) == texts);
}

void check_file(FuzzedDataProvider& input) {
    std::vector<QByteArray> pieces;
    QByteArray whole;
    while (input.remaining_bytes() > 0) {
        const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 64);
        pieces.push_back(QByteArray::fromStdString(input.ConsumeBytesAsString(length)));
        whole += pieces.back();
    }
    std::size_t next = 0;
    bool ended = false;
    const std::vector<QByteArray> lines = first_lines([&] {
        REQUIRE(!ended); // asked again after the end
        if (next == pieces.size()) {
            ended = true;
            return QByteArray();
        }
        return pieces[next++];
    });
    REQUIRE(lines == read_whole(whole));
    REQUIRE(std::ssize(lines) <= settings_line_count);
    if (lines.empty())
        return;
    for (const QByteArray& line : lines)
        REQUIRE(!line.contains('\r') && !line.contains('\n'));

    const std::optional<QStringList> texts = decode_lines(lines);
    REQUIRE(texts.has_value()); // Debian's Qt has ICU
    REQUIRE(texts->size() == std::ssize(lines));
    check_round_trip(*texts);
}

void check_texts(FuzzedDataProvider& input) {
    QStringList texts;
    for (qsizetype i = 0; i < settings_line_count; ++i) {
        const std::string bytes = input.ConsumeRandomLengthString(64);
        std::u16string units(bytes.size() / 2, u'\0');
        std::memcpy(units.data(), bytes.data(), units.size() * 2);
        texts += QString::fromStdU16String(units);
    }
    check_round_trip(texts);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool())
        check_texts(input);
    else
        check_file(input);
    return 0;
}
