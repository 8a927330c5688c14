#pragma once

#include "transfer_error.h"

#include <QString>
#include <QStringList>
#include <cstdint>

// The exchanges publishing needs, each in the page's remote directory and over the connection
// the upload keeps open. Names are single path components, as the server should read them.
class remote_directory {
public:
    virtual ~remote_directory() = default;
    virtual transfer_error store(const QString& name) = 0; // the whole local file
    virtual transfer_result<std::int64_t> size_of(const QString& name) = 0;
    virtual transfer_error rename(const QString& from, const QString& to) = 0;
    virtual transfer_error remove(const QString& name) = 0;
    // Creates the last `levels` folders of this directory's path, top down; a folder that exists
    // already counts as created; a folder that cannot be created gives kind::refused with the
    // server's reason.
    virtual transfer_error create_folders(int levels) = 0;
};

// The paths of the last `levels` folders of `directory` ("/www/blog/2024/", 2: "/www/blog" and
// "/www/blog/2024"), top down, as create_folders makes them.
QStringList last_folders(const QString& directory, int levels);
