// The search upward and the whole-word search over Shift_JIS bytes, held
// against a byte-by-byte model on random text.
#include "view/SjisDirectedSearch.h"
#include "view/SjisText.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using sjis::npos;

bool Lead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The rules spelled out one byte at a time: character starts read from the
// text's start, ASCII letters of single-byte characters folded, a match on a
// character start, neighbours that are not word characters.
std::size_t Model(const std::string& text, std::size_t caret, std::string find, const sjis::FindOptions& o,
                  bool alone)
{
    const std::size_t n = text.size();
    std::vector<std::size_t> length(n + 1, 0);   // 0: not a character start
    for (std::size_t i = 0; i < n;) {
        const std::size_t l = (i == 0 && alone) ? 1 : (Lead(static_cast<unsigned char>(text[i])) && i + 1 < n ? 2 : 1);
        length[i] = l;
        i += l;
    }
    while (caret > 0 && caret < n && length[caret] == 0)
        --caret;
    auto fold = [](std::string s, const std::vector<std::size_t>* starts) {
        for (std::size_t i = 0; i < s.size(); ++i) {
            const bool start = starts ? (*starts)[i] == 1 : true;
            const auto b = static_cast<unsigned char>(s[i]);
            if (start && b >= 'A' && b <= 'Z')
                s[i] = static_cast<char>(b + 32);
        }
        return s;
    };
    std::string hay = text;
    if (!o.MatchCase) {
        // The find text is read with the lead-byte rule from its own start.
        std::vector<std::size_t> fl(find.size() + 1, 0);
        for (std::size_t i = 0; i < find.size();) {
            fl[i] = Lead(static_cast<unsigned char>(find[i])) ? 2 : 1;
            i += fl[i];
        }
        find = fold(find, &fl);
        std::vector<std::size_t> starts = length;
        if (alone && n > 0)
            starts[0] = 0;   // the byte shown alone is never folded
        hay = fold(hay, &starts);
    }
    auto word = [&](std::size_t at) {
        if (length[at] == 2)
            return true;
        const auto b = static_cast<unsigned char>(text[at]);
        return std::isalnum(b) || b == '_' || (b >= 0xA1 && b <= 0xDF);
    };
    auto accepted = [&](std::size_t s) {
        if (length[s] == 0 || s + find.size() > n || hay.compare(s, find.size(), find) != 0)
            return false;
        if (!o.WholeWord)
            return true;
        std::size_t prev = s;
        while (prev > 0 && length[--prev] == 0) {
        }
        if (s > 0 && word(prev))
            return false;
        const std::size_t end = s + find.size();
        return end >= n || (length[end] != 0 && !word(end));
    };
    if (find.empty())
        return npos;
    if (o.Up) {
        for (std::size_t s = caret + 1; s-- > 0;)
            if (s + find.size() <= caret && accepted(s))
                return s;
        return npos;
    }
    for (std::size_t s = caret; s < n; ++s)
        if (accepted(s))
            return s;
    return npos;
}

TEST(SjisDirectedSearch, UpAndWholeWordAgreeWithTheByteModelOnRandomText)
{
    // Letters, digits, separators, lead bytes, trail bytes that look like
    // letters or '\', and half-width katakana all meet.
    const std::string alphabet = "aAb_1 .-\\\x95\x83\xE0\xB1\x41\x5C";
    std::mt19937 random(20261207);
    auto pick = [&](std::size_t count) {
        std::string s;
        for (std::size_t i = 0; i < count; ++i)
            s.push_back(alphabet[random() % alphabet.size()]);
        return s;
    };
    for (int round = 0; round < 30000; ++round) {
        const std::string text = pick(random() % 40);
        const std::string find = pick(1 + random() % 3);
        const std::size_t caret = random() % (text.size() + 1);
        sjis::FindOptions o;
        o.MatchCase = random() % 2;
        o.WholeWord = random() % 2;
        o.Up = o.WholeWord ? random() % 2 : true;
        const bool alone = random() % 4 == 0;
        ASSERT_EQ(sjis::SearchDirected(text, caret, find, o, alone), Model(text, caret, find, o, alone))
            << "text " << ::testing::PrintToString(text) << " find " << ::testing::PrintToString(find) << " round " << round << " case " << o.MatchCase << " word " << o.WholeWord << " up " << o.Up
            << " alone " << alone << " caret " << caret;
    }
}

TEST(SjisDirectedSearch, WordBoundariesOfJapaneseAndAscii)
{
    sjis::FindOptions word;
    word.WholeWord = true;
    // "ERRORS" and "XERROR" are not the word; "ERROR:" and "(error)" are.
    EXPECT_EQ(sjis::SearchDirected("ERRORS XERROR ERROR: x", 0, "error", word), 14u);
    EXPECT_EQ(sjis::SearchDirected("a_b (error)", 0, "error", word), 5u);
    EXPECT_EQ(sjis::SearchDirected("a_b", 0, "b", word), npos);
    // A double-byte character beside the text is a word character, even when
    // its trail byte is '\' (表 = 95 5C).
    EXPECT_EQ(sjis::SearchDirected("\x95\x5C" "ab ab", 0, "ab", word), 5u);
    EXPECT_EQ(sjis::SearchDirected("ab\x95\x5C ab", 0, "ab", word), 5u);
    // A Japanese word between separators is whole.
    EXPECT_EQ(sjis::SearchDirected("x \x83\x47\x83\x89 y", 0, "\x83\x47\x83\x89", word), 2u);
    // Up: the last whole word that ends at or before the caret.
    word.Up = true;
    EXPECT_EQ(sjis::SearchDirected("ab ab abc", 9, "ab", word), 3u);
    EXPECT_EQ(sjis::SearchDirected("ab ab abc", 3, "ab", word), 0u);
    EXPECT_EQ(sjis::SearchDirected("ab ab abc", 1, "ab", word), npos);
}

} // namespace
