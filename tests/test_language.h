#pragma once

#include <QString>
#include <QtGlobal>

// Some tests run a second time under a German locale (tests/CMakeLists.txt): a text of ours is
// expected in the language that LANG names, German or else English.
inline QString in_language(const QString& english, const QString& german) {
    return qEnvironmentVariable("LANG").startsWith(u"de") ? german : english;
}
