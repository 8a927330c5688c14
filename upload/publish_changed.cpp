#include "publish_changed.h"

#include "publish_file.h"
#include "publish_record.h"
#include "response_text.h"
#include "site_file.h"
#include "site_listing.h"
#include "transfer_component.h"
#include "upload_text.h"

#include <QLineEdit>
#include <utility>

namespace {

struct change {
    site_entry entry;
    QByteArray sha256;
};

publish_record::file recorded(const site_entry& entry, const QByteArray& sha256) {
    return {sha256, entry.size, entry.modified_ms, entry.changed_ms};
}

class site_run final {
public:
    site_run(const upload_view& view, const QString& state_dir, changed_mode mode,
             const site_run_report& report)
        : view(view), mode(mode), report(report),
          record(publish_record::path_in(state_dir, view.txt_ftp_server->text(),
                                         view.txt_ftp_user->text(), view.txt_ftpdir->text())) {}

    site_run_result run();

private:
    QList<change> changes(const site_listing& listing);
    void fail(const QString& relative, const QString& reason);
    void keep(const QString& relative, const publish_record::file& file);
    void record_trouble();
    void publish(const QList<change>& changed);

    const upload_view& view;
    const changed_mode mode;
    const site_run_report& report;
    publish_record record;
    site_run_result result;
    bool record_failed = false;
};

site_run_result site_run::run() {
    const site_scan scan = list_site(view.txt_localdir->text());
    if (!scan.refused.isEmpty()) {
        result.refused = scan.refused;
        return result;
    }
    if (!record.load())
        report.said(upload_text::tr("nothing published yet to this server, account and remote "
                                    "directory: every file counts as changed"));
    for (const QString& line : scan.listing.skipped)
        report.said(line);
    for (const site_listing::fault& fault : scan.listing.unreadable)
        fail(fault.relative, fault.reason);
    const QList<change> changed = changes(scan.listing);
    switch (mode) {
    case changed_mode::dry_run:
        for (const change& each : changed)
            report.said(each.entry.relative);
        result.summary = upload_text::tr("%1 to publish, %2 failed, %3 unchanged")
                             .arg(changed.size())
                             .arg(result.failed)
                             .arg(result.unchanged);
        return result;
    case changed_mode::mark_published:
        for (const change& each : changed)
            keep(each.entry.relative, recorded(each.entry, each.sha256));
        result.summary = upload_text::tr("%1 marked as published, %2 failed, %3 unchanged")
                             .arg(changed.size())
                             .arg(result.failed)
                             .arg(result.unchanged);
        break;
    case changed_mode::publish:
        // Nothing to send: no connection at all.
        if (!changed.isEmpty())
            publish(changed);
        result.summary = upload_text::tr("%1 published, %2 failed, %3 unchanged")
                             .arg(result.published)
                             .arg(result.failed)
                             .arg(result.unchanged);
        break;
    }
    if (!record.write_whole())
        record_trouble();
    return result;
}

// A file's content is read only when its size or time stamps differ from the record's: a file
// only touched is read, found the same, and its new stamps recorded.
QList<change> site_run::changes(const site_listing& listing) {
    QList<change> changed;
    for (const site_entry& entry : listing.files) {
        const publish_record::file* last = record.find(entry.relative);
        if (last && last->size == entry.size && last->modified_ms == entry.modified_ms &&
            last->changed_ms == entry.changed_ms) {
            ++result.unchanged;
            continue;
        }
        const std::optional<QByteArray> hash = content_hash(entry.local);
        if (!hash) {
            fail(entry.relative, upload_text::tr("local file cannot be read: %1").arg(entry.local));
            continue;
        }
        if (last && last->sha256 == *hash) {
            ++result.unchanged;
            if (mode != changed_mode::dry_run)
                keep(entry.relative, recorded(entry, *hash));
            continue;
        }
        changed << change{entry, *hash};
    }
    return changed;
}

void site_run::fail(const QString& relative, const QString& reason) {
    if (result.failed++ == 0)
        result.first_failure = relative + QStringLiteral(": ") + reason;
    report.told(false, relative + QStringLiteral(": ") + reason);
}

void site_run::keep(const QString& relative, const publish_record::file& file) {
    if (!record.add(relative, file))
        record_trouble();
}

// Said once: the run goes on, and what is not recorded is sent again next time.
void site_run::record_trouble() {
    if (!std::exchange(record_failed, true))
        report.said(upload_text::tr("the record of what was published cannot be written: %1")
                        .arg(record.error()));
}

void site_run::publish(const QList<change>& changed) {
    for (const change& each : changed) {
        put_outcome put;
        try {
            put = put_file(view, site_file{each.entry.local, each.entry.relative});
        } catch (const transfer_refused& refused) { // a control character in its name, say
            fail(each.entry.relative, QString::fromUtf8(refused.what()));
            continue;
        }
        if (!put.response.contains(success_marker, Qt::CaseSensitive)) {
            fail(each.entry.relative, put.response);
            continue;
        }
        ++result.published;
        report.told(true, each.entry.relative + QStringLiteral(": ") + put.response);
        // What was read whole and sent is recorded, whatever the file holds by now.
        keep(each.entry.relative, recorded(each.entry, put.sha256));
    }
    close_connection(view);
}

} // namespace

site_run_result publish_changed(const upload_view& view, const QString& state_dir,
                                changed_mode mode, const site_run_report& report) {
    return site_run(view, state_dir, mode, report).run();
}
