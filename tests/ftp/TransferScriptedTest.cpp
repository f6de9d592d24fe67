// Downloads and uploads against the scripted server: exact transcripts,
// event order, refusals, cancel, stalls and time-outs.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/ScriptedFtpServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <future>
#include <regex>

using Transcript = std::vector<std::string>;
using std::chrono::milliseconds;

namespace {

void LogInScript(ScriptedFtpServer& server) { server.Send("220 hi\r\n").Reply("230 in\r\n"); }

void PasvScript(ScriptedFtpServer& server, const std::string& address = "127,0,0,1")
{
    server.Reply(ScriptedFtpServer::PasvReply(server.DataPort(), address)).AcceptData();
}

void LogIn(TKZFTP& ftp, const ScriptedFtpServer& server, bool passive, int timeOut = 3000)
{
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = timeOut;
    ftp.UserID = "alice";
    ftp.Password = "pw";
    ftp.Passive = passive;
    ftp.Connect();
}

bool LockIsFree(TKZFTP& ftp)
{
    return std::async(std::launch::async, [&ftp] {
               if (!ftp.TransferLock().try_lock())
                   return false;
               ftp.TransferLock().unlock();
               return true;
           }).get();
}

// The entries from the first one equal to first onwards.
Transcript From(const std::vector<std::string>& entries, const std::string& first)
{
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == first)
            return Transcript(entries.begin() + long(i), entries.end());
    return {};
}

class TransferScripted : public testing::Test {
protected:
    std::string Local(const std::string& name) const { return Dir.path().toStdString() + "/" + name; }
    QTemporaryDir Dir;
};

} // namespace

// The PASV reply names another address: the data connection still goes to
// Host, at the port of the reply. The events of a completed download come
// in their fixed order.
TEST_F(TransferScripted, PassiveDownloadDialsHostAndFiresEventsInOrder)
{
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server, "192,168,0,9");
    server.Reply("150 Opening data connection for log.txt (10 bytes)\r\n")
        .SendData("0123456789")
        .CloseData()
        .Send("226 Transfer complete\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp, true);
    ftp.RetrieveFile("log.txt", Local("copy.txt"));
    EXPECT_EQ(ReadWholeFile(Local("copy.txt")), "0123456789");
    EXPECT_EQ(ftp.TransferSize(), 10);
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(LockIsFree(ftp));
    ftp.Disconnect();

    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "PASV", "RETR log.txt", "QUIT"}));
    EXPECT_EQ(From(log.Entries, "status: RETR log.txt"),
              (Transcript{"status: RETR log.txt", "status: 150 Opening data connection for log.txt (10 bytes)\r\n",
                          "OnTransactionStart", "OnPacketRecvd", "OnTransactionStop",
                          "status: Received 10 Bytes", "status: 226 Transfer complete\r\n",
                          "OnTransactionStop", "OnSuccess 9", "status: QUIT", "status: 221 bye\r\n"}));
    EXPECT_EQ(log.ForeignSenders, 0) << "packet events come from the data connection";
    EXPECT_EQ(server.Error(), "");
}

TEST_F(TransferScripted, PassiveUploadFiresEventsInOrder)
{
    const std::string content = PatternBytes(200000);
    WriteWholeFile(Local("up.bin"), content);
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150 Ok to send data\r\n").ReceiveData().Send("226 stored\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp, true);
    int64_t sizeAtStart = -1;
    ftp.OnTransactionStart = [&](QObject*) {
        sizeAtStart = ftp.TransferSize();
        log.Entries.push_back("OnTransactionStart");
    };
    ftp.StoreFile(Local("up.bin"), "remote.bin");
    ftp.Disconnect();
    EXPECT_EQ(server.ReceivedData(), content);
    EXPECT_EQ(sizeAtStart, int64_t(content.size()));
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "PASV", "STOR remote.bin", "QUIT"}));
    EXPECT_EQ(From(log.Entries, "status: STOR remote.bin"),
              (Transcript{"status: STOR remote.bin", "status: 150 Ok to send data\r\n", "OnTransactionStart",
                          "OnPacketSent", "OnTransactionStop", "status: 226 stored\r\n", "OnSuccess 9",
                          "status: QUIT", "status: 221 bye\r\n"}));
}

TEST_F(TransferScripted, BadPasvRepliesFailWithoutDialling)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("227 Entering Passive Mode (127,0,0,1,4,5\r\n")
        .Reply("421 Service not available\r\n")
        .Reply("227 Entering Passive Mode (127,0,0,1,300,1)\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp);
    try {
        ftp.RetrieveFile("f", Local("f"));
        FAIL() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "'5\r\n' is not a valid integer value");
    }
    // A 421 to PASV is not refused; it fails for want of a port.
    try {
        ftp.RetrieveFile("f", Local("f"));
        FAIL() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "'' is not a valid integer value");
    }
    // Numbers that make no port are refused instead of dialling a wrapped one.
    try {
        ftp.RetrieveFile("f", Local("f"));
        FAIL() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "'300,1' is not a valid port");
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(LockIsFree(ftp));
    EXPECT_FALSE(FileExists(Local("f")));
    EXPECT_TRUE(log.Events().empty());
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "PASV", "PASV", "PASV", "QUIT"}));
}

TEST_F(TransferScripted, ActiveDownloadAcceptsPortReply300)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("300 odd but accepted\r\n")
        .Reply("150 here it comes\r\n")
        .ConnectData()
        .SendData("active bytes")
        .CloseData()
        .Send("226 ok\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, false);
    EventLog log(ftp);
    ftp.RetrieveFile("a.txt", Local("a.txt"));
    ftp.Disconnect();
    EXPECT_EQ(ReadWholeFile(Local("a.txt")), "active bytes");
    const Transcript t = server.Transcript();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_TRUE(std::regex_match(t[1], std::regex(R"(PORT 127,0,0,1,\d{1,3},\d{1,3})"))) << t[1];
    EXPECT_EQ(t[2], "RETR a.txt");
    EXPECT_EQ(log.Events(), (Transcript{"OnTransactionStart", "OnTransactionStop", "OnTransactionStop", "OnSuccess 9"}));
    EXPECT_EQ(server.Error(), "");
}

// All lines of a multi-line RETR reply are read before the data; the size
// is that of the last line.
TEST_F(TransferScripted, MultiLineRetrReplyIsReadBeforeTheData)
{
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150-Opening (999 bytes)\r\n150-still opening\r\n")
        .Pause(milliseconds(200))
        .Send("150 data of 3 bytes follows\r\n")
        .SendData("abc")
        .CloseData()
        .Send("226-done\r\n226 really done\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp);
    int64_t sizeAtStart = -1;
    ftp.OnTransactionStart = [&](QObject*) {
        sizeAtStart = ftp.TransferSize();
        log.Entries.push_back("OnTransactionStart");
    };
    ftp.RetrieveFile("m", Local("m"));
    EXPECT_EQ(sizeAtStart, 3);
    EXPECT_EQ(ftp.TransferSize(), 3);
    EXPECT_EQ(From(log.Entries, "status: RETR m"),
              (Transcript{"status: RETR m", "status: 150-Opening (999 bytes)\r\n", "status: 150-still opening\r\n",
                          "status: 150 data of 3 bytes follows\r\n", "OnTransactionStart", "OnTransactionStop",
                          "status: Received 3 Bytes", "status: 226-done\r\n", "status: 226 really done\r\n",
                          "OnTransactionStop", "OnSuccess 9"}));
    // The whole final reply was consumed: QUIT gets its own answer.
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "PASV", "RETR m", "QUIT"}));
}

// Cancel on the component during the data phase ends the data phase: the
// download fails as cancelled, the final reply is skipped and ABOR is sent.
// A cancel before the data moved fails the same way.
TEST_F(TransferScripted, CancelDuringDownloadSendsAborAndFails)
{
    const std::string first = PatternBytes(1000, 1);
    {
        ScriptedFtpServer server;
        LogInScript(server);
        PasvScript(server);
        server.Reply("150 go\r\n")
            .SendData(first)
            .Pause(milliseconds(300))
            .CloseData()
            .Reply("426 Transfer aborted\r\n226 ABOR ok\r\n")
            .Reply("221 bye\r\n");
        TKZFTP ftp;
        LogIn(ftp, server, true);
        EventLog log(ftp);
        log.HandleFailures(false);
        ftp.OnPacketRecvd = [&](QObject*) {
            if (!ftp.Canceled())
                ftp.Cancel();
        };
        try {
            ftp.RetrieveFile("c", Local("c"));
            FAIL() << "no failure";
        } catch (const EAbortError& e) {
            EXPECT_STREQ(e.what(), TKZFTP::CanceledText);
        }
        EXPECT_EQ(ReadWholeFile(Local("c")), first) << "what arrived stays, nothing after the cancel";
        EXPECT_EQ(log.Events(), (Transcript{"OnTransactionStart", "OnFailure 9"}));
        EXPECT_FALSE(ftp.Canceled());
        EXPECT_EQ(ftp.DataConnection(), nullptr);
        EXPECT_TRUE(LockIsFree(ftp));
        ftp.Disconnect();
        const Transcript t = server.Transcript();
        ASSERT_GE(t.size(), 5u);
        EXPECT_EQ(Transcript(t.begin(), t.begin() + 5), (Transcript{"USER alice", "EPSV", "PASV", "RETR c", "ABOR"}));
    }
    {
        // Cancelled as the data phase begins: nothing is received.
        ScriptedFtpServer server;
        LogInScript(server);
        PasvScript(server);
        server.Reply("150 go\r\n").SendData(first).CloseData().Send("226 done\r\n")
            .Reply("225 ABOR ok\r\n").Reply("221 bye\r\n");
        TKZFTP ftp;
        LogIn(ftp, server, true);
        ftp.OnTransactionStart = [&](QObject*) { ftp.Cancel(); };
        EXPECT_THROW(ftp.RetrieveFile("d", Local("d")), EAbortError);
        EXPECT_FALSE(FileExists(Local("d")));
        ftp.Disconnect();
        const Transcript t = server.Transcript();
        ASSERT_GE(t.size(), 5u);
        EXPECT_EQ(Transcript(t.begin(), t.begin() + 5), (Transcript{"USER alice", "EPSV", "PASV", "RETR d", "ABOR"}));
    }
}

// A plain data connection that ends before the announced size fails with
// both counts, whether the size came from the 150 reply or from the caller
// (ExpectedSize, used once); a restart point moves the announced end; more
// bytes than announced are growth.
TEST_F(TransferScripted, FewerBytesThanAnnouncedFailWithBothCounts)
{
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150 Opening data connection for a (10 bytes)\r\n").SendData("01234").CloseData()
        .Send("226 done\r\n");
    PasvScript(server);
    server.Reply("150 go\r\n").SendData("0123456789").CloseData().Send("226 done\r\n");
    PasvScript(server);
    server.Reply("150 go\r\n").SendData("0123456789").CloseData().Send("226 done\r\n");
    server.Reply("350 restarting\r\n");
    PasvScript(server);
    server.Reply("150 Opening data connection for d (110 bytes)\r\n").SendData("0123456789").CloseData()
        .Send("226 done\r\n");
    PasvScript(server);
    server.Reply("150 Opening data connection for e (10 bytes)\r\n").SendData("0123456789+grown").CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    auto failure = [&](const std::string& name) -> std::string {
        try {
            ftp.RetrieveFile(name, Local(name));
        } catch (const ESockError& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(failure("a"), "Transfer ended early: 5 of 10 bytes");
    ftp.ExpectedSize = 12;
    EXPECT_EQ(failure("b"), "Transfer ended early: 10 of 12 bytes");
    EXPECT_EQ(ftp.ExpectedSize, -1);
    EXPECT_EQ(failure("c"), "") << "ExpectedSize holds for one download only";
    std::string reply;
    ftp.Transaction("REST 100", reply);
    EXPECT_EQ(failure("d"), "");
    EXPECT_EQ(failure("e"), "");
    EXPECT_EQ(ReadWholeFile(Local("e")), "0123456789+grown");
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(),
              (Transcript{"USER alice", "EPSV", "PASV", "RETR a", "PASV", "RETR b", "PASV", "RETR c", "REST 100", "PASV",
                          "RETR d", "PASV", "RETR e", "QUIT"}));
}

class RefusedRetr : public TransferScripted {
protected:
    void SetUp() override
    {
        LogInScript(Server);
        PasvScript(Server);
        Server.Reply("550 No such file\r\n").Reply("221 bye\r\n");
        LogIn(Ftp, Server, true);
        WriteWholeFile(Local("old.txt"), "older copy");
    }
    ScriptedFtpServer Server;
    TKZFTP Ftp;
};

TEST_F(RefusedRetr, WithoutHandlerRaisesAndTouchesNoLocalFile)
{
    EventLog log(Ftp);
    try {
        Ftp.RetrieveFile("missing", Local("old.txt"));
        FAIL() << "no failure";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message(), "550 No such file\r\n");
    }
    EXPECT_EQ(ReadWholeFile(Local("old.txt")), "older copy");
    EXPECT_TRUE(log.Events().empty());
    EXPECT_EQ(Ftp.DataConnection(), nullptr);
    EXPECT_TRUE(LockIsFree(Ftp));
}

TEST_F(RefusedRetr, HandlerSettingHandledReturnsNormally)
{
    EventLog log(Ftp);
    log.HandleFailures(true);
    EXPECT_NO_THROW(Ftp.RetrieveFile("missing", Local("new.txt")));
    EXPECT_FALSE(FileExists(Local("new.txt")));
    EXPECT_EQ(log.Events(), Transcript{"OnFailure 9"});
}

TEST_F(RefusedRetr, HandlerLeavingHandledFalseIsAskedTwice)
{
    EventLog log(Ftp);
    log.HandleFailures(false);
    EXPECT_THROW(Ftp.RetrieveFile("missing", Local("new.txt")), FTPException);
    EXPECT_EQ(log.Events(), (Transcript{"OnFailure 9", "OnFailure 9"}));
}

// A data connection that goes silent ends the download after TimeOut.
TEST_F(TransferScripted, StalledDownloadEndsWithinTheTimeOut)
{
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150 go\r\n").SendData("partial").Pause(milliseconds(8000));
    TKZFTP ftp;
    LogIn(ftp, server, true, 800);
    QElapsedTimer clock;
    clock.start();
    try {
        ftp.RetrieveFile("s", Local("s"));
        FAIL() << "no failure";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), "Data connection silent for 0.8 s");
    }
    EXPECT_LT(clock.elapsed(), 800 + 3000);
    EXPECT_EQ(ReadWholeFile(Local("s")), "partial");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(LockIsFree(ftp));
}

// A server that stops reading ends the upload after TimeOut.
TEST_F(TransferScripted, StalledUploadEndsWithinTheTimeOut)
{
    WriteWholeFile(Local("big.bin"), PatternBytes(48 << 20));
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150 send\r\n").Pause(milliseconds(20000));
    TKZFTP ftp;
    LogIn(ftp, server, true, 800);
    QElapsedTimer clock;
    clock.start();
    try {
        ftp.StoreFile(Local("big.bin"), "big.bin");
        FAIL() << "no failure";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), "Data connection stalled for 0.8 s");
    }
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(ftp.DataConnection(), nullptr);
}

// Active mode: a server that never connects back does not hang the fetch.
TEST_F(TransferScripted, ActiveAcceptNeverMadeEndsWithinTheTimeOut)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("200 PORT ok\r\n").Reply("150 connecting\r\n").Pause(milliseconds(8000));
    TKZFTP ftp;
    LogIn(ftp, server, false, 800);
    QElapsedTimer clock;
    clock.start();
    try {
        ftp.RetrieveFile("x", Local("x"));
        FAIL() << "no failure";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), "Accepting Timed Out");
    }
    EXPECT_LT(clock.elapsed(), 800 + 3000);
    EXPECT_FALSE(FileExists(Local("x")));
    EXPECT_EQ(ftp.DataConnection(), nullptr);
}

// The data arrived but the server never confirms: the wait for the final
// reply ends after TimeOut, the file keeps all the data.
TEST_F(TransferScripted, MissingFinalReplyEndsWithinTheTimeOut)
{
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150 go\r\n").SendData("all of it").CloseData().Pause(milliseconds(8000));
    TKZFTP ftp;
    LogIn(ftp, server, true, 800);
    EventLog log(ftp);
    QElapsedTimer clock;
    clock.start();
    try {
        ftp.RetrieveFile("f", Local("f"));
        FAIL() << "no failure";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), TKZFTP::ReplyTimedOutText);
    }
    EXPECT_LT(clock.elapsed(), 800 + 3000);
    EXPECT_EQ(ReadWholeFile(Local("f")), "all of it");
    // The silent connection is closed without waiting for a QUIT reply.
    clock.restart();
    ftp.Disconnect();
    EXPECT_LT(clock.elapsed(), 700);
    EXPECT_FALSE(ftp.Connected());
}

TEST_F(TransferScripted, StoreOfMissingLocalFileFailsBeforeAnythingIsSent)
{
    ScriptedFtpServer server;
    LogInScript(server);
    server.Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp);
    try {
        ftp.StoreFile(Local("no-such-file"), "");
        FAIL() << "no failure";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("no-such-file"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(LockIsFree(ftp));
    EXPECT_TRUE(log.Events().empty());
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "QUIT"}));
}

TEST_F(TransferScripted, TransferWhileNotConnectedIsOfferedToOnFailure)
{
    TKZFTP ftp;
    EventLog log(ftp);
    EXPECT_THROW(ftp.RetrieveFile("a", Local("a")), Exception);
    log.HandleFailures(true);
    EXPECT_NO_THROW(ftp.StoreFile(Local("a"), "a"));
    EXPECT_EQ(log.Events(), Transcript{"OnFailure 9"});
    EXPECT_TRUE(LockIsFree(ftp));
}

// A transfer started from an event handler while another one waits gets a
// data connection of its own; the waiting one keeps its connection.
TEST_F(TransferScripted, NestedTransferLeavesTheOuterDataConnectionAlone)
{
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150 go\r\n")
        .Pause(milliseconds(300))
        .SendData("outer data")
        .CloseData()
        .Send("226 ok\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp);
    bool nestedFailed = false;
    ftp.OnTransactionStart = [&](QObject*) {
        TKZSock* outer = ftp.DataConnection();
        try {
            ftp.StoreFile(Local("missing"), "x");
        } catch (const Exception&) {
            nestedFailed = true;
        }
        EXPECT_EQ(ftp.DataConnection(), outer);
    };
    ftp.RetrieveFile("o", Local("o"));
    EXPECT_TRUE(nestedFailed);
    EXPECT_EQ(ReadWholeFile(Local("o")), "outer data");
    EXPECT_EQ(log.Events().back(), "OnSuccess 9");
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    EXPECT_TRUE(LockIsFree(ftp));
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "PASV", "RETR o", "QUIT"}));
}

// Abort (unlike Cancel) stops the data phase itself: the download fails,
// and no ABOR is sent since the control connection was not cancelled. The
// server's 426 for the broken transfer is read then, so QUIT gets its own
// reply.
TEST_F(TransferScripted, AbortDuringDownloadFailsTheTransfer)
{
    ScriptedFtpServer server;
    LogInScript(server);
    PasvScript(server);
    server.Reply("150 go\r\n").SendData("first part").Send("426 aborted\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp);
    ftp.OnPacketRecvd = [&](QObject*) { ftp.Abort(); };
    try {
        ftp.RetrieveFile("a", Local("a"));
        FAIL() << "no failure";
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), TKZFTP::CanceledText);
    }
    EXPECT_EQ(log.Events(), Transcript{"OnTransactionStart"});
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "PASV", "RETR a", "QUIT"}));
}
