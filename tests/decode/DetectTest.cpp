// DetectEncoding: realistic logs in each encoding, and the rules that decide
// between the signs (ties, zero bytes, UTF-7, the order of the tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

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

TEST(DetectEncoding, AgreesWithTheStepByStepDetector)
{
    // The fast lanes must give exactly what the thirteen steps give, one
    // position at a time: random texts built from the bytes that matter.
    const uint8_t alphabet[] = {0x00, 0x0A, 0x0D, 0x1B, '$', '(', '@', 'B', 'O', 'P', 'D', '+', '-',
                                'A', '/', ' ', 0x40, 0x7E, 0x7F, 0x80, 0x81, 0x9F, 0xA0, 0xA1,
                                0xBF, 0xC0, 0xDF, 0xE0, 0xF7, 0xF8, 0xFC, 0xFD, 0xFE, 0xFF};
    uint64_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(seed >> 33);
    };
    for (int round = 0; round < 20000; ++round) {
        const size_t length = next() % 120;
        const bool fewZeros = round % 2 == 0;
        Bytes text;
        for (size_t k = 0; k < length; ++k) {
            uint8_t b = alphabet[next() % sizeof alphabet];
            if (fewZeros && b == 0)
                b = 'x';
            text += static_cast<char>(b);
        }
        std::unique_ptr<uint8_t[]> block(new uint8_t[length + 2]());
        std::copy(text.begin(), text.end(), block.get());
        const int64_t count = static_cast<int64_t>(length);
        ASSERT_EQ(DetectEncoding(block.get(), count), literal::DetectEncoding(block.get(), count))
            << testing::PrintToString(text);
    }
    for (const char* name : {"sample.euc-jp", "sample.iso-2022-jp", "sample.shift_jis", "sample.utf-8",
                             "sample.utf-16le"}) {
        const Bytes file = ReadSample(name) + Bytes(2, '\0');
        const auto* data = reinterpret_cast<const uint8_t*>(file.data());
        for (int64_t count : {int64_t(file.size()) - 3, int64_t(file.size()) / 2, int64_t(777)})
            EXPECT_EQ(DetectEncoding(data, count), literal::DetectEncoding(data, count)) << name << count;
    }
}
