// One F5 fetch as a whole process, for hyperfine beside lftp + iconv | tail
// (bench/app/bench_fetch.sh): the real window, built offscreen in a temporary
// executable directory holding NKF32.DLL and a wisplog.ini whose only profile
// is "label:127.0.0.1:anonymous:guest:1:/big.log:PORT" (or another remote
// path; an encoding in field 8 with --encoding), then "Get 10K tail"
// triggered once. The fetch returns
// after the display; the program checks that the view holds at least 10,000
// bytes and that no failure was reported, then exits.
//
//   fetch_once PORT [WORKDIR] [--remote PATH] [--encoding NAME] [--sftp USER] [--phases]
//
// --sftp makes the profile "label:127.0.0.1:USER::1:PATH:PORT:sftp": the file
// comes over SFTP, the host key from HOME's known_hosts and the log-in by
// the agent or HOME's key files (bench/sftp/bench_fetch.sh).
// The local copy is written in WORKDIR (default: a temporary directory removed
// at exit). --remote replaces the profile's path /big.log (its file name must
// stay big.log). --encoding names the view's encoding in the profile (a
// caption of the encoding menu: JIS, EUC, UTF8, Unicode, SJIS, or auto for
// detection); without it the start-up encoding, EUC, holds. --phases prints the time of the
// window's construction and of the
// fetch, then the time of one more display of the local copy, so the fetch can
// be split into download and display.
#include "app/Form1.h"
#include "app/MessageBox.h"
#include "view/SjisMemo.h"
#include "app/WisplogApplication.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [WORKDIR] [--remote PATH] [--encoding NAME] [--phases]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    QString workDirArg;
    std::string remote = "/big.log";
    std::string encoding;
    bool phases = false;
    std::string sftpUser;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--phases") == 0)
            phases = true;
        else if (std::strcmp(argv[i], "--remote") == 0 && i + 1 < argc)
            remote = argv[++i];
        else if (std::strcmp(argv[i], "--encoding") == 0 && i + 1 < argc)
            encoding = argv[++i];
        else if (std::strcmp(argv[i], "--sftp") == 0 && i + 1 < argc)
            sftpUser = argv[++i];
        else
            workDirArg = QString::fromLocal8Bit(argv[i]);
    }
    // A fault in the server or the program fails the run instead of hanging it.
    ::alarm(300);

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QElapsedTimer clock;
    clock.start();
    WisplogApplication app(argc, argv);

    QTemporaryDir exeDir;
    if (!exeDir.isValid() ||
        !QFile::copy(QStringLiteral(WISPLOG_BINARY_DIR "/NKF32.DLL"), exeDir.filePath(QStringLiteral("NKF32.DLL")))) {
        std::fprintf(stderr, "fetch_once: cannot prepare the executable directory\n");
        return 1;
    }
    {
        QFile ini(exeDir.filePath(QStringLiteral("wisplog.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return 1;
        // Field 6 is the server's port, field 8 the view's encoding.
        const std::string encodingField = encoding == "auto" ? "自動" : encoding;
        const std::string login = sftpUser.empty() ? "anonymous:guest" : sftpUser + ":";
        const std::string security = sftpUser.empty() ? "" : "sftp";
        const std::string profile = "label:127.0.0.1:" + login + ":1:" + remote + ":" + std::to_string(port)
                                    + ":" + security + ":" + encodingField + "\r\n";
        ini.write(profile.data(), static_cast<qint64>(profile.size()));
    }
    QTemporaryDir ownWorkDir;
    const QString workDir = workDirArg.isEmpty() ? ownWorkDir.path() : workDirArg;
    if (workDir.isEmpty() || !QDir::setCurrent(workDir)) {
        std::fprintf(stderr, "fetch_once: cannot enter the working directory\n");
        return 1;
    }

    std::string failure;
    SetMessageBoxHook([&failure](const std::string& text, const std::string& caption, unsigned) {
        failure = caption + ": " + text;
        return 1;
    });
    StartupOptions options;
    options.ExeDir = exeDir.path().toStdString();
    auto form = std::make_unique<TForm1>(options);
    if (form->TerminationRequested() || !failure.empty()) {
        std::fprintf(stderr, "fetch_once: start-up failed %s\n", failure.c_str());
        return 1;
    }
    form->KZFTP1->Port = port;
    form->show();
    const qint64 built = clock.elapsed();

    clock.restart();
    form->mnGet10Ktail->trigger();
    const qint64 fetched = clock.elapsed();

    const long long shown = static_cast<long long>(form->Memo1->TextLength());
    const std::string status = form->mnStatus->text().toStdString();
    if (phases) {
        clock.restart();
        form->ShowLocalFile("big.log", 10000);
        const qint64 displayed = clock.elapsed();
        std::fprintf(stderr,
                     "start-up %lld ms, fetch %lld ms (display of the local copy alone: %lld ms), "
                     "view holds %lld bytes\n",
                     static_cast<long long>(built), static_cast<long long>(fetched),
                     static_cast<long long>(displayed), shown);
    }
    if (shown < 10000 || !failure.empty() || !status.empty()) {
        std::fprintf(stderr, "fetch_once: the view holds %lld bytes; status \"%s\"; %s\n", shown,
                     status.c_str(), failure.c_str());
        return 1;
    }
    return 0;
}
