#pragma once

#include <QByteArray>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

// The bytes of ftpserver.ini: six lines, each ended by CR LF, in Windows-1252 as the original
// program wrote them, or in UTF-8 where that character set cannot hold a setting.
inline constexpr qsizetype settings_line_count = 6;

// Up to six lines of the bytes that `more` hands out piece by piece, an empty piece at the end.
// A line ends at CR LF, CR or LF; a CR that ends the bytes so far waits for the next piece, whose
// first byte may be its LF. Nothing is asked for once the sixth line is complete.
std::vector<QByteArray> first_lines(const std::function<QByteArray()>& more);

// Valid UTF-8 is read as UTF-8 (for pure ASCII the same as Windows-1252), anything else as
// Windows-1252. That comes through ICU: without it such lines give nullopt, never Latin-1
// unnoticed.
std::optional<QStringList> decode_lines(const std::vector<QByteArray>& lines);

struct encoded_settings {
    QByteArray bytes;
    qsizetype unfit = -1; // the first setting (from 0) that the file cannot hold; -1: none
};

// Windows-1252, or UTF-8 where that would not read back as typed (a character it lacks, or bytes
// that would pass for UTF-8); never bytes that read back otherwise than the texts.
encoded_settings encode_settings(const QStringList& texts);
