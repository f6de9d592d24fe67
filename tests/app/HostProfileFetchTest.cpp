// Host profiles with a port and an encoding, through the real window: the
// port reaches the control connection, a bad profile is refused before
// anything is dialled, and the encoding field selects the menu item.
#include "FetchDirFixture.h"

#include "view/SjisMemo.h"
#include "ftp/TKZFTP.h"
#include "tests/support/Ipv6Loopback.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <thread>

namespace {

using namespace std::chrono_literals;

class ProfileFetch : public FetchDirFixture {
protected:
    std::unique_ptr<TForm1> ShownForm(const std::string& ini) { return FetchDirFixture::ShownForm(ini, 5000); }
};

// "日本語ログ" in UTF-8, and as the view holds it (Shift_JIS).
const std::string Utf8Line = "2026-12-07 INFO \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\xAD\xE3\x82\xB0\n";
const std::string SjisLine = "2026-12-07 INFO \x93\xFA\x96\x7B\x8C\xEA\x83\x8D\x83\x4F\r\n";

TEST_F(ProfileFetch, PortFieldReachesTheServerThroughF5)
{
    PyFtpServer server;
    QDir(QString::fromStdString(server.Root())).mkpath("logs");
    server.WriteFile("logs/app.log", Utf8Line);
    const std::string port = std::to_string(server.Port());
    // Fields after the ninth are still ignored.
    auto form = ShownForm("utf:127.0.0.1:user:secret:1:/logs/app.log:" + port +
                          "::UTF8:more:fields\r\n");
    EXPECT_EQ(form->KZFTP1->Port, 21) << "the layout's port until a fetch";
    PressF5(*form);
    EXPECT_EQ(form->KZFTP1->Port, server.Port());
    EXPECT_TRUE(form->Memo1->Text() == SjisLine) << "fetched and shown as UTF-8";
    EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes[0].Text);
}

TEST_F(ProfileFetch, AbsentOrEmptyPortMeans21EvenAfterAProfileWithAPort)
{
    ScriptedFtpServer server;
    server.Send("220 ready\r\n").Reply("331 password\r\n").Reply("230 in\r\n").Reply("250 ok\r\n")
        .Reply("200 binary\r\n").Reply(ScriptedFtpServer::PasvReply(server.DataPort())).AcceptData()
        .Reply("150 here\r\n").SendData("x\n").CloseData().Send("226 done\r\n").Reply("221 bye\r\n");
    // Host 0.0.0.0 is no address: the fetches after the first give up before
    // dialling, so the port they would use is seen without dialling 21.
    auto form = ShownForm("port:127.0.0.1:u:p:1:/d/f.log:" + std::to_string(server.Port()) + "\r\n"
                          "absent:0.0.0.0:u:p:1:/d/f.log\r\n"
                          "empty:0.0.0.0:u:p:1:/d/f.log:\r\n"
                          "all-empty:0.0.0.0:u:p:1:/d/f.log:::\r\n");
    PressF5(*form);
    ASSERT_TRUE(server.WaitScriptDone(5s)) << server.Error();
    EXPECT_EQ(form->KZFTP1->Port, server.Port());
    for (int index : {1, 2, 3}) {
        SCOPED_TRACE(index);
        form->KZFTP1->Port = 4321;
        form->CmbHost->setCurrentIndex(index);
        PressF5(*form);
        EXPECT_EQ(form->KZFTP1->Port, 21);
        EXPECT_FALSE(form->KZFTP1->Connected());
    }
}

TEST_F(ProfileFetch, BadFieldsAreReportedAndNothingIsDialled)
{
    const std::string labels = "本番";
    // Values from the server's own port too: a parser that stopped at the
    // first non-digit, skipped blanks or wrapped at 65536 would dial it.
    auto badValues = [](int port) {
        const std::string p = std::to_string(port);
        return std::vector<std::pair<std::string, std::string>>{
            {"0", ""}, {"65536", ""}, {"21a", ""}, {" 21", ""}, {"-1", ""},
            {p + "a", ""}, {" " + p, ""}, {p + " ", ""}, {std::to_string(65536 + port), ""},
            {p, "ssl"}, {p, "1"}, {p, " "},
        };
    };
    ScriptedFtpServer server(2000ms);
    server.Send("220 ready\r\n");
    for (const auto& [port, security] : badValues(server.Port())) {
        SCOPED_TRACE("port '" + port + "' field 7 '" + security + "'");
        Boxes.clear();
        const std::string extra = security.empty() ? "" : ":" + security;
        auto form = ShownForm(labels + ":127.0.0.1:u:p:1:/d/f.log:" + port + extra + "\r\n");
        // Were the profile not refused, the component would dial this.
        form->KZFTP1->Port = server.Port();
        PressF5(*form);
        ASSERT_EQ(Boxes.size(), 1u);
        const std::string named = "「" + (security.empty() ? port : security) + "」";
        EXPECT_NE(Boxes[0].Text.find("ホスト「本番」"), std::string::npos) << Boxes[0].Text;
        EXPECT_NE(Boxes[0].Text.find(named), std::string::npos) << Boxes[0].Text;
        EXPECT_FALSE(form->KZFTP1->Connected());
        EXPECT_EQ(form->CurrentEncoding, "EUC");
    }
    {
        // A bad start-up profile still starts; its fetch is refused.
        Boxes.clear();
        auto form = ShownForm("e:127.0.0.1:u:p:1:/d/f.log:" + std::to_string(server.Port()) +
                              "::UTF-8\r\n");
        EXPECT_TRUE(Boxes.empty());
        PressF5(*form);
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_NE(Boxes[0].Text.find("「UTF-8」"), std::string::npos) << Boxes[0].Text;
        EXPECT_EQ(form->CurrentEncoding, "EUC") << "the menu is left as it was";
        EXPECT_TRUE(form->EUC1->isChecked());
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(server.ClientConnected()) << "a refused profile dialled the server";
}

// An IPv6 address in brackets reaches the server on ::1 through F5; one
// whose bracket is never closed is refused naming the label, undialled.
TEST_F(ProfileFetch, BracketedIPv6HostThroughF5)
{
    {
        ScriptedFtpServer server(2000ms);
        server.Send("220 ready\r\n");
        auto form = ShownForm("本番:[127.0.0.1:u:p:1:/d/f.log:" + std::to_string(server.Port()) + "\r\n");
        PressF5(*form);
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text, "ホスト「本番」のアドレス「[127.0.0.1」は使えません (角括弧 [ ] が閉じていません)");
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(server.ClientConnected()) << "a refused profile dialled the server";
    }

    SKIP_WITHOUT_IPV6_LOOPBACK();
    PyFtpServer::Options options;
    options.Address = "::1";
    PyFtpServer server(options);
    QDir(QString::fromStdString(server.Root())).mkpath("logs");
    server.WriteFile("logs/app.log", Utf8Line);
    Boxes.clear();
    for (const char* passive : {"1", "0"}) {
        SCOPED_TRACE(passive);
        auto form = ShownForm(std::string("v6:[::1]:user:secret:") + passive + ":/logs/app.log:" +
                              std::to_string(server.Port()) + "::UTF8\r\n");
        PressF5(*form);
        EXPECT_TRUE(form->Memo1->Text() == SjisLine) << "fetched over IPv6";
        EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes[0].Text);
    }
}

TEST_F(ProfileFetch, EncodingFieldSelectsTheMenuItemWhenTheProfileIsChosen)
{
    PyFtpServer server;
    server.WriteFile("a.log", Utf8Line);
    const std::string port = std::to_string(server.Port());
    const std::string account = ":127.0.0.1:user:secret:1:a.log:" + port;
    auto form = ShownForm("utf" + account + "::UTF8\r\n"
                          "plain" + account + "\r\n"
                          "auto" + account + "::自動\r\n");
    // The program chose the start-up profile: its encoding is selected.
    EXPECT_EQ(form->CurrentEncoding, "UTF8");
    EXPECT_TRUE(form->UTF81->isChecked());
    PressF5(*form);
    EXPECT_TRUE(form->Memo1->Text() == SjisLine);

    // The user's own choice then holds for further fetches of that profile.
    form->EUC1Click(form->SJIS1);
    PressF5(*form);
    EXPECT_EQ(form->CurrentEncoding, "SJIS");
    EXPECT_TRUE(form->SJIS1->isChecked());

    // A profile without the field leaves the menu; choosing one with it
    // selects its item before its fetch.
    form->CmbHost->setCurrentIndex(1);
    form->CmbHostChange();
    EXPECT_EQ(form->CurrentEncoding, "SJIS");
    form->CmbHost->setCurrentIndex(2);
    form->CmbHostChange();
    EXPECT_EQ(form->CurrentEncoding, "自動");
    EXPECT_TRUE(form->N3->isChecked());
    EXPECT_TRUE(form->Memo1->Text() == SjisLine) << "detected as UTF-8";
    form->CmbHost->setCurrentIndex(0);
    form->CmbHostChange();
    EXPECT_EQ(form->CurrentEncoding, "UTF8");
    EXPECT_TRUE(form->UTF81->isChecked());
    EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes[0].Text);
}

} // namespace
