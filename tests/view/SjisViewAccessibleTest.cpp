// The view as assistive technology reads it, in process: character offsets
// against the text as drawn, lines and words, and a big text in a file read
// by its ranges through a find, an append and a filter.
#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"
#include "view/SjisTextStore.h"

#include <QAccessible>
#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

// ApplyFilterNow filters a big text in slices of the event loop: waits (at
// most 60 s) until the kept lines are shown.
void SettleFilter(const SjisView& view)
{
    QElapsedTimer waited;
    waited.start();
    while (view.Searching() && waited.elapsed() < 60000)
        QTest::qWait(5);
}

QAccessibleTextInterface* TextOf(SjisView& view)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&view);
    return iface ? iface->textInterface() : nullptr;
}

std::string Sjis(const QString& text) { return SjisCodec::Encode(text); }

// Random Shift_JIS with every kind of break, lone lead bytes, half-width
// kana and a code that decodes to two characters; about one line in five
// pieces, so a few thousand pieces cross several blocks of lines.
std::string RandomText(std::mt19937& rng, std::size_t pieces)
{
    static const std::vector<std::string> parts = {
        "err", "ERROR", " ",    "\x83\x41", "\x90\xDA\x91\xB1", "\xB1", "\x82\xA0", "\x82\xF5", "\r\n",
        "\n",  "\r",    "\x81", "warn",     "\x8E\xB8\x94\x73"};
    std::string text;
    for (std::size_t i = 0; i < pieces; ++i)
        text += parts[rng() % parts.size()];
    return text;
}

TEST(SjisViewAccessible, OffsetsAndRangesAreThoseOfTheTextAsDrawn)
{
    std::mt19937 rng(7);
    SjisMemo view;
    view.resize(300, 200);
    QAccessibleTextInterface* text = TextOf(view);
    ASSERT_NE(text, nullptr);
    // Rounds: a stray first byte, then a filter's kept lines (runs in the
    // buffer and lines apart).
    for (int round = 0; round < 9; ++round) {
        view.SetText(RandomText(rng, 500 + rng() % 4000), round % 3 == 1);
        if (round % 3 == 2)
            view.ApplyFilterNow(LineFilter::Text(round % 2 ? "r" : "\x82\xA0", {.MatchCase = true}));
        SettleFilter(view);
        const QString shown = view.ShownText();
        ASSERT_EQ(text->characterCount(), shown.size()) << "round " << round;
        ASSERT_EQ(text->text(0, text->characterCount()), shown);
        for (int k = 0; k < 40; ++k) {
            const int a = static_cast<int>(rng() % (shown.size() + 1));
            const int b = a + static_cast<int>(rng() % 700);
            ASSERT_EQ(text->text(a, b), shown.mid(a, b - a)) << "round " << round << " " << a << "-" << b;
            // A byte offset and its character offset, both ways.
            const int64_t at = static_cast<int64_t>(rng() % (view.TextLength() + 1));
            view.SetSelStart(0);
            view.SetSelLength(at);
            const auto before = static_cast<int>(view.SelectedText().size());
            ASSERT_EQ(text->cursorPosition(), before) << "round " << round << " byte " << at;
            int start = -1;
            int end = -1;
            text->selection(0, &start, &end);
            ASSERT_EQ(start, 0);
            ASSERT_EQ(end, before);
            text->setCursorPosition(before);
            ASSERT_EQ(view.SelStart(), view.CaretPosition());
            ASSERT_EQ(text->cursorPosition(), before);
        }
        // Edits anywhere and Follow's appends, each after the offsets of
        // every line were counted: none may survive where it changed.
        for (int k = 0; k < 6; ++k) {
            const std::string bytes = RandomText(rng, rng() % 30);
            if (k % 3 == 2) {
                view.Append(bytes);
            } else {
                view.SetSelStart(static_cast<int64_t>(rng() % (view.TextLength() + 1)));
                view.SetSelLength(static_cast<int64_t>(rng() % 40));
                view.SetSelText(bytes);
            }
            const QString edited = view.ShownText();
            ASSERT_EQ(text->characterCount(), edited.size()) << "round " << round << " edit " << k;
            ASSERT_EQ(text->text(0, text->characterCount()), edited) << "round " << round << " edit " << k;
        }
    }
}

TEST(SjisViewAccessible, LinesAndWordsOfJapaneseText)
{
    SjisMemo view;
    view.resize(400, 200);
    const QString first = QStringLiteral("2026-12-08 接続失敗 タイムアウト");
    const QString second = QStringLiteral("ERROR timeout");
    view.SetText(Sjis(first + "\r\n" + second + "\n最後"));
    QAccessibleTextInterface* text = TextOf(view);
    ASSERT_NE(text, nullptr);
    const int second0 = static_cast<int>(first.size()) + 1;
    const int last0 = second0 + static_cast<int>(second.size()) + 1;
    struct Case {
        int Offset;
        QAccessible::TextBoundaryType Kind;
        QString Text;
        int Start;
    };
    const std::vector<Case> cases = {
        {3, QAccessible::LineBoundary, first + "\n", 0},
        {second0 + 2, QAccessible::LineBoundary, second + "\n", second0},
        {last0 + 1, QAccessible::LineBoundary, QStringLiteral("最後"), last0},
        {12, QAccessible::WordBoundary, QStringLiteral("接続失敗"), 11},
        {17, QAccessible::WordBoundary, QStringLiteral("タイムアウト"), 16},
        {second0 + 7, QAccessible::WordBoundary, QStringLiteral("timeout"), second0 + 6},
        {12, QAccessible::CharBoundary, QStringLiteral("続"), 12},
    };
    for (const Case& c : cases) {
        int start = -1;
        int end = -1;
        EXPECT_EQ(text->textAtOffset(c.Offset, c.Kind, &start, &end), c.Text) << c.Offset;
        EXPECT_EQ(start, c.Start) << c.Offset;
        EXPECT_EQ(end, c.Start + c.Text.size()) << c.Offset;
    }
    int start = -1;
    int end = -1;
    EXPECT_EQ(text->textAfterOffset(3, QAccessible::LineBoundary, &start, &end), second + "\n");
    EXPECT_EQ(text->textBeforeOffset(last0, QAccessible::LineBoundary, &start, &end), second + "\n");
    EXPECT_EQ(start, second0);
}

// A line of /proc/self/status in bytes (VmRSS, VmHWM); 0 when unread.
uint64_t StatusBytes(const std::string& key)
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == key + ":") {
            uint64_t kb = 0;
            status >> kb;
            return kb << 10;
        }
    return 0;
}

// Starts a new peak of VmHWM at the present VmRSS; false where Linux cannot.
bool ResetPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return clear.good();
}

TEST(SjisViewAccessible, ABigTextInAFileIsReadByItsRangesAndFollowsItsAppends)
{
    // 18 MB of lines of 22 characters and 26 bytes, in a file.
    const std::string line = Sjis(QStringLiteral("接続失敗 ERROR 0123456789"));
    const int64_t lineChars = 22; // with its break
    constexpr int64_t Lines = 700'000;
    auto store = SjisTextStore::InFile(::testing::TempDir(), 0);
    ASSERT_TRUE(store);
    std::string piece;
    for (int64_t i = 0; i < Lines; ++i) {
        piece += line;
        piece += '\n';
        if (piece.size() > (1u << 20) || i + 1 == Lines) {
            store->Append(piece);
            piece.clear();
        }
    }
    QWidget window;
    SjisMemo view(&window);
    view.resize(400, 300);
    window.show();
    view.AdoptText(std::move(*store));
    QAccessibleTextInterface* text = TextOf(view);
    ASSERT_NE(text, nullptr);
    const int count = text->characterCount();
    ASSERT_EQ(count, Lines * lineChars);
    int start = -1;
    int end = -1;
    EXPECT_EQ(text->textAtOffset(count / 2 + 3, QAccessible::LineBoundary, &start, &end),
              QStringLiteral("接続失敗 ERROR 0123456789\n"));
    EXPECT_EQ(start % lineChars, 0);
    EXPECT_EQ(text->text(count - 11, count + 5), QStringLiteral("0123456789\n"));

    // The whole text is decoded once, into a string of its size: the peak
    // stays below two such strings and the text's own bytes.
    if (ResetPeak()) {
        const uint64_t before = StatusBytes("VmRSS");
        const QString all = text->text(0, count);
        const uint64_t peak = StatusBytes("VmHWM");
        ASSERT_EQ(all.size(), count);
        EXPECT_EQ(all.left(lineChars), QStringLiteral("接続失敗 ERROR 0123456789\n"));
        const uint64_t once = uint64_t(count) * 2;
        std::cout << "whole text: " << (peak - before) / 1048576 << " MB at most for " << once / 1048576
                  << " MB of UTF-16\n";
        EXPECT_LT(peak - before, once + once / 2 + Lines * line.size() / 2);
    }

    // Caret, find and Follow's append, as read afterwards (the events go
    // out only to a real accessibility bus: tests/app/test_atspi_view.py).
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(text->cursorPosition(), count);

    view.SetSelStart(0);
    ASSERT_EQ(view.FindWait(Sjis(QStringLiteral("失敗")), {}), SjisView::SearchEnd::Found);
    text->selection(0, &start, &end);
    EXPECT_EQ(start, 2);
    EXPECT_EQ(end, 4);

    view.Append(Sjis(QStringLiteral("追加 行\n")));
    EXPECT_EQ(text->characterCount(), count + 5);
    EXPECT_EQ(text->text(count, count + 5), QStringLiteral("追加 行\n"));
    view.ShowEnd();
    EXPECT_EQ(text->cursorPosition(), count + 5);

    // A filter shows other lines: the count is theirs.
    view.ApplyFilterNow(LineFilter::Text(Sjis(QStringLiteral("追加")), {.MatchCase = true}));
    SettleFilter(view);
    EXPECT_EQ(text->characterCount(), 5);
    EXPECT_EQ(text->text(0, 5), QStringLiteral("追加 行\n"));
}

} // namespace
