// The line filter ("&Grep"), the encoding menu, "Select &All" and "E&xit".
#include "StartupFixture.h"

#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"

#include <QAction>
#include <QActionGroup>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QKeyEvent>
#include <QPushButton>
#include <QToolButton>
#include <QTimer>

#include <cstdio>
#include <string>

namespace {

const char* const OneProfile = "local:127.0.0.1:taro:pw:1:/logs/app.log\r\n";

class FilterWindow : public StartupFixture {
protected:
    void SetUp() override
    {
        StartupFixture::SetUp();
        Form = MakeForm(OneProfile);
        ASSERT_TRUE(Form);
        // These cases are about the exact bytes: letters in their case.
        Form->BtnMatchCase->setChecked(true);
    }

    void Grep(const QString& text)
    {
        Form->EdtGrep->setText(text);
        Form->Button2->click();     // hidden, as laid out, but bound
    }

    std::string WriteFile(const char* name, const std::string& bytes)
    {
        QFile file(Dir.filePath(QString::fromUtf8(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
        return file.fileName().toStdString();
    }

    std::unique_ptr<TForm1> Form;
};

// The users' patterns on 100 MB of lines each costs them a few milliseconds
// to decide, and with a line among them they backtrack on without end.
TEST_F(FilterWindow, NoPatternHoldsTheWindowEscStopsItAndTooComplexIsSaid)
{
    struct Case {
        QString Pattern;
        std::string Slow; // decided, in about a millisecond or two
        std::string Bad;  // beyond the work one line may take
    };
    const std::vector<Case> cases = {
        {u"(a+)+$"_qs, std::string(18, 'a') + "b", std::string(26, 'a') + "b"},
        {u"(\\w+\\s?)+$"_qs, "the quick brown fox.", "The quick brown fox jumps over the lazy dog again."},
    };
    Form->BtnRegex->setChecked(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Pattern.toStdString());
        std::string text;
        text.reserve(100u << 20);
        while (text.size() < (100u << 20))
            text += c.Slow + "\r\n";
        Form->Memo1->SetText(text);
        QElapsedTimer indexing;
        indexing.start();
        while (Form->Memo1->Indexing() && indexing.elapsed() < 60000)
            QCoreApplication::processEvents();

        // The window's timers go on while the filter runs.
        QElapsedTimer sinceTick;
        qint64 longest = 0;
        QTimer heartbeat;
        heartbeat.setInterval(10);
        QObject::connect(&heartbeat, &QTimer::timeout,
                         [&] { longest = std::max(longest, sinceTick.restart()); });
        sinceTick.start();
        heartbeat.start();
        QElapsedTimer sinceEsc;
        QTimer::singleShot(600, Form.get(), [&] {
            sinceEsc.start();
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(Form->EdtGrep, &esc);
        });
        QTimer::singleShot(20000, Form.get(), [&] { Form->Memo1->StopSearch(); }); // bounds a failure
        Grep(c.Pattern);
        const qint64 stopped = sinceEsc.isValid() ? sinceEsc.elapsed() : -1;
        heartbeat.stop();
        std::printf("%s: timers stopped at most %lld ms, Esc took %lld ms\n", c.Pattern.toUtf8().constData(),
                    static_cast<long long>(longest), static_cast<long long>(stopped));
        EXPECT_GE(stopped, 0);
        EXPECT_LT(stopped, 200) << "Esc ends the filter";
        EXPECT_LT(longest, 250) << "the longest the timers stopped";
        EXPECT_EQ(Form->Memo1->TextLength(), int64_t(text.size())) << "the view stays as it was";
        EXPECT_TRUE(Form->LblGrepError->isHidden());

        // A line too complex among them: said beside the field, the view
        // as it was.
        text.insert(100 * (c.Slow.size() + 2), c.Bad + "\r\n");
        Form->Memo1->SetText(text);
        while (Form->Memo1->Indexing() && indexing.elapsed() < 120000)
            QCoreApplication::processEvents();
        Grep(c.Pattern);
        EXPECT_FALSE(Form->LblGrepError->isHidden());
        EXPECT_EQ(Form->LblGrepError->text(), u"パターンが複雑すぎます"_qs);
        EXPECT_EQ(Form->Memo1->TextLength(), int64_t(text.size()));
        Form->EdtGrep->clear();
        Form->LblGrepError->setVisible(false);
    }
}

TEST_F(FilterWindow, KeepsTheLinesHoldingTheTextAndNarrowsFurther)
{
    Form->Memo1->SetText("10:00 ERROR disk full\r\n10:01 error: case differs\r\n\r\n"
                         "10:02 ok\r\n10:03 ERROR net down\r\n10:04 ERROR disk again");
    Grep(QStringLiteral("ERROR"));
    EXPECT_EQ(Form->Memo1->Text(),
              "10:00 ERROR disk full\r\n10:03 ERROR net down\r\n10:04 ERROR disk again");
    Grep(QStringLiteral("disk"));
    EXPECT_EQ(Form->Memo1->Text(), "10:00 ERROR disk full\r\n10:04 ERROR disk again");
    Grep(QStringLiteral("nowhere"));
    EXPECT_EQ(Form->Memo1->Text(), "");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(FilterWindow, LeavesWhatDeletingTheOtherLinesOneByOneLeaves)
{
    const std::string text = SjisCodec::Encode(QStringLiteral(
        "\r\nERROR 表\r\nerror\rERROR ソ\n\r\nok ERROR\r\nlast error"));
    for (const int64_t caret : {int64_t(0), int64_t(5), int64_t(9), int64_t(text.size())}) {
        // The reference: the view's own line deletion, one line at a time.
        Form->Memo1->SetText(text);
        Form->Memo1->SetSelStart(caret);
        for (int i = 0; i < Form->Memo1->LineCount();) {
            if (Form->Memo1->Line(i).find("ERROR") != std::string::npos)
                ++i;
            else
                Form->Memo1->DeleteLine(i);
        }
        const std::string expected = Form->Memo1->Text();
        const int64_t expectedCaret = Form->Memo1->SelStart();

        Form->Memo1->SetText(text);
        Form->Memo1->SetSelStart(caret);
        Grep(QStringLiteral("ERROR"));
        EXPECT_EQ(Form->Memo1->Text(), expected) << caret;
        EXPECT_EQ(Form->Memo1->SelStart(), expectedCaret) << caret;
    }
}

TEST_F(FilterWindow, AFirstByteShownAloneStaysAloneWithItsLine)
{
    // What a tail cut through 表 leaves: its trail byte, shown on its own.
    const std::string cut = "\x5C" "n ERROR\r\nok\r\n";
    Form->Memo1->SetText(cut, true);
    const QString shown = Form->Memo1->ShownText();
    Grep(QStringLiteral("ERROR"));
    EXPECT_EQ(Form->Memo1->Text(), "\x5C" "n ERROR\r\n");
    EXPECT_EQ(Form->Memo1->ShownText(), shown.left(shown.indexOf(u'\n') + 1));
}

TEST_F(FilterWindow, JapaneseFilterTextSkipsTrailBytes)
{
    // ソ is 83 5C: its trail byte is no backslash of the filter's.
    const std::string lines = SjisCodec::Encode(QStringLiteral("ソフト\r\nC:\\temp エラー\r\nエラー\r\n"));
    Form->Memo1->SetText(lines);
    Grep(QStringLiteral("\\"));
    EXPECT_EQ(Form->Memo1->Text(), SjisCodec::Encode(QStringLiteral("C:\\temp エラー\r\n")));
    Form->Memo1->SetText(lines);
    Grep(QStringLiteral("エラー"));
    EXPECT_EQ(Form->Memo1->Text(), SjisCodec::Encode(QStringLiteral("C:\\temp エラー\r\nエラー\r\n")));
}

TEST_F(FilterWindow, AnEmptyFilterShowsTheFileAgainWithTheEncodingChosenNow)
{
    // 日本語 ERROR / 情報 in EUC-JP.
    const std::string euc = "\xC6\xFC\xCB\xDC\xB8\xEC ERROR\r\n\xBE\xF0\xCA\xF3 ok\r\n";
    const std::string path = WriteFile("euc.log", euc);
    ASSERT_EQ(Form->CurrentEncoding, "EUC");
    Form->ShowLocalFile(path, 0);
    const std::string asSjis = SjisCodec::Encode(QStringLiteral("日本語 ERROR\r\n情報 ok\r\n"));
    EXPECT_EQ(Form->Memo1->Text(), asSjis);

    Grep(QStringLiteral("ERROR"));
    EXPECT_EQ(Form->Memo1->Text(), SjisCodec::Encode(QStringLiteral("日本語 ERROR\r\n")));
    Grep(QString());
    EXPECT_EQ(Form->Memo1->Text(), asSjis);

    // "SJIS" shows the file unconverted: the EUC bytes as they are.
    Form->SJIS1->trigger();
    Grep(QString());
    EXPECT_EQ(Form->Memo1->Text(), euc);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(FilterWindow, AnEmptyFilterBeforeAnyDisplayShowsTheFailureBox)
{
    ASSERT_TRUE(Form->LastFile.empty());
    Grep(QString());
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "失敗");
    EXPECT_EQ(Boxes[0].Caption, "読込");
    EXPECT_EQ(Boxes[0].Flags, 0x10u);
    EXPECT_EQ(Form->Memo1->Text(), "");
}

TEST_F(FilterWindow, TheEncodingMenuMarksOnlyTheChoiceInForce)
{
    Form->Memo1->SetText("shown before");
    Form->N3->trigger();
    EXPECT_EQ(Form->CurrentEncoding, "自動");
    EXPECT_TRUE(Form->N3->isChecked());
    EXPECT_FALSE(Form->EUC1->isChecked());

    Form->SJIS1->trigger();
    EXPECT_EQ(Form->CurrentEncoding, "SJIS");
    EXPECT_TRUE(Form->SJIS1->isChecked());
    EXPECT_FALSE(Form->N3->isChecked());
    for (QAction* other : {Form->JIS1, Form->EUC1, Form->UTF81, Form->Unicode1})
        EXPECT_FALSE(other->isChecked()) << other->text().toStdString();

    // Choosing a checked item again keeps its mark, "自動" included.
    Form->N3->trigger();
    Form->N3->trigger();
    EXPECT_TRUE(Form->N3->isChecked());
    Form->SJIS1->trigger();
    Form->SJIS1->trigger();
    EXPECT_FALSE(Form->N3->isChecked());
    EXPECT_TRUE(Form->SJIS1->isChecked());

    // The choice applies to the next display only.
    Form->Unicode1->trigger();
    EXPECT_EQ(Form->CurrentEncoding, "Unicode");
    EXPECT_EQ(Form->Memo1->Text(), "shown before");
}

TEST_F(FilterWindow, SelectAllSelectsTheWholeText)
{
    Form->Memo1->SetText("two\r\nlines");
    Form->SelectAll1->trigger();
    EXPECT_EQ(Form->Memo1->SelStart(), 0);
    EXPECT_EQ(Form->Memo1->SelLength(), 10);
}

TEST_F(FilterWindow, ExitClosesTheWindowAndEndsTheMessageLoop)
{
    Form->show();
    QTimer::singleShot(0, Form->Exit1, &QAction::trigger);
    // Bounded: if Exit did not end the loop, this ends it with another code.
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(Form->isVisible());
}

} // namespace
