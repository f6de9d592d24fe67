// The window a converter writes into: what comes out is the text written,
// and the line index built on the way is the index built afterwards, however
// the converter's progress falls (a CR LF split across it, on a page edge,
// the real converter pausing where its stores run ahead of its text).
#include "view/SjisTextWindow.h"

#include "decode/Convert.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

std::string OwnFolder()
{
    std::string name = ::testing::TempDir() + "/wisplog-window-XXXXXX";
    return ::mkdtemp(name.data()) ? name : std::string();
}

// Text with every kind of line break, and some breaks placed so that a CR
// ends one page and its LF starts the next.
std::string Log(std::mt19937& rng, std::size_t size)
{
    static const char* const parts[] = {"abc", "\x8A\xBF\x8E\x9A", " ", "\r\n", "\n", "\r", "\r\r\n", "x"};
    std::string text;
    while (text.size() < size) {
        text += parts[rng() % 8];
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        if (rng() % 50 == 0 && text.size() % page < page - 1)
            text.append(page - 1 - text.size() % page, 'p').append("\r\n");
    }
    return text;
}

void ExpectSameIndex(const SjisLineIndex& built, const std::string& text)
{
    SjisLineIndex fresh;
    fresh.Scan(text);
    ASSERT_EQ(built.Scanned(), fresh.Scanned());
    ASSERT_EQ(built.Count(), fresh.Count());
    for (int64_t i = 0; i < fresh.Count(); ++i) {
        ASSERT_EQ(built.RawStart(i), fresh.RawStart(i)) << "line " << i;
        ASSERT_EQ(built.RawLength(i), fresh.RawLength(i)) << "line " << i;
    }
}

TEST(SjisTextWindow, ABigTextComesOutWholeWithTheIndexBuiltOnTheWay)
{
    const std::string folder = OwnFolder();
    ASSERT_FALSE(folder.empty());
    const uint64_t before = SjisTextInFileFrom();
    SetSjisTextInFileFrom(1);
    std::mt19937 rng(11);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const std::string text = Log(rng, 200000 + rng() % 300000);
        SjisTextWindow window(folder, text.size() + 3);
        // Written as a converter writes: in runs, the progress now and then
        // (sometimes right after a CR, sometimes on a page's edge).
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t run = 1 + rng() % 9000;
            if (rng() % 4 == 0) {
                const std::size_t cr = text.find('\r', at);
                if (cr != std::string::npos)
                    run = cr + 1 - at;
            }
            run = std::min(run, text.size() - at);
            std::memcpy(window.Bytes() + at, text.data() + at, run);
            at += run;
            window.Final()->store(at, std::memory_order_release);
            window.Written();
        }
        SjisTextWindow::Text out = window.Finish(text.size());
        ASSERT_TRUE(out.Bytes.InFileBacked());
        EXPECT_EQ(out.Bytes.Bytes(), text);
        ASSERT_TRUE(out.Index);
        ExpectSameIndex(*out.Index, text);
    }
    SetSjisTextInFileFrom(before);
    ::rmdir(folder.c_str());
}

TEST(SjisTextWindow, ASmallTextStaysInMemoryAndAWindowLeftUnfinishedEndsCleanly)
{
    {
        SjisTextWindow window(::testing::TempDir(), 16);
        std::memcpy(window.Bytes(), "ab\r\ncd", 6);
        window.Final()->store(6, std::memory_order_release);
        window.Written();
        SjisTextWindow::Text out = window.Finish(6);
        EXPECT_FALSE(out.Bytes.InFileBacked());
        EXPECT_EQ(out.Bytes.Bytes(), "ab\r\ncd");
        EXPECT_FALSE(out.Index);
    }
    // A display stopped halfway: the window goes without Finish.
    const uint64_t before = SjisTextInFileFrom();
    SetSjisTextInFileFrom(1);
    {
        SjisTextWindow window(::testing::TempDir(), 1 << 20);
        std::memset(window.Bytes(), 'a', 300000);
        window.Final()->store(300000, std::memory_order_release);
        window.Written();
    }
    SetSjisTextInFileFrom(before);
}

// A log in one source encoding, in pieces: plain runs long enough for the
// converter's 16-byte block stores, Japanese, line breaks, and characters
// the fast lanes leave to the literal steps, whose output is shorter than
// their input, so that the blocks stored ahead hold the breaks behind them
// at other places than the text will.
struct Source {
    const char* Name;
    SjisRoute Route;
    std::vector<std::string> Pieces; // the plain run first
};

// Where two texts first differ, npos when nowhere: a failure names a place
// rather than printing the whole text.
std::size_t FirstDifference(std::string_view a, std::string_view b)
{
    const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return x == a.end() && y == b.end() ? std::string::npos : static_cast<std::size_t>(x - a.begin());
}

std::string Utf16Bytes(const std::u16string& text)
{
    std::string bytes;
    for (const char16_t unit : text)
        bytes.append({static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)});
    return bytes;
}

std::vector<Source> Sources()
{
    const std::u16string plain = u"2026-12-08 10:11:12.345 INFO  worker ";
    const std::u16string breaks[] = {u"\r\n", u"\n", u"\r"};
    std::vector<Source> sources = {
        {"JIS",
         SjisRoute::Jis,
         {"\x1B$B@\\B3\x1B(B", "\x1B$B<:GT\x1B(B", "\x1B(I1\x1B(B", "\x1B$(O!!\x1B(B", "\x1B$B!!"}},
        {"EUC-JP",
         SjisRoute::Euc,
         {"\xC0\xDC\xC2\xB3", "\xBC\xBA\xC7\xD4", "\x8E\xB1", "\x8F\xB1\xA1", "\x8E"}},
        {"UTF-16",
         SjisRoute::Utf16,
         {Utf16Bytes(u"接続"), Utf16Bytes(u"失敗"), Utf16Bytes(u"ｱ"), Utf16Bytes(u"\U0001F600"),
          Utf16Bytes(u"Ԁ")}},
        {"UTF-8",
         SjisRoute::Utf8,
         {"\xE6\x8E\xA5\xE7\xB6\x9A", "\xE5\xA4\xB1\xE6\x95\x97", "\xEF\xBD\xB1", "\xF0\x9F\x98\x80",
          "\xD4\x80"}},
    };
    for (Source& source : sources) {
        const bool wide = source.Route == SjisRoute::Utf16;
        source.Pieces.insert(source.Pieces.begin(),
                             wide ? Utf16Bytes(plain) : std::string(plain.begin(), plain.end()));
        for (const std::u16string& lineBreak : breaks)
            source.Pieces.push_back(wide ? Utf16Bytes(lineBreak)
                                         : std::string(lineBreak.begin(), lineBreak.end()));
    }
    return sources;
}

// A report every character the literal steps take, the follower given time
// to read after each, and a pause after each block stored ahead: the file
// and the index are the converted text's, every line start.
TEST(SjisTextWindow, BlocksTheConverterStoresAheadOfItsTextNeverReachTheIndexOrTheFile)
{
    const std::string folder = OwnFolder();
    ASSERT_FALSE(folder.empty());
    struct Settings {
        uint64_t InFileFrom = SjisTextInFileFrom();
        ~Settings()
        {
            SetConverterStorePause(nullptr);
            SetSjisTextInFileFrom(InFileFrom);
        }
    } restored;
    SetSjisTextInFileFrom(1);
    SetConverterStorePause([] { std::this_thread::yield(); });
    std::mt19937 rng(40);
    for (const Source& source : Sources()) {
        SCOPED_TRACE(source.Name);
        std::string bytes;
        while (bytes.size() < 96 * 1024) {
            const std::size_t k = rng() % (source.Pieces.size() + 4);
            bytes += source.Pieces[k < source.Pieces.size() ? k : 0];
        }
        std::vector<uint16_t> input(bytes.size() / 2 + 2, 0); // zero-terminated, 2-byte aligned
        std::memcpy(input.data(), bytes.data(), bytes.size());
        const auto* in = reinterpret_cast<const uint8_t*>(input.data());

        const SjisMeasure measure = MeasureSjis(source.Route, in);
        std::string expected(measure.Length + 1, '\0');
        ConvertSjisTail(source.Route, in, 0, reinterpret_cast<uint8_t*>(expected.data()), expected.size());
        expected.resize(measure.TextLength);

        SjisTextWindow window(folder, measure.Length + 1);
        PassProgress progress;
        progress.Every = 1;
        progress.Final = window.Final();
        progress.Context = &window;
        progress.Reached = [](const uint8_t*, void* context) {
            static_cast<SjisTextWindow*>(context)->Written();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        };
        ConvertSjisTail(source.Route, in, 0, window.Bytes(), measure.Length + 1, &progress, &measure);
        SjisTextWindow::Text out = window.Finish(measure.TextLength);
        ASSERT_TRUE(out.Bytes.InFileBacked());
        EXPECT_EQ(FirstDifference(out.Bytes.Bytes(), expected), std::string::npos)
            << "of " << expected.size();
        ASSERT_TRUE(out.Index);
        ExpectSameIndex(*out.Index, expected);
    }
    ::rmdir(folder.c_str());
}

} // namespace
