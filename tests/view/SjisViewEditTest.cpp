// The text view's mouse selection by words and lines, and the undo history of
// the user's edits, driven through the widget's own events on Shift_JIS text.
#include "codec/SjisCodec.h"
#include "view/SjisEditHistory.h"
#include "view/SjisMemo.h"
#include "view/SjisTextStore.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QTest>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace std::string_literals;

std::string Sjis(const QString& text) { return SjisCodec::Encode(text); }

// A point a few pixels into the character that starts at offset.
QPoint PointOf(SjisView& view, int64_t offset)
{
    const QRect caret = view.CaretRect(offset);
    return {caret.x() + 3, caret.center().y()};
}

void DoubleClick(SjisView& view, int64_t offset, bool release = true)
{
    const QPoint at = PointOf(view, offset);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, at);
    if (release)
        QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, at);
}

std::string Selected(SjisView& view)
{
    return view.Text().substr(static_cast<std::size_t>(view.SelStart()),
                              static_cast<std::size_t>(view.SelLength()));
}

// Types text as key presses carrying it (QTest's helpers take ASCII only).
void Type(QWidget* widget, const QString& text)
{
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &press);
    }
}

struct Shown {
    Shown()
    {
        memo.resize(500, 240);
        memo.show();
    }
    SjisMemo memo;
};

TEST(SjisViewClicks, DoubleClickSelectsARunOfOneKindAndTripleClickTheLine)
{
    Shown window;
    SjisMemo& memo = window.memo;
    const std::string first = Sjis(QStringLiteral("接続エラー abc_def 123 ひらがな、ｶﾀｶﾅｰ"));
    memo.SetText(first + "\r\n" + Sjis(QStringLiteral("次の行")));
    auto at = [&](const QString& before) { return static_cast<int64_t>(Sjis(before).size()); };

    DoubleClick(memo, at(QStringLiteral("接")));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("接続")));
    DoubleClick(memo, at(QStringLiteral("接続エラ")));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("エラー")));
    DoubleClick(memo, at(QStringLiteral("接続エラー abc_")));
    EXPECT_EQ(Selected(memo), "abc_def");
    DoubleClick(memo, at(QStringLiteral("接続エラー abc_def 1")));
    EXPECT_EQ(Selected(memo), "123");
    DoubleClick(memo, at(QStringLiteral("接続エラー abc_def 123 ひら")));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("ひらがな")));
    DoubleClick(memo, at(QStringLiteral("接続エラー abc_def 123 ひらがな")));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("、"))); // punctuation stands alone
    DoubleClick(memo, at(QStringLiteral("接続エラー abc_def 123 ひらがな、ｶﾀ")));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("ｶﾀｶﾅｰ")));
    // Right of the line's end: its last word.
    const QPoint right(memo.viewport()->width() - 10, PointOf(memo, static_cast<int64_t>(first.size())).y());
    QTest::mouseDClick(memo.viewport(), Qt::LeftButton, {}, right);
    QTest::mouseRelease(memo.viewport(), Qt::LeftButton, {}, right);
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("ｶﾀｶﾅｰ")));

    // A click soon after a double click, where it was: the line with its
    // break; the last line has none.
    DoubleClick(memo, at(QStringLiteral("接続エラー a")));
    QTest::mouseClick(memo.viewport(), Qt::LeftButton, {}, PointOf(memo, at(QStringLiteral("接続エラー a"))));
    EXPECT_EQ(Selected(memo), first + "\r\n");
    const int64_t second = static_cast<int64_t>(first.size()) + 2;
    DoubleClick(memo, second + 2);
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("の")));
    QTest::mouseClick(memo.viewport(), Qt::LeftButton, {}, PointOf(memo, second + 2));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("次の行")));
    // Later, the same place is a plain click again.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(memo.viewport(), Qt::LeftButton, {}, PointOf(memo, second + 2));
    EXPECT_EQ(memo.SelLength(), 0);
}

TEST(SjisViewClicks, DraggingAfterADoubleOrTripleClickExtendsByWholeWordsOrLines)
{
    Shown window;
    SjisMemo& memo = window.memo;
    const std::string first = Sjis(QStringLiteral("接続エラー abc_def 123"));
    memo.SetText(first + "\r\nsecond line\r\nthird");
    const auto abc = static_cast<int64_t>(Sjis(QStringLiteral("接続エラー ")).size());
    const int64_t second = static_cast<int64_t>(first.size()) + 2;

    // Forward from エラー into abc_def: both words whole.
    DoubleClick(memo, 6, false);
    QTest::mouseMove(memo.viewport(), PointOf(memo, abc + 1));
    EXPECT_EQ(memo.SelStart(), 4);
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("エラー abc_def")));
    // Back over the word clicked: it stays selected, up to 接続's start.
    QTest::mouseMove(memo.viewport(), PointOf(memo, 2));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("接続エラー")));
    // Down a line: to the end of the word there.
    QTest::mouseMove(memo.viewport(), PointOf(memo, second + 2));
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("エラー abc_def 123")) + "\r\nsecond");
    QTest::mouseRelease(memo.viewport(), Qt::LeftButton);

    // By lines after a triple click, breaks included.
    DoubleClick(memo, second + 3);
    QTest::mousePress(memo.viewport(), Qt::LeftButton, {}, PointOf(memo, second + 3));
    QTest::mouseMove(memo.viewport(), PointOf(memo, 1));
    EXPECT_EQ(Selected(memo), first + "\r\nsecond line\r\n");
    EXPECT_EQ(memo.SelStart(), 0);
    QTest::mouseMove(memo.viewport(), PointOf(memo, second + 14));
    EXPECT_EQ(Selected(memo), "second line\r\nthird");
    QTest::mouseRelease(memo.viewport(), Qt::LeftButton);
}

TEST(SjisViewClicks, WrappedAndFilteredLinesSelectTheirOwnWordsAndLines)
{
    Shown window;
    SjisMemo& memo = window.memo;
    memo.resize(160, 240);
    // A line that wraps over several rows: a word on a later row.
    std::string line;
    for (int i = 0; i < 12; ++i)
        line += "word" + std::to_string(i) + " ";
    memo.SetText("top\r\n" + line + "\r\nend");
    const int64_t word9 = 5 + static_cast<int64_t>(line.find("word9"));
    ASSERT_GT(memo.CaretRect(word9).y(), memo.CaretRect(5).y() + memo.CaretRect(5).height());
    DoubleClick(memo, word9 + 2);
    EXPECT_EQ(Selected(memo), "word9");
    QTest::mouseClick(memo.viewport(), Qt::LeftButton, {}, PointOf(memo, word9 + 2));
    EXPECT_EQ(Selected(memo), line + "\r\n");

    // Lines a filter kept, the words and lines of the lines shown.
    memo.resize(500, 240);
    memo.SetText(Sjis(QStringLiteral("KEEP 接続エラー\r\ndrop\r\nKEEP 再試行します\r\n")));
    memo.ApplyFilterNow(LineFilter::Text("KEEP", {.MatchCase = true}));
    ASSERT_EQ(memo.LineCount(), 2);
    const std::string kept = Sjis(QStringLiteral("KEEP 再試行します"));
    const int64_t second = memo.Lines().Start(1);
    DoubleClick(memo, second + 7);
    EXPECT_EQ(Selected(memo), Sjis(QStringLiteral("再試行")));
    QTest::mouseClick(memo.viewport(), Qt::LeftButton, {}, PointOf(memo, second + 7));
    EXPECT_EQ(Selected(memo), kept + "\r\n");
}

TEST(SjisViewUndo, TypingInARowIsOneStepAndLineBreaksAndDeletingStandApart)
{
    Shown window;
    SjisMemo& memo = window.memo;
    const std::string original = Sjis(QStringLiteral("接続エラー abc_def 123"));
    memo.SetText(original);
    EXPECT_FALSE(memo.CanUndo());
    memo.SetSelStart(10);
    Type(&memo, QStringLiteral("再 試行"));
    const std::string typed = Sjis(QStringLiteral("接続エラー再 試行 abc_def 123"));
    ASSERT_EQ(memo.Text(), typed);
    QTest::keyClick(&memo, Qt::Key_Return);
    Type(&memo, QStringLiteral("x"));
    QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(memo.Text(), Sjis(QStringLiteral("接続エラー再 試行\r\n abc_def 123")));
    QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(memo.Text(), typed);
    QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(memo.Text(), original);
    EXPECT_EQ(memo.SelStart(), 10); // where the typing began
    EXPECT_FALSE(memo.CanUndo());
    QTest::keyClick(&memo, Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(memo.Text(), typed);
    EXPECT_EQ(memo.SelStart(), 10 + static_cast<int64_t>(Sjis(QStringLiteral("再 試行")).size()));
    QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(memo.Text(), Sjis(QStringLiteral("接続エラー再 試行\r\nx abc_def 123")));
    EXPECT_FALSE(memo.CanRedo());

    // Backspace pressed in a row is one step; its undo puts the caret behind
    // the characters put back. A selection deleted is a step alone and
    // comes back selected.
    memo.SetText(original);
    memo.SetSelStart(10);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(&memo, Qt::Key_Backspace);
    EXPECT_EQ(memo.Text(), Sjis(QStringLiteral("接続 abc_def 123")));
    memo.SetSelStart(4);
    memo.SetSelLength(8);
    QTest::keyClick(&memo, Qt::Key_Delete);
    EXPECT_EQ(memo.Text(), Sjis(QStringLiteral("接続 123")));
    ASSERT_TRUE(memo.Undo());
    EXPECT_EQ(memo.SelStart(), 4);
    EXPECT_EQ(memo.SelLength(), 8);
    ASSERT_TRUE(memo.Undo());
    EXPECT_EQ(memo.Text(), original);
    EXPECT_EQ(memo.SelStart(), 10);
    EXPECT_EQ(memo.SelLength(), 0);
}

TEST(SjisViewUndo, CutPasteDeleteLineAndTheMenuGoBackAndForth)
{
    Shown window;
    SjisMemo& memo = window.memo;
    const std::string original = Sjis(QStringLiteral("接続エラー abc_def\r\n二行目\r\n三行目"));
    memo.SetText(original);
    auto action = [&](const QString& caption) {
        const std::unique_ptr<QMenu> menu = memo.CreateContextMenu();
        for (QAction* a : menu->actions())
            if (a->text() == caption)
                return a->isEnabled();
        ADD_FAILURE() << caption.toStdString();
        return false;
    };
    EXPECT_FALSE(action(QStringLiteral("元に戻す(&U)")));
    EXPECT_FALSE(action(QStringLiteral("やり直し(&R)")));

    DoubleClick(memo, 12); // abc_def
    QTest::keyClick(&memo, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("abc_def"));
    memo.SetSelStart(memo.TextLength());
    QTest::keyClick(&memo, Qt::Key_V, Qt::ControlModifier);
    QApplication::clipboard()->setText(QStringLiteral("貼\n付"));
    memo.SetSelStart(0);
    QTest::keyClick(&memo, Qt::Key_V, Qt::ControlModifier);
    memo.DeleteLine(3);
    const std::string edited = memo.Text();
    EXPECT_EQ(edited, Sjis(QStringLiteral("貼\r\n付接続エラー \r\n二行目\r\n")));
    EXPECT_TRUE(action(QStringLiteral("元に戻す(&U)")));
    EXPECT_FALSE(action(QStringLiteral("やり直し(&R)")));

    int steps = 0;
    while (memo.Undo())
        ++steps;
    EXPECT_EQ(steps, 4);
    EXPECT_EQ(memo.Text(), original);
    EXPECT_FALSE(action(QStringLiteral("元に戻す(&U)")));
    EXPECT_TRUE(action(QStringLiteral("やり直し(&R)")));
    while (memo.Redo())
        ;
    EXPECT_EQ(memo.Text(), edited);
}

TEST(SjisViewUndo, RandomEditsComeBackExactlyWithBreaksOfEveryKindAndAStrayFirstByte)
{
    std::mt19937 rng(11);
    const std::vector<QString> pieces = {QStringLiteral("a"), QStringLiteral("接続"), QStringLiteral("ｶﾅ"),
                                         QStringLiteral(" "), QStringLiteral("ー")};
    Shown window;
    SjisMemo& memo = window.memo;
    QApplication::clipboard()->setText(QStringLiteral("貼\n付\r\n"));
    for (int round = 0; round < 12; ++round) {
        const std::string text = "\x95"
                                 "ab\nc\rd\r\n" +
            Sjis(QStringLiteral("表示エラー")) + "\r\n\r\nend";
        memo.SetText(text, round % 2 == 0);
        const std::string before = memo.Text();
        const QString shownBefore = memo.ShownText();
        for (int k = 0; k < 25; ++k) {
            memo.SetSelStart(static_cast<int64_t>(rng() % (memo.TextLength() + 1)));
            switch (rng() % 5) {
            case 0:
                if (rng() % 4 == 0)
                    QTest::keyClick(&memo, Qt::Key_Return);
                else
                    Type(&memo, pieces[rng() % pieces.size()]);
                break;
            case 1: QTest::keyClick(&memo, rng() % 2 ? Qt::Key_Backspace : Qt::Key_Delete); break;
            case 2:
                memo.SetSelLength(static_cast<int64_t>(rng() % 9));
                QTest::keyClick(&memo, Qt::Key_X, Qt::ControlModifier);
                break;
            case 3: QTest::keyClick(&memo, Qt::Key_V, Qt::ControlModifier); break;
            default: memo.DeleteLine(static_cast<int>(rng() % 4)); break;
            }
        }
        const std::string after = memo.Text();
        while (memo.Undo())
            ;
        ASSERT_EQ(memo.Text(), before) << round;
        ASSERT_EQ(memo.ShownText(), shownBefore) << round;
        while (memo.Redo())
            ;
        ASSERT_EQ(memo.Text(), after) << round;
    }
}

// A text that lies in a file is edited in its middle into a new file beside
// it, never copied whole into memory: every edit and undo gives what the
// same edit gives a text in memory, and the text stays in a file.
TEST(SjisViewUndo, EditsInsideATextInAFileGiveWhatTheyGiveInMemory)
{
    const uint64_t before = SjisTextInFileFrom();
    SetSjisTextInFileFrom(1);
    std::mt19937 rng(5);
    const std::vector<QString> pieces = {QStringLiteral("a"), QStringLiteral("接続"), QStringLiteral(" ")};
    Shown inMemory;
    Shown inFile;
    std::string text;
    for (int k = 0; k < 400; ++k)
        text += "2026 \x95\x5C" + std::to_string(k) + (k % 3 ? "\n" : "\r\n");
    auto store = SjisTextStore::InFile(::testing::TempDir(), 0);
    ASSERT_TRUE(store);
    store->Append(text);
    inMemory.memo.SetText(text, true);
    inFile.memo.AdoptText(std::move(*store), true);
    for (int k = 0; k < 30; ++k) {
        SCOPED_TRACE(k);
        const auto at = static_cast<int64_t>(rng() % (inMemory.memo.TextLength() + 1));
        const int what = static_cast<int>(rng() % 4);
        const int line = static_cast<int>(rng() % 50);
        const QString& piece = pieces[rng() % pieces.size()];
        for (SjisMemo* memo : {&inMemory.memo, &inFile.memo}) {
            memo->SetSelStart(at);
            switch (what) {
            case 0: Type(memo, piece); break;
            case 1: QTest::keyClick(memo, Qt::Key_Delete); break;
            case 2: memo->DeleteLine(line); break;
            default: memo->Undo(); break;
            }
        }
        ASSERT_EQ(inFile.memo.Text(), inMemory.memo.Text());
        ASSERT_EQ(inFile.memo.SelStart(), inMemory.memo.SelStart());
    }
    EXPECT_TRUE(inFile.memo.Lines().Buffer().InFileBacked());
    EXPECT_FALSE(inMemory.memo.Lines().Buffer().InFileBacked());
    SetSjisTextInFileFrom(before);
}

TEST(SjisViewUndo, NewTextsAndFiltersEmptyTheHistoryAndAppendsKeepItsSteps)
{
    Shown window;
    SjisMemo& memo = window.memo;
    memo.SetText("one\r\ntwo");
    Type(&memo, QStringLiteral("X"));
    memo.SetText("one\r\ntwo");
    EXPECT_FALSE(memo.CanUndo());
    Type(&memo, QStringLiteral("X"));
    memo.ApplyFilterNow(LineFilter::Text("two", {.MatchCase = true}));
    EXPECT_FALSE(memo.CanUndo());
    memo.SetText("one\r\ntwo");
    Type(&memo, QStringLiteral("X"));
    memo.Clear();
    EXPECT_FALSE(memo.CanUndo());

    // Follow's appends and the blank the window puts at the end and takes
    // out: the steps stay, those undone go.
    memo.SetText("one\r\ntwo");
    Type(&memo, QStringLiteral("X"));
    memo.SetSelStart(6);
    Type(&memo, QStringLiteral("Y"));
    ASSERT_TRUE(memo.Undo());
    memo.Append("\r\nthree");
    const int64_t end = memo.TextLength();
    memo.SetSelStart(end);
    memo.SetSelText(" ");
    memo.SetSelStart(end);
    memo.SetSelLength(1);
    memo.SetSelText("");
    memo.SetSelStart(end);
    memo.SetSelText("\r\nfour");
    EXPECT_FALSE(memo.CanRedo());
    ASSERT_TRUE(memo.Undo());
    EXPECT_EQ(memo.Text(), "one\r\ntwo\r\nthree\r\nfour");
    // The program's edit among the steps' places empties the history.
    Type(&memo, QStringLiteral("Z"));
    memo.SetSelStart(1);
    memo.SetSelText("-");
    EXPECT_FALSE(memo.CanUndo());
}

TEST(SjisViewUndo, MarksFollowTheirLinesThroughEditsAndUndo)
{
    Shown window;
    SjisMemo& memo = window.memo;
    memo.SetText("a\r\nb\r\nc");
    memo.SetSelStart(6);
    memo.ToggleMark();
    memo.SetSelStart(0);
    memo.SetSelLength(3);
    QTest::keyClick(&memo, Qt::Key_Delete);
    EXPECT_TRUE(memo.IsMarked(1));
    ASSERT_TRUE(memo.Undo());
    EXPECT_EQ(memo.Text(), "a\r\nb\r\nc");
    EXPECT_TRUE(memo.IsMarked(2));
    EXPECT_FALSE(memo.IsMarked(1));
    // The lines deleted at the end go with their marks: lines typed there
    // anew carry none.
    memo.SetSelStart(1);
    memo.SetSelLength(memo.TextLength());
    QTest::keyClick(&memo, Qt::Key_Delete);
    for (const char* piece : {"x", "y"}) {
        QTest::keyClick(&memo, Qt::Key_Return);
        Type(&memo, QString::fromLatin1(piece));
    }
    EXPECT_EQ(memo.Text(), "a\r\nx\r\ny");
    EXPECT_EQ(memo.MarkCount(), 0u);
}

TEST(SjisViewUndo, UndoBringsBackTheMarksAnEditTookAway)
{
    struct Case {
        const char* name;
        uint64_t from, length; // the selection the edit replaces
        const char* typed;     // nullptr: Delete
    };
    // "a", "b" (marked), "c" (marked), "d"
    const Case cases[] = {
        {"the marked lines deleted inside the text", 3, 6, nullptr},
        {"the marked lines deleted to the end", 2, 10, nullptr},
        {"a marked line typed over", 3, 1, "x"},
        {"a marked line emptied", 6, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Shown window;
        SjisMemo& memo = window.memo;
        memo.SetText("a\r\nb\r\nc\r\nd");
        for (const int line : {1, 2}) {
            memo.SetSelStart(line * 3);
            memo.ToggleMark();
        }
        memo.SetSelStart(static_cast<int64_t>(c.from));
        memo.SetSelLength(static_cast<int64_t>(c.length));
        if (c.typed)
            Type(&memo, QString::fromLatin1(c.typed));
        else
            QTest::keyClick(&memo, Qt::Key_Delete);
        ASSERT_TRUE(memo.Undo());
        EXPECT_EQ(memo.Text(), "a\r\nb\r\nc\r\nd");
        EXPECT_EQ(memo.MarkCount(), 2u);
        EXPECT_TRUE(memo.IsMarked(1));
        EXPECT_TRUE(memo.IsMarked(2));
    }
}

TEST(SjisEditHistory, HoldsNoMoreThanItsLimitDroppingTheOldestSteps)
{
    SjisEditHistory history;
    const std::size_t third = SjisEditHistory::Limit / 3 + 1;
    for (uint64_t i = 0; i < 4; ++i)
        ASSERT_TRUE(
            history.Add({i, {}, std::string(third, 'x'), 0, 0, false, false, SjisEditHistory::Kind::Other, {}}));
    EXPECT_LE(history.Bytes(), SjisEditHistory::Limit);
    int steps = 0;
    for (; history.CanUndo(); ++steps)
        history.Undone();
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(history.NextRedo().Offset, 2u); // the oldest kept, undone last
    EXPECT_FALSE(history.Add({0,
                              std::string(SjisEditHistory::Limit + 1, 'x'),
                              {},
                              0,
                              0,
                              false,
                              false,
                              SjisEditHistory::Kind::Other,
                              {}}));
    EXPECT_FALSE(history.CanUndo());
    EXPECT_FALSE(history.CanRedo());
    EXPECT_EQ(history.Bytes(), 0u);
}

} // namespace
