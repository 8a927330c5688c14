#pragma once

// Installs our translation for the system's language (as LANG, LC_MESSAGES or LANGUAGE name
// it), and Qt's own (the buttons of a message box) in the same language. Where we have no
// translation, everything reads English, the language of the source texts. Call once, after the
// application object exists.
void install_translations();
