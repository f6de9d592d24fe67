// The data connection over IPv6 and IPv4: EPSV and EPRT on an IPv6 control
// connection, EPSV first with PASV once the server refuses it on IPv4,
// numeric hosts in brackets, TLS checked against the certificate's IP
// address, and a host whose first address refuses. Against pyftpdlib and
// the scripted server, on ::1 where this machine has it.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/Ipv6Loopback.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using Transcript = std::vector<std::string>;
using std::chrono::milliseconds;

namespace {

void LogIn(TKZFTP& ftp, const std::string& host, uint16_t port, bool passive)
{
    ftp.Host = host;
    ftp.Port = port;
    ftp.TimeOut = 10000;
    ftp.UserID = "alice";
    ftp.Password = "pw";
    ftp.Passive = passive;
    ftp.Connect();
}

// Status lines of the log that begin with prefix.
int CountStarting(const EventLog& log, const std::string& prefix)
{
    const auto statuses = log.Statuses();
    return int(std::count_if(statuses.begin(), statuses.end(),
                             [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
}

std::string Failure(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

class Ipv6Transfer : public testing::Test {
protected:
    std::string Local(const std::string& name) const { return Dir.path().toStdString() + "/" + name; }
    QTemporaryDir Dir;
};

// Dials the given addresses in place of those the host resolves to.
class OrderedFtp : public TKZFTP {
public:
    std::vector<TSockAddress> Order;

protected:
    void OrderAddresses(std::vector<TSockAddress>& addresses) override
    {
        if (!Order.empty())
            addresses = Order;
    }
};

} // namespace

TEST_F(Ipv6Transfer, ScriptedIPv6PassiveSendsOnlyEpsvAndDialsTheControlPeer)
{
    SKIP_WITHOUT_IPV6_LOOPBACK();
    ScriptedFtpServer server(milliseconds(10000), ScriptedFtpServer::Family::IPv6);
    server.ScriptEpsv()
        .Send("220 hi\r\n")
        .Reply("230 in\r\n")
        .Reply(ScriptedFtpServer::EpsvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("over six")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("500 no passive for you\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, "[::1]", server.Port(), true);
    ftp.RetrieveFile("log.txt", Local("log.txt"));
    EXPECT_EQ(ReadWholeFile(Local("log.txt")), "over six");
    // A refused EPSV on IPv6 is the transfer's failure: PASV has no IPv6 form.
    EXPECT_EQ(Failure([&] { ftp.RetrieveFile("log.txt", Local("again.txt")); }), "500 no passive for you\r\n");
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "RETR log.txt", "EPSV", "QUIT"}));
    EXPECT_EQ(server.Error(), "");
}

TEST_F(Ipv6Transfer, ScriptedIPv6ActiveAnnouncesTheLocalAddressWithEprt)
{
    SKIP_WITHOUT_IPV6_LOOPBACK();
    ScriptedFtpServer server(milliseconds(10000), ScriptedFtpServer::Family::IPv6);
    server.Send("220 hi\r\n")
        .Reply("230 in\r\n")
        .Reply("200 ok\r\n")
        .Reply("150 here\r\n")
        .ConnectData()
        .SendData("active six")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, "::1", server.Port(), false);
    ftp.RetrieveFile("log.txt", Local("log.txt"));
    ftp.Disconnect();
    EXPECT_EQ(ReadWholeFile(Local("log.txt")), "active six");
    const Transcript transcript = server.Transcript();
    ASSERT_EQ(transcript.size(), 4u);
    EXPECT_TRUE(std::regex_match(transcript[1], std::regex(R"(EPRT \|2\|::1\|[1-9][0-9]*\|)"))) << transcript[1];
    EXPECT_EQ(server.Error(), "");
}

// IPv4: a server that answers EPSV with 5xx gets PASV from then on, for the
// rest of the session; the next session asks with EPSV again. Active mode
// stays PORT.
TEST_F(Ipv6Transfer, ScriptedIPv4FallsBackToPasvOncePerSession)
{
    ScriptedFtpServer server; // answers EPSV with 500 by itself
    server.Send("220 hi\r\n").Reply("230 in\r\n");
    for (const char* data : {"first", "second"})
        server.Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
            .AcceptData()
            .Reply("150 here\r\n")
            .SendData(data)
            .CloseData()
            .Send("226 done\r\n");
    server.Reply("200 ok\r\n").Reply("150 here\r\n").ConnectData().SendData("third").CloseData().Send("226 done\r\n");
    server.Reply("221 bye\r\n");
    TKZFTP ftp;
    LogIn(ftp, "127.0.0.1", server.Port(), true);
    ftp.RetrieveFile("a", Local("a"));
    ftp.RetrieveFile("b", Local("b"));
    ftp.Passive = false;
    ftp.RetrieveFile("c", Local("c"));
    ftp.Disconnect();
    EXPECT_EQ(ReadWholeFile(Local("b")), "second");
    EXPECT_EQ(ReadWholeFile(Local("c")), "third");
    const Transcript transcript = server.Transcript();
    ASSERT_EQ(transcript.size(), 9u);
    EXPECT_EQ(Transcript(transcript.begin(), transcript.begin() + 6),
              (Transcript{"USER alice", "EPSV", "PASV", "RETR a", "PASV", "RETR b"}));
    EXPECT_EQ(transcript[6].rfind("PORT 127,0,0,1,", 0), 0u);
    EXPECT_EQ(server.Error(), "");

    // A new session asks with EPSV again, and takes its answer.
    ScriptedFtpServer next;
    next.ScriptEpsv()
        .Send("220 hi\r\n")
        .Reply("230 in\r\n")
        .Reply(ScriptedFtpServer::EpsvReply(next.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("fourth")
        .CloseData()
        .Send("226 done\r\n")
        .Reply("221 bye\r\n");
    LogIn(ftp, "127.0.0.1", next.Port(), true);
    ftp.RetrieveFile("d", Local("d"));
    ftp.Disconnect();
    EXPECT_EQ(ReadWholeFile(Local("d")), "fourth");
    EXPECT_EQ(next.Transcript(), (Transcript{"USER alice", "EPSV", "RETR d", "QUIT"}));
}

TEST_F(Ipv6Transfer, MalformedEpsvRepliesAreRefusedBeforeAnythingIsDialled)
{
    for (const std::string reply : {"229 Entering Extended Passive Mode (|||0|)\r\n",
                                    "229 Entering Extended Passive Mode (|||65536|)\r\n",
                                    "229 Entering Extended Passive Mode (|||21)\r\n",
                                    "229 Entering Extended Passive Mode (1|1|1|21|)\r\n", "229 ok\r\n"}) {
        ScriptedFtpServer server;
        server.ScriptEpsv().Send("220 hi\r\n").Reply("230 in\r\n").Reply(reply).Reply("221 bye\r\n");
        TKZFTP ftp;
        LogIn(ftp, "127.0.0.1", server.Port(), true);
        const std::string failure = Failure([&] { ftp.RetrieveFile("x", Local("x")); });
        EXPECT_NE(failure.find("is not a valid port"), std::string::npos) << reply << failure;
        ftp.Disconnect();
        EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "EPSV", "QUIT"})) << reply;
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(Local("x"))));
    }
}

TEST_F(Ipv6Transfer, PyftpdlibOnIPv6CarriesBothModesFromABracketedHost)
{
    SKIP_WITHOUT_IPV6_LOOPBACK();
    PyFtpServer::Options options;
    options.Address = "::1";
    PyFtpServer server(options);
    server.WriteFile("app.log", "ログ line\r\n");
    TKZFTP ftp;
    EventLog log(ftp);
    ftp.Host = "[::1]";
    ftp.Port = server.Port();
    ftp.TimeOut = 10000;
    ftp.UserID = server.User();
    ftp.Password = server.Password();
    for (bool passive : {true, false}) {
        ftp.Passive = passive;
        ftp.Connect();
        ftp.SetTransferType(2);
        ftp.RetrieveFile("app.log", Local("copy.log"));
        ftp.StoreFile(Local("copy.log"), passive ? "up1.log" : "up2.log");
        ftp.Disconnect();
        EXPECT_EQ(ReadWholeFile(Local("copy.log")), "ログ line\r\n") << passive;
    }
    EXPECT_EQ(server.ReadFile("up1.log"), "ログ line\r\n");
    EXPECT_EQ(server.ReadFile("up2.log"), "ログ line\r\n");
    EXPECT_EQ(CountStarting(log, "229 "), 2) << "EPSV for each passive transfer";
    EXPECT_EQ(CountStarting(log, "227 "), 0);
}

TEST_F(Ipv6Transfer, PyftpdlibOnIPv4TakesEpsvOrFallsBackToPasv)
{
    for (bool refuse : {false, true}) {
        PyFtpServer::Options options;
        if (refuse)
            options.Refuse = {"EPSV"};
        PyFtpServer server(options);
        server.WriteFile("a.log", "four\n");
        TKZFTP ftp;
        EventLog log(ftp);
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.TimeOut = 10000;
        ftp.UserID = server.User();
        ftp.Password = server.Password();
        ftp.Passive = true;
        ftp.Connect();
        ftp.SetTransferType(2);
        ftp.RetrieveFile("a.log", Local("a.log"));
        ftp.RetrieveFile("a.log", Local("b.log"));
        ftp.Disconnect();
        EXPECT_EQ(ReadWholeFile(Local("b.log")), "four\n");
        EXPECT_EQ(CountStarting(log, "229 "), refuse ? 0 : 2);
        EXPECT_EQ(CountStarting(log, "502 "), refuse ? 1 : 0) << "the refusal is remembered";
        EXPECT_EQ(CountStarting(log, "227 "), refuse ? 2 : 0);
    }
}

// The first address refuses (IPv6, or no IPv6 at all here), the second
// carries the session.
TEST_F(Ipv6Transfer, HostWhoseFirstAddressRefusesIsReachedAtTheNext)
{
    PyFtpServer server;
    server.WriteFile("a.log", "reached\n");
    OrderedFtp ftp;
    TSockAddress first;
    TSockAddress::ParseIPv6("::1", first);
    first.SetPort(server.Port()); // nothing listens on ::1 at this port
    ftp.Order = {first, TSockAddress::IPv4(htonl(INADDR_LOOPBACK), server.Port())};
    ftp.Host = "localhost";
    ftp.Port = server.Port();
    ftp.TimeOut = 10000;
    ftp.UserID = server.User();
    ftp.Password = server.Password();
    ftp.Passive = true;
    ftp.Connect();
    ftp.SetTransferType(2);
    EXPECT_EQ(ftp.RemoteAddress().Text(), "127.0.0.1:" + std::to_string(server.Port()));
    ftp.RetrieveFile("a.log", Local("a.log"));
    ftp.Disconnect();
    EXPECT_EQ(ReadWholeFile(Local("a.log")), "reached\n");
}

// A verified TLS session to an IPv6 literal checks the certificate's IP
// address entry: a certificate for ::1 is accepted, one for 127.0.0.1 only
// is not.
TEST_F(Ipv6Transfer, TlsToAnIPv6LiteralChecksTheCertificatesAddress)
{
    SKIP_WITHOUT_IPV6_LOOPBACK();
    TestCertificates certificates;
    QTemporaryDir emptyDir;
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(certificates.CaFile()));
    qputenv("SSL_CERT_DIR", emptyDir.path().toLocal8Bit());
    for (bool forSix : {true, false}) {
        PyFtpServer::Options options;
        options.Address = "::1";
        options.TlsCertificate = forSix ? certificates.Signed6Certificate() : certificates.SignedCertificate();
        options.TlsKey = forSix ? certificates.Signed6Key() : certificates.SignedKey();
        PyFtpServer server(options);
        server.WriteFile("s.log", "secret six\n");
        TKZFTP ftp;
        ftp.Host = "[::1]";
        ftp.Port = server.Port();
        ftp.TimeOut = 20000;
        ftp.UserID = server.User();
        ftp.Password = server.Password();
        ftp.Passive = true;
        ftp.Security = TTlsSecurity{TTlsMode::Verify, {}};
        const std::string failure = Failure([&] { ftp.Connect(); });
        if (forSix) {
            ASSERT_EQ(failure, "(no failure)");
            ftp.SetTransferType(2);
            ftp.RetrieveFile("s.log", Local("s.log"));
            ftp.Disconnect();
            EXPECT_EQ(ReadWholeFile(Local("s.log")), "secret six\n");
        } else {
            EXPECT_EQ(failure.rfind("TLS: 証明書を検証できません (IP address mismatch)", 0), 0u) << failure;
            EXPECT_FALSE(ftp.Connected());
        }
    }
    qunsetenv("SSL_CERT_FILE");
    qunsetenv("SSL_CERT_DIR");
}
