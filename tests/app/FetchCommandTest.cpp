// The fetch command end to end: the real window, a real FTP server
// (pyftpdlib) and, where an exact reply or a fault is needed, a scripted one.
#include "FetchDirFixture.h"

#include "view/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;

// One log line in EUC-JP and the same line as the view holds it (Shift_JIS,
// CR LF). "日本語ログ" : EUC C6FC CBDC B8EC A5ED A5B0, SJIS 93FA 967B 8CEA 838D 834F.
struct LogText {
    std::string Euc;
    std::string Sjis;  // line ends as in the file (LF)
};

// What the view holds for a converted text cut to its tail: the cut is made
// on the converted bytes, then every line break becomes CR LF.
std::string Shown(const std::string& sjis, std::size_t tail = 0)
{
    const std::string cut = tail && sjis.size() >= tail ? sjis.substr(sjis.size() - tail) : sjis;
    std::string out;
    for (char c : cut) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

LogText MakeLog(int lines)
{
    LogText log;
    for (int i = 0; i < lines; ++i) {
        const std::string head = "2026-12-07 10:00:" + std::to_string(10 + i % 50) + " ERROR #" +
                                 std::to_string(i) + " ";
        log.Euc += head + "\xC6\xFC\xCB\xDC\xB8\xEC\xA5\xED\xA5\xB0\n";
        log.Sjis += head + "\x93\xFA\x96\x7B\x8C\xEA\x83\x8D\x83\x4F\n";
    }
    return log;
}

std::string ReadLocal(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteLocal(const std::string& name, const std::string& bytes)
{
    std::ofstream(name, std::ios::binary) << bytes;
}

// The host list with the port in field 6 of every line of six or more
// fields whose field 6 is absent or empty; shorter lines stay as they are.
std::string WithPort(const std::string& ini, int port)
{
    std::string out;
    std::size_t start = 0;
    while (start < ini.size()) {
        std::size_t end = ini.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = ini.size();
        std::vector<std::string> fields{""};
        for (char c : ini.substr(start, end - start)) {
            if (c == ':')
                fields.emplace_back();
            else
                fields.back().push_back(c);
        }
        if (fields.size() == 6)
            fields.emplace_back();
        if (fields.size() >= 7 && fields[6].empty())
            fields[6] = std::to_string(port);
        std::string line = fields[0];
        for (std::size_t i = 1; i < fields.size(); ++i)
            line += ":" + fields[i];
        out += line;
        start = end;
        while (start < ini.size() && (ini[start] == '\r' || ini[start] == '\n'))
            out += ini[start++];
    }
    return out;
}

class Fetch : public FetchDirFixture {
protected:

    // A window on the host list ini whose profiles reach the test server on
    // port: a profile of six or more fields without a port of its own gets it.
    std::unique_ptr<TForm1> MakeFetchForm(const std::string& ini, int port)
    {
        auto form = MakeForm(WithPort(ini, port));
        form->KZFTP1->Port = port;
        form->KZFTP1->TimeOut = 5000;
        form->show();
        return form;
    }

    // Points the window's profiles at another server, as editing the host
    // list would.
    static void Retarget(TForm1& form, const std::string& ini, int port)
    {
        form.HostList.SetText(WithPort(ini, port));
    }

    // Runs a command from the event loop, as a key press would, so failures
    // go to the error report; returns when it has ended.
    void RunFromLoop(TForm1& form, std::function<void()> command)
    {
        bool done = false;
        QTimer::singleShot(0, &form, [&] {
            struct Done { bool& Flag; ~Done() { Flag = true; } } mark{done};
            command();
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        ASSERT_TRUE(done) << "the command did not end";
    }

};

std::string Profile(const std::string& label, const PyFtpServer& server, const std::string& passive,
                    const std::string& path)
{
    return label + ":127.0.0.1:" + server.User() + ":" + server.Password() + ":" + passive + ":" +
           path + "\r\n";
}

TEST_F(Fetch, F5ShowsTheConvertedTailAndKeepsTheLocalCopy)
{
    PyFtpServer server;
    QDir(QString::fromStdString(server.Root())).mkpath("logs");
    const LogText log = MakeLog(600);
    ASSERT_GT(log.Sjis.size(), 10000u);
    server.WriteFile("logs/app.log", log.Euc);
    auto form = MakeFetchForm(Profile("euc", server, "1", "/logs/app.log"), server.Port());

    form->mnGet10Ktail->trigger();
    const std::string tail = Shown(log.Sjis, 10000);
    EXPECT_TRUE(form->Memo1->Text() == tail) << "the converted last 10000 bytes";
    EXPECT_EQ(form->Memo1->SelStart(), static_cast<int64_t>(tail.size())) << "caret at the end";
    EXPECT_EQ(ReadLocal("app.log"), log.Euc) << "local copy in the current directory";
    EXPECT_TRUE(form->mnStatus->text().isEmpty());
    EXPECT_EQ(Tag(form->Button1), 10000);
    EXPECT_FALSE(form->KZFTP1->Connected());

    form->mnGetAll->trigger();
    EXPECT_TRUE(form->Memo1->Text() == Shown(log.Sjis)) << "the whole converted text";
    EXPECT_EQ(Tag(form->Button1), 0);
    EXPECT_EQ(Tag(form->mnGetAll), 0);
    EXPECT_EQ(Tag(form->mnGet10Ktail), 10000);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Fetch, GetButtonAndProfileChoiceFollowTheLastDisplay)
{
    PyFtpServer server;
    const LogText first = MakeLog(500);
    const LogText second = MakeLog(700);
    server.WriteFile("first.log", first.Euc);
    server.WriteFile("second.log", second.Euc);
    auto form = MakeFetchForm(Profile("one", server, "1", "first.log") +
                                  Profile("two", server, "1", "second.log"),
                              server.Port());

    // Right after start the drop-down fetches whole, the button the tail.
    form->CmbHost->setCurrentIndex(1);
    form->CmbHostChange();
    EXPECT_EQ(form->EdtFile->text(), "second.log");
    EXPECT_TRUE(form->Memo1->Text() == Shown(second.Sjis));
    EXPECT_EQ(Tag(form->Button1), 0);

    form->mnGet10Ktail->trigger();
    EXPECT_EQ(Tag(form->CmbHost), 10000);
    form->CmbHost->setCurrentIndex(0);
    form->CmbHostChange();
    EXPECT_TRUE(form->Memo1->Text() == Shown(first.Sjis, 10000));

    form->mnGetAll->trigger();
    EXPECT_TRUE(form->Memo1->Text() == Shown(first.Sjis));
    form->Button1->click();
    EXPECT_TRUE(form->Memo1->Text() == Shown(first.Sjis)) << "the button repeats Get all";
    EXPECT_TRUE(Boxes.empty());
}

// The scripted session of one fetch up to the data phase.
ScriptedFtpServer& LogIn(ScriptedFtpServer& server)
{
    return server.Send("220 ready\r\n")
        .Reply("331 password please\r\n")
        .Reply("230 logged in\r\n");
}

std::string ScriptedProfile(const std::string& passive, const std::string& path)
{
    return "s:127.0.0.1:u:p:" + passive + ":" + path + "\r\n";
}

TEST_F(Fetch, PassiveExactlyForFlagOne)
{
    for (const std::string flag : {"1", "0", "", " 1", "1 "}) {
        SCOPED_TRACE("flag '" + flag + "'");
        ScriptedFtpServer server;
        LogIn(server).Reply("250 ok\r\n").Reply("200 binary\r\n");
        if (flag == "1")
            server.Reply(ScriptedFtpServer::PasvReply(server.DataPort())).AcceptData();
        else
            server.Reply("200 port ok\r\n").ConnectData();
        server.Reply("150 here\r\n").SendData("abc\n").CloseData().Send("226 done\r\n").Reply("221 bye\r\n");
        auto form = MakeFetchForm(ScriptedProfile(flag, "/d/f.log"), server.Port());
        form->mnGetAll->trigger();
        ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
        const auto transcript = server.Transcript();
        ASSERT_GE(transcript.size(), 5u);
        EXPECT_EQ(transcript[4].substr(0, 4), flag == "1" ? "EPSV" : "PORT");
        EXPECT_EQ(form->Memo1->Text(), "abc\r\n");
    }
}

TEST_F(Fetch, PathWithoutSlashSendsAnEmptyCwdAndStillFetches)
{
    ScriptedFtpServer server;
    LogIn(server)
        .Reply("550 no such directory\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("line\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    auto form = MakeFetchForm(ScriptedProfile("1", "plain.log"), server.Port());
    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"USER u", "PASS p", "CWD ", "TYPE I", "EPSV",
                                                             "PASV", "RETR plain.log", "QUIT"}));
    EXPECT_EQ(form->Memo1->Text(), "line\r\n");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Fetch, ShiftJisHostListSendsItsPathInShiftJis)
{
    // "/ログ/今日.log" as a Japanese Windows editor writes it.
    const std::string dir = "/\x83\x8D\x83\x4F/";
    const std::string file = "\x8D\xA1\x93\xFA.log";
    ScriptedFtpServer server;
    LogIn(server)
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("ok\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    auto form = MakeFetchForm("\x96\x7b\x94\xd4:127.0.0.1:u:p:1:" + dir + file + "\r\n", server.Port());
    EXPECT_EQ(form->EdtFile->text(), "/ログ/今日.log");
    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    const auto transcript = server.Transcript();
    ASSERT_GE(transcript.size(), 7u);
    EXPECT_EQ(transcript[2], "CWD " + dir);
    EXPECT_EQ(transcript[6], "RETR " + file);
    EXPECT_EQ(ReadLocal(file), "ok\n") << "the local copy keeps the server's name";
    EXPECT_EQ(form->Memo1->Text(), "ok\r\n");
}

TEST_F(Fetch, RefusedTypeIsReportedThenTheConnectionClosesAndTheNextFetchLogsInAfresh)
{
    ScriptedFtpServer first;
    LogIn(first)
        .Reply("250 ok\r\n")
        .Reply("504 Type not implemented\r\n")
        .Reply("221 bye\r\n");
    ScriptedFtpServer second;
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log") + "t:127.0.0.1:u:p:1:/d/f.log:" +
                                  std::to_string(second.Port()) + "\r\n",
                              first.Port());
    RunFromLoop(*form, [&] { form->mnGetAll->trigger(); });
    ASSERT_TRUE(first.WaitScriptDone(5s)) << first.Error();
    ASSERT_EQ(Boxes.size(), 1u);
    // The reply line as received: it ends in LF, so no period is added.
    EXPECT_EQ(Boxes[0].Text, "504 Type not implemented\r\n");
    EXPECT_EQ(form->mnStatus->text(), "転送モード失敗: 504 Type not implemented");
    EXPECT_FALSE(form->KZFTP1->Connected());
    EXPECT_EQ(first.Transcript().back(), "QUIT");

    // Another profile's server: a session of its own, from the greeting on.
    second.Send("220 other\r\n")
        .Reply("331 password please\r\n")
        .Reply("230 logged in\r\n")
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(second.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("x\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    form->CmbHost->setCurrentIndex(1);
    form->mnGetAll->trigger();
    ASSERT_TRUE(second.WaitScriptDone(5s)) << second.Error();
    EXPECT_EQ(second.Transcript(), (std::vector<std::string>{"USER u", "PASS p", "CWD /d/", "TYPE I", "EPSV",
                                                             "PASV", "RETR f.log", "QUIT"}));
    EXPECT_EQ(form->Memo1->Text(), "x\r\n");
    EXPECT_EQ(form->mnStatus->text(), "");
    EXPECT_FALSE(form->LastFetch().Failed);
    EXPECT_FALSE(form->KZFTP1->Connected());
}

TEST_F(Fetch, FailedConnectOrLogInNamesTheFirstFailureAndEndsTheFetch)
{
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), 21);
    struct Case {
        const char* Name;
        std::function<void(ScriptedFtpServer&)> Script;
        std::string Status;
        std::vector<std::string> Transcript;
    };
    const std::vector<Case> cases = {
        {"refused log-in",
         [](ScriptedFtpServer& s) {
             s.Send("220 ready\r\n").Reply("331 password please\r\n").Reply("530 Login incorrect.\r\n")
                 .Reply("221 bye\r\n");
         },
         "ログイン失敗: 530 Login incorrect.", {"USER u", "PASS p", "QUIT"}},
        {"refused log-in, then a refused log-out",
         [](ScriptedFtpServer& s) {
             s.Send("220 ready\r\n").Reply("530 Not for you\r\n").Reply("421 closing\r\n");
         },
         "ログイン失敗: 530 Not for you", {"USER u", "QUIT"}},
        {"refused greeting",
         [](ScriptedFtpServer& s) { s.Send("421 Too many users\r\n").Reply("221 bye\r\n"); },
         "接続失敗: 421 Too many users", {"QUIT"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Boxes.clear();
        ScriptedFtpServer server;
        c.Script(server);
        Retarget(*form, ScriptedProfile("1", "/d/f.log"), server.Port());
        RunFromLoop(*form, [&] { form->mnGet10Ktail->trigger(); });
        EXPECT_TRUE(server.WaitScriptDone(5s)) << server.Error();
        EXPECT_EQ(server.Transcript(), c.Transcript);
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text, "Not Connected.");
        EXPECT_EQ(form->mnStatus->text(), QString::fromStdString(c.Status));
        EXPECT_FALSE(form->KZFTP1->Connected());
        EXPECT_EQ(form->KZFTP1->ReportLevel, 0) << "the layout's level is back";
    }

    // A port that nothing listens on: bind one, then close it.
    int closedPort = 0;
    {
        ScriptedFtpServer probe(100ms);
        closedPort = probe.DataPort();
    }
    Boxes.clear();
    auto refused = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), closedPort);
    refused->Memo1->SetText("before\r\n");
    RunFromLoop(*refused, [&] { refused->mnGet10Ktail->trigger(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Not Connected.") << "the error report keeps its text";
    EXPECT_EQ(refused->mnStatus->text(), QString::fromStdString("接続失敗: Connection Failed: 127.0.0.1:" +
                                                                std::to_string(closedPort) +
                                                                " (10061:Connection refused)"))
        << "the notice names the address that failed";
    EXPECT_EQ(refused->Memo1->Text(), "before\r\n");
    EXPECT_TRUE(refused->LastFetch().Failed);
    EXPECT_EQ(refused->LastFetch().Step, FetchStep::Connect);

    // A host that cannot be looked up.
    Boxes.clear();
    auto unknown = MakeFetchForm("s:nosuch.invalid:u:p:1:/d/f.log\r\n", 21);
    RunFromLoop(*unknown, [&] { unknown->mnGetAll->trigger(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Not Connected.");
    EXPECT_TRUE(unknown->mnStatus->text().startsWith(QStringLiteral("接続失敗: Host Lookup ")))
        << unknown->mnStatus->text().toStdString();
}

TEST_F(Fetch, RefusedDirectoryStopsTheFetchAndShowsTheOldCopy)
{
    {
        std::ofstream old("f.log", std::ios::binary);
        old << "old copy\n";
    }
    ScriptedFtpServer server;
    LogIn(server).Reply("550 /d/: No such directory\r\n").Reply("221 bye\r\n");
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), server.Port());
    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"USER u", "PASS p", "CWD /d/", "QUIT"}));
    EXPECT_EQ(form->Memo1->Text(), "old copy\r\n");
    EXPECT_EQ(form->mnStatus->text(), "ディレクトリ失敗: 550 /d/: No such directory");
    EXPECT_FALSE(form->KZFTP1->Connected());
    EXPECT_TRUE(Boxes.empty());

    // No local copy: the failure box of the display; the status still names
    // the directory.
    ScriptedFtpServer again;
    LogIn(again).Reply("550 nope\r\n").Reply("221 bye\r\n");
    Retarget(*form, ScriptedProfile("1", "/d/f.log"), again.Port());
    form->EdtFile->setText(QStringLiteral("/e/g.log"));
    form->mnGetAll->trigger();
    ASSERT_TRUE(again.WaitScriptDone(5s)) << again.Error();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "失敗");
    EXPECT_EQ(form->mnStatus->text(), "ディレクトリ失敗: 550 nope");

    // A CWD that is never answered: the connection is out of step, so it is
    // closed without QUIT.
    ScriptedFtpServer silent;
    LogIn(silent).Receive().Pause(1500ms);
    Retarget(*form, ScriptedProfile("1", "/d/f.log"), silent.Port());
    form->KZFTP1->TimeOut = 500;
    form->mnGetAll->trigger();
    ASSERT_TRUE(silent.WaitScriptDone(5s)) << silent.Error();
    EXPECT_EQ(silent.Transcript(), (std::vector<std::string>{"USER u", "PASS p", "CWD /e/"}));
    EXPECT_EQ(form->mnStatus->text(), "ディレクトリ失敗: Server Reply Timed Out");
    EXPECT_FALSE(form->KZFTP1->Connected());
}

TEST_F(Fetch, RealServerRefusalsNameTheirStepAndTheServersLine)
{
    PyFtpServer server;
    server.WriteFile("f.log", "in the log-in directory\n");
    {
        std::ofstream old("f.log", std::ios::binary);
        old << "old copy\n";
    }
    // A directory the server does not have: the file of that name in the
    // log-in directory is not fetched in its place.
    auto form = MakeFetchForm(Profile("p", server, "1", "/missing/f.log"), server.Port());
    form->mnGetAll->trigger();
    EXPECT_EQ(form->Memo1->Text(), "old copy\r\n");
    EXPECT_EQ(ReadLocal("f.log"), "old copy\n");
    EXPECT_TRUE(form->mnStatus->text().startsWith(QStringLiteral("ディレクトリ失敗: 550 ")))
        << form->mnStatus->text().toStdString();
    EXPECT_FALSE(form->KZFTP1->Connected());
    EXPECT_TRUE(Boxes.empty());

    // A wrong password.
    auto wrong = MakeFetchForm("p:127.0.0.1:" + server.User() + ":wrong:1:/f.log\r\n", server.Port());
    RunFromLoop(*wrong, [&] { wrong->mnGetAll->trigger(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Not Connected.");
    EXPECT_TRUE(wrong->mnStatus->text().startsWith(QStringLiteral("ログイン失敗: 530 ")))
        << wrong->mnStatus->text().toStdString();

    // The same server with the right profile then works: a fresh session.
    form->EdtFile->setText(QStringLiteral("/f.log"));
    form->mnGetAll->trigger();
    EXPECT_EQ(form->Memo1->Text(), "in the log-in directory\r\n");
    EXPECT_TRUE(form->mnStatus->text().isEmpty());
}

TEST_F(Fetch, FailedLogOutIsReportedAndTheStatusSaysSo)
{
    ScriptedFtpServer server;
    LogIn(server)
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("new\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("500 QUIT not understood\r\n");
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), server.Port());
    RunFromLoop(*form, [&] { form->mnGetAll->trigger(); });
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "500 QUIT not understood\r\n");
    EXPECT_EQ(form->mnStatus->text(), "ログアウト失敗: 500 QUIT not understood");
    EXPECT_FALSE(form->KZFTP1->Connected()) << "closed although the log-out was refused";
    EXPECT_FALSE(form->FetchRunning());
}

TEST_F(Fetch, ServerTextInTheStatusIsPlainTextInItsOwnEncoding)
{
    // A reply with markup, an ampersand, Shift_JIS "日本" and a control byte.
    ScriptedFtpServer server;
    LogIn(server)
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("550 <b>x</b> & \x93\xFA\x96\x7B\x01\tend\r\n")
        .CloseData()
        .Reply("221 bye\r\n");
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), server.Port());
    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    // The caption doubles '&' so the menu bar shows it rather than a mnemonic.
    EXPECT_EQ(form->mnStatus->text(), QStringLiteral("ダウンロード失敗: 550 <b>x</b> && 日本\u2401\u2409end"));
    EXPECT_EQ(form->LastFetch().Notice(), QStringLiteral("ダウンロード失敗: 550 <b>x</b> & 日本\u2401\u2409end"));
    EXPECT_EQ(form->LastFetch().Message, "550 <b>x</b> & \x93\xFA\x96\x7B\x01\tend\r\n");

    // UTF-8 text with C1 controls (NEL, CSI) and a right-to-left override:
    // marked like the other controls.
    ScriptedFtpServer c1;
    LogIn(c1)
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(c1.DataPort()))
        .AcceptData()
        .Reply("550 \xE6\x97\xA5\xC2\x85x\xC2\x9B" "1m\xC2\xA0" "end\xE2\x80\xAEgol.exe\r\n")
        .CloseData()
        .Reply("221 bye\r\n");
    Retarget(*form, ScriptedProfile("1", "/d/f.log"), c1.Port());
    form->mnGetAll->trigger();
    ASSERT_TRUE(c1.WaitScriptDone(5s)) << c1.Error();
    EXPECT_EQ(form->mnStatus->text(), QStringLiteral("ダウンロード失敗: 550 日\uFFFDx\uFFFD1m\u00A0end\uFFFDgol.exe"));
}

TEST_F(Fetch, FailedDownloadShowsTheOldCopyAndSaysSoInTheStatus)
{
    {
        std::ofstream old("f.log", std::ios::binary);
        old << "old copy\n";
    }
    ScriptedFtpServer server;
    LogIn(server)
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("550 f.log: No such file\r\n")
        .CloseData()
        .Reply("221 bye\r\n");
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), server.Port());
    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    EXPECT_EQ(form->Memo1->Text(), "old copy\r\n");
    EXPECT_EQ(ReadLocal("f.log"), "old copy\n") << "the old copy is untouched";
    EXPECT_EQ(form->mnStatus->text(), "ダウンロード失敗: 550 f.log: No such file");
    EXPECT_TRUE(Boxes.empty());
}

// A download that does not complete never becomes the local copy: the
// older copy stays byte for byte and is what the view shows, the status
// names the failure, and no part file is left behind.
TEST_F(Fetch, IncompleteDownloadKeepsTheOlderCopyAndTheView)
{
    const std::string half(3000, 'h');
    struct Case {
        const char* Name;
        std::function<void(ScriptedFtpServer&)> Data;  // from the 150 reply on
        const char* Status;                            // the notice's start
    };
    const Case cases[] = {
        {"data goes silent halfway",
         [&](ScriptedFtpServer& s) {
             s.Reply("150 Opening BINARY mode data connection for f.log (6000 bytes)\r\n")
                 .SendData(half)
                 .Pause(3s);
         },
         "ダウンロード失敗: "},
        {"the server ends the data early and says done",
         [&](ScriptedFtpServer& s) {
             s.Reply("150 Opening BINARY mode data connection for f.log (6000 bytes)\r\n")
                 .SendData(half)
                 .CloseData()
                 .Send("226 done\r\n")
                 .Reply("221 bye\r\n");
         },
         "ダウンロード失敗: "},
        {"the server aborts the transfer",
         [&](ScriptedFtpServer& s) {
             s.Reply("150 here\r\n").SendData(half).CloseData().Send("426 aborted\r\n").Reply("221 bye\r\n");
         },
         "ダウンロード失敗: 426 aborted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        {
            std::ofstream old("f.log", std::ios::binary | std::ios::trunc);
            old << "old copy\n";
        }
        ScriptedFtpServer server;
        LogIn(server)
            .Reply("250 ok\r\n")
            .Reply("200 binary\r\n")
            .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
            .AcceptData();
        c.Data(server);
        auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), server.Port());
        form->KZFTP1->TimeOut = 1000;
        form->mnGetAll->trigger();
        EXPECT_TRUE(form->mnStatus->text().startsWith(QString::fromUtf8(c.Status)))
            << form->mnStatus->text().toStdString();
        EXPECT_EQ(ReadLocal("f.log"), "old copy\n") << "the older copy is untouched";
        EXPECT_EQ(form->Memo1->Text(), "old copy\r\n") << "no half file is shown as the log";
        EXPECT_TRUE(PartFiles().isEmpty()) << PartFiles().join(' ').toStdString();
        EXPECT_FALSE(form->KZFTP1->Connected());
    }
}

// A complete download replaces the copy in one step: a symlink planted in
// the copy's place is replaced, not followed, and the file gets the usual
// mode.
TEST_F(Fetch, CompleteDownloadReplacesTheCopyWithoutFollowingALink)
{
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("victim"));
    {
        std::ofstream victim(target.toStdString(), std::ios::binary);
        victim << "not yours\n";
    }
    ASSERT_EQ(::symlink(target.toStdString().c_str(), "f.log"), 0);
    PyFtpServer server;
    server.WriteFile("f.log", "fresh\n");
    auto form = MakeFetchForm(Profile("p", server, "1", "/f.log"), server.Port());
    form->mnGetAll->trigger();
    EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
    EXPECT_EQ(form->Memo1->Text(), "fresh\r\n");
    EXPECT_FALSE(QFileInfo(QStringLiteral("f.log")).isSymLink());
    EXPECT_EQ(ReadLocal("f.log"), "fresh\n");
    EXPECT_EQ(ReadLocal(target.toStdString()), "not yours\n");
    EXPECT_EQ(QFileInfo(QStringLiteral("f.log")).permissions() & QFileDevice::ReadOther,
              QFileDevice::ReadOther)
        << "the copy gets the mode of a new file, not the part file's 0600";
    EXPECT_TRUE(PartFiles().isEmpty());
}

TEST_F(Fetch, AReplacedCopyAndASavedViewKeepWhoMayReadThem)
{
    PyFtpServer server;
    server.WriteFile("f.log", "private\n");
    auto form = MakeFetchForm(Profile("p", server, "1", "/f.log"), server.Port());
    for (const mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0644)}) {
        WriteLocal("f.log", "older\n");
        ASSERT_EQ(::chmod("f.log", mode), 0);
        form->mnGetAll->trigger();
        EXPECT_EQ(ReadLocal("f.log"), "private\n");
        struct stat st {};
        ASSERT_EQ(::stat("f.log", &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode) << "download over a copy of mode " << std::oct << mode;

        WriteLocal("saved.log", "older\n");
        ASSERT_EQ(::chmod("saved.log", mode), 0);
        ASSERT_TRUE(form->SaveView("saved.log", true));
        ASSERT_EQ(::stat("saved.log", &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode) << "Save view over a file of mode " << std::oct << mode;
    }
    EXPECT_TRUE(PartFiles().isEmpty());
}

TEST_F(Fetch, SecondFetchDuringARunningOneStartsNothing)
{
    ScriptedFtpServer server;
    LogIn(server)
        .Receive()  // CWD: answered late, while the user presses F5 again
        .Pause(600ms)
        .Send("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("once\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), server.Port());
    int extra = 0;
    QTimer::singleShot(300, form.get(), [&] {
        EXPECT_TRUE(form->FetchRunning());
        EXPECT_EQ(form->mnStatus->text(), "FTP... 接続") << "the phase while logging in";
        form->mnGet10Ktail->trigger();
        ++extra;
    });
    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    EXPECT_EQ(extra, 1);
    EXPECT_EQ(server.Transcript().size(), 8u) << "one session: USER, PASS, CWD, TYPE, EPSV, PASV, RETR, QUIT";
    EXPECT_EQ(form->Memo1->Text(), "once\r\n");
    EXPECT_EQ(Tag(form->Button1), 0) << "the running fetch's tail size";
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(form->mnStatus->text(), "");
}

TEST_F(Fetch, ShortProfileOrNoProfileEndsTheFetchWithANotice)
{
    auto form = MakeFetchForm("ok:h:u:p:1:/a.log\r\nshort:h:u\r\n", 21);
    form->CmbHost->setCurrentIndex(1);
    RunFromLoop(*form, [&] { form->mnGet10Ktail->trigger(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "リストのインデックスが範囲を超えています (3)");
    EXPECT_EQ(form->mnStatus->text(), "設定失敗: リストのインデックスが範囲を超えています (3)");
    EXPECT_FALSE(form->FetchRunning());

    form->CmbHost->clear();
    RunFromLoop(*form, [&] { form->mnGet10Ktail->trigger(); });
    EXPECT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(form->mnStatus->text(), "設定失敗: ホストがありません");

    // Choosing a short profile replaces an earlier fetch's notice too.
    auto chosen = MakeFetchForm("ok:h:u:p:1:/a.log\r\nshort:h:u\r\n", 21);
    chosen->ShowStatus(QStringLiteral("接続失敗: Connection Failed"));
    chosen->CmbHost->setCurrentIndex(1);
    Boxes.clear();
    RunFromLoop(*chosen, [&] { chosen->CmbHostChange(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(chosen->mnStatus->text(), "設定失敗: リストのインデックスが範囲を超えています (5)");
    EXPECT_FALSE(chosen->FetchRunning());
}

} // namespace

namespace {

// A loopback port on which nothing listens (bound once, then released).
uint16_t ClosedPort()
{
    ScriptedFtpServer probe(std::chrono::milliseconds(100));
    return probe.DataPort();
}

// A loopback listener whose accept queue is full: a connect to it neither
// completes nor fails, so the component's connect times out.
struct FullQueue {
    int listener = -1;
    int filler = -1;
    uint16_t port = 0;
    FullQueue()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            return;
        port = ntohs(a.sin_port);
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            port = 0;
    }
    ~FullQueue()
    {
        ::close(filler);
        ::close(listener);
    }
};

} // namespace

// A fetch whose connection was refused, timed out or whose host was not
// found leaves nothing that the next fetch trips over: the two fetches
// after it, from a working server, both get the file.
TEST_F(Fetch, FailedConnectionDoesNotSpoilTheNextFetches)
{
    PyFtpServer server;
    server.WriteFile("f.log", "fine\n");
    FullQueue hole;
    ASSERT_NE(hole.port, 0);
    const std::string good = std::to_string(server.Port());
    // Profiles 0 to 2 fail to connect; profile 3 reaches the working server.
    auto form = MakeFetchForm("refused:127.0.0.1:u:p:1:f.log:" + std::to_string(ClosedPort()) + "\r\n" +
                                  "silent:127.0.0.1:u:p:1:f.log:" + std::to_string(hole.port) + "\r\n" +
                                  "unknown:no-such-host.invalid:u:p:1:f.log:" + good + "\r\n" +
                                  "good:127.0.0.1:" + server.User() + ":" + server.Password() +
                                  ":1:f.log:" + good + "\r\n",
                              server.Port());
    struct Case {
        const char* name;
        int profile;
        int timeOut;
    };
    for (const Case& c : {Case{"refused", 0, 5000}, Case{"timed out", 1, 600}, Case{"look-up failed", 2, 5000}}) {
        SCOPED_TRACE(c.name);
        form->CmbHost->setCurrentIndex(c.profile);
        form->EdtFile->setText("f.log");
        form->KZFTP1->TimeOut = c.timeOut;
        std::remove("f.log");
        RunFromLoop(*form, [&] { form->mnGetAll->trigger(); });
        EXPECT_FALSE(form->KZFTP1->Connected());
        EXPECT_FALSE(std::ifstream("f.log").good()) << "nothing fetched";
        Boxes.clear();

        form->CmbHost->setCurrentIndex(3);
        form->EdtFile->setText("f.log");
        form->KZFTP1->TimeOut = 5000;
        for (int round = 0; round < 2; ++round) {
            std::remove("f.log");
            RunFromLoop(*form, [&] { form->mnGetAll->trigger(); });
            EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes[0].Text);
            Boxes.clear();
            EXPECT_EQ(ReadLocal("f.log"), "fine\n") << "round " << round;
            EXPECT_EQ(form->Memo1->Text(), "fine\r\n");
            if (form->KZFTP1->Connected())
                form->KZFTP1->Disconnect();
        }
    }
}
