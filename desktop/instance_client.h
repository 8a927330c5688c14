#pragma once

#include "instance_address.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdio>

// The side of `ftp-publisher --publish` and `--watch`: each asks the running program under
// `address`, starting `program` (detached, as a plain start would) when none runs; two clients at
// once start one. Lines for the user go to stdout at once; a failure goes to stderr. The value
// is the exit code: 0 when all went well, 1 for a failure, 2 when the program refused the request
// and did nothing (the reason on stderr).

// Publishes `files` (absolute paths; none: the configured page), one after the other: a line
// for each with its outcome and reason.
// `passing`, when given, hears which of `files` failed in a way that may pass when tried again
// later; the failures of those in `quiet` are not said (they are being tried again).
int publish_through_instance(const instance_address& address, const QString& program,
                             const QStringList& files, QStringList* passing = nullptr,
                             const QStringList& quiet = {});

// Publishes every changed file of the site (`option`: empty, "dry-run" or "mark-published"): a
// line for each file, the lines the program says, and the summary last. Exit code 1 when any
// file failed.
int publish_changed_through_instance(const instance_address& address, const QString& program,
                                     const QString& option);

// A file to watch, as the running program named it.
struct watched_file {
    QString path;
    QString shown;
    // A folder: watched with all below it, its names relative to this local directory.
    QString site;
};

// Which files `files` (none: the configured page) are, checked as a publish would check them.
int ask_what_to_watch(const instance_address& address, const QString& program,
                      const QStringList& files, QList<watched_file>* watched);

// How long a client waits: for a new instance to listen, and for any word from a running one.
inline constexpr int instance_start_timeout_ms = 30000;
inline constexpr int instance_silence_timeout_ms = 5000;

// A line for the user, there at once even when the output is a pipe.
void say(std::FILE* to, const QString& line);
