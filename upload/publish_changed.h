#pragma once

#include "upload_page.h"

#include <QString>
#include <functional>

// `ftp-publisher --publish-changed`: every file of the site whose content differs from what was
// last published to the same server, account and remote directory (or that never was), over one
// login; or, without sending anything, the list of them (dry run), or all of them recorded as
// published as they stand.
enum class changed_mode { publish, dry_run, mark_published };

struct site_run_report {
    std::function<void(bool succeeded, const QString& line)> told; // each file: "path: reason"
    std::function<void(const QString& line)> said;                 // anything else, a line each
};

struct site_run_result {
    QString refused; // nothing could be done, and why
    int published = 0;
    int failed = 0;
    int unchanged = 0;
    QString first_failure;
    QString summary; // "12 published, 0 failed, 4988 unchanged"
};

// Runs as one publish of the window: each file as publish_file sends it, the title and the
// window as after each of them, CLOSE after the last. `state_dir` holds the records.
site_run_result publish_changed(const upload_view& view, const QString& state_dir,
                                changed_mode mode, const site_run_report& report);
