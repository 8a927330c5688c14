#include "safe_publish.h"

#include "response_text.h"
#include "upload_text.h"

#include <QRandomGenerator>
#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

using kind = transfer_error::kind;

// The hidden name the new file is stored under until it is complete.
QString temporary_name_for(const QString& page) {
    const quint32 random = QRandomGenerator::system()->generate();
    // One arg() call: a "%1" inside the page's name must stay as it is.
    return u".%1.partial-%2"_s.arg(page, QString::number(random, 16).rightJustified(8, u'0'));
}

bool lost_connection(const transfer_error& error) {
    return error.what == kind::broken || error.what == kind::cut || error.what == kind::lost;
}

class publisher final {
public:
    publisher(remote_directory& directory, const QString& page, std::int64_t local_size,
              server_habits& habits, int new_folders)
        : directory(directory), page(page), local_size(local_size), habits(habits),
          new_folders(new_folders), temporary(temporary_name_for(page)) {}

    transfer_result<QString> run();

private:
    transfer_error store_visible_temporary(const transfer_error& hidden_refused);
    transfer_result<QString> replace_page();
    transfer_result<QString> page_may_be_gone(const transfer_error& why);
    transfer_result<QString> direct();
    QString succeeded(bool direct) const;
    static transfer_error page_unchanged(transfer_error error);
    transfer_error failed_removing_temporary(transfer_error error);
    transfer_error remove_temporary();
    QString leftover_text(const transfer_error& why) const;
    transfer_error size_fault(const QString& name);

    remote_directory& directory;
    const QString page;
    const std::int64_t local_size;
    server_habits& habits;
    const int new_folders;
    QString temporary;
};

transfer_result<QString> publisher::run() {
    transfer_error stored = directory.store(temporary);
    // A refused name may mean a missing folder: made only then, so the common case costs nothing.
    // A folder the server will not make ends it here, the live site untouched.
    if (stored.what == kind::name_refused && new_folders > 0) {
        if (const transfer_error made = directory.create_folders(new_folders))
            return made;
        stored = directory.store(temporary);
    }
    if (stored.what == kind::name_refused)
        stored = store_visible_temporary(stored);
    if (stored) {
        switch (stored.what) {
        case kind::name_refused:
            return direct();
        case kind::refused: // no room, busy: the live name would fare no better
            return page_unchanged(stored);
        case kind::cut:
        case kind::lost:
            return failed_removing_temporary(stored);
        case kind::none:
        case kind::broken:
            break;
        }
        return stored;
    }
    if (const transfer_error fault = size_fault(temporary))
        return failed_removing_temporary(page_unchanged(fault));
    return replace_page();
}

// Some servers refuse hidden names, and some answer a full disk in the words of a refused name:
// the same name without its dot before the live one.
transfer_error publisher::store_visible_temporary(const transfer_error& hidden_refused) {
    const QString visible = temporary.mid(1);
    const transfer_error stored = directory.store(visible);
    if (stored.what == kind::name_refused)
        return hidden_refused;
    temporary = visible;
    return stored;
}

transfer_result<QString> publisher::replace_page() {
    const bool one_step = !habits.refuses_rename_over;
    const transfer_error renamed =
        one_step ? directory.rename(temporary, page) : transfer_error{kind::refused, {}, true};
    if (!renamed)
        return succeeded(false);
    if (renamed.what == kind::name_refused) {
        // The temporary name cannot be renamed at all; the page is untouched.
        if (const transfer_error left = remove_temporary())
            return transfer_error{
                left.what,
                upload_text::tr("renaming failed: %1; %2").arg(renamed.text, leftover_text(left))};
        return direct();
    }
    if (renamed.what != kind::refused) {
        // The page is untouched; the temporary file, or the page it became, is whole.
        transfer_error failed = renamed;
        failed.text =
            upload_text::tr("renaming %1 to %2 failed: %3").arg(temporary, page, renamed.text);
        return failed_removing_temporary(page_unchanged(failed));
    }
    // Some servers will not rename onto an existing file: keep the time without a page short.
    const transfer_error removed = directory.remove(page);
    if (lost_connection(removed))
        return page_may_be_gone(removed);
    const transfer_error second = directory.rename(temporary, page);
    if (second)
        return page_may_be_gone(second);
    // Only a refusal the server always gives is worth a habit: a passing one must not make every
    // later publish remove the page first.
    habits.refuses_rename_over = habits.refuses_rename_over || (!removed && renamed.lasting);
    return succeeded(false);
}

// From here on the temporary file may be the only copy of the page on the server: it is renamed
// over a new connection, or the page written directly; never deleted while the page is missing.
transfer_result<QString> publisher::page_may_be_gone(const transfer_error& why) {
    if (lost_connection(why)) {
        // Asked again over a new connection; a rename the server made before the link went
        // leaves no temporary file and the whole page.
        const transfer_error renamed = directory.rename(temporary, page);
        const bool done = !renamed || !directory.size_of(temporary).value;
        if (done && !size_fault(page))
            return succeeded(false);
    }
    if (transfer_result<QString> written = direct(); written.value) {
        if (const transfer_error left = remove_temporary())
            return transfer_error{left.what, leftover_text(left)};
        return written;
    }
    return transfer_error{why.what == kind::none ? kind::lost : why.what,
                          upload_text::tr("%1; the page may be missing on the server: its new "
                                          "version stays there as %2")
                              .arg(why.text, temporary)};
}

transfer_result<QString> publisher::direct() {
    // Written under the live name: once data flowed, a failure may leave half a page behind.
    const auto incomplete = [](transfer_error failure) {
        failure.text =
            upload_text::tr("%1; the page on the server may now be incomplete (it was written "
                            "directly under its name, because the server refuses the temporary "
                            "name)")
                .arg(failure.text);
        return failure;
    };
    if (const transfer_error stored = directory.store(page))
        return stored.what == kind::cut ? incomplete(stored) : stored;
    if (const transfer_error fault = size_fault(page))
        return incomplete(fault);
    return succeeded(true);
}

transfer_error publisher::page_unchanged(transfer_error error) {
    error.text = upload_text::tr("%1; the page stays as it was").arg(error.text);
    return error;
}

QString publisher::succeeded(bool direct) const {
    // Every language's text holds the marker, which tells success from failure; in English it
    // stands in brackets as the program's own word for the outcome.
    //: %2 is the word "erfolgreich" that marks every success, in every language: keep it.
    const QString text = direct ? upload_text::tr("%1 bytes uploaded and verified (%2), directly "
                                                  "under the page's name: the server refuses the "
                                                  "temporary name")
                                //: %2 is the word "erfolgreich" that marks every success.
                                : upload_text::tr("%1 bytes uploaded and verified (%2)");
    return text.arg(QString::number(local_size), success_marker.toString());
}

// None when the temporary file is gone, else why it stays.
transfer_error publisher::remove_temporary() {
    const transfer_error removed = directory.remove(temporary);
    // A refusal may only mean that nothing was stored; ask before calling it a leftover.
    if (!removed || (!lost_connection(removed) && !directory.size_of(temporary).value))
        return {};
    return removed;
}

QString publisher::leftover_text(const transfer_error& why) const {
    return upload_text::tr("the temporary file %1 could not be deleted: %2")
        .arg(temporary, why.text);
}

transfer_error publisher::failed_removing_temporary(transfer_error error) {
    if (const transfer_error left = remove_temporary())
        error.text += u"; "_s + leftover_text(left);
    return error;
}

transfer_error publisher::size_fault(const QString& name) {
    const transfer_result<std::int64_t> remote = directory.size_of(name);
    // Either way the file on the server is not known to be whole.
    if (!remote.value)
        return {kind::cut, upload_text::tr("the size of %1 on the server is unknown: %2")
                               .arg(name, remote.error.text)};
    if (*remote.value != local_size)
        return {kind::cut, upload_text::tr("%1 bytes on the server, %2 bytes here")
                               .arg(QString::number(*remote.value), QString::number(local_size))};
    return {};
}

} // namespace

transfer_result<QString> publish_page(remote_directory& directory, const QString& page,
                                      std::int64_t local_size, server_habits& habits,
                                      int new_folders) {
    return publisher(directory, page, local_size, habits, new_folders).run();
}
