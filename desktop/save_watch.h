#pragma once

#include "instance_address.h"

#include <QString>
#include <QStringList>

// `ftp-publisher --watch [FILE...]`: publishes each watched file (none: the configured page)
// through the running program every time a save of it is complete, until Ctrl-C or SIGTERM, which
// let the publish in hand finish (exit 0). A watched folder that goes away ends it (exit 1).
// Requests that fail return their exit code as publish_through_instance does.
int watch_saves(const instance_address& address, const QString& program, const QStringList& files);

// A save is complete once its file has stood still this long: editors write a file in several
// steps, and some by a new file renamed over the old one.
inline constexpr int save_settle_ms = 300;

// A watched save whose publish failed in a way that may pass is tried again after this long, then
// at twice the interval each time, up to the longest.
inline constexpr int retry_first_ms = 5000;
inline constexpr int retry_longest_ms = 5 * 60 * 1000;
