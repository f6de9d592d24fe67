// The fetch and Follow commands over SFTP in the real window: OpenSSH's sshd
// started by the test (HOME in its temporary folder) for copies, host keys
// and key-file and agent log-ins; the scripted paramiko server for password
// log-ins and the waits a real server does not hold.
#include "FetchDirFixture.h"

#include "app/FollowCommand.h"
#include "app/HostKeyDialog.h"
#include "tests/sftp/SshdServer.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const std::string Password = "pass ワード";

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

// EUC-JP lines ("ログ" and a number); the view shows them as Shift_JIS.
std::string EucLog(int lines, const std::string& tag)
{
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "\xa5\xed\xa5\xb0 " + tag + " " + std::to_string(i) + "\n";
    return text;
}
const std::string SjisLogWord = "\x83\x8d\x83\x4f";

// Answers every host-key dialog that opens with the given button and counts them.
class DialogAnswerer {
public:
    DialogAnswerer(HostKeyDecision answer) : FAnswer(answer)
    {
        FPoll.setInterval(20);
        QObject::connect(&FPoll, &QTimer::timeout, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<HostKeyDialog*>(widget);
                if (dialog == nullptr || !dialog->isVisible() || dialog == FLast)
                    continue;
                FLast = dialog;
                ++Asked;
                Fingerprint = dialog->FingerprintEdit->text().toStdString();
                Pin = dialog->PinEdit->text().toStdString();
                ParentIsForm = qobject_cast<TForm1*>(dialog->parentWidget()) != nullptr;
                QPushButton* button = FAnswer == HostKeyDecision::TrustAndSave ? dialog->SaveButton
                    : FAnswer == HostKeyDecision::TrustOnce                    ? dialog->OnceButton
                                                                               : dialog->CancelButton;
                button->click();
            }
        });
        FPoll.start();
    }
    int Asked = 0;
    bool ParentIsForm = false;
    std::string Fingerprint, Pin;

private:
    HostKeyDecision FAnswer;
    QTimer FPoll;
    QWidget* FLast = nullptr;
};

// The scripted paramiko server in one mode, on a free loopback port.
class ScriptedSsh {
public:
    explicit ScriptedSsh(const std::string& mode)
    {
        char pattern[] = "/tmp/wisplog-paramiko.XXXXXX";
        FDir = ::mkdtemp(pattern);
        Shell("ssh-keygen -q -t ecdsa -b 256 -m PEM -N '' -f " + FDir + "/host_key");
        const std::string script = std::string(WISPLOG_SOURCE_DIR) + "/tests/sftp/scripted_sftp_server.py";
        const std::string key = FDir + "/host_key", portFile = FDir + "/port";
        std::vector<const char*> argv = {"/usr/bin/python3", script.c_str(), key.c_str(), portFile.c_str(),
                                         mode.c_str(), nullptr};
        if (::posix_spawn(&FPid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0)
            throw std::runtime_error("cannot start the scripted server");
        for (int i = 0; i < 400 && FPort == 0; ++i) {
            std::ifstream in(portFile);
            if (!(in >> FPort))
                usleep(25000);
        }
        if (FPort == 0)
            throw std::runtime_error("the scripted server does not start");
    }
    ~ScriptedSsh()
    {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        Shell("rm -rf '" + FDir + "'");
    }
    int Port() const { return FPort; }
    const std::string& Dir() const { return FDir; }
    std::string Pin() const { return "sftp=" + FingerprintOfKeyFile(FDir + "/host_key.pub").substr(7); }

private:
    std::string FDir;
    pid_t FPid = -1;
    int FPort = 0;
};

// A loopback listener. Silent: its queue is full, so a connect gets no
// answer at all; otherwise connections are taken and nothing is ever said.
class Listener {
public:
    explicit Listener(bool silent)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        (void)::listen(FFd, silent ? 0 : 8);
        socklen_t length = sizeof address;
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length);
        FPort = ntohs(address.sin_port);
        if (silent)
            for (int& filler : FFillers) {
                filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                (void)::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            }
        usleep(50000);
    }
    ~Listener()
    {
        for (int filler : FFillers)
            if (filler >= 0)
                ::close(filler);
        ::close(FFd);
    }
    int Port() const { return FPort; }

private:
    int FFd = -1;
    int FPort = 0;
    int FFillers[4] = {-1, -1, -1, -1};
};

class SftpWindow : public FetchDirFixture {
protected:
    static void SetUpTestSuite() { Server = new SshdServer(); }
    static void TearDownTestSuite()
    {
        delete Server;
        Server = nullptr;
    }
    void SetUp() override
    {
        FetchDirFixture::SetUp();
        Shell("rm -rf '" + Server->SshDir() + "' && mkdir -m 700 '" + Server->SshDir() + "'");
        Shell("cp '" + Server->ClientKey() + "' '" + Server->SshDir() + "/id_ed25519'");
        ::setenv("HOME", Server->Home().c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
    }

    // A profile line for the real sshd; field 7 is security, field 8 the encoding.
    static std::string Line(const std::string& security, const std::string& file = "app.log")
    {
        return "s:127.0.0.1:" + Server->UserName() + "::1:" + Server->Dir() + "/" + file + ":" +
            std::to_string(Server->Port()) + ":" + security + ":EUC\r\n";
    }
    static std::string Pin() { return "sftp=" + Server->HostFingerprint().substr(7); }
    // Ctrl+F5's command from the event loop, as the key runs it (a dialog
    // closed before may have left the window inactive, where keys go
    // elsewhere); returns when the fetch has ended.
    static void GetAll(TForm1& form)
    {
        bool done = false;
        QTimer::singleShot(0, &form, [&] {
            form.mnGetAll->trigger();
            done = true;
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        ASSERT_TRUE(done) << "the fetch did not end";
    }
    std::string KnownHosts() const { return Server->SshDir() + "/known_hosts"; }

    static SshdServer* Server;
};
SshdServer* SftpWindow::Server = nullptr;

TEST_F(SftpWindow, F5AndFollowGiveByteIdenticalCopiesAndShowJapaneseText)
{
    const std::string remote = Server->Dir() + "/app.log";
    WriteAll(remote, EucLog(20000, "first"));
    auto form = ShownForm(Line(Pin()), 5000);
    DialogAnswerer answerer(HostKeyDecision::Cancel);

    PressF5(*form);
    EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
    EXPECT_TRUE(ReadAll("app.log") == ReadAll(remote)) << "byte-identical copy";
    EXPECT_NE(form->Memo1->Text().find(SjisLogWord + " first 19999"), std::string::npos) << "Japanese text shown";
    EXPECT_FALSE(form->KZFTP1->Connected()) << "nothing went over FTP";
    EXPECT_EQ(answerer.Asked, 0) << "a pinned key asks nothing";
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(PartFiles().isEmpty());

    // Follow: the grown file is brought up to date, a refresh moving only
    // what the copy lacks and keeping its session for the next one.
    form->Follow1->IntervalMs = 100;
    const std::string added = EucLog(200, "second");
    WriteAll(remote, added, std::ios::app);
    form->Follow1->Action()->trigger();
    const auto followingWith = [&](const std::string& last) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 &&
               !(form->mnStatus->text().startsWith(QString::fromUtf8(FollowCommand::FollowingText)) &&
                 form->Memo1->Text().find(last) != std::string::npos))
            QTest::qWait(20);
        return form->Memo1->Text().find(last) != std::string::npos;
    };
    ASSERT_TRUE(followingWith(SjisLogWord + " second 199")) << form->mnStatus->text().toStdString();
    EXPECT_TRUE(ReadAll("app.log") == ReadAll(remote));
    EXPECT_LE(form->Follow1->LastBytesReceived(), int64_t(added.size() + 4096));

    WriteAll(remote, EucLog(50, "third"), std::ios::app);
    ASSERT_TRUE(followingWith(SjisLogWord + " third 49"));
    EXPECT_TRUE(ReadAll("app.log") == ReadAll(remote));
    EXPECT_TRUE(form->Follow1->LastDisplayIncremental());

    // A rewritten file is fetched whole again.
    WriteAll(remote, EucLog(300, "rewritten"));
    ASSERT_TRUE(followingWith(SjisLogWord + " rewritten 299"));
    EXPECT_TRUE(ReadAll("app.log") == ReadAll(remote));
    form->Follow1->Action()->trigger();
    EXPECT_FALSE(form->Follow1->Following());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(SftpWindow, UnknownHostKeyIsAskedInTheWindowCancelOnceAndSave)
{
    WriteAll(Server->Dir() + "/app.log", EucLog(100, "k"));
    auto form = ShownForm(Line("sftp"), 5000);
    {
        SCOPED_TRACE("cancel");
        DialogAnswerer answerer(HostKeyDecision::Cancel);
        GetAll(*form);
        EXPECT_EQ(answerer.Asked, 1);
        EXPECT_TRUE(answerer.ParentIsForm);
        EXPECT_EQ(answerer.Fingerprint, Server->HostFingerprint());
        EXPECT_EQ(answerer.Pin, Pin());
        EXPECT_TRUE(form->mnStatus->text().startsWith("接続失敗: ")) << form->mnStatus->text().toStdString();
        EXPECT_FALSE(QFileInfo::exists("app.log"));
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(KnownHosts())));
        // As for FTP, a failed fetch with no older copy shows the 失敗 box.
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text, "失敗");
        Boxes.clear();
    }
    {
        SCOPED_TRACE("this time only");
        DialogAnswerer answerer(HostKeyDecision::TrustOnce);
        GetAll(*form);
        EXPECT_EQ(answerer.Asked, 1);
        EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
        EXPECT_TRUE(ReadAll("app.log") == ReadAll(Server->Dir() + "/app.log"));
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(KnownHosts())));
    }
    {
        SCOPED_TRACE("trust and save, then known");
        DialogAnswerer answerer(HostKeyDecision::TrustAndSave);
        GetAll(*form);
        GetAll(*form);
        EXPECT_EQ(answerer.Asked, 1) << "the saved key is known the second time";
        EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
        struct stat info {};
        ASSERT_EQ(::stat(KnownHosts().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        // Hashed or not as the ssh config says; OpenSSH finds it either way.
        EXPECT_NO_THROW(Shell("ssh-keygen -F '[127.0.0.1]:" + std::to_string(Server->Port()) + "' -f '" +
                              KnownHosts() + "' >/dev/null"));
    }
}

TEST_F(SftpWindow, ChangedOrWrongPinnedKeyIsRefusedWithoutADialog)
{
    WriteAll(Server->Dir() + "/app.log", EucLog(10, "c"));
    WriteAll("old.log", "older copy\n");
    Shell("rm -f '" + Server->Dir() + "/other' && ssh-keygen -q -t ed25519 -N '' -f '" + Server->Dir() + "/other'");
    const std::string otherPublic = ReadAll(Server->Dir() + "/other.pub");
    const std::string otherFingerprint = FingerprintOfKeyFile(Server->Dir() + "/other.pub");
    // The entry after the known one was cut short while being written.
    const std::string hostKey = ReadAll(Server->HostPublicKey());
    WriteAll(KnownHosts(),
             "# kept\n[127.0.0.1]:" + std::to_string(Server->Port()) + " " + otherPublic +
                 "[127.0.0.1]:" + std::to_string(Server->Port()) + " " + hostKey.substr(0, 40));
    DialogAnswerer answerer(HostKeyDecision::TrustAndSave);
    {
        SCOPED_TRACE("changed key");
        auto form = ShownForm(Line("sftp"), 5000);
        GetAll(*form);
        const std::string notice = form->mnStatus->text().toStdString();
        EXPECT_EQ(notice.rfind("接続失敗: ", 0), 0u) << notice;
        EXPECT_NE(notice.find(Server->HostFingerprint()), std::string::npos) << notice;
        EXPECT_NE(notice.find(otherFingerprint), std::string::npos) << notice;
        EXPECT_NE(notice.find(KnownHosts() + ":2"), std::string::npos) << notice;
        EXPECT_NE(notice.find("unreadable: " + KnownHosts() + ":3"), std::string::npos) << notice;
        EXPECT_FALSE(QFileInfo::exists("app.log"));
    }
    {
        SCOPED_TRACE("pinned key that is not the server's");
        const std::string wrongPin = "sftp=" + otherFingerprint.substr(7);
        auto form = ShownForm(Line(wrongPin), 5000);
        GetAll(*form);
        const std::string notice = form->mnStatus->text().toStdString();
        EXPECT_EQ(notice.rfind("接続失敗: ", 0), 0u) << notice;
        EXPECT_NE(notice.find(Server->HostFingerprint()), std::string::npos) << notice;
        EXPECT_FALSE(QFileInfo::exists("app.log"));
    }
    EXPECT_EQ(answerer.Asked, 0) << "a changed key is never put to the user";
}

TEST_F(SftpWindow, RevokedKeyIsRefusedNamingTheLineWithNoDialogAndNoLogIn)
{
    WriteAll(Server->Dir() + "/app.log", EucLog(10, "r"));
    const std::string name = "[127.0.0.1]:" + std::to_string(Server->Port());
    const std::string hostKey = ReadAll(Server->HostPublicKey());
    // The user's key is encrypted: a log-in attempt would ask for it.
    Shell("ssh-keygen -q -p -N secret -f '" + Server->SshDir() + "/id_ed25519' >/dev/null");
    int passphraseAsked = 0;
    QTimer passphrasePoll;
    QObject::connect(&passphrasePoll, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<PassphraseDialog*>(widget);
                dialog != nullptr && dialog->isVisible()) {
                ++passphraseAsked;
                dialog->CancelButton->click();
            }
    });
    passphrasePoll.start(20);
    DialogAnswerer answerer(HostKeyDecision::TrustOnce);
    const struct {
        const char* What;
        std::string KnownHosts, Security, Line;
    } cases[] = {
        {"revoked beside a plain entry", "@revoked " + name + " " + hostKey + name + " " + hostKey, "sftp",
         ":1"},
        {"revoked alone", "# revoked\n@revoked * " + hostKey, "sftp", ":2"},
        {"revoked and pinned", "@revoked " + name + " " + hostKey, Pin(), ":1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        WriteAll(KnownHosts(), c.KnownHosts);
        auto form = ShownForm(Line(c.Security), 5000);
        GetAll(*form);
        const std::string notice = form->mnStatus->text().toStdString();
        EXPECT_EQ(notice.rfind("接続失敗: ", 0), 0u) << notice;
        EXPECT_NE(notice.find("revoked"), std::string::npos) << notice;
        EXPECT_NE(notice.find(KnownHosts() + c.Line), std::string::npos) << notice;
        EXPECT_NE(notice.find(Server->HostFingerprint()), std::string::npos) << notice;
        EXPECT_FALSE(QFileInfo::exists("app.log"));
        Boxes.clear();
    }
    EXPECT_EQ(answerer.Asked, 0) << "a revoked key is never put to the user";
    EXPECT_EQ(passphraseAsked, 0) << "nothing of the user's is used";
}

// The user reads each question for longer than the time-out, then answers:
// the host key is trusted once and the key file's passphrase typed.
TEST_F(SftpWindow, QuestionsAnsweredAfterTheTimeOutStillFetch)
{
    // One KDF round: the key's decryption after the answer costs next to
    // nothing, also on a busy machine, so the time-out can be short.
    Shell("ssh-keygen -q -p -a 1 -N 'kagi 秘密' -f '" + Server->SshDir() + "/id_ed25519' >/dev/null");
    const std::string remote = Server->Dir() + "/late.log";
    WriteAll(remote, EucLog(100, "late"));
    auto form = ShownForm(Line("sftp", "late.log"), 1000);
    int answered = 0;
    QElapsedTimer shown;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* open = QApplication::activeModalWidget();
        if (open == nullptr || !open->isVisible())
            return;
        if (!shown.isValid())
            shown.start();
        if (shown.elapsed() < 1600)
            return;
        shown.invalidate();
        ++answered;
        if (auto* key = qobject_cast<HostKeyDialog*>(open)) {
            key->OnceButton->click();
        } else if (auto* passphrase = qobject_cast<PassphraseDialog*>(open)) {
            passphrase->PassphraseEdit->setText(QStringLiteral("kagi 秘密"));
            passphrase->OkButton->click();
        }
    });
    poll.start(20);
    PressF5(*form);
    EXPECT_EQ(answered, 2);
    EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
    EXPECT_TRUE(ReadAll("late.log") == ReadAll(remote));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(SftpWindow, AgentAndPasswordLogInsAndARefusalThatNamesTheMethods)
{
    WriteAll(Server->Dir() + "/app.log", EucLog(100, "a"));
    {
        SCOPED_TRACE("key held only by the agent");
        const std::string socket = Server->Dir() + "/agent.sock";
        ::unlink(socket.c_str());
        pid_t agent = -1;
        std::vector<const char*> argv = {"/usr/bin/ssh-agent", "-D", "-a", socket.c_str(), nullptr};
        ASSERT_EQ(::posix_spawn(&agent, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ), 0);
        for (int i = 0; i < 200 && ::access(socket.c_str(), F_OK) != 0; ++i)
            usleep(10000);
        ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);
        Shell("ssh-add -q '" + Server->ClientKey() + "' 2>/dev/null");
        ::unlink((Server->SshDir() + "/id_ed25519").c_str());
        auto form = ShownForm(Line(Pin()), 5000);
        GetAll(*form);
        ::kill(agent, SIGTERM);
        ::waitpid(agent, nullptr, 0);
        ::unsetenv("SSH_AUTH_SOCK");
        EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
        EXPECT_TRUE(ReadAll("app.log") == ReadAll(Server->Dir() + "/app.log"));
    }
    ScriptedSsh scripted("password");
    WriteAll(scripted.Dir() + "/p.log", EucLog(50, "p"));
    const std::string line = "p:127.0.0.1:demo:" + Password + ":1:" + scripted.Dir() + "/p.log:" +
        std::to_string(scripted.Port()) + ":" + scripted.Pin() + ":EUC\r\n";
    {
        SCOPED_TRACE("password");
        auto form = ShownForm(line, 5000);
        GetAll(*form);
        EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
        EXPECT_TRUE(ReadAll("p.log") == ReadAll(scripted.Dir() + "/p.log"));
    }
    {
        SCOPED_TRACE("refused password");
        QFile::remove("p.log");
        std::string wrong = line;
        wrong.replace(wrong.find(Password), Password.size(), "secret-typo");
        auto form = ShownForm(wrong, 5000);
        GetAll(*form);
        const std::string notice = form->mnStatus->text().toStdString();
        EXPECT_EQ(notice.rfind("ログイン失敗: ", 0), 0u) << notice;
        EXPECT_NE(notice.find("password"), std::string::npos) << "names the methods offered: " << notice;
        EXPECT_EQ(notice.find("secret-typo"), std::string::npos);
        for (const RecordedBox& box : Boxes)
            EXPECT_EQ(box.Text.find("secret-typo"), std::string::npos) << box.Text;
        EXPECT_FALSE(QFileInfo::exists("p.log"));
    }
}

// Whether a process still runs (a zombie no longer does); waits up to 500 ms
// for it to end.
bool StillRuns(const std::string& pidFile)
{
    const std::string pid = ReadAll(pidFile);
    for (int i = 0; i < 50 && !pid.empty(); ++i) {
        std::ifstream stat("/proc/" + std::to_string(std::stoi(pid)) + "/stat");
        std::string pidText, name, state;
        if (!(stat >> pidText >> name >> state) || state == "Z")
            return false;
        usleep(10000);
    }
    return !pid.empty();
}

// ~/.ssh/config routes host "proxied" through a command whose child never
// answers; the child's pid goes to the returned file.
std::string StalledProxy(const std::string& sshDir)
{
    const std::string pidFile = sshDir + "/proxy.pid";
    WriteAll(sshDir + "/config", "Host proxied\n  ProxyCommand sleep 30 & echo $! > " + pidFile + "; wait\n");
    return pidFile;
}

TEST_F(SftpWindow, EscEndsEveryWaitWithin200Ms)
{
    const auto stopAfter = [&](const std::string& line, int delayMs) {
        auto form = ShownForm(line, 30000);
        form->Memo1->SetText("before\r\n");
        QElapsedTimer sinceEsc;
        QTimer::singleShot(delayMs, form.get(), [&] {
            EXPECT_TRUE(form->FetchRunning());
            sinceEsc.start();
            QTest::keyClick(form->Memo1, Qt::Key_Escape);
        });
        PressF5(*form, 20000);
        const qint64 took = sinceEsc.isValid() ? sinceEsc.elapsed() : -1;
        EXPECT_GE(took, 0);
        EXPECT_LE(took, 200);
        EXPECT_EQ(form->mnStatus->text(), "中止");
        EXPECT_EQ(form->Memo1->Text(), "before\r\n");
        EXPECT_TRUE(form->Button1->isEnabled());
        std::printf("[ figure   ] idle %lld ms after Esc\n", (long long)took);
    };
    {
        SCOPED_TRACE("connect that gets no answer");
        Listener silent(true);
        stopAfter("s:127.0.0.1:u::1:/f.log:" + std::to_string(silent.Port()) + ":sftp\r\n", 300);
    }
    {
        SCOPED_TRACE("key exchange with a server that says nothing");
        Listener mute(false);
        stopAfter("s:127.0.0.1:u::1:/f.log:" + std::to_string(mute.Port()) + ":sftp\r\n", 300);
    }
    {
        SCOPED_TRACE("a ProxyCommand that never answers");
        const std::string pidFile = StalledProxy(Server->SshDir());
        stopAfter("s:proxied:u::1:/f.log::sftp\r\n", 300);
        EXPECT_FALSE(StillRuns(pidFile)) << "the proxy command is left running";
    }
    {
        SCOPED_TRACE("authentication that is not answered");
        ScriptedSsh scripted("slowauth");
        stopAfter("s:127.0.0.1:demo:" + Password + ":1:/f.log:" + std::to_string(scripted.Port()) + ":" +
                      scripted.Pin() + "\r\n",
                  1500);
    }
    {
        SCOPED_TRACE("a read that stalls");
        ScriptedSsh scripted("stall");
        Shell("head -c 3145728 /dev/urandom > '" + scripted.Dir() + "/big.log'");
        WriteAll("big.log", "older copy\n");
        stopAfter("s:127.0.0.1:demo:" + Password + ":1:" + scripted.Dir() + "/big.log:" +
                      std::to_string(scripted.Port()) + ":" + scripted.Pin() + "\r\n",
                  2000);
        EXPECT_EQ(ReadAll("big.log"), "older copy\n") << "a stopped download keeps the older copy";
        EXPECT_TRUE(PartFiles().isEmpty());
    }
}

TEST_F(SftpWindow, ClosingTheWindowDuringAnSftpWaitEndsTheProcessWithinASecond)
{
    const auto closeWhileWaiting = [&](const std::string& line, int waitMs) {
        WriteIni(line);
        WriteAll("f.log", "old copy\n");
        QProcess helper;
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start(QStringLiteral(WISPLOG_BINARY_DIR "/tests/app/stop_exit_helper"), {Dir.path()});
        ASSERT_TRUE(helper.waitForStarted(10000));
        QElapsedTimer waited;
        waited.start();
        while (!helper.canReadLine() && waited.elapsed() < 20000)
            helper.waitForReadyRead(100);
        ASSERT_EQ(helper.readLine().trimmed(), "running");
        QTest::qWait(waitMs);
        QElapsedTimer clock;
        clock.start();
        helper.write("close\n");
        ASSERT_TRUE(helper.waitForFinished(10000));
        const qint64 took = clock.elapsed();
        EXPECT_LE(took, 1000);
        std::printf("[ figure   ] process ended %lld ms after the close\n", (long long)took);
        EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(helper.exitCode(), 0);
        EXPECT_EQ(ReadAll("f.log"), "old copy\n");
        EXPECT_TRUE(PartFiles().isEmpty());
    };
    {
        SCOPED_TRACE("key exchange with a server that says nothing");
        Listener mute(false);
        closeWhileWaiting("s:127.0.0.1:u::1:f.log:" + std::to_string(mute.Port()) + ":sftp\r\n", 300);
    }
    {
        SCOPED_TRACE("a ProxyCommand that never answers");
        const std::string pidFile = StalledProxy(Server->SshDir());
        closeWhileWaiting("s:proxied:u::1:f.log::sftp\r\n", 300);
        EXPECT_FALSE(StillRuns(pidFile)) << "the proxy command is left running";
    }
    {
        SCOPED_TRACE("a read that stalls");
        ScriptedSsh scripted("stall");
        Shell("head -c 3145728 /dev/urandom > '" + scripted.Dir() + "/f.log'");
        closeWhileWaiting("s:127.0.0.1:demo:" + Password + ":1:" + scripted.Dir() + "/f.log:" +
                              std::to_string(scripted.Port()) + ":" + scripted.Pin() + "\r\n",
                          2000);
    }
}

} // namespace
