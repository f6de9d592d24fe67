// The window a converter writes into: what comes out is the text written,
// and the line index built on the way is the index built afterwards, however
// the converter's progress falls (a CR LF split across it, on a page edge).
#include "view/SjisTextWindow.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

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
        window.Written();
    }
    SetSjisTextInFileFrom(before);
}

} // namespace
