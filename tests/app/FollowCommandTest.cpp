// File → "Follow" end to end: the real window driven by key presses, a real
// FTP server (pyftpdlib) whose log grows, is rotated and goes missing.
#include "FetchDirFixture.h"

#include "app/FollowCommand.h"
#include "view/SjisMemo.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TestCertificates.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <iconv.h>

namespace {

using namespace std::chrono_literals;

// Log lines in EUC-JP and as the view holds them (Shift_JIS, LF).
struct LogText {
    std::string Euc;
    std::string Sjis;
};

LogText MakeLog(int from, int count)
{
    LogText log;
    for (int i = from; i < from + count; ++i) {
        const std::string head = "2026-12-07 10:00:00 ERROR #" + std::to_string(i) + " ";
        log.Euc += head + "\xC6\xFC\xCB\xDC\xB8\xEC\xA5\xED\xA5\xB0\n";
        log.Sjis += head + "\x93\xFA\x96\x7B\x8C\xEA\x83\x8D\x83\x4F\n";
    }
    return log;
}

LogText operator+(LogText a, const LogText& b)
{
    a.Euc += b.Euc;
    a.Sjis += b.Sjis;
    return a;
}

// What the view holds for a converted text cut to its tail (CR LF breaks).
std::string Shown(const std::string& sjis, std::size_t tail = 0)
{
    const std::string cut = tail && sjis.size() >= tail ? sjis.substr(sjis.size() - tail) : sjis;
    std::string out;
    for (char c : cut) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string ReadLocal(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Has(const std::vector<std::string>& transcript, const std::string& prefix)
{
    for (const auto& line : transcript)
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

// UTF-8 text in another encoding, by glibc's iconv (an independent
// converter, not the program's own).
std::string Encoded(const std::string& utf8, const char* encoding)
{
    iconv_t cd = iconv_open(encoding, "UTF-8");
    EXPECT_NE(cd, iconv_t(-1)) << encoding;
    std::string out(utf8.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* to = out.data();
    size_t toLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &to, &toLeft), size_t(-1)) << encoding;
    iconv(cd, nullptr, nullptr, &to, &toLeft);
    iconv_close(cd);
    out.resize(out.size() - toLeft);
    return out;
}

// Japanese log lines (UTF-8), wider than the view so that they wrap: kanji,
// kana and full-width signs only, which every encoding under test maps the
// same way.
std::string JapaneseLines(int from, int count)
{
    std::string text;
    for (int i = from; i < from + count; ++i)
        text += "2026-12-07 10:00:00 情報 #" + std::to_string(i) +
                " 日本語のログ行です。受付番号の処理を続けます。画面の幅より長い行は折り返して表示されます\n";
    return text;
}

class Follow : public FetchDirFixture {
protected:

    std::unique_ptr<TForm1> MakeFollowForm(const PyFtpServer& server, const std::string& path,
                                           int port = 0)
    {
        const std::string portField = std::to_string(port ? port : server.Port());
        auto form = MakeForm("log:127.0.0.1:" + server.User() + ":" + server.Password() + ":1:" + path + ":" +
                             portField + "\r\nother:127.0.0.1:" + server.User() + ":" + server.Password() +
                             ":1:other.log:" + portField + "\r\n");
        form->KZFTP1->TimeOut = 5000;
        form->Follow1->IntervalMs = 100;
        form->resize(640, 300);
        form->show();
        QApplication::setActiveWindow(form.get());
        form->Memo1->setFocus();
        return form;
    }

    // Presses a key in the window, as the user would.
    void Press(TForm1& form, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(form.Memo1, Qt::Key(key), modifiers);
    }

    // Pumps events until done() holds; false after 20 s.
    bool WaitFor(const std::function<bool()>& done)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > 20000)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    // Waits for the next refresh that reports a status of its own.
    bool WaitForStatus(TForm1& form, const QString& prefix)
    {
        form.mnStatus->setText(QString());
        return WaitFor([&] { return form.mnStatus->text().startsWith(prefix); });
    }

};

const QRegularExpression FollowingStatus(QStringLiteral("^追跡中 \\d\\d:\\d\\d:\\d\\d \\+\\d+(\\.\\d)? (B|KB|MB)$"));

TEST_F(Follow, RefreshesAddTheNewBytesAndKeepTheUsersPlace)
{
    PyFtpServer server;
    LogText log = MakeLog(0, 400);
    server.WriteFile("app.log", log.Euc);
    auto form = MakeFollowForm(server, "app.log");

    Press(*form, Qt::Key_F5);
    ASSERT_TRUE(form->Memo1->Text() == Shown(log.Sjis, 10000));
    Press(*form, Qt::Key_F6);
    EXPECT_TRUE(form->Follow1->Action()->isChecked());
    ASSERT_TRUE(WaitFor([&] { return FollowingStatus.match(form->mnStatus->text()).hasMatch(); }))
        << form->mnStatus->text().toStdString();
    EXPECT_TRUE(form->mnStatus->text().endsWith("+0 B"));

    // Caret at the end: the new end is shown, cut to the tail again.
    const LogText more = MakeLog(400, 30);
    log = log + more;
    server.WriteFile("app.log", log.Euc);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->Text() == Shown(log.Sjis, 10000); }));
    EXPECT_EQ(form->Memo1->SelStart(), form->Memo1->TextLength());
    EXPECT_EQ(form->Follow1->LastBytesReceived(), ResumeOverlap + int64_t(more.Euc.size()));
    ASSERT_TRUE(WaitForStatus(*form, "追跡中"));
    EXPECT_TRUE(FollowingStatus.match(form->mnStatus->text()).hasMatch());
    EXPECT_EQ(ReadLocal("app.log"), log.Euc);

    // A selection higher up: it stays, and so does the text before it;
    // the new lines are added behind without a new cut.
    Press(*form, Qt::Key_Home, Qt::ControlModifier);
    for (int i = 0; i < 3; ++i)
        Press(*form, Qt::Key_Down);
    Press(*form, Qt::Key_End, Qt::ShiftModifier);
    const int64_t start = form->Memo1->SelStart();
    const int64_t length = form->Memo1->SelLength();
    ASSERT_GT(length, 0);
    const int scroll = form->Memo1->verticalScrollBar()->value();
    const std::string before = form->Memo1->Text();
    const LogText third = MakeLog(430, 30);
    log = log + third;
    server.WriteFile("app.log", log.Euc);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->TextLength() > int64_t(before.size()); }));
    EXPECT_TRUE(form->Memo1->Text() == before + Shown(third.Sjis));
    EXPECT_EQ(form->Memo1->SelStart(), start);
    EXPECT_EQ(form->Memo1->SelLength(), length);
    EXPECT_EQ(form->Memo1->verticalScrollBar()->value(), scroll);
    EXPECT_TRUE(form->Follow1->LastDisplayIncremental()) << "only the new bytes were converted";

    // Back at the end: the next refresh cuts to the tail again.
    Press(*form, Qt::Key_End, Qt::ControlModifier);
    const LogText fourth = MakeLog(460, 5);
    log = log + fourth;
    server.WriteFile("app.log", log.Euc);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->Text() == Shown(log.Sjis, 10000); }));
    EXPECT_EQ(form->Memo1->SelStart(), form->Memo1->TextLength());

    // F5 ends following.
    Press(*form, Qt::Key_F5);
    EXPECT_FALSE(form->Follow1->Following());
    EXPECT_FALSE(form->Follow1->Action()->isChecked());
    EXPECT_TRUE(Boxes.empty());
}

// A caret at the end stays at the end whatever the text's encoding: the
// tail of Japanese text is as many characters as bytes nowhere, so a check
// that mixed the two would leave the caret behind in the middle.
TEST_F(Follow, CaretAtTheEndFollowsTheNewEndInEveryEncoding)
{
    struct Case {
        const char* Profile;   // the profile's encoding field
        const char* Iconv;
    };
    for (const Case& c : {Case{"EUC", "EUC-JP"}, Case{"UTF8", "UTF-8"}, Case{"JIS", "ISO-2022-JP"},
                          Case{"Unicode", "UTF-16LE"}, Case{"SJIS", "SHIFT_JIS"}}) {
        SCOPED_TRACE(c.Profile);
        PyFtpServer server;
        std::string text = JapaneseLines(0, 100);
        server.WriteFile("app.log", Encoded(text, c.Iconv));
        auto form = MakeForm("log:127.0.0.1:" + server.User() + ":" + server.Password() + ":1:app.log:" +
                             std::to_string(server.Port()) + "::" + c.Profile + "\r\n");
        form->KZFTP1->TimeOut = 5000;
        form->Follow1->IntervalMs = 100;
        // The window at the size it opens with, as at start: right after F5
        // its last layout pass may leave the scroll bar a line short of its
        // end while the caret's line is in view.
        form->show();
        QApplication::setActiveWindow(form.get());
        form->Memo1->setFocus();

        Press(*form, Qt::Key_F5);
        ASSERT_TRUE(form->Memo1->Text() == Shown(Encoded(text, "SHIFT_JIS"), 10000));
        ASSERT_EQ(form->Memo1->SelStart(), form->Memo1->TextLength());
        Press(*form, Qt::Key_F6);
        ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("追跡中"); }))
            << form->mnStatus->text().toStdString();

        // About 10 KB more: the view shows the new end, cut to the tail.
        text += JapaneseLines(100, 100);
        server.WriteFile("app.log", Encoded(text, c.Iconv));
        const std::string expected = Shown(Encoded(text, "SHIFT_JIS"), 10000);
        ASSERT_TRUE(WaitFor([&] { return form->Memo1->Text() == expected; }))
            << form->Memo1->TextLength() << " bytes shown";
        EXPECT_EQ(form->Memo1->SelStart(), form->Memo1->TextLength());
        EXPECT_EQ(form->Memo1->SelLength(), 0);
        const QScrollBar* bar = form->Memo1->verticalScrollBar();
        EXPECT_EQ(bar->value(), bar->maximum()) << "the new end is on screen";
        const QRect caret = form->Memo1->CaretRect(form->Memo1->SelStart());
        EXPECT_TRUE(caret.top() >= 0 && caret.bottom() <= form->Memo1->viewport()->height())
            << "the caret's line is on screen";
        Press(*form, Qt::Key_F6);
    }
}

TEST_F(Follow, RotationFilterAndEncodingKeepWorking)
{
    PyFtpServer server;
    LogText log = MakeLog(0, 100);
    server.WriteFile("app.log", log.Euc);
    auto form = MakeFollowForm(server, "app.log");
    Press(*form, Qt::Key_F5, Qt::ControlModifier);   // the whole file, then follow it
    Press(*form, Qt::Key_F6);
    ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("追跡中"); }));

    // A filter on the view stays on the new lines.
    form->EdtGrep->setText("#1");
    form->Button2Click();
    const LogText more = MakeLog(100, 30);
    log = log + more;
    server.WriteFile("app.log", log.Euc);
    auto kept = [](const std::string& sjis) {
        std::string out;
        std::istringstream in(sjis);
        for (std::string line; std::getline(in, line);)
            if (line.find("#1") != std::string::npos)
                out += line + "\r\n";
        return out;
    };
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->Text() == kept(log.Sjis); }));

    // Rotated: the new, shorter file is shown whole, still filtered.
    log = MakeLog(1000, 20);
    server.WriteFile("app.log", log.Euc);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->Text() == kept(log.Sjis); }));
    ASSERT_TRUE(WaitForStatus(*form, "追跡中"));
    EXPECT_EQ(ReadLocal("app.log"), log.Euc);

    // Another encoding chosen while following: the next growth is shown
    // converted the new way (UTF-8 bytes of "ログ").
    form->EdtGrep->clear();
    form->Button2Click();
    form->EUC1Click(form->UTF81);
    const std::string utf8Line = "tail \xE3\x83\xAD\xE3\x82\xB0\n";
    server.WriteFile("app.log", log.Euc + utf8Line);
    ASSERT_TRUE(WaitFor([&] {
        const std::string text = form->Memo1->Text();
        return text.size() >= 10 && text.substr(text.size() - 11) == "tail \x83\x8D\x83\x4F\r\n";
    }));

    // Choosing another profile ends following.
    server.WriteFile("other.log", "other\n");
    form->CmbHost->setCurrentIndex(1);
    form->CmbHostChange();
    EXPECT_FALSE(form->Follow1->Following());
}

TEST_F(Follow, FailuresAreShownFollowingGoesOnAndFiveInARowStopIt)
{
    auto owned = std::make_unique<PyFtpServer>();
    PyFtpServer& server = *owned;
    auto form = MakeFollowForm(server, "missing.log");
    Press(*form, Qt::Key_F6);
    ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("ダウンロード失敗: 550"); }))
        << form->mnStatus->text().toStdString();
    EXPECT_TRUE(form->Follow1->Following()) << "one failure does not end following";
    server.WriteFile("missing.log", "now here\n");
    ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("追跡中"); }));
    EXPECT_TRUE(form->Memo1->Text() == "now here\r\n");

    // Five in a row: the server is gone.
    owned.reset();
    ASSERT_TRUE(WaitFor([&] { return !form->Follow1->Following(); }));
    EXPECT_EQ(form->mnStatus->text(), QString::fromUtf8(FollowCommand::GaveUpText));
    EXPECT_FALSE(form->Follow1->Action()->isChecked());
    EXPECT_TRUE(form->Memo1->Text() == "now here\r\n") << "the view keeps the last text";
    EXPECT_EQ(ReadLocal("missing.log"), "now here\n") << "and the copy stays";
}

TEST_F(Follow, SessionStaysOpenBetweenRefreshesAndIsRenewedWhenTheServerDropsIt)
{
    PyFtpServer::Options options;
    options.IdleSeconds = 0.5;
    PyFtpServer server(options);
    LogText log = MakeLog(0, 50);
    server.WriteFile("app.log", log.Euc);
    auto form = MakeFollowForm(server, "app.log");
    Press(*form, Qt::Key_F6);
    ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("追跡中"); }));
    EXPECT_TRUE(form->KZFTP1->Connected()) << "kept for the next refresh";

    // The server closes the idle session before the next refresh: that
    // refresh logs in again instead of failing.
    form->Follow1->IntervalMs = 1500;
    ASSERT_TRUE(WaitForStatus(*form, "追跡中"));
    log = log + MakeLog(50, 5);
    server.WriteFile("app.log", log.Euc);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->Text() == Shown(log.Sjis); }));
    EXPECT_TRUE(form->mnStatus->text().startsWith("追跡中")) << form->mnStatus->text().toStdString();

    // Unchecking Follow logs out.
    form->Follow1->Action()->trigger();
    EXPECT_FALSE(form->Follow1->Following());
    EXPECT_TRUE(WaitFor([&] { return !form->KZFTP1->Connected(); }));
}

TEST_F(Follow, EscStopsARefreshAndUnchecksFollow)
{
    using namespace std::chrono_literals;
    ScriptedFtpServer server;
    server.Send("220 ready\r\n")
        .Reply("331 password\r\n")
        .Reply("230 in\r\n")
        .Reply("250 ok\r\n")      // CWD
        .Reply("200 binary\r\n")  // TYPE I
        .Reply("213 100000\r\n")  // SIZE
        .Reply("502 no\r\n")      // MDTM
        .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
        .AcceptData()
        .Reply("150 here\r\n")
        .SendData("the first part\n")
        .Reply("426 aborted\r\n226 abort done\r\n")   // answers ABOR as servers do
        .Pause(8000ms);
    auto form = MakeForm("s:127.0.0.1:u:p:1:app.log:" + std::to_string(server.Port()) + "\r\n");
    form->KZFTP1->TimeOut = 20000;
    form->Follow1->IntervalMs = 100;
    form->show();
    QApplication::setActiveWindow(form.get());
    form->Memo1->setFocus();
    // Esc once the refresh waits for the data (pressed from the event loop
    // the refresh's wait runs).
    QElapsedTimer clock;
    QTimer poke;
    QObject::connect(&poke, &QTimer::timeout, [&] {
        if (!clock.isValid() && server.Transcript().size() >= 8) {
            clock.start();
            Press(*form, Qt::Key_Escape);
        }
    });
    poke.start(20);
    Press(*form, Qt::Key_F6);
    ASSERT_TRUE(WaitFor([&] { return !form->Follow1->Following(); }));
    ASSERT_TRUE(clock.isValid()) << "RETR was sent";
    EXPECT_LT(clock.elapsed(), 5000) << "the stop does not wait for the server";
    EXPECT_FALSE(form->Follow1->Action()->isChecked());
    EXPECT_EQ(form->mnStatus->text(), QString::fromUtf8(FollowCommand::StoppedText));
    EXPECT_FALSE(QFile::exists("app.log")) << "nothing partial became the copy";
    EXPECT_TRUE(QDir().entryList(QStringList{QStringLiteral("*.part")}, QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_FALSE(form->KZFTP1->Connected());
}

TEST_F(Follow, ClosingTheWindowEndsFollowing)
{
    PyFtpServer server;
    server.WriteFile("app.log", "a\n");
    auto form = MakeFollowForm(server, "app.log");
    Press(*form, Qt::Key_F6);
    ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("追跡中"); }));
    form->close();
    EXPECT_FALSE(form->Follow1->Following());
    EXPECT_FALSE(form->Follow1->Action()->isChecked());
}

// F6 as the very first command takes the profile's security as a fetch
// does: on a TLS profile the server's first command is AUTH TLS and, when
// the server refuses it, nothing of the log-in or the file follows in clear.
TEST_F(Follow, FirstRefreshOnATlsProfileNeverLogsInInClear)
{
    const std::string pin(64, 'a');
    for (const std::string security : {std::string("tls"), pin}) {
        SCOPED_TRACE(security);
        ScriptedFtpServer server;
        server.Send("220 ready\r\n").Reply("500 AUTH not understood\r\n").Pause(1s);
        auto form = MakeForm("s:127.0.0.1:u:secret:1:/d/app.log:" + std::to_string(server.Port()) + ":" +
                             security + "\r\n");
        form->KZFTP1->TimeOut = 5000;
        form->Follow1->IntervalMs = 60000;   // one refresh only: the server takes one connection
        form->show();
        QApplication::setActiveWindow(form.get());
        form->Memo1->setFocus();
        Press(*form, Qt::Key_F6);
        ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("接続失敗: 500"); }))
            << form->mnStatus->text().toStdString();
        Press(*form, Qt::Key_F6);
        ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
        // Nothing follows the refused AUTH TLS: no user name, no password,
        // no path, not even QUIT.
        EXPECT_EQ(server.Transcript(), std::vector<std::string>{"AUTH TLS"});
        EXPECT_FALSE(QFile::exists("app.log"));
        EXPECT_TRUE(Boxes.empty()) << "a refresh shows no message box";
    }

    // The same against a real TLS server with the certificate pinned: the
    // refresh fetches the file.
    TestCertificates certificates;
    PyFtpServer::Options options;
    options.TlsCertificate = certificates.SelfSignedCertificate();
    options.TlsKey = certificates.SelfSignedKey();
    PyFtpServer server(options);
    server.WriteFile("app.log", "secure line\n");
    auto form = MakeForm("pinned:127.0.0.1:user:secret:1:app.log:" + std::to_string(server.Port()) + ":" +
                         TestCertificates::Fingerprint(certificates.SelfSignedCertificate()) + "\r\n");
    form->KZFTP1->TimeOut = 5000;
    form->Follow1->IntervalMs = 100;
    form->show();
    QApplication::setActiveWindow(form.get());
    form->Memo1->setFocus();
    Press(*form, Qt::Key_F6);
    ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("追跡中"); }))
        << form->mnStatus->text().toStdString();
    EXPECT_TRUE(form->Memo1->Text() == "secure line\r\n");
    EXPECT_TRUE(form->KZFTP1->Secure()) << "the session kept between refreshes is the TLS one";
    Press(*form, Qt::Key_F6);
}

// The log-out that ends a refresh or following waits for the server: the
// window shows it (controls disabled, "FTP..."), so F5 pressed meanwhile is
// visibly unavailable rather than lost, and Esc ends the wait at once.
TEST_F(Follow, TheSessionsLogOutShowsAsBusyAndEscEndsIt)
{
    struct Case {
        const char* Name;
        bool FailRefresh;   // else: Follow unchecked between refreshes
    };
    for (const Case& c : {Case{"after a failed refresh", true}, Case{"when following ends", false}}) {
        SCOPED_TRACE(c.Name);
        ScriptedFtpServer server;
        server.Send("220 ready\r\n").Reply("331 password\r\n").Reply("230 in\r\n");
        if (c.FailRefresh) {
            server.Reply("550 no such directory\r\n");
        } else {
            server.Reply("250 ok\r\n")
                .Reply("200 binary\r\n")
                .Reply("213 5\r\n")
                .Reply("502 no\r\n")
                .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
                .AcceptData()
                .Reply("150 here\r\n")
                .SendData("abcd\n")
                .CloseData()
                .Send("226 done\r\n");
        }
        server.Receive().Pause(8s);   // QUIT, never answered
        auto form = MakeForm("s:127.0.0.1:u:p:1:/d/f.log:" + std::to_string(server.Port()) + "\r\n");
        form->KZFTP1->TimeOut = 20000;
        form->Follow1->IntervalMs = 60000;
        form->show();
        QApplication::setActiveWindow(form.get());
        form->Memo1->setFocus();

        bool sawBusy = false;
        bool f5Enabled = true;
        QString status;
        QElapsedTimer sinceEsc;
        QTimer poke;
        QObject::connect(&poke, &QTimer::timeout, [&] {
            if (sinceEsc.isValid() || !Has(server.Transcript(), "QUIT"))
                return;
            sawBusy = form->FetchRunning();
            f5Enabled = form->mnGet10Ktail->isEnabled() || form->Button1->isEnabled();
            status = form->mnStatus->text();
            Press(*form, Qt::Key_F5);   // disabled: no second session is started
            sinceEsc.start();
            Press(*form, Qt::Key_Escape);
        });
        poke.start(20);
        Press(*form, Qt::Key_F6);
        if (!c.FailRefresh) {
            ASSERT_TRUE(WaitFor([&] { return form->mnStatus->text().startsWith("追跡中"); }));
            form->Follow1->Action()->trigger();   // unchecked: the session logs out
        }
        ASSERT_TRUE(WaitFor([&] { return sinceEsc.isValid() && !form->FetchRunning(); }));
        EXPECT_LT(sinceEsc.elapsed(), 1000) << "Esc ends the log-out's wait";
        EXPECT_TRUE(sawBusy);
        EXPECT_FALSE(f5Enabled) << "F5 shows that it cannot run yet";
        EXPECT_TRUE(status.startsWith("FTP...")) << status.toStdString();
        EXPECT_FALSE(form->Follow1->Following());
        EXPECT_FALSE(form->KZFTP1->Connected());
        EXPECT_TRUE(form->mnGet10Ktail->isEnabled());
        EXPECT_TRUE(form->Button1->isEnabled());
        const std::vector<std::string> transcript = server.Transcript();
        EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "USER u"), 1)
            << "the F5 pressed during the wait started nothing behind the user's back";
    }
}

} // namespace
