#pragma once

#include <QString>
#include <cstdint>
#include <optional>

// How one exchange with the server ended.
enum class step_result {
    done,
    refused,      // the server said no (an existing target, a permission)
    name_refused, // the server will not store or rename under this name
    broken,       // failed before the server took any data: nothing was written
    cut,          // failed once data was flowing: part of a file may be on the server
};

// The exchanges publishing needs, each in the page's remote directory and over the connection
// the upload keeps open. Names are single path components, as the server should read them.
class remote_directory {
public:
    virtual ~remote_directory() = default;
    virtual step_result store(const QString& name) = 0; // the whole local file
    virtual std::optional<std::int64_t> size_of(const QString& name) = 0;
    virtual step_result rename(const QString& from, const QString& to) = 0;
    virtual step_result remove(const QString& name) = 0;
    // What went wrong in the last exchange that did not end in done.
    virtual QString last_failure() const = 0;
};

struct publish_outcome {
    bool verified = false;
    QString text; // the response text; a failure's may still quote the server
};

// Replaces `page` so that a reader sees the old file or the new one, whole: stored under a hidden
// temporary name, its size checked, then renamed; no temporary file stays behind.
publish_outcome publish_page(remote_directory& directory, const QString& page,
                             std::int64_t local_size);
