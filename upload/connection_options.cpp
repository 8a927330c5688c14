#include "connection_options.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

namespace {

struct upload_text final {
    Q_DECLARE_TR_FUNCTIONS(upload)
};

struct scheme_row {
    url_scheme scheme;
    QStringView name;        // as the user writes it
    const char* curl_scheme; // as libcurl gets it
    const char* protocol;    // the only one libcurl may speak for it
};

constexpr scheme_row schemes[] = {
    {url_scheme::ftp, u"ftp", "ftp", "ftp"},
    {url_scheme::ftpes, u"ftpes", "ftp", "ftp"},
    {url_scheme::ftps, u"ftps", "ftps", "ftps"},
    {url_scheme::sftp, u"sftp", "sftp", "sftp"},
};

const scheme_row* row_named(const QString& name) {
    for (const auto& row : schemes)
        if (row.name == name)
            return &row;
    return nullptr;
}

const scheme_row& row_of(url_scheme scheme) {
    for (const auto& row : schemes)
        if (row.scheme == scheme)
            return row;
    return schemes[0];
}

QString url_part(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK)
        return {};
    QString result = QString::fromUtf8(text);
    curl_free(text);
    return result;
}

// Present even when empty: "ftp://@host" holds an empty user name.
bool has_part(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    const bool present = curl_url_get(url, part, &text, 0) == CURLUE_OK;
    curl_free(text);
    return present;
}

QByteArray percent_encoded_path(const QString& path) {
    return path.toUtf8().toPercentEncoding("/");
}

// FTP: "/www/a.php" is absolute (the first segment %2F makes libcurl start with CWD /).
// SFTP paths are absolute to libcurl; its "/~/" prefix stands for the login directory.
QByteArray url_path(url_scheme scheme, const QString& remote) {
    const bool absolute = remote.startsWith(u'/');
    const QByteArray path = percent_encoded_path(absolute ? remote.mid(1) : remote);
    if (scheme == url_scheme::sftp)
        return (absolute ? "/" : "/~/") + path;
    return (absolute ? "/%2F" : "/") + path;
}

quint16 standard_port(url_scheme scheme, quint16 port_setting) {
    switch (scheme) {
    case url_scheme::ftps:
        return 990;
    case url_scheme::sftp:
        return 22;
    case url_scheme::ftp:
    case url_scheme::ftpes:
        break;
    }
    return port_setting;
}

QString host_without_brackets(const QString& host) {
    return host.startsWith(u'[') && host.endsWith(u']') ? host.mid(1, host.size() - 2) : host;
}

} // namespace

target_result transfer_target_for(const QString& server_url, quint16 port_setting,
                                  const QString& remote_path) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    const auto refused = [](const QString& why) {
        return target_result{std::nullopt, upload_text::tr("server URL not usable: %1").arg(why)};
    };
    if (!url)
        return refused(upload_text::tr("out of memory"));
    // libcurl would read the URL only up to it.
    if (server_url.contains(QChar(0)))
        return refused(upload_text::tr("it holds a NUL character"));
    // "ftpes" is ours, not libcurl's; every other scheme is refused below.
    if (const CURLUcode rc = curl_url_set(url.get(), CURLUPART_URL, server_url.toUtf8().constData(),
                                          CURLU_NON_SUPPORT_SCHEME))
        return refused(QString::fromUtf8(curl_url_strerror(rc)));
    const scheme_row* row = row_named(url_part(url.get(), CURLUPART_SCHEME).toLower());
    if (!row)
        return refused(upload_text::tr("it must start with ftp:// (plain FTP), ftpes:// (FTP with "
                                       "TLS), ftps:// (FTP with implicit TLS) or sftp://"));
    if (has_part(url.get(), CURLUPART_USER) || has_part(url.get(), CURLUPART_PASSWORD) ||
        has_part(url.get(), CURLUPART_OPTIONS))
        return refused(upload_text::tr("it must not hold a user name or password"));
    const QString path = url_part(url.get(), CURLUPART_PATH);
    if ((!path.isEmpty() && path != u"/") || !url_part(url.get(), CURLUPART_QUERY).isEmpty() ||
        !url_part(url.get(), CURLUPART_FRAGMENT).isEmpty())
        return refused(upload_text::tr("it may name only the host and port"));

    transfer_target target{
        row->scheme, host_without_brackets(url_part(url.get(), CURLUPART_HOST)), 0, {}};
    const QString port = url_part(url.get(), CURLUPART_PORT);
    target.port = port.isEmpty() ? standard_port(row->scheme, port_setting) : port.toUShort();
    if (target.port == 0)
        return refused(upload_text::tr("port 0 cannot be connected to"));
    // A part libcurl refused would leave the URL pointing elsewhere than the target.
    for (const auto& [part, value] :
         {std::pair{CURLUPART_SCHEME, std::string(row->curl_scheme)},
          std::pair{CURLUPART_PORT, std::to_string(target.port)},
          std::pair{CURLUPART_PATH, url_path(row->scheme, remote_path).toStdString()}})
        if (const CURLUcode rc = curl_url_set(url.get(), part, value.c_str(), 0))
            return refused(QString::fromUtf8(curl_url_strerror(rc)));
    target.url = url_part(url.get(), CURLUPART_URL).toUtf8();
    return {target, {}};
}

bool read_trusted_bundle(CURL* curl, const QString& extra_ca_file, QByteArray* bundle,
                         QString* error) {
    bundle->clear();
    if (extra_ca_file.isEmpty())
        return true;
    QFile extra(extra_ca_file);
    if (!extra.open(QIODevice::ReadOnly)) {
        *error = upload_text::tr("the trusted certificate file %1 cannot be read: %2")
                     .arg(extra_ca_file, extra.errorString());
        return false;
    }
    const char* system_bundle = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &system_bundle) == CURLE_OK && system_bundle) {
        QFile system(QFile::decodeName(system_bundle));
        if (system.open(QIODevice::ReadOnly))
            *bundle = system.readAll() + '\n';
    }
    *bundle += extra.readAll();
    return true;
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
    QString result() const { return refused; }

private:
    CURL* curl;
    QString refused;
};

} // namespace

QString set_security_options(CURL* curl, url_scheme scheme, const QByteArray& ca_bundle,
                             host_key_check* keys) {
    checked_options options(curl);
    options.set(CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", row_of(scheme).protocol);
    switch (scheme) {
    case url_scheme::ftp:
        break;
    case url_scheme::ftpes:
    case url_scheme::ftps: {
        options.set(CURLOPT_USE_SSL, "CURLOPT_USE_SSL", long(CURLUSESSL_ALL));
        options.set(CURLOPT_FTPSSLAUTH, "CURLOPT_FTPSSLAUTH", long(CURLFTPAUTH_TLS));
        // TLS 1.2 only: under 1.3 the server may send a session ticket on the data connection
        // after libcurl has written the whole upload and closed it, and the kernel answers that
        // with a reset that drops the bytes not yet sent (vsftpd: "426 Failure reading network
        // stream"). Data connections must resume the control connection's session, so both keep
        // to 1.2.
        options.set(CURLOPT_SSLVERSION, "CURLOPT_SSLVERSION",
                    long(CURL_SSLVERSION_TLSv1_2) | long(CURL_SSLVERSION_MAX_TLSv1_2));
        options.set(CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", 1L);
        options.set(CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", 2L);
        if (ca_bundle.isEmpty())
            break;
        curl_blob blob{const_cast<char*>(ca_bundle.data()), size_t(ca_bundle.size()),
                       CURL_BLOB_COPY};
        options.set(CURLOPT_CAINFO_BLOB, "CURLOPT_CAINFO_BLOB", &blob);
        break;
    }
    case url_scheme::sftp:
        options.set(CURLOPT_SSH_AUTH_TYPES, "CURLOPT_SSH_AUTH_TYPES", long(CURLSSH_AUTH_PASSWORD));
        if (!keys)
            return upload_text::tr("no host key check was given for SFTP, so nothing was sent");
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
