#include "safe_publish.h"

#include <QRandomGenerator>

using namespace Qt::Literals::StringLiterals;

namespace {

// The hidden name the new file is stored under until it is complete.
QString temporary_name_for(const QString& page) {
    const quint32 random = QRandomGenerator::system()->generate();
    // One arg() call: a "%1" inside the page's name must stay as it is.
    return u".%1.partial-%2"_s.arg(page, QString::number(random, 16).rightJustified(8, u'0'));
}

class publisher final {
public:
    publisher(remote_directory& directory, const QString& page, std::int64_t local_size)
        : directory(directory), page(page), local_size(local_size),
          temporary(temporary_name_for(page)) {}

    publish_outcome run();

private:
    publish_outcome direct();
    publish_outcome succeeded(bool direct) const;
    publish_outcome failed_removing_temporary(QString text);
    bool remove_temporary();
    QString leftover_text() const;
    std::optional<QString> size_fault(const QString& name);

    remote_directory& directory;
    const QString page;
    const std::int64_t local_size;
    const QString temporary;
};

publish_outcome publisher::run() {
    switch (directory.store(temporary)) {
    case step_result::done:
        break;
    case step_result::refused:
    case step_result::name_refused:
        return direct();
    case step_result::broken:
        return {false, u"Fehler beim Hochladen: "_s + directory.last_failure()};
    case step_result::cut:
        return failed_removing_temporary(u"Fehler beim Hochladen: "_s + directory.last_failure());
    }
    if (const auto fault = size_fault(temporary))
        return failed_removing_temporary(*fault + u"; die Seite bleibt unverändert"_s);

    step_result renamed = directory.rename(temporary, page);
    if (renamed == step_result::refused) {
        // Some servers will not rename onto an existing file: keep the time without a page short.
        const step_result removed = directory.remove(page);
        const bool lost = removed == step_result::broken || removed == step_result::cut;
        renamed = lost ? removed : directory.rename(temporary, page);
    }
    switch (renamed) {
    case step_result::done:
        return succeeded(false);
    case step_result::refused:
    case step_result::name_refused: {
        // The page may be gone by now; the direct upload puts it back.
        const QString why = directory.last_failure();
        if (!remove_temporary())
            return {false, u"Fehler beim Umbenennen: %1; %2"_s.arg(why, leftover_text())};
        return direct();
    }
    case step_result::broken:
    case step_result::cut:
        break;
    }
    return failed_removing_temporary(u"Fehler beim Umbenennen von %1 in %2: %3"_s.arg(
        temporary, page, directory.last_failure()));
}

publish_outcome publisher::direct() {
    // Written under the live name: once data flowed, a failure may leave half a page behind.
    const QString incomplete = u"; die Seite auf dem Server kann jetzt unvollständig sein (sie "
                               u"wurde direkt unter ihrem Namen geschrieben, weil der Server den "
                               u"temporären Namen ablehnt)"_s;
    const step_result stored = directory.store(page);
    if (stored != step_result::done)
        return {false, u"Fehler beim Hochladen: "_s + directory.last_failure() +
                           (stored == step_result::cut ? incomplete : QString())};
    if (const auto fault = size_fault(page))
        return {false, *fault + incomplete};
    return succeeded(true);
}

publish_outcome publisher::succeeded(bool direct) const {
    QString text = u"Übertragung erfolgreich: %1 Bytes, geprüft"_s.arg(local_size);
    if (direct)
        text += u" (direkt unter dem Seitennamen, der Server lehnt den temporären Namen ab)"_s;
    return {true, text};
}

bool publisher::remove_temporary() {
    const step_result removed = directory.remove(temporary);
    // A refusal may only mean that nothing was stored; ask before calling it a leftover.
    return removed == step_result::done ||
           (removed != step_result::cut && removed != step_result::broken &&
            !directory.size_of(temporary));
}

QString publisher::leftover_text() const {
    return u"die temporäre Datei %1 ließ sich nicht löschen: %2"_s.arg(temporary,
                                                                       directory.last_failure());
}

publish_outcome publisher::failed_removing_temporary(QString text) {
    if (!remove_temporary())
        text += u"; "_s + leftover_text();
    return {false, text};
}

std::optional<QString> publisher::size_fault(const QString& name) {
    const std::optional<std::int64_t> remote = directory.size_of(name);
    if (!remote)
        return u"Fehler: Größe von %1 auf dem Server nicht feststellbar: %2"_s.arg(
            name, directory.last_failure());
    if (*remote != local_size)
        return u"Fehler: auf dem Server %1 Bytes, lokal %2 Bytes"_s.arg(*remote).arg(local_size);
    return std::nullopt;
}

} // namespace

publish_outcome publish_page(remote_directory& directory, const QString& page,
                             std::int64_t local_size) {
    return publisher(directory, page, local_size).run();
}
