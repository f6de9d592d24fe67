// TKZFTP against a real FTP server (pyftpdlib on a free loopback port):
// log-in and commands, and downloads and uploads in both modes compared
// byte for byte.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/PyFtpServer.h"

#include <gtest/gtest.h>

#include <QDir>

#include <memory>

using Transcript = std::vector<std::string>;

class RealServer : public testing::Test {
protected:
    static void SetUpTestSuite() { Server = std::make_unique<PyFtpServer>(); }
    static void TearDownTestSuite() { Server.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        Ftp.Host = "127.0.0.1";
        Ftp.Port = Server->Port();
        Ftp.TimeOut = 10000;
        Ftp.UserID = Server->User();
        Ftp.Password = Server->Password();
    }
    void TearDown() override
    {
        if (Ftp.Connected())
            Ftp.Disconnect();
    }
    std::string Local(const std::string& name) const { return Dir.path().toStdString() + "/" + name; }

    static std::unique_ptr<PyFtpServer> Server;
    QTemporaryDir Dir;
    TKZFTP Ftp;
};

std::unique_ptr<PyFtpServer> RealServer::Server;

TEST_F(RealServer, LogInChangeDirectoryTypeAndLogOut)
{
    QDir(QString::fromStdString(Server->Root())).mkdir("logs");
    EventLog log(Ftp);
    Ftp.Connect();
    EXPECT_TRUE(Ftp.Connected());
    Ftp.ChangeWorkingDir("logs");
    Ftp.SetTransferType(2);
    Ftp.SendCommand("PWD");
    EXPECT_EQ(Ftp.TransactionReply().substr(0, 13), "257 \"/logs\" i");
    Ftp.Disconnect();
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(log.Events(), (Transcript{"OnConnect", "OnSuccess 0", "OnSuccess 14", "OnSuccess 15"}));
    for (const auto& status : log.Statuses())
        EXPECT_EQ(status.find(Server->Password()), std::string::npos) << status;
    const auto statuses = log.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "PASS "), statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "USER " + Server->User()), statuses.end());
}

TEST_F(RealServer, WrongPasswordIsRefused)
{
    EventLog log(Ftp);
    Ftp.Password = "not-the-password";
    try {
        Ftp.Connect();
        FAIL() << "log-in accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message().substr(0, 4), "530 ");
        EXPECT_EQ(e.Message().back(), '\n');
    }
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(log.Events(), Transcript{"OnConnectionFailed"});
    EXPECT_EQ(log.Statuses().back(), "Disconnected");
    for (const auto& status : log.Statuses())
        EXPECT_EQ(status.find("not-the-password"), std::string::npos) << status;
}

TEST_F(RealServer, MissingRemoteFileCreatesNoLocalFile)
{
    Ftp.Passive = true;
    Ftp.Connect();
    try {
        Ftp.RetrieveFile("no-such-file.log", Local("no-such-file.log"));
        FAIL() << "download of a missing file succeeded";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message().substr(0, 4), "550 ");
    }
    EXPECT_FALSE(FileExists(Local("no-such-file.log")));
    // The connection stays usable.
    Ftp.SendCommand("NOOP");
}

TEST_F(RealServer, EmptyLocalNameWritesTheRemoteName)
{
    Server->WriteFile("named.log", "line one\nline two\n");
    ScopedCurrentDir cwd;
    ASSERT_TRUE(cwd.Ok());
    Ftp.Passive = true;
    Ftp.Connect();
    Ftp.SetTransferType(2);
    Ftp.RetrieveFile("named.log", "");
    EXPECT_EQ(ReadWholeFile(cwd.Path() + "/named.log"), "line one\nline two\n");
}

TEST_F(RealServer, EmptyRemoteNameStoresTheFileNamePart)
{
    WriteWholeFile(Local("part.txt"), "uploaded under its own name\n");
    EventLog log(Ftp);
    Ftp.Passive = false;
    Ftp.Connect();
    Ftp.StoreFile(Local("part.txt"), "");
    EXPECT_EQ(Server->ReadFile("part.txt"), "uploaded under its own name\n");
    // The report names the whole local path.
    const auto statuses = log.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "STOR " + Local("part.txt")), statuses.end());
}

// Downloads and uploads of an empty file, a small text and a file of tens
// of MiB, passive and active, compared byte for byte.
struct TransferCase {
    const char* Name;
    bool Passive;
    size_t Size;
};

class RealTransfers : public RealServer, public testing::WithParamInterface<TransferCase> {
protected:
    std::string Content() const
    {
        const size_t size = GetParam().Size;
        if (size > 0 && size < 100)
            return std::string("日本語のログ行\r\nsecond line\n").substr(0, size);
        return PatternBytes(size, uint32_t(size));
    }
};

TEST_P(RealTransfers, DownloadIsByteForByte)
{
    const std::string content = Content();
    const std::string name = std::string("down-") + GetParam().Name + ".bin";
    Server->WriteFile(name, content);
    EventLog log(Ftp);
    Ftp.Passive = GetParam().Passive;
    Ftp.Connect();
    Ftp.SetTransferType(2);
    Ftp.RetrieveFile(name, Local(name));
    EXPECT_TRUE(ReadWholeFile(Local(name)) == content) << "downloaded file differs";
    EXPECT_EQ(Ftp.TransferSize(), int64_t(content.size()));
    const auto statuses = log.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Received " + std::to_string(content.size()) + " Bytes"),
              statuses.end());
    EXPECT_EQ(log.Events().back(), "OnSuccess 9");
}

TEST_P(RealTransfers, UploadIsByteForByte)
{
    const std::string content = Content();
    const std::string name = std::string("up-") + GetParam().Name + ".bin";
    WriteWholeFile(Local(name), content);
    EventLog log(Ftp);
    Ftp.Passive = GetParam().Passive;
    Ftp.Connect();
    Ftp.SetTransferType(2);
    Ftp.StoreFile(Local(name), name);
    // The server's 226 comes after it has written the whole file.
    EXPECT_TRUE(Server->ReadFile(name) == content) << "uploaded file differs";
    EXPECT_EQ(Ftp.TransferSize(), int64_t(content.size()));
    EXPECT_EQ(log.Events().back(), "OnSuccess 9");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RealTransfers,
    testing::Values(TransferCase{"PassiveEmpty", true, 0}, TransferCase{"ActiveEmpty", false, 0},
                    TransferCase{"PassiveText", true, 35}, TransferCase{"ActiveText", false, 35},
                    TransferCase{"PassiveLarge", true, 24u << 20}, TransferCase{"ActiveLarge", false, 24u << 20}),
    [](const testing::TestParamInfo<TransferCase>& info) { return std::string(info.param.Name); });
