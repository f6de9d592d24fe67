// Single commands and the transfer type against the scripted server.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/ScriptedFtpServer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

using Transcript = std::vector<std::string>;

namespace {

// A component logged in to server (whose script must begin with the
// log-in replies that LogInScript adds).
void LogInScript(ScriptedFtpServer& server)
{
    server.Send("220 hi\r\n").Reply("230 in\r\n");
}

void LogIn(TKZFTP& ftp, const ScriptedFtpServer& server)
{
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = 3000;
    ftp.UserID = "alice";
    ftp.Password = "pw";
    ftp.Connect();
}

} // namespace

TEST(CommandType, ClassifiesByFirstWordExactly)
{
    EXPECT_EQ(TKZFTP::CommandType("CWD /var/log"), ctChangeDir);
    EXPECT_EQ(TKZFTP::CommandType("CWD"), ctChangeDir);
    EXPECT_EQ(TKZFTP::CommandType("cwd /var/log"), ctOther);
    EXPECT_EQ(TKZFTP::CommandType("CWDX a"), ctOther);
    EXPECT_EQ(TKZFTP::CommandType("DELE a.txt"), ctDelete);
    EXPECT_EQ(TKZFTP::CommandType("MKD new"), ctMakeDir);
    EXPECT_EQ(TKZFTP::CommandType("RMD old"), ctRemoveDir);
    EXPECT_EQ(TKZFTP::CommandType("PWD"), ctPrintDir);
    EXPECT_EQ(TKZFTP::CommandType("PWD "), ctOther);
    EXPECT_EQ(TKZFTP::CommandType("TYPE I"), ctOther);
    EXPECT_EQ(TKZFTP::CommandType(""), ctOther);
}

TEST(SendCommand, ResultEventsByReplyCode)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("250 CWD ok\r\n")
        .Reply("257 \"/\" is current\r\n")
        .Reply("hello without a code\r\n")
        .Reply("600 odd code\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server);
    EventLog log(ftp);
    ftp.ChangeWorkingDir("/var/log");
    ftp.SendCommand("PWD");
    ftp.SendCommand("NOOP");
    ftp.SendCommand("MKD x");
    ftp.Disconnect();
    EXPECT_EQ(log.Events(), (Transcript{"OnSuccess 0", "OnSuccess 15", "OnSuccess 14", "OnSuccess 1"}));
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "CWD /var/log", "PWD", "NOOP", "MKD x", "QUIT"}));
}

TEST(SendCommand, RefusalWithoutHandlerRaisesTheReplyLine)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("550 No such directory\r\n").Reply("400 exactly 400\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server);
    EventLog log(ftp);
    try {
        ftp.ChangeWorkingDir("missing");
        FAIL() << "no failure";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message(), "550 No such directory\r\n");
    }
    EXPECT_THROW(ftp.SendCommand("NOOP"), FTPException);
    EXPECT_TRUE(log.Events().empty());
    ftp.Disconnect();
}

TEST(SendCommand, HandlerTakesTheFailure)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("550 No such directory\r\n").Reply("550 still no\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server);
    EventLog log(ftp);
    log.HandleFailures(true);
    EXPECT_NO_THROW(ftp.ChangeWorkingDir("missing"));
    log.HandleFailures(false);
    EXPECT_THROW(ftp.SendCommand("DELE x"), FTPException);
    EXPECT_EQ(log.Events(), (Transcript{"OnFailure 0", "OnFailure 2"}));
    ftp.Disconnect();
}

TEST(SendCommand, UnsupportedComesBeforeFailure)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("502 Not implemented\r\n").Reply("503 Bad sequence\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server);
    EventLog log(ftp);
    log.HandleFailures(true);
    ftp.SendCommand("RMD x");
    ftp.SendCommand("RMD y");
    EXPECT_EQ(log.Events(), (Transcript{"OnUnSupportedFunction 3", "OnFailure 3", "OnFailure 3"}));
    ftp.Disconnect();
}

TEST(SendCommand, TransferTypes)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("200 Type set to A\r\n")
        .Reply("200 Type set to I\r\n")
        .Reply("200 Type set to L 8\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server);
    EventLog log(ftp);
    ftp.SetTransferType(1);
    ftp.SetTransferType(2);
    ftp.SetTransferType(3);
    ftp.SetTransferType(0);
    ftp.SetTransferType(4);
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "TYPE A", "TYPE I", "TYPE L 8", "QUIT"}));
    EXPECT_EQ(log.Events(), (Transcript{"OnSuccess 14", "OnSuccess 14", "OnSuccess 14"}));
}

// A multi-line reply is consumed whole, and input left over before a
// command is dropped, so each command is judged by its own reply.
TEST(SendCommand, EachCommandIsJudgedByItsOwnReply)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("250-first\r\n250-second\r\n250 done\r\n")
        .Reply("250 ok\r\n426 stale left-over\r\n")
        .Pause(std::chrono::milliseconds(100))
        .Reply("200 fine\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server);
    EventLog log(ftp);
    ftp.ChangeWorkingDir("a");
    ftp.ChangeWorkingDir("b");
    // Give the left-over line time to arrive before the next command.
    QElapsedTimer wait;
    wait.start();
    while (!ftp.DataAvailable() && wait.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ftp.SendCommand("NOOP");
    EXPECT_EQ(ftp.TransactionReply(), "200 fine\r\n");
    ftp.Disconnect();
    EXPECT_EQ(log.Events(), (Transcript{"OnSuccess 0", "OnSuccess 0", "OnSuccess 14"}));
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "CWD a", "CWD b", "NOOP", "QUIT"}));
}

TEST(SendCommand, NotConnectedSendsNothing)
{
    TKZFTP ftp;
    EventLog log(ftp);
    int asked = 0;
    ftp.OnConnectionRequired = [&](bool&) { ++asked; };
    try {
        ftp.SendCommand("NOOP");
        FAIL() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Not Connected");
    }
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(log.Events().empty());
}

TEST(SendCommand, SilentServerTimesOut)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Receive().Pause(std::chrono::milliseconds(6000));
    TKZFTP ftp;
    LogIn(ftp, server);
    ftp.TimeOut = 800;
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(ftp.SendCommand("NOOP"), EAbortError);
    EXPECT_LT(clock.elapsed(), 800 + 3000);
    // The connection is out of step: it is closed without another wait.
    clock.restart();
    ftp.Disconnect();
    EXPECT_LT(clock.elapsed(), 700);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "NOOP"}));
}
