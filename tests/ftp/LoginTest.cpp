// Log-in, log-out and reply reading of TKZFTP against the scripted server.
#include "tests/ftp/FtpTestHelpers.h"
#include "tests/support/ScriptedFtpServer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

using Transcript = std::vector<std::string>;

namespace {

constexpr int TimeOutMs = 1500;

void PointAt(TKZFTP& ftp, const ScriptedFtpServer& server)
{
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = TimeOutMs;
    ftp.UserID = "alice";
    ftp.Password = "s3cret-pw";
}

bool AnyContains(const std::vector<std::string>& texts, const std::string& part)
{
    for (const auto& t : texts)
        if (t.find(part) != std::string::npos)
            return true;
    return false;
}

} // namespace

// The commands of each proxy configuration, with and without the firewall
// log-in, and no password in any status text.
struct LoginCase {
    const char* Name;
    bool UseProxy;
    TFirewallType Type;
    bool FWAuthenticate;
    Transcript Expected;
};

class LoginConfigurations : public testing::TestWithParam<LoginCase> {};

TEST_P(LoginConfigurations, SendsTheCommandsOfTheConfiguration)
{
    const LoginCase& c = GetParam();
    ScriptedFtpServer server;
    server.Send("220 proxy ready\r\n");
    if (c.FWAuthenticate)
        server.Reply("331 firewall password\r\n").Reply("230 firewall ok\r\n");
    if (c.UseProxy && c.Type != FTUser)
        server.Reply("220 connected to target\r\n");
    // The USER (combined with the target for FTUser) and PASS.
    server.Reply("331 password please\r\n").Reply("230 logged in\r\n").Reply("221 bye\r\n");

    TKZFTP ftp;
    EventLog log(ftp);
    ftp.TimeOut = TimeOutMs;
    ftp.UserID = "alice";
    ftp.Password = "s3cret-pw";
    ftp.FWUserID = "fwuser";
    ftp.FWPassword = "fw-pass-word";
    ftp.FWAuthenticate = c.FWAuthenticate;
    ftp.FirewallType = c.Type;
    if (c.UseProxy) {
        // The proxy is dialled; Host only names the target.
        ftp.Host = "target.example.invalid";
        ftp.Proxy = "127.0.0.1";
        ftp.ProxyPort = server.Port();
        ftp.Port = 1;
    } else {
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
    }
    ftp.Connect();
    EXPECT_TRUE(ftp.Connected());
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected());

    Transcript expected = c.Expected;
    expected.push_back("QUIT");
    EXPECT_EQ(server.Transcript(), expected);
    EXPECT_EQ(log.Events(), Transcript{"OnConnect"});
    EXPECT_EQ(log.ForeignSenders, 0);
    EXPECT_FALSE(AnyContains(log.Statuses(), "s3cret-pw"));
    EXPECT_FALSE(AnyContains(log.Statuses(), "fw-pass-word"));
    EXPECT_TRUE(AnyContains(log.Statuses(), "PASS "));
    EXPECT_EQ(server.Error(), "");
}

const Transcript FW{"USER fwuser", "PASS fw-pass-word"};
Transcript With(Transcript head, const Transcript& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

INSTANTIATE_TEST_SUITE_P(
    All, LoginConfigurations,
    testing::Values(
        LoginCase{"Direct", false, FtSite, false, {"USER alice", "PASS s3cret-pw"}},
        LoginCase{"DirectFirewall", false, FtOpen, true, With(FW, {"USER alice", "PASS s3cret-pw"})},
        LoginCase{"User", true, FTUser, false, {"USER alice@target.example.invalid", "PASS s3cret-pw"}},
        LoginCase{"UserFirewall", true, FTUser, true,
                  With(FW, {"USER alice@target.example.invalid", "PASS s3cret-pw"})},
        LoginCase{"Open", true, FtOpen, false, {"OPEN target.example.invalid", "USER alice", "PASS s3cret-pw"}},
        LoginCase{"OpenFirewall", true, FtOpen, true,
                  With(FW, {"OPEN target.example.invalid", "USER alice", "PASS s3cret-pw"})},
        LoginCase{"Site", true, FtSite, false, {"SITE target.example.invalid", "USER alice", "PASS s3cret-pw"}},
        LoginCase{"SiteFirewall", true, FtSite, true,
                  With(FW, {"SITE target.example.invalid", "USER alice", "PASS s3cret-pw"})}),
    [](const testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.Name); });

TEST(Login, MultiLineGreetingIsReadWholeBeforeUser)
{
    ScriptedFtpServer server;
    server.Send("220-Welcome\r\n220-second line\r\n")
        .Pause(std::chrono::milliseconds(200))
        .Send(" 220 indented line\r\n220 ready\r\n")
        .Reply("230 no password needed\r\n")
        .Reply("221 bye\r\n");
    TKZFTP ftp;
    EventLog log(ftp);
    PointAt(ftp, server);
    ftp.Connect();
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "QUIT"}));
    const auto statuses = log.Statuses();
    const Transcript expectedStart{"220-Welcome\r\n", "220-second line\r\n", " 220 indented line\r\n",
                                   "220 ready\r\n", "USER alice"};
    ASSERT_GE(statuses.size(), expectedStart.size());
    EXPECT_EQ(Transcript(statuses.begin(), statuses.begin() + 5), expectedStart);
}

TEST(Login, RefusedGreetingLogsOutAndRaisesItsFinalLine)
{
    ScriptedFtpServer server;
    server.Send("421-Too many users\r\n421 Try later\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    EventLog log(ftp);
    PointAt(ftp, server);
    try {
        ftp.Connect();
        FAIL() << "Connect succeeded";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message(), "421 Try later\r\n");
    }
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(server.Transcript(), Transcript{"QUIT"});
    EXPECT_EQ(log.Events(), Transcript{"OnConnectionFailed"});
    EXPECT_EQ(log.Statuses().back(), "Disconnected");
}

// USER answered with a code that needs no password: no PASS, logged in.
class UserReplyWithoutPass : public testing::TestWithParam<const char*> {};

TEST_P(UserReplyWithoutPass, LogsInWithoutPass)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply(GetParam()).Reply("221 bye\r\n");
    TKZFTP ftp;
    EventLog log(ftp);
    PointAt(ftp, server);
    ftp.Connect();
    EXPECT_TRUE(ftp.Connected());
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "QUIT"}));
    EXPECT_EQ(log.Events(), Transcript{"OnConnect"});
}

INSTANTIATE_TEST_SUITE_P(Codes, UserReplyWithoutPass,
                         testing::Values("230 welcome\r\n", "332 need account\r\n", "400 odd but passes\r\n"));

TEST(Login, UserRefusedWith530)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply("530 Not allowed\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    EventLog log(ftp);
    PointAt(ftp, server);
    try {
        ftp.Connect();
        FAIL() << "Connect succeeded";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.Message(), "530 Not allowed\r\n");
    }
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "QUIT"}));
    EXPECT_EQ(log.Events(), Transcript{"OnConnectionFailed"});
    const auto statuses = log.Statuses();
    EXPECT_EQ(Transcript(statuses.end() - 3, statuses.end()),
              (Transcript{"QUIT", "221 bye\r\n", "Disconnected"}));
}

TEST(Login, ConnectWhileConnectedDoesNothing)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply("230 in\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    PointAt(ftp, server);
    ftp.Connect();
    EventLog log(ftp);
    ftp.Connect();
    EXPECT_TRUE(log.Entries.empty());
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "QUIT"}));
}

TEST(Login, EmptyUserWithoutHandlerSendsBareUser)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply("331 pw\r\n").Reply("230 in\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    PointAt(ftp, server);
    ftp.UserID = "";
    ftp.Connect();
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), (Transcript{"USER ", "PASS s3cret-pw", "QUIT"}));
}

TEST(Login, AuthenticationNeededFillsInTheCredentials)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply("331 pw\r\n").Reply("230 in\r\n").Reply("221 bye\r\n");
    TKZFTP ftp;
    PointAt(ftp, server);
    ftp.Password = "";
    int asked = 0;
    ftp.OnAuthenticationNeeded = [&](bool& Handled) {
        EXPECT_FALSE(Handled);
        ++asked;
        ftp.UserID = "bob";
        ftp.Password = "given";
    };
    ftp.Connect();
    ftp.Disconnect();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(server.Transcript(), (Transcript{"USER bob", "PASS given", "QUIT"}));
}

TEST(Logout, RefusedQuitClosesFirstThenRaises)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply("230 in\r\n").Reply("500 QUIT not understood\r\n");
    TKZFTP ftp;
    PointAt(ftp, server);
    ftp.Connect();
    ftp.Vendor = 7;
    bool closedBeforeRaise = false;
    try {
        ftp.Disconnect();
        FAIL() << "Disconnect succeeded";
    } catch (const FTPException& e) {
        closedBeforeRaise = !ftp.Connected();
        EXPECT_EQ(e.Message(), "500 QUIT not understood\r\n");
    }
    EXPECT_TRUE(closedBeforeRaise);
    EXPECT_EQ(ftp.Vendor, TKZFTP::DefaultVendor);
}

// A reply that never comes ends the wait within the time-out; the silent
// connection is then closed without another QUIT wait.
TEST(Login, ServerThatNeverAnswersTimesOut)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Receive().Pause(std::chrono::milliseconds(8000));
    TKZFTP ftp;
    EventLog log(ftp);
    PointAt(ftp, server);
    QElapsedTimer clock;
    clock.start();
    try {
        ftp.Connect();
        FAIL() << "Connect succeeded";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), TKZFTP::ReplyTimedOutText);
    }
    EXPECT_LT(clock.elapsed(), TimeOutMs + 3000);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(server.Transcript(), Transcript{"USER alice"});
    EXPECT_EQ(log.Statuses().back(), "Disconnected");
}

// The server closing in the middle of a multi-line reply ends the operation
// with a failure at once, not with a loop or a wait for the time-out.
TEST(Login, ServerClosingMidReplyFails)
{
    ScriptedFtpServer server;
    server.Send("220-first line of two\r\n").Pause(std::chrono::milliseconds(100)).CloseControl();
    TKZFTP ftp;
    PointAt(ftp, server);
    ftp.TimeOut = 5000;
    QElapsedTimer clock;
    clock.start();
    try {
        ftp.Connect();
        FAIL() << "Connect succeeded";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), TKZFTP::ClosedText);
    }
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_FALSE(ftp.Connected());
}

TEST(Login, ServerClosingBeforeAnyReplyFails)
{
    ScriptedFtpServer server;
    server.Send("220 hi\r\n").Reply("331 pw\r\n").Receive().CloseControl();
    TKZFTP ftp;
    PointAt(ftp, server);
    ftp.TimeOut = 5000;
    EXPECT_THROW(ftp.Connect(), ESockError);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(server.Transcript(), (Transcript{"USER alice", "PASS s3cret-pw"}));
}

// A password asked for (the field empty): a 530 asks again after USER
// again, up to PasswordAsks answers; a cancel sends nothing more, not even
// QUIT; no answer appears in a status text.
TEST(LogIn, AnAskedPasswordIsAskedAgainAfter530AndACancelSendsNothing)
{
    struct Case {
        const char* Name;
        std::vector<std::string> Answers; // "" cancels
        std::vector<std::string> Replies; // after the first 331
        Transcript Expected;
        bool Connected;
    };
    const std::string no = "530 Login incorrect.\r\n", again = "331 password please\r\n";
    const std::vector<Case> cases = {
        {"refused, then right",
         {"wrong-pw", "right-pw"},
         {no, again, "230 logged in\r\n", "221 bye\r\n"},
         {"USER alice", "PASS wrong-pw", "USER alice", "PASS right-pw", "QUIT"},
         true},
        {"cancelled after a refusal",
         {"wrong-pw", ""},
         {no, again},
         {"USER alice", "PASS wrong-pw", "USER alice"},
         false},
        {"refused three times",
         {"a-pw", "b-pw", "c-pw", "d-pw"},
         {no, again, no, again, no, "221 bye\r\n"},
         {"USER alice", "PASS a-pw", "USER alice", "PASS b-pw", "USER alice", "PASS c-pw", "QUIT"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedFtpServer server;
        server.Send("220 ready\r\n").Reply(again);
        for (const std::string& reply : c.Replies)
            server.Reply(reply);
        TKZFTP ftp;
        EventLog log(ftp);
        PointAt(ftp, server);
        ftp.Password.clear();
        std::vector<bool> refused;
        ftp.OnPasswordNeeded = [&](bool previousRefused, std::string& password) {
            refused.push_back(previousRefused);
            password = c.Answers[refused.size() - 1];
            return !password.empty();
        };
        if (c.Connected) {
            ftp.Connect();
            ftp.Disconnect();
        } else {
            EXPECT_ANY_THROW(ftp.Connect());
        }
        // Whatever else the client sent would be recorded meanwhile.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_EQ(server.Transcript(), c.Expected);
        ASSERT_FALSE(refused.empty());
        EXPECT_FALSE(refused.front());
        EXPECT_LE(refused.size(), size_t(TKZFTP::PasswordAsks));
        for (const std::string& answer : c.Answers) {
            if (!answer.empty()) {
                EXPECT_FALSE(AnyContains(log.Statuses(), answer)) << answer;
            }
        }
    }
}
