#include "safe_publish.h"

#include "response_text.h"

#include <QCoreApplication>
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
    Q_DECLARE_TR_FUNCTIONS(upload)

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
    QString upload_failed() const { return tr("upload failed: %1").arg(directory.last_failure()); }
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
        return {false, upload_failed()};
    case step_result::cut:
        return failed_removing_temporary(upload_failed());
    }
    if (const auto fault = size_fault(temporary))
        return failed_removing_temporary(tr("%1; the page stays as it was").arg(*fault));

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
            return {false, tr("renaming failed: %1; %2").arg(why, leftover_text())};
        return direct();
    }
    case step_result::broken:
    case step_result::cut:
        break;
    }
    return failed_removing_temporary(
        tr("renaming %1 to %2 failed: %3").arg(temporary, page, directory.last_failure()));
}

publish_outcome publisher::direct() {
    // Written under the live name: once data flowed, a failure may leave half a page behind.
    const auto incomplete = [](const QString& failure) {
        return tr("%1; the page on the server may now be incomplete (it was written directly under "
                  "its name, because the server refuses the temporary name)")
            .arg(failure);
    };
    const step_result stored = directory.store(page);
    if (stored != step_result::done)
        return {false, stored == step_result::cut ? incomplete(upload_failed()) : upload_failed()};
    if (const auto fault = size_fault(page))
        return {false, incomplete(*fault)};
    return succeeded(true);
}

publish_outcome publisher::succeeded(bool direct) const {
    // Every language's text holds the marker, which tells success from failure; in English it
    // stands in brackets as the program's own word for the outcome.
    //: %2 is the word "erfolgreich" that marks every success, in every language: keep it.
    const QString text = direct ? tr("%1 bytes uploaded and verified (%2), directly under the "
                                     "page's name: the server refuses the temporary name")
                                //: %2 is the word "erfolgreich" that marks every success.
                                : tr("%1 bytes uploaded and verified (%2)");
    return {true, text.arg(QString::number(local_size), success_marker.toString())};
}

bool publisher::remove_temporary() {
    const step_result removed = directory.remove(temporary);
    // A refusal may only mean that nothing was stored; ask before calling it a leftover.
    return removed == step_result::done ||
           (removed != step_result::cut && removed != step_result::broken &&
            !directory.size_of(temporary));
}

QString publisher::leftover_text() const {
    return tr("the temporary file %1 could not be deleted: %2")
        .arg(temporary, directory.last_failure());
}

publish_outcome publisher::failed_removing_temporary(QString text) {
    if (!remove_temporary())
        text += u"; "_s + leftover_text();
    return {false, text};
}

std::optional<QString> publisher::size_fault(const QString& name) {
    const std::optional<std::int64_t> remote = directory.size_of(name);
    if (!remote)
        return tr("error: the size of %1 on the server is unknown: %2")
            .arg(name, directory.last_failure());
    if (*remote != local_size)
        return tr("error: %1 bytes on the server, %2 bytes here")
            .arg(QString::number(*remote), QString::number(local_size));
    return std::nullopt;
}

} // namespace

publish_outcome publish_page(remote_directory& directory, const QString& page,
                             std::int64_t local_size) {
    return publisher(directory, page, local_size).run();
}
