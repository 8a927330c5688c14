#include "secure_failure_text.h"

#include "upload_text.h"

QString secure_failure_text(CURLcode code, const transfer_target& target,
                            const QString& curl_error) {
    switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
        return upload_text::tr("the certificate of %1 was refused: %2")
            .arg(target.host, curl_error);
    case CURLE_USE_SSL_FAILED:
        return upload_text::tr("%1 does not offer TLS (it refused AUTH TLS), so neither user name "
                               "nor password was sent: %2")
            .arg(target.host, curl_error);
    case CURLE_SSL_CONNECT_ERROR:
        return upload_text::tr("no TLS connection with %1: %2").arg(target.host, curl_error);
    default:
        return {};
    }
}
