#pragma once

#include "remote_directory.h"

#include <QString>
#include <cstdint>

// What a server was seen to do, kept from one publish to the next.
struct server_habits {
    bool refuses_rename_over = false; // so the page is removed before the rename, at once
    bool tls_1_2_at_most = false;     // these two: see connection_plan
    bool login_per_upload = false;
};

// Replaces `page` so that a reader sees the old file or the new one, whole: stored under a hidden
// temporary name, its size checked, then renamed; no temporary file stays behind. The value is
// the response text of a verified upload. When the server refuses the temporary file's name, the
// last `new_folders` folders of the directory are created and the file stored again: a page in a
// subfolder of the site that is not on the server yet.
transfer_result<QString> publish_page(remote_directory& directory, const QString& page,
                                      std::int64_t local_size, server_habits& habits,
                                      int new_folders = 0);
