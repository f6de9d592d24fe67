// SftpSession against a scripted SSH server (paramiko) for what a real sshd
// does not give: password and keyboard-interactive-only log-ins, a log-in
// that does not answer, a read that stalls and a connection that drops.
#include "sftp/SftpSession.h"
#include "tests/sftp/SshdServer.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const std::string Password = "pass ワード";

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The scripted server in one mode, on a free loopback port.
class ScriptedServer {
public:
    // replyCap: the most bytes one read is answered with, 0 for no cap.
    explicit ScriptedServer(const std::string& mode, int replyCap = 0)
    {
        char pattern[] = "/tmp/wisplog-paramiko.XXXXXX";
        FDir = ::mkdtemp(pattern);
        Shell("ssh-keygen -q -t ecdsa -b 256 -m PEM -N '' -f " + FDir + "/host_key");
        const std::string script = std::string(WISPLOG_SOURCE_DIR) + "/tests/sftp/scripted_sftp_server.py";
        const std::string key = FDir + "/host_key", portFile = FDir + "/port", cap = std::to_string(replyCap);
        std::vector<const char*> argv = {"/usr/bin/python3", script.c_str(), key.c_str(), portFile.c_str(),
                                         mode.c_str(),       cap.c_str(),    nullptr};
        if (::posix_spawn(&FPid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0)
            throw std::runtime_error("cannot start the scripted server");
        for (int i = 0; i < 200 && FPort == 0; ++i) {
            std::ifstream in(portFile);
            if (!(in >> FPort))
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        if (FPort == 0)
            throw std::runtime_error("the scripted server does not start");
    }
    ~ScriptedServer()
    {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        Shell("rm -rf '" + FDir + "'");
    }
    int Port() const { return FPort; }
    const std::string& Dir() const { return FDir; }
    // The bytes of file data the server has sent, as of the last file closed.
    int64_t BytesSent() const
    {
        int64_t sent = -1;
        std::ifstream(FDir + "/port.sent") >> sent;
        return sent;
    }

private:
    std::string FDir;
    pid_t FPid = -1;
    int FPort = 0;
};

class ScriptedServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/wisplog-sftp-home.XXXXXX";
        FHome = ::mkdtemp(pattern);
        ::setenv("HOME", FHome.c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
    }
    void TearDown() override { Shell("rm -rf '" + FHome + "'"); }

    std::unique_ptr<SftpSession> NewSession(int port, const std::string& password = Password)
    {
        auto s = std::make_unique<SftpSession>();
        s->Host = "127.0.0.1";
        s->Port = port;
        s->UserID = "demo";
        s->Password = password;
        s->GlobalKnownHosts = FHome + "/none";
        s->TimeOut = 5000;
        s->OnUnknownHostKey = [](const HostKeyInfo&) { return HostKeyDecision::TrustOnce; };
        return s;
    }

    // A 3 MiB file for the reads that go wrong past its first MiB.
    std::string BigFile(const ScriptedServer& server)
    {
        const std::string path = server.Dir() + "/big.log";
        Shell("head -c 3145728 /dev/urandom > '" + path + "'");
        return path;
    }

    std::string FHome;
};

TEST_F(ScriptedServerTest, PasswordLogInAndARefusalThatNeverShowsThePassword)
{
    ScriptedServer server("password");
    auto s = NewSession(server.Port());
    s->Connect();
    s->Login();
    const std::string remote = BigFile(server);
    EXPECT_EQ(s->Download(remote, FHome + "/copy"), 3145728);
    EXPECT_TRUE(ReadAll(FHome + "/copy") == ReadAll(remote));

    s = NewSession(server.Port(), "wrong パス");
    s->Connect();
    try {
        s->Login();
        FAIL() << "wrong password accepted";
    } catch (const ESftpError& e) {
        EXPECT_EQ(std::string(e.what()), "Access denied for demo (the server offers: password)");
    }
}

TEST_F(ScriptedServerTest, KeyboardInteractiveOnlyServerGetsThePassword)
{
    ScriptedServer server("kbdint");
    auto s = NewSession(server.Port());
    s->Connect();
    s->Login();
    EXPECT_TRUE(s->LoggedIn());

    s = NewSession(server.Port(), "wrong");
    s->Connect();
    try {
        s->Login();
        FAIL();
    } catch (const ESftpError& e) {
        EXPECT_EQ(std::string(e.what()), "Access denied for demo (the server offers: keyboard-interactive)");
    }
}

TEST_F(ScriptedServerTest, StopEndsALogInThatGetsNoAnswer)
{
    ScriptedServer server("slowauth");
    auto s = NewSession(server.Port());
    s->Connect();
    int64_t stoppedAt = 0;
    QTimer::singleShot(300, [&] {
        stoppedAt = NowMs();
        s->Stop();
    });
    EXPECT_THROW(s->Login(), EAbortError);
    EXPECT_LT(NowMs() - stoppedAt, 200);
    EXPECT_FALSE(s->Connected());
}

TEST_F(ScriptedServerTest, StalledReadEndsByTimeOutOrStopAndKeepsTheOlderCopy)
{
    ScriptedServer server("stall");
    const std::string remote = BigFile(server);
    const std::string local = FHome + "/copy";
    std::ofstream(local) << "older copy";

    auto s = NewSession(server.Port());
    s->TimeOut = 800;
    s->Connect();
    s->Login();
    const int64_t start = NowMs();
    try {
        s->Download(remote, local);
        FAIL();
    } catch (const EAbortError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Timed out", 0), 0u) << e.what();
    }
    EXPECT_LT(NowMs() - start, 2500);
    EXPECT_EQ(ReadAll(local), "older copy");

    s->TimeOut = 5000;
    s->Connect();
    s->Login();
    int64_t stoppedAt = 0;
    QTimer::singleShot(400, [&] {
        stoppedAt = NowMs();
        s->Stop();
    });
    EXPECT_THROW(s->Download(remote, local), EAbortError);
    EXPECT_LT(NowMs() - stoppedAt, 200);
    EXPECT_EQ(ReadAll(local), "older copy");
}

TEST_F(ScriptedServerTest, DroppedConnectionFailsTheDownloadAndKeepsTheOlderCopy)
{
    ScriptedServer server("drop");
    const std::string remote = BigFile(server);
    const std::string local = FHome + "/copy";
    std::ofstream(local) << "older copy";
    auto s = NewSession(server.Port());
    s->Connect();
    s->Login();
    try {
        s->Download(remote, local);
        FAIL() << "a cut transfer succeeded";
    } catch (const ESftpError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Connection lost (" + remote + ")", 0), 0u) << e.what();
    }
    EXPECT_EQ(ReadAll(local), "older copy");
}

// A server that answers reads in 32 KiB pieces: only the missing part of each
// reply is asked again, so every byte crosses once, in about the time a server
// that answers whole takes.
TEST_F(ScriptedServerTest, ShortRepliesAreCompletedWithoutAskingAgain)
{
    const int64_t size = (4 << 20) + 1000;
    // The best of three downloads: milliseconds and bytes the server sent.
    const auto fetch = [&](int cap) {
        ScriptedServer server("password", cap);
        const std::string remote = server.Dir() + "/4m.log";
        Shell("head -c " + std::to_string(size) + " /dev/urandom > '" + remote + "'");
        auto s = NewSession(server.Port());
        s->Connect();
        s->Login();
        int64_t best = std::numeric_limits<int64_t>::max(), sentBefore = 0, mostSent = 0;
        for (int run = 0; run < 3; ++run) {
            const int64_t start = NowMs();
            EXPECT_EQ(s->Download(remote, FHome + "/copy"), size);
            best = std::min(best, NowMs() - start);
            EXPECT_TRUE(ReadAll(FHome + "/copy") == ReadAll(remote)) << cap;
            mostSent = std::max(mostSent, server.BytesSent() - sentBefore);
            sentBefore = server.BytesSent();
        }
        std::printf("[ figure   ] reply cap %d: %lld ms, %lld bytes sent for %lld\n", cap, (long long)best,
                    (long long)mostSent, (long long)size);
        return std::make_pair(best, mostSent);
    };
    const auto [wholeMs, wholeSent] = fetch(0);
    const auto [cappedMs, cappedSent] = fetch(32 * 1024);
    EXPECT_EQ(wholeSent, size);
    EXPECT_LE(cappedSent, size + size / 20);
    EXPECT_LE(cappedMs, 2 * wholeMs + 200);
}

} // namespace
