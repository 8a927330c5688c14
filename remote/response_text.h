#pragma once

#include <QString>
#include <QStringView>
#include <string_view>

// The word the outcome test looks for: a response text holds it only after a verified upload.
inline constexpr QStringView success_marker = u"erfolgreich";

// How much of a failure's text is kept; the rest is cut, and the text says so.
inline constexpr qsizetype shown_text_limit = 2000;

// One reply line of a server, as bytes from the wire, for quoting in a failure's text.
QString server_text(std::string_view line);

// A failure's text as people read it and the outcome test judges it: never the password, never
// the marker in any capitalisation, no control characters, at most shown_text_limit characters.
QString failure_text(QString text, const QString& password);

// The response text of an upload that failed for `reason`: "upload failed: " before it, shown
// as failure_text shows it.
QString failed_upload_text(const QString& reason, const QString& password);

// The tooltip for a response text. A tooltip that merely looks like markup is shown as rich text,
// so the response stays below a plain first line; long lines are wrapped.
QString tooltip_for(const QString& response);
