// Daily use of the window through real key events on the offscreen window:
// find in both directions and by whole word, the line filter reachable from
// the Edit menu, highlighted error and warning lines, the title, the panel
// layout, the end of the text kept through a resize, the remembered geometry,
// Enter in the File field and the encoding menu's single mark.
#include "FetchDirFixture.h"

#include "app/FindDialog.h"
#include "app/FindOptionsCommands.h"
#include "view/LogHighlighter.h"
#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"
#include "app/WindowKeeper.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QTest>
#include <QToolButton>
#include <QComboBox>

#include <string>

namespace {

const char* const OneProfile = "local:127.0.0.1:taro:pw:1:/logs/app.log\r\n";

// Lines "line N" with marks put on some of them.
std::string Lines(int count, const std::function<std::string(int)>& mark)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "line " + std::to_string(i) + mark(i) + "\r\n";
    return text;
}

class DailyUse : public FetchDirFixture {
protected:
    void TearDown() override
    {
        Form.reset();
        FetchDirFixture::TearDown();
    }

    void Open(const std::string& ini = OneProfile)
    {
        Form = MakeForm(ini);
        ASSERT_TRUE(Form);
        Form->show();
        Form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    }

    // Writes a local file and shows it as a fetch would (caret at the end).
    void ShowFile(const std::string& bytes, int tail = 0, const std::string& encoding = "EUC")
    {
        QFile file(WorkDir.filePath(QStringLiteral("shown.log")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
        file.close();
        Form->CurrentEncoding = encoding;
        Form->ShowLocalFile(file.fileName().toStdString(), tail);
        Form->Memo1->setFocus();
        QCoreApplication::processEvents();
    }

    void Key(QWidget* to, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(to, key, modifiers);
        QCoreApplication::processEvents();
    }

    std::pair<int64_t, int64_t> Selection() const { return {Form->Memo1->SelStart(), Form->Memo1->SelLength()}; }

    std::unique_ptr<TForm1> Form;
};

using Sel = std::pair<int64_t, int64_t>;

TEST_F(DailyUse, FindKeysStartWithWhatIsOnScreenAfterADisplayAndWalkBothWays)
{
    Open();
    // One "needle" far above the screen, two on the last lines.
    const std::string text = Lines(400, [](int i) { return i == 5 || i == 396 || i == 398 ? " needle" : ""; });
    ShowFile(text);
    const auto first = static_cast<int64_t>(text.find("needle"));
    const auto second = static_cast<int64_t>(text.find("needle", first + 1));
    const auto third = static_cast<int64_t>(text.find("needle", second + 1));
    ASSERT_EQ(Form->Memo1->SelStart(), Form->Memo1->TextLength());

    // Ctrl+F opens the dialog with the focus in its find text; Enter finds.
    Key(Form->Memo1, Qt::Key_F, Qt::ControlModifier);
    FindDialog* dialog = Form->FindDialog1;
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->DownButton->isChecked()) << "Down stays the default";
    QTest::keyClicks(dialog->FindEdit, QStringLiteral("needle"));
    Key(dialog->FindEdit, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(Selection(), Sel(second, 6)) << "the one on screen, not the one far above";
    EXPECT_TRUE(Boxes.empty());

    Key(Form->Memo1, Qt::Key_F3);
    EXPECT_EQ(Selection(), Sel(third, 6));
    Key(Form->Memo1, Qt::Key_F3);
    ASSERT_EQ(Boxes.size(), 1u) << "nothing further down";
    EXPECT_EQ(Boxes[0].Text, "なし");
    EXPECT_EQ(Boxes[0].Caption, "検索");

    // Shift+F3 walks upward: from the end past the last two to the first.
    Form->Memo1->SetSelStart(Form->Memo1->TextLength());
    Key(Form->Memo1, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(Selection(), Sel(third, 6));
    Key(Form->Memo1, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(Selection(), Sel(second, 6));
    Key(Form->Memo1, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(Selection(), Sel(first, 6));
    EXPECT_TRUE(Form->Memo1->viewport()->rect().contains(Form->Memo1->CaretRect(Form->Memo1->SelStart() + Form->Memo1->SelLength()).center()));
    Key(Form->Memo1, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(Boxes.size(), 2u) << "nothing further up";
    EXPECT_EQ(Form->Memo1->Text(), text) << "searches never change the text";
}

TEST_F(DailyUse, TheDialogsUpAndWholeWordOptionsSearchAndItKeepsClearOfTheMatch)
{
    Open();
    const std::string text = Lines(60, [](int i) {
        return i == 10 ? " ERRORS" : i == 20 ? " ERROR:" : i == 30 ? " XERROR" : i == 40 ? " (error)" : "";
    });
    ShowFile(text);
    const auto word1 = static_cast<int64_t>(text.find("ERROR:"));
    const auto word2 = static_cast<int64_t>(text.find("error)"));
    FindDialog* dialog = Form->FindDialog1;

    Key(Form->Memo1, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(dialog->FindEdit, QStringLiteral("error"));
    // Alt+W and Alt+U are the dialog's own mnemonics for its options.
    QTest::mouseClick(dialog->WholeWordBox, Qt::LeftButton);
    QTest::mouseClick(dialog->UpButton, Qt::LeftButton);
    ASSERT_TRUE(dialog->WholeWordBox->isChecked());
    ASSERT_TRUE(dialog->UpButton->isChecked());
    Key(dialog->FindEdit, Qt::Key_Return);
    EXPECT_EQ(Selection(), Sel(word2, 5));
    Key(Form->Memo1, Qt::Key_F3);               // the dialog's direction: up
    EXPECT_EQ(Selection(), Sel(word1, 5));
    Key(Form->Memo1, Qt::Key_F3);
    EXPECT_EQ(Boxes.size(), 1u) << "ERRORS is not the whole word";

    // Opening the dialog again: it does not cover the selected match's line.
    Form->Memo1->SetSelStart(word1);
    Form->Memo1->SetSelLength(5);
    QCoreApplication::processEvents();
    const QRect match = MatchArea(*Form->Memo1);
    ASSERT_FALSE(match.isEmpty());
    Key(Form->Memo1, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->frameGeometry().intersects(match));

    // F3 and Shift+F3 reach the window's commands from the dialog as well,
    // and hand the keys back to the window.
    QTest::mouseClick(dialog->DownButton, Qt::LeftButton);
    Key(dialog->FindEdit, Qt::Key_F3);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(Selection(), Sel(word2, 5));
    Key(Form->Memo1, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(dialog->isVisible());
    Key(dialog->FindEdit, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(Selection(), Sel(word1, 5));
    EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(DailyUse, CtrlGShowsTheFilterWhichAppliesOnEnterAndResetsOnEscapeOrEmpty)
{
    Open();
    const std::string text = "10:00 ERROR disk\r\n10:01 ok\r\n10:02 ERROR net\r\n";
    ShowFile(text);
    EXPECT_FALSE(Form->EdtGrep->isVisible());

    Key(Form->Memo1, Qt::Key_G, Qt::ControlModifier);
    ASSERT_TRUE(Form->EdtGrep->isVisible());
    ASSERT_TRUE(Form->Button2->isVisible());
    EXPECT_TRUE(Form->EdtGrep->hasFocus());
    for (QWidget* w : {static_cast<QWidget*>(Form->EdtGrep), static_cast<QWidget*>(Form->Button2),
                       static_cast<QWidget*>(Form->EdtFile)}) {
        EXPECT_FALSE(w->geometry().intersects(Form->Button1->geometry())) << w->objectName().toStdString();
        EXPECT_GE(w->x(), 0);
        EXPECT_LT(w->geometry().right(), Form->Panel1->width()) << w->objectName().toStdString();
    }
    EXPECT_FALSE(Form->EdtFile->geometry().intersects(Form->EdtGrep->geometry()));

    QTest::keyClicks(Form->EdtGrep, QStringLiteral("ERROR"));
    Key(Form->EdtGrep, Qt::Key_Return);
    EXPECT_EQ(Form->Memo1->Text(), "10:00 ERROR disk\r\n10:02 ERROR net\r\n");
    Key(Form->EdtGrep, Qt::Key_Escape);
    EXPECT_TRUE(Form->EdtGrep->text().isEmpty());
    EXPECT_EQ(Form->Memo1->Text(), text) << "Esc shows the whole text again";

    QTest::keyClicks(Form->EdtGrep, QStringLiteral("net"));
    Key(Form->EdtGrep, Qt::Key_Return);
    EXPECT_EQ(Form->Memo1->Text(), "10:02 ERROR net\r\n");
    Form->EdtGrep->clear();
    Key(Form->EdtGrep, Qt::Key_Return);
    EXPECT_EQ(Form->Memo1->Text(), text) << "an empty filter shows the whole text again";

    Key(Form->EdtGrep, Qt::Key_G, Qt::ControlModifier);
    EXPECT_FALSE(Form->EdtGrep->isVisible());
    EXPECT_FALSE(Form->Button2->isVisible());
    EXPECT_TRUE(Form->Memo1->hasFocus());
    EXPECT_EQ(Form->EdtFile->geometry(), QRect(222, 0, 363, 20)) << "the File field takes its room back";
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(DailyUse, ErrorAndWarningLinesAreColouredOnScreenOnly)
{
    EXPECT_EQ(LogHighlighter::ToneOf(u"x ERROR y"), LogHighlighter::Tone::Error);
    EXPECT_EQ(LogHighlighter::ToneOf(u"FATAL"), LogHighlighter::Tone::Error);
    EXPECT_EQ(LogHighlighter::ToneOf(u"CRITICAL"), LogHighlighter::Tone::Error);
    EXPECT_EQ(LogHighlighter::ToneOf(u"接続エラー"), LogHighlighter::Tone::Error);
    EXPECT_EQ(LogHighlighter::ToneOf(u"温度異常"), LogHighlighter::Tone::Error);
    EXPECT_EQ(LogHighlighter::ToneOf(u"WARN: ERROR too"), LogHighlighter::Tone::Warning) << "its level alone";
    EXPECT_EQ(LogHighlighter::ToneOf(u"WARNING"), LogHighlighter::Tone::Warning);
    EXPECT_EQ(LogHighlighter::ToneOf(u"容量警告"), LogHighlighter::Tone::Warning);
    EXPECT_EQ(LogHighlighter::ToneOf(u"error, warn"), LogHighlighter::Tone::None);
    EXPECT_EQ(LogHighlighter::ToneOf(u""), LogHighlighter::Tone::None);

    Open();
    const QString shown = QStringLiteral("ok\r\n12:00 エラー 接続\r\n12:01 WARN slow\r\n12:02 ok\r\n");
    const std::string bytes = SjisCodec::Encode(shown);
    ShowFile(bytes, 0, "SJIS");
    Form->Memo1->SetSelStart(5);
    Form->Memo1->viewport()->repaint();
    // The error line red, the warning line yellow, the others white.
    const QImage shot = Form->Memo1->viewport()->grab().toImage();
    auto count = [&](int line, auto test) {
        const QRect row = Form->Memo1->CaretRect(static_cast<int64_t>(Form->Memo1->Lines().Start(line)));
        int n = 0;
        for (int y = row.top(); y <= row.bottom(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                n += test(shot.pixelColor(x, y));
        return n;
    };
    auto red = [](QColor c) { return c.red() > 200 && c.green() < 128 && c.blue() < 128; };
    auto yellow = [](QColor c) { return c.red() > 200 && c.green() > 200 && c.blue() < 128; };
    EXPECT_GT(count(1, red), 0);
    EXPECT_EQ(count(1, yellow), 0);
    EXPECT_GT(count(2, yellow), 0);
    EXPECT_EQ(count(2, red), 0);
    EXPECT_EQ(count(0, red) + count(0, yellow), 0);

    // The pixels of the error line are red, those of the plain line white.
    const QImage image = Form->Memo1->viewport()->grab().toImage();
    auto tones = [&](int block) {
        const QRect row = Form->Memo1->CaretRect(static_cast<int64_t>(Form->Memo1->Lines().Start(block)));
        int reddish = 0, whitish = 0;
        for (int y = row.top(); y <= row.bottom(); ++y)
            for (int x = 0; x < std::min(image.width(), 200); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() > 150 && c.green() < 120 && c.blue() < 120)
                    ++reddish;
                if (c.red() > 150 && c.green() > 150 && c.blue() > 150)
                    ++whitish;
            }
        return std::make_pair(reddish, whitish);
    };
    EXPECT_GT(tones(1).first, 0);
    EXPECT_EQ(tones(3).first, 0);
    EXPECT_GT(tones(3).second, 0);

    // Display only: bytes, positions and search as they were.
    EXPECT_EQ(Form->Memo1->Text(), bytes);
    EXPECT_EQ(Form->Memo1->SelStart(), 5);
    Form->FindDialog1->SetFindText(QStringLiteral("WARN"));
    Form->Memo1->SetSelStart(0);
    Key(Form->Memo1, Qt::Key_F3);
    EXPECT_EQ(Selection(), Sel(static_cast<int64_t>(bytes.find("WARN")), 4));
}

TEST_F(DailyUse, TheFileFieldWidensWithTheWindowAndNothingIsCutOff)
{
    Open();
    auto check = [&](const char* when) {
        const int width = Form->Panel1->width();
        EXPECT_EQ(Form->Button1->geometry().right(), width - 14) << when;
        const QWidget* next = Form->CmbGrep->isVisible() ? static_cast<QWidget*>(Form->CmbGrep) : Form->Button1;
        EXPECT_EQ(Form->EdtFile->geometry().right(), next->x() - 4) << when;
        // Left to right without overlaps, the last one inside the panel.
        int right = -1;
        for (QWidget* w : {static_cast<QWidget*>(Form->Label1), static_cast<QWidget*>(Form->CmbHost),
                           static_cast<QWidget*>(Form->Label2), static_cast<QWidget*>(Form->EdtFile),
                           static_cast<QWidget*>(Form->CmbGrep), static_cast<QWidget*>(Form->BtnExclude),
                           static_cast<QWidget*>(Form->BtnRegex), static_cast<QWidget*>(Form->BtnMatchCase),
                           static_cast<QWidget*>(Form->Button2), static_cast<QWidget*>(Form->Button1)}) {
            if (!w->isVisible())
                continue;
            EXPECT_GT(w->x(), right) << when << " " << w->objectName().toStdString();
            right = w->geometry().right();
        }
        EXPECT_LT(right, width) << when;
    };
    EXPECT_EQ(Form->EdtFile->geometry(), QRect(222, 0, 363, 20));
    Form->resize(900, Form->height());
    QCoreApplication::processEvents();
    EXPECT_EQ(Form->Panel1->width(), 900);
    EXPECT_EQ(Form->EdtFile->width(), 363 + 900 - 632);
    check("wide");
    Key(Form->Memo1, Qt::Key_G, Qt::ControlModifier);
    check("wide with the filter");
    Key(Form->EdtGrep, Qt::Key_G, Qt::ControlModifier);
    Form->resize(300, Form->height());
    QCoreApplication::processEvents();
    EXPECT_EQ(Form->width(), 632) << "no narrower than the layout";
    check("narrowest");
    EXPECT_EQ(Form->EdtFile->geometry(), QRect(222, 0, 363, 20));
    EXPECT_EQ(Form->Button1->geometry(), QRect(588, 0, 31, 19));
}

TEST_F(DailyUse, TheEndOfTheTextStaysInSightThroughAResize)
{
    Open();
    Form->resize(900, 300);
    QCoreApplication::processEvents();
    // Long lines, so that narrowing the window wraps them into more lines.
    ShowFile(Lines(300, [](int) { return std::string(120, 'x'); }));
    SjisMemo* memo = Form->Memo1;
    auto endShown = [memo] {
        const QRect end = memo->CaretRect(memo->TextLength());
        return memo->viewport()->rect().contains(end.center());
    };
    ASSERT_TRUE(endShown());
    for (QSize size : {QSize(900, 180), QSize(640, 180), QSize(640, 400), QSize(1000, 160)}) {
        Form->resize(size);
        QTest::qWait(50);
        EXPECT_TRUE(endShown()) << size.width() << "x" << size.height();
    }

    // A view that does not show the end is left where it is.
    QScrollBar* bar = memo->verticalScrollBar();
    bar->setValue(0);
    Form->resize(700, 200);
    QTest::qWait(50);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(endShown());
}

TEST_F(DailyUse, SizeAndPositionAreRememberedBetweenRuns)
{
    QTemporaryDir settings;
    ASSERT_TRUE(settings.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    WriteIni(OneProfile);
    StartupOptions options = Options();
    options.RememberGeometry = true;
    {
        TForm1 first(options);
        first.show();
        first.setGeometry(40, 50, 760, 333);
        QCoreApplication::processEvents();
        const QRect was = first.geometry();
        first.close();
        TForm1 second(options);
        EXPECT_EQ(second.geometry().size(), was.size());
        EXPECT_EQ(second.geometry().topLeft(), was.topLeft());
    }
    EXPECT_TRUE(QFile::exists(settings.filePath(QStringLiteral("wisplog/wisplog.conf"))));
}

TEST_F(DailyUse, EnterInTheFileFieldFetchesAndTheTitleNamesWhatIsShown)
{
    PyFtpServer server;
    QDir(QString::fromStdString(server.Root())).mkpath("logs");
    // EUC-JP: "日本語ログ" and "エラー" (A5A8 A5E9 A1BC).
    server.WriteFile("logs/euc.log", "10:00 start\n10:01 \xC6\xFC\xCB\xDC\xB8\xEC\xA5\xED\xA5\xB0\n"
                                     "10:02 \xA5\xA8\xA5\xE9\xA1\xBC timeout\n");
    server.WriteFile("logs/other.log", "plain\n");
    Open("デモ EUC-JP:127.0.0.1:" + server.User() + ":" + server.Password() + ":1:/logs/euc.log:" +
         std::to_string(server.Port()) + "\r\n");
    Form->KZFTP1->TimeOut = 5000;
    EXPECT_EQ(Form->windowTitle(), "wisplog");

    // "自動" through the menu's keys: File, 漢字ｺｰﾄﾞ, then its sixth item.
    Form->N2->popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form->N2));
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(Form->N2, Qt::Key_Down);
    QTest::keyClick(Form->N2, Qt::Key_Return);
    QCoreApplication::processEvents();
    ASSERT_EQ(Form->CurrentEncoding, "自動");

    Form->EdtFile->setFocus();
    Key(Form->EdtFile, Qt::Key_Return);
    EXPECT_NE(Form->Memo1->Text().find("timeout"), std::string::npos) << "Enter fetched";
    EXPECT_EQ(Form->windowTitle(), "wisplog - デモ EUC-JP - /logs/euc.log [EUC-JP]");

    // The filter's reset keeps naming the fetched file.
    Form->EdtFile->setText(QStringLiteral("/logs/other.log"));
    Form->EdtGrep->setText(QString());
    Form->Button2->click();
    EXPECT_EQ(Form->windowTitle(), "wisplog - デモ EUC-JP - /logs/euc.log [EUC-JP]");

    Form->SJIS1->trigger();
    Key(Form->EdtFile, Qt::Key_Return);
    EXPECT_EQ(Form->Memo1->Text(), "plain\r\n");
    EXPECT_EQ(Form->windowTitle(), "wisplog - デモ EUC-JP - /logs/other.log [Shift_JIS]");

    // A failed display keeps the box's own caption.
    Form->ShowLocalFile(WorkDir.filePath(QStringLiteral("missing.log")).toStdString(), 0);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Caption, "読込");
}

TEST_F(DailyUse, TheEditMenuUndoesTheViewsEditsAndTheFieldsKeepTheirOwn)
{
    Open();
    ShowFile("first\r\nsecond\r\n");
    const QList<QAction*> items = Form->Edit1->actions();
    ASSERT_GE(items.size(), 2);
    EXPECT_EQ(items[0], Form->Undo1);
    EXPECT_EQ(items[1], Form->Redo1);
    EXPECT_EQ(Form->Undo1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));

    Key(Form->Memo1, Qt::Key_Backspace);
    ASSERT_EQ(Form->Memo1->Text(), "first\r\nsecond");
    QMetaObject::invokeMethod(Form->Edit1, "aboutToShow");
    EXPECT_TRUE(Form->Undo1->isEnabled());
    EXPECT_FALSE(Form->Redo1->isEnabled());
    QMetaObject::invokeMethod(Form->Edit1, "aboutToHide");
    Form->Undo1->trigger();
    EXPECT_EQ(Form->Memo1->Text(), "first\r\nsecond\r\n");
    Form->Redo1->trigger();
    EXPECT_EQ(Form->Memo1->Text(), "first\r\nsecond");

    // Ctrl+Z in the File field undoes the typing there, not the view's edit.
    Form->EdtFile->setFocus();
    Form->EdtFile->setText(QStringLiteral("/logs/app.log"));
    QTest::keyClicks(Form->EdtFile, QStringLiteral("x"));
    Key(Form->EdtFile, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Form->EdtFile->text(), QStringLiteral("/logs/app.log"));
    EXPECT_EQ(Form->Memo1->Text(), "first\r\nsecond");
}

TEST_F(DailyUse, TheEncodingMenuMarksOnlyWhatIsInForce)
{
    Open();
    auto marked = [&] {
        std::vector<std::string> names;
        for (QAction* a : Form->N2->actions())
            if (a->isChecked())
                names.push_back(a->text().toStdString());
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(marked(), Names{"EUC"});
    // Each choice by the menu's keys: Down to the item from the top, Return.
    auto choose = [&](int index) {
        Form->N2->popup(QPoint(0, 0));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form->N2));
        for (int i = 0; i <= index; ++i)
            QTest::keyClick(Form->N2, Qt::Key_Down);
        QTest::keyClick(Form->N2, Qt::Key_Return);
        QCoreApplication::processEvents();
    };
    choose(5);
    EXPECT_EQ(marked(), Names{"自動"});
    EXPECT_EQ(Form->CurrentEncoding, "自動");
    choose(4);
    EXPECT_EQ(marked(), Names{"SJIS"});
    EXPECT_EQ(Form->CurrentEncoding, "SJIS");
    choose(4);                                   // chosen again: keeps its mark
    EXPECT_EQ(marked(), Names{"SJIS"});
    choose(5);
    choose(5);
    EXPECT_EQ(marked(), Names{"自動"});
    choose(0);
    EXPECT_EQ(marked(), Names{"JIS"});
    EXPECT_EQ(Form->CurrentEncoding, "JIS");
}

} // namespace
