// RemoteSource over both protocols against real servers: OpenSSH's sshd for
// SFTP and pyftpdlib for FTP. Each source must give a byte-identical copy,
// keep the older copy when a download fails, add only the new bytes on a
// Follow refresh, and name the step a failure happened in.
#include "fetch/FtpSource.h"
#include "fetch/SftpSource.h"
#include "ftp/TKZFTP.h"
#include "tests/sftp/SshdServer.h"
#include "tests/support/PyFtpServer.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const std::string& path, const std::string& bytes, std::ios::openmode mode = std::ios::trunc)
{
    std::ofstream(path, std::ios::binary | mode) << bytes;
}

// A log with EUC-JP text, CR LF, NULs and 0xFF: any byte changed in transit shows.
std::string LogBytes(size_t size, char tag)
{
    std::string bytes;
    for (size_t i = 0; bytes.size() < size; ++i)
        bytes += std::string("\xa5\xed\xa5\xb0 ") + tag + std::to_string(i) + " \x00\xff\r\n";
    bytes.resize(size);
    return bytes;
}

// Files in dir other than the ones named (temporary files left behind).
QStringList Leftovers(const QString& dir, const QStringList& expected)
{
    QStringList found = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : expected)
        found.removeAll(name);
    return found;
}

HostProfile Profile(const std::string& line)
{
    TextList fields;
    size_t start = 0;
    for (size_t at = line.find(':'); at != std::string::npos; at = line.find(':', start)) {
        fields.Add(line.substr(start, at - start));
        start = at + 1;
    }
    fields.Add(line.substr(start));
    return ReadHostProfile(fields, false);
}

// What a source reports while it works.
struct Seen {
    std::vector<FetchStep> Steps;
    int64_t Total = -1;
    int64_t Received = 0;
    void Watch(RemoteSource& source)
    {
        source.OnStep = [this](FetchStep s) { Steps.push_back(s); };
        source.OnTransferStarted = [this](int64_t size) { Total = size; };
        source.OnReceived = [this](int64_t bytes) { Received = bytes; };
    }
};

class SftpSourceTest : public testing::Test {
protected:
    static void SetUpTestSuite() { Server = new SshdServer(); }
    static void TearDownTestSuite()
    {
        delete Server;
        Server = nullptr;
    }
    void SetUp() override
    {
        Shell("rm -rf '" + Server->SshDir() + "' && mkdir -m 700 '" + Server->SshDir() + "'");
        Shell("cp '" + Server->ClientKey() + "' '" + Server->SshDir() + "/id_ed25519'");
        ::setenv("HOME", Server->Home().c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
        ASSERT_TRUE(Local.isValid());
    }
    // The test server's profile line; security is field 7.
    std::string Line(const std::string& security) const
    {
        return "s:127.0.0.1:" + Server->UserName() + "::1:/x:" + std::to_string(Server->Port()) + ":" + security;
    }
    std::unique_ptr<RemoteSource> Source(const std::string& security)
    {
        auto source = MakeRemoteSource(Profile(Line(security)), Ftp);
        auto* sftp = dynamic_cast<SftpSource*>(source.get());
        EXPECT_NE(sftp, nullptr) << "an sftp profile gets the SFTP source";
        if (sftp) {
            sftp->Session().GlobalKnownHosts = Server->Dir() + "/global_known_hosts";
            sftp->Session().TimeOut = 5000;
        }
        return source;
    }
    std::string Pin() const { return "sftp=" + Server->HostFingerprint().substr(7); }
    std::string RemoteDir() const { return Server->Dir() + "/"; }
    std::string LocalPath(const std::string& name) const { return Local.filePath(QString::fromStdString(name)).toStdString(); }

    static SshdServer* Server;
    TKZFTP Ftp;
    QTemporaryDir Local;
};
SshdServer* SftpSourceTest::Server = nullptr;

TEST_F(SftpSourceTest, PinnedDownloadIsByteIdenticalAndReportsItsSteps)
{
    const std::string bytes = LogBytes(3 * 1024 * 1024 + 17, 'a');
    WriteAll(Server->Dir() + "/app.log", bytes);
    auto source = Source(Pin());
    Seen seen;
    seen.Watch(*source);
    int asked = 0;
    source->OnUnknownHostKey = [&](const HostKeyInfo&) { ++asked; return HostKeyDecision::Cancel; };

    source->Open(Profile(Line(Pin())));
    EXPECT_TRUE(source->IsOpen());
    source->Download(RemoteDir(), "app.log", LocalPath("app.log"));
    EXPECT_TRUE(ReadAll(LocalPath("app.log")) == bytes);
    EXPECT_EQ(asked, 0) << "a pinned key is never asked about";
    EXPECT_EQ(seen.Steps, (std::vector<FetchStep>{FetchStep::Connect, FetchStep::LogIn, FetchStep::Download}));
    EXPECT_EQ(seen.Total, int64_t(bytes.size()));
    EXPECT_EQ(seen.Received, int64_t(bytes.size()));
    source->Close(false);
    EXPECT_FALSE(source->IsOpen());
    EXPECT_EQ(Leftovers(Local.path(), {"app.log"}), QStringList());
}

TEST_F(SftpSourceTest, FailedDownloadKeepsTheOlderCopy)
{
    auto source = Source("sftp");
    source->OnUnknownHostKey = [](const HostKeyInfo&) { return HostKeyDecision::TrustOnce; };
    WriteAll(LocalPath("gone.log"), "older copy\r\n");
    source->Open(Profile(Line("sftp")));
    EXPECT_THROW(source->Download(RemoteDir(), "gone.log", LocalPath("gone.log")), ESftpError);
    EXPECT_EQ(source->Step(), FetchStep::Download);
    EXPECT_EQ(ReadAll(LocalPath("gone.log")), "older copy\r\n");
    EXPECT_EQ(Leftovers(Local.path(), {"gone.log"}), QStringList());
    // A closed source refuses before anything is touched.
    source->Close(true);
    EXPECT_THROW(source->Download(RemoteDir(), "gone.log", LocalPath("gone.log")), Exception);
    EXPECT_EQ(ReadAll(LocalPath("gone.log")), "older copy\r\n");
}

TEST_F(SftpSourceTest, RefreshAddsOnlyTheNewBytes)
{
    const std::string remote = Server->Dir() + "/grow.log";
    WriteAll(remote, LogBytes(500000, 'a'));
    auto source = Source(Pin());
    source->Open(Profile(Line(Pin())));
    FollowCopyState state;
    RefreshResult r = source->Refresh(RemoteDir(), "grow.log", LocalPath("grow.log"), state);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);

    const std::string more = LogBytes(3000, 'b');
    WriteAll(remote, more, std::ios::app);
    r = source->Refresh(RemoteDir(), "grow.log", LocalPath("grow.log"), state);
    EXPECT_EQ(r.Kind, RefreshKind::Appended);
    EXPECT_EQ(r.NewSize - r.OldSize, int64_t(more.size()));
    EXPECT_LE(r.BytesReceived, int64_t(more.size() + ResumeOverlap));
    EXPECT_TRUE(ReadAll(LocalPath("grow.log")) == ReadAll(remote));
}

TEST_F(SftpSourceTest, WrongPinOrCancelledKeyFailsAtConnectBeforeAnyLogIn)
{
    // Another key's fingerprint: refused as changed, never asked about.
    const std::string other = "sftp=" + FingerprintOfKeyFile(Server->ClientKey() + ".pub").substr(7);
    for (const std::string& security : {other, std::string("sftp")}) {
        SCOPED_TRACE(security);
        auto source = Source(security);
        Seen seen;
        seen.Watch(*source);
        int asked = 0;
        source->OnUnknownHostKey = [&](const HostKeyInfo& key) {
            ++asked;
            EXPECT_EQ(key.Fingerprint, Server->HostFingerprint());
            EXPECT_EQ(key.PinValue, Pin());
            return HostKeyDecision::Cancel;
        };
        EXPECT_THROW(source->Open(Profile(Line(security))), ESftpError);
        EXPECT_EQ(source->Step(), FetchStep::Connect);
        EXPECT_EQ(seen.Steps, std::vector<FetchStep>{FetchStep::Connect}) << "nothing of the user's went out";
        EXPECT_EQ(asked, security == "sftp" ? 1 : 0);
        EXPECT_FALSE(source->IsOpen());
    }
}

class FtpSourceTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Local.isValid()); }
    std::string Line(const std::string& password = "secret") const
    {
        return "f:127.0.0.1:user:" + password + ":1:/x:" + std::to_string(Server.Port());
    }
    std::string LocalPath(const std::string& name) const { return Local.filePath(QString::fromStdString(name)).toStdString(); }

    PyFtpServer Server;
    TKZFTP Ftp;
    QTemporaryDir Local;
};

TEST_F(FtpSourceTest, DownloadIsByteIdenticalAndAFailedOneKeepsTheOlderCopy)
{
    QDir(QString::fromStdString(Server.Root())).mkdir("logs");
    const std::string bytes = LogBytes(1024 * 1024 + 3, 'f');
    Server.WriteFile("logs/app.log", bytes);
    auto source = MakeRemoteSource(Profile(Line()), Ftp);
    ASSERT_NE(dynamic_cast<FtpSource*>(source.get()), nullptr);
    Seen seen;
    seen.Watch(*source);
    source->Open(Profile(Line()));
    source->Download("/logs/", "app.log", LocalPath("app.log"));
    EXPECT_TRUE(ReadAll(LocalPath("app.log")) == bytes);
    EXPECT_EQ(seen.Steps, (std::vector<FetchStep>{FetchStep::Connect, FetchStep::LogIn, FetchStep::ChangeDir,
                                                  FetchStep::TransferType, FetchStep::Download}));
    EXPECT_EQ(seen.Received, int64_t(bytes.size()));

    // Same session: a missing file fails in the download step; the copy
    // stays; a missing directory fails before anything is fetched.
    WriteAll(LocalPath("gone.log"), "older copy\r\n");
    EXPECT_THROW(source->Download("/logs/", "gone.log", LocalPath("gone.log")), FTPException);
    EXPECT_EQ(source->Step(), FetchStep::Download);
    EXPECT_EQ(ReadAll(LocalPath("gone.log")), "older copy\r\n");
    EXPECT_THROW(source->Download("/nowhere/", "app.log", LocalPath("gone.log")), FTPException);
    EXPECT_EQ(source->Step(), FetchStep::ChangeDir);
    EXPECT_EQ(ReadAll(LocalPath("gone.log")), "older copy\r\n");
    EXPECT_EQ(Leftovers(Local.path(), {"app.log", "gone.log"}), QStringList());

    // A relative directory after another one starts from the log-in
    // directory again.
    source->Download("logs/", "app.log", LocalPath("again.log"));
    EXPECT_TRUE(ReadAll(LocalPath("again.log")) == bytes);
    source->Close(false);
    EXPECT_FALSE(Ftp.Connected());
}

TEST_F(FtpSourceTest, RefreshAddsOnlyTheNewBytes)
{
    Server.WriteFile("grow.log", LogBytes(300000, 'a'));
    FtpSource source(Ftp);
    source.Open(Profile(Line()));
    FollowCopyState state;
    EXPECT_EQ(source.Refresh("", "grow.log", LocalPath("grow.log"), state).Kind, RefreshKind::Whole);
    const std::string more = LogBytes(2000, 'b');
    Server.WriteFile("grow.log", LogBytes(300000, 'a') + more);
    const RefreshResult r = source.Refresh("", "grow.log", LocalPath("grow.log"), state);
    EXPECT_EQ(r.Kind, RefreshKind::Appended);
    EXPECT_EQ(r.NewSize - r.OldSize, int64_t(more.size()));
    EXPECT_LE(r.BytesReceived, int64_t(more.size() + ResumeOverlap));
    EXPECT_TRUE(ReadAll(LocalPath("grow.log")) == Server.ReadFile("grow.log"));
}

TEST_F(FtpSourceTest, RefusedLogInIsTheLogInStepWithTheServersLine)
{
    FtpSource source(Ftp);
    try {
        source.Open(Profile(Line("wrong")));
        FAIL() << "a wrong password was accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 3), "530") << e.what();
    }
    EXPECT_EQ(source.Step(), FetchStep::LogIn);
    EXPECT_FALSE(source.IsOpen());
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_THROW(source.Download("", "x", LocalPath("x")), Exception);
}

} // namespace
