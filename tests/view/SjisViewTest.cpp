// The on-demand text view: positions, lines and edits against the document
// view (SjisMemo) as the model, keys, wrapping, highlighting, copy, and find
// and filter on a text of hundreds of megabytes while the window answers.
#include "view/SjisMemo.h"
#include "view/SjisTextStore.h"
#include "view/SjisView.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <random>
#include <string>

namespace {

using namespace std::string_literals;

std::string RandomText(std::mt19937& rng, std::size_t pieces)
{
    static const std::vector<std::string> parts = {
        "err", "ERROR", "x", " ", "\x83\x41", "\x95\x5C", "\x93\xFA\x96\x7B", "\xB1", "\x82\xA0",
        "\r\n", "\n", "\r", "\r\r\n", "\x81", "warn"};
    std::string text;
    for (std::size_t i = 0; i < pieces; ++i)
        text += parts[rng() % parts.size()];
    return text;
}

TEST(SjisView, PositionsLinesAndEndEditsAgreeWithTheDocumentView)
{
    std::mt19937 rng(3);
    SjisMemo memo;
    SjisView view;
    view.resize(300, 200);
    for (int round = 0; round < 25; ++round) {
        const std::string text = RandomText(rng, 20 + rng() % 120);
        const bool stray = round % 4 == 0;
        memo.SetText(text, stray);
        view.SetText(text, stray);
        ASSERT_EQ(view.Text(), memo.Text());
        ASSERT_EQ(view.TextLength(), memo.TextLength());
        ASSERT_EQ(view.LineCount(), memo.LineCount());
        for (int i = 0; i < memo.LineCount(); ++i)
            ASSERT_EQ(view.Line(i), memo.Line(i)) << i;
        for (int k = 0; k < 30; ++k) {
            const int64_t at = static_cast<int64_t>(rng() % (text.size() + 4));
            const int64_t length = static_cast<int64_t>(rng() % 12) - 2;
            memo.SetSelStart(at);
            view.SetSelStart(at);
            ASSERT_EQ(view.SelStart(), memo.SelStart()) << "round " << round << " at " << at;
            memo.SetSelLength(length);
            view.SetSelLength(length);
            ASSERT_EQ(view.SelStart(), memo.SelStart()) << "round " << round << " at " << at;
            ASSERT_EQ(view.SelLength(), memo.SelLength()) << "round " << round << " at " << at << " " << length;
        }
        // Follow's appends at the end, and the window's blank put in and
        // taken out again.
        for (int k = 0; k < 4; ++k) {
            const std::string more = RandomText(rng, 1 + rng() % 6);
            memo.SetSelStart(memo.TextLength());
            memo.SetSelText(more);
            view.SetSelStart(view.TextLength());
            view.SetSelText(more);
            ASSERT_EQ(view.SelStart(), memo.SelStart());
        }
        const int64_t end = view.TextLength();
        view.SetSelStart(end);
        view.SetSelText(" ");
        view.SetSelStart(end);
        view.SetSelLength(1);
        view.SetSelText("");
        ASSERT_EQ(view.Text(), memo.Text());
        // An edit in the middle, and a deleted line.
        const int64_t mid = static_cast<int64_t>(rng() % (memo.TextLength() + 1));
        memo.SetSelStart(mid);
        view.SetSelStart(mid);
        memo.SetSelText("\x82\xA2z");
        view.SetSelText("\x82\xA2z");
        ASSERT_EQ(view.Text(), memo.Text());
        ASSERT_EQ(view.SelStart(), memo.SelStart());
        memo.DeleteLine(0);
        view.DeleteLine(0);
        ASSERT_EQ(view.Text(), memo.Text());
    }
}

TEST(SjisView, KeysMoveByCharactersLinesAndToTheEnds)
{
    SjisView view;
    view.resize(400, 200);
    view.show();
    view.SetText("\x82\xA0" "b\r\nline two\nthird"s);   // あb / line two / third
    view.SetSelStart(0);
    QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(view.SelLength(), 2);   // あ is one step of two bytes
    QTest::keyClick(&view, Qt::Key_Right);
    QTest::keyClick(&view, Qt::Key_Right);
    EXPECT_EQ(view.SelStart(), 5);    // across the break to the next line's start
    QTest::keyClick(&view, Qt::Key_Left);
    EXPECT_EQ(view.SelStart(), 3);
    QTest::keyClick(&view, Qt::Key_Down);
    EXPECT_EQ(view.SelStart(), 8);    // below b: column 3 of "line two"
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(view.SelStart(), view.TextLength());
    QTest::keyClick(&view, Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(view.SelStart(), 0);
    EXPECT_EQ(view.SelLength(), view.TextLength());
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("あb\nline two\nthird"));
}

TEST(SjisView, LongLinesWrapAndTheScrollBarCountsLines)
{
    SjisView view;
    view.resize(200, 120);
    view.show();
    std::string text;
    for (int i = 0; i < 100; ++i)
        text += std::string(i == 50 ? 400 : 5, 'x') + "\r\n";
    view.SetText(text);
    // The end shown: the last lines at the bottom, the range in lines.
    view.ShowEnd();
    QScrollBar* bar = view.verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_GT(bar->maximum(), 90);
    EXPECT_LE(bar->maximum(), 100);
    // A line that wraps takes several rows: fewer lines fit on the page.
    bar->setValue(50);
    const QImage wrapped = view.viewport()->grab().toImage();
    bar->setValue(10);
    const QImage plain = view.viewport()->grab().toImage();
    auto litRows = [](const QImage& image, int x) {
        int rows = 0;
        for (int y = 0; y < image.height(); ++y)
            rows += qGray(image.pixel(x, y)) > 100;
        return rows;
    };
    // Far right of the view only a wrapped line has text on every row.
    const int x = view.viewport()->width() - 20;
    EXPECT_GT(litRows(wrapped, x), 3 * std::max(1, litRows(plain, x)));
}

TEST(SjisView, ErrorAndWarningLinesAreColouredOnScreen)
{
    SjisView view;
    view.resize(300, 100);
    view.show();
    view.SetHighlighting(true);
    view.SetText("ERROR one\r\nplain\r\nWARN two\r\n");
    const QImage image = view.viewport()->grab().toImage();
    int red = 0;
    int yellow = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            red += c.red() > 200 && c.green() < 130 && c.blue() < 130;
            yellow += c.red() > 200 && c.green() > 180 && c.blue() < 130;
        }
    EXPECT_GT(red, 10);
    EXPECT_GT(yellow, 10);
}

// How much of mapped files the program holds in memory, in bytes.
uint64_t FileResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "RssFile:") {
            uint64_t kib = 0;
            status >> kib;
            return kib << 10;
        }
    }
    return 0;
}

// An EUC-JP log converted, of at least size bytes: Japanese words, LF
// breaks; the first line alone holds FIRSTONLY, every 50th line KEEPME.
// Handed to add in pieces; returns the lines.
struct BigLog {
    static inline const std::string Kanji = "\x8F\x88\x97\x9D\x8A\xAE\x97\xB9";   // 処理完了
    static inline const std::string LastLine = "2026-12-07 01:02:03 [INFO] " + Kanji + " job=50 KEEPME";

    template <typename Add>
    static int64_t Make(uint64_t size, Add add)
    {
        std::string block;
        for (int j = 1; j <= 50; ++j)
            block += "2026-12-07 01:02:03 [INFO] " + Kanji + " job=" + std::to_string(j) + (j == 50 ? " KEEPME\n" : " ok\n");
        const std::string first = "2026-12-07 00:00:00 FIRSTONLY start\n";
        add(first);
        uint64_t made = first.size();
        int64_t lines = 1;
        while (made < size) {
            add(block);
            made += block.size();
            lines += 50;
        }
        return lines;
    }
};

// Hundreds of megabytes: indexed in slices while timers keep firing, the end
// and any middle reached at once, find up from the end to the first line, the
// filter as a view of kept lines, Esc stopping a scan, and a cut copy. Both
// where the text lies in memory and where it lies in a file; from a file,
// the program holds little of it at any time.
class BigText : public ::testing::TestWithParam<bool> {};

TEST_P(BigText, ATextOfHundredsOfMegabytesStaysResponsive)
{
    const bool inFile = GetParam();
    constexpr uint64_t Size = uint64_t(256) << 20;
    int64_t lines = 0;
    SjisTextStore store;
    if (inFile) {
        auto made = SjisTextStore::InFile(::testing::TempDir(), 0);
        ASSERT_TRUE(made);
        store = std::move(*made);
        lines = BigLog::Make(Size, [&](const std::string& piece) {
            const uint64_t at = store.Size();
            store.Append(piece);
            store.GiveBack(at, store.Size());
        });
        store.GiveBackAll();
    } else {
        std::string text;
        text.reserve(Size + 4096);
        lines = BigLog::Make(Size, [&](const std::string& piece) { text += piece; });
        store = SjisTextStore(std::move(text));
    }
    const std::string lastLine = BigLog::LastLine;
    const auto size = static_cast<int64_t>(store.Size());
    ASSERT_EQ(store.InFileBacked(), inFile);
    uint64_t mostFileResident = 0;
    const auto noteResident = [&] { mostFileResident = std::max(mostFileResident, FileResidentBytes()); };

    // The view in a window with a field beside it, as the filter field is.
    QWidget window;
    SjisView view(&window);
    QLineEdit field(&window);
    view.resize(640, 400);
    field.move(0, 410);
    window.resize(640, 440);
    window.show();
    // A timer of the window: the longest gap between its ticks is how long
    // the window could not answer.
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
        noteResident();
    });
    int progressCalls = 0;
    view.OnProgress = [&](const QString&, double) { ++progressCalls; };
    clock.start();
    tick.start();
    view.AdoptText(std::move(store));
    EXPECT_TRUE(view.Indexing());
    QTRY_VERIFY_WITH_TIMEOUT(!view.Indexing(), 60000);
    EXPECT_LT(longest, 250);
    EXPECT_GT(progressCalls, 2);
    EXPECT_EQ(view.LineCount(), lines);
    EXPECT_EQ(view.TextLength(), size + lines);   // each LF read as CR LF
    EXPECT_EQ(view.Line(static_cast<int>(lines - 1)), lastLine);

    // The end shown, and the middle reached and painted at once.
    view.ShowEnd();
    EXPECT_EQ(view.SelStart(), view.TextLength());
    EXPECT_GT(view.FirstShownLineStart(), view.TextLength() - 4000);
    QElapsedTimer paint;
    paint.start();
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() / 2);
    view.viewport()->repaint();
    EXPECT_LT(paint.elapsed(), 100);
    EXPECT_GT(view.FirstShownLineStart(), view.TextLength() / 3);

    // Find up from the end walks the whole text to its first line.
    view.SetSelStart(view.TextLength());
    longest = 0;
    last = clock.elapsed();
    int found = -1;
    view.StartFind("firstonly", sjis::FindOptions{false, true, true}, [&](bool f) { found = f; });
    EXPECT_TRUE(view.Searching());
    QTRY_VERIFY_WITH_TIMEOUT(found != -1, 60000);
    EXPECT_EQ(found, 1);
    EXPECT_LT(longest, 250);
    EXPECT_EQ(view.SelStart(), 20);
    EXPECT_EQ(view.SelLength(), 9);

    // Esc stops a scan that would go on through the whole text, wherever
    // the focus is in the window.
    view.SetSelStart(0);
    bool ended = false;
    view.StartFind("NOWHERE", {}, [&](bool) { ended = true; });
    ASSERT_TRUE(view.Searching());
    QTest::keyClick(&field, Qt::Key_Escape);
    EXPECT_FALSE(view.Searching());
    QTest::qWait(50);
    EXPECT_FALSE(ended);
    EXPECT_EQ(view.SelStart(), 0);


    // Copy of everything is cut at the limit and says so.
    QString notice;
    view.OnNotice = [&](const QString& text) { notice = text; };
    view.SelectAll();
    view.Copy();
    EXPECT_FALSE(notice.isEmpty());
    const qsizetype copied = QApplication::clipboard()->text().size();
    EXPECT_GT(copied, 0);
    EXPECT_LE(static_cast<uint64_t>(copied), SjisView::CopyLimit);

    // The filter: a view of the kept lines over the same bytes.
    bool changed = false;
    ended = false;
    view.StartFilter("KEEPME", [&](bool c) { changed = c; ended = true; });
    QTRY_VERIFY_WITH_TIMEOUT(ended, 60000);
    EXPECT_TRUE(changed);
    EXPECT_EQ(view.LineCount(), (lines - 1) / 50);
    EXPECT_NE(view.Line(0).find("job=50 KEEPME"), std::string::npos);
    EXPECT_EQ(&view.Lines().Buffer().Raw()[0], &dynamic_cast<const SjisKeptLines&>(view.Lines()).Buffer().Raw()[0]);

    // From a file, the index, find and the filter each held pieces of the
    // text at a time, never the text (the program's own files aside).
    noteResident();
    if (inFile) {
        EXPECT_LT(mostFileResident, uint64_t(128) << 20) << "of a text of " << size << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(InMemoryAndInAFile, BigText, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InAFile" : "InMemory"; });

} // namespace
