// One ShowLocalFile in a real (offscreen) window, as a whole process, so that
// hyperfine and /usr/bin/time can set it beside a shell pipeline doing the same
// work. Prints the time of the call itself and the size of what the view holds.
//
//   show_local_file FILE TAIL [ENCODING [--baseline | --screenshot PNG]]
//
// ENCODING defaults to EUC. --baseline also times Qt's own setPlainText of the
// text the view ended with (the toolkit's floor for a display). --screenshot
// shows the window on the current display and saves what the screen shows of
// it.
#include "app/Form1.h"
#include "app/MessageBox.h"
#include "view/SjisMemo.h"
#include "app/WisplogApplication.h"

#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QPlainTextEdit>
#include <QThread>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE TAIL [ENCODING]\n", argv[0]);
        return 2;
    }
    const std::string file = argv[1];
    const int tail = std::atoi(argv[2]);
    const std::string encoding = argc > 3 ? argv[3] : "EUC";
    const std::string option = argc > 4 ? argv[4] : "";
    const QString screenshot = argc > 5 ? QString::fromLocal8Bit(argv[5]) : QString();

    if (option != "--screenshot" && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    WisplogApplication app(argc, argv);
    QTemporaryDir dir;
    QFile::copy(QStringLiteral(WISPLOG_BINARY_DIR "/NKF32.DLL"), dir.filePath(QStringLiteral("NKF32.DLL")));
    {
        QFile ini(dir.filePath(QStringLiteral("wisplog.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return 1;
        ini.write("bench:127.0.0.1:u:p:1:/log.txt\r\n");
    }
    bool failed = false;
    SetMessageBoxHook([&failed](const std::string&, const std::string&, unsigned) {
        failed = true;
        return 1;
    });
    StartupOptions options;
    options.ExeDir = dir.path().toStdString();
    auto form = std::make_unique<TForm1>(options);
    form->resize(800, 600);
    form->CurrentEncoding = encoding;
    if (option == "--screenshot") {
        form->show();
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(20);
        }
    }

    QElapsedTimer timer;
    timer.start();
    form->ShowLocalFile(file, tail);
    const qint64 ms = timer.elapsed();
    std::fprintf(stderr, "ShowLocalFile: %lld ms, view holds %lld bytes in %d lines%s\n",
                 static_cast<long long>(ms), static_cast<long long>(form->Memo1->TextLength()),
                 form->Memo1->LineCount(), failed ? " (failure box)" : "");
    if (option == "--baseline") {
        // The byte interface the search and the filter use, on what is shown.
        SjisMemo& memo = *form->Memo1;
        timer.restart();
        const std::string bytes = memo.Text();
        std::fprintf(stderr, "Text(): %lld ms for %zu bytes\n", static_cast<long long>(timer.elapsed()),
                     bytes.size());
        timer.restart();
        memo.SetSelStart(0);
        memo.SetSelText("x");                       // an edit at the start: every offset moves
        memo.SetSelStart(static_cast<int64_t>(bytes.size() / 2));
        memo.SetSelLength(10);
        const int64_t start = memo.SelStart();
        std::fprintf(stderr, "edit at the start, then caret and selection in the middle: %lld ms (at %lld)\n",
                     static_cast<long long>(timer.elapsed()), static_cast<long long>(start));
        timer.restart();
        int64_t lineBytes = 0;
        for (int i = 0; i < memo.LineCount(); ++i)
            lineBytes += static_cast<int64_t>(memo.Line(i).size());
        std::fprintf(stderr, "LineCount/Line over every line: %lld ms (%lld bytes)\n",
                     static_cast<long long>(timer.elapsed()), static_cast<long long>(lineBytes));
        timer.restart();
        // Each deletion makes the text again around the line.
        for (int i = 0; i < 100 && i < memo.LineCount(); ++i)
            memo.DeleteLine(i);
        std::fprintf(stderr, "DeleteLine of 100 lines: %lld ms\n", static_cast<long long>(timer.elapsed()));

        const QString text = form->Memo1->ShownText();
        QPlainTextEdit document;
        timer.restart();
        document.setPlainText(text);
        std::fprintf(stderr, "Qt setPlainText of the same text: %lld ms\n",
                     static_cast<long long>(timer.elapsed()));
    }
    if (option == "--screenshot") {
        for (int i = 0; i < 25; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(20);
        }
        const QPixmap shot = form->screen()->grabWindow(0, form->x(), form->y(),
                                                        form->frameGeometry().width(),
                                                        form->frameGeometry().height());
        if (!shot.save(screenshot))
            return 1;
    }
    return failed ? 1 : 0;
}
