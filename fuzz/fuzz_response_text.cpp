// A server's reply line, quoted in a failure's text beside the program's own words, shows
// neither the password nor the success marker, holds no control characters, stays bounded, and
// its tooltip is plain text that loses no character.
#include "property.h"
#include "response_text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QString>
#include <QTextDocument>
#include <algorithm>
#include <cstdint>
#include <string>

namespace {

bool is_control(QChar c) {
    return c.category() == QChar::Other_Control;
}

QString without(QString text, QStringView characters) {
    text.removeIf([characters](QChar c) { return characters.contains(c); });
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const QString password = QString::fromStdString(input.ConsumeRandomLengthString(32));
    const QString own_words = QString::fromStdString(input.ConsumeRandomLengthString(64));
    const std::string line = input.ConsumeRemainingBytesAsString();

    const QString reply = server_text(line);
    REQUIRE(std::none_of(reply.begin(), reply.end(), is_control));
    const QString shown =
        failure_text(own_words + QStringLiteral("; last server reply: ") + reply, password);
    REQUIRE(std::none_of(shown.begin(), shown.end(), is_control));
    // Whatever capitalisation the server chose comes out in capitals, which the outcome test
    // does not take for the marker.
    for (qsizetype at = shown.indexOf(success_marker, 0, Qt::CaseInsensitive); at >= 0;
         at = shown.indexOf(success_marker, at + 1, Qt::CaseInsensitive))
        REQUIRE(shown.mid(at, success_marker.size()) == success_marker.toString().toUpper());
    const qsizetype cut_notice_limit = 40;
    REQUIRE(shown.size() <= shown_text_limit + cut_notice_limit);
    // The password as the screen would show it, unless the mask's stars could form it.
    const QString visible_password = server_text(password.toStdString());
    if (!visible_password.isEmpty() && !visible_password.contains(u'*'))
        REQUIRE(!shown.left(shown_text_limit).contains(visible_password));

    const QString tooltip = tooltip_for(shown);
    REQUIRE(!Qt::mightBeRichText(tooltip));
    REQUIRE(without(tooltip, u" \n") == without(QStringLiteral("Last upload:") + shown, u" \n"));
    return 0;
}
