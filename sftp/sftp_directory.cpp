#include "sftp_directory.h"

#include "response_text.h"
#include "sftp_posix_rename.h"
#include "sftp_write_flight.h"
#include "upload_text.h"

#include <libssh/libssh_version.h>
#include <type_traits>
#include <utility>

namespace {

using kind = transfer_error::kind;

struct attributes_deleter {
    void operator()(sftp_attributes attributes) const { sftp_attributes_free(attributes); }
};
using attributes_handle =
    std::unique_ptr<std::remove_pointer_t<sftp_attributes>, attributes_deleter>;

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
    write_flight flight(server, file, path);
    const transfer_result<std::int64_t> size = flight.run();
    if (!size.value)
        return size.error;
    if (*size.value != flight.sent())
        return {kind::cut, upload_text::tr("%1 bytes on the server, %2 bytes sent")
                               .arg(QString::number(*size.value), QString::number(flight.sent()))};
    stored.emplace(QString(), *size.value);
    return {};
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
