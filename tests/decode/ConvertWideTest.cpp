// The measuring calls' wide lanes (UTF-8, UTF-16, JIS) against the narrow
// lanes and the literal steps, on text made mostly of what the wide lanes take (so that they run
// for long stretches) with what they leave to the others mixed in, placed at
// every distance from an inaccessible page.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "decode/Convert.h"

namespace {

using Bytes = std::string;

// Two pages of which the second is inaccessible: a copy placed at the end of
// the first faults on any read beyond the page.
class GuardedPage {
public:
    GuardedPage()
    {
        FPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * FPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(p, MAP_FAILED);
        FBase = static_cast<uint8_t*>(p);
        EXPECT_EQ(mprotect(FBase + FPage, FPage, PROT_NONE), 0);
    }
    ~GuardedPage() { munmap(FBase, 2 * FPage); }
    // Copies text and two zero bytes behind it so that gap bytes of the page
    // are left behind the copy; returns where it starts.
    const uint8_t* Place(const Bytes& text, size_t gap)
    {
        uint8_t* start = FBase + FPage - gap - text.size() - 2;
        std::memset(FBase, 0xE3, FPage);   // lead bytes before and behind
        std::memcpy(start, text.data(), text.size());
        start[text.size()] = start[text.size() + 1] = 0;
        return start;
    }

private:
    size_t FPage = 0;
    uint8_t* FBase = nullptr;
};

Bytes Utf8Of(unsigned code)
{
    if (code < 0x80)
        return Bytes(1, static_cast<char>(code));
    if (code < 0x800)
        return {static_cast<char>(0xC0 | code >> 6), static_cast<char>(0x80 | (code & 0x3F))};
    return {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
            static_cast<char>(0x80 | (code & 0x3F))};
}

// Code points as a log has them: ASCII runs, kana and Japanese punctuation
// (page U+30xx, unassigned places included), kanji with and without a
// Shift_JIS code, half-width katakana, symbols; now and then anything.
unsigned RandomCode(std::mt19937& random)
{
    switch (random() % 12) {
    case 0: case 1: case 2: return 0x20 + random() % 0x5F;
    case 3: return random() % 2 ? '\r' : '\n';
    case 4: case 5: return 0x3000 + random() % 0x100;
    case 6: case 7: return 0x4E00 + random() % 0x5200;
    case 8: return 0xFF61 + random() % 0x3F;
    case 9: return 0x2000 + random() % 0x300;
    case 10: return 0xFF00 + random() % 0x100;
    default: return 1 + random() % 0xFFFF;
    }
}

// UTF-8 text with, now and then, what the wide lane leaves to the others:
// two-byte and E0 sequences, four-byte ones, stray and cut sequences.
Bytes RandomUtf8(std::mt19937& random, size_t length)
{
    static const char* const odd[] = {"\xC3\xA9", "\xE0\xA4\x85", "\xE0\x80\x80", "\xF0\x9F\x98\x80",
                                      "\x80", "\xE3\x81", "\xFF", "\xC0\x80"};
    Bytes text;
    while (text.size() < length) {
        if (random() % 40 == 0) {
            text += odd[random() % std::size(odd)];
            continue;
        }
        const unsigned code = RandomCode(random);
        if (code >= 0xD800 && code < 0xE000)
            continue;
        text += Utf8Of(code);
    }
    return text;
}

// JIS text: ASCII runs and runs of JIS X 0208 pairs between ESC $ B (or
// ESC $ @) and ESC ( B, with, now and then, what the wide lane leaves to the
// others: line ends, eight-bit bytes and a cut pair inside a JIS X 0208 run,
// the other escapes and shifts, escapes that change nothing, a lone ESC.
Bytes RandomJis(std::mt19937& random, size_t length)
{
    static const char* const odd[] = {"\r\n", "\xA4", "\x1B(J", "\x1B(I", "\x1B$(D", "\x1B$(O", "\x0E", "\x0F",
                                      "\x1B$B", "\x1B(B", "\x1B", "!"};
    Bytes text;
    bool kanji = false;
    while (text.size() < length) {
        if (random() % 30 == 0) {
            text += odd[random() % std::size(odd)];
            continue;
        }
        if (random() % 6 == 0) {
            text += kanji ? "\x1B(B" : random() % 4 ? "\x1B$B" : "\x1B$@";
            kanji = !kanji;
        }
        if (kanji) {
            text += static_cast<char>(0x21 + random() % 94);
            text += static_cast<char>(0x21 + random() % 94);
        } else {
            text += static_cast<char>(random() % 8 ? 0x20 + random() % 0x5F : random() % 2 ? '\r' : '\n');
        }
    }
    return text;
}

Bytes RandomUtf16(std::mt19937& random, size_t units)
{
    Bytes text;
    for (size_t k = 0; k < units; ++k) {
        const unsigned code = RandomCode(random);
        text += static_cast<char>(code & 0xFF);
        text += static_cast<char>(code >> 8);
    }
    return text;
}

int64_t Convert(SjisRoute route, uint8_t* output, const uint8_t* input, uint64_t capacity)
{
    switch (route) {
    case SjisRoute::Utf8: return Utf8ToSjis(output, input, capacity);
    case SjisRoute::Jis: return JisToSjis(output, input, capacity);
    default: return Utf16ToSjis(output, reinterpret_cast<const uint16_t*>(input), capacity);
    }
}

int64_t Measure(SjisRoute route, const uint8_t* input) { return Convert(route, nullptr, input, 0); }

Bytes WholeOutput(SjisRoute route, const uint8_t* input)
{
    const int64_t n = Measure(route, input);
    Bytes out(static_cast<size_t>(n) + 1, '\xAA');
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    EXPECT_EQ(Convert(route, o, input, out.size()), n);
    out.resize(static_cast<size_t>(n));
    return out;
}

struct LanesBack {
    ~LanesBack()
    {
        SetConverterFastLanes(true);
        SetConverterWideLanes(true);
    }
};

} // namespace

TEST(WideLanes, MeasureWhatTheNarrowLanesAndTheLiteralStepsMeasure)
{
    LanesBack back;
    GuardedPage page;
    std::mt19937 random(31);
    for (int k = 0; k < 600; ++k) {
        const SjisRoute route = k % 3 == 0 ? SjisRoute::Utf8 : k % 3 == 1 ? SjisRoute::Utf16 : SjisRoute::Jis;
        const size_t length = 1 + random() % 600;
        const Bytes text = route == SjisRoute::Utf8    ? RandomUtf8(random, length)
                           : route == SjisRoute::Utf16 ? RandomUtf16(random, length)
                                                       : RandomJis(random, length);
        // Every distance from the page's end up to a block and a half, then
        // a few more.
        for (size_t gap = 0; gap < 80; gap += route == SjisRoute::Utf16 ? 2 : 1) {
            const uint8_t* input = page.Place(text, gap > 50 ? gap * 7 % 200 : gap);
            SetConverterFastLanes(false);
            const Bytes literal = WholeOutput(route, input);
            SetConverterFastLanes(true);
            SetConverterWideLanes(false);
            ASSERT_EQ(Measure(route, input), static_cast<int64_t>(literal.size())) << k << " narrow, gap " << gap;
            SetConverterWideLanes(true);
            ASSERT_EQ(Measure(route, input), static_cast<int64_t>(literal.size())) << k << " wide, gap " << gap;
            ASSERT_TRUE(WholeOutput(route, input) == literal) << k << ", gap " << gap;
            // The tail's passes give the wide lane a budget: the window from
            // a few starts, one of them on a second byte.
            const SjisMeasure measure = MeasureSjis(route, input);
            ASSERT_EQ(measure.Length, literal.size());
            if (gap % 8 != 0)
                continue;
            for (uint64_t start : {uint64_t(1), uint64_t(literal.size() / 3), uint64_t(literal.size() / 2 + 1),
                                   uint64_t(literal.size())}) {
                if (start > literal.size())
                    continue;
                Bytes window(literal.size() - start + 1, '\xAA');
                const uint64_t written = ConvertSjisTail(route, input, start, reinterpret_cast<uint8_t*>(window.data()),
                                                         window.size(), nullptr, k % 4 < 2 ? &measure : nullptr);
                ASSERT_EQ(written, literal.size() - start);
                ASSERT_TRUE(window.substr(0, written) == literal.substr(start)) << k << ", start " << start;
            }
        }
    }
}
