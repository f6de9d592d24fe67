// The byte-level search and line filter behind "Find Next" and "&Grep".
#include "view/SjisText.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using sjis::npos;

// Shift_JIS bytes used below.
const std::string Hyo = "\x95\x5C";     // 表: its trail byte is '\'
const std::string So = "\x83\x5C";      // ソ: likewise
const std::string A_Kata = "\x83\x41";  // ア: its trail byte is 'A'
const std::string Nihongo = "\x93\xFA\x96\x7B\x8C\xEA";  // 日本語

TEST(SjisText, LeadBytesAreExactlyTheTwoRanges)
{
    for (int b = 0; b < 256; ++b) {
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        EXPECT_EQ(sjis::IsLeadByte(static_cast<unsigned char>(b)), lead) << b;
    }
}

TEST(SjisText, LowerCasingTouchesOnlySingleByteAsciiLetters)
{
    // ア's trail byte is 'A'; half-width katakana and the full-width letter
    // Ａ (82 60) stay; the length never changes.
    std::string text = "ERROR " + A_Kata + "A\xB1" + "\x82\x60" + "Z@[";
    const std::size_t before = text.size();
    sjis::LowerInPlace(text);
    EXPECT_EQ(text, "error " + A_Kata + "a\xB1" + "\x82\x60" + "z@[");
    EXPECT_EQ(text.size(), before);
}

TEST(SjisText, ACandidateOnATrailByteIsPassedOverForARealOneLater)
{
    const std::string text = Hyo + "\\x" + So + "\\y";
    EXPECT_EQ(sjis::FindOnCharBoundary(text, "\\"), 2u);
    EXPECT_EQ(sjis::FindOnCharBoundary(text, "\\y"), 6u);
    EXPECT_EQ(sjis::FindOnCharBoundary(Hyo + So, "\\"), npos);
    // The walk of boundaries runs from the text's start even when the
    // search begins later.
    EXPECT_EQ(sjis::FindOnCharBoundary(text, "\\", 3), 6u);
}

TEST(SjisText, CaseFoldingUnlessMatchCase)
{
    const std::string text = "an error, an Error, an ERROR";
    EXPECT_EQ(sjis::SearchText(text, 0, "ERROR", false), 3u);
    EXPECT_EQ(sjis::SearchText(text, 8, "ERROR", false), 13u);
    EXPECT_EQ(sjis::SearchText(text, 18, "ERROR", false), 23u);
    EXPECT_EQ(sjis::SearchText(text, 28, "ERROR", false), npos);
    EXPECT_EQ(sjis::SearchText(text, 0, "ERROR", true), 23u);
    EXPECT_EQ(sjis::SearchText(text, 0, "error", true), 3u);
}

TEST(SjisText, TrailBytesAreNeverLowerCasedIntoAMatch)
{
    // ア is 83 41; lower-casing its trail would make it 83 61.
    EXPECT_EQ(sjis::SearchText(A_Kata, 0, "\x83\x61", false), npos);
    EXPECT_EQ(sjis::SearchText("\x83\x61", 0, A_Kata, false), npos);
    EXPECT_EQ(sjis::SearchText("x" + A_Kata, 0, "a", false), npos);
    EXPECT_EQ(sjis::SearchText("x" + A_Kata + "A", 0, "a", false), 3u);
}

TEST(SjisText, OnlyWhatLiesWhollyBehindTheCaretMatches)
{
    EXPECT_EQ(sjis::SearchText("aaaa", 0, "aa", false), 0u);
    EXPECT_EQ(sjis::SearchText("aaaa", 2, "aa", false), 2u);
    EXPECT_EQ(sjis::SearchText("aaaa", 1, "aa", false), 1u);
    EXPECT_EQ(sjis::SearchText("aaaa", 3, "aa", false), npos);
    EXPECT_EQ(sjis::SearchText("xxERROR", 3, "ERROR", true), npos);
    EXPECT_EQ(sjis::SearchText("abc", 3, "c", true), npos);
    EXPECT_EQ(sjis::SearchText("abc", 4, "c", true), npos);
    // A find text holding the replacement byte still finds nothing before
    // the caret.
    EXPECT_EQ(sjis::SearchText("ab", 1, "\x01" "b", true), npos);
    EXPECT_EQ(sjis::SearchText("ab", 0, "", true), npos);
}

TEST(SjisText, JapaneseTextAfterACaretOnADoubleByteCharacter)
{
    const std::string text = Nihongo + "\r\n" + Hyo + Nihongo;
    EXPECT_EQ(sjis::SearchText(text, 0, Nihongo, false), 0u);
    EXPECT_EQ(sjis::SearchText(text, 2, Nihongo, false), 10u);
    EXPECT_EQ(sjis::SearchText(text, 0, "\x96\x7B", false), 2u);   // 本
}

TEST(SjisText, FilterKeepsTheLinesHoldingTheTextWithTheirBreaks)
{
    const std::string text = "1 ERROR a\r\n2 error b\r\n\r\n3 x ERROR\r\n4 Error";
    const sjis::FilterResult kept = sjis::FilterLines(text, "ERROR");
    EXPECT_EQ(kept.Text, "1 ERROR a\r\n3 x ERROR\r\n");
    EXPECT_EQ(kept.Dropped, 3u);
    EXPECT_TRUE(kept.FirstLineKept);
    // Filters narrow one after another.
    EXPECT_EQ(sjis::FilterLines(kept.Text, "3").Text, "3 x ERROR\r\n");
    EXPECT_EQ(sjis::FilterLines(text, "nothing").Text, "");
    EXPECT_EQ(sjis::FilterLines(text, "").Text, "");
    // Lone CR and lone LF end lines too; a kept unended last line stays so.
    EXPECT_EQ(sjis::FilterLines("a\nb\rab", "a").Text, "a\nab");
}

TEST(SjisText, FilterCarriesTheCaretWithTheText)
{
    const std::string text = "keep 1\r\ndrop\r\nkeep 2\r\ndrop";
    EXPECT_EQ(sjis::FilterLines(text, "keep", 0).Caret, 0u);
    EXPECT_EQ(sjis::FilterLines(text, "keep", 3).Caret, 3u);
    EXPECT_EQ(sjis::FilterLines(text, "keep", 10).Caret, 8u);     // inside a dropped line
    EXPECT_EQ(sjis::FilterLines(text, "keep", 17).Caret, 11u);    // "keep 2" shifted up
    EXPECT_EQ(sjis::FilterLines(text, "keep", text.size()).Caret, 16u);
}

TEST(SjisText, FilterNeverMatchesOnATrailByte)
{
    const std::string text = Hyo + "\r\n" + Hyo + "\\\r\n";
    EXPECT_EQ(sjis::FilterLines(text, "\\").Text, Hyo + "\\\r\n");
}

TEST(SjisText, AFirstByteShownAloneIsNoLeadByte)
{
    // The tail cut left the trail byte of 表 and then the first byte of
    // another 表: taken alone, the 5C is a real backslash.
    const std::string cut = "\x95\\n";
    EXPECT_EQ(sjis::SearchText(cut, 0, "\\n", true), npos);
    EXPECT_EQ(sjis::SearchText(cut, 0, "\\n", true, true), 1u);
    // A cut LF is part of the first line, not a line break.
    const sjis::FilterResult kept = sjis::FilterLines("\nERROR\r\nok\r\n", "ERROR", 0, true);
    EXPECT_EQ(kept.Text, "\nERROR\r\n");
    EXPECT_TRUE(kept.FirstLineKept);
    EXPECT_EQ(sjis::FilterLines("\nERROR\r\nok\r\n", "ERROR").Text, "ERROR\r\n");
    // Nor is its byte lower-cased.
    std::string a = "AB";
    sjis::LowerInPlace(a, true);
    EXPECT_EQ(a, "Ab");
}

// The search as a plain reading of its rule, one byte at a time: copy,
// lower-case walking from the start, bytes before the caret made 0x01,
// candidates from the start accepted on a character boundary.
std::size_t ReferenceSearch(const std::string& text, std::size_t caret, std::string find,
                            bool matchCase)
{
    auto lower = [](std::string& s) {
        for (std::size_t i = 0; i < s.size();) {
            const auto b = static_cast<unsigned char>(s[i]);
            if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
                i += 2;
                continue;
            }
            if (b >= 'A' && b <= 'Z')
                s[i] = static_cast<char>(b + 32);
            ++i;
        }
    };
    std::string copy = text;
    if (!matchCase) {
        lower(copy);
        lower(find);
    }
    for (std::size_t i = 0; i < caret; ++i)
        copy[i] = '\x01';
    std::size_t boundary = 0;
    for (std::size_t at = 0; at + find.size() <= copy.size(); ++at) {
        while (boundary < at) {
            const auto b = static_cast<unsigned char>(copy[boundary]);
            boundary += ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) ? 2 : 1;
        }
        if (at >= caret && boundary == at && copy.compare(at, find.size(), find) == 0)
            return at;
    }
    return npos;
}

TEST(SjisText, SearchAgreesWithThePlainRuleOnRandomText)
{
    // Few distinct bytes, so that letters, lead bytes, trail bytes that look
    // like letters or '\' and long ASCII runs all meet.
    const std::string alphabet = "aAZz\\ \x95\x83\xE0\xB1\x41\x5C";
    std::mt19937 random(12345);
    auto pick = [&](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i)
            s.push_back(alphabet[random() % alphabet.size()]);
        return s;
    };
    for (int round = 0; round < 20000; ++round) {
        std::string text = pick(random() % 40);
        if (round % 3 == 0)
            text = "ABCDEFGHIJKLMNOPQRSTUVWXYZ" + text + "abcdefghZ[@`";
        const std::string find = pick(1 + random() % 3);
        const std::size_t caret = random() % (text.size() + 1);
        const bool matchCase = random() % 2;
        ASSERT_EQ(sjis::SearchText(text, caret, find, matchCase),
                  ReferenceSearch(text, caret, find, matchCase))
            << "round " << round;
        std::string lowered = text, expected = text;
        sjis::LowerInPlace(lowered);
        for (std::size_t i = 0; i < expected.size();) {
            const auto b = static_cast<unsigned char>(expected[i]);
            if (sjis::IsLeadByte(b)) { i += 2; continue; }
            if (b >= 'A' && b <= 'Z') expected[i] = static_cast<char>(b + 32);
            ++i;
        }
        ASSERT_EQ(lowered, expected) << "round " << round;
    }
}

} // namespace
