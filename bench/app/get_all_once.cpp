// One Ctrl+F5 ("Get all") as a whole process, for the big-log benchmark
// (bench/app/bench_get_all.sh): the real window, offscreen, with one profile
// "label:127.0.0.1:anonymous:guest:1:/big.log:PORT::ENCODING" in a temporary
// executable directory, then mnGetAll triggered once. Prints, in milliseconds,
// the time from the key to the end shown; optionally then the time of a find
// of WORD upward from the end (--find-up WORD) and of the line filter on TEXT
// (--filter TEXT), and saves screenshots of the window at the end and after
// the find (--shots DIR).
//
//   get_all_once PORT WORKDIR ENCODING [--find-up WORD] [--filter TEXT] [--shots DIR]
#include "app/Form1.h"
#include "app/MessageBox.h"
#include "view/SjisMemo.h"
#include "view/SjisTextStore.h"
#include "app/WisplogApplication.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT WORKDIR ENCODING [--find-up WORD] [--filter TEXT] [--shots DIR]\n",
                     argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const QString workDir = QString::fromLocal8Bit(argv[2]);
    const std::string encoding = argv[3];
    std::string findUp;
    std::string filter;
    QString shots;
    for (int i = 4; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--find-up") == 0)
            findUp = argv[i + 1];
        else if (std::strcmp(argv[i], "--filter") == 0)
            filter = argv[i + 1];
        else if (std::strcmp(argv[i], "--shots") == 0)
            shots = QString::fromLocal8Bit(argv[i + 1]);
        else if (std::strcmp(argv[i], "--text-in-file-from") == 0)
            SetSjisTextInFileFrom(std::strtoull(argv[i + 1], nullptr, 10));
    }
    ::alarm(900);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    WisplogApplication app(argc, argv);

    QTemporaryDir exeDir;
    if (!exeDir.isValid() ||
        !QFile::copy(QStringLiteral(WISPLOG_BINARY_DIR "/NKF32.DLL"), exeDir.filePath(QStringLiteral("NKF32.DLL"))))
        return 1;
    {
        QFile ini(exeDir.filePath(QStringLiteral("wisplog.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return 1;
        const std::string profile = "label:127.0.0.1:anonymous:guest:1:/big.log:" + std::to_string(port) + "::"
                                    + encoding + "\r\n";
        ini.write(profile.data(), static_cast<qint64>(profile.size()));
    }
    if (!QDir::setCurrent(workDir))
        return 1;
    std::string failure;
    SetMessageBoxHook([&failure](const std::string& text, const std::string& caption, unsigned) {
        failure = caption + ": " + text;
        return 1;
    });
    StartupOptions options;
    options.ExeDir = exeDir.path().toStdString();
    auto form = std::make_unique<TForm1>(options);
    if (form->TerminationRequested() || !failure.empty())
        return 1;
    form->KZFTP1->Port = port;
    form->resize(1000, 700);
    form->show();

    QElapsedTimer clock;
    clock.start();
    form->mnGetAll->trigger();
    SjisMemo* memo = form->Memo1;
    memo->viewport()->repaint();
    const qint64 shown = clock.elapsed();
    const bool atEnd = memo->SelStart() == memo->TextLength()
        && memo->verticalScrollBar()->value() == memo->verticalScrollBar()->maximum();
    std::printf("get-all %lld ms, %lld bytes, %d lines, end shown %s\n", static_cast<long long>(shown),
                static_cast<long long>(memo->TextLength()), memo->LineCount(), atEnd ? "yes" : "NO");
    if (!shots.isEmpty())
        form->grab().save(QDir(shots).filePath(QStringLiteral("view-end.png")));
    if (!failure.empty() || !atEnd) {
        std::fprintf(stderr, "get_all_once: %s\n", failure.c_str());
        return 1;
    }

    // The display alone, from the copy now in the system's file cache: what
    // of the time above was not the download.
    clock.restart();
    const std::string again = form->ShowLocalFile(form->LastFile, 0);
    memo->viewport()->repaint();
    std::printf("display %lld ms%s\n", static_cast<long long>(clock.elapsed()), again.empty() ? "" : " FAILED");

    if (!findUp.empty()) {
        memo->SetSelStart(memo->TextLength());
        clock.restart();
        const SjisView::SearchEnd end = memo->FindWait(findUp, sjis::FindOptions{false, false, true});
        memo->viewport()->repaint();
        std::printf("find-up %lld ms, %s at %lld\n", static_cast<long long>(clock.elapsed()),
                    end == SjisView::SearchEnd::Found ? "found" : "NOT found", static_cast<long long>(memo->SelStart()));
        if (!shots.isEmpty()) {
            // The middle of the text after a find from there.
            memo->SetSelStart(memo->TextLength() / 2);
            memo->FindWait("ERROR", sjis::FindOptions{true, false, false});
            memo->viewport()->repaint();
            form->grab().save(QDir(shots).filePath(QStringLiteral("view-middle-find.png")));
        }
    }
    if (!filter.empty()) {
        form->EdtGrep->setText(QString::fromStdString(filter));
        clock.restart();
        form->Button2->click();
        memo->viewport()->repaint();
        std::printf("filter %lld ms, %d lines kept\n", static_cast<long long>(clock.elapsed()), memo->LineCount());
    }
    return 0;
}
