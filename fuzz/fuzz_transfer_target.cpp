// A server URL, a port setting and a remote path give either a refusal with a reason or a URL
// that libcurl, parsing it as it does for a transfer, reads back to the same scheme, host, port
// and path, and that holds no user name, password or login options.
#include "property.h"
#include "transfer_target.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <curl/curl.h>
#include <memory>
#include <optional>

namespace {

std::optional<QString> part(CURLU* url, CURLUPart which, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, flags) != CURLUE_OK)
        return std::nullopt;
    const QString result = QString::fromUtf8(text);
    curl_free(text);
    return result;
}

QString curl_scheme_of(url_scheme scheme) {
    return scheme == url_scheme::ftps ? QStringLiteral("ftps") : QStringLiteral("ftp");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto port_setting = input.ConsumeIntegral<std::uint16_t>();
    const QString remote = QString::fromStdString(input.ConsumeRandomLengthString(128));
    const QString server_url = QString::fromStdString(input.ConsumeRemainingBytesAsString());

    const transfer_result<transfer_target> result = transfer_target_for(server_url, port_setting);
    REQUIRE(result.value.has_value() == !result.error);
    REQUIRE(result.value || !result.error.text.isEmpty());
    if (!result.value)
        return 0;
    const transfer_target& target = *result.value;
    if (target.scheme == url_scheme::sftp) // libssh's, named by host and port alone
        return 0;

    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    REQUIRE(url != nullptr);
    // The flags libcurl itself parses CURLOPT_URL with, CURLOPT_PATH_AS_IS being set.
    REQUIRE(curl_url_set(url.get(), CURLUPART_URL, target.url_of(remote).constData(),
                         CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) ==
            CURLUE_OK);
    REQUIRE(part(url.get(), CURLUPART_SCHEME) == curl_scheme_of(target.scheme));
    const std::optional<QString> host = part(url.get(), CURLUPART_HOST);
    REQUIRE(host && !host->isEmpty());
    REQUIRE(*host == target.host || *host == u'[' + target.host + u']');
    REQUIRE(part(url.get(), CURLUPART_PORT) == QString::number(target.port));
    REQUIRE(!part(url.get(), CURLUPART_USER));
    REQUIRE(!part(url.get(), CURLUPART_PASSWORD));
    REQUIRE(!part(url.get(), CURLUPART_OPTIONS));
    REQUIRE(!part(url.get(), CURLUPART_QUERY));
    REQUIRE(!part(url.get(), CURLUPART_FRAGMENT));
    // Decoded here: libcurl's own decoding refuses control characters.
    const std::optional<QString> path = part(url.get(), CURLUPART_PATH);
    REQUIRE(path);
    // libcurl's FTP starts with CWD / for a first segment %2F.
    REQUIRE(QByteArray::fromPercentEncoding(path->toUtf8()) == (u'/' + remote).toUtf8());
    return 0;
}
