#include "trusted_bundle.h"

#include "upload_text.h"

#include <QFile>

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
