// The program's own start-up (RunMainWindow) for the exit test: presses F5
// in the window, prints "running" once the fetch runs (for the look-up
// variant: once the look-up is held), then takes one command from stdin:
// "exit" (File → Exit), "close" (the window's close box). Signals come
// from the test itself. With "follow" it presses F6 instead and prints
// "running" once following has started; the test watches its server for
// the moment to close.
//
//   stop_exit_helper EXE_DIR [lookup|follow]
#include "SlowLookup.h"

#include "app/FollowCommand.h"
#include "app/Form1.h"
#include "view/SjisMemo.h"
#include "app/Startup.h"
#include "app/WisplogApplication.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    WisplogApplication app(argc, argv);
    StartupOptions options;
    options.ExeDir = argv[1];
    const bool lookup = argc > 2 && std::strcmp(argv[2], "lookup") == 0;
    const bool follow = argc > 2 && std::strcmp(argv[2], "follow") == 0;

    TForm1* form = nullptr;
    QTimer poll;
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    commands.setEnabled(false);
    QObject::connect(&commands, &QSocketNotifier::activated, [&] {
        char line[64] = {};
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
        commands.setEnabled(false);
        if (n > 0 && std::strncmp(line, "exit", 4) == 0)
            form->Exit1->trigger();
        else if (n > 0 && std::strncmp(line, "close", 5) == 0)
            form->close();
    });
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (follow ? !form->Follow1->Following()
                   : !form->FetchRunning() || (lookup && !SlowLookup::WaitHeld(std::chrono::milliseconds(0))))
            return;
        poll.stop();
        std::printf("running\n");
        std::fflush(stdout);
        commands.setEnabled(true);
    });
    QTimer::singleShot(0, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<TForm1*>(widget))
                form = found;
        if (!form)
            return;
        form->KZFTP1->TimeOut = 30000;
        QApplication::setActiveWindow(form);
        if (!QTest::qWaitForWindowActive(form))
            std::fprintf(stderr, "stop_exit_helper: the window did not become active\n");
        poll.start(10);
        QTest::keyClick(form->Memo1, follow ? Qt::Key_F6 : Qt::Key_F5);
    });
    const int status = RunMainWindow(options);
    EndIfLookupsRun(status);
    return status;
}
