#pragma once

#include <QByteArray>
#include <QStringList>

// Between `ftp-publisher --publish` or `--watch` and the running program: one line a message,
// its fields apart by tabs, each percent-encoded so that no file name can end or split a line.
//   asked:   "publish" [FILE...]  (no FILE: the configured page)   "watch" [FILE...]
//            "changed" ["dry-run" | "mark-published"]
//   answers: "busy" (while an upload runs, every second), then "O.K." or "Fehler" and the reason,
//            one for each file or the page, "again" after a failure that may pass; "usage" and why
//            nothing was done; "watch", a path and the name to show; "folder", a folder to watch
//            with all below it and the local directory its names are relative to; "say" and a line
//            to show as it is; "done" and the summary line that ends a run of changed files
namespace instance_protocol {

inline const QString publish = QStringLiteral("publish");
inline const QString watch = QStringLiteral("watch");
inline const QString changed = QStringLiteral("changed");
inline const QString folder = QStringLiteral("folder");
inline const QString say = QStringLiteral("say");
inline const QString again = QStringLiteral("again");
inline const QString done = QStringLiteral("done");
inline const QString busy = QStringLiteral("busy");
inline const QString usage = QStringLiteral("usage");

// The longest line either side reads: a long list of files fits.
inline constexpr qint64 line_limit = 1024 * 1024;

QByteArray line_of(const QStringList& fields);
QStringList fields_of(const QByteArray& line);

} // namespace instance_protocol
