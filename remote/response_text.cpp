#include "response_text.h"

#include "upload_text.h"

#include <QStringList>
#include <QTextDocument>
#include <utility>

namespace {

constexpr qsizetype tooltip_line_length = 100;

// Control characters could forge lines or hide text, and so could the bidirectional overrides.
bool is_unsafe(QChar c) {
    const char16_t u = c.unicode();
    return c.category() == QChar::Other_Control || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2066 && u <= 0x2069);
}

QString without_unsafe_characters(QString text) {
    for (QChar& c : text)
        if (is_unsafe(c))
            c = QChar::ReplacementCharacter;
    return text;
}

QString capped(QString text) {
    if (text.size() <= shown_text_limit)
        return text;
    const qsizetype cut = text.size() - shown_text_limit;
    text.truncate(shown_text_limit);
    return text + upload_text::tr(" [%1 more characters cut]").arg(cut);
}

// Greedy at blanks; a word longer than a line is broken inside.
QStringList wrapped(const QString& text) {
    QStringList lines;
    QString line;
    for (QString word : text.split(u' ')) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > tooltip_line_length) {
            lines += line;
            line.clear();
        }
        while (word.size() > tooltip_line_length) {
            if (!line.isEmpty())
                lines += std::exchange(line, QString());
            lines += word.left(tooltip_line_length);
            word.remove(0, tooltip_line_length);
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    lines += line;
    return lines;
}

} // namespace

QString server_text(std::string_view line) {
    const QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
    return capped(without_unsafe_characters(text));
}

QString failure_text(QString text, const QString& password) {
    // Masked as it would be shown: a password with a character that is replaced on the way
    // (a DEL, a bidirectional override) would otherwise show all its other characters.
    const QString shown_password = without_unsafe_characters(password);
    text = without_unsafe_characters(std::move(text));
    const auto mask = [&text, &shown_password] {
        if (!shown_password.isEmpty())
            text.replace(shown_password, QStringLiteral("****"));
    };
    mask();
    const QString marker = success_marker.toString();
    text.replace(marker, marker.toUpper(), Qt::CaseInsensitive);
    // Upper-casing may have formed the password anew.
    mask();
    return capped(text);
}

QString failed_upload_text(const QString& reason, const QString& password) {
    return failure_text(upload_text::tr("upload failed: %1").arg(reason), password);
}

QString tooltip_for(const QString& response) {
    if (response.isEmpty())
        return {};
    const QString tooltip = upload_text::tr("Last upload:") + u'\n' + wrapped(response).join(u'\n');
    // Qt looks for markup before the first line break only; should that ever change, escaped
    // rich text still shows every character as it is.
    return Qt::mightBeRichText(tooltip) ? Qt::convertFromPlainText(tooltip) : tooltip;
}
