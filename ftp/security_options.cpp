#include "security_options.h"

#include "upload_text.h"

#include <QFile>

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
        break;
    }
    return "";
}

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
                                    bool tls_1_2_at_most) {
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
        options.set(CURLOPT_SSLVERSION, "CURLOPT_SSLVERSION",
                    long(CURL_SSLVERSION_TLSv1_2) |
                        (tls_1_2_at_most ? long(CURL_SSLVERSION_MAX_TLSv1_2) : 0L));
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
        return {transfer_error::kind::broken,
                upload_text::tr("SFTP does not go through libcurl, so nothing was sent")};
    }
    return options.result();
}
