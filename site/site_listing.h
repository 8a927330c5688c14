#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One file of the site as it stands on disk.
struct site_entry {
    QString relative; // below the local directory, "/" between folders; a link's own name
    QString local;    // what is read: a link's target
    qint64 size = 0;
    qint64 modified_ms = 0;
    qint64 changed_ms = 0; // the inode's change: a file restored with an old time stamp shows here
};

// Every file below the local directory that the ignore rules let through, in path order.
struct site_listing {
    QList<site_entry> files;
    QStringList skipped; // lines to show: links that lead outside the site
    struct fault {
        QString relative;
        QString reason;
    };
    QList<fault> unreadable; // folders that cannot be read: their files fail, the rest go on
};

// Why `local_dir`, the setting, names no local directory; empty when it does.
QString local_directory_fault(const QString& local_dir);

// The files of the site in `local_dir`; nothing, and why, when that folder is missing or
// unreadable.
struct site_scan {
    site_listing listing;
    QString refused; // why nothing can be listed; empty when listed
};
site_scan list_site(const QString& local_dir);
