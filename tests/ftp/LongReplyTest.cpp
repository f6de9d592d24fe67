// Long multi-line replies: a greeting of a million continuation lines is
// read at the pace of its bytes and the fetch after it completes; every
// line restarts the time-out, so a reply that keeps coming never times out.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/ScriptedFtpServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

using Transcript = std::vector<std::string>;
using std::chrono::milliseconds;

namespace {

// "220-" lines of 19 bytes each, then the reply's last line.
std::string LongGreeting(int lines)
{
    std::string text;
    text.reserve(size_t(lines) * 19 + 16);
    char line[32];
    for (int i = 0; i < lines; ++i) {
        std::snprintf(line, sizeof line, "220-line %08d\r\n", i);
        text += line;
    }
    return text + "220 ready\r\n";
}

} // namespace

TEST(LongReply, MillionLineGreetingCompletesTheFetch)
{
    QTemporaryDir dir;
    const int lines = 1000000;
    // The server sends the whole greeting at once (19 MB); its steps may
    // wait long for a client slowed by sanitizers on a busy machine.
    ScriptedFtpServer server(milliseconds(240000));
    server.Send(LongGreeting(lines))
        .Reply("230 in\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 go\r\n")
        .SendData("the log\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = 10000;
    ftp.UserID = "u";
    ftp.Password = "p";
    ftp.Passive = true;
    int statusLines = 0;
    std::string last;
    ftp.ReportLevel = 1;
    ftp.OnStatus = [&](QObject*, const std::string& text) {
        ++statusLines;
        last = text;
    };
    QElapsedTimer clock;
    clock.start();
    ftp.Connect();
    const qint64 connectMs = clock.elapsed();
    // Every line was read and reported; the greeting's last line ends it.
    EXPECT_GE(statusLines, lines + 1);
    const std::string local = dir.path().toStdString() + "/log";
    ftp.RetrieveFile("log", local);
    EXPECT_EQ(ReadWholeFile(local), "the log\n");
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER u", "EPSV", "PASV", "RETR log", "QUIT"}));
    // Far below what a cost per line growing with the pending bytes took
    // (minutes); generous for sanitizers on a loaded machine.
    EXPECT_LT(connectMs, 120000);
    std::printf("[ info ] %d-line greeting read in %lld ms\n", lines, static_cast<long long>(connectMs));
}

// Lines that come slowly, each within the time-out but all together well
// beyond it: every line restarts the time-out. A line that does not come
// in time still ends the wait.
TEST(LongReply, EveryLineRestartsTheTimeOut)
{
    ScriptedFtpServer server;
    server.Send("220-one\r\n");
    for (int i = 0; i < 6; ++i)
        server.Pause(milliseconds(250)).Send("220-more\r\n");
    server.Send("220 ready\r\n").Reply("230 in\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = 700;
    ftp.UserID = "u";
    ftp.Password = "p";
    QElapsedTimer clock;
    clock.start();
    EXPECT_NO_THROW(ftp.Connect());
    EXPECT_GT(clock.elapsed(), 700);
    EXPECT_TRUE(ftp.Connected());
    ftp.Disconnect();

    ScriptedFtpServer silent;
    silent.Send("220-one\r\n").Pause(milliseconds(5000)).Send("220 late\r\n");
    TKZFTP late;
    late.Host = "127.0.0.1";
    late.Port = silent.Port();
    late.TimeOut = 500;
    clock.restart();
    try {
        late.Connect();
        FAIL() << "no failure";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), TKZFTP::ReplyTimedOutText);
    }
    EXPECT_LT(clock.elapsed(), 4000);
}
