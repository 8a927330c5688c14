#include "sftp_directory.h"

#include "response_text.h"
#include "sftp_posix_rename.h"
#include "upload_text.h"

#include <fcntl.h>
#include <libssh/libssh_version.h>
#include <type_traits>
#include <utility>

namespace {

using kind = transfer_error::kind;

// OpenSSH's sftp-server drops a session whose WRITE exceeds its limit; its own client writes 32
// KiB.
constexpr qint64 piece_size = 64 * 1024;
// Statuses of later protocol versions that some servers send to version 3 clients.
constexpr std::uint32_t no_such_path = 10;
constexpr std::uint32_t invalid_filename = 20;

// An open file on the server, closed within the reply limit however the store ends: a server
// that refused a write may not answer the close either.
class remote_file final {
public:
    remote_file(sftp_connection& server, sftp_file handle) : server(server), handle(handle) {}
    ~remote_file() { close(); }
    remote_file(const remote_file&) = delete;
    remote_file& operator=(const remote_file&) = delete;

    sftp_file get() const { return handle; }
    explicit operator bool() const { return handle != nullptr; }
    int close() {
        if (!handle)
            return SSH_NO_ERROR;
        return server.bounded(server.limits().reply_timeout,
                              [this] { return sftp_close(std::exchange(handle, nullptr)); });
    }

private:
    sftp_connection& server;
    sftp_file handle;
};

struct attributes_deleter {
    void operator()(sftp_attributes attributes) const { sftp_attributes_free(attributes); }
};
using attributes_handle =
    std::unique_ptr<std::remove_pointer_t<sftp_attributes>, attributes_deleter>;

// Only a refusal of the name itself lets the page go directly under its live name.
kind store_refusal_kind(std::uint32_t status) {
    switch (status) {
    case SSH_FX_NO_SUCH_FILE:
    case SSH_FX_PERMISSION_DENIED:
    case no_such_path:
    case invalid_filename:
        return kind::name_refused;
    default:
        return kind::refused; // no space, over the quota, a failure of the server's own
    }
}

QString text_of(const QByteArray& path) {
    return QString::fromUtf8(path);
}

} // namespace

transfer_error sftp_directory::open_or_reopen() {
    if (connection && !connection->lost())
        return {};
    connection.reset();
    transfer_result<std::unique_ptr<sftp_connection>> opened =
        sftp_connection::open(plan, stopping);
    if (!opened.value)
        return opened.error;
    connection = std::move(*opened.value);
    return {};
}

transfer_error sftp_directory::store(const QString& name) {
    stored.reset();
    if (!file.seek(0))
        return {kind::broken,
                upload_text::tr("local file cannot be read: %1").arg(file.errorString())};
    const transfer_error failed = on_connection<transfer_error>(
        [&](sftp_connection& server) { return store_on(server, path_of(name)); });
    if (!failed)
        stored->first = name;
    return failed;
}

transfer_error sftp_directory::store_on(sftp_connection& server, const QByteArray& path) {
    const std::chrono::seconds reply = server.limits().reply_timeout;
    remote_file handle(server, server.bounded(reply, [&] {
        return sftp_open(server.sftp(), path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }));
    if (!handle)
        return server.failure(store_refusal_kind(server.status()), kind::broken, text_of(path));
    std::int64_t sent = 0;
    if (transfer_error failed = write_all(server, handle.get(), path, sent))
        return failed;
    const attributes_handle attributes(
        server.bounded(reply, [&] { return sftp_fstat(handle.get()); }));
    if (!attributes || !(attributes->flags & SSH_FILEXFER_ATTR_SIZE))
        return server.failure(
            kind::cut, kind::cut,
            upload_text::tr("the size of %1 on the server is unknown").arg(text_of(path)));
    const std::int64_t size = std::int64_t(attributes->size);
    // A failed close may mean that the server never wrote all of it.
    if (handle.close() != SSH_NO_ERROR)
        return server.failure(kind::cut, kind::cut, text_of(path));
    if (size != sent)
        return {kind::cut, upload_text::tr("%1 bytes on the server, %2 bytes sent")
                               .arg(QString::number(size), QString::number(sent))};
    stored.emplace(QString(), size);
    return {};
}

transfer_error sftp_directory::write_all(sftp_connection& server, sftp_file handle,
                                         const QByteArray& path, std::int64_t& sent) {
    for (;;) {
        const QByteArray piece = file.read(piece_size);
        if (piece.isEmpty() && file.error() != QFileDevice::NoError)
            return {sent > 0 ? kind::cut : kind::broken,
                    upload_text::tr("local file cannot be read: %1").arg(file.errorString())};
        if (piece.isEmpty())
            return {};
        // Once a piece went out, part of the file may be on the server. From libssh 0.11 on,
        // a write takes no more than the server's limit: the rest goes in the next.
        for (qsizetype written = 0; written < piece.size();) {
            const ssize_t took = server.bounded(server.limits().stall_time, [&] {
                return sftp_write(handle, piece.constData() + written,
                                  std::size_t(piece.size() - written));
            });
            if (took <= 0)
                return server.failure(kind::cut, kind::cut, text_of(path));
            written += took;
            sent += took;
        }
    }
}

transfer_result<std::int64_t> sftp_directory::size_of(const QString& name) {
    if (stored && stored->first == name)
        return stored->second;
    return on_connection<transfer_result<std::int64_t>>(
        [&](sftp_connection& on) -> transfer_result<std::int64_t> {
            const QByteArray path = path_of(name);
            const attributes_handle attributes(on.bounded(
                on.limits().reply_timeout, [&] { return sftp_stat(on.sftp(), path.constData()); }));
            if (!attributes)
                return on.failure(kind::refused, kind::lost, text_of(path));
            if (!(attributes->flags & SSH_FILEXFER_ATTR_SIZE))
                return transfer_error{kind::refused,
                                      upload_text::tr("the server does not tell the size")};
            return std::int64_t(attributes->size);
        });
}

transfer_error sftp_directory::rename(const QString& from, const QString& to) {
    stored.reset();
    return on_connection<transfer_error>(
        [&](sftp_connection& on) { return rename_on(on, from, to); });
}

transfer_error sftp_directory::rename_on(sftp_connection& on, const QString& from,
                                         const QString& to) {
    const QByteArray from_path = path_of(from);
    const QByteArray to_path = path_of(to);
#if LIBSSH_VERSION_INT < SSH_VERSION_INT(0, 11, 0)
    if (!posix_rename_refused &&
        sftp_extension_supported(on.sftp(), "posix-rename@openssh.com", "1"))
        return renamed_in_one_step(on, from_path, to_path);
#endif
    // From libssh 0.11 on, this sends posix-rename@openssh.com itself where the server offers it.
    if (on.bounded(on.limits().reply_timeout, [&] {
            return sftp_rename(on.sftp(), from_path.constData(), to_path.constData());
        }) == SSH_NO_ERROR)
        return {};
    transfer_error refused = on.failure(kind::refused, kind::lost, text_of(to_path));
    // Version 3's rename never replaces an existing name.
    refused.lasting = on.status() == SSH_FX_FAILURE || on.status() == SSH_FX_FILE_ALREADY_EXISTS;
    return refused;
}

transfer_error sftp_directory::renamed_in_one_step(sftp_connection& server, const QByteArray& from,
                                                   const QByteArray& to) {
    const std::chrono::seconds reply = server.limits().reply_timeout;
    const transfer_result<sftp_status> status =
        server.bounded(reply, [&] { return posix_rename(server.sftp(), from, to, reply); });
    if (!status.value) {
        server.drop();
        return status.error;
    }
    if (status.value->code == SSH_FX_OK)
        return {};
    // The plain rename of version 3 for the rest of this publish, after the page is removed;
    // only a server that cannot do it at all is remembered as such.
    posix_rename_refused = true;
    return {kind::refused,
            text_of(to) + QStringLiteral(": SFTP server: ") +
                server_text(status.value->message.toStdString()),
            status.value->code == SSH_FX_OP_UNSUPPORTED};
}

transfer_error sftp_directory::remove(const QString& name) {
    stored.reset();
    return on_connection<transfer_error>([&](sftp_connection& on) -> transfer_error {
        const QByteArray path = path_of(name);
        if (on.bounded(on.limits().reply_timeout,
                       [&] { return sftp_unlink(on.sftp(), path.constData()); }) != SSH_NO_ERROR)
            return on.failure(kind::refused, kind::lost, text_of(path));
        return {};
    });
}

transfer_error sftp_directory::create_folders(int levels) {
    return on_connection<transfer_error>([&](sftp_connection& on) -> transfer_error {
        for (const QString& folder : last_folders(directory, levels))
            if (transfer_error refused = create_folder(on, folder.toUtf8()))
                return refused;
        return {};
    });
}

transfer_error sftp_directory::create_folder(sftp_connection& server, const QByteArray& path) {
    const std::chrono::seconds reply = server.limits().reply_timeout;
    if (server.bounded(reply, [&] { return sftp_mkdir(server.sftp(), path.constData(), 0755); }) ==
        SSH_NO_ERROR)
        return {};
    transfer_error refused = server.failure(kind::refused, kind::lost, text_of(path));
    // A folder that is there already is what was asked for.
    const attributes_handle there(
        server.bounded(reply, [&] { return sftp_stat(server.sftp(), path.constData()); }));
    if (there && there->type == SSH_FILEXFER_TYPE_DIRECTORY)
        return {};
    refused.text =
        upload_text::tr("the folder %1 cannot be created: %2").arg(text_of(path), refused.text);
    return refused;
}
