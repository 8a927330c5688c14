#pragma once

#include <QStringView>

// The window's titles read the same in every language, so none of them goes through tr(). So do
// the captions, labels and initial texts of the window's layout table, and the word by which the
// upload judges a response (success_marker, beside the response texts).
namespace fixed_text {

inline constexpr QStringView window_title = u"FTP - Server";
inline constexpr QStringView title_ok = u"O.K.";
inline constexpr QStringView title_failed = u"Fehler";

} // namespace fixed_text
