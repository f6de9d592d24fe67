// The Shift_JIS text view: bytes in, bytes out; offsets in bytes; line
// operations; and the codec's table against its generator.
#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>
#include <string>

namespace {

using namespace std::string_literals;

std::string AllPairs(int leadFrom, int leadTo)
{
    std::string s;
    for (int lead = leadFrom; lead <= leadTo; ++lead) {
        if (!SjisCodec::IsLeadByte(static_cast<uint8_t>(lead)))
            continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (!SjisCodec::IsTrailByte(static_cast<uint8_t>(trail)))
                continue;
            s += static_cast<char>(lead);
            s += static_cast<char>(trail);
        }
        s += "\r\n";
    }
    return s;
}

// Types text as key presses carrying it (QTest's helpers take ASCII only).
void Type(QWidget* widget, const QString& text)
{
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &press);
    }
}

// Characters before the caret as drawn, a line break counting one: where a
// cursor in the drawn text stands.
qsizetype CaretPosition(SjisMemo& memo)
{
    const int64_t caret = memo.SelStart();
    memo.SetSelStart(0);
    memo.SetSelLength(caret);
    const qsizetype position = memo.SelectedText().size();
    memo.SetSelStart(caret);
    return position;
}

TEST(SjisMemoBytes, EveryPairAndSingleByteComesBackUnchanged)
{
    SjisMemo memo;
    std::string text = AllPairs(0x81, 0xFC);
    for (int b = 0; b < 0x100; ++b)
        if (b != '\r' && b != '\n' && !SjisCodec::IsLeadByte(static_cast<uint8_t>(b)))
            text += static_cast<char>(b);
    memo.SetText(text);
    EXPECT_EQ(memo.Text(), text);
    EXPECT_EQ(memo.TextLength(), static_cast<int64_t>(text.size()));
}

TEST(SjisMemoBytes, CodePage932AndShiftJis2004OnlyCodesStrayAndControlBytes)
{
    // NEC specials, NEC-selected and IBM extensions (twins of one another),
    // user-defined area; Shift_JIS-2004 rows beyond code page 932, a letter
    // with a combining mark, a lone mark after a letter; a lead byte without
    // a trail; the single bytes 0x80, 0xA0, 0xFD-0xFF; control bytes.
    const std::string cp932 = "\x87\x40\x87\x90\x81\xE0\xED\x40\xFA\x5C\xEE\xEF\xFA\x40\xF0\x40\xF9\xFC"s;
    const std::string jis2004 = "\x85\x40\x86\x63\x82\xF5\x82\xA9\x86\x79\xFC\xF4\x87\xA0\x84\xDD"s;
    const std::string stray = "\x82 \x80\xA0\xFD\xFE\xFF\x9F"s;
    const std::string control = "\x01\x02\x07\x08\x09\x0B\x0C\x1B\x1F\x7F\x00x"s;
    for (const std::string& line : {cp932, jis2004, stray, control}) {
        SjisMemo memo;
        memo.SetText(line);
        EXPECT_EQ(memo.Text(), line);
        EXPECT_EQ(memo.LineCount(), 1);
        EXPECT_EQ(memo.Line(0), line);
    }
    // The twins of code page 932 keep their own code even when the line is
    // changed through the view's interface.
    SjisMemo memo;
    memo.SetText(cp932 + "\r\n" + jis2004);
    memo.SetSelStart(static_cast<int64_t>(cp932.size()));
    memo.SetSelText("x");
    memo.SetSelStart(0);
    memo.SetSelText("\x81\x40");
    EXPECT_EQ(memo.Text(), "\x81\x40"s + cp932 + "x\r\n" + jis2004);
}

TEST(SjisMemoBytes, LineBreaksBecomeCrLf)
{
    SjisMemo memo;
    memo.SetText("a\nb\rc\r\nd\n\re");
    EXPECT_EQ(memo.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne");
    EXPECT_EQ(memo.LineCount(), 6);
    EXPECT_EQ(memo.Line(4), "");
}

TEST(SjisMemoBytes, StrayFirstByteIsShownAloneAndKept)
{
    // 0x9F is the trail byte of a cut character; taken as a lead byte it
    // would swallow the 0x82 of the following あ.
    SjisMemo memo;
    memo.SetText("\x9F\x82\xA0\x82\xA2"s, true);
    EXPECT_EQ(memo.ShownLine(0),
              QString(QChar(SjisCodec::StrayBase + 0x9F)) + QStringLiteral("あい"));
    EXPECT_EQ(memo.Text(), "\x9F\x82\xA0\x82\xA2"s);
    memo.SetSelStart(1);
    EXPECT_EQ(CaretPosition(memo), 1);

    // An LF cut from its CR stays a character, not a line break.
    memo.SetText("\ncd", true);
    EXPECT_EQ(memo.LineCount(), 1);
    EXPECT_EQ(memo.Text(), "\ncd");
    memo.SetSelStart(memo.TextLength());
    memo.SetSelText(" ");
    EXPECT_EQ(memo.Text(), "\ncd ");
}

TEST(SjisMemoBytes, TypedTextBecomesShiftJis)
{
    SjisMemo memo;
    memo.SetText("\xED\x40"s);   // a twin: typing elsewhere in the line leaves it
    memo.SetSelStart(2);
    Type(&memo, QStringLiteral("あ漢A"));
    QTest::keyClick(&memo, Qt::Key_Return, Qt::ShiftModifier);
    Type(&memo, QStringLiteral("①"));
    EXPECT_EQ(memo.Text(), "\xED\x40\x82\xA0\x8A\xBF" "A\r\n\x87\x40"s);
    EXPECT_EQ(memo.SelStart(), 11);

    // What an input method commits goes in at the caret the same way.
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("漢"));
    QCoreApplication::sendEvent(&memo, &commit);
    EXPECT_EQ(memo.Text(), "\xED\x40\x82\xA0\x8A\xBF" "A\r\n\x87\x40\x8A\xBF"s);
}

TEST(SjisMemoOffsets, CaretAndSelectionCountBytes)
{
    SjisMemo memo;
    memo.SetText("\x82\xA0\x82\xA2" "A\r\n\x82\xA4" "B"s);   // あいA / うB
    memo.SetSelStart(2);
    EXPECT_EQ(CaretPosition(memo), 1);
    EXPECT_EQ(memo.SelStart(), 2);
    memo.SetSelLength(3);
    EXPECT_EQ(memo.SelectedText(), QStringLiteral("いA"));
    EXPECT_EQ(memo.SelLength(), 3);
    EXPECT_EQ(memo.SelStart(), 2);

    // Across the line break: the CR LF is two bytes, one position.
    memo.SetSelStart(7);
    EXPECT_EQ(CaretPosition(memo), 4);
    memo.SetSelLength(3);
    EXPECT_EQ(memo.SelectedText(), QStringLiteral("うB"));
    memo.SetSelStart(4);
    memo.SetSelLength(5);
    EXPECT_EQ(memo.SelLength(), 5);

    // Inside a character: its start. Between CR and LF: the line's end.
    memo.SetSelStart(1);
    EXPECT_EQ(memo.SelStart(), 0);
    memo.SetSelStart(6);
    EXPECT_EQ(memo.SelStart(), 5);
    memo.SetSelStart(1000);
    EXPECT_EQ(memo.SelStart(), 10);

    memo.SelectAll();
    EXPECT_EQ(memo.SelStart(), 0);
    EXPECT_EQ(memo.SelLength(), 10);
}

TEST(SjisMemoOffsets, ReplaceSelectionPutsTheCaretBehindTheText)
{
    SjisMemo memo;
    memo.SetText("\x82\xA0" "abc\r\ndef"s);
    memo.SetSelStart(3);
    memo.SetSelLength(5);   // "bc\r\nd"
    memo.SetSelText("X\nY\x82\xA2");
    EXPECT_EQ(memo.Text(), "\x82\xA0" "aX\r\nY\x82\xA2" "ef"s);
    EXPECT_EQ(memo.SelStart(), 9);
    EXPECT_EQ(memo.SelLength(), 0);
    EXPECT_EQ(memo.LineCount(), 2);

    // A lead byte left at the end of the kept part and a trail byte put
    // behind it read as one character, as the bytes say.
    memo.SetText("ab\x82"s);
    memo.SetSelStart(3);
    memo.SetSelText("\xA0");
    EXPECT_EQ(memo.Text(), "ab\x82\xA0"s);
    EXPECT_EQ(memo.ShownLine(0), QStringLiteral("abあ"));
    EXPECT_EQ(memo.SelStart(), 4);
}

TEST(SjisMemoLines, CountReadAndDelete)
{
    SjisMemo memo;
    EXPECT_EQ(memo.LineCount(), 0);
    memo.SetText("one\r\n\xED\x40two\r\nthree\r\n"s);
    EXPECT_EQ(memo.LineCount(), 3);
    EXPECT_EQ(memo.Line(1), "\xED\x40two"s);
    EXPECT_EQ(memo.Line(3), "");
    memo.DeleteLine(0);
    EXPECT_EQ(memo.Text(), "\xED\x40two\r\nthree\r\n"s);
    memo.DeleteLine(1);
    EXPECT_EQ(memo.Text(), "\xED\x40two\r\n"s);
    EXPECT_EQ(memo.LineCount(), 1);
    memo.DeleteLine(5);
    memo.DeleteLine(0);
    EXPECT_EQ(memo.Text(), "");
    EXPECT_EQ(memo.LineCount(), 0);

    memo.SetText("a\r\nb");
    memo.DeleteLine(1);   // the last line has no break: it is emptied
    EXPECT_EQ(memo.Text(), "a\r\n");
    EXPECT_EQ(memo.TextLength(), 3);
}

TEST(SjisMemoLines, OffsetsFollowDeletionsAndEdits)
{
    SjisMemo memo;
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i) + " \x93\xFA\x96\x7B\r\n";   // 日本
    memo.SetText(text);
    for (int i = 0; i < 1000; ++i)
        memo.DeleteLine(i);   // every other line
    std::string expected;
    for (int i = 1; i < 2000; i += 2)
        expected += "line " + std::to_string(i) + " \x93\xFA\x96\x7B\r\n";
    ASSERT_EQ(memo.Text(), expected);
    const int64_t end = static_cast<int64_t>(expected.size());
    memo.SetSelStart(end);
    EXPECT_EQ(memo.SelStart(), end);
    const std::size_t at = expected.find("line 999 ");
    memo.SetSelStart(static_cast<int64_t>(at));
    memo.SetSelLength(8);
    EXPECT_EQ(memo.SelectedText(), QStringLiteral("line 999"));
}

// Character starts of a text as the view reads it: each line from its start.
std::vector<int64_t> Boundaries(const std::string& text)
{
    std::vector<int64_t> starts;
    std::size_t i = 0;
    while (i <= text.size()) {
        const std::size_t end = std::min(text.find("\r\n", i), text.size());
        const std::string_view line = std::string_view(text).substr(i, end - i);
        for (std::size_t j = 0; j < line.size(); j += SjisCodec::DecodeAt(line, j).Bytes)
            starts.push_back(static_cast<int64_t>(i + j));
        starts.push_back(static_cast<int64_t>(end));
        i = end + 2;
    }
    return starts;
}

std::string CrLf(const std::string& bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            out += "\r\n";
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            out += bytes[i];
        }
    }
    return out;
}

TEST(SjisMemoOffsets, RandomEditsAgreeWithAByteModel)
{
    // Pieces with every kind of character: ASCII, kana, a twin, a letter and
    // a lone combining mark that would join it, a lone lead byte, a single
    // byte without a character, line breaks of each kind.
    const std::vector<std::string> pieces = {"a", "xyz", "\x82\xA0", "\xED\x40", "\x85\x7B", "\x86\x7B",
                                             "\x82", "\xA0", "\r\n", "\n", "\r", "\x93\xFA\x96\x7B"};
    std::mt19937 random(12345);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    auto randomBytes = [&] {
        std::string out;
        for (std::size_t n = pick(5); n > 0; --n)
            out += pieces[pick(pieces.size())];
        return out;
    };
    SjisMemo memo;
    std::string model = CrLf(randomBytes() + randomBytes() + randomBytes());
    memo.SetText(model);
    for (int step = 0; step < 1500; ++step) {
        SCOPED_TRACE(step);
        const std::vector<int64_t> starts = Boundaries(model);
        const int64_t s = starts[pick(starts.size())];
        const int64_t e = std::max(s, starts[pick(starts.size())]);
        memo.SetSelStart(s);
        ASSERT_EQ(memo.SelStart(), s);
        memo.SetSelLength(e - s);
        ASSERT_EQ(memo.SelLength(), e - s);
        switch (pick(4)) {
        case 0: {
            const int lines = memo.LineCount();
            if (lines == 0)
                break;
            const int i = static_cast<int>(pick(static_cast<std::size_t>(lines)));
            std::size_t at = 0;
            for (int k = 0; k < i; ++k)
                at = model.find("\r\n", at) + 2;
            const std::size_t end = model.find("\r\n", at);
            ASSERT_EQ(memo.Line(i), model.substr(at, end == std::string::npos ? std::string::npos : end - at));
            model.erase(at, end == std::string::npos ? std::string::npos : end + 2 - at);
            memo.DeleteLine(i);
            break;
        }
        default: {
            const std::string inserted = randomBytes();
            model = model.substr(0, static_cast<std::size_t>(s)) + CrLf(inserted) + model.substr(static_cast<std::size_t>(e));
            memo.SetSelText(inserted);
            const int64_t caret = s + static_cast<int64_t>(CrLf(inserted).size());
            const std::vector<int64_t> after = Boundaries(model);
            ASSERT_EQ(memo.SelStart(), *(std::upper_bound(after.begin(), after.end(), caret) - 1));
            break;
        }
        }
        ASSERT_EQ(memo.Text(), model);
        ASSERT_EQ(memo.TextLength(), static_cast<int64_t>(model.size()));
        // The lines, read from the document itself, say the same.
        std::string joined;
        for (int i = 0; i < memo.LineCount(); ++i)
            joined += (i > 0 ? "\r\n" : "") + memo.Line(i);
        if (model.size() >= 2 && model.compare(model.size() - 2, 2, "\r\n") == 0)
            joined += "\r\n";
        ASSERT_EQ(joined, model);
    }
}

TEST(SjisMemoView, SelectionLengthScrollsTheCaretIntoSight)
{
    SjisMemo memo;
    memo.resize(300, 200);
    memo.show();
    std::string text;
    for (int i = 0; i < 500; ++i)
        text += "row " + std::to_string(i) + "\r\n";
    memo.SetText(text);
    QCoreApplication::processEvents();
    EXPECT_EQ(memo.verticalScrollBar()->value(), 0);
    memo.SetSelStart(static_cast<int64_t>(text.find("row 450")));
    memo.SetSelLength(7);
    QCoreApplication::processEvents();
    EXPECT_GT(memo.verticalScrollBar()->value(), 400);
    const QPalette pal = memo.palette();
    EXPECT_EQ(pal.color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(pal.color(QPalette::Text), QColor(Qt::white));
}

TEST(SjisCodecTable, TypedTextTakesOneCodeOfTwins)
{
    // The twins decode alike; typing that character gives code page 932's
    // own choice.
    EXPECT_EQ(SjisCodec::Decode("\xED\x40"s), SjisCodec::Decode("\xFA\x5C"s));
    EXPECT_EQ(SjisCodec::Encode(SjisCodec::Decode("\xED\x40"s)), "\xFA\x5C"s);
    EXPECT_EQ(SjisCodec::Encode(SjisCodec::Decode("\x87\x90"s)), "\x81\xE0"s);
    EXPECT_EQ(SjisCodec::Encode(SjisCodec::Decode("\xEE\xEF"s)), "\xFA\x40"s);
    EXPECT_EQ(SjisCodec::Encode(SjisCodec::Decode("\xFA\x4A"s)), "\x87\x54"s);
    EXPECT_EQ(SjisCodec::Encode(u"\u0E01😀é"), "??\x85\x7E"s);
    EXPECT_EQ(SjisCodec::EncodedLength(u"aあ😀"), 4);
}

TEST(SjisCodecTable, GeneratedTableMatchesItsGenerator)
{
    const std::string command = "/usr/bin/python3 " WISPLOG_SOURCE_DIR "/tools/make_sjis_view_table.py --check "
                                WISPLOG_SOURCE_DIR "/codec/SjisViewTable.cpp";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

} // namespace
