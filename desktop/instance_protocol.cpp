#include "instance_protocol.h"

namespace instance_protocol {

QByteArray line_of(const QStringList& fields) {
    QByteArrayList encoded;
    for (const QString& field : fields)
        encoded << field.toUtf8().toPercentEncoding();
    return encoded.join('\t') + '\n';
}

QStringList fields_of(const QByteArray& line) {
    QStringList fields;
    for (const QByteArray& field : line.chopped(line.endsWith('\n') ? 1 : 0).split('\t'))
        fields << QString::fromUtf8(QByteArray::fromPercentEncoding(field));
    return fields;
}

} // namespace instance_protocol
