// The converters and their helpers: the examples and quirks they must keep,
// the capacity rule at every capacity, and the terminator never passed.
#include <gtest/gtest.h>

#include <algorithm>

#include "decode/Convert.h"
#include "tests/decode/DecodeTestUtil.h"

using namespace decodetest;

namespace {

// Runs convert at every capacity from 0 to measured + 2 on an output with
// guard units behind the capacity, and checks each result against the
// capacity rule. ends lists where each character of the full output ends.
template <typename In, typename Out>
void CheckEveryCapacity(int64_t (*convert)(Out*, const In*, uint64_t),
                        const std::basic_string<In>& text, const std::vector<size_t>& ends)
{
    constexpr Out sentinel = static_cast<Out>(0xAAAA);
    constexpr size_t guard = 8;
    ExactInput<In> input(text);
    const int64_t measured = convert(nullptr, input.Data(), 12345);
    ASSERT_EQ(measured, static_cast<int64_t>(ends.back()));
    std::vector<Out> full(ends.back() + 1);
    ASSERT_EQ(convert(full.data(), input.Data(), full.size()), measured);

    for (size_t capacity = 0; capacity <= ends.back() + 2; ++capacity) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        std::vector<Out> out(capacity + guard, sentinel);
        const int64_t result = convert(out.data(), input.Data(), capacity);
        for (size_t k = capacity; k < out.size(); ++k)
            EXPECT_EQ(out[k], sentinel) << "written at or past the capacity, index " << k;
        if (capacity > ends.back()) {
            EXPECT_EQ(result, measured);
            EXPECT_TRUE(std::equal(full.begin(), full.end(), out.begin()));
            continue;
        }
        EXPECT_EQ(result, -1);
        // The first character whose end reaches the capacity is not written.
        size_t written = 0;
        size_t stopEnd = 0;
        for (size_t end : ends) {
            if (end >= capacity) {
                stopEnd = end;
                break;
            }
            written = end;
        }
        EXPECT_TRUE(std::equal(full.begin(), full.begin() + written, out.begin()));
        if (capacity > 0 && stopEnd == capacity) {
            EXPECT_EQ(out[written], 0) << "terminator expected where the character began";
        } else if (written < capacity) {
            EXPECT_EQ(out[written], sentinel) << "no terminator when the character passes";
        }
    }
}

} // namespace

TEST(ConvertHelpers, PutSjisCharWritesHighByteFirstAndQuestionMarkForZero)
{
    uint8_t out[3] = {0xAA, 0xAA, 0xAA};
    EXPECT_EQ(PutSjisChar(nullptr, 0x889F), 2);
    EXPECT_EQ(PutSjisChar(nullptr, 0x41), 1);
    EXPECT_EQ(PutSjisChar(nullptr, 0), 1);
    EXPECT_EQ(PutSjisChar(out, 0x889F), 2);
    EXPECT_EQ(out[0], 0x88);
    EXPECT_EQ(out[1], 0x9F);
    EXPECT_EQ(out[2], 0xAA);
    EXPECT_EQ(PutSjisChar(out, 0), 1);
    EXPECT_EQ(out[0], '?');
    EXPECT_EQ(PutSjisChar(out, 0xB1), 1);
    EXPECT_EQ(out[0], 0xB1);
    EXPECT_EQ(out[1], 0x9F);
}

TEST(ConvertHelpers, JisCodeToSjisPlacesBothPlanes)
{
    EXPECT_EQ(JisCodeToSjis(0x3021, 1), 0x889F);
    EXPECT_EQ(JisCodeToSjis(0x2121, 1), 0x8140);
    EXPECT_EQ(JisCodeToSjis(0x7E7E, 1), 0xEFFC);
    EXPECT_EQ(JisCodeToSjis(0x2121, 2), 0xF040);
    EXPECT_EQ(JisCodeToSjis(0x2821, 2), 0xF09F);
    EXPECT_EQ(JisCodeToSjis(0x2C21, 2), 0xF29F);
    EXPECT_EQ(JisCodeToSjis(0x6E21, 2), 0xF49F);
    EXPECT_EQ(JisCodeToSjis(0x7E7E, 2), 0xFCFC);
    // Plane-2 rows without a Shift_JIS place.
    for (uint16_t row : {0x22, 0x26, 0x27, 0x29, 0x2B, 0x30, 0x50, 0x6D})
        EXPECT_EQ(JisCodeToSjis(static_cast<uint16_t>(row << 8 | 0x21), 2), 0) << row;
}

TEST(ConvertHelpers, Jisx0212ToSjisOnlyInsideTheTable)
{
    EXPECT_EQ(Jisx0212ToSjis(0x3121), 0xF06B);
    EXPECT_EQ(Jisx0212ToSjis(0x6059), 0xFAFB);   // shares the code of (0x64, 0x57)
    EXPECT_EQ(Jisx0212ToSjis(0x6457), 0);
    EXPECT_EQ(Jisx0212ToSjis(0x3021), 0);         // row 0x30 is never consulted
    EXPECT_EQ(Jisx0212ToSjis(0x307D), 0);
    EXPECT_EQ(Jisx0212ToSjis(0x3120), 0);
    EXPECT_EQ(Jisx0212ToSjis(0x317E), 0);         // cell 0x7E is outside
    EXPECT_EQ(Jisx0212ToSjis(0x6D7E), 0);
    EXPECT_EQ(Jisx0212ToSjis(0x6E21), 0);
    EXPECT_EQ(Jisx0212ToSjis(0xFFFF), 0);
}

TEST(ConvertHelpers, DecodeUtf8CharLengthsAndValues)
{
    struct Case {
        Bytes bytes;
        uint16_t value;
        int length;
    } cases[] = {
        {"A", 'A', 1},
        {"\x80", 0x80, 1},            // stray continuation byte
        {"\xBF", 0xBF, 1},
        {"\xC3\xA9", 0xE9, 2},
        {"\xC0\x80", 0, 2},           // overlong zero
        {"\xC3" "A", 0xC1, 2},        // continuation not checked
        {"\xE3\x81\x82", 0x3042, 3},
        {"\xEF\xBF\xBF", 0xFFFF, 3},
        {"\xF0\x9F\x98\x80", 0xFFFF, 4},
        {"\xF8\x88\x80\x80\x80", 0xFFFF, 5},
        {"\xFC\x84\x80\x80\x80\x80", 0xFFFF, 6},
        {"\xFF\x80\x80\x80\x80\x80", 0xFFFF, 6},
        // Cut by the terminator: 0, with the length up to the zero byte.
        {"\xE3\x81", 0, 2},
        {"\xC3", 0, 1},
        {"\xF0\x9F", 0, 2},
    };
    for (const Case& c : cases) {
        ExactInput<uint8_t> input(Raw(c.bytes));
        int length = -1;
        EXPECT_EQ(DecodeUtf8Char(input.Data(), &length), c.value) << testing::PrintToString(c.bytes);
        EXPECT_EQ(length, c.length) << testing::PrintToString(c.bytes);
        EXPECT_EQ(DecodeUtf8Char(input.Data(), nullptr), c.value);
    }
}

TEST(JisToSjis, KanjiBetweenEscapes)
{
    EXPECT_EQ(Jis("A\x1B$B0!\x1B(Bz"), "A\x88\x9Fz");
    EXPECT_EQ(JisToSjis(nullptr, U8(Bytes("A\x1B$B0!\x1B(Bz")), 0), 4);
    EXPECT_EQ(Jis("\x1B$@0!"), "\x88\x9F");
    // Plane 1 and plane 2 of JIS X 0213, and JIS X 0212 (its row 0x30 has no codes).
    EXPECT_EQ(Jis("\x1B$(O!!\x1B$(P!!\x1B(B."), "\x81\x40\xF0\x40.");
    EXPECT_EQ(Jis("\x1B$(D" "1!0!\x1B(B"), "\xF0\x6B?");
    EXPECT_EQ(Jis("\x1B$(P\"!"), "?");   // plane-2 row 2 has no place
}

TEST(JisToSjis, KatakanaShiftsAndRoman)
{
    EXPECT_EQ(Jis("\x1B(J\x0E" "1\x0F" "A"), "\xB1" "A");
    EXPECT_EQ(Jis("\x0E" "1"), "\x0E" "1");     // SO only works from Roman
    EXPECT_EQ(Jis("\x1B(I" "16\x0F" "1\x0E" "1"), "\xB1\xB6" "1\xB1");
    EXPECT_EQ(Jis("\x0F" "1\x1B(B\x0E" "1"), "\x0F" "1\x0E" "1");   // SI and SO only from kana and Roman
    EXPECT_EQ(Jis("\x1B(I!_\x1B(B!"), "\xA1\xDF!");
    EXPECT_EQ(Jis("\x1B(J\\~"), "\\~");
}

TEST(JisToSjis, UnknownEscapesAndEightBitBytesPassThrough)
{
    EXPECT_EQ(Jis("\x1B" "A"), "\x1B" "A");
    EXPECT_EQ(Jis("\x1B$(B"), "\x1B$(B");
    EXPECT_EQ(Jis("\x1B$A"), "\x1B$A");
    EXPECT_EQ(Jis("\x1B(Z"), "\x1B(Z");
    EXPECT_EQ(Jis("a\x80\xFF\xA4\xA2"), "a\x80\xFF\xA4\xA2");
    // Outside a pair, eight-bit bytes, space and controls stay one byte in kanji mode.
    EXPECT_EQ(Jis("\x1B$B\xA4 \r\n0!"), "\xA4 \r\n\x88\x9F");
}

TEST(JisToSjis, DoubleByteModesTakeAnySecondByte)
{
    // A control byte right after a first byte is the pair's cell byte.
    EXPECT_EQ(Jis("\x1B$B0\n"), "\x88\x88");
    // A second byte of 0x80 or above: the trail overflows into the lead byte
    // and the code stays two bytes, measured and written alike.
    EXPECT_EQ(Jis("\x1B$B0\xFF"), "\x89\x7D");
    EXPECT_EQ(Jis("\x1B$(P~\xFF"), "\xFD\x7D");
    EXPECT_EQ(Jis("\x1B$(D" "1\xFF"), "?");
}

TEST(JisToSjis, TerminatorEndsEveryUnfinishedSequence)
{
    // Each input ends exactly at the end of its allocation; the cut
    // character yields nothing.
    EXPECT_EQ(Jis("a\x1B"), "a\x1B");
    EXPECT_EQ(Jis("a\x1B$"), "a\x1B$");
    EXPECT_EQ(Jis("a\x1B$("), "a\x1B$(");
    EXPECT_EQ(Jis("a\x1B("), "a\x1B(");
    EXPECT_EQ(Jis("a\x1B$B0"), "a");
    EXPECT_EQ(Jis("a\x1B$(P0"), "a");
    EXPECT_EQ(Jis("a\x1B$(D0"), "a");
    EXPECT_EQ(Jis(""), "");
}

TEST(EucToSjis, EachKindOfSequence)
{
    EXPECT_EQ(Euc("\xB0\xA1"), "\x88\x9F");
    EXPECT_EQ(Euc("\x8E\xB1"), "\xB1");
    EXPECT_EQ(Euc("\x8E" "1"), "\xB1");                  // k | 0x80
    EXPECT_EQ(Euc("\x8F\xA1\xA1"), "\xF0\x40");          // plane 2, row 1
    EXPECT_EQ(Euc("\x8F\xB1\xA1"), "\xF0\x6B");          // JIS X 0212 0x3121
    EXPECT_EQ(Euc("\x8F\xB0\xA1"), "?");                 // row 0x30 is plane 2 row 16: no place
    EXPECT_EQ(Euc("\x8F\xE0\xD9"), "\xFA\xFB");
    EXPECT_EQ(Euc("\xB0" "!"), "\x88\x9F");              // only seven bits of the second byte
    EXPECT_EQ(Euc("\xFF\xFF"), "\xF0\x9F");
    EXPECT_EQ(Euc("a\x80\x8D\x90\xA0\x7F\r\n"), "a\x80\x8D\x90\xA0\x7F\r\n");
}

TEST(EucToSjis, TerminatorEndsEveryUnfinishedSequence)
{
    EXPECT_EQ(Euc("a\xB0"), "a");
    EXPECT_EQ(Euc("a\x8E"), "a");
    EXPECT_EQ(Euc("a\x8F"), "a");
    EXPECT_EQ(Euc("a\x8F\xB1"), "a");
    EXPECT_EQ(Euc(""), "");
}

TEST(Utf16ToSjis, UnitsStandAlone)
{
    EXPECT_EQ(Utf16(u"\u3042"), "\x82\xA0");
    EXPECT_EQ(Utf16(u"\uFF5E\u301C"), "\x81\x60?");
    EXPECT_EQ(Utf16(u"\uFEFFa"), "?a");
    EXPECT_EQ(Utf16(u"\U0001F600"), "??");
    EXPECT_EQ(Utf16(u"\\~\u00A5\u203E"), "\\~\\?");
    EXPECT_EQ(Utf16(u"\uFF71\uF8F0\uF8F3"), "\xB1\xA0\xFF");
    EXPECT_EQ(Utf16(u"\uAC00\u0500"), "??");   // pages without a table
    EXPECT_EQ(Utf16(u""), "");
}

TEST(Utf8ToUtf16, SequencesOfEachLength)
{
    EXPECT_EQ(Utf8("\xE3\x81\x82"), u"\u3042");
    EXPECT_EQ(Utf8("\xF0\x9F\x98\x80" "a"), u"?a");
    EXPECT_EQ(Utf8("\xF8\x88\x80\x80\x80" "a\xFC\x84\x80\x80\x80\x80" "b"), u"?a?b");
    EXPECT_EQ(Utf8("\x80"), u"\u0080");
    EXPECT_EQ(Utf8("a\xC0\x80" "b"), u"a");   // the overlong zero ends the text
    EXPECT_EQ(Utf8("a\xC3\xA9"), u"a\u00E9");
    EXPECT_EQ(Utf8(""), u"");
}

TEST(Utf8ToUtf16, TerminatorEndsEveryUnfinishedSequence)
{
    EXPECT_EQ(Utf8("a\xC3"), u"a");
    EXPECT_EQ(Utf8("a\xE3\x81"), u"a");
    EXPECT_EQ(Utf8("a\xF0\x9F\x98"), u"a");
    EXPECT_EQ(Utf8("a\xFC\x84\x80\x80\x80"), u"a");
}

TEST(Utf8ToUtf16, EveryBmpUnitRoundTrips)
{
    Bytes text;
    std::u16string expected;
    for (uint32_t unit = 1; unit < 0x10000; ++unit) {
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | unit >> 6);
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | unit >> 12);
            text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
        expected += static_cast<char16_t>(unit);
    }
    EXPECT_TRUE(Utf8(text) == expected);
}

TEST(CapacityRule, EveryCapacityFromZeroToMeasuredPlusTwo)
{
    // ASCII, a double-byte character, katakana, a double-byte character at the end.
    CheckEveryCapacity<uint8_t, uint8_t>(EucToSjis, Raw("a\xB0\xA1\x8E\xB1" "b\xA4\xA2"),
                                         {1, 3, 4, 5, 7});
    CheckEveryCapacity<uint8_t, uint8_t>(JisToSjis, Raw("ab\x1B$B0!$\"\x1B(Bc"), {1, 2, 4, 6, 7});
    CheckEveryCapacity<uint8_t, uint8_t>(JisToSjis, Raw("\x1B$B0!"), {2});
    const std::u16string units = u"\u3042x\uFEFF\u4E9C";
    CheckEveryCapacity<uint16_t, uint8_t>(
        Utf16ToSjis, std::basic_string<uint16_t>(units.begin(), units.end()), {2, 3, 4, 6});
    CheckEveryCapacity<uint8_t, uint16_t>(Utf8ToUtf16, Raw("a\xE3\x81\x82\xF0\x9F\x98\x80" "b"),
                                          {1, 2, 3, 4});
    CheckEveryCapacity<uint8_t, uint8_t>(EucToSjis, Raw("abcd"), {1, 2, 3, 4});
}

TEST(CapacityRule, ExamplesAndEmptyInput)
{
    // Four ASCII bytes with capacity 4: three bytes and a terminator, -1.
    uint8_t out[8];
    std::fill(std::begin(out), std::end(out), 0xAA);
    EXPECT_EQ(EucToSjis(out, U8(Bytes("abcd")), 4), -1);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), 4), Bytes("abc\0", 4));

    // Empty input: 0 measured; capacity 1 or more writes only the terminator;
    // capacity 0 writes nothing.
    const uint8_t empty[1] = {0};
    const uint16_t emptyUnits[1] = {0};
    for (uint64_t capacity : {0, 1, 5}) {
        uint8_t bytes[2] = {0xAA, 0xAA};
        uint16_t units[2] = {0xAAAA, 0xAAAA};
        const uint8_t expected = capacity ? 0 : 0xAA;
        EXPECT_EQ(JisToSjis(bytes, empty, capacity), 0);
        EXPECT_EQ(bytes[0], expected);
        bytes[0] = 0xAA;
        EXPECT_EQ(EucToSjis(bytes, empty, capacity), 0);
        EXPECT_EQ(bytes[0], expected);
        bytes[0] = 0xAA;
        EXPECT_EQ(Utf16ToSjis(bytes, emptyUnits, capacity), 0);
        EXPECT_EQ(bytes[0], expected);
        EXPECT_EQ(Utf8ToUtf16(units, empty, capacity), 0);
        EXPECT_EQ(units[0], capacity ? 0 : 0xAAAA);
        EXPECT_EQ(bytes[1], 0xAA);
        EXPECT_EQ(units[1], 0xAAAA);
    }
    EXPECT_EQ(JisToSjis(nullptr, empty, 0), 0);
}
