#include "failure_path.h"
#include "form1.h"
#include "layout_table.h"
#include "settings_file.h"
#include "settings_location.h"
#include "test_language.h"
#include "test_support.h"
#include "user_language.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray initial_file =
    "ftp://ftp.example.com\r\nwebmaster\r\nwolkenbus7\r\nC:\\Internet\\\r\n"
    "/www/\r\naktuell_home.php\r\n";

// Six texts written "a|b|c|d|e|f".
QStringList six(const QString& joined) {
    return joined.split(u'|');
}

// Free-standing boxes in file order, as long as Form1's.
struct six_boxes {
    std::array<QLineEdit, 6> edits;
    setting_boxes boxes;
    explicit six_boxes(const QStringList& texts = QStringList(6, u"untouched"_s)) {
        for (std::size_t i = 0; i < edits.size(); ++i) {
            edits[i].setMaxLength(INT_MAX);
            edits[i].setText(texts[static_cast<qsizetype>(i)]);
            boxes[i] = &edits[i];
        }
    }
};

setting_boxes boxes_of(const Form1& form) {
    return {form.txt_ftp_server, form.txt_ftp_user, form.txt_ftp_password,
            form.txt_localdir,   form.txt_ftpdir,   form.txt_page};
}

QStringList texts_of(const setting_boxes& boxes) {
    QStringList texts;
    for (const QLineEdit* box : boxes)
        texts << box->text();
    return texts;
}

// The message of the failure that `step` throws; empty if it throws none.
template <class Step> QString failure_of(Step step) {
    try {
        step();
    } catch (const settings_failure& failure) {
        return QString::fromUtf8(failure.what());
    }
    return {};
}

QString system_reason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Lowers one resource limit of this process for as long as it lives.
class lowered_limit final {
public:
    lowered_limit(int resource, rlim_t soft) : resource(resource) {
        getrlimit(resource, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = soft;
        setrlimit(resource, &lowered);
    }
    ~lowered_limit() { setrlimit(resource, &saved); }

private:
    int resource;
    rlimit saved{};
};

// A tmpfs of 64 KiB on `where` for as long as it lives, so that a test can fill a disk.
class small_disk final {
public:
    explicit small_disk(const QString& where) : where(QFile::encodeName(where)) {
        mounted = mount("tmpfs", this->where.constData(), "tmpfs", 0, "size=64k,mode=0700") == 0;
    }
    ~small_disk() {
        if (mounted)
            umount2(where.constData(), MNT_DETACH);
    }
    bool remount_read_only() {
        return mount("tmpfs", where.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    bool mounted = false;

private:
    QByteArray where;
};

// A folder that even root cannot write in: a tmpfs there, filled, then remounted read-only.
// Other users need no mount: taking the write bits away does.
class read_only_folder final {
public:
    explicit read_only_folder(const QString& where) : where(where) {
        if (geteuid() == 0)
            disk = std::make_unique<small_disk>(where);
    }
    bool possible() const { return !disk || disk->mounted; }
    bool seal() {
        if (disk)
            return disk->remount_read_only();
        QFile::setPermissions(settings_path(where), QFileDevice::ReadOwner); // if there is one
        return QFile::setPermissions(where, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }

private:
    QString where;
    std::unique_ptr<small_disk> disk;
};

enum class obstacle {
    none,
    no_file,
    directory_at_path,
    no_directory,
    no_descriptors,
    full_disk,
    size_limit
};

} // namespace

Q_DECLARE_METATYPE(obstacle)

class test_settings_file final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void save_writes_data();
    void save_writes();
    void load_reads_data();
    void load_reads();
    void load_keeps_boxes_data();
    void load_keeps_boxes();
    void failed_save_keeps_old_file_data();
    void failed_save_keeps_old_file();
    void permissions_data();
    void permissions();
    void form_save_then_restart_data();
    void form_save_then_restart();
    void form_load_failure_reaches_message_and_program_goes_on();
    void form_save_data();
    void form_save();
    void settings_place_data();
    void settings_place();

private:
    void start(Form1& form) {
        run_handler(&form, u"Start"_s, [&] { form.start_up(); });
    }

    std::unique_ptr<QTemporaryDir> dir;
    QString path;
    QStringList shown; // what the failure path showed
    failure_sink old_sink;
};

void test_settings_file::initTestCase() {
    install_translations();
}

void test_settings_file::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    path = settings_path(dir->path());
    shown.clear();
    old_sink = set_failure_sink([this](QWidget*, const QString& text) { shown << text; });
}

void test_settings_file::cleanup() {
    set_failure_sink(old_sink);
    qunsetenv("XDG_CONFIG_HOME");
}

void test_settings_file::save_writes_data() {
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty settings as empty lines")
        << QStringList(6) << QByteArray("\r\n").repeated(6);
    QTest::newRow("blanks kept") << six(u" ftp://h |  |\tpw |C:\\a b\\| /|p "_s)
                                 << QByteArray(
                                        " ftp://h \r\n  \r\n\tpw \r\nC:\\a b\\\r\n /\r\np \r\n");
    QTest::newRow("german in windows-1252") << six(u"ftp://m\u00e4rz.de|Stra\u00dfe|5\u20ac|||"_s)
                                            << QByteArray("ftp://m\xe4rz.de\r\nStra\xdf"
                                                          "e\r\n5\x80\r\n\r\n\r\n\r\n");
    QTest::newRow("one character beyond windows-1252 makes all utf-8")
        << six(u"m\u00e4rz||has\u0142o|||"_s)
        << QByteArray("m\xc3\xa4rz\r\n\r\nhas\xc5\x82o\r\n\r\n\r\n\r\n");
    QTest::newRow("windows-1252 that would pass for utf-8 is written as utf-8")
        << six(u"\u00c3\u00a4|||||"_s) << QByteArray("\xc3\x83\xc2\xa4\r\n\r\n\r\n\r\n\r\n\r\n");
    QTest::newRow("NUL") << six(QString(QChar(0)) + u"|||||"_s)
                         << QByteArray("\0\r\n\r\n\r\n\r\n\r\n\r\n", 13);
}

void test_settings_file::save_writes() {
    QFETCH(QStringList, texts);
    QFETCH(QByteArray, bytes);
    save_settings(path, six_boxes(texts).boxes);
    QCOMPARE(file_content(path), bytes);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{u"ftpserver.ini"_s});
    six_boxes loaded;
    load_settings(path, loaded.boxes);
    QCOMPARE(texts_of(loaded.boxes), texts);
}

void test_settings_file::load_reads_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<bool>("read_only");
    const QStringList a_to_f = six(u"a|b|c|d|e|f"_s);
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\nc\r\nd\r\ne\r\nf\r\n") << a_to_f << false;
    QTest::newRow("read-only file")
        << QByteArray("a\r\nb\r\nc\r\nd\r\ne\r\nf\r\n") << a_to_f << true;
    QTest::newRow("lines after the sixth ignored")
        << QByteArray("a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\n\xff\r\n") << a_to_f << false;
    QTest::newRow("sixth line without end")
        << QByteArray("a\r\nb\r\nc\r\nd\r\ne\r\nf") << a_to_f << false;
    QTest::newRow("CR alone") << QByteArray("a\rb\rc\rd\re\rf\r") << a_to_f << false;
    QTest::newRow("LF alone") << QByteArray("a\nb\nc\nd\ne\nf") << a_to_f << false;
    QTest::newRow("mixed ends, CR CR is an empty line")
        << QByteArray("a\r\rb\n\r\nc\rd") << six(u"a||b||c|d"_s) << false;
    QTest::newRow("windows-1252 of the original program")
        << QByteArray("\xe4\r\n\xdf\r\n\x80\r\n\r\n\r\n\r\n") << six(u"\u00e4|\u00df|\u20ac|||"_s)
        << false;
    QTest::newRow("utf-8 with byte-order mark")
        << QByteArray("\xef\xbb\xbf\xc3\xa4\r\nhas\xc5\x82o\r\n\r\n\r\n\r\n\r\n")
        << six(u"\u00e4|has\u0142o||||"_s) << false;
    QTest::newRow("not utf-8 throughout: all windows-1252")
        << QByteArray("\xc3\xa4\r\n\xe4\r\n\r\n\r\n\r\n\r\n") << six(u"\u00c3\u00a4|\u00e4||||"_s)
        << false;
    QTest::newRow("NUL") << QByteArray("a\0b\r\n\r\n\r\n\r\n\r\n\r\n", 14)
                         << six(QString::fromLatin1("a\0b", 3) + u"|||||"_s) << false;
    const QByteArray long_line(3 * 1024 * 1024, 'x');
    QTest::newRow("three megabyte line")
        << long_line + "\r\nb\r\nc\r\nd\r\ne\r\nf\r\n"
        << six(QString::fromLatin1(long_line) + u"|b|c|d|e|f"_s) << false;
    // Where one read of the file ends, a CR may be parted from its LF.
    for (qsizetype length : {4095, 16383, 65535, 131071}) {
        const QByteArray line(length, 'x');
        for (const QByteArray& end : {QByteArray("\r\n"), QByteArray("\r")})
            QTest::addRow("%s after %lld bytes", end.size() == 2 ? "CR LF" : "CR alone",
                          static_cast<long long>(length))
                << line + end + line + end + "c" + end + "d" + end + "e" + end + "f"
                << six(QString::fromLatin1(line + '|' + line + "|c|d|e|f")) << false;
    }
}

void test_settings_file::load_reads() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, texts);
    QFETCH(bool, read_only);
    QVERIFY(write_file(path, bytes));
    if (read_only)
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    six_boxes boxes;
    load_settings(path, boxes.boxes);
    QCOMPARE(texts_of(boxes.boxes), texts);
}

void test_settings_file::load_keeps_boxes_data() {
    QTest::addColumn<obstacle>("how");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason"); // empty: no failure, a missing file
    QTest::newRow("no file") << obstacle::no_file << QByteArray() << QString();
    QTest::newRow("a directory named ftpserver.ini")
        << obstacle::directory_at_path << QByteArray() << QString();
    QTest::newRow("empty file") << obstacle::none << QByteArray() << u"only 0 of 6 lines"_s;
    QTest::newRow("four lines") << obstacle::none << QByteArray("a\r\nb\r\nc\r\nd")
                                << u"only 4 of 6 lines"_s;
    QTest::newRow("five ended lines")
        << obstacle::none << QByteArray("a\r\nb\r\nc\r\nd\r\ne\r\n") << u"only 5 of 6 lines"_s;
    QTest::newRow("cannot be opened")
        << obstacle::no_descriptors << QByteArray("a\r\nb\r\nc\r\nd\r\ne\r\nf\r\n")
        << system_reason(EMFILE);
}

void test_settings_file::load_keeps_boxes() {
    QFETCH(obstacle, how);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    if (how == obstacle::directory_at_path)
        QVERIFY(QDir().mkdir(path));
    else if (how != obstacle::no_file)
        QVERIFY(write_file(path, bytes));
    six_boxes boxes;
    QString message;
    {
        std::unique_ptr<lowered_limit> limit;
        if (how == obstacle::no_descriptors)
            limit = std::make_unique<lowered_limit>(RLIMIT_NOFILE, 0);
        message = failure_of([&] { load_settings(path, boxes.boxes); });
    }
    if (reason.isEmpty()) {
        QCOMPARE(message, QString());
    } else {
        QVERIFY2(message.contains(QDir::toNativeSeparators(path)), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
    }
    QCOMPARE(texts_of(boxes.boxes), QStringList(6, u"untouched"_s));
}

void test_settings_file::failed_save_keeps_old_file_data() {
    QTest::addColumn<obstacle>("how");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a directory named ftpserver.ini")
        << obstacle::directory_at_path << u"pw"_s << u"directory"_s;
    QTest::newRow("no such directory")
        << obstacle::no_directory << u"pw"_s << system_reason(ENOENT);
    // Both make a short write, which commit() alone would let through.
    QTest::newRow("full disk") << obstacle::full_disk << u"pw"_s << system_reason(ENOSPC);
    QTest::newRow("file size limit") << obstacle::size_limit << u"pw"_s << system_reason(EFBIG);
    QTest::newRow("line break in a setting")
        << obstacle::none << u"pass\nword"_s << u"setting 3 of 6"_s;
}

void test_settings_file::failed_save_keeps_old_file() {
    QFETCH(obstacle, how);
    QFETCH(QString, password);
    QFETCH(QString, reason);
    const QString where = how == obstacle::no_directory ? dir->filePath(u"gone"_s)
                          : how == obstacle::full_disk  ? dir->filePath(u"disk"_s)
                                                        : dir->path();
    const QString file = settings_path(where);
    std::unique_ptr<small_disk> disk;
    if (how == obstacle::full_disk) {
        QVERIFY(QDir().mkdir(where));
        disk = std::make_unique<small_disk>(where);
        if (!disk->mounted)
            QSKIP("mounting a tmpfs was refused; the file size limit makes a short write too");
    }
    if (how == obstacle::directory_at_path)
        QVERIFY(QDir().mkdir(file));
    else if (how != obstacle::no_directory)
        QVERIFY(write_file(file, initial_file));

    six_boxes boxes(QStringList{QString(100'000, u's'), u"u"_s, password, u"l"_s, u"f"_s, u"p"_s});
    QString message;
    {
        std::unique_ptr<lowered_limit> limit;
        if (how == obstacle::size_limit) {
            std::signal(SIGXFSZ, SIG_IGN);
            limit = std::make_unique<lowered_limit>(RLIMIT_FSIZE, 16 * 1024);
        }
        message = failure_of([&] { save_settings(file, boxes.boxes); });
    }
    QVERIFY2(message.contains(QDir::toNativeSeparators(file)), qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    if (how == obstacle::directory_at_path)
        QVERIFY(QFileInfo(file).isDir());
    else if (how != obstacle::no_directory)
        QCOMPARE(file_content(file), initial_file);
    if (QFileInfo(where).isDir()) // and no half-written file left beside it
        QCOMPARE(QDir(where).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{u"ftpserver.ini"_s});
}

void test_settings_file::permissions_data() {
    QTest::addColumn<int>("old_mode"); // -1: no old file
    QTest::addColumn<int>("mode");
    QTest::newRow("new file for its owner only") << -1 << 0600;
    QTest::newRow("existing file keeps 0644") << 0644 << 0644;
    QTest::newRow("existing file keeps 0660") << 0660 << 0660;
}

void test_settings_file::permissions() {
    QFETCH(int, old_mode);
    QFETCH(int, mode);
    if (old_mode >= 0) {
        QVERIFY(write_file(path, initial_file));
        QCOMPARE(chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(old_mode)), 0);
    }
    save_settings(path, six_boxes().boxes);
    struct stat status {};
    QCOMPARE(stat(QFile::encodeName(path).constData(), &status), 0);
    QCOMPARE(static_cast<int>(status.st_mode & 07777), mode);
}

void test_settings_file::form_save_then_restart_data() {
    QTest::addColumn<QStringList>("typed"); // empty: the initial texts
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("initial texts") << QStringList() << initial_file;
    QStringList long_texts;
    QByteArray long_bytes;
    for (char c : {'s', 'u', 'p', 'l', 'f', 'x'}) {
        long_texts << QString(100'000, QLatin1Char(c));
        long_bytes += QByteArray(100'000, c) + "\r\n";
    }
    QTest::newRow("100,000 characters each") << long_texts << long_bytes;
    QTest::newRow("password with ł")
        << six(u"ftp://h|u|has\u0142o|C:\\|/|p"_s)
        << QByteArray("ftp://h\r\nu\r\nhas\xc5\x82o\r\nC:\\\r\n/\r\np\r\n");
}

void test_settings_file::form_save_then_restart() {
    QFETCH(QStringList, typed);
    QFETCH(QByteArray, bytes);
    QStringList saved;
    {
        Form1 first(dir->path());
        start(first);
        for (qsizetype i = 0; i < typed.size(); ++i)
            boxes_of(first)[static_cast<std::size_t>(i)]->setText(typed[i]);
        saved = texts_of(boxes_of(first));
        first.btn_save->click();
    }
    QCOMPARE(file_content(path), bytes);
    Form1 second(dir->path());
    start(second);
    QCOMPARE(shown, QStringList());
    QCOMPARE(texts_of(boxes_of(second)), saved);
    if (!typed.isEmpty())
        QCOMPARE(saved, typed);
}

void test_settings_file::form_load_failure_reaches_message_and_program_goes_on() {
    QVERIFY(write_file(path, "ftp://other\r\nother\r\nother\r\nother"));
    Form1 form(dir->path());
    const QStringList initial = texts_of(boxes_of(form));
    start(form);
    QCOMPARE(shown.size(), 1);
    const QString expected = in_language(
        u"Start failed:\nCannot read the settings from %1:\nit holds only 4 of 6 lines."_s,
        u"Start fehlgeschlagen:\nDie Einstellungen lassen sich nicht aus %1 lesen:\n"
        u"Die Datei enthält nur 4 von 6 Zeilen."_s);
    QCOMPARE(shown[0], expected.arg(QDir::toNativeSeparators(path)));
    QCOMPARE(texts_of(boxes_of(form)), initial);
    QCOMPARE(form.windowTitle(), u"FTP - Server"_s);
    form.btn_edit->click();
    QCOMPARE(form.outer_height(), expanded_height);
    QCOMPARE(shown.size(), 1);
}

void test_settings_file::form_save_data() {
    QTest::addColumn<bool>("expanded");
    QTest::addColumn<bool>("directory_at_path");
    QTest::addColumn<float>("height");
    QTest::newRow("expanded: writes, then collapses") << true << false << collapsed_height;
    QTest::newRow("collapsed: writes, then expands") << false << false << expanded_height;
    QTest::newRow("a directory named ftpserver.ini: failure, height kept")
        << true << true << expanded_height;
}

void test_settings_file::form_save() {
    QFETCH(bool, expanded);
    QFETCH(bool, directory_at_path);
    QFETCH(float, height);
    if (directory_at_path)
        QVERIFY(QDir().mkdir(path));
    Form1 form(dir->path());
    start(form);
    QCOMPARE(shown, QStringList()); // on loading, a directory counts as no file at all
    if (expanded)
        form.btn_edit->click();
    form.btn_save->click();
    QCOMPARE(form.outer_height(), height);
    if (directory_at_path) {
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].contains(QDir::toNativeSeparators(path)), qPrintable(shown[0]));
        QVERIFY(QFileInfo(path).isDir());
    } else {
        QCOMPARE(shown, QStringList());
        QCOMPARE(file_content(path), initial_file);
    }
}

void test_settings_file::settings_place_data() {
    QTest::addColumn<bool>("read_only");
    // 0: nothing, 1: ftpserver.ini, 2: a directory of that name, 3: nothing, but the program is
    // installed: its menu entry is in ../share/applications
    QTest::addColumn<int>("beside");
    QTest::addColumn<bool>("config_blocked"); // a file where the user's folder would be made
    QTest::addColumn<bool>("in_config");      // where the settings are read and written
    QTest::addColumn<QString>("reason");      // empty: Save writes
    QTest::newRow("writable folder: a new file beside the program")
        << false << 0 << false << false << QString();
    QTest::newRow("writable folder: the file beside") << false << 1 << false << false << QString();
    QTest::newRow("read-only file beside: read, Save refused, old file kept")
        << true << 1 << false << false << u"not writable"_s;
    QTest::newRow("read-only folder: Save makes the user's folder")
        << true << 0 << false << true << QString();
    QTest::newRow("read-only folder with a directory named ftpserver.ini: the user's folder")
        << true << 2 << false << true << QString();
    QTest::newRow("installed copy in a folder root may write: the user's folder")
        << false << 3 << false << true << QString();
    QTest::newRow("the user's folder cannot be made")
        << true << 0 << true << true << system_reason(ENOTDIR);
}

void test_settings_file::settings_place() {
    QFETCH(bool, read_only);
    QFETCH(int, beside);
    QFETCH(bool, config_blocked);
    QFETCH(bool, in_config);
    QFETCH(QString, reason);
    const QString program_dir = dir->filePath(u"bin"_s);
    const QString home = dir->filePath(u"home"_s);
    QVERIFY(QDir().mkpath(program_dir) && QDir().mkpath(home));
    QVERIFY(!config_blocked || write_file(home + u"/.config"_s, "a file"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + u"/.config"_s));
    const QString config_dir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    read_only_folder sealed(program_dir);
    if (!sealed.possible())
        QSKIP("mounting a tmpfs was refused, and root can write in any other folder");
    const QByteArray old_file = "ftp://old\r\nu\r\np\r\nl\r\nf\r\nold.html\r\n";
    if (beside == 1)
        QVERIFY(write_file(settings_path(program_dir), old_file));
    if (beside == 2)
        QVERIFY(QDir().mkdir(settings_path(program_dir)));
    if (beside == 3)
        QVERIFY(QDir().mkpath(dir->filePath(u"share/applications"_s)) &&
                write_file(dir->filePath(u"share/applications/" APP_ID ".desktop"_s), ""));
    if (read_only)
        QVERIFY(sealed.seal());
    const QString used = settings_path(in_config ? config_dir : program_dir);
    const QString unused = settings_path(in_config ? program_dir : config_dir);

    Form1 form(settings_folder(program_dir, config_dir));
    start(form);
    QCOMPARE(form.txt_page->text(), beside == 1 ? u"old.html"_s : u"aktuell_home.php"_s);
    form.btn_edit->click();
    form.txt_page->setText(u"new.html"_s);
    form.btn_save->click();
    if (reason.isEmpty()) {
        QCOMPARE(shown, QStringList());
        QVERIFY(file_content(used).endsWith("\r\nnew.html\r\n"));
    } else {
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].contains(QDir::toNativeSeparators(used)), qPrintable(shown[0]));
        QVERIFY2(shown[0].contains(reason), qPrintable(shown[0]));
        QCOMPARE(form.outer_height(), expanded_height); // the typed settings stay on screen
        QCOMPARE(form.txt_page->text(), u"new.html"_s);
        QCOMPARE(QFileInfo::exists(used), beside == 1);
        if (beside == 1)
            QCOMPARE(file_content(used), old_file);
    }
    QCOMPARE(QFileInfo(unused).isFile(), false);
}

QTEST_MAIN(test_settings_file)
#include "test_settings_file.moc"
