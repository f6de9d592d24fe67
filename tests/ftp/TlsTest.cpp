// TKZFTP over explicit TLS: pyftpdlib's TLS handler with certificates the
// test makes (pinned, signed by a test CA the test trusts, self-signed, for
// another name), transfers in both modes, a server that refuses AUTH TLS,
// and handshakes that stall (time-out, cancel) on the scripted server.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <memory>

using Transcript = std::vector<std::string>;

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TTlsSecurity Pinned(const std::string& fingerprint)
{
    TTlsSecurity security;
    EXPECT_TRUE(TTlsSecurity::Parse(fingerprint, security));
    return security;
}

TTlsSecurity Verified()
{
    return TTlsSecurity{TTlsMode::Verify, {}};
}

bool Contains(const std::vector<std::string>& texts, const std::string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// The message of the failure that Connect throws; empty when it succeeds.
std::string ConnectFailure(TKZFTP& ftp)
{
    try {
        ftp.Connect();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

} // namespace

class TlsServers : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Certificates = std::make_unique<TestCertificates>();
        // The trust store of this test: the test CA only.
        EmptyDir = std::make_unique<QTemporaryDir>();
        qputenv("SSL_CERT_FILE", QByteArray::fromStdString(Certificates->CaFile()));
        qputenv("SSL_CERT_DIR", EmptyDir->path().toLocal8Bit());
        SelfSigned = Start(Certificates->SelfSignedCertificate(), Certificates->SelfSignedKey());
        Signed = Start(Certificates->SignedCertificate(), Certificates->SignedKey());
        Elsewhere = Start(Certificates->ElsewhereCertificate(), Certificates->ElsewhereKey());
    }
    static void TearDownTestSuite()
    {
        SelfSigned.reset();
        Signed.reset();
        Elsewhere.reset();
        Certificates.reset();
        EmptyDir.reset();
    }
    static std::unique_ptr<PyFtpServer> Start(const std::string& certificate, const std::string& key)
    {
        PyFtpServer::Options options;
        options.TlsCertificate = certificate;
        options.TlsKey = key;
        return std::make_unique<PyFtpServer>(options);
    }

    void Use(const PyFtpServer& server, const TTlsSecurity& security)
    {
        Ftp.Host = "127.0.0.1";
        Ftp.Port = server.Port();
        Ftp.TimeOut = 20000;
        Ftp.UserID = server.User();
        Ftp.Password = server.Password();
        Ftp.Security = security;
    }
    void TearDown() override
    {
        if (Ftp.Connected())
            Ftp.Disconnect();
    }
    std::string Local(const std::string& name) const { return Dir.path().toStdString() + "/" + name; }

    static std::unique_ptr<TestCertificates> Certificates;
    static std::unique_ptr<QTemporaryDir> EmptyDir;
    static std::unique_ptr<PyFtpServer> SelfSigned, Signed, Elsewhere;
    QTemporaryDir Dir;
    TKZFTP Ftp;
};

std::unique_ptr<TestCertificates> TlsServers::Certificates;
std::unique_ptr<QTemporaryDir> TlsServers::EmptyDir;
std::unique_ptr<PyFtpServer> TlsServers::SelfSigned, TlsServers::Signed, TlsServers::Elsewhere;

TEST_F(TlsServers, PinnedFingerprintCarriesDownloadsAndUploadsInBothModes)
{
    std::string fingerprint = TestCertificates::Fingerprint(Certificates->SelfSignedCertificate());
    ASSERT_EQ(fingerprint.size(), 64u);
    // Pasted in capitals, as some tools print it.
    std::transform(fingerprint.begin(), fingerprint.end(), fingerprint.begin(), ::toupper);
    Use(*SelfSigned, Pinned(fingerprint));
    EventLog log(Ftp);
    const std::string big = PatternBytes(3 * 1024 * 1024 + 17);
    SelfSigned->WriteFile("big.bin", big);
    SelfSigned->WriteFile("empty.log", "");

    Ftp.Connect();
    ASSERT_TRUE(Ftp.Connected());
    EXPECT_TRUE(Ftp.Secure());
    Ftp.SetTransferType(2);
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        Ftp.Passive = passive;
        std::remove(Local("big.bin").c_str());
        Ftp.RetrieveFile("big.bin", Local("big.bin"));
        EXPECT_TRUE(ReadWholeFile(Local("big.bin")) == big) << "downloaded bytes differ";
        Ftp.RetrieveFile("empty.log", Local("empty.log"));
        EXPECT_TRUE(FileExists(Local("empty.log")));
        EXPECT_EQ(ReadWholeFile(Local("empty.log")), "");
        const std::string name = passive ? "up-passive.bin" : "up-active.bin";
        WriteWholeFile(Local(name), big.substr(0, 1000003));
        Ftp.StoreFile(Local(name), name);
        const std::string uploaded = SelfSigned->ReadFile(name);
        EXPECT_EQ(uploaded.size(), 1000003u);
        EXPECT_TRUE(uploaded == big.substr(0, 1000003)) << "uploaded bytes differ";
    }
    Ftp.Disconnect();

    // TLS first, the log-in inside it, then protected data connections.
    const auto statuses = log.Statuses();
    const auto at = [&](const std::string& text) {
        return std::find(statuses.begin(), statuses.end(), text) - statuses.begin();
    };
    ASSERT_TRUE(Contains(statuses, "AUTH TLS"));
    EXPECT_LT(at("AUTH TLS"), at("USER " + SelfSigned->User()));
    EXPECT_LT(at("PASS "), at("PBSZ 0"));
    EXPECT_LT(at("PBSZ 0"), at("PROT P"));
    EXPECT_TRUE(Contains(log.Events(), "OnConnect"));
}

TEST_F(TlsServers, PinnedFingerprintThatDiffersEndsTheSessionBeforeTheUserName)
{
    const std::string actual = TestCertificates::Fingerprint(Certificates->SelfSignedCertificate());
    std::string other = actual;
    other[10] = other[10] == '0' ? '1' : '0';
    Use(*SelfSigned, Pinned(other));
    EventLog log(Ftp);
    EXPECT_EQ(ConnectFailure(Ftp), "TLS: 証明書の指紋が一致しません SHA-256 " + actual);
    EXPECT_FALSE(Ftp.Connected());
    for (const auto& status : log.Statuses())
        EXPECT_NE(status.rfind("USER", 0), 0u) << status;

    // The same server is fine with the right one afterwards.
    Ftp.Security = Pinned(actual);
    EXPECT_EQ(ConnectFailure(Ftp), "");
    EXPECT_TRUE(Ftp.Connected());
}

TEST_F(TlsServers, VerifiedTlsAcceptsTheTrustedCaAndNamesWhyOthersFail)
{
    // Signed by the test CA for 127.0.0.1: accepted, and it carries data.
    Use(*Signed, Verified());
    Signed->WriteFile("app.log", "line one\r\nline two\r\n");
    ASSERT_EQ(ConnectFailure(Ftp), "");
    Ftp.Passive = true;
    Ftp.RetrieveFile("app.log", Local("app.log"));
    EXPECT_EQ(ReadWholeFile(Local("app.log")), "line one\r\nline two\r\n");
    Ftp.Disconnect();

    // Self-signed: not trusted; the message gives the fingerprint to pin.
    Use(*SelfSigned, Verified());
    EXPECT_EQ(ConnectFailure(Ftp), "TLS: 証明書を検証できません (self-signed certificate) SHA-256 " +
                                       TestCertificates::Fingerprint(Certificates->SelfSignedCertificate()));
    EXPECT_FALSE(Ftp.Connected());

    // Trusted CA, but issued for another name.
    Use(*Elsewhere, Verified());
    EXPECT_EQ(ConnectFailure(Ftp), "TLS: 証明書を検証できません (IP address mismatch) SHA-256 " +
                                       TestCertificates::Fingerprint(Certificates->ElsewhereCertificate()));
    EXPECT_FALSE(Ftp.Connected());
}

TEST(TlsRefused, ServerWithoutTlsGetsNoUserNameOrPassword)
{
    // pyftpdlib without TLS does not know AUTH.
    PyFtpServer plain;
    TKZFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = plain.Port();
    ftp.TimeOut = 20000;
    ftp.UserID = plain.User();
    ftp.Password = plain.Password();
    ftp.Security = Verified();
    const std::string failure = ConnectFailure(ftp);
    EXPECT_EQ(failure.substr(0, 4), "500 ") << failure;
    EXPECT_FALSE(ftp.Connected());

    // Exactly what goes over the wire: AUTH TLS and nothing after it, not
    // even QUIT.
    ScriptedFtpServer refusing;
    refusing.Send("220 ready\r\n").Reply("534 TLS not available\r\n");
    ftp.Port = refusing.Port();
    EXPECT_EQ(ConnectFailure(ftp), "534 TLS not available\r\n");
    EXPECT_EQ(refusing.Transcript(), (Transcript{"AUTH TLS"}));

    // A server that agrees but sends plain text after its agreement is not
    // believed: nothing more is sent.
    ScriptedFtpServer injecting;
    injecting.Send("220 ready\r\n").Reply("234 go ahead\r\n230 logged in\r\n");
    ftp.Port = injecting.Port();
    EXPECT_EQ(ConnectFailure(ftp), "TLS: ハンドシェイク失敗 (unexpected data before the handshake)");
    EXPECT_EQ(injecting.Transcript(), (Transcript{"AUTH TLS"}));
}

TEST(TlsStalled, HandshakeEndsByTimeOutOrCancelWithoutSpinning)
{
    // The server agrees to TLS and then says nothing more.
    {
        ScriptedFtpServer server(std::chrono::milliseconds(30000));
        server.Send("220 ready\r\n").Reply("234 go ahead\r\n").Pause(std::chrono::milliseconds(20000));
        TKZFTP ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.TimeOut = 1500;
        ftp.UserID = "user";
        ftp.Password = "secret";
        ftp.Security = Verified();
        // Events keep running during the wait.
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(100);
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = CpuSeconds();
        EXPECT_EQ(ConnectFailure(ftp), TKZSock::TlsTimedOutText);
        const double cpu = CpuSeconds() - cpuBefore;
        const qint64 elapsed = clock.elapsed();
        EXPECT_GE(elapsed, 1400);
        EXPECT_LT(elapsed, 15000);
        EXPECT_GE(ticks, 5);
        // Waiting costs next to nothing (generous for a loaded machine and
        // the sanitizers).
        EXPECT_LT(cpu, 0.5 * double(elapsed) / 1000.0) << cpu << " s CPU in " << elapsed << " ms";
        EXPECT_FALSE(ftp.Connected());
        EXPECT_EQ(server.Transcript(), (Transcript{"AUTH TLS"}));
    }
    {
        ScriptedFtpServer server(std::chrono::milliseconds(30000));
        server.Send("220 ready\r\n").Reply("234 go ahead\r\n").Pause(std::chrono::milliseconds(20000));
        TKZFTP ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.TimeOut = 30000;
        ftp.UserID = "user";
        ftp.Password = "secret";
        ftp.Security = Verified();
        QTimer::singleShot(500, [&] { ftp.Cancel(); });
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(ConnectFailure(ftp), TKZSock::TlsCanceledText);
        EXPECT_LT(clock.elapsed(), 15000);
        EXPECT_FALSE(ftp.Connected());
        EXPECT_EQ(server.Transcript(), (Transcript{"AUTH TLS"}));
    }
}

// The end of a protected download on the scripted server: the server's 226
// alone does not make a download whole. A data connection cut by a plain TCP
// close (as anyone on the path can forge) fails even when the count looks
// right; a clean close with fewer bytes than announced fails naming both
// counts; more bytes than announced are a log that grew.
TEST(TlsDataEnd, DownloadIsWholeOnlyWithCloseNotifyAndTheAnnouncedBytes)
{
    TestCertificates certificates;
    const std::string whole = PatternBytes(840000);
    struct Case {
        std::string Sent;
        bool CloseNotify;
        std::string Failure;  // empty: the download completes
    };
    const Case cases[] = {
        {whole.substr(0, 420000), false, TKZFTP::NoTlsClosureText},
        {whole, false, TKZFTP::NoTlsClosureText},
        {whole.substr(0, 420000), true, "Transfer ended early: 420000 of 840000 bytes"},
        {whole + "grown line\n", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Sent.size()) + (c.CloseNotify ? " with close_notify" : " cut"));
        QTemporaryDir dir;
        const std::string local = dir.path().toStdString() + "/app.log";
        ScriptedFtpServer server;
        server.UseTls(certificates.SignedCertificate(), certificates.SignedKey());
        server.Send("220 hi\r\n").Reply("234 go ahead\r\n").SecureControl()
            .Reply("230 in\r\n").Reply("200 PBSZ=0\r\n").Reply("200 protected\r\n")
            .Reply(ScriptedFtpServer::PasvReply(server.DataPort())).AcceptData()
            .Reply("150 Opening BINARY mode data connection for app.log (840000 bytes).\r\n")
            .SecureData()
            .SendData(c.Sent);
        if (c.CloseNotify)
            server.CloseData();
        else
            server.CutData();
        server.Send("226 Transfer complete\r\n").Reply("221 bye\r\n");

        TKZFTP ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.TimeOut = 10000;
        ftp.UserID = "alice";
        ftp.Password = "pw";
        ftp.Passive = true;
        ftp.Security = Pinned(TestCertificates::Fingerprint(certificates.SignedCertificate()));
        ftp.Connect();
        std::string failure;
        try {
            ftp.RetrieveFile("app.log", local);
        } catch (const ESockError& e) {
            failure = e.what();
        }
        EXPECT_EQ(failure, c.Failure);
        if (c.Failure.empty())
            EXPECT_EQ(ReadWholeFile(local), c.Sent);
        // The final reply was read: the session goes on in step.
        ftp.Disconnect();
        EXPECT_EQ(server.Transcript(), (Transcript{"AUTH TLS", "USER alice", "PBSZ 0", "PROT P", "EPSV", "PASV",
                                                   "RETR app.log", "QUIT"}));
        EXPECT_EQ(server.Error(), "");
    }
}

// A server that asks for a renegotiation in the middle of a protected
// download is declined; the download then fails rather than going on under
// keys the client did not agree to.
TEST(TlsDataEnd, RenegotiationIsRefused)
{
    TestCertificates certificates;
    QTemporaryDir dir;
    ScriptedFtpServer server;
    server.UseTls(certificates.SignedCertificate(), certificates.SignedKey(), true);
    server.Send("220 hi\r\n").Reply("234 go ahead\r\n").SecureControl()
        .Reply("230 in\r\n").Reply("200 PBSZ=0\r\n").Reply("200 protected\r\n")
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort())).AcceptData()
        .Reply("150 Opening BINARY mode data connection for app.log\r\n")
        .SecureData()
        .SendData("first part\n")
        .RenegotiateData()
        .CutData()
        .Send("426 Connection closed; transfer aborted.\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = 10000;
    ftp.UserID = "alice";
    ftp.Password = "pw";
    ftp.Passive = true;
    ftp.Security = Pinned(TestCertificates::Fingerprint(certificates.SignedCertificate()));
    ftp.Connect();
    EXPECT_THROW(ftp.RetrieveFile("app.log", dir.path().toStdString() + "/app.log"), Exception);
    ftp.Disconnect();
    EXPECT_EQ(server.Renegotiation(), "refused");
    EXPECT_EQ(server.Transcript(), (Transcript{"AUTH TLS", "USER alice", "PBSZ 0", "PROT P", "EPSV", "PASV",
                                               "RETR app.log", "QUIT"}));
}
