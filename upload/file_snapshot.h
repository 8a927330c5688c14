#pragma once

#include "transfer_error.h"

#include <QString>
#include <QTemporaryFile>
#include <memory>

// A private copy of a local file, read once and whole: what is sent, and what the size check
// compares, is one saved version, whatever an editor does to the file meanwhile. A file that
// changes while it is read is read again, a few times at most.
transfer_result<std::unique_ptr<QTemporaryFile>> snapshot_of(const QString& path);
