#pragma once

#include <QString>
#include <optional>
#include <utility>

// How an upload, or one exchange of it, failed; false when nothing did. The text is the reason in
// the user's language and may quote the server; "upload failed" is put before it once, where the
// failure becomes the response text.
struct transfer_error {
    enum class kind {
        none,
        refused,      // the server said no (an existing target, no room, busy)
        name_refused, // the server will not store or rename under this name
        broken,       // failed before the server took any data: nothing was written
        cut,          // failed once data was flowing: part of a file may be on the server
        lost,         // the connection went before the answer: the server may have acted
    };

    kind what = kind::none;
    QString text;
    // A refusal the server will repeat however often it is asked (FTP's 5xx, an SFTP request it
    // does not support), as opposed to one that may pass (busy, a transient failure).
    bool lasting = false;

    explicit operator bool() const { return what != kind::none; }
};

// A value, or the failure that took its place.
template <class T> struct transfer_result {
    transfer_result(T found) : value(std::move(found)) {}
    transfer_result(transfer_error failed) : error(std::move(failed)) {}

    std::optional<T> value;
    transfer_error error;
};
