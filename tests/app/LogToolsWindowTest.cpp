// Working a log through the window's keys: the filter's toggles and its
// drop-down of recent filters, the marks, and "Save view as…" with its
// failures.
#include "FetchDirFixture.h"

#include "app/Form1.h"
#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"

#include <QComboBox>
#include <QDir>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <sys/resource.h>

namespace {

const char* const OneProfile = "local:127.0.0.1:taro:pw:1:/logs/app.log\r\n";

class LogTools : public FetchDirFixture {
protected:
    void TearDown() override
    {
        Form.reset();
        FetchDirFixture::TearDown();
    }

    void Open(StartupOptions options)
    {
        WriteIni(OneProfile);
        Form = std::make_unique<TForm1>(options);
        Form->show();
        Form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    }

    void ShowFile(const QString& text)
    {
        const std::string bytes = SjisCodec::Encode(text);
        QFile file(WorkDir.filePath(QStringLiteral("app.log")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
        file.close();
        Form->CurrentEncoding = "SJIS";
        Form->ShowLocalFile(file.fileName().toStdString(), 0);
        Form->Memo1->setFocus();
        QCoreApplication::processEvents();
    }

    void Key(QWidget* to, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(to, key, modifiers);
        QCoreApplication::processEvents();
    }

    void Filter(const QString& text)
    {
        Form->EdtGrep->setFocus();
        // Japanese cannot be typed as key events: it is put in as an input
        // method would, then Enter.
        Form->EdtGrep->setText(text);
        Key(Form->EdtGrep, Qt::Key_Return);
    }

    QString Shown() const { return Form->Memo1->ShownText(); }

    void CaretToLine(int line)
    {
        Form->Memo1->SetSelStart(static_cast<int64_t>(Form->Memo1->Lines().Start(line)));
    }

    std::unique_ptr<TForm1> Form;
};

const QString Log = QStringLiteral("10:00 ERROR disk\n10:01 error net\n10:02 ok 接続\n10:03 WARN slow\n10:04 ｴﾗｰ ﾛｸﾞ\n");

TEST_F(LogTools, EachToggleWorksFromItsKeyAndAppliesToTheFilterInForce)
{
    Open(Options());
    ShowFile(Log);
    Key(Form->Memo1, Qt::Key_G, Qt::ControlModifier);
    ASSERT_TRUE(Form->BtnExclude->isVisible());
    Filter(QStringLiteral("error"));
    EXPECT_EQ(Shown(), QStringLiteral("10:00 ERROR disk\n10:01 error net\n")) << "either case by default";

    Key(Form->EdtGrep, Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(Form->BtnMatchCase->isChecked());
    EXPECT_TRUE(Form->MatchCaseFilter1->isChecked());
    EXPECT_EQ(Shown(), QStringLiteral("10:01 error net\n")) << "the case now matters";

    Key(Form->EdtGrep, Qt::Key_X, Qt::AltModifier);
    EXPECT_EQ(Shown(), QStringLiteral("10:00 ERROR disk\n10:02 ok 接続\n10:03 WARN slow\n10:04 ｴﾗｰ ﾛｸﾞ\n"));
    Key(Form->EdtGrep, Qt::Key_C, Qt::AltModifier);
    EXPECT_EQ(Shown(), QStringLiteral("10:02 ok 接続\n10:03 WARN slow\n10:04 ｴﾗｰ ﾛｸﾞ\n"));
    Key(Form->EdtGrep, Qt::Key_X, Qt::AltModifier);

    Key(Form->EdtGrep, Qt::Key_R, Qt::AltModifier);
    ASSERT_TRUE(Form->BtnRegex->isChecked());
    EXPECT_EQ(Shown(), QStringLiteral("10:00 ERROR disk\n10:01 error net\n")) << "the same text as a pattern";
    Key(Form->EdtGrep, Qt::Key_Escape);
    Filter(QStringLiteral("ｴﾗｰ|接続$"));
    EXPECT_EQ(Shown(), QStringLiteral("10:02 ok 接続\n10:04 ｴﾗｰ ﾛｸﾞ\n")) << "half-width kana and Japanese, decoded";
    Filter(QStringLiteral("\\p{Katakana}{3}$"));
    EXPECT_EQ(Shown(), QStringLiteral("10:04 ｴﾗｰ ﾛｸﾞ\n")) << "narrows what is shown";
    Key(Form->EdtGrep, Qt::Key_Escape);
    Filter(QStringLiteral("^10:0[13] (err|warn)"));
    EXPECT_EQ(Shown(), QStringLiteral("10:01 error net\n10:03 WARN slow\n"));

    // A pattern that does not compile says why next to the field and
    // changes nothing.
    Filter(QStringLiteral("ERROR("));
    EXPECT_TRUE(Form->LblGrepError->isVisible());
    EXPECT_FALSE(Form->LblGrepError->text().isEmpty());
    EXPECT_FALSE(Form->LblGrepError->geometry().intersects(Form->CmbGrep->geometry()));
    EXPECT_EQ(Shown(), QStringLiteral("10:01 error net\n10:03 WARN slow\n"));
    QTest::keyClicks(Form->EdtGrep, QStringLiteral(")"));
    EXPECT_FALSE(Form->LblGrepError->isVisible()) << "gone once the text is edited";
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(LogTools, TheDropDownKeepsTheLastTwentyFiltersAcrossStarts)
{
    QTemporaryDir settings;
    ASSERT_TRUE(settings.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    WriteIni(OneProfile);
    StartupOptions options = Options();
    options.RememberGeometry = true;
    Open(options);
    ShowFile(Log);
    Key(Form->Memo1, Qt::Key_G, Qt::ControlModifier);
    for (int i = 0; i < 22; ++i)
        Filter(QStringLiteral("f%1").arg(i % 21));   // f0 comes twice
    Filter(QStringLiteral("10:0"));
    ASSERT_EQ(Form->CmbGrep->count(), TForm1::MaxFilterHistory);
    EXPECT_EQ(Form->CmbGrep->itemText(0), QStringLiteral("10:0"));
    EXPECT_EQ(Form->CmbGrep->itemText(1), QStringLiteral("f0")) << "a repeated filter moves to the front";
    Form->close();
    Form.reset();

    Open(options);
    ASSERT_EQ(Form->CmbGrep->count(), TForm1::MaxFilterHistory);
    EXPECT_EQ(Form->CmbGrep->itemText(0), QStringLiteral("10:0"));
    EXPECT_EQ(Form->CmbGrep->itemText(19), QStringLiteral("f3"));
    EXPECT_TRUE(Form->EdtGrep->text().isEmpty()) << "the field starts empty";
}

TEST_F(LogTools, MarksFollowTheirLinesAndTheKeysWalkThem)
{
    Open(Options());
    ShowFile(Log);
    CaretToLine(1);
    Key(Form->Memo1, Qt::Key_F2, Qt::ControlModifier);
    CaretToLine(3);
    Key(Form->Memo1, Qt::Key_F2, Qt::ControlModifier);
    ASSERT_EQ(Form->Memo1->MarkCount(), 2u);

    // Visible: the bar at the left edge of a marked row only.
    Form->Memo1->viewport()->repaint();
    const QImage shot = Form->Memo1->viewport()->grab().toImage();
    auto edge = [&](int line) {
        const QRect row = Form->Memo1->CaretRect(static_cast<int64_t>(Form->Memo1->Lines().Start(line)));
        return shot.pixelColor(1, row.center().y());
    };
    EXPECT_EQ(edge(1), QColor(90, 155, 255));
    EXPECT_EQ(edge(2), QColor(Qt::black));

    Form->Memo1->SetSelStart(0);
    Key(Form->Memo1, Qt::Key_F2);
    EXPECT_EQ(Form->Memo1->SelStart(), static_cast<int64_t>(Form->Memo1->Lines().Start(1)));
    Key(Form->Memo1, Qt::Key_F2);
    EXPECT_EQ(Form->Memo1->SelStart(), static_cast<int64_t>(Form->Memo1->Lines().Start(3)));
    Key(Form->Memo1, Qt::Key_F2, Qt::ShiftModifier);
    EXPECT_EQ(Form->Memo1->SelStart(), static_cast<int64_t>(Form->Memo1->Lines().Start(1)));

    // Through a filter, its reset, and an encoding chosen anew.
    Key(Form->Memo1, Qt::Key_G, Qt::ControlModifier);
    Filter(QStringLiteral("net"));
    EXPECT_TRUE(Form->Memo1->IsMarked(0));
    Key(Form->EdtGrep, Qt::Key_Escape);
    EXPECT_TRUE(Form->Memo1->IsMarked(1));
    EXPECT_TRUE(Form->Memo1->IsMarked(3));
    Form->EUC1Click(Form->SJIS1);
    Form->EdtGrep->setFocus();
    Key(Form->EdtGrep, Qt::Key_Escape);
    EXPECT_EQ(Form->Memo1->MarkCount(), 2u);

    Key(Form->Memo1, Qt::Key_F2, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Shown(), QStringLiteral("10:01 error net\n10:03 WARN slow\n"));

    // A whole fetch starts with an empty view: no marks.
    Form->Memo1->Clear();
    ShowFile(Log);
    EXPECT_EQ(Form->Memo1->MarkCount(), 0u);
    Key(Form->Memo1, Qt::Key_F2);
    EXPECT_EQ(Form->mnStatus->text(), QStringLiteral("マークなし"));
}

TEST_F(LogTools, CtrlSSavesTheLinesShownInUtf8OrAsTheViewsBytes)
{
    Open(Options());
    QString many;
    for (int i = 0; i < 3000; ++i)
        many += QStringLiteral("%1 %2 接続ｴﾗｰ\r\n").arg(i).arg(i % 3 == 0 ? QStringLiteral("ERROR") : QStringLiteral("ok"));
    ShowFile(many);
    Key(Form->Memo1, Qt::Key_G, Qt::ControlModifier);
    Filter(QStringLiteral("ERROR"));
    QString expected;
    for (int i = 0; i < 3000; i += 3)
        expected += QStringLiteral("%1 ERROR 接続ｴﾗｰ\r\n").arg(i);

    // Ctrl+S: the dialog offers <file>-view.log in the download directory,
    // UTF-8 chosen; Enter saves.
    auto save = [&](const QString& nameFilter) {
        QString offered;
        // The window is active again once a dialog before closed.
        Form->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(Form.get()));
        QTimer::singleShot(0, [&] {
            auto* dialog = Form->findChild<QFileDialog*>(QStringLiteral("SaveViewDialog"));
            ASSERT_TRUE(dialog);
            offered = dialog->selectedFiles().value(0);
            EXPECT_EQ(dialog->selectedNameFilter(), QStringLiteral("UTF-8 (*)"));
            if (!nameFilter.isEmpty())
                dialog->selectNameFilter(nameFilter);
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
        });
        Key(Form->Memo1, Qt::Key_S, Qt::ControlModifier);
        return offered;
    };
    const QString path = WorkDir.filePath(QStringLiteral("app.log-view.log"));
    EXPECT_EQ(save(QString()), path);
    QFile utf8(path);
    ASSERT_TRUE(utf8.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(utf8.readAll()), expected) << "every line shown, not the screenful";
    utf8.close();
    QFile::remove(path);

    save(QStringLiteral("Shift_JIS (*)"));
    QFile sjis(path);
    ASSERT_TRUE(sjis.open(QIODevice::ReadOnly));
    EXPECT_EQ(sjis.readAll().toStdString(), SjisCodec::Encode(expected));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(LogTools, AFailedSaveNamesThePathAndLeavesNothingBehind)
{
    Open(Options());
    ShowFile(QString(200000, u'x') + QStringLiteral("\n"));
    const QString dir = WorkDir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(dir));
    const std::string path = QDir(dir).filePath(QStringLiteral("cut.log")).toStdString();

    // A file size limit stands in for a full disk: the write fails midway.
    struct rlimit was {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = was;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = Form->SaveView(path, true);
    ::setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, oldSignal);

    EXPECT_FALSE(saved);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].Text.find(path), std::string::npos) << Boxes[0].Text;
    EXPECT_TRUE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty())
        << "no part file and no half-written file";

    // A directory that is not there: the same report, nothing made.
    const std::string nowhere = QDir(dir).filePath(QStringLiteral("no/such.log")).toStdString();
    EXPECT_FALSE(Form->SaveView(nowhere, false));
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_NE(Boxes[1].Text.find(nowhere), std::string::npos);
}

} // namespace
