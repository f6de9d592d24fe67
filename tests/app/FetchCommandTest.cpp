// The fetch command end to end: the real window, a real FTP server
// (pyftpdlib) and, where an exact reply or a fault is needed, a scripted one.
#include "StartupFixture.h"

#include "app/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

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

class Fetch : public StartupFixture {
protected:
    void SetUp() override
    {
        StartupFixture::SetUp();
        ASSERT_TRUE(WorkDir.isValid());
        OldCurrent = QDir::currentPath();
        QDir::setCurrent(WorkDir.path());
    }
    void TearDown() override
    {
        QDir::setCurrent(OldCurrent);
        StartupFixture::TearDown();
    }

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

    QTemporaryDir WorkDir;
    QString OldCurrent;
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
        EXPECT_EQ(transcript[4].substr(0, 4), flag == "1" ? "PASV" : "PORT");
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
    EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"USER u", "PASS p", "CWD ", "TYPE I",
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
    ASSERT_GE(transcript.size(), 6u);
    EXPECT_EQ(transcript[2], "CWD " + dir);
    EXPECT_EQ(transcript[5], "RETR " + file);
    EXPECT_EQ(ReadLocal(file), "ok\n") << "the local copy keeps the server's name";
    EXPECT_EQ(form->Memo1->Text(), "ok\r\n");
}

TEST_F(Fetch, RefusedTypeIsReportedAndTheNextFetchReusesTheConnection)
{
    ScriptedFtpServer server;
    LogIn(server)
        .Reply("250 ok\r\n")
        .Reply("504 Type not implemented\r\n")
        // The next fetch: no log-in, straight to the directory.
        .Reply("250 ok\r\n")
        .Reply("200 binary\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("x\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), server.Port());
    RunFromLoop(*form, [&] { form->mnGetAll->trigger(); });
    ASSERT_EQ(Boxes.size(), 1u);
    // The reply line as received: it ends in LF, so no period is added.
    EXPECT_EQ(Boxes[0].Text, "504 Type not implemented\r\n");
    EXPECT_EQ(form->mnStatus->text(), "FTP... 接続");
    EXPECT_TRUE(form->KZFTP1->Connected());

    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    const auto transcript = server.Transcript();
    EXPECT_EQ(std::vector<std::string>(transcript.begin() + 4, transcript.begin() + 6),
              (std::vector<std::string>{"CWD /d/", "TYPE I"}));
    EXPECT_EQ(form->Memo1->Text(), "x\r\n");
}

TEST_F(Fetch, UnreachableServerReportsNotConnectedAndLeavesTheStatus)
{
    // A port that nothing listens on: bind one, then close it.
    int port = 0;
    {
        ScriptedFtpServer probe(100ms);
        port = probe.DataPort();
    }
    auto form = MakeFetchForm(ScriptedProfile("1", "/d/f.log"), port);
    form->Memo1->SetText("before\r\n");
    RunFromLoop(*form, [&] { form->mnGet10Ktail->trigger(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Not Connected.");
    EXPECT_EQ(form->mnStatus->text(), "FTP... 接続");
    EXPECT_EQ(form->Memo1->Text(), "before\r\n");
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
        form->mnGet10Ktail->trigger();
        ++extra;
    });
    form->mnGetAll->trigger();
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    EXPECT_EQ(extra, 1);
    EXPECT_EQ(server.Transcript().size(), 7u);
    EXPECT_EQ(form->Memo1->Text(), "once\r\n");
    EXPECT_EQ(Tag(form->Button1), 0) << "the running fetch's tail size";
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Fetch, ShortProfileReportsTheFirstMissingField)
{
    auto form = MakeFetchForm("ok:h:u:p:1:/a.log\r\nshort:h:u\r\n", 21);
    form->CmbHost->setCurrentIndex(1);
    RunFromLoop(*form, [&] { form->mnGet10Ktail->trigger(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "リストのインデックスが範囲を超えています (3)");
    EXPECT_EQ(form->mnStatus->text(), "FTP... 接続");
}

} // namespace
