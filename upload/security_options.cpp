#include "security_options.h"

#include "upload_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// The only protocol libcurl may speak for a scheme.
const char* protocol_of(url_scheme scheme) {
    switch (scheme) {
    case url_scheme::ftp:
    case url_scheme::ftpes:
        return "ftp";
    case url_scheme::ftps:
        return "ftps";
    case url_scheme::sftp:
        return "sftp";
    }
    return "ftp";
}

} // namespace

transfer_result<QByteArray> trusted_bundle(CURL* curl, const QString& extra_ca_file) {
    QByteArray bundle;
    if (extra_ca_file.isEmpty())
        return bundle;
    QFile extra(extra_ca_file);
    if (!extra.open(QIODevice::ReadOnly))
        return transfer_error{transfer_error::kind::broken,
                              upload_text::tr("the trusted certificate file %1 cannot be read: %2")
                                  .arg(extra_ca_file, extra.errorString())};
    const char* system_bundle = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &system_bundle) == CURLE_OK && system_bundle) {
        QFile system(QFile::decodeName(system_bundle));
        if (system.open(QIODevice::ReadOnly))
            bundle = system.readAll() + '\n';
    }
    return bundle + extra.readAll();
}

namespace {

// Sets options until libcurl refuses one, and remembers which.
class checked_options final {
public:
    explicit checked_options(CURL* curl) : curl(curl) {}

    template <class Value> void set(CURLoption option, const char* name, Value value) {
        if (!refused.isEmpty())
            return;
        if (const CURLcode rc = curl_easy_setopt(curl, option, value); rc != CURLE_OK)
            refused =
                upload_text::tr("this libcurl refuses the security option %1 (%2), so nothing "
                                "was sent")
                    .arg(QString::fromLatin1(name), QString::fromUtf8(curl_easy_strerror(rc)));
    }
    transfer_error result() const {
        if (refused.isEmpty())
            return {};
        return {transfer_error::kind::broken, refused};
    }

private:
    CURL* curl;
    QString refused;
};

} // namespace

transfer_error set_security_options(CURL* curl, url_scheme scheme, const QString& ca_file,
                                    host_key_check* keys) {
    checked_options options(curl);
    options.set(CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", protocol_of(scheme));
    switch (scheme) {
    case url_scheme::ftp:
        break;
    case url_scheme::ftpes:
    case url_scheme::ftps: {
        options.set(CURLOPT_USE_SSL, "CURLOPT_USE_SSL", long(CURLUSESSL_ALL));
        options.set(CURLOPT_FTPSSLAUTH, "CURLOPT_FTPSSLAUTH", long(CURLFTPAUTH_TLS));
        // TLS 1.3 where the server offers it: its session ticket on a data connection is read
        // before the close (curl_session drains the connection).
        options.set(CURLOPT_SSLVERSION, "CURLOPT_SSLVERSION", long(CURL_SSLVERSION_TLSv1_2));
        // OpenSSL's groups, P-256 first: the one every TLS 1.3 server must support and the only
        // one vsftpd takes. A first key share in X25519 makes vsftpd ask again, a round trip more
        // on each connection.
        options.set(CURLOPT_SSL_EC_CURVES, "CURLOPT_SSL_EC_CURVES",
                    "P-256:X25519:X448:P-521:P-384:ffdhe2048:ffdhe3072:ffdhe4096:ffdhe6144:"
                    "ffdhe8192");
        options.set(CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", 1L);
        options.set(CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", 2L);
        // A bundle file alone, without the directory of hashed certificates beside it: libcurl
        // then keeps the parsed store for the handle's next connection, the data connection
        // included, instead of parsing some 150 certificates again (25 ms each here).
        options.set(CURLOPT_CAPATH, "CURLOPT_CAPATH", static_cast<const char*>(nullptr));
        if (!ca_file.isEmpty())
            options.set(CURLOPT_CAINFO, "CURLOPT_CAINFO", QFile::encodeName(ca_file).constData());
        break;
    }
    case url_scheme::sftp:
        options.set(CURLOPT_SSH_AUTH_TYPES, "CURLOPT_SSH_AUTH_TYPES", long(CURLSSH_AUTH_PASSWORD));
        if (!keys)
            return {transfer_error::kind::broken,
                    upload_text::tr("no host key check was given for SFTP, so nothing was sent")};
        options.set(CURLOPT_SSH_KNOWNHOSTS, "CURLOPT_SSH_KNOWNHOSTS",
                    QFile::encodeName(keys->file).constData());
        options.set(CURLOPT_SSH_KEYFUNCTION, "CURLOPT_SSH_KEYFUNCTION", &host_key_check::on_key);
        options.set(CURLOPT_SSH_KEYDATA, "CURLOPT_SSH_KEYDATA", static_cast<void*>(keys));
        break;
    }
    return options.result();
}

host_key_check::host_key_check(const QString& known_hosts_file, const transfer_target& target)
    : file(known_hosts_file.isEmpty() ? QDir::homePath() + QStringLiteral("/.ssh/known_hosts")
                                      : known_hosts_file) {
    const QString host = target.host.toLower();
    host_entry = target.port == 22 ? host : QStringLiteral("[%1]:%2").arg(host).arg(target.port);
}

int host_key_check::on_key(CURL*, const curl_khkey*, const curl_khkey* found, curl_khmatch match,
                           void* self) {
    auto* check = static_cast<host_key_check*>(self);
    switch (match) {
    case CURLKHMATCH_OK:
        return CURLKHSTAT_FINE;
    case CURLKHMATCH_MISSING:
        // Not CURLKHSTAT_FINE_ADD_TO_FILE: libcurl would rewrite the whole file from what
        // libssh2 understood of it, and record the host without its port.
        check->record(*found);
        return CURLKHSTAT_FINE;
    case CURLKHMATCH_MISMATCH:
    case CURLKHMATCH_LAST:
        break;
    }
    check->changed = true;
    return CURLKHSTAT_REJECT;
}

void host_key_check::record(const curl_khkey& found) const {
    const QByteArray blob = found.len ? QByteArray(found.key, qsizetype(found.len))
                                      : QByteArray::fromBase64(QByteArray(found.key));
    // The key blob starts with its type name: a 32-bit big-endian length, then the name.
    if (blob.size() < 4)
        return;
    const auto* bytes = reinterpret_cast<const uchar*>(blob.constData());
    const quint32 name_length = quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 |
                                quint32(bytes[2]) << 8 | quint32(bytes[3]);
    if (name_length == 0 || name_length > quint32(blob.size() - 4))
        return;
    const QByteArray line =
        host_entry.toUtf8() + ' ' + blob.mid(4, name_length) + ' ' + blob.toBase64() + '\n';
    const QFileInfo info(file);
    if (!info.dir().exists() && QDir().mkpath(info.absolutePath()))
        QFile::setPermissions(info.absolutePath(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile known_hosts(file);
    // As with ssh, a file that cannot be written only means the same question next time.
    if (!known_hosts.open(QIODevice::ReadWrite))
        return;
    const qint64 size = known_hosts.size();
    bool at_line_start = size == 0;
    if (!at_line_start && known_hosts.seek(size - 1))
        at_line_start = known_hosts.read(1) == "\n";
    known_hosts.seek(size);
    known_hosts.write(at_line_start ? line : '\n' + line);
}

QString host_key_check::changed_text() const {
    return upload_text::tr("the host key of %1 has changed since it was recorded in %2; "
                           "connection refused. If the server's key was really replaced, remove "
                           "its old line from that file.")
        .arg(host_entry, file);
}

QString secure_failure_text(CURLcode code, const transfer_target& target, const QString& curl_error,
                            const host_key_check* keys) {
    if (keys && keys->key_changed())
        return keys->changed_text();
    switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
        if (target.scheme == url_scheme::sftp)
            return upload_text::tr("the host key of %1 was not accepted: %2")
                .arg(target.host, curl_error);
        return upload_text::tr("the certificate of %1 was refused: %2")
            .arg(target.host, curl_error);
    case CURLE_USE_SSL_FAILED:
        return upload_text::tr("%1 does not offer TLS (it refused AUTH TLS), so neither user name "
                               "nor password was sent: %2")
            .arg(target.host, curl_error);
    case CURLE_LOGIN_DENIED:
        if (target.scheme != url_scheme::sftp)
            return {}; // FTP's own reply, such as "530 Login incorrect.", says it already
        return upload_text::tr(
                   "the SFTP login at %1 was refused (user name or password wrong?): %2")
            .arg(target.host, curl_error);
    case CURLE_SSL_CONNECT_ERROR:
        return upload_text::tr("no TLS connection with %1: %2").arg(target.host, curl_error);
    default:
        return {};
    }
}
