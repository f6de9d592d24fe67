// How a transfer ends: the final reply decides (only 2xx completes), a data
// connection that fails or a control connection lost before the final reply
// fail it, and the reply owed after a failed data phase is read then, never
// taken for the reply to a later command. Active mode takes its data
// connection only from the server's address.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/ScriptedFtpServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>

using Transcript = std::vector<std::string>;
using std::chrono::milliseconds;

namespace {

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

// Log-in, PASV, the data connection accepted, the RETR/STOR reply.
ScriptedFtpServer& Opening(ScriptedFtpServer& server)
{
    return server.Send("220 hi\r\n")
        .Reply("230 in\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 go\r\n");
}

template <class E>
std::string Failure(const std::function<void()>& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no failure";
}

class TransferOutcome : public testing::Test {
protected:
    std::string Local(const std::string& name) const { return Dir.path().toStdString() + "/" + name; }
    QTemporaryDir Dir;
};

} // namespace

// Every final reply other than 2xx fails the download with that reply line;
// the data received stays in the file. After a 4xx/5xx the dialogue is in
// step (QUIT is sent and answered); after a 1xx another reply is owed, so
// the log-out closes without QUIT.
TEST_F(TransferOutcome, FinalReplyOtherThan2xxFailsTheDownload)
{
    struct Case {
        std::string final;
        bool quitSent;
    };
    for (const Case& c : {Case{"426 Connection closed; transfer aborted.\r\n", true},
                          Case{"451 Local error in processing\r\n", true},
                          Case{"550-Not quite\r\n550 Failed\r\n", true},
                          Case{"350 Odd\r\n", true},
                          Case{"150 Still going\r\n", false}}) {
        SCOPED_TRACE(c.final);
        ScriptedFtpServer server;
        Opening(server).SendData("part").CloseData().Send(c.final).Reply("221 bye\r\n");
        TKZFTP ftp;
        LogIn(ftp, server, true, 1500);
        EventLog log(ftp);
        const std::string firstLine = c.final.substr(0, c.final.find('\n') + 1);
        EXPECT_EQ(Failure<FTPException>([&] { ftp.RetrieveFile("f", Local("f")); }), firstLine);
        EXPECT_EQ(ReadWholeFile(Local("f")), "part");
        const auto events = log.Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "OnSuccess 9"), 0);
        EXPECT_EQ(ftp.DataConnection(), nullptr);
        EXPECT_NO_THROW(ftp.Disconnect());
        const Transcript t = server.Transcript();
        EXPECT_EQ(t.back() == "QUIT", c.quitSent);
    }

    // Uploads alike; a 2xx final reply still completes.
    WriteWholeFile(Local("up.txt"), "upload");
    for (const std::string final : {"451 Disk full\r\n", "226 Stored\r\n"}) {
        SCOPED_TRACE(final);
        ScriptedFtpServer server;
        Opening(server).ReceiveData().Send(final).Reply("221 bye\r\n");
        TKZFTP ftp;
        LogIn(ftp, server, true);
        EventLog log(ftp);
        if (final[0] == '2') {
            EXPECT_NO_THROW(ftp.StoreFile(Local("up.txt"), "up.txt"));
            EXPECT_EQ(log.Events().back(), "OnSuccess 9");
        } else {
            EXPECT_EQ(Failure<FTPException>([&] { ftp.StoreFile(Local("up.txt"), "up.txt"); }), final);
        }
        EXPECT_EQ(server.ReceivedData(), "upload");
        ftp.Disconnect();
    }

    // With an OnFailure handler that takes it, the failure is offered once
    // and the call returns without OnSuccess.
    ScriptedFtpServer server;
    Opening(server).SendData("x").CloseData().Send("426 aborted\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp);
    log.HandleFailures(true);
    EXPECT_NO_THROW(ftp.RetrieveFile("f", Local("g")));
    EXPECT_EQ(log.Events(), (Transcript{"OnTransactionStart", "OnTransactionStop", "OnTransactionStop",
                                        "OnFailure 9"}));
}

// The data connection ends with a reset: the download fails with the
// socket's error text, even when the reset comes while nobody reads. The
// 426 the server then sends is read by the transfer, early or late, so the
// log-out's QUIT gets its own reply.
TEST_F(TransferOutcome, ResetDataConnectionFailsAndItsFinalReplyIsNotQuitsReply)
{
    for (int lateMs : {0, 400}) {
        SCOPED_TRACE(lateMs);
        ScriptedFtpServer server;
        Opening(server).SendData("some").ResetData().Pause(milliseconds(lateMs)).Send("426 reset\r\n").Reply(
            "221 bye\r\n");
        TKZFTP ftp;
        LogIn(ftp, server, true);
        EventLog log(ftp);
        const std::string message = Failure<ESockError>([&] { ftp.RetrieveFile("r", Local("r")); });
        EXPECT_NE(message.find("reset"), std::string::npos) << message;
        EXPECT_EQ(ftp.DataConnection(), nullptr);
        const auto statuses = log.Statuses();
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), "426 reset\r\n"), statuses.end());
        EXPECT_NO_THROW(ftp.Disconnect());
        EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "PASV", "RETR r", "QUIT"}));
    }
}

// Active mode, the server's connection never comes: the accept times out,
// and the 425 the server sends late is read by the transfer, not by QUIT.
TEST_F(TransferOutcome, LateReplyAfterAFailedAcceptIsNotQuitsReply)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n")
        .Reply("230 in\r\n")
        .Reply("200 PORT ok\r\n")
        .Reply("150 connecting\r\n")
        .Pause(milliseconds(900))
        .Send("425 Can't open data connection\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, false, 700);
    EXPECT_EQ(Failure<ESockError>([&] { ftp.RetrieveFile("x", Local("x")); }), "Accepting Timed Out");
    EXPECT_FALSE(FileExists(Local("x")));
    ftp.TimeOut = 3000;
    EXPECT_NO_THROW(ftp.Disconnect());
    EXPECT_EQ(server.Transcript().back(), "QUIT");
}

// The control connection is lost before the final reply: the data arrived,
// the download still fails.
TEST_F(TransferOutcome, ControlConnectionLostBeforeTheFinalReplyFails)
{
    ScriptedFtpServer server;
    Opening(server).SendData("all").CloseData().CloseControl();
    TKZFTP ftp;
    LogIn(ftp, server, true);
    EventLog log(ftp);
    EXPECT_EQ(Failure<ESockError>([&] { ftp.RetrieveFile("c", Local("c")); }), TKZFTP::ClosedText);
    EXPECT_EQ(ReadWholeFile(Local("c")), "all");
    const auto events = log.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "OnSuccess 9"), 0);
    EXPECT_NO_THROW(ftp.Disconnect());
    EXPECT_FALSE(ftp.Connected());
}

namespace {

// A blocking client socket bound to from, connected to to:port; -1 when
// the connect fails (errno tells why).
int ConnectFrom(const char* from, const char* to, uint16_t port)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = inet_addr(to);
    remote.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        int error = errno;
        ::close(s);
        errno = error;
        return -1;
    }
    return s;
}

uint16_t PortOfPortCommand(const Transcript& t)
{
    unsigned h1, h2, h3, h4, p1 = 0, p2 = 0;
    for (const auto& command : t)
        if (command.rfind("PORT ", 0) == 0)
            std::sscanf(command.c_str() + 5, "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2);
    return uint16_t(p1 * 256 + p2);
}

} // namespace

// Active mode: the listener takes connections on the control connection's
// local address only, and a connection from another address than the
// server's (127.0.0.2 here) is closed at once, unread, while the wait goes
// on for the server's own connection.
TEST_F(TransferOutcome, ActiveModeTakesItsDataConnectionOnlyFromTheServer)
{
    ScriptedFtpServer server;
    std::atomic<int> otherAddress{-2}; // connect to 127.0.0.3: -1 = refused
    std::atomic<int> intruderRead{-2}; // what the intruder's recv saw at the end
    std::atomic<bool> intruderClosed{false};
    int intruder = -1;
    server.Send("220 hi\r\n")
        .Reply("230 in\r\n")
        .Reply("200 PORT ok\r\n")
        .Call([&] {
            const uint16_t port = PortOfPortCommand(server.Transcript());
            int s = ConnectFrom("127.0.0.1", "127.0.0.3", port);
            otherAddress = s < 0 && errno == ECONNREFUSED ? -1 : 0;
            if (s >= 0)
                ::close(s);
            intruder = ConnectFrom("127.0.0.2", "127.0.0.1", port);
            if (intruder >= 0)
                ::send(intruder, "FAKE LOG\n", 9, MSG_NOSIGNAL);
        })
        .Reply("150 go\r\n")
        .Call([&] {
            // The client accepts after reading 150: the intruder is closed.
            pollfd p{intruder, POLLIN, 0};
            if (intruder >= 0 && ::poll(&p, 1, 8000) == 1) {
                char c;
                intruderRead = int(::recv(intruder, &c, 1, 0));
                intruderClosed = true;
            }
        })
        .ConnectData()
        .SendData("real log\n")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, server, false, 5000);
    ftp.RetrieveFile("log", Local("log"));
    EXPECT_EQ(ReadWholeFile(Local("log")), "real log\n");
    ftp.Disconnect();
    EXPECT_TRUE(server.WaitScriptDone(milliseconds(5000))) << server.Error();
    EXPECT_EQ(server.Error(), "");
    EXPECT_EQ(otherAddress.load(), -1) << "the listener answered on another local address";
    ASSERT_GE(intruder, 0) << "the intruder could not connect";
    EXPECT_TRUE(intruderClosed.load());
    EXPECT_LE(intruderRead.load(), 0) << "closed, nothing sent";
    ::close(intruder);
}
