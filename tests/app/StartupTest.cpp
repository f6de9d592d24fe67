// Start-up as the program runs it, and the report of failures that escape
// event handlers.
#include "StartupFixture.h"

#include "app/Startup.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>

namespace {

using Startup = StartupFixture;

// Closes the main window as soon as the event loop runs, with a watchdog so
// a start-up that never returns fails the test instead of hanging it.
void CloseMainWindowWhenShown()
{
    QTimer::singleShot(50, [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<TForm1*>(widget))
                widget->close();
    });
}

TEST_F(Startup, MissingHostListIsReportedAndNoWindowShows)
{
    QTimer watchdog;
    watchdog.callOnTimeout([] { QApplication::quit(); });
    watchdog.start(10000);
    EXPECT_EQ(RunMainWindow(Options()), 1) << "a failed start-up exits with status 1";
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "ファイル " + IniFullPath() + " は開けません.");
    EXPECT_EQ(Boxes[0].Caption, "wisplog");
    EXPECT_EQ(Boxes[0].Flags, 0x10u);
    EXPECT_FALSE(Boxes[0].MainWindowVisible);
    EXPECT_TRUE(watchdog.isActive()) << "start-up ran the event loop";
}

TEST_F(Startup, ShortFirstProfileIsReportedAndNoWindowShows)
{
    WriteIni("only:three:fields\r\ngood:h:u:p:1:/a.log\r\n");
    EXPECT_EQ(RunMainWindow(Options()), 1);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "リストのインデックスが範囲を超えています (5)");
    EXPECT_FALSE(Boxes[0].MainWindowVisible);
}

TEST_F(Startup, MissingLibraryEndsQuietlyWhateverTheHostListHolds)
{
    // No wisplog.ini either: the library check comes first.
    StartupOptions options = Options();
    options.LibraryName = "NKF32-missing.DLL";
    QTimer watchdog;
    watchdog.callOnTimeout([] { QApplication::quit(); });
    watchdog.start(10000);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(RunMainWindow(options), 1);
    EXPECT_LT(clock.elapsed(), 9000) << "the program did not end by itself";
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Startup, GoodHostListShowsTheWindowUntilItCloses)
{
    WriteIni("a:h:u:p:1:/a.log\r\n");
    CloseMainWindowWhenShown();
    EXPECT_EQ(RunMainWindow(Options()), 0);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Startup, HandlerFailuresAreReportedAndTheLoopGoesOn)
{
    QTimer::singleShot(0, [] { throw Exception("Not Connected"); });
    QTimer::singleShot(0, [] { throw ESilentAbort(); });
    QTimer::singleShot(0, [] { throw 42; });
    QElapsedTimer clock;
    clock.start();
    while (Boxes.size() < 2 && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents();
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[0].Text, "Not Connected.");
    EXPECT_EQ(Boxes[0].Caption, "wisplog");
    EXPECT_EQ(Boxes[0].Flags, 0x10u);
    EXPECT_EQ(Boxes[1].Text, "");  // not an exception of ours: empty message
}

TEST_F(Startup, MenuCommandFailureReachesTheReport)
{
    auto form = MakeForm("a:h:u:p:1:/a.log\r\n");
    form->show();
    // A command of the window's own menu whose handler fails.
    QAction* failing = form->Edit1->addAction(QStringLiteral("Fail"));
    QObject::connect(failing, &QAction::triggered, [] { throw Exception("500 Unknown command"); });
    QTimer::singleShot(0, failing, &QAction::trigger);
    QElapsedTimer clock;
    clock.start();
    while (Boxes.empty() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "500 Unknown command.");
}

} // namespace
