// Utf8ToSjis against the two steps it fuses, the fast lanes against the
// literal steps, and the tail window against the whole output, on every route.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "decode/Convert.h"
#include "tests/decode/DecodeTestUtil.h"

using namespace decodetest;

namespace {

Bytes ReadSample(const std::string& name)
{
    std::ifstream in(std::string(DECODE_TEST_DATA_DIR "/") + name, std::ios::binary);
    EXPECT_TRUE(in) << name << " missing: build the decode_test_data target";
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The route's input as the display keeps it: bytes and zero bytes behind
// them (a whole zero unit for UTF-16), in a block of exactly that size.
struct RouteInput {
    std::unique_ptr<uint16_t[]> Units;
    explicit RouteInput(const Bytes& bytes)
        : Units(new uint16_t[bytes.size() / 2 + 2]())
    {
        std::memcpy(Units.get(), bytes.data(), bytes.size());
    }
    const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(Units.get()); }
};

// The route's whole output by its public converter, measured and converted.
std::string Whole(SjisRoute route, const RouteInput& input)
{
    const uint8_t* in = input.Bytes();
    const auto* units = input.Units.get();
    int64_t n = 0;
    switch (route) {
    case SjisRoute::Jis: n = JisToSjis(nullptr, in, 0); break;
    case SjisRoute::Euc: n = EucToSjis(nullptr, in, 0); break;
    case SjisRoute::Utf16: n = Utf16ToSjis(nullptr, units, 0); break;
    case SjisRoute::Utf8: n = Utf8ToSjis(nullptr, in, 0); break;
    }
    std::string out(static_cast<size_t>(n) + 1, '\xAA');
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    int64_t converted = 0;
    switch (route) {
    case SjisRoute::Jis: converted = JisToSjis(o, in, out.size()); break;
    case SjisRoute::Euc: converted = EucToSjis(o, in, out.size()); break;
    case SjisRoute::Utf16: converted = Utf16ToSjis(o, units, out.size()); break;
    case SjisRoute::Utf8: converted = Utf8ToSjis(o, in, out.size()); break;
    }
    EXPECT_EQ(converted, n);
    out.resize(static_cast<size_t>(n));
    return out;
}

// The tail window at start, with progress reports every few bytes, resuming
// from the measure's places or not.
std::string Tail(SjisRoute route, const RouteInput& input, uint64_t start, uint64_t measured,
                 const SjisMeasure* measure = nullptr)
{
    PassProgress progress;
    progress.Reached = [](const uint8_t*, void* calls) { ++*static_cast<int*>(calls); };
    int calls = 0;
    progress.Context = &calls;
    progress.Every = 7;
    std::string window(measured - start + 1 + 8, '\xAA');
    const uint64_t written = ConvertSjisTail(route, input.Bytes(), start, reinterpret_cast<uint8_t*>(window.data()),
                                             measured - start + 1, start % 2 ? &progress : nullptr, measure);
    EXPECT_EQ(window[written], '\0');
    EXPECT_EQ(window.substr(measured - start + 1), std::string(8, '\xAA')) << "written past the window";
    return window.substr(0, written);
}

// Every start from 0 to the end: the window holds exactly the whole output
// from there, whether the start falls on a character's first byte, its
// second one, or between CR and LF.
void CheckEveryStart(SjisRoute route, const Bytes& bytes, size_t step = 1)
{
    const RouteInput input(bytes);
    const std::string whole = Whole(route, input);
    const SjisMeasure measure = MeasureSjis(route, input.Bytes());
    ASSERT_EQ(measure.Length, whole.size());
    for (uint64_t start = 0; start <= whole.size(); start += start + step < whole.size() ? step : 1) {
        const std::string tail = Tail(route, input, start, whole.size(), start % 3 ? &measure : nullptr);
        ASSERT_TRUE(tail == whole.substr(start)) << "route " << static_cast<int>(route) << ", start " << start;
    }
}

const Bytes SjisSample() { return ReadSample("sample.shift_jis"); }

// Inputs of the kinds each converter meets, mixed at random: Japanese
// characters, escapes, plain bytes, malformed and cut sequences.
Bytes RandomInput(std::mt19937& random, bool utf16)
{
    static const char* const pieces[] = {
        "a", "\r\n", "\x1B$B", "\x1B(B", "\x1B(J", "\x1B(I", "\x1B$(D", "\x1B$(P", "\x0E", "\x0F",
        "\xA4\xA2", "\xB0\xA1", "\x8E\xB1", "\x8F\xB1\xA1", "\xE3\x81\x82", "\xE4\xBA\x9C", "\xE0\x80\x80",
        "\xC3\xA9", "\xF0\x9F\x98\x80", "\x80", "\xFF", "0!", "~", "\xEF\xBD\xB1", "\xE3", "\x82", "!!",
        "\xFE\xFE", "0\x82", "0\xFF", "\x30\x42", "\xA0\x30", "0123456789abcdef0123456789abcdef",
    };
    Bytes text;
    const size_t length = random() % 200;
    while (text.size() < length) {
        if (random() % 5 == 0)
            text += static_cast<char>(random() % 255 + 1);
        else
            text += pieces[random() % std::size(pieces)];
    }
    if (utf16 && text.size() % 2)
        text.pop_back();
    return text;
}

constexpr SjisRoute Routes[] = {SjisRoute::Jis, SjisRoute::Euc, SjisRoute::Utf16, SjisRoute::Utf8};

} // namespace

TEST(Utf8ToSjis, GivesWhatUtf8ToUtf16ThenUtf16ToSjisGive)
{
    const Bytes cases[] = {
        ReadSample("sample.utf-8"),
        "\xE3\x81\x82\xEF\xBD\xB1\xEF\xBD\x9E\xE3\x80\x9C\xC2\xA5\xC3\xA9",   // two bytes, one byte, '?'
        "a\xC0\x80" "b", "a\xE0\x80\x80" "b", "a\xE3\x81", "a\xF0\x9F\x98\x80" "b", "\x80\xBF" "a",
        "\xE3\x41\x42\xE3\x81\x82", "\xF8\x88\x80\x80\x80" "a\xFC\x84\x80\x80\x80\x80", "",
    };
    for (const Bytes& text : cases) {
        const std::u16string utf16 = Utf8(text);
        const std::string expected = Utf16(utf16);
        EXPECT_TRUE(Convert<uint8_t>(Utf8ToSjis, Raw(text)) == expected) << testing::PrintToString(text.substr(0, 40));
    }
    EXPECT_TRUE(Convert<uint8_t>(Utf8ToSjis, Raw(ReadSample("sample.utf-8"))) == SjisSample());
}

TEST(FastLanes, EveryConverterGivesWhatTheLiteralStepsGive)
{
    std::mt19937 random(19);
    std::vector<std::pair<Bytes, bool>> inputs = {
        {ReadSample("sample.iso-2022-jp"), false}, {ReadSample("sample.euc-jp"), false},
        {ReadSample("sample.utf-8"), false}, {ReadSample("sample.utf-16le"), true},
    };
    for (int k = 0; k < 3000; ++k)
        inputs.emplace_back(RandomInput(random, k % 2 == 0), k % 2 == 0);
    // Every three-byte sequence, overlong ones among them: the lanes look
    // these up in tables of their own. The overlong zero ends the text.
    Bytes sequences;
    for (unsigned lead = 0xE0; lead <= 0xEF; ++lead)
        for (unsigned second = 0x80; second <= 0xBF; ++second)
            for (unsigned third = lead == 0xE0 && second == 0x80 ? 0x81 : 0x80; third <= 0xBF; ++third)
                sequences += {static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third), 'a'};
    inputs.emplace_back(sequences + "\xE0\x80\x80" "b", false);
    for (const auto& [text, utf16] : inputs) {
        const RouteInput input(text);
        std::vector<std::string> fast;
        for (SjisRoute route : Routes)
            fast.push_back(route == SjisRoute::Utf16 || !utf16 ? Whole(route, input) : "");
        SetConverterWideLanes(false);
        for (size_t r = 0; r < std::size(Routes); ++r) {
            if (Routes[r] == SjisRoute::Utf16 || !utf16) {
                EXPECT_TRUE(Whole(Routes[r], input) == fast[r]) << "narrow lanes, route " << r;
            }
        }
        SetConverterWideLanes(true);
        const std::u16string viaUtf16 = Utf8(text);
        SetConverterFastLanes(false);
        for (size_t r = 0; r < std::size(Routes); ++r) {
            if (Routes[r] == SjisRoute::Utf16 || !utf16) {
                EXPECT_TRUE(Whole(Routes[r], input) == fast[r]) << "route " << r;
            }
        }
        EXPECT_TRUE(Utf8(text) == viaUtf16);
        SetConverterFastLanes(true);
    }
}

TEST(ConvertSjisTail, EveryStartGivesTheWholeOutputFromThere)
{
    // Plain bytes, double-byte characters (so starts fall on second bytes),
    // a one-byte katakana and CR LF on every route.
    CheckEveryStart(SjisRoute::Jis, "ab\x1B$B\x30\x21\x24\x22\x1B(B\r\n\x1B(I\x31\x1B(Bz\x1B$B\x30\x21");
    CheckEveryStart(SjisRoute::Euc, "ab\xB0\xA1\xA4\xA2\r\n\x8E\xB1z\xB0\xA1\x8F\xB1\xA1");
    CheckEveryStart(SjisRoute::Utf8, "ab\xE4\xBA\x9C\xE3\x81\x82\r\n\xEF\xBD\xB1z\xE4\xBA\x9C\xC3\xA9");
    const std::u16string units = u"ab\u4E9C\u3042\r\n\uFF71z\u4E9C";
    Bytes utf16;
    for (char16_t unit : units) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    CheckEveryStart(SjisRoute::Utf16, utf16);

    // Long enough for the measure to keep places to resume from (64 KiB
    // apart), a JIS text among them in every mode.
    {
        Bytes jis;
        for (int k = 0; k < 12; ++k)
            jis += ReadSample("sample.iso-2022-jp");
        const RouteInput input(jis);
        const SjisMeasure measure = MeasureSjis(SjisRoute::Jis, input.Bytes());
        EXPECT_EQ(measure.Resumes, static_cast<int>(jis.size() >> 16) + 1);
        const std::string whole = Whole(SjisRoute::Jis, input);
        for (uint64_t start = 0; start <= whole.size(); start += 613)
            ASSERT_TRUE(Tail(SjisRoute::Jis, input, start, whole.size(), &measure) == whole.substr(start)) << start;
        SetConverterFastLanes(false);
        const SjisMeasure literal = MeasureSjis(SjisRoute::Jis, input.Bytes());
        for (uint64_t start = whole.size() - 70000; start <= whole.size(); start += 3001)
            ASSERT_TRUE(Tail(SjisRoute::Jis, input, start, whole.size(), &literal) == whole.substr(start)) << start;
        SetConverterFastLanes(true);
    }

    // Realistic logs, every 97th start and the last hundred.
    CheckEveryStart(SjisRoute::Jis, ReadSample("sample.iso-2022-jp"), 97);
    CheckEveryStart(SjisRoute::Euc, ReadSample("sample.euc-jp"), 97);
    CheckEveryStart(SjisRoute::Utf8, ReadSample("sample.utf-8"), 97);
    CheckEveryStart(SjisRoute::Utf16, ReadSample("sample.utf-16le"), 97);

    // Malformed inputs, with the literal steps as well.
    std::mt19937 random(7);
    for (int k = 0; k < 300; ++k) {
        const Bytes text = RandomInput(random, true);
        for (SjisRoute route : Routes)
            CheckEveryStart(route, text);
        SetConverterFastLanes(false);
        CheckEveryStart(SjisRoute::Jis, text);
        CheckEveryStart(SjisRoute::Utf8, text);
        SetConverterFastLanes(true);
    }
}

TEST(ConvertSjisTail, ASmallWindowCutsByTheCapacityRule)
{
    const RouteInput input(Bytes("ab\xB0\xA1\xA4\xA2" "cd"));
    std::string window(8, '\xAA');
    auto* w = reinterpret_cast<uint8_t*>(window.data());
    // From byte 1: "b", 88 9F, 82 A0, "cd". A capacity of 5 holds "b" and
    // 88 9F and stops before 82 A0, which would reach it: the terminator
    // goes where it would have begun. With 4, 82 A0 would pass the capacity:
    // no terminator.
    EXPECT_EQ(ConvertSjisTail(SjisRoute::Euc, input.Bytes(), 1, w, 5), 3u);
    EXPECT_EQ(window.substr(0, 5), Bytes("b\x88\x9F\0\xAA", 5));
    window.assign(8, '\xAA');
    EXPECT_EQ(ConvertSjisTail(SjisRoute::Euc, input.Bytes(), 1, w, 4), 3u);
    EXPECT_EQ(window.substr(0, 4), Bytes("b\x88\x9F\xAA", 4));
    EXPECT_EQ(ConvertSjisTail(SjisRoute::Euc, input.Bytes(), 0, w, 0), 0u);
    EXPECT_EQ(window[0], 'b');
}

TEST(MeasureSjis, TheTextEndsAtTheFirstZeroByteOfTheOutput)
{
    // A JIS double-byte character with a second byte of 0x82 carries its
    // trail byte into the lead byte and leaves a zero behind.
    const RouteInput input(Bytes("ab\x1B$B\x30\x82\x30\x21"));
    const SjisMeasure measure = MeasureSjis(SjisRoute::Jis, input.Bytes());
    EXPECT_EQ(measure.Length, 6u);
    EXPECT_EQ(measure.TextLength, 3u);
    const std::string whole = Whole(SjisRoute::Jis, input);
    EXPECT_EQ(whole, Bytes("ab\x89\0\x88\x9F", 6));

    const RouteInput plain(Bytes("ab\xB0\xA1"));
    EXPECT_EQ(MeasureSjis(SjisRoute::Euc, plain.Bytes()).TextLength, 4u);
}
