// The SFTP side's faults through the real window, a row per fault: the
// scripted paramiko server in one fault mode meets a fetch that a first good
// fetch from another server has given an older copy and a view. A fault
// that is a failure fails with its message, keeps the older copy and the
// view and leaves no part file; a reply that is odd but lawful (short, out
// of order, a file that grows) gives the whole file. No row may hang.
#include "FetchDirFixture.h"

#include "tests/sftp/ScriptedSftpServer.h"
#include "tests/sftp/SshdServer.h"

#include <QAction>

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

// At least 3 MiB of EUC-JP lines ("ログ", the tag, a number), past the
// scripted server's fault offset (1 MiB) by far.
std::string EucLog(const std::string& tag)
{
    std::string text;
    for (int i = 0; text.size() < (3u << 20); ++i)
        text += "\xa5\xed\xa5\xb0 " + tag + " " + std::to_string(i) + " " + std::string(90, 'x') + "\n";
    return text;
}

class SftpFaults : public FetchDirFixture {
protected:
    void SetUp() override
    {
        FetchDirFixture::SetUp();
        // No ~/.ssh of the machine's: the profiles pin the servers' keys.
        ::setenv("HOME", WorkDir.path().toStdString().c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
    }
    static std::string Line(const ScriptedSftpServer& server, const std::string& remote)
    {
        return "s:127.0.0.1:" + ScriptedSftpServer::User + ":" + ScriptedSftpServer::Password +
            ":1:" + remote + ":" + std::to_string(server.Port()) + ":" + server.Pin() + ":EUC\r\n";
    }
    // Ctrl+F5 from the event loop; returns when the fetch has ended.
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
};

TEST_F(SftpFaults, EachFaultFailsWithItsMessageKeepingTheOlderCopyAndTheViewOrGivesTheWholeFile)
{
    struct Row {
        const char* Mode;
        std::string Notice; // the status's start; empty: the whole file comes
    };
    const std::string remote = WorkDir.path().toStdString() + "/remote/app.log";
    const std::string older = EucLog("older"), newer = EucLog("newer");
    const Row rows[] = {
        {"stall", "ダウンロード失敗: Timed out: no reply for 2 s"},
        {"drop", "ダウンロード失敗: Connection lost (" + remote + ")"},
        {"short", ""},
        {"reorder", ""},
        {"overlong", "ダウンロード失敗: Bad reply (" + remote + "): Received a too big DATA packet"},
        {"badid", "ダウンロード失敗: SFTP error 4: " + remote + ": Unknown request ID "},
        {"shrink", "ダウンロード失敗: Transfer ended early: 1052897 of " + std::to_string(newer.size()) + " bytes"},
        {"grow", ""},
        {"denyopen", "ダウンロード失敗: Permission denied: " + remote},
        {"denystat", "ダウンロード失敗: Permission denied: " + remote},
        {"logindrop", "ログイン失敗: Authentication failed: Socket error: disconnected"},
    };
    Shell("mkdir '" + WorkDir.path().toStdString() + "/remote'");
    ScriptedSftpServer good("password");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Mode);
        ScriptedSftpServer faulty(row.Mode);
        std::ofstream(remote, std::ios::binary | std::ios::trunc) << older;
        auto form = ShownForm(Line(good, remote), 10000);
        GetAll(*form);
        ASSERT_TRUE(form->mnStatus->text().isEmpty()) << form->mnStatus->text().toStdString();
        ASSERT_TRUE(ReadAll("app.log") == older);
        const std::string view = form->Memo1->Text();

        std::ofstream(remote, std::ios::binary | std::ios::trunc) << newer;
        form->HostList.SetText(Line(faulty, remote));
        form->KZFTP1->TimeOut = 2000;
        QElapsedTimer clock;
        clock.start();
        GetAll(*form);
        const qint64 took = clock.elapsed();
        EXPECT_LT(took, 6000) << "no hang";
        const std::string notice = form->mnStatus->text().toStdString();
        if (row.Notice.empty()) {
            EXPECT_EQ(notice, "");
            EXPECT_TRUE(ReadAll("app.log") == ReadAll(remote)) << "the whole file, byte for byte";
            EXPECT_NE(form->Memo1->Text().find(" newer "), std::string::npos) << "the new copy shown";
        } else {
            EXPECT_EQ(notice.rfind(row.Notice, 0), 0u) << notice;
            EXPECT_TRUE(ReadAll("app.log") == older) << "the older copy kept";
            EXPECT_TRUE(form->Memo1->Text() == view) << "the view as it was";
        }
        EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text;
        EXPECT_TRUE(PartFiles().isEmpty()) << PartFiles().join(' ').toStdString();
        std::printf("[ figure   ] %-9s %4lld ms  %s\n", row.Mode, (long long)took, notice.c_str());
        Boxes.clear();
    }
}

} // namespace
