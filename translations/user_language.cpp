#include "user_language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace {

QTranslator* installed(const QLocale& locale, const QString& name, const QString& directory) {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(locale, name, QStringLiteral("_"), directory) &&
        QCoreApplication::installTranslator(translator))
        return translator;
    delete translator;
    return nullptr;
}

} // namespace

void install_translations() {
    const QTranslator* ours =
        installed(QLocale(), QStringLiteral("ftp_publisher"), QStringLiteral(":/i18n"));
    // Qt's own texts only in a language of ours, so that a window never mixes two.
    if (ours)
        installed(QLocale(ours->language()), QStringLiteral("qtbase"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}
