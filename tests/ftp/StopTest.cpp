// The user's stop against the scripted server: the running wait ends at
// once, nothing more is said to the server, and the next session is clean.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/ScriptedFtpServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include <thread>

using Transcript = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

void LogIn(TKZFTP& ftp, const ScriptedFtpServer& server)
{
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = 30000;  // only the stop may end a wait
    ftp.UserID = "alice";
    ftp.Password = "pw";
    ftp.Passive = true;
    ftp.Connect();
}

// The transcript once the server has had time to record anything late.
Transcript Settled(const ScriptedFtpServer& server)
{
    std::this_thread::sleep_for(100ms);
    return server.Transcript();
}

TEST(Stop, DataWaitEndsAtOnceAndNothingMoreIsSaid)
{
    QTemporaryDir dir;
    const std::string local = dir.path().toStdString() + "/copy.txt";
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply("230 in\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort())).AcceptData()
        .Reply("150 here (100 bytes)\r\n").SendData("first part").Pause(20s);
    TKZFTP ftp;
    LogIn(ftp, server);
    // Stopped from the event loop while the data connection waits for more.
    ftp.OnPacketRecvd = [&](QObject*) { QTimer::singleShot(50, &ftp, [&] { ftp.Stop(); }); };
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(ftp.RetrieveFile("log.txt", local), EAbortError);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(ftp.Stopped());
    EXPECT_EQ(ReadWholeFile(local), "first part") << "what arrived stays on disk";
    EXPECT_EQ(ftp.DataConnection(), nullptr);

    // Every later control wait fails at once; Disconnect closes without QUIT.
    try {
        ftp.SendCommand("NOOP");
        ADD_FAILURE() << "a command after the stop went through";
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), TKZFTP::StoppedText);
    }
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(Settled(server), (Transcript{"USER alice", "EPSV", "PASV", "RETR log.txt"})) << "no ABOR, NOOP or QUIT";

    // The next Connect starts clean.
    ScriptedFtpServer next;
    next.Send("220 hi\r\n").Reply("230 in\r\n").Reply("200 ok\r\n").Reply("221 bye\r\n");
    LogIn(ftp, next);
    EXPECT_FALSE(ftp.Stopped());
    ftp.SendCommand("NOOP");
    ftp.Disconnect();
    EXPECT_EQ(Settled(next), (Transcript{"USER alice", "NOOP", "QUIT"}));
}

TEST(Stop, ReplyWaitEndsAtOnceAndConnectFailsWithoutQuit)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Receive().Pause(20s);  // USER is never answered
    TKZFTP ftp;
    QTimer::singleShot(200, &ftp, [&] { ftp.Stop(); });
    QElapsedTimer clock;
    clock.start();
    try {
        LogIn(ftp, server);
        ADD_FAILURE() << "the log-in went through";
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), TKZFTP::StoppedText);
    }
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(Settled(server), (Transcript{"USER alice"}));
}

} // namespace
