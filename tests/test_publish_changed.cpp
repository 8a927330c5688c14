#include "form1.h"
#include "ftp_server_fixture.h"
#include "ignore_rules.h"
#include "publish_record.h"

#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/time.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// What one run told: each file's line as the client prints it, the other lines, the result.
struct run_told {
    QStringList files; // "O.K. blog/a.html" or "Fehler blog/a.html"
    QStringList said;
    site_run_result result;
};

} // namespace

class test_publish_changed final : public QObject {
    Q_OBJECT
private slots:
    void init();
    void ignore_rules_skip_data();
    void ignore_rules_skip();
    void sends_only_what_changed_over_one_login();
    void marked_site_sends_nothing_and_a_dry_run_changes_nothing();
    void refused_folder_is_tried_again_next_run();
    void missing_local_directory_is_refused();

private:
    run_told run(Form1& form, changed_mode mode = changed_mode::publish);
    std::unique_ptr<Form1> window_for(const ftp_server& server);
    void write(const QString& relative, const QByteArray& content);
    QString site_path(const QString& relative) const { return site->filePath(relative); }

    std::unique_ptr<QTemporaryDir> site;
    std::unique_ptr<QTemporaryDir> state;
    QTemporaryDir settings;
};

void test_publish_changed::init() {
    site = std::make_unique<QTemporaryDir>();
    state = std::make_unique<QTemporaryDir>();
    qputenv("XDG_STATE_HOME", QFile::encodeName(state->path()));
}

void test_publish_changed::ignore_rules_skip_data() {
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("skipped");

    QTest::newRow("a hidden file at any depth") << QString() << u"a/.htaccess"_s << false << true;
    QTest::newRow("a hidden folder") << QString() << u".git"_s << true << true;
    QTest::newRow("editor leftovers") << QString() << u"blog/neu.html~"_s << false << true;
    QTest::newRow("vim's swap file") << QString() << u"neu.html.swp"_s << false << true;
    QTest::newRow("vim's test file") << QString() << u"blog/4913"_s << false << true;
    QTest::newRow("emacs' autosave") << QString() << u"#neu.html#"_s << false << true;
    QTest::newRow("a page") << QString() << u"blog/neu.html"_s << false << false;
    QTest::newRow("a name at any depth") << u"*.psd\n"_s << u"img/a/b.psd"_s << false << true;
    QTest::newRow("a comment and a blank line")
        << u"# *.html\n\n"_s << u"index.html"_s << false << false;
    QTest::newRow("a folder pattern matches folders")
        << u"drafts/\n"_s << u"blog/drafts"_s << true << true;
    QTest::newRow("a folder pattern leaves files alone")
        << u"drafts/\n"_s << u"drafts"_s << false << false;
    QTest::newRow("anchored at the top") << u"/build\n"_s << u"build"_s << true << true;
    QTest::newRow("anchored, not deeper") << u"/build\n"_s << u"src/build"_s << true << false;
    QTest::newRow("a path at any depth")
        << u"blog/draft-*.html\r\n"_s << u"de/blog/draft-1.html"_s << false << true;
    QTest::newRow("a star stays within a name")
        << u"/*.html\n"_s << u"a/b.html"_s << false << false;
    QTest::newRow("a lone slash skips nothing") << u"/\n"_s << u"index.html"_s << false << false;
}

void test_publish_changed::ignore_rules_skip() {
    QFETCH(QString, rules);
    QFETCH(QString, relative);
    QFETCH(bool, folder);
    QFETCH(bool, skipped);
    QCOMPARE(ignore_rules::from_text(rules).skips(relative, folder), skipped);
}

std::unique_ptr<Form1> test_publish_changed::window_for(const ftp_server& server) {
    auto form = std::make_unique<Form1>(settings.path(), short_limits());
    form->txt_ftp_server->setText(server.url());
    form->txt_ftp_user->setText(ftp_server::user());
    form->txt_ftp_password->setText(ftp_server::password());
    form->txt_localdir->setText(site->path() + u'/');
    form->txt_ftpdir->setText(u"/www/"_s);
    return form;
}

void test_publish_changed::write(const QString& relative, const QByteArray& content) {
    QVERIFY(write_file(site_path(relative), content));
}

run_told test_publish_changed::run(Form1& form, changed_mode mode) {
    run_told told;
    bool finished = false;
    form.publish_changed(mode,
                         {[&told](bool ok, const QString& line) {
                              told.files
                                  << (ok ? u"O.K. "_s : u"Fehler "_s) + line.section(u": "_s, 0, 0);
                          },
                          [&told](const QString& line) { told.said << line; }},
                         [&](const site_run_result& result) {
                             told.result = result;
                             finished = true;
                         });
    if (!finished)
        qWarning("the run did not finish at once");
    return told;
}

// The first run sends every file but the skipped ones, over one login; the next sends nothing
// and does not log in; then exactly the edited and the new file go, not the touched one.
void test_publish_changed::sends_only_what_changed_over_one_login() {
    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(QDir(server.home()).mkpath(u"www"_s));
    QStringList pages;
    for (int i = 0; i < 20; ++i) {
        pages << u"blog/%1.html"_s.arg(QString::number(i).rightJustified(2, u'0'));
        write(pages.last(), awkward_content(20 * 1024 + i));
    }
    write(u"index.html"_s, "<p>start</p>\n");
    write(u".htaccess"_s, "deny\n");
    write(u"index.html~"_s, "old\n");
    write(u"drafts/new.html"_s, "draft\n");
    write(ignore_rules::file_name, "drafts/\n");
    const auto form = window_for(server);

    const run_told first = run(*form);
    QCOMPARE(first.result.summary, u"21 published, 0 failed, 0 unchanged"_s);
    QCOMPARE(first.files.size(), 21);
    QVERIFY2(first.said.join(u'\n').contains(u"nothing published yet"_s),
             qPrintable(first.said.join(u'\n')));
    QCOMPARE(server.events_starting_with(u"COMMAND USER"_s).size(), 1);
    QCOMPARE(file_content(server.home() + u"/www/blog/07.html"_s), awkward_content(20 * 1024 + 7));
    QVERIFY(server.wait_for_event(u"COMMAND QUIT"_s));
    QCOMPARE(QDir(server.home() + u"/www"_s)
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{u"blog"_s, u"index.html"_s}));

    const int connections = server.events_starting_with(u"CONNECT"_s).size();
    const run_told second = run(*form);
    QCOMPARE(second.result.summary, u"0 published, 0 failed, 21 unchanged"_s);
    QCOMPARE(server.events_starting_with(u"CONNECT"_s).size(), connections);

    write(u"blog/03.html"_s, awkward_content(20 * 1024 + 3).replace('\r', 'x')); // same size
    const timeval later[2] = {{2000000000, 0}, {2000000000, 0}};
    QCOMPARE(::utimes(QFile::encodeName(site_path(u"index.html"_s)).constData(), later), 0);
    write(u"blog/new.html"_s, "<p>neu</p>\n");
    const run_told third = run(*form);
    QCOMPARE(third.files, (QStringList{u"O.K. blog/03.html"_s, u"O.K. blog/new.html"_s}));
    QCOMPARE(third.result.unchanged, 20);
    QCOMPARE(file_content(server.home() + u"/www/blog/new.html"_s), "<p>neu</p>\n"_ba);
}

// A site already online as it is: marked, then nothing goes; a dry run lists and records nothing.
void test_publish_changed::marked_site_sends_nothing_and_a_dry_run_changes_nothing() {
    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    write(u"index.html"_s, "<p>start</p>\n");
    write(u"a/b.html"_s, "<p>b</p>\n");
    const auto form = window_for(server);

    const run_told dry = run(*form, changed_mode::dry_run);
    QCOMPARE(dry.said.mid(1), (QStringList{u"a/b.html"_s, u"index.html"_s}));
    QCOMPARE(dry.result.summary, u"2 to publish, 0 failed, 0 unchanged"_s);
    QCOMPARE(run(*form, changed_mode::dry_run).said, dry.said); // recorded nothing

    QCOMPARE(run(*form, changed_mode::mark_published).result.summary,
             u"2 marked as published, 0 failed, 0 unchanged"_s);
    const run_told after = run(*form);
    QCOMPARE(after.result.summary, u"0 published, 0 failed, 2 unchanged"_s);
    QVERIFY(server.events_starting_with(u"CONNECT"_s).isEmpty());
}

// A folder the server will not make: its file fails, the rest arrive, and the next run tries
// exactly that file again.
void test_publish_changed::refused_folder_is_tried_again_next_run() {
    ftp_server server({u"--reply"_s, u"MKD"_s, u"550 Not allowed."_s});
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(QDir(server.home()).mkpath(u"www"_s));
    write(u"index.html"_s, "<p>start</p>\n");
    write(u"neu/seite.html"_s, "<p>neu</p>\n");
    const auto form = window_for(server);

    const run_told first = run(*form);
    QCOMPARE(first.files, (QStringList{u"O.K. index.html"_s, u"Fehler neu/seite.html"_s}));
    QCOMPARE(first.result.summary, u"1 published, 1 failed, 0 unchanged"_s);
    QVERIFY2(first.result.first_failure.contains(u"550 Not allowed"_s),
             qPrintable(first.result.first_failure));
    QCOMPARE(run(*form).files, QStringList{u"Fehler neu/seite.html"_s});
}

void test_publish_changed::missing_local_directory_is_refused() {
    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    const auto form = window_for(server);
    form->txt_localdir->setText(site->path() + u"/fehlt/"_s);
    const run_told told = run(*form);
    QVERIFY2(told.result.refused.contains(u"fehlt"_s), qPrintable(told.result.refused));
    QVERIFY(told.files.isEmpty());
    QVERIFY(server.events_starting_with(u"CONNECT"_s).isEmpty());
}

QTEST_MAIN(test_publish_changed)
#include "test_publish_changed.moc"
