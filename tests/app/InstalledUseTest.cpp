// Installed use: each user's own host list made private from the packaged
// example, the list beside the program winning, and the desktop entry's
// downloads going to the user's data directory.
#include "StartupFixture.h"

#include "profiles/InstalledUse.h"
#include "view/SjisMemo.h"
#include "app/Startup.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QTimer>

#include <fstream>
#include <optional>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sets an environment variable (nullopt: unsets it) for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : Name(name)
    {
        if (const char* old = std::getenv(name))
            Old = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { Old ? ::setenv(Name, Old->c_str(), 1) : ::unsetenv(Name); }

private:
    const char* Name;
    std::optional<std::string> Old;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

unsigned Mode(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class InstalledUse : public StartupFixture {
protected:
    void SetUp() override
    {
        StartupFixture::SetUp();
        ASSERT_TRUE(Home.isValid());
        WriteAll(Beside("wisplog.ini.example"), Example);
    }

    std::string Beside(const std::string& name) const { return Dir.filePath(QString::fromStdString(name)).toStdString(); }
    std::string InHome(const std::string& name) const { return Home.filePath(QString::fromStdString(name)).toStdString(); }

    const std::string Example = "例 (wisplog.ini を編集):ftp.example.jp:taro:secret:1:/var/log/a.log:21\n";
    QTemporaryDir Home;
};

TEST_F(InstalledUse, FirstStartMakesAPrivateCopyOfTheExampleAndKeepsItAfterwards)
{
    const ScopedEnv config("XDG_CONFIG_HOME", InHome("config"));
    const std::string own = InHome("config/wisplog/wisplog.ini");
    const mode_t oldMask = ::umask(0);  // the file is private whatever the umask
    auto form = std::make_unique<TForm1>(Options());
    ::umask(oldMask);
    EXPECT_EQ(form->IniPath, own) << "File > ini file opens the list that was read";
    EXPECT_EQ(ReadAll(own), Example);
    EXPECT_EQ(Mode(own), 0600u);
    EXPECT_EQ(Mode(InHome("config/wisplog")), 0700u);
    EXPECT_EQ(form->CmbHost->itemText(0), "例 (wisplog.ini を編集)");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Beside("wisplog.ini"))));

    // The user's edits are read at the next start, never replaced.
    WriteAll(own, "mine:h:u:p:1:/mine.log\n");
    form = std::make_unique<TForm1>(Options());
    EXPECT_EQ(form->CmbHost->itemText(0), "mine");
    EXPECT_EQ(ReadAll(own), "mine:h:u:p:1:/mine.log\n");

    // A host list beside the program wins.
    WriteAll(Beside("wisplog.ini"), "beside:h:u:p:1:/b.log\n");
    form = std::make_unique<TForm1>(Options());
    EXPECT_EQ(form->IniPath, Beside("wisplog.ini"));
    EXPECT_EQ(form->CmbHost->itemText(0), "beside");
    EXPECT_TRUE(Boxes.empty());
}

// A name prepared in the configuration directory beforehand (a symlink
// where the copy is first written) is never written through.
TEST_F(InstalledUse, MakingTheCopyNeverWritesThroughAPreparedLink)
{
    const ScopedEnv config("XDG_CONFIG_HOME", InHome("config"));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InHome("config/wisplog"))));
    const std::string victim = InHome("victim");
    WriteAll(victim, "someone else's file\n");
    const std::string planted = InHome("config/wisplog/wisplog.ini.new-") + std::to_string(::getpid());
    ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);

    auto form = std::make_unique<TForm1>(Options());
    const std::string own = InHome("config/wisplog/wisplog.ini");
    EXPECT_EQ(ReadAll(victim), "someone else's file\n");
    EXPECT_EQ(ReadAll(own), Example);
    struct stat info {};
    ASSERT_EQ(::lstat(own.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "the list is a file of its own, not a link";
    EXPECT_EQ(QDir(QString::fromStdString(InHome("config/wisplog")))
                  .entryList(QDir::Files | QDir::Hidden | QDir::System)
                  .size(),
              2) << "the list and the prepared name, nothing left over";
}

TEST_F(InstalledUse, WithoutTheExampleOrWhenTheCopyCannotBeMadeTheReportNamesTheFile)
{
    // A configuration "directory" that is a file: the copy cannot be made.
    WriteAll(InHome("config"), "");
    {
        const ScopedEnv config("XDG_CONFIG_HOME", InHome("config"));
        EXPECT_EQ(RunMainWindow(Options()), 1) << "a failed start-up exits with status 1";
    }
    // Not an installed program (no example beside it): a missing list is
    // the one beside the program, even when the user has an own one.
    ASSERT_TRUE(QFile::remove(QString::fromStdString(Beside("wisplog.ini.example"))));
    QDir(Home.path()).mkpath("home/wisplog");
    WriteAll(InHome("home/wisplog/wisplog.ini"), "own:h:u:p:1:/a.log\n");
    {
        const ScopedEnv config("XDG_CONFIG_HOME", InHome("home"));
        EXPECT_EQ(RunMainWindow(Options()), 1);
    }
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[0].Text, "ファイル " + InHome("config") + "/wisplog/wisplog.ini は開けません.");
    EXPECT_EQ(Boxes[1].Text, "ファイル " + Beside("wisplog.ini") + " は開けません.");
    EXPECT_FALSE(Boxes[0].MainWindowVisible);
}

TEST_F(InstalledUse, DesktopStartDownloadsIntoTheDataDirectory)
{
    PyFtpServer server;
    server.WriteFile("app.log", "from the server\n");
    WriteAll(Beside("wisplog.ini"), "p:127.0.0.1:user:secret:1:app.log:" + std::to_string(server.Port()) + "\n");
    const ScopedEnv data("XDG_DATA_HOME", InHome("data"));
    const QString old = QDir::currentPath();
    QDir(Home.path()).mkpath("terminal");
    const QString before = QString::fromStdString(InHome("terminal"));
    QDir::setCurrent(before);

    auto fetchAndClose = [](QString& current) {
        QTimer::singleShot(0, [&current] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* form = qobject_cast<TForm1*>(widget)) {
                    form->mnGet10Ktail->trigger();
                    current = QDir::currentPath();
                    form->close();
                }
        });
    };
    // From a terminal: the current directory, as always.
    QString current;
    fetchAndClose(current);
    EXPECT_EQ(RunMainWindow(Options()), 0);
    EXPECT_EQ(current, before);
    EXPECT_EQ(ReadAll(InHome("terminal/app.log")), "from the server\n");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(InHome("data"))));

    StartupOptions desktop = Options();
    desktop.DesktopStart = true;
    fetchAndClose(current);
    EXPECT_EQ(RunMainWindow(desktop), 0);
    QDir::setCurrent(old);
    const std::string downloads = InHome("data/wisplog/downloads");
    EXPECT_EQ(current.toStdString(), downloads);
    EXPECT_EQ(ReadAll(downloads + "/app.log"), "from the server\n");
    EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes[0].Text);
}

} // namespace
