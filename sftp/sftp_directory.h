#pragma once

#include "remote_directory.h"
#include "sftp_connection.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

// Publishing's exchanges over SFTP, in the page's remote directory: paths as the server reads
// them, relative ones from the login directory. They share one connection, opened by the first
// and kept in `connection`; a lost one is opened again, so that what a publish cut short can
// still be cleaned up. Where the server offers posix-rename@openssh.com, a rename replaces the
// target in one step.
class sftp_directory final : public remote_directory {
public:
    // `directory` is the remote one up to and with its last "/", or empty.
    sftp_directory(std::unique_ptr<sftp_connection>& connection, const connection_plan& plan,
                   const std::atomic_bool& stopping, const QString& directory, QFile& file)
        : connection(connection), plan(plan), stopping(stopping), directory(directory), file(file) {
    }

    // Writes the file with many writes in flight and asks the open file's size before closing
    // it: the size that size_of() then gives for `name` without asking again.
    transfer_error store(const QString& name) override;
    transfer_result<std::int64_t> size_of(const QString& name) override;
    transfer_error rename(const QString& from, const QString& to) override;
    transfer_error remove(const QString& name) override;
    transfer_error create_folders(int levels) override;

private:
    QByteArray path_of(const QString& name) const { return (directory + name).toUtf8(); }
    // Keeps the open connection, or opens (and logs in) a new one in place of one that was lost.
    transfer_error open_or_reopen();
    // `exchange` on the connection, or why there is none.
    template <class Result, class Exchange> Result on_connection(Exchange exchange) {
        if (transfer_error failed = open_or_reopen())
            return failed;
        return exchange(*connection);
    }
    transfer_error rename_on(sftp_connection& on, const QString& from, const QString& to);
    transfer_error store_on(sftp_connection& server, const QByteArray& path);
    transfer_error renamed_in_one_step(sftp_connection& server, const QByteArray& from,
                                       const QByteArray& to);
    transfer_error create_folder(sftp_connection& server, const QByteArray& path);

    std::unique_ptr<sftp_connection>& connection;
    const connection_plan& plan;
    const std::atomic_bool& stopping;
    const QString directory;
    QFile& file;
    std::optional<std::pair<QString, std::int64_t>> stored; // the last store's name and size
    bool posix_rename_refused = false;
};
