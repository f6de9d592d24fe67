// The window's keyboard conventions, the error report's plain text and the
// report of a failed opener of the host list, through real events.
#include "StartupFixture.h"

#include "app/ErrorReport.h"
#include "view/SjisMemo.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QTest>
#include <QTimer>

namespace {

using WindowConventions = StartupFixture;

void WaitFor(const std::function<bool()>& condition, int limitMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < limitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
}

TEST_F(WindowConventions, TabLeavesTheViewAndCtrlASelectsTheViewFromAnyField)
{
    auto form = MakeForm("a:h:u:p:1:/a.log\r\n");
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->Memo1->SetText("one\r\ntwo\r\n");
    form->Memo1->setFocus();
    WaitFor([&] { return form->Memo1->hasFocus(); });
    ASSERT_TRUE(form->Memo1->hasFocus());

    QTest::keyClick(form->Memo1, Qt::Key_Tab);
    EXPECT_TRUE(form->EdtFile->hasFocus()) << "Tab moves to the File field";
    EXPECT_EQ(form->Memo1->Text(), "one\r\ntwo\r\n") << "no tab typed into the view";
    QTest::keyClick(form->EdtFile, Qt::Key_Tab);
    EXPECT_TRUE(form->CmbHost->hasFocus());
    QTest::keyClick(form->CmbHost, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(form->EdtFile->hasFocus());

    // Ctrl+A in the File field selects the view's text, not the field's.
    form->EdtFile->deselect();
    QTest::keyClick(form->EdtFile, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(form->Memo1->SelStart(), 0);
    EXPECT_EQ(form->Memo1->SelLength(), form->Memo1->TextLength());
    EXPECT_FALSE(form->EdtFile->hasSelectedText());
    EXPECT_EQ(form->EdtFile->text(), "/a.log");

    // And from the drop-down and the view itself.
    form->Memo1->SetSelStart(0);
    form->CmbHost->setFocus();
    WaitFor([&] { return form->CmbHost->hasFocus(); });
    QTest::keyClick(form->CmbHost, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(form->Memo1->SelLength(), form->Memo1->TextLength());
    form->Memo1->SetSelStart(0);
    form->Memo1->setFocus();
    WaitFor([&] { return form->Memo1->hasFocus(); });
    QTest::keyClick(form->Memo1, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(form->Memo1->SelLength(), form->Memo1->TextLength());
}

TEST_F(WindowConventions, ErrorReportShowsServerTextAsPlainText)
{
    SetMessageBoxHook({});
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    QTimer closer;
    closer.callOnTimeout([&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            format = box->textFormat();
            box->accept();
        }
    });
    closer.start(20);
    // Markup, Shift_JIS "日本" (not UTF-8) and a control byte inside the line.
    ShowErrorReport("504 <b>bold</b> <img src=x> \x93\xFA\x96\x7B\x07 end\r\n");
    closer.stop();
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(shown, QStringLiteral("504 <b>bold</b> <img src=x> 日本\u2407 end\n"));
}

// A stand-in for the desktop's opener: a script that ends with a status.
void WriteOpener(const QString& dir, int status)
{
    QFile script(dir + QStringLiteral("/xdg-open"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(("#!/bin/sh\nexit " + std::to_string(status) + "\n").c_str());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(WindowConventions, IniFileOpenerThatFailsIsReportedWithThePath)
{
    auto form = MakeForm("a:h:u:p:1:/a.log\r\n");
    const QByteArray oldPath = qgetenv("PATH");
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    qputenv("PATH", bin.path().toLocal8Bit());

    // No opener at all.
    form->inifile1->trigger();
    WaitFor([&] { return !Boxes.empty(); });
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].Text.find(IniFullPath()), std::string::npos) << Boxes[0].Text;
    EXPECT_EQ(Boxes[0].Caption, "wisplog");

    // An opener that ends with a failure status.
    WriteOpener(bin.path(), 4);
    form->inifile1->trigger();
    WaitFor([&] { return Boxes.size() >= 2; });
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_NE(Boxes[1].Text.find(IniFullPath()), std::string::npos) << Boxes[1].Text;
    EXPECT_NE(Boxes[1].Text.find(" 4 "), std::string::npos) << Boxes[1].Text;

    // One that succeeds: nothing to say.
    WriteOpener(bin.path(), 0);
    form->inifile1->trigger();
    WaitFor([] { return QCoreApplication::instance()->findChildren<QProcess*>().isEmpty(); });
    EXPECT_TRUE(QCoreApplication::instance()->findChildren<QProcess*>().isEmpty()) << "the opener ended";
    EXPECT_EQ(Boxes.size(), 2u);
    qputenv("PATH", oldPath);
}

} // namespace
