#pragma once

#include <QLocale>

// Installs our translation and Qt's own (the buttons of a message box) for `locale`, by default
// the system's as LANG, LC_MESSAGES or LANGUAGE name it. A language without a translation of
// ours reads English, the language of the source texts. Call once, after the application object
// exists.
void install_translations(const QLocale& locale = QLocale());
