// DetectEncoding: realistic logs in each encoding, and the rules that decide
// between the signs (ties, zero bytes, UTF-7, the order of the tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "decode/Convert.h"
#include "decode/Detect.h"
#include "tests/decode/DecodeTestUtil.h"
#include "tests/decode/LiteralDetect.h"

using namespace decodetest;

namespace {

// Detects as the display does: the file's bytes and a zero behind them in a
// block of exactly that size, count = file length - 1.
EncodingKind DetectFile(const Bytes& file)
{
    std::unique_ptr<uint8_t[]> block(new uint8_t[file.size() + 1]);
    std::copy(file.begin(), file.end(), block.get());
    block[file.size()] = 0;
    return DetectEncoding(block.get(), static_cast<int64_t>(file.size()) - 1);
}

// Detects buffer[0 .. count] with the buffer readable exactly through count + 1.
EncodingKind DetectCount(const Bytes& bytes, int64_t count)
{
    const int64_t size = std::max<int64_t>(count + 2, 1);
    std::unique_ptr<uint8_t[]> block(new uint8_t[size]());
    std::copy(bytes.begin(), bytes.begin() + std::min<int64_t>(bytes.size(), size), block.get());
    return DetectEncoding(block.get(), count);
}

Bytes ReadSample(const std::string& name)
{
    std::ifstream in(std::string(DECODE_TEST_DATA_DIR "/") + name, std::ios::binary);
    EXPECT_TRUE(in) << name << " missing: build the decode_test_data target";
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Repeat(const Bytes& text, int times)
{
    Bytes out;
    for (int k = 0; k < times; ++k)
        out += text;
    return out;
}

Bytes Utf16Le(const std::u16string& text)
{
    Bytes out;
    for (char16_t unit : text) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    }
    return out;
}

} // namespace

TEST(DetectEncoding, RealisticLogsOfEachEncoding)
{
    EXPECT_EQ(DetectFile(ReadSample("sample.euc-jp")), ekEuc);
    EXPECT_EQ(DetectFile(ReadSample("sample.iso-2022-jp")), ekJis);
    EXPECT_EQ(DetectFile(ReadSample("sample.shift_jis")), ekSjis);
    EXPECT_EQ(DetectFile(ReadSample("sample.utf-8")), ekUtf8);
    EXPECT_EQ(DetectFile(ReadSample("sample.utf-16le")), ekUtf16);
    EXPECT_EQ(DetectFile(ReadSample("sample-bom.utf-16le")), ekUtf16);
    EXPECT_EQ(DetectFile(ReadSample("sample-lf.utf-16le")), ekUtf16);
}

TEST(DetectEncoding, DetectedLogsConvertToTheSameShiftJisText)
{
    // One text in five encodings: each converter must reproduce the
    // Shift_JIS file that Python's codec wrote.
    const Bytes sjis = ReadSample("sample.shift_jis");
    ASSERT_GT(sjis.size(), 10000u);
    EXPECT_TRUE(Euc(ReadSample("sample.euc-jp")) == sjis);
    EXPECT_TRUE(Jis(ReadSample("sample.iso-2022-jp")) == sjis);
    const Bytes utf16 = ReadSample("sample.utf-16le");
    std::basic_string<uint16_t> units(utf16.size() / 2, 0);
    std::memcpy(units.data(), utf16.data(), units.size() * 2);
    EXPECT_TRUE(Convert<uint16_t>(Utf16ToSjis, units) == sjis);
    const std::u16string fromUtf8 = Utf8(ReadSample("sample.utf-8"));
    EXPECT_TRUE(Convert<uint16_t>(Utf16ToSjis, std::basic_string<uint16_t>(fromUtf8.begin(), fromUtf8.end())) == sjis);
}

TEST(DetectEncoding, TooShortIsUnknown)
{
    EXPECT_EQ(DetectCount("", 0), ekUnknown);
    EXPECT_EQ(DetectCount("\xA4\xA2", 1), ekUnknown);
    EXPECT_EQ(DetectCount("", -5), ekUnknown);
    EXPECT_EQ(DetectEncoding(nullptr, 1), ekUnknown);
    // With the display's convention files of one or two bytes are unknown.
    EXPECT_EQ(DetectFile("\x82\xA0"), ekUnknown);
    EXPECT_EQ(DetectFile("a"), ekUnknown);
    EXPECT_EQ(DetectFile(""), ekUnknown);
    // A count of 2 examines position 0 alone: the pair there counts.
    EXPECT_EQ(DetectCount("\xA4\xA2", 2), ekEuc);
    EXPECT_EQ(DetectCount("a\xA4\xA2", 2), ekUtf7);
}

TEST(DetectEncoding, SevenBitTextAndTheUtf7Check)
{
    EXPECT_EQ(DetectFile("The quick brown fox jumps over the lazy dog.\r\n"), ekUtf7);
    EXPECT_EQ(DetectFile("1 + 2 = 3\r\n"), ekAscii);
    EXPECT_EQ(DetectFile("Hi +ZeVnLIqe- there, a+b/c-d\r\n"), ekUtf7);
    EXPECT_EQ(DetectFile("A ++- run\r\n"), ekUtf7);       // '+' inside a run is base64
    EXPECT_EQ(DetectFile("a +ZeV\x80- b\r\n"), ekAscii);   // 0x80 is seven-bit, not base64
    // A byte above 0x80 freezes the check: later runs cannot spoil it.
    EXPECT_EQ(DetectFile("ok +AGE- \xFF then +a b\r\n"), ekUtf7);
    EXPECT_EQ(DetectFile("ok +a b then \xFF\r\n"), ekAscii);
}

TEST(DetectEncoding, ZeroBytes)
{
    // Two zero bytes from an even position end the scan, whatever came before.
    const Bytes utf16 = Utf16Le(u"\u65E5\u672C\r\n");
    EXPECT_EQ(DetectFile(utf16 + Bytes("\0\0more\r\0\n\0", 10)), ekBinary);
    // The same pair at an odd position is not a zero unit: the scan goes on.
    EXPECT_EQ(DetectFile(Utf16Le(u"A\r\n") + Bytes("x\0\0", 3) + Utf16Le(u"\r\n") + "z"), ekUtf16);
    EXPECT_EQ(DetectFile(Utf16Le(u"\u3042\r\n") + Bytes("\0", 1) + Utf16Le(u"\n\u3044")), ekUtf16);
    // A single zero byte without UTF-16 line breaks.
    EXPECT_EQ(DetectFile(Bytes("plain text\0and more", 19)), ekBinary);
    // After a zero byte only UTF-16 signs count: an escape there is ignored.
    EXPECT_EQ(DetectFile(Bytes("abc\0\x1B$B0!\x1B(B", 12)), ekBinary);
    // A zero in the very last byte is only look-ahead.
    EXPECT_EQ(DetectFile(Bytes("\xA4\xA2\xA4\xA4\0", 5)), ekEuc);
}

TEST(DetectEncoding, Utf16LittleEndianNeedsALineBreakAndNoHighByteAtAnOddPosition)
{
    const std::u16string text = u"\u65E5\u672C\u8A9E\u306E\u30ED\u30B0 OK";
    EXPECT_EQ(DetectFile(Utf16Le(text + u"\r\n")), ekUtf16);
    EXPECT_EQ(DetectFile(Utf16Le(u"\uFEFF" + text + u"\n" + text + u"\n")), ekUtf16);
    // The last two bytes are only look-ahead: a final LF unit alone is not seen.
    EXPECT_EQ(DetectFile(Utf16Le(text + u"\n")), ekBinary);
    EXPECT_EQ(DetectFile(Utf16Le(text)), ekBinary);   // no line break, zero bytes
    // Japanese only, no zero byte, no line break: judged by the pair counts.
    EXPECT_EQ(DetectFile(Utf16Le(u"\u65E5\u672C\u8A9E")), ekSjis);
    EXPECT_EQ(DetectFile(Utf16Le(u"\uD55C\uAD6D\uC5B4 text\r\n")), ekBinary);   // Hangul
    // Big-endian: the line-break units stand at odd positions.
    Bytes bigEndian;
    for (char16_t unit : text + u"\r\n") {
        bigEndian += static_cast<char>(unit >> 8);
        bigEndian += static_cast<char>(unit & 0xFF);
    }
    EXPECT_EQ(DetectFile(bigEndian), ekBinary);
}

TEST(DetectEncoding, OneKanjiEscapeMakesJis)
{
    const Bytes sjis = Repeat("\x93\xFA\x96\x7B\x8C\xEA ", 50);
    EXPECT_EQ(DetectFile(sjis), ekSjis);
    EXPECT_EQ(DetectFile(sjis + "\x1B$B0!\x1B(B" + sjis), ekJis);
    EXPECT_EQ(DetectFile(Repeat("\xE6\x97\xA5", 40) + "\x1B$@"), ekJis);
    EXPECT_EQ(DetectFile("x\x1B$(O!!\x1B(B."), ekJis);
    EXPECT_EQ(DetectFile("x\x1B$(P!!\x1B(B."), ekJis);
    // Not kanji-in escapes: JIS X 0212 and the single-byte sets.
    EXPECT_EQ(DetectFile("x\x1B$(D" "0!\x1B(B."), ekUtf7);
    EXPECT_EQ(DetectFile("x\x1B(I" "1\x1B(J.\x1B(B.\r\n"), ekUtf7);
    // An escape cut at the end reads only the bytes the caller provides.
    EXPECT_EQ(DetectFile("abc\x1B$("), ekUtf7);
    EXPECT_EQ(DetectCount("abc\x1B$(O", 5), ekJis);
}

TEST(DetectEncoding, Utf8CountsOnlyLeadBytesWithTwoContinuations)
{
    EXPECT_EQ(DetectFile("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E log\r\n"), ekUtf8);
    // Two-byte sequences followed by ASCII look like EUC pairs.
    EXPECT_EQ(DetectFile(Repeat("caf\xC3\xA9 ", 10)), ekEuc);
    // Four-byte sequences count once each, as three-byte ones.
    EXPECT_EQ(DetectFile(Repeat("\xF0\x9F\x98\x80 ", 5)), ekUtf8);
}

TEST(DetectEncoding, PairCountsAndTies)
{
    // Half-width katakana next to each other count as EUC pairs.
    EXPECT_EQ(DetectFile("\xB1\xB2\xB3\xB4 \xB5\xB6\r\n"), ekEuc);
    // One Shift_JIS pair, one EUC pair, no UTF-8: a tie.
    EXPECT_EQ(DetectFile("\x88\x9F xx \xA4\xA2 yy"), ekUnknown);
    // Two UTF-8 sequences against two Shift_JIS pairs: a tie as well.
    EXPECT_EQ(DetectFile("\xE3\x81\x82 \xE3\x81\x84 \x88\x9F \x88\x9F "), ekUnknown);
    EXPECT_EQ(DetectFile("\xE3\x81\x82 \xE3\x81\x84 \x88\x9F "), ekUtf8);
}

TEST(DetectEncoding, PairFlagsAreIndependent)
{
    // An EUC pair A1 E0, then a Shift_JIS pair E0 40 counted on its second
    // byte. inEucPair stays set until step 13 runs at A1 A1, which is
    // therefore not counted: one pair of each, a tie.
    EXPECT_EQ(DetectFile("\xA1\xE0\x40\xA1\xA1  "), ekUnknown);
    // Without the overlap the same bytes after a space make the EUC count win.
    EXPECT_EQ(DetectFile("\xA1\xE0 \xA1\xA1  "), ekEuc);
    // A Shift_JIS trail byte takes no EUC test.
    EXPECT_EQ(DetectFile("\x88\xA1\xA1 \xA4\xA2 "), ekUnknown);
}

// The text followed by UTF-8 sequences, Shift_JIS pairs and EUC pairs, each
// on its own between spaces, to bring the three counts to a tie: N, N, N;
// N + 1, N + 1, N; and N, N + 1, N + 1. Each detects as ekUnknown, and one
// count off by one in either direction changes that. Empty where the text
// decides by other signs (zero bytes, escapes).
std::vector<Bytes> TiedCounts(const Bytes& text)
{
    std::unique_ptr<uint8_t[]> block(new uint8_t[text.size() + 2]());
    std::copy(text.begin(), text.end(), block.get());
    literal::Counts counts;
    const EncodingKind kind = literal::DetectEncoding(block.get(), static_cast<int64_t>(text.size()), &counts);
    if (kind == ekBinary || kind == ekUtf16 || kind == ekJis || text.find('\0') != Bytes::npos)
        return {};
    const int64_t n = std::max({counts.Utf8Sequences, counts.SjisPairs, counts.EucPairs}) + 1;
    std::vector<Bytes> tied;
    for (const auto& raise : {std::array{0, 0, 0}, std::array{1, 1, 0}, std::array{0, 1, 1}}) {
        Bytes out = text + "  ";
        for (int64_t k = counts.Utf8Sequences; k < n + raise[0]; ++k)
            out += "\xE3\x81\x82  ";
        for (int64_t k = counts.SjisPairs; k < n + raise[1]; ++k)
            out += "\x82\xA0  ";
        for (int64_t k = counts.EucPairs; k < n + raise[2]; ++k)
            out += "\xA1\xA1  ";
        tied.push_back(out);
    }
    return tied;
}

TEST(DetectEncoding, AgreesWithTheStepByStepDetector)
{
    // The fast lanes must give exactly what the thirteen steps give, one
    // position at a time, with the AVX2 lane (where the processor has it)
    // and with the lanes of processors without it: random texts built from
    // the bytes and escapes that matter, or from characters of each
    // encoding, short and long enough for several blocks, some also brought
    // to tied counts; the samples; and texts longer than the stretches the
    // lanes take between progress calls.
    struct WideLanesBack {
        ~WideLanesBack() { SetDetectorWideLanes(true); }
    } wideLanesBack;
    const char* const bytes[] = {"\x00", "\x0A", "\x0D", "\x1B", "$", "(", "@", "B", "O", "P", "D", "+", "-",
                                 "A", "/", " ", "\x40", "\x7E", "\x7F", "\x80", "\x81", "\x9F", "\xA0", "\xA1",
                                 "\xBF", "\xC0", "\xDF", "\xE0", "\xF7", "\xF8", "\xFC", "\xFD", "\xFE", "\xFF",
                                 "\x1B$B", "\x1B$@", "\x1B$(O", "\x1B$(P", "\x1B$(Q", "\x1B$A", "\x1B(B", "\r\n"};
    const int firstHigh = 19;   // "\x80" onwards, with the escapes and CR LF
    const char* const characters[] = {"\xE3\x81\x82", "\xE4\xBA\x9C", "\xC3\xA9", "\x82\xA0", "\xE0\x40",
                                      "\x88\x9F", "\xA4\xA2", "\xC0\xA1", "\xB0\xBF", "\xA1", "\x80", "\xC0",
                                      "\xE0", "A", " ", "\r\n", "\x1B$A"};
    uint64_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(seed >> 33);
    };
    auto agrees = [](const Bytes& text) {
        const int64_t count = static_cast<int64_t>(text.size());
        std::unique_ptr<uint8_t[]> block(new uint8_t[count + 2]());
        std::copy(text.begin(), text.end(), block.get());
        const EncodingKind expected = literal::DetectEncoding(block.get(), count);
        for (bool wide : {true, false}) {
            SetDetectorWideLanes(wide);
            if (DetectEncoding(block.get(), count) != expected)
                return false;
        }
        return true;
    };

    for (int round = 0; round < 20000; ++round) {
        const size_t length = next() % (round % 4 < 2 ? 120 : 600);
        // 0, 1: any bytes; 2: mostly high; 3, 4: characters; 5: seven-bit
        // text with a few high bytes and UTF-7 runs, in every other such
        // text followed by UTF-16 line breaks.
        const int kind = round % 6;
        Bytes text;
        while (text.size() < length) {
            if (kind == 5) {
                const char few[] = "+-!\xFF\xA4\xF8";
                text += next() % 16 ? 'a' : few[next() % 6];
            } else if (kind >= 3) {
                // Mostly UTF-8 sequences in every other such text.
                const size_t pick = next() % (kind == 4 && round % 2 ? 300 : std::size(characters));
                text += characters[pick < std::size(characters) ? pick : pick % 2];
            } else {
                const size_t pick = kind == 2 && next() % 8 != 0 ? firstHigh + next() % (std::size(bytes) - firstHigh)
                                                                 : next() % std::size(bytes);
                text += pick == 0 ? (round % 2 ? Bytes(1, '\0') : Bytes("x")) : Bytes(bytes[pick]);
            }
        }
        if (kind == 5 && round % 4 < 2)
            text += Bytes("\r\0\n\0", 4);
        ASSERT_TRUE(agrees(text)) << testing::PrintToString(text);
        if (round % 4 == 3) {
            for (const Bytes& tied : TiedCounts(text))
                ASSERT_TRUE(agrees(tied)) << testing::PrintToString(tied);
        }
    }

    // A character at each place of a block, a stretch with nothing to count,
    // and another character: what the lanes carry from block to block.
    for (const char* character : {"\xE3\x81\x82", "\xE4\xBA\xA0", "\x82\xA0", "\xA1\xA1"}) {
        for (int before = 0; before < 70; ++before) {
            for (int between = 54; between < 72; ++between) {
                const Bytes text = Bytes(before, 'x') + character + Bytes(between, 'y') + "\xA1\xA1\x82\xA0\xE3\x81\x82";
                for (const Bytes& tied : TiedCounts(text))
                    ASSERT_TRUE(agrees(tied)) << testing::PrintToString(tied);
            }
        }
    }

    std::vector<Bytes> samples;
    for (const char* name : {"sample.euc-jp", "sample.iso-2022-jp", "sample.shift_jis", "sample.utf-8",
                             "sample.utf-16le"})
        samples.push_back(ReadSample(name) + Bytes(2, '\0'));
    for (bool wide : {true, false}) {
        SetDetectorWideLanes(wide);
        for (const Bytes& file : samples) {
            const auto* data = reinterpret_cast<const uint8_t*>(file.data());
            for (int64_t count : {int64_t(file.size()) - 3, int64_t(file.size()) / 2, int64_t(777)})
                EXPECT_EQ(DetectEncoding(data, count), literal::DetectEncoding(data, count)) << wide << count;
        }
    }

    // Characters of each encoding past 2^20 positions, cut there at each
    // phase of a three-byte UTF-8 sequence.
    Bytes longText;
    while (longText.size() < (size_t(1) << 20) - 60)
        longText += characters[next() % 9];
    longText += Repeat(characters[0], 40);
    while (longText.size() < (size_t(1) << 20) + 200)
        longText += characters[next() % 9];
    for (const char* start : {"", " ", "  "})
        for (const Bytes& tied : TiedCounts(Bytes(start) + longText))
            EXPECT_TRUE(agrees(tied)) << std::strlen(start);
}

TEST(DetectEncoding, TellsProgressAsItGoes)
{
    // With either set of lanes the calls come in order, at least Every
    // positions apart and no more than Every plus the 2^20 positions a lane
    // takes between two returns, up to the end of the text; a UTF-16 text,
    // whose zero bytes send the pass into a lane of its own, as well.
    struct WideLanesBack {
        ~WideLanesBack() { SetDetectorWideLanes(true); }
    } wideLanesBack;
    struct Calls {
        const uint8_t* Data;
        std::vector<int64_t> At;
    };
    const Bytes texts[] = {
        Repeat(ReadSample("sample.euc-jp") + ReadSample("sample.shift_jis"), 60) + Bytes(2, '\0'),
        Repeat(ReadSample("sample.utf-16le"), 40) + Bytes(2, '\0'),
    };
    for (const auto& [text, wide] : {std::pair{texts[0], true}, {texts[0], false}, {texts[1], true}}) {
        const auto* data = reinterpret_cast<const uint8_t*>(text.data());
        const int64_t count = static_cast<int64_t>(text.size()) - 3;
        SetDetectorWideLanes(wide);
        Calls calls{data, {}};
        PassProgress progress;
        progress.Every = 300000;
        progress.Context = &calls;
        progress.Reached = [](const uint8_t* position, void* context) {
            auto* c = static_cast<Calls*>(context);
            c->At.push_back(position - c->Data);
        };
        EXPECT_EQ(DetectEncoding(data, count, &progress), literal::DetectEncoding(data, count));
        ASSERT_FALSE(calls.At.empty());
        int64_t last = 0;
        for (int64_t at : calls.At) {
            EXPECT_GE(at - last, progress.Every) << wide;
            EXPECT_LE(at - last, progress.Every + (int64_t(1) << 20) + 1) << wide;
            last = at;
        }
        EXPECT_GE(last, count - progress.Every - (int64_t(1) << 20)) << wide;
    }
}
