// The real upload code, driven for tools/bench. Every figure printed is measured here.
//   bench_upload put <url> <user> <password> <local file> <remote path> [<CA file> <known_hosts>
//       [<SSH folder>]]
//       per line on stdin one PUT, then CLOSE, through the transfer component and
//       wait_for_transfer, as a click does; seconds run from the first setting to the
//       response being readable; at the end of stdin the process's peak RSS
//   bench_upload click <settings dir>
//       an offscreen Form1 that reads its settings from <settings dir>; each line on stdin
//       clicks "nach FTP kopieren" once; seconds run from the click to the outcome title
//   bench_upload site <url> <user> <password> <local dir> <remote dir> [<CA file> <known_hosts>
//       [<SSH folder>]]
//       an offscreen Form1 with these settings; each line on stdin publishes every file of the
//       local dir as `ftp-publisher --publish FILE...` does (a PUT each over one login, one
//       CLOSE); seconds run from the request to the last file's outcome
//   bench_upload versions
#include "failure_path.h"
#include "form1.h"
#include "transfer_component.h"
#include "transfer_libraries.h"
#include "upload_page.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <curl/curl.h>
#include <iostream>
#include <libssh/libssh.h>
#include <memory>
#include <string>
#include <sys/resource.h>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double cpu_seconds(const rusage& usage) {
    const auto of = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return of(usage.ru_utime) + of(usage.ru_stime);
}

rusage own_usage() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

void print_line(const char* key, const QString& value) {
    std::printf("%s=%s\n", key, value.simplified().toUtf8().constData());
}

// One upload per line on stdin, each followed by "end"; the process lives on between them as
// the program does between clicks.
template <class Upload> void for_each_line(Upload upload) {
    for (std::string line; std::getline(std::cin, line);) {
        upload();
        std::printf("end\n");
        std::fflush(stdout);
    }
}

// The optional <CA file> <known_hosts> [<SSH folder>] after the first six arguments.
transfer_options options_from(int argc, char* argv[]) {
    transfer_options options;
    if (argc >= 9) {
        options.extra_ca_file = QString::fromLocal8Bit(argv[7]);
        options.known_hosts_file = QString::fromLocal8Bit(argv[8]);
    }
    if (argc == 10)
        options.ssh_folder = QString::fromLocal8Bit(argv[9]);
    return options;
}

int put(int argc, char* argv[]) {
    transfer_component inet(options_from(argc, argv));
    const QString command = QStringLiteral("PUT ") + QString::fromLocal8Bit(argv[5]) + u' ' +
                            QString::fromLocal8Bit(argv[6]);
    for_each_line([&] {
        const rusage before = own_usage();
        const clock_type::time_point start = clock_type::now();
        inet.set_access_type(0);
        inet.set_protocol(2);
        inet.set_remote_port(21);
        inet.set_url(QString::fromLocal8Bit(argv[2]));
        inet.set_user_name(QString::fromLocal8Bit(argv[3]));
        inet.set_password(QString::fromLocal8Bit(argv[4]));
        wait_for_transfer(inet);
        inet.execute(std::nullopt, command);
        wait_for_transfer(inet);
        const QString response = inet.response_text();
        const double seconds = seconds_since(start);
        inet.execute(std::nullopt, QStringLiteral("CLOSE"));
        wait_for_transfer(inet);
        std::printf("seconds=%.6f\ncpu_seconds=%.6f\n", seconds,
                    cpu_seconds(own_usage()) - cpu_seconds(before));
        print_line("response", response);
    });
    std::printf("max_rss_kib=%ld\n", own_usage().ru_maxrss);
    return 0;
}

int click(char* argv[]) {
    set_failure_sink([](QWidget*, const QString& text) { print_line("failure", text); });
    Form1 form(QString::fromLocal8Bit(argv[2]));
    form.start_up();
    form.show();

    clock_type::time_point outcome_at;
    QObject::connect(&form, &QWidget::windowTitleChanged, &form, [&outcome_at](const QString& t) {
        if (t == u"O.K." || t == u"Fehler")
            outcome_at = clock_type::now();
    });
    for_each_line([&] {
        // The last click's CLOSE runs on unwaited; it must not be billed to this one.
        wait_for_transfer(form.Inet1);
        form.setWindowTitle(QStringLiteral("FTP - Server"));
        const clock_type::time_point start = clock_type::now();
        form.btn_copy->click();
        std::printf("seconds=%.6f\n", std::chrono::duration<double>(outcome_at - start).count());
        print_line("title", form.windowTitle());
        print_line("response", form.btn_copy->toolTip());
    });
    wait_for_transfer(form.Inet1);
    return 0;
}

int site(int argc, char* argv[]) {
    set_failure_sink([](QWidget*, const QString& text) { print_line("failure", text); });
    const QTemporaryDir settings;
    Form1 form(settings.path(), options_from(argc, argv));
    form.txt_ftp_server->setText(QString::fromLocal8Bit(argv[2]));
    form.txt_ftp_user->setText(QString::fromLocal8Bit(argv[3]));
    form.txt_ftp_password->setText(QString::fromLocal8Bit(argv[4]));
    const QString local_dir = QString::fromLocal8Bit(argv[5]);
    form.txt_localdir->setText(local_dir);
    form.txt_ftpdir->setText(QString::fromLocal8Bit(argv[6]));
    QList<site_file> files;
    for (const QString& name : QDir(local_dir).entryList(QDir::Files, QDir::Name))
        files << site_file{local_dir + u'/' + name, name};
    for_each_line([&] {
        wait_for_transfer(form.Inet1); // the last run's CLOSE
        int published = 0;
        QString last;
        const clock_type::time_point start = clock_type::now();
        form.publish_files(files, [&](bool ok, const QString& reason) {
            published += ok ? 1 : 0;
            last = reason;
        });
        std::printf("seconds=%.6f\nfiles=%lld\npublished=%d\n", seconds_since(start),
                    static_cast<long long>(files.size()), published);
        print_line("response", last);
    });
    wait_for_transfer(form.Inet1);
    return 0;
}

int versions() {
    std::printf("libcurl=%s\nlibssh=%s\nqt=%s\n", curl_version_info(CURLVERSION_NOW)->version,
                ssh_version(0), qVersion());
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const transfer_libraries libraries;
    int rc = 2;
    {
        // A GUI application does deferred work in its first event loop runs, which would
        // compete with the transfer; the component itself needs only the core event loop.
        const std::unique_ptr<QCoreApplication> app =
            mode == "click" || mode == "site" ? std::make_unique<QApplication>(argc, argv)
                                              : std::make_unique<QCoreApplication>(argc, argv);
        if (mode == "put" && (argc == 7 || argc == 9 || argc == 10))
            rc = put(argc, argv);
        else if (mode == "click" && argc == 3)
            rc = click(argv);
        else if (mode == "site" && (argc == 7 || argc == 9 || argc == 10))
            rc = site(argc, argv);
        else if (mode == "versions")
            rc = versions();
        else
            std::fprintf(stderr, "usage: bench_upload put|click|site|versions ...\n");
    }
    return rc;
}
