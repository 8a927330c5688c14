#include "transfer_target.h"

#include "upload_text.h"

#include <curl/curl.h>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

namespace {

struct scheme_row {
    url_scheme scheme;
    QStringView name;        // as the user writes it
    const char* curl_scheme; // as libcurl gets it
};

constexpr scheme_row schemes[] = {
    {url_scheme::ftp, u"ftp", "ftp"},
    {url_scheme::ftpes, u"ftpes", "ftp"},
    {url_scheme::ftps, u"ftps", "ftps"},
    {url_scheme::sftp, u"sftp", "sftp"},
};

const scheme_row* row_named(const QString& name) {
    for (const auto& row : schemes)
        if (row.name == name)
            return &row;
    return nullptr;
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

QByteArray transfer_target::url_of(const QString& remote_path) const {
    // "/www/a.php" is absolute: the first segment %2F makes libcurl name "/www/a.php".
    const bool absolute = remote_path.startsWith(u'/');
    const QByteArray path =
        (absolute ? remote_path.mid(1) : remote_path).toUtf8().toPercentEncoding("/");
    return origin + (absolute ? "/%2F" : "/") + path;
}

transfer_result<transfer_target> transfer_target_for(const QString& server_url,
                                                     quint16 port_setting) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    const auto refused = [](const QString& why) {
        return transfer_error{transfer_error::kind::broken,
                              upload_text::tr("server URL not usable: %1").arg(why), true};
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
    for (const auto& [part, value] : {std::pair{CURLUPART_SCHEME, std::string(row->curl_scheme)},
                                      std::pair{CURLUPART_PORT, std::to_string(target.port)},
                                      std::pair{CURLUPART_PATH, std::string("/")}})
        if (const CURLUcode rc = curl_url_set(url.get(), part, value.c_str(), 0))
            return refused(QString::fromUtf8(curl_url_strerror(rc)));
    target.origin = url_part(url.get(), CURLUPART_URL).toUtf8();
    if (target.origin.endsWith('/'))
        target.origin.chop(1); // the path "/": each exchange adds its own
    return target;
}
