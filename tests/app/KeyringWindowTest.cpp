// Passwords the host list leaves empty, through the real window: a
// D-Bus session bus of the test's own with gnome-keyring-daemon's Secret
// Service on it (its login keyring made and unlocked with a test password in
// a temporary folder), or with no keyring at all; the real pyftpdlib server
// and the paramiko SSH server, whose passwords the test changes.
#include "FetchDirFixture.h"

#include "app/PasswordDialog.h"
#include "keyring/KeychainPasswordStore.h"
#include "tests/sftp/SshdServer.h"
#include "tests/support/PyFtpServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>

#include <fstream>
#include <sstream>

#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

// A session bus of the test's own, on which nothing is started on demand;
// with keyring, gnome-keyring-daemon's Secret Service on it. The bus's
// address becomes the process's session bus, so the keyring of the person
// running the tests is never reached.
class PrivateSessionBus {
public:
    explicit PrivateSessionBus(bool keyring)
    {
        const QString dir = FDir.path();
        for (const char* sub : {"services", "data", "run"})
            QDir(dir).mkdir(QString::fromLatin1(sub));
        QFile(dir + "/run").setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString config = dir + "/bus.conf";
        WriteAll(config.toStdString(),
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>session</type><listen>unix:dir=" +
                     dir.toStdString() + "/run</listen><servicedir>" + dir.toStdString() +
                     "/services</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
                     "eavesdrop=\"true\"/>"
                     "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        FBus.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                    QStringLiteral("--print-address")});
        if (!FBus.waitForReadyRead(10000))
            throw std::runtime_error("dbus-daemon does not start");
        Address = FBus.readLine().trimmed().toStdString();
        ::setenv("DBUS_SESSION_BUS_ADDRESS", Address.c_str(), 1);
        if (!keyring)
            return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir + "/data");
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir + "/run");
        env.insert(QStringLiteral("HOME"), dir);
        FKeyring.setProcessEnvironment(env);
        FKeyring.start(QStringLiteral("gnome-keyring-daemon"),
                       {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                        QStringLiteral("--components=secrets")});
        if (!FKeyring.waitForStarted(10000))
            throw std::runtime_error("gnome-keyring-daemon does not start");
        FKeyring.write("keyring-test-unlock");
        FKeyring.closeWriteChannel();
        for (int i = 0; i < 200; ++i) {
            if (ShellLine(
                    "dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                    "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets | tail -n 1")
                    .find("true") != std::string::npos)
                return;
            QTest::qWait(50);
        }
        throw std::runtime_error("the Secret Service does not appear on the bus");
    }
    ~PrivateSessionBus()
    {
        for (QProcess* process : {&FKeyring, &FBus}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    // The keyring files gnome-keyring wrote (none without a keyring).
    QStringList KeyringFiles() const { return QDir(FDir.path() + "/data/keyrings").entryList(QDir::Files); }

    std::string Address;

private:
    QTemporaryDir FDir;
    QProcess FBus;
    QProcess FKeyring;
};

// The paramiko SSH server in password mode on a free loopback port; its
// password is the content of Dir()/password while that file exists.
class PasswordSsh {
public:
    PasswordSsh()
    {
        Shell("ssh-keygen -q -t ecdsa -b 256 -m PEM -N '' -f '" + Dir() + "/host_key'");
        const std::string script = std::string(WISPLOG_SOURCE_DIR) + "/tests/sftp/scripted_sftp_server.py";
        const std::string key = Dir() + "/host_key", portFile = Dir() + "/port";
        std::vector<const char*> argv = {"/usr/bin/python3", script.c_str(), key.c_str(),
                                         portFile.c_str(),   "password",     nullptr};
        if (::posix_spawn(&FPid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0)
            throw std::runtime_error("cannot start the SSH server");
        for (int i = 0; i < 400 && FPort == 0; ++i) {
            std::ifstream in(portFile);
            if (!(in >> FPort))
                usleep(25000);
        }
        if (FPort == 0)
            throw std::runtime_error("the SSH server does not start");
    }
    ~PasswordSsh()
    {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
    int Port() const { return FPort; }
    std::string Dir() const { return FDir.path().toStdString(); }
    std::string Pin() const { return "sftp=" + FingerprintOfKeyFile(Dir() + "/host_key.pub").substr(7); }

private:
    QTemporaryDir FDir;
    pid_t FPid = -1;
    int FPort = 0;
};

// Answers every password dialog that opens: types Answer and presses Enter,
// or cancels; records what the dialog showed.
class PasswordAnswerer {
public:
    PasswordAnswerer()
    {
        FPoll.setInterval(20);
        QObject::connect(&FPoll, &QTimer::timeout, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<PasswordDialog*>(widget);
                if (dialog == nullptr || !dialog->isVisible() || dialog->property("answered").toBool())
                    continue;
                dialog->setProperty("answered", true);
                ++Asked;
                Note =
                    dialog->NoteLabel->isVisible() ? dialog->NoteLabel->text().toStdString() : std::string();
                Shown = dialog->ProfileLabel->text().toStdString() + " " +
                    dialog->UserLabel->text().toStdString() + "@" + dialog->HostLabel->text().toStdString();
                SaveChecked = dialog->SaveBox->isChecked();
                SaveEnabled = dialog->SaveBox->isEnabled();
                Masked = dialog->PasswordEdit->echoMode() == QLineEdit::Password;
                if (Cancel) {
                    dialog->CancelButton->click();
                    continue;
                }
                dialog->PasswordEdit->setText(QString::fromStdString(Answer));
                QTest::keyClick(dialog->PasswordEdit, Qt::Key_Return);
            }
        });
        FPoll.start();
    }
    std::string Answer;
    bool Cancel = false;
    int Asked = 0;
    std::string Note, Shown;
    bool SaveChecked = false, SaveEnabled = false, Masked = false;

private:
    QTimer FPoll;
};

class KeyringWindow : public FetchDirFixture {
protected:
    void SetUp() override
    {
        // The keyring library keeps its first session bus for the life of
        // the process: each test needs a process of its own, as ctest runs it.
        static int testsRun = 0;
        if (testsRun++ > 0)
            GTEST_SKIP() << "run each KeyringWindow test in a process of its own (ctest does)";
        FetchDirFixture::SetUp();
        // No key file and no agent: an SSH log-in comes down to the password.
        ASSERT_TRUE(Home.isValid());
        Shell("mkdir -m 700 '" + Home.path().toStdString() + "/.ssh'");
        ::setenv("HOME", Home.path().toLocal8Bit().constData(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
    }

    // What no text the user sees may hold.
    void ExpectNowhere(const TForm1& form, const std::string& password)
    {
        EXPECT_EQ(form.mnStatus->text().toStdString().find(password), std::string::npos);
        for (const RecordedBox& box : Boxes)
            EXPECT_EQ(box.Text.find(password), std::string::npos) << box.Text;
    }

    QTemporaryDir Home;
    QTemporaryDir Secrets; // the FTP server's password file
};

// "ログ 0" .. in EUC-JP.
std::string EucLog(const std::string& tag)
{
    std::string text;
    for (int i = 0; i < 50; ++i)
        text += "\xa5\xed\xa5\xb0 " + tag + " " + std::to_string(i) + "\n";
    return text;
}

} // namespace

TEST_F(KeyringWindow, AskedOnceStoredNextStartSilentAChangedPasswordAskedAgainAndReplaced)
{
    PrivateSessionBus bus(true);
    PyFtpServer::Options options;
    options.PasswordFile = Secrets.filePath("ftp-password").toStdString();
    PyFtpServer ftp(options);
    ftp.WriteFile("f.log", EucLog("ftp"));
    PasswordSsh ssh;
    WriteAll(ssh.Dir() + "/s.log", EucLog("sftp"));

    struct Target {
        const char* Name;
        std::string Line, Entry, Local, Remote, PasswordFile;
    };
    const std::vector<Target> targets = {
        {"FTP", "本番ftp:127.0.0.1:user::1:f.log:" + std::to_string(ftp.Port()) + "\r\n",
         "ftp://user@127.0.0.1:" + std::to_string(ftp.Port()), "f.log", ftp.PathOf("f.log"),
         options.PasswordFile},
        {"SFTP",
         "本番sftp:127.0.0.1:demo::1:" + ssh.Dir() + "/s.log:" + std::to_string(ssh.Port()) + ":" +
             ssh.Pin() + ":EUC\r\n",
         "sftp://demo@127.0.0.1:" + std::to_string(ssh.Port()), "s.log", ssh.Dir() + "/s.log",
         ssh.Dir() + "/password"},
    };
    KeychainPasswordStore keyring;
    for (const Target& target : targets) {
        SCOPED_TRACE(target.Name);
        const std::string first = std::string("first ") + target.Name + " ワード";
        const std::string second = std::string("second ") + target.Name;
        WriteAll(target.PasswordFile, first);
        {
            auto form = ShownForm(target.Line, 10000);
            PasswordAnswerer user;
            user.Answer = first;
            PressF5(*form);
            EXPECT_EQ(user.Asked, 1);
            EXPECT_EQ(user.Note, "");
            EXPECT_TRUE(user.SaveChecked && user.SaveEnabled && user.Masked);
            EXPECT_EQ(user.Shown,
                      std::string("本番") + (target.Name[0] == 'F' ? "ftp user" : "sftp demo") +
                          "@127.0.0.1");
            EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
            EXPECT_TRUE(ReadAll(target.Local) == ReadAll(target.Remote));
            ExpectNowhere(*form, first);
        }
        std::string stored;
        ASSERT_EQ(keyring.Read(target.Entry, stored), StoreAnswer::Done);
        EXPECT_EQ(stored, first);
        EXPECT_EQ(ReadAll(IniFullPath()), target.Line) << "the host list is never written";
        {
            SCOPED_TRACE("the next start");
            QFile::remove(QString::fromStdString(target.Local));
            auto form = ShownForm(target.Line, 10000);
            PasswordAnswerer user;
            PressF5(*form);
            EXPECT_EQ(user.Asked, 0);
            EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
            EXPECT_TRUE(ReadAll(target.Local) == ReadAll(target.Remote));
        }
        WriteAll(target.PasswordFile, second);
        {
            SCOPED_TRACE("the password changed on the server");
            auto form = ShownForm(target.Line, 10000);
            PasswordAnswerer user;
            user.Answer = second;
            PressF5(*form);
            EXPECT_EQ(user.Asked, 1);
            EXPECT_NE(user.Note.find("拒否"), std::string::npos) << user.Note;
            EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
            ExpectNowhere(*form, first);
            ExpectNowhere(*form, second);
        }
        ASSERT_EQ(keyring.Read(target.Entry, stored), StoreAnswer::Done);
        EXPECT_EQ(stored, second);
    }
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(KeyringWindow, WithoutAKeyringAskedEachRunKeptForTheRunNothingWritten)
{
    PrivateSessionBus bus(false);
    PyFtpServer ftp;
    ftp.WriteFile("f.log", EucLog("ftp"));
    const std::string line = "p:127.0.0.1:user::1:f.log:" + std::to_string(ftp.Port()) + "\r\n";
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        auto form = ShownForm(line, 10000);
        PasswordAnswerer user;
        user.Answer = ftp.Password();
        PressF5(*form);
        EXPECT_EQ(user.Asked, 1);
        EXPECT_NE(user.Note.find("キーリングがありません"), std::string::npos) << user.Note;
        EXPECT_FALSE(user.SaveChecked || user.SaveEnabled);
        EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
        // A second fetch of the same run (as Follow's reconnects) is not asked.
        PressF5(*form);
        EXPECT_EQ(user.Asked, 1);
        EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
        ExpectNowhere(*form, ftp.Password());
    }
    EXPECT_EQ(ReadAll(IniFullPath()), line);
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2)
        << "the library and the list only";
    EXPECT_TRUE(bus.KeyringFiles().isEmpty());
    std::string stored;
    EXPECT_EQ(KeychainPasswordStore().Read("ftp://user@127.0.0.1:" + std::to_string(ftp.Port()), stored),
              StoreAnswer::NoKeyring);

    // Cancel ends the fetch as a stop does.
    auto form = ShownForm(line, 10000);
    PasswordAnswerer user;
    user.Cancel = true;
    PressF5(*form);
    EXPECT_EQ(user.Asked, 1);
    EXPECT_TRUE(form->LastFetch().Stopped);
    EXPECT_EQ(form->mnStatus->text(), "中止");
    EXPECT_TRUE(Boxes.empty());

    // Moving the list's passwords with no keyring leaves the file as it was.
    const std::string withPassword = "p:127.0.0.1:user:secret:1:f.log:" + std::to_string(ftp.Port()) + "\r\n";
    form = ShownForm(withPassword, 10000);
    form->MovePasswords1->trigger();
    EXPECT_EQ(ReadAll(IniFullPath()), withPassword);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "キーリングに保存できません: p\nファイルは変更していません");
    EXPECT_TRUE(bus.KeyringFiles().isEmpty());
}

TEST_F(KeyringWindow, MovingTheListsPasswordsKeepsEveryOtherByteAndTheNextFetchAsksNothing)
{
    PrivateSessionBus bus(true);
    PyFtpServer ftp;
    ftp.WriteFile("f.log", EucLog("ftp"));
    const std::string port = std::to_string(ftp.Port());
    // "本番" and "メモ" in Shift_JIS, CR LF, a last line without an end.
    const std::string honban = "\x96\x7b\x94\xd4", memo = "# \x83\x81\x83\x82: port 21\r\n";
    const std::string before = honban + ":127.0.0.1:user:" + ftp.Password() + ":1:f.log:" + port + "\r\n" +
        memo + "anon:127.0.0.1:anonymous:me@x:1:f.log:" + port;
    auto form = ShownForm(before, 10000);
    ASSERT_EQ(::chmod(IniFullPath().c_str(), 0640), 0);

    form->MovePasswords1->trigger();
    EXPECT_EQ(ReadAll(IniFullPath()),
              honban + ":127.0.0.1:user::1:f.log:" + port + "\r\n" + memo +
                  "anon:127.0.0.1:anonymous:me@x:1:f.log:" + port);
    struct stat info { };
    ASSERT_EQ(::stat(IniFullPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "パスワードをキーリングへ移しました: 1 件");
    std::string stored;
    ASSERT_EQ(KeychainPasswordStore().Read("ftp://user@127.0.0.1:" + port, stored), StoreAnswer::Done);
    EXPECT_EQ(stored, ftp.Password());

    // The window goes on with the list as it now is: the keyring answers.
    PasswordAnswerer user;
    PressF5(*form);
    EXPECT_EQ(user.Asked, 0);
    EXPECT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
    EXPECT_TRUE(ReadAll("f.log") == ReadAll(ftp.PathOf("f.log")));
}
