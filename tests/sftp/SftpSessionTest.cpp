// SftpSession against a real OpenSSH server: host keys (unknown, known,
// changed, pinned), key-file, encrypted-key and agent log-ins, downloads,
// and stops and time-outs in each kind of wait.
#include "sftp/HostKey.h"
#include "sftp/SftpSession.h"
#include "tests/sftp/SshdServer.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The sockets this process holds.
int OpenSockets()
{
    int sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0)
            ++sockets;
    }
    return sockets;
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Bytes of a log with Japanese text in EUC-JP and Shift_JIS, CR LF and NULs.
std::string JapaneseBytes(size_t size)
{
    const std::string line = "2024-01-01 \xa4\xb3\xa4\xf3\xa4\xcb\xa4\xc1\xa4\xcf \x82\xb1\x82\xf1 \x00\xff\r\n";
    std::string bytes;
    for (size_t i = 0; bytes.size() < size; ++i)
        bytes += line + std::to_string(i) + "\n";
    bytes.resize(size);
    return bytes;
}

class SftpSessionTest : public testing::Test {
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
        ::setenv("HOME", Server->Home().c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
    }

    // A session for the test server whose unknown host key is trusted once.
    std::unique_ptr<SftpSession> NewSession()
    {
        auto s = std::make_unique<SftpSession>();
        s->Host = "127.0.0.1";
        s->Port = Server->Port();
        s->UserID = Server->UserName();
        s->GlobalKnownHosts = Server->Dir() + "/global_known_hosts";
        s->TimeOut = 5000;
        s->OnUnknownHostKey = [](const HostKeyInfo&) { return HostKeyDecision::TrustOnce; };
        return s;
    }

    void UseClientKeyAsDefault()
    {
        Shell("cp '" + Server->ClientKey() + "' '" + Server->SshDir() + "/id_ed25519'");
        Shell("cp '" + Server->ClientKey() + ".pub' '" + Server->SshDir() + "/id_ed25519.pub'");
    }

    std::string KnownHosts() const { return Server->SshDir() + "/known_hosts"; }
    std::string HostName() const { return "[127.0.0.1]:" + std::to_string(Server->Port()); }

    static SshdServer* Server;
};

SshdServer* SftpSessionTest::Server = nullptr;

TEST_F(SftpSessionTest, UnknownHostKeyIsShownAndEachDecisionHolds)
{
    auto s = NewSession();
    int asked = 0;
    HostKeyInfo shown;
    HostKeyDecision answer = HostKeyDecision::Cancel;
    s->OnUnknownHostKey = [&](const HostKeyInfo& info) {
        ++asked;
        shown = info;
        return answer;
    };
    // Cancel: refused, nothing saved.
    try {
        s->Connect();
        FAIL() << "cancelled key accepted";
    } catch (const ESftpError& e) {
        EXPECT_NE(std::string(e.what()).find("Host key not accepted"), std::string::npos) << e.what();
    }
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(shown.KeyType, "ssh-ed25519");
    EXPECT_EQ(shown.Fingerprint, Server->HostFingerprint());
    EXPECT_EQ(shown.PinValue, "sftp=" + Server->HostFingerprint().substr(7));
    EXPECT_EQ(shown.Port, Server->Port());
    EXPECT_FALSE(s->Connected());
    EXPECT_NE(::access(KnownHosts().c_str(), F_OK), 0);

    // Trust once: connected, still nothing saved, asked again next time.
    answer = HostKeyDecision::TrustOnce;
    s->Connect();
    EXPECT_TRUE(s->Connected());
    EXPECT_NE(::access(KnownHosts().c_str(), F_OK), 0);

    // Trust and save, into a missing ~/.ssh: created 0700 with the file 0600.
    Shell("rm -rf '" + Server->SshDir() + "'");
    answer = HostKeyDecision::TrustAndSave;
    s->Connect();
    EXPECT_EQ(asked, 3);
    struct stat st {};
    ASSERT_EQ(::stat(Server->SshDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(KnownHosts().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // OpenSSH's own client accepts the saved entry.
    const std::vector<KnownHostsLine> lines = FindKnownHostsLines(KnownHosts(), HostName());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].Fingerprint, Server->HostFingerprint());
    EXPECT_NO_THROW(Shell("ssh-keygen -F '" + HostName() + "' -f '" + KnownHosts() + "' >/dev/null"));

    // Known now: no question.
    s->Connect();
    EXPECT_EQ(asked, 3);
}

TEST_F(SftpSessionTest, HashedKnownEntryIsRecognised)
{
    WriteAll(KnownHosts(), "# mine\n" + HostName() + " " + ReadAll(Server->HostPublicKey()));
    Shell("ssh-keygen -q -H -f '" + KnownHosts() + "' >/dev/null 2>&1");
    ASSERT_EQ(ReadAll(KnownHosts()).find("127.0.0.1"), std::string::npos);
    auto s = NewSession();
    s->OnUnknownHostKey = [](const HostKeyInfo&) -> HostKeyDecision {
        ADD_FAILURE() << "known key asked about";
        return HostKeyDecision::Cancel;
    };
    s->Connect();
    EXPECT_TRUE(s->Connected());
}

TEST_F(SftpSessionTest, ChangedKeyIsRefusedWithBothFingerprintsAndTheLine)
{
    Shell("ssh-keygen -q -t ed25519 -N '' -C other -f '" + Server->Dir() + "/other' >/dev/null");
    const std::string otherFingerprint = FingerprintOfKeyFile(Server->Dir() + "/other.pub");
    WriteAll(KnownHosts(), "# hosts\nexample.org " + ReadAll(Server->ClientKey() + ".pub") + HostName() + " " +
                               ReadAll(Server->Dir() + "/other.pub"));
    for (HostKeyDecision offered : {HostKeyDecision::TrustOnce, HostKeyDecision::TrustAndSave}) {
        auto s = NewSession();
        bool asked = false;
        s->OnUnknownHostKey = [&](const HostKeyInfo&) {
            asked = true;
            return offered;
        };
        try {
            s->Connect();
            FAIL() << "changed key accepted";
        } catch (const EHostKeyChanged& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find(Server->HostFingerprint()), std::string::npos) << text;
            EXPECT_NE(text.find(otherFingerprint), std::string::npos) << text;
            EXPECT_NE(text.find(KnownHosts() + ":3"), std::string::npos) << text;
        }
        EXPECT_FALSE(asked);
        EXPECT_FALSE(s->Connected());
    }
}

TEST_F(SftpSessionTest, RevokedOrChangedKeyIsRefusedBeforeAnythingOfTheUsersIsSent)
{
    Shell("rm -f '" + Server->Dir() + "/other'* && ssh-keygen -q -t ed25519 -N '' -C other -f '" +
          Server->Dir() + "/other' >/dev/null");
    const std::string hostKey = ReadAll(Server->HostPublicKey());
    const std::string other = ReadAll(Server->Dir() + "/other.pub");
    const std::string otherFingerprint = FingerprintOfKeyFile(Server->Dir() + "/other.pub");
    const std::string global = Server->Dir() + "/global_known_hosts";
    // A crash while writing leaves the last entry cut short, line end and all.
    const std::string truncated = HostName() + " " + hostKey.substr(0, hostKey.size() / 2);
    struct Case {
        const char* What;
        std::string User, Global;
        bool Pinned;
        std::vector<std::string> Named; // texts the refusal holds
    };
    const std::vector<Case> cases = {
        {"revoked beside a plain entry of the same key",
         "@revoked " + HostName() + " " + hostKey + HostName() + " " + hostKey,
         "",
         false,
         {"revoked", KnownHosts() + ":1"}},
        {"revoked alone, through a wildcard",
         "# mine\n@revoked * " + hostKey,
         "",
         false,
         {"revoked", KnownHosts() + ":2"}},
        {"revoked in the global file, the key pinned",
         "",
         "\n@revoked " + HostName() + " " + hostKey,
         true,
         {"revoked", global + ":2"}},
        {"changed key behind a truncated line",
         truncated + "\n# x\n" + HostName() + " " + other,
         "",
         false,
         {"changed", otherFingerprint, KnownHosts() + ":3", "unreadable: " + KnownHosts() + ":1"}},
        {"changed key before a truncated line",
         HostName() + " " + other + truncated,
         "",
         false,
         {"changed", otherFingerprint, KnownHosts() + ":1", "unreadable: " + KnownHosts() + ":2"}},
    };
    const int socketsBefore = OpenSockets();
    // An encrypted key of the user's: a log-in attempt would ask for it.
    Shell("cp '" + Server->ClientKey() + "' '" + Server->SshDir() + "/id_ed25519'");
    Shell("ssh-keygen -q -p -N secret -f '" + Server->SshDir() + "/id_ed25519' >/dev/null");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        WriteAll(KnownHosts(), c.User);
        WriteAll(global, c.Global);
        auto s = NewSession();
        if (c.Pinned)
            s->PinnedKey = Server->HostFingerprint().substr(7);
        int asked = 0;
        s->OnUnknownHostKey = [&](const HostKeyInfo&) {
            ++asked;
            return HostKeyDecision::TrustOnce;
        };
        s->OnPassphrase = [&](const std::string&, std::string&) {
            ++asked;
            return false;
        };
        try {
            // As the fetch runs them: the log-in only after the check.
            s->Connect();
            s->Login();
            FAIL() << "connected";
        } catch (const EHostKeyChanged& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find(Server->HostFingerprint()), std::string::npos) << text;
            for (const std::string& named : c.Named)
                EXPECT_NE(text.find(named), std::string::npos) << named << " in " << text;
        }
        EXPECT_EQ(asked, 0);
        EXPECT_FALSE(s->Connected());
    }
    WriteAll(global, "");
    EXPECT_EQ(OpenSockets(), socketsBefore) << "each refused connection is closed";
}

TEST_F(SftpSessionTest, SavedKeyFollowsHashKnownHostsAndIsKnownAfterwards)
{
    // The host's entry was cut short, line end and all: the key is unknown,
    // the line named, and the saved entry goes on a line of its own.
    const std::string hostKey = ReadAll(Server->HostPublicKey());
    const std::string truncated = HostName() + " " + hostKey.substr(0, 30);
    for (const std::string hash : {"yes", "no"}) {
        SCOPED_TRACE(hash);
        WriteAll(KnownHosts(), truncated);
        // The user's setting comes before the system's.
        WriteAll(Server->SshDir() + "/config", "Host 127.0.0.*\n  HashKnownHosts " + hash + "\n");
        auto s = NewSession();
        std::vector<HostKeyInfo> shown;
        s->OnUnknownHostKey = [&](const HostKeyInfo& info) {
            shown.push_back(info);
            return HostKeyDecision::TrustAndSave;
        };
        s->Connect();
        s->Connect();
        ASSERT_EQ(shown.size(), 1u) << "the saved key is known";
        EXPECT_EQ(shown[0].Unreadable, std::vector<std::string>{KnownHosts() + ":1"});
        const std::string saved = ReadAll(KnownHosts()).substr(truncated.size());
        EXPECT_EQ(saved.find("127.0.0.1") == std::string::npos, hash == "yes") << saved;
        EXPECT_EQ(saved.rfind(hash == "yes" ? "\n|1|" : "\n[127.0.0.1]:", 0), 0u) << saved;
        // OpenSSH's own tools find the entry under the host's name.
        EXPECT_NO_THROW(Shell("ssh-keygen -F '" + HostName() + "' -f '" + KnownHosts() + "' >/dev/null"));
        const std::vector<KnownHostsLine> lines = FindKnownHostsLines(KnownHosts(), HostName());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].Line, 2);
        EXPECT_EQ(lines[0].Fingerprint, Server->HostFingerprint());
    }
}

TEST_F(SftpSessionTest, TheConfigsKnownHostsFilesOfTheHostsBlockAreRead)
{
    const std::string hostKey = HostName() + " " + ReadAll(Server->HostPublicKey());
    WriteAll(Server->SshDir() + "/config",
             "Host other\n  UserKnownHostsFile ~/.ssh/never\n"
             "Host 127.0.0.*\n  UserKnownHostsFile ~/.ssh/first %d/.ssh/second\n");
    WriteAll(KnownHosts(), hostKey);                              // not read: the config names others
    WriteAll(Server->SshDir() + "/never", "@revoked " + hostKey); // another host's block
    WriteAll(Server->SshDir() + "/second", "# second\n@revoked " + hostKey);
    auto s = NewSession();
    int asked = 0;
    s->OnUnknownHostKey = [&](const HostKeyInfo&) {
        ++asked;
        return HostKeyDecision::TrustAndSave;
    };
    try {
        s->Connect();
        FAIL() << "revoked key accepted";
    } catch (const EHostKeyChanged& e) {
        EXPECT_NE(std::string(e.what()).find(Server->SshDir() + "/second:2"), std::string::npos) << e.what();
    }
    // Unknown in both: saved to the first of them.
    WriteAll(Server->SshDir() + "/second", "");
    s->Connect();
    s->Connect();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(FindKnownHostsLines(Server->SshDir() + "/first", HostName()).size(), 1u);
}

TEST_F(SftpSessionTest, TheKnownOneOfTheServersKeysIsAskedFor)
{
    // The server holds an Ed25519 and an ECDSA key; only the ECDSA one is
    // known, behind a line cut short.
    WriteAll(KnownHosts(),
             HostName() + " ssh-ed25519 AAAAC3NzaC1lZDI1NTE5\n" + HostName() + " " +
                 ReadAll(Server->Dir() + "/host_ecdsa.pub"));
    auto s = NewSession();
    s->OnUnknownHostKey = [](const HostKeyInfo&) -> HostKeyDecision {
        ADD_FAILURE() << "known key asked about";
        return HostKeyDecision::Cancel;
    };
    s->Connect();
    EXPECT_EQ(s->ServerFingerprint(), FingerprintOfKeyFile(Server->Dir() + "/host_ecdsa.pub"));
}

TEST_F(SftpSessionTest, PinnedKeyIsTheOnlyOneAccepted)
{
    auto s = NewSession();
    s->OnUnknownHostKey = nullptr;   // a pinned key never asks
    UseClientKeyAsDefault();
    s->PinnedKey = Server->HostFingerprint().substr(7);
    s->Connect();
    s->Login();
    EXPECT_TRUE(s->LoggedIn());
    EXPECT_NE(::access(KnownHosts().c_str(), F_OK), 0);

    // Another valid fingerprint: refused, naming both.
    std::string other = s->PinnedKey;
    other[0] = other[0] == 'A' ? 'B' : 'A';
    s->PinnedKey = other;
    try {
        s->Connect();
        FAIL() << "wrong pin accepted";
    } catch (const EHostKeyChanged& e) {
        EXPECT_NE(std::string(e.what()).find(Server->HostFingerprint()), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("SHA256:" + other), std::string::npos) << e.what();
    }
    // Malformed values are refused before anything is dialled.
    for (const std::string bad : {std::string("abc"), Server->HostFingerprint(), s->PinnedKey + "=",
                                  s->PinnedKey.substr(0, 42) + "B"}) {
        s->PinnedKey = bad;
        s->Port = FreeLoopbackPort();   // nothing there: a dial would say "refused"
        try {
            s->Connect();
            FAIL() << bad;
        } catch (const ESftpError& e) {
            EXPECT_NE(std::string(e.what()).find("Bad pinned key"), std::string::npos) << e.what();
        }
    }
}

TEST_F(SftpSessionTest, KeyFileLogInDownloadsByteIdenticalCopies)
{
    UseClientKeyAsDefault();
    const std::string remote = Server->Dir() + "/app.log";
    const std::string bytes = JapaneseBytes(3 * 1024 * 1024 + 12345);   // not a multiple of the read size
    WriteAll(remote, bytes);
    auto s = NewSession();
    s->UserID.clear();   // the local user, as OpenSSH defaults it
    int64_t lastDone = -1, lastTotal = -1;
    s->OnProgress = [&](int64_t done, int64_t total) {
        EXPECT_GE(done, lastDone);
        lastDone = done;
        lastTotal = total;
    };
    s->Connect();
    s->Login();
    const SftpFileInfo info = s->Stat(remote);
    EXPECT_EQ(info.Size, int64_t(bytes.size()));
    struct stat st {};
    ::stat(remote.c_str(), &st);
    EXPECT_EQ(info.ModifiedTime, int64_t(st.st_mtime));

    const std::string local = Server->Home() + "/app.log";
    WriteAll(local, "older copy");
    EXPECT_EQ(s->Download(remote, local), int64_t(bytes.size()));
    EXPECT_TRUE(ReadAll(local) == bytes);
    EXPECT_EQ(lastDone, int64_t(bytes.size()));
    EXPECT_EQ(lastTotal, int64_t(bytes.size()));
    s->OnProgress = nullptr;

    // From an offset, into a file of its own; empty files and an offset at the end.
    const std::string tail = Server->Home() + "/tail.part";
    for (int64_t offset : {int64_t(bytes.size()) - 4096, int64_t(1), int64_t(bytes.size())}) {
        const int fd = ::open(tail.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_EQ(s->ReadFrom(remote, offset, fd), int64_t(bytes.size()) - offset);
        ::close(fd);
        EXPECT_TRUE(ReadAll(tail) == bytes.substr(size_t(offset))) << offset;
    }
    WriteAll(remote, "");
    EXPECT_EQ(s->Download(remote, local), 0);
    EXPECT_EQ(ReadAll(local), "");

    // Missing and unreadable files: a clear failure, the older copy kept.
    WriteAll(local, "older copy");
    try {
        s->Download(Server->Dir() + "/missing.log", local);
        FAIL();
    } catch (const ESftpError& e) {
        EXPECT_EQ(std::string(e.what()), "No such file: " + Server->Dir() + "/missing.log");
    }
    EXPECT_EQ(ReadAll(local), "older copy");
    EXPECT_THROW(s->Download(Server->Dir(), local), ESftpError);
    EXPECT_EQ(ReadAll(local), "older copy");
    // Nothing of the temporary files is left behind.
    EXPECT_EQ(ShellLine("ls -a '" + Server->Home() + "' | grep -c part || true"), "1");
}

TEST_F(SftpSessionTest, EncryptedKeyAsksItsPassphraseAndRefusalNamesTheMethods)
{
    Shell("cp '" + Server->ClientKey() + "' '" + Server->SshDir() + "/id_ecdsa'");
    Shell("ssh-keygen -q -p -N 'kagi 秘密' -f '" + Server->SshDir() + "/id_ecdsa' >/dev/null");
    Shell("ssh-keygen -y -P 'kagi 秘密' -f '" + Server->SshDir() + "/id_ecdsa' > '" + Server->SshDir() +
          "/id_ecdsa.pub'");
    auto s = NewSession();
    std::vector<std::string> askedFor;
    bool give = false;
    s->OnPassphrase = [&](const std::string& keyFile, std::string& passphrase) {
        askedFor.push_back(keyFile);
        if (give)
            passphrase = "kagi 秘密";
        return give;
    };
    s->Connect();
    try {
        s->Login();
        FAIL() << "logged in without the passphrase";
    } catch (const ESftpError& e) {
        EXPECT_EQ(std::string(e.what()), "Access denied for " + Server->UserName() + " (the server offers: publickey)");
    }
    ASSERT_EQ(askedFor.size(), 1u);
    EXPECT_EQ(askedFor[0], Server->SshDir() + "/id_ecdsa");

    give = true;
    s->Connect();
    s->Login();
    EXPECT_TRUE(s->LoggedIn());
}

TEST_F(SftpSessionTest, AgentLogIn)
{
    const std::string socket = Server->Dir() + "/agent.sock";
    ::unlink(socket.c_str());
    pid_t agent = ::fork();
    if (agent == 0) {
        ::execlp("ssh-agent", "ssh-agent", "-D", "-a", socket.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(agent, 0);
    for (int i = 0; i < 100 && ::access(socket.c_str(), F_OK) != 0; ++i)
        ::usleep(20000);
    ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);
    // The key is only in the agent: ~/.ssh has no key files.
    Shell("ssh-add -q '" + Server->ClientKey() + "' 2>/dev/null");
    auto s = NewSession();
    s->OnPassphrase = [](const std::string&, std::string&) -> bool {
        ADD_FAILURE() << "asked for a passphrase";
        return false;
    };
    EXPECT_NO_THROW({
        s->Connect();
        s->Login();
    });
    EXPECT_TRUE(s->LoggedIn());
    ::kill(agent, SIGTERM);
    ::waitpid(agent, nullptr, 0);
    ::unsetenv("SSH_AUTH_SOCK");
}

// A listening socket that accepts the TCP connection but never says a word.
class SilentListener {
public:
    SilentListener()
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(FFd, 4);
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &length);
        FPort = ntohs(a.sin_port);
    }
    ~SilentListener() { ::close(FFd); }
    int Port() const { return FPort; }

private:
    int FFd = -1;
    int FPort = 0;
};

// Runs call with a Stop() 300 ms into it; returns how long the stop took
// to end the call (which must throw EAbortError).
template <typename Call>
int64_t StopTime(SftpSession& s, Call call, int64_t& stoppedAt)
{
    stoppedAt = 0;
    QTimer::singleShot(300, [&] {
        stoppedAt = NowMs();
        s.Stop();
    });
    EXPECT_THROW(call(), EAbortError);
    return stoppedAt == 0 ? -1 : NowMs() - stoppedAt;
}

TEST_F(SftpSessionTest, StopEndsEveryWaitAtOnce)
{
    // The key exchange with a peer that never answers.
    SilentListener silent;
    auto s = NewSession();
    s->Port = silent.Port();
    int64_t stoppedAt = 0;
    int64_t took = StopTime(*s, [&] { s->Connect(); }, stoppedAt);
    EXPECT_GE(took, 0);
    EXPECT_LT(took, 200);
    EXPECT_FALSE(s->Connected());

    // The log-in, while the passphrase question is open.
    Shell("cp '" + Server->ClientKey() + "' '" + Server->SshDir() + "/id_ed25519'");
    Shell("ssh-keygen -q -p -N secret -f '" + Server->SshDir() + "/id_ed25519' >/dev/null");
    Shell("cp '" + Server->ClientKey() + ".pub' '" + Server->SshDir() + "/id_ed25519.pub'");
    s = NewSession();
    s->OnPassphrase = [&](const std::string&, std::string&) {
        // The question stays open (a dialog) until the stop comes.
        const int64_t until = NowMs() + 2000;
        while (NowMs() < until && stoppedAt == 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        return false;
    };
    s->Connect();
    took = StopTime(*s, [&] { s->Login(); }, stoppedAt);
    EXPECT_GE(took, 0);
    EXPECT_LT(took, 200);

    // A download: the older copy is kept.
    UseClientKeyAsDefault();
    const std::string remote = Server->Dir() + "/big.log";
    Shell("head -c 300000000 /dev/zero > '" + remote + "'");
    const std::string local = Server->Home() + "/big.log";
    WriteAll(local, "older copy");
    s = NewSession();
    s->Connect();
    s->Login();
    stoppedAt = 0;
    s->OnProgress = [&](int64_t done, int64_t) {
        if (done > 0 && stoppedAt == 0) {
            stoppedAt = NowMs();
            s->Stop();
        }
    };
    EXPECT_THROW(s->Download(remote, local), EAbortError);
    EXPECT_LT(NowMs() - stoppedAt, 200);
    EXPECT_EQ(ReadAll(local), "older copy");
    EXPECT_FALSE(s->Connected());
    ::unlink(remote.c_str());

    // A stopped session opens again.
    s->Connect();
    s->Login();
    EXPECT_TRUE(s->LoggedIn());
}

TEST_F(SftpSessionTest, SilenceEndsAWaitAfterTheTimeOut)
{
    SilentListener silent;
    auto s = NewSession();
    s->Port = silent.Port();
    s->TimeOut = 700;
    const int64_t start = NowMs();
    try {
        s->Connect();
        FAIL();
    } catch (const EAbortError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Timed out", 0), 0u) << e.what();
    }
    const int64_t took = NowMs() - start;
    EXPECT_GE(took, 650);
    EXPECT_LT(took, 1500);

    // A refused port fails at once with its own text.
    s->Port = FreeLoopbackPort();
    try {
        s->Connect();
        FAIL();
    } catch (const ESftpError& e) {
        EXPECT_EQ(std::string(e.what()), "Connection refused (127.0.0.1:" + std::to_string(s->Port) + ")");
    }
}

// Whether a process still runs (a zombie no longer does). Waits up to
// 500 ms for it to end.
bool StillRuns(pid_t pid)
{
    for (int i = 0; i < 50; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidText, name, state;
        if (!(stat >> pidText >> name >> state) || state == "Z")
            return false;
        ::usleep(10000);
    }
    return true;
}

TEST_F(SftpSessionTest, ProxyCommandCarriesTheConnectionAndNothingOfItIsLeft)
{
    const int socketsBefore = OpenSockets();
    UseClientKeyAsDefault();
    const std::string pidFile = Server->Dir() + "/proxy.pid";
    WriteAll(Server->Dir() + "/proxy_known_hosts", HostName() + " " + ReadAll(Server->HostPublicKey()));
    // ssh -W relays to the server, as ProxyJump has it do; the tokens are
    // the session's. (Stops through the window: SftpWindowTest.)
    WriteAll(Server->SshDir() + "/config",
             "Host relayed\n  HostName 127.0.0.1\n  Port " + std::to_string(Server->Port()) + "\n  User " +
                 Server->UserName() + "\n  ProxyCommand echo $$ > " + pidFile +
                 "; exec ssh -F /dev/null -o BatchMode=yes -o UserKnownHostsFile=" + Server->Dir() +
                 "/proxy_known_hosts -i " + Server->ClientKey() + " -p %p -W %h:%p %r@%h\n");
    const std::string remote = Server->Dir() + "/relayed.log";
    const std::string bytes = JapaneseBytes(300000);
    WriteAll(remote, bytes);

    auto s = NewSession();
    s->Host = "relayed";
    s->Port = 0;
    s->UserID.clear();
    s->Connect();
    s->Login();
    const std::string local = Server->Home() + "/relayed.log";
    EXPECT_EQ(s->Download(remote, local), int64_t(bytes.size()));
    EXPECT_TRUE(ReadAll(local) == bytes);
    const pid_t relay = std::stoi(ReadAll(pidFile));
    s->Disconnect();
    EXPECT_FALSE(StillRuns(relay));
    EXPECT_EQ(OpenSockets(), socketsBefore) << "a socket of the session is left open";
    ::unlink(remote.c_str());
}

TEST_F(SftpSessionTest, ConfigFillsWhatTheProfileLeavesEmpty)
{
    UseClientKeyAsDefault();
    Shell("cp '" + Server->ClientKey() + "' '" + Server->Dir() + "/cfgkey'");
    Shell("rm '" + Server->SshDir() + "/id_ed25519'*");
    WriteAll(Server->SshDir() + "/config", "Host logs\n  HostName 127.0.0.1\n  Port " +
                                                std::to_string(Server->Port()) + "\n  User " + Server->UserName() +
                                                "\n  IdentityFile " + Server->Dir() + "/cfgkey\n");
    auto s = NewSession();
    s->Host = "logs";
    s->Port = 0;
    s->UserID.clear();
    HostKeyInfo shown;
    s->OnUnknownHostKey = [&](const HostKeyInfo& info) {
        shown = info;
        return HostKeyDecision::TrustOnce;
    };
    s->Connect();
    s->Login();
    EXPECT_TRUE(s->LoggedIn());
    EXPECT_EQ(shown.Host, "127.0.0.1");
    EXPECT_EQ(shown.Port, Server->Port());

    // The profile's own port wins over the config's.
    s->Port = FreeLoopbackPort();
    EXPECT_THROW(s->Connect(), ESftpError);
}

} // namespace
