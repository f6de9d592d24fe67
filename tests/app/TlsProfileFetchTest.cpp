// A TLS profile through the real window: a certificate that cannot be
// verified ends F5 with the reason and the fingerprint in the status line,
// and that fingerprint pasted into field 7 fetches the file; Esc ends a
// handshake the server never answers.
#include "FetchDirFixture.h"

#include "view/SjisMemo.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TestCertificates.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

class TlsProfileFetch : public FetchDirFixture {
protected:
    std::unique_ptr<TForm1> ShownForm(const std::string& ini) { return FetchDirFixture::ShownForm(ini, 20000); }
};

TEST_F(TlsProfileFetch, UnverifiableCertificateNamesItsFingerprintWhichThenPinsIt)
{
    TestCertificates certificates;
    PyFtpServer::Options options;
    options.TlsCertificate = certificates.SelfSignedCertificate();
    options.TlsKey = certificates.SelfSignedKey();
    PyFtpServer server(options);
    server.WriteFile("app.log", "secure line\n");
    const std::string fingerprint = TestCertificates::Fingerprint(certificates.SelfSignedCertificate());
    const std::string account = ":127.0.0.1:user:secret:1:app.log:" + std::to_string(server.Port());

    auto form = ShownForm("verified" + account + ":tls\r\n");
    PressF5(*form);
    const std::string status = form->mnStatus->text().toStdString();
    EXPECT_EQ(status, "接続失敗: TLS: 証明書を検証できません (self-signed certificate) SHA-256 " +
                          fingerprint);
    EXPECT_FALSE(form->KZFTP1->Connected());
    EXPECT_FALSE(QFile::exists(WorkDir.filePath("app.log"))) << "nothing was fetched";
    Boxes.clear();

    // The digits from the message, pasted into field 7.
    ASSERT_GT(status.size(), 64u);
    const std::string pasted = status.substr(status.size() - 64);
    form.reset();
    auto pinnedForm = ShownForm("pinned" + account + ":" + pasted + "\r\n");
    PressF5(*pinnedForm);
    EXPECT_EQ(pinnedForm->mnStatus->text().toStdString(), "");
    EXPECT_TRUE(pinnedForm->Memo1->Text() == "secure line\r\n") << pinnedForm->Memo1->Text();
    EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes[0].Text);
}

TEST_F(TlsProfileFetch, EscDuringAStalledHandshakeStopsAtOnceAndSendsNoUserName)
{
    using namespace std::chrono_literals;
    // The server agrees to TLS, then never answers the client's hello.
    ScriptedFtpServer server;
    server.Send("220 ready\r\n").Reply("234 go ahead\r\n").Pause(8s);
    auto form = ShownForm("stalled:127.0.0.1:user:secret:1:app.log:" + std::to_string(server.Port()) +
                          ":tls\r\n");
    QElapsedTimer sinceEsc;
    QTimer::singleShot(500, form.get(), [&] {
        sinceEsc.start();
        QTest::keyClick(form->Memo1, Qt::Key_Escape);
    });
    PressF5(*form);
    ASSERT_TRUE(sinceEsc.isValid()) << "the fetch ended before Esc";
    EXPECT_LT(sinceEsc.elapsed(), 1000) << "the handshake went on after Esc";
    EXPECT_EQ(form->mnStatus->text().toStdString(), "中止");
    EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes[0].Text);
    EXPECT_FALSE(form->KZFTP1->Connected());
    EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"AUTH TLS"}));
    EXPECT_TRUE(form->Button1->isEnabled()) << "the Get button stays disabled after the stop";
}

} // namespace
