// Stopping a running fetch, the busy controls and the progress texts: the
// real window offscreen, driven by real key presses and clicks, against the
// scripted server, pyftpdlib and a look-up that never answers.
#include "SlowLookup.h"
#include "FetchDirFixture.h"

#include "app/FindDialog.h"
#include "view/SjisMemo.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TestCertificates.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <csignal>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;

std::string ReadLocal(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A loopback port that takes no more connections: it listens with a
// backlog of 0, and the one connection the queue holds is already made by
// fillers that are never accepted, so a connect gets no answer at all.
class SilentListener {
public:
    SilentListener()
    {
        FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(FListener, 0);
        socklen_t length = sizeof address;
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length);
        FPort = ntohs(address.sin_port);
        for (int& filler : FFillers) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        usleep(50000);
    }
    ~SilentListener()
    {
        for (int filler : FFillers)
            ::close(filler);
        ::close(FListener);
    }
    int Port() const { return FPort; }

private:
    int FListener = -1;
    int FFillers[3] = {-1, -1, -1};
    int FPort = 0;
};

// The scripted session up to the log-in.
ScriptedFtpServer& LogIn(ScriptedFtpServer& server)
{
    return server.Send("220 ready\r\n").Reply("331 password please\r\n").Reply("230 logged in\r\n");
}

// The scripted session up to the data phase (passive).
ScriptedFtpServer& UpToData(ScriptedFtpServer& server, const std::string& reply150)
{
    return LogIn(server)
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply(reply150);
}

// Every line of a host list (six fields each) with the control port as its
// seventh field.
std::string WithPort(const std::string& ini, int port)
{
    std::string out;
    std::size_t start = 0;
    for (std::size_t end = ini.find("\r\n"); end != std::string::npos; end = ini.find("\r\n", start)) {
        out += ini.substr(start, end - start) + ":" + std::to_string(port) + "\r\n";
        start = end + 2;
    }
    return out;
}

// Points every profile of a running window at another control port.
void SetPort(TForm1& form, int port)
{
    TextList updated;
    for (int i = 0; i < form.HostList.Count(); ++i) {
        std::string line = form.HostList[i];
        line.erase(line.rfind(':'));
        updated.Add(line + ":" + std::to_string(port));
    }
    form.HostList = updated;
}

bool Has(const std::vector<std::string>& transcript, const std::string& prefix)
{
    for (const auto& line : transcript)
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

class Stop : public FetchDirFixture {
protected:

    std::unique_ptr<TForm1> MakeStopForm(const std::string& ini, int port)
    {
        auto form = MakeForm(WithPort(ini, port));
        form->KZFTP1->TimeOut = 30000;  // only the stop may end a wait
        form->show();
        QApplication::setActiveWindow(form.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        form->Memo1->SetText("before\r\n");
        form->Memo1->setFocus();
        return form;
    }

    // Presses F5 in the view; the fetch runs inside the key press. Once
    // ready() holds (polled from the fetch's own waits), action runs; the
    // answer is the time from action to the end of the fetch, -1 when
    // ready() never held.
    qint64 FetchAndAct(TForm1& form, std::function<bool()> ready, std::function<void()> action,
                       int pollMs = 10)
    {
        QElapsedTimer sinceAction;
        QElapsedTimer waited;
        waited.start();
        bool acted = false;
        QTimer poll;
        poll.setInterval(pollMs);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (acted)
                return;
            if (!ready()) {
                if (waited.elapsed() > 10000) {
                    acted = true;  // give up: the stop below ends the fetch
                    form.StopFetch();
                }
                return;
            }
            acted = true;
            poll.stop();
            sinceAction.start();
            action();
        });
        poll.start();
        QTest::keyClick(form.Memo1, Qt::Key_F5);
        poll.stop();
        return sinceAction.isValid() ? sinceAction.elapsed() : -1;
    }

    // The outcome every stop must have.
    void ExpectStopped(TForm1& form, const char* where)
    {
        SCOPED_TRACE(where);
        EXPECT_FALSE(form.FetchRunning());
        EXPECT_TRUE(form.FetchWasStopped());
        EXPECT_TRUE(form.LastFetch().Stopped);
        EXPECT_FALSE(form.LastFetch().Failed) << "a stop is not a failure";
        EXPECT_EQ(form.mnStatus->text(), "中止");
        EXPECT_EQ(form.Memo1->Text(), "before\r\n") << "the view keeps what it showed";
        EXPECT_TRUE(Boxes.empty()) << "a stop is not a failure";
        EXPECT_FALSE(form.KZFTP1->Connected());
        EXPECT_EQ(form.KZFTP1->DataConnection(), nullptr);
        EXPECT_TRUE(form.mnGet10Ktail->isEnabled());
        EXPECT_TRUE(form.Button1->isEnabled());
    }

};

std::string ScriptedProfile(const std::string& host, const std::string& passive, const std::string& path)
{
    return "s:" + host + ":u:p:" + passive + ":" + path + "\r\n";
}

void PressEsc(TForm1& form) { QTest::keyClick(form.Memo1, Qt::Key_Escape); }

void ReportStopTime(const char* what, qint64 took)
{
    std::printf("[ figure   ] %s: idle %lld ms after Esc\n", what, (long long)took);
}

TEST_F(Stop, EscEndsEveryKindOfWaitAtOnce)
{
    constexpr qint64 Bound = 200;  // key press to idle window

    {
        SCOPED_TRACE("look-up that never answers");
        SlowLookup::Rearm();
        auto form = MakeStopForm(ScriptedProfile(SlowLookup::Name, "1", "/d/f.log"), 21);
        const qint64 took = FetchAndAct(*form, [] { return SlowLookup::WaitHeld(0ms); },
                                        [&] { PressEsc(*form); });
        SlowLookup::Release();
        EXPECT_GE(took, 0);
        EXPECT_LE(took, Bound);
        ReportStopTime("look-up", took);
        ExpectStopped(*form, "look-up");
    }
    {
        SCOPED_TRACE("connect to an address that never answers");
        SilentListener silent;
        auto form = MakeStopForm(ScriptedProfile("127.0.0.1", "1", "/d/f.log"), silent.Port());
        QElapsedTimer started;
        started.start();
        const qint64 took = FetchAndAct(*form, [&] { return started.elapsed() > 300; },
                                        [&] { PressEsc(*form); });
        EXPECT_GE(took, 0);
        EXPECT_LE(took, Bound);
        ReportStopTime("connect", took);
        ExpectStopped(*form, "connect");
    }
    {
        SCOPED_TRACE("a reply that never comes");
        ScriptedFtpServer server;
        server.Send("220 ready\r\n").Receive().Pause(20s);
        auto form = MakeStopForm(ScriptedProfile("127.0.0.1", "1", "/d/f.log"), server.Port());
        const qint64 took = FetchAndAct(*form, [&] { return Has(server.Transcript(), "USER"); },
                                        [&] {
                                            // Esc in the filter field stops too, before its own Esc.
                                            form->FilterLines1->trigger();
                                            QTest::keyClick(form->EdtGrep, Qt::Key_Escape);
                                        });
        EXPECT_GE(took, 0);
        EXPECT_LE(took, Bound);
        ReportStopTime("reply", took);
        ExpectStopped(*form, "reply");
        QTest::qWait(100);
        EXPECT_EQ(server.Transcript(), std::vector<std::string>{"USER u"}) << "no QUIT";
    }
    {
        SCOPED_TRACE("a stalled data connection");
        ScriptedFtpServer server;
        const std::string part(100000, 'x');
        UpToData(server, "150 Opening BINARY mode data connection for f.log (1000000 bytes)\r\n")
            .SendData(part)
            .Pause(20s);
        {
            std::ofstream old("f.log", std::ios::binary);
            old << "old copy\n";
        }
        auto form = MakeStopForm(ScriptedProfile("127.0.0.1", "1", "/d/f.log"), server.Port());
        const qint64 took = FetchAndAct(
            *form,
            [&] {
                const QStringList parts = PartFiles();
                return parts.size() == 1 && QFileInfo(parts[0]).size() == qint64(part.size());
            },
            [&] { PressEsc(*form); });
        EXPECT_GE(took, 0);
        EXPECT_LE(took, Bound);
        ReportStopTime("data", took);
        ExpectStopped(*form, "data");
        EXPECT_EQ(ReadLocal("f.log"), "old copy\n") << "the half download never replaces the copy";
        EXPECT_TRUE(PartFiles().isEmpty()) << "nor stays on disk";
        QTest::qWait(100);
        const auto transcript = server.Transcript();
        EXPECT_FALSE(Has(transcript, "ABOR"));
        EXPECT_FALSE(Has(transcript, "QUIT"));
    }
    {
        SCOPED_TRACE("an active-mode accept");
        QFile::remove(QStringLiteral("f.log"));
        ScriptedFtpServer server;
        LogIn(server).Reply("250 ok\r\n").Reply("200 binary\r\n").Reply("200 port ok\r\n")
            .Reply("150 here\r\n").Pause(20s);
        auto form = MakeStopForm(ScriptedProfile("127.0.0.1", "0", "/d/f.log"), server.Port());
        const qint64 took = FetchAndAct(*form, [&] { return Has(server.Transcript(), "RETR"); },
                                        [&] { PressEsc(*form); });
        EXPECT_GE(took, 0);
        EXPECT_LE(took, Bound);
        ReportStopTime("accept", took);
        ExpectStopped(*form, "accept");
        EXPECT_FALSE(QFileInfo::exists(QStringLiteral("f.log"))) << "no data phase, no file";
    }
}

TEST_F(Stop, StatusItemStopsAndEscKeepsItsMeaningElsewhere)
{
    ScriptedFtpServer server;
    server.Send("220 ready\r\n").Receive().Pause(20s);
    auto form = MakeStopForm(ScriptedProfile("127.0.0.1", "1", "/d/f.log"), server.Port());
    QMenuBar* bar = form->menuBar();

    // No fetch: Esc and the status item change nothing.
    PressEsc(*form);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(form->mnStatus).center());
    EXPECT_TRUE(form->mnStatus->text().isEmpty());
    EXPECT_FALSE(form->FetchWasStopped());

    bool findClosedByEsc = false, menuClosedByEsc = false, runningAfterBoth = false;
    const qint64 took = FetchAndAct(
        *form, [&] { return Has(server.Transcript(), "USER"); },
        [&] {
            form->Find1->trigger();  // the find dialog opens during the fetch
            QTest::qWait(50);
            QTest::keyClick(form->FindDialog1->FindEdit, Qt::Key_Escape);
            findClosedByEsc = !form->FindDialog1->isVisible();
            // An open menu: Esc closes it, nothing else.
            QTimer::singleShot(100, [&] {
                if (QMenu* open = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                    QTest::keyClick(open, Qt::Key_Escape);
                    menuClosedByEsc = QApplication::activePopupWidget() == nullptr;
                }
            });
            form->File1->exec(form->mapToGlobal(QPoint(0, 0)));
            runningAfterBoth = form->FetchRunning() && !form->FetchWasStopped();
            QApplication::setActiveWindow(form.get());
            EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(form->mnStatus).center());
        });
    EXPECT_TRUE(findClosedByEsc);
    EXPECT_TRUE(menuClosedByEsc);
    EXPECT_TRUE(runningAfterBoth) << "Esc in the dialog and the menu did not stop the fetch";
    EXPECT_GE(took, 0);
    ExpectStopped(*form, "status item");

    // The stop holds for that fetch only: the next F5 fetches whole.
    ScriptedFtpServer next;
    UpToData(next, "150 here\r\n").SendData("after\n").CloseData().Send("226 done\r\n").Reply("221 bye\r\n");
    SetPort(*form, next.Port());
    QTest::keyClick(form->Memo1, Qt::Key_F5);
    ASSERT_TRUE(next.WaitScriptDone(5s)) << next.Error();
    EXPECT_EQ(form->Memo1->Text(), "after\r\n");
    EXPECT_TRUE(form->mnStatus->text().isEmpty());
    EXPECT_FALSE(form->FetchWasStopped());
    EXPECT_FALSE(form->LastFetch().Stopped);
}

TEST_F(Stop, FetchControlsAreDisabledWhileAFetchRuns)
{
    PyFtpServer server;
    server.WriteFile("a.log", "line\n");
    auto form = MakeStopForm("py:127.0.0.1:" + server.User() + ":" + server.Password() + ":1:a.log\r\n" +
                                 "py2:127.0.0.1:" + server.User() + ":" + server.Password() + ":1:a.log\r\n",
                             server.Port());
    struct Seen {
        bool F5, CtrlF5, Get, Host, Find, SelectAll, View, Menus;
    } during{};
    int fetches = 0;
    form->KZFTP1->OnConnect = [&](QObject*) { ++fetches; };
    const qint64 acted = FetchAndAct(*form, [] { return true; }, [&] {
        during = {form->mnGet10Ktail->isEnabled(), form->mnGetAll->isEnabled(), form->Button1->isEnabled(),
                  form->CmbHost->isEnabled(), form->Find1->isEnabled(), form->SelectAll1->isEnabled(),
                  form->Memo1->isEnabled(), form->File1->isEnabled() && form->Edit1->isEnabled()};
        // A second F5 and Ctrl+F5 start nothing; Ctrl+A still selects.
        QTest::keyClick(form->Memo1, Qt::Key_F5);
        QTest::keyClick(form->Memo1, Qt::Key_F5, Qt::ControlModifier);
        QTest::keyClick(form->Memo1, Qt::Key_A, Qt::ControlModifier);
    }, 0);  // at the fetch's first wait: a local server answers within milliseconds
    ASSERT_GE(acted, 0) << "the checks ran during the fetch";
    EXPECT_FALSE(during.F5);
    EXPECT_FALSE(during.CtrlF5);
    EXPECT_FALSE(during.Get);
    EXPECT_FALSE(during.Host);
    EXPECT_TRUE(during.Find);
    EXPECT_TRUE(during.SelectAll);
    EXPECT_TRUE(during.View);
    EXPECT_TRUE(during.Menus);
    EXPECT_EQ(fetches, 1);
    EXPECT_EQ(form->Memo1->Text(), "line\r\n");
    EXPECT_TRUE(form->mnStatus->text().isEmpty());
    for (bool enabled : {form->mnGet10Ktail->isEnabled(), form->mnGetAll->isEnabled(),
                         form->Button1->isEnabled(), form->CmbHost->isEnabled()})
        EXPECT_TRUE(enabled) << "enabled again after the fetch";

    // After a failure too (nothing listens on the port).
    int closedPort = 0;
    {
        ScriptedFtpServer probe(100ms);
        closedPort = probe.DataPort();
    }
    SetPort(*form, closedPort);
    QTimer::singleShot(0, form.get(), [&] { QTest::keyClick(form->Memo1, Qt::Key_F5); });
    QTest::qWait(500);
    EXPECT_FALSE(form->FetchRunning());
    EXPECT_TRUE(form->Button1->isEnabled());
    EXPECT_TRUE(form->CmbHost->isEnabled());
    EXPECT_TRUE(form->mnGet10Ktail->isEnabled());
}

// Every status text while a fetch runs, with the time it appeared.
struct StatusLog {
    std::vector<QString> Texts;
    std::vector<qint64> Times;
    QElapsedTimer Clock;
    explicit StatusLog(QAction* status)
    {
        Clock.start();
        QObject::connect(status, &QAction::changed, status, [this, status] {
            if (Texts.empty() || Texts.back() != status->text()) {
                Texts.push_back(status->text());
                Times.push_back(Clock.elapsed());
            }
        });
    }
};

TEST_F(Stop, ProgressTextsWithAndWithoutTheSizeFromThe150Reply)
{
    const QRegularExpression withSize(
        QStringLiteral(R"(^FTP\.\.\. \d+\.\d (kB|MB) / 1\.0 MB \d+% \d+(\.\d)? (B|kB|MB)/s$)"));
    const QRegularExpression withoutSize(QStringLiteral(R"(^FTP\.\.\. \d+\.\d (kB|MB) \d+(\.\d)? (B|kB|MB)/s$)"));
    for (const bool sized : {true, false}) {
        SCOPED_TRACE(sized ? "size in the 150 reply" : "no size");
        ScriptedFtpServer server;
        UpToData(server, sized ? "150 Opening BINARY mode data connection for f.log (1000000 bytes)\r\n"
                               : "150 here\r\n");
        // A trickle: 100 kB every 40 ms, about 400 ms in all.
        for (int i = 0; i < 10; ++i)
            server.SendData(std::string(100000, char('a' + i))).Pause(40ms);
        server.CloseData().Send("226 done\r\n").Reply("221 bye\r\n");
        auto form = MakeStopForm(ScriptedProfile("127.0.0.1", "1", "f.log"), server.Port());
        StatusLog log(form->mnStatus);
        QTest::keyClick(form->Memo1, Qt::Key_F5);
        ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
        ASSERT_GE(log.Texts.size(), 4u);
        EXPECT_EQ(log.Texts.front(), "FTP... 接続");
        EXPECT_EQ(log.Texts[1], "FTP... 転送");
        EXPECT_TRUE(log.Texts.back().isEmpty()) << "cleared after success";
        int progress = 0;
        for (std::size_t i = 2; i + 1 < log.Texts.size(); ++i) {
            EXPECT_TRUE((sized ? withSize : withoutSize).match(log.Texts[i]).hasMatch())
                << log.Texts[i].toStdString();
            EXPECT_GE(log.Times[i] - log.Times[i - 1], 90) << "at most ten texts a second";
            ++progress;
        }
        EXPECT_GE(progress, 1);
        EXPECT_EQ(ReadLocal("f.log").size(), 1000000u);
    }
}

TEST_F(Stop, ProgressFromARealServerStaysWithinTenTextsASecond)
{
    PyFtpServer server;
    std::string big(64 << 20, 'z');
    for (std::size_t i = 0; i < big.size(); i += 4096)
        big[i] = '\n';
    server.WriteFile("big.log", big);
    auto form = MakeStopForm("py:127.0.0.1:" + server.User() + ":" + server.Password() + ":1:big.log\r\n",
                             server.Port());
    StatusLog log(form->mnStatus);
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(form->Memo1, Qt::Key_F5);
    const qint64 took = clock.elapsed();
    ASSERT_EQ(QFileInfo(QStringLiteral("big.log")).size(), qint64(big.size()));
    ASSERT_GE(log.Texts.size(), 3u);
    EXPECT_EQ(log.Texts[1], "FTP... 転送");
    // The transfer's texts, then, while the copy is read for the display,
    // how far that has got.
    const QRegularExpression withoutSize(
        QStringLiteral(R"(^FTP\.\.\. \d+\.\d (kB|MB) \d+(\.\d)? (kB|MB|GB)/s$|^変換中 \d+%$)"));
    int progress = 0;
    for (std::size_t i = 2; i + 1 < log.Texts.size(); ++i, ++progress)
        EXPECT_TRUE(withoutSize.match(log.Texts[i]).hasMatch()) << log.Texts[i].toStdString();
    EXPECT_LE(progress, took / 100 + 1);
}

} // namespace

namespace {

// Exit, the close box, SIGTERM and SIGINT while a fetch waits: the process
// ends within a second, without QUIT, with exit status 0.
TEST_F(Stop, ClosingDuringAFetchEndsTheProcessWithinASecond)
{
    struct Variant {
        const char* Name;
        const char* Command;  // written to the helper's stdin, or nullptr
        int Signal;
        bool Lookup;
    };
    for (const Variant& variant : {Variant{"File → Exit", "exit\n", 0, false},
                                   Variant{"close box", "close\n", 0, false},
                                   Variant{"SIGTERM", nullptr, SIGTERM, false},
                                   Variant{"SIGINT", nullptr, SIGINT, false},
                                   Variant{"Exit during a look-up", "exit\n", 0, true}}) {
        SCOPED_TRACE(variant.Name);
        ScriptedFtpServer server;
        server.Send("220 ready\r\n").Receive().Pause(20s);
        WriteIni(std::string("s:") + (variant.Lookup ? SlowLookup::Name : "127.0.0.1") + ":u:p:1:/d/f.log:" +
                 std::to_string(server.Port()) + "\r\n");

        QProcess helper;
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{Dir.path()};
        if (variant.Lookup)
            arguments << QStringLiteral("lookup");
        helper.start(QStringLiteral(WISPLOG_BINARY_DIR "/tests/app/stop_exit_helper"), arguments);
        ASSERT_TRUE(helper.waitForStarted(10000));
        QElapsedTimer waited;
        waited.start();
        while (!helper.canReadLine() && waited.elapsed() < 20000)
            helper.waitForReadyRead(100);
        ASSERT_EQ(helper.readLine().trimmed(), "running");
        if (!variant.Lookup) {
            while (!Has(server.Transcript(), "USER") && waited.elapsed() < 20000)
                QTest::qWait(10);
            ASSERT_TRUE(Has(server.Transcript(), "USER"));
        }

        QElapsedTimer clock;
        clock.start();
        if (variant.Command)
            helper.write(variant.Command);
        else
            ::kill(pid_t(helper.processId()), variant.Signal);
        const bool ended = helper.waitForFinished(10000);
        const qint64 took = clock.elapsed();
        ASSERT_TRUE(ended);
        EXPECT_LE(took, 1000);
        std::printf("[ figure   ] %s: process ended %lld ms after the command\n", variant.Name, (long long)took);
        EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(helper.exitCode(), 0);
        QTest::qWait(100);
        EXPECT_FALSE(Has(server.Transcript(), "QUIT"));
    }
}

// Closing the window while following ends the process within a second in
// every state a refresh leaves: a session kept open between refreshes
// (plain and TLS), and a failed refresh's log-out that the server never
// answers. Closing it during a download removes the part file and keeps
// the older copy.
TEST_F(Stop, ClosingWhileFollowingOrDownloadingEndsTheProcessWithinASecond)
{
    auto run = [&](const std::string& ini, const std::function<bool()>& ready, bool follow = true) {
        WriteIni(ini);
        QProcess helper;
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{Dir.path()};
        if (follow)
            arguments << QStringLiteral("follow");
        helper.start(QStringLiteral(WISPLOG_BINARY_DIR "/tests/app/stop_exit_helper"), arguments);
        ASSERT_TRUE(helper.waitForStarted(10000));
        QElapsedTimer waited;
        waited.start();
        while (!helper.canReadLine() && waited.elapsed() < 20000)
            helper.waitForReadyRead(100);
        ASSERT_EQ(helper.readLine().trimmed(), "running");
        while (!ready() && waited.elapsed() < 20000)
            QTest::qWait(10);
        ASSERT_TRUE(ready());
        QTest::qWait(100);   // the refresh's end, when it is not waiting
        QElapsedTimer clock;
        clock.start();
        helper.write("close\n");
        const bool ended = helper.waitForFinished(10000);
        const qint64 took = clock.elapsed();
        ASSERT_TRUE(ended);
        EXPECT_LE(took, 1000);
        std::printf("[ figure   ] process ended %lld ms after the close\n", (long long)took);
        EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(helper.exitCode(), 0);
        EXPECT_TRUE(PartFiles().isEmpty());
        if (!follow)
            EXPECT_EQ(ReadLocal("f.log"), "old copy\n") << "the half download never became the copy";
        QFile::remove(QStringLiteral("f.log"));
    };
    {
        SCOPED_TRACE("between refreshes, the session open");
        ScriptedFtpServer server;
        LogIn(server)
            .Reply("250 ok\r\n")
            .Reply("200 binary\r\n")
            .Reply("213 5\r\n")        // SIZE
            .Reply("502 no\r\n")       // MDTM
            .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
            .AcceptData()
            .Reply("150 here\r\n")
            .SendData("abcd\n")
            .CloseData()
            .Send("226 done\r\n")
            .Receive()                  // QUIT, never answered
            .Pause(20s);
        run(WithPort(ScriptedProfile("127.0.0.1", "1", "f.log"), server.Port()),
            [&] { return server.Transcript().size() >= 8; });
        EXPECT_FALSE(Has(server.Transcript(), "QUIT")) << "an idle session closes without a goodbye";
    }
    {
        SCOPED_TRACE("during a failed refresh's QUIT");
        ScriptedFtpServer server;
        LogIn(server).Reply("550 no such directory\r\n").Receive().Pause(20s);
        run(WithPort(ScriptedProfile("127.0.0.1", "1", "/d/f.log"), server.Port()),
            [&] { return Has(server.Transcript(), "QUIT"); });
    }
    {
        SCOPED_TRACE("F5 while the data has stalled halfway");
        {
            std::ofstream old("f.log", std::ios::binary);
            old << "old copy\n";
        }
        ScriptedFtpServer server;
        UpToData(server, "150 here (200000 bytes)\r\n").SendData(std::string(100000, 'x')).Pause(20s);
        run(WithPort(ScriptedProfile("127.0.0.1", "1", "/d/f.log"), server.Port()),
            [&] {
                const QStringList parts = PartFiles();
                return parts.size() == 1 && QFileInfo(parts[0]).size() == 100000;
            },
            false);
        EXPECT_FALSE(QFile::exists(QStringLiteral("f.log"))) << "removed by run() after the check";
    }
    {
        SCOPED_TRACE("between refreshes, a TLS session open");
        TestCertificates certificates;
        PyFtpServer::Options options;
        options.TlsCertificate = certificates.SelfSignedCertificate();
        options.TlsKey = certificates.SelfSignedKey();
        PyFtpServer server(options);
        server.WriteFile("f.log", "secure\n");
        const std::string pin = TestCertificates::Fingerprint(certificates.SelfSignedCertificate());
        run("s:127.0.0.1:user:secret:1:f.log:" + std::to_string(server.Port()) + ":" + pin + "\r\n",
            [&] { return QFile::exists(QStringLiteral("f.log")); });
    }
}

} // namespace
