#include "publish_record.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>
#include <utility>

namespace {

// One line a file: hash, size, modified, changed, then the path percent-encoded (a tab or line
// break in a name cannot split it).
QByteArray line_of(const QString& relative, const publish_record::file& f) {
    return f.sha256 + '\t' + QByteArray::number(f.size) + '\t' + QByteArray::number(f.modified_ms) +
           '\t' + QByteArray::number(f.changed_ms) + '\t' + QUrl::toPercentEncoding(relative, "/") +
           '\n';
}

constexpr char header[] = "# ftp-publisher: what was published, one file a line\n";

} // namespace

QString publish_record::path_in(const QString& state_dir, const QString& url, const QString& user,
                                const QString& remote_dir) {
    QCryptographicHash which(QCryptographicHash::Sha256);
    for (const QString& part : {url, user, remote_dir})
        which.addData(part.toUtf8() + '\0');
    return state_dir + QStringLiteral("/published-") +
           QString::fromLatin1(which.result().toHex().left(24)) + QStringLiteral(".txt");
}

QString publish_record::state_folder(const QString& settings_dir, const QString& program_dir) {
    if (QDir(settings_dir) == QDir(program_dir))
        return settings_dir;
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    return (state.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/state") : state) +
           QStringLiteral("/ftp-publisher");
}

bool publish_record::folder_made() {
    const QString folder = QFileInfo(path).absolutePath();
    if (QDir().mkpath(folder))
        return true;
    why = QStringLiteral("cannot create %1").arg(folder);
    return false;
}

bool publish_record::load() {
    files.clear();
    QFile record(path);
    if (!record.open(QIODevice::ReadOnly))
        return false;
    while (!record.atEnd()) {
        const QByteArray line = record.readLine();
        // A line cut short by a crash, or anything not ours, counts as not published.
        if (!line.endsWith('\n') || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.chopped(1).split('\t');
        bool numbers = fields.size() == 5 && fields[0].size() == 64;
        file read;
        if (numbers) {
            bool a = false, b = false, c = false;
            read = {fields[0], fields[1].toLongLong(&a), fields[2].toLongLong(&b),
                    fields[3].toLongLong(&c)};
            numbers = a && b && c;
        }
        if (numbers)
            files.insert(QUrl::fromPercentEncoding(fields[4]), read);
    }
    return record.error() == QFileDevice::NoError;
}

const publish_record::file* publish_record::find(const QString& relative) const {
    const auto found = files.constFind(relative);
    return found == files.cend() ? nullptr : &*found;
}

bool publish_record::add(const QString& relative, const file& published) {
    files.insert(relative, published);
    added = true;
    if (!folder_made())
        return false;
    QFile record(path);
    const bool fresh = !record.exists();
    // One write of a whole line: a crash leaves it whole or cut, and a cut one is ignored.
    const QByteArray line =
        (fresh ? QByteArray(header) : QByteArray()) + line_of(relative, published);
    if (!record.open(QIODevice::Append) || record.write(line) != line.size() || !record.flush()) {
        why = record.errorString();
        return false;
    }
    return true;
}

bool publish_record::write_whole() {
    if (!std::exchange(added, false))
        return true;
    if (!folder_made())
        return false;
    QSaveFile record(path);
    if (!record.open(QIODevice::WriteOnly))
        return false;
    QByteArray text(header);
    for (auto f = files.cbegin(); f != files.cend(); ++f)
        text += line_of(f.key(), f.value());
    record.write(text);
    if (!record.commit()) {
        why = record.errorString();
        return false;
    }
    return true;
}

std::optional<QByteArray> content_hash(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return std::nullopt;
    return hash.result().toHex();
}
