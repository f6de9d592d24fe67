// "&Find", "Find &Next" and the find dialog over the text view, driven
// through the window's own menu items and dialog buttons.
#include "StartupFixture.h"

#include "app/FindDialog.h"
#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"

#include <QAction>
#include <QCoreApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <string>
#include <utility>

namespace {

const char* const OneProfile = "local:127.0.0.1:taro:pw:1:/logs/app.log\r\n";

class SearchWindow : public StartupFixture {
protected:
    void SetUp() override
    {
        StartupFixture::SetUp();
        Form = MakeForm(OneProfile);
        ASSERT_TRUE(Form);
    }

    // Puts bytes into the view with the caret at the start.
    void Show(const std::string& bytes)
    {
        Form->Memo1->SetText(bytes);
        Form->Memo1->SetSelStart(0);
    }

    void SetFind(const QString& text, bool matchCase = false)
    {
        Form->FindDialog1->SetFindText(text);
        Form->FindDialog1->SetMatchCase(matchCase);
    }

    // "Find &Next" from the menu; the selection afterwards, or nothing when
    // the "なし" box came up (which must leave the selection empty).
    std::pair<int64_t, int64_t> FindNext()
    {
        const std::size_t boxes = Boxes.size();
        Form->FindNext1->trigger();
        if (Boxes.size() != boxes) {
            EXPECT_EQ(Form->Memo1->SelLength(), 0);
            return {-1, -1};
        }
        return {Form->Memo1->SelStart(), Form->Memo1->SelLength()};
    }

    std::unique_ptr<TForm1> Form;
};

using Sel = std::pair<int64_t, int64_t>;
const Sel None{-1, -1};

TEST_F(SearchWindow, MatchCaseOffFindsEveryCasingAndOnOnlyTheExactOne)
{
    Show("error one\r\nError two\r\nERROR three\r\n");
    SetFind("ERROR");
    EXPECT_EQ(FindNext(), Sel(0, 5));
    EXPECT_EQ(FindNext(), Sel(11, 5));
    EXPECT_EQ(FindNext(), Sel(22, 5));
    EXPECT_EQ(FindNext(), None);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "なし");
    EXPECT_EQ(Boxes[0].Caption, "検索");
    EXPECT_EQ(Boxes[0].Flags, 0u);
    // No wrap-around: the caret stays behind the last match.
    EXPECT_EQ(Form->Memo1->SelStart(), 27);

    Form->Memo1->SetSelStart(0);
    SetFind("ERROR", true);
    EXPECT_EQ(FindNext(), Sel(22, 5));
    EXPECT_EQ(FindNext(), None);
    // The view's text is never changed by a search.
    EXPECT_EQ(Form->Memo1->Text(), "error one\r\nError two\r\nERROR three\r\n");
}

TEST_F(SearchWindow, OverlappingOccurrencesAreFoundOnceEach)
{
    Show("aaaa");
    SetFind("aa");
    EXPECT_EQ(FindNext(), Sel(0, 2));
    EXPECT_EQ(FindNext(), Sel(2, 2));
    EXPECT_EQ(FindNext(), None);
    EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(SearchWindow, FromTheEndTheSearchStartsOnScreenButNothingFollowsSelectAll)
{
    Show("ERROR at the start\r\n");
    SetFind("ERROR");
    // The caret at the very end, as a display leaves it: the search begins
    // with the first line shown.
    Form->Memo1->SetSelStart(Form->Memo1->TextLength());
    EXPECT_EQ(FindNext(), Sel(0, 5));
    Form->SelectAll1->trigger();
    EXPECT_EQ(FindNext(), None);
    EXPECT_EQ(Form->Memo1->SelStart(), Form->Memo1->TextLength());
    EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(SearchWindow, ATrailByteNeverStartsAMatch)
{
    // 表 is 95 5C: with "n" behind it the bytes 5C 6E spell the find text
    // "\n", which must match only the real one in the path further on.
    const std::string hyo = "\x95\x5C";
    Show(hyo + "n " + hyo + "n C:\\new");
    SetFind(QStringLiteral("\\n"), true);
    EXPECT_EQ(FindNext(), Sel(10, 2));
    EXPECT_EQ(FindNext(), None);
}

TEST_F(SearchWindow, JapaneseFindText)
{
    const QString shown = QStringLiteral("12:00 起動しました\r\n12:01 エラー: 接続できません\r\n"
                                         "12:02 エラー: 再試行\r\n");
    const std::string bytes = SjisCodec::Encode(shown);
    Show(bytes);
    SetFind(QStringLiteral("エラー"));
    const std::string error = SjisCodec::Encode(QStringLiteral("エラー"));
    const int64_t first = static_cast<int64_t>(bytes.find(error));
    const int64_t second = static_cast<int64_t>(bytes.find(error, first + 1));
    ASSERT_GT(first, 0);
    EXPECT_EQ(FindNext(), Sel(first, 6));
    EXPECT_EQ(FindNext(), Sel(second, 6));
    EXPECT_EQ(FindNext(), None);
    // A character with no Shift_JIS code is in no text of the view; the '?'
    // written for it must not match the real one.
    Show("what? \r\n");
    SetFind(QStringLiteral("t\U0001F600"));
    EXPECT_EQ(FindNext(), None);
}

TEST_F(SearchWindow, TheMatchIsScrolledIntoSight)
{
    Form->show();
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "line " + std::to_string(i) + (i == 2500 ? " ERROR" : "") + "\r\n";
    Show(text);
    QCoreApplication::processEvents();
    SetFind("error");
    const int64_t at = static_cast<int64_t>(text.find("ERROR"));
    EXPECT_EQ(FindNext(), Sel(at, 5));
    QCoreApplication::processEvents();
    EXPECT_TRUE(Form->Memo1->viewport()->rect().contains(Form->Memo1->CaretRect(Form->Memo1->SelStart() + Form->Memo1->SelLength()).center()));
    Form->close();
}

TEST_F(SearchWindow, FindOpensTheModelessDialogWhoseButtonSearchesAndClosesIt)
{
    Form->show();
    Show("one ERROR, two ERROR");
    FindDialog* dialog = Form->FindDialog1;
    Form->Find1->trigger();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal());
    Form->Find1->trigger();                  // already open: still the one dialog
    EXPECT_TRUE(dialog->isVisible());

    EXPECT_FALSE(dialog->FindNextButton->isEnabled());
    dialog->FindEdit->setText(QStringLiteral("error"));
    dialog->FindNextButton->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(Form->Memo1->SelStart(), 4);
    EXPECT_EQ(Form->Memo1->SelLength(), 5);
    EXPECT_EQ(FindNext(), Sel(15, 5));
    EXPECT_TRUE(Boxes.empty());
    // Up walks back from the selection; whole word keeps "ERROR," too.
    dialog->UpButton->setChecked(true);
    dialog->WholeWordBox->setChecked(true);
    EXPECT_EQ(FindNext(), Sel(4, 5));
    EXPECT_EQ(FindNext(), None);
    Form->close();
}

TEST_F(SearchWindow, FindNextWithoutAFindTextOpensTheDialog)
{
    Form->show();
    Show("text");
    Form->FindNext1->trigger();
    EXPECT_TRUE(Form->FindDialog1->isVisible());
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form->Memo1->SelStart(), 0);
    // With a find text, "Find Next" searches and closes the dialog.
    Form->FindDialog1->FindEdit->setText(QStringLiteral("x"));
    Form->FindNext1->trigger();
    EXPECT_FALSE(Form->FindDialog1->isVisible());
    EXPECT_EQ(Form->Memo1->SelStart(), 2);
    Form->close();
}

} // namespace
