// The view's buffer and line index against a plain model (a vector of lines),
// and find and the filter over it against the byte-level search and filter
// run on the whole text with CR LF breaks.
#include "view/SjisLineSearch.h"
#include "view/SjisText.h"
#include "view/SjisTextBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <random>
#include <string>
#include <vector>

namespace {

// The lines a text splits into, as the view splits them.
struct Model {
    std::vector<std::string> Lines;
    std::string Text;   // lines joined by CR LF
};

Model Split(const std::string& bytes, bool stray)
{
    Model m;
    std::string line;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if ((c == '\r' || c == '\n') && !(i == 0 && stray)) {
            m.Lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    m.Lines.push_back(line);
    for (std::size_t k = 0; k < m.Lines.size(); ++k)
        m.Text += (k ? "\r\n" : "") + m.Lines[k];
    return m;
}

// Random Shift_JIS text: ASCII words (some the search looks for), kana and
// kanji pairs, pairs whose trail byte is a letter or '\', half-width kana,
// and line breaks of every kind.
std::string RandomText(std::mt19937& rng, std::size_t pieces)
{
    static const std::vector<std::string> parts = {
        "err", "ERR", "Err", "or", " ", "x", "_", "\x83\x41", "\x95\x5C", "\x93\xFA\x96\x7B", "\xB1",
        "\x83\x52", "\x82\xA0", "\r\n", "\n", "\r", "\r\r\n", "\n\r", "\x81", "R"};
    std::uniform_int_distribution<std::size_t> pick(0, parts.size() - 1);
    std::string text;
    for (std::size_t i = 0; i < pieces; ++i)
        text += parts[pick(rng)];
    return text;
}

// LineAtRaw at every raw offset (and past the end) gives the last line that
// starts at or before it, with and without a block cache (kept by the caller
// through appends and cuts); RawLength through the cache agrees too.
void ExpectLinesAtRaw(const SjisTextBuffer& b, SjisLineIndex::BlockCache& cache)
{
    const SjisLineIndex& index = b.Index();
    int64_t line = 0;
    for (uint64_t raw = 0; raw <= b.Raw().size() + 1; ++raw) {
        while (line + 1 < b.Count() && index.RawStart(line + 1) <= raw)
            ++line;
        ASSERT_EQ(b.LineAtRaw(raw), line) << raw;
        uint64_t start = 0;
        ASSERT_EQ(index.LineAtRaw(raw, start, cache), line) << raw;
        ASSERT_EQ(start, index.RawStart(line)) << raw;
    }
    for (int64_t i = b.Count() - 1; i >= 0; i -= 7)
        ASSERT_EQ(index.RawLength(i, cache), index.RawLength(i)) << i;
}

void ExpectSameLines(const SjisLines& lines, const Model& m)
{
    ASSERT_EQ(lines.Count(), static_cast<int64_t>(m.Lines.size()));
    ASSERT_EQ(lines.Length(), m.Text.size());
    uint64_t at = 0;
    for (int64_t i = 0; i < lines.Count(); ++i) {
        ASSERT_EQ(lines.Start(i), at) << i;
        ASSERT_EQ(std::string(lines.Bytes(i)), m.Lines[static_cast<std::size_t>(i)]) << i;
        // Every offset of the line and of its break belongs to it.
        const uint64_t end = at + m.Lines[static_cast<std::size_t>(i)].size() + (i + 1 < lines.Count() ? 2 : 0);
        for (uint64_t o = at; o < end; o += 1 + (o % 3))
            ASSERT_EQ(lines.LineAt(o), i) << o;
        at = end;
    }
    EXPECT_EQ(lines.LineAt(at + 5), lines.Count() - 1);
}

TEST(SjisTextBuffer, RandomTextsMatchThePlainModelWhateverTheSlicesAndAppends)
{
    std::mt19937 rng(20261207);
    for (int round = 0; round < 60; ++round) {
        const std::string text = RandomText(rng, 40 + round * 30);
        const bool stray = round % 5 == 0;
        // Given whole, indexed in uneven slices.
        SjisTextBuffer whole;
        whole.SetText(text, stray);
        std::size_t slice = 1 + rng() % 50;
        while (!whole.IndexMore(slice))
            slice = 1 + rng() % 50;
        ExpectSameLines(whole, Split(text, stray));
        SjisLineIndex::BlockCache cache;
        ExpectLinesAtRaw(whole, cache);
        if (HasFatalFailure())
            return;

        // Appended in pieces (as Follow does), indexed after each, so a CR
        // and its LF may arrive apart.
        SjisTextBuffer grown;
        grown.SetText(text.substr(0, 1), stray);
        for (std::size_t at = 1; at < text.size();) {
            const std::size_t n = std::min<std::size_t>(text.size() - at, 1 + rng() % 20);
            grown.Append(std::string_view(text).substr(at, n));
            grown.IndexMore(1 + rng() % 30);
            at += n;
        }
        grown.IndexMore();
        ExpectSameLines(grown, Split(text, stray));
        EXPECT_EQ(grown.TextCopy(), Split(text, stray).Text);
        SjisLineIndex::BlockCache grownCache;
        ExpectLinesAtRaw(grown, grownCache);
        if (HasFatalFailure())
            return;

        // Cut anywhere (inside a CR LF too) and grown again, as replacing
        // the end of the text does.
        std::string cut = text;
        for (int k = 0; k < 6; ++k) {
            const std::size_t at = 1 + rng() % cut.size();
            cut.resize(at);
            grown.Truncate(at);
            const std::string more = RandomText(rng, 1 + rng() % 8);
            cut += more;
            grown.Append(more);
            grown.IndexMore();
            ExpectSameLines(grown, Split(cut, stray));
            ExpectLinesAtRaw(grown, grownCache);
            if (HasFatalFailure())
                return;
        }
    }
}

TEST(SjisTextBuffer, CountsAndOffsetsOfTheEdges)
{
    SjisTextBuffer b;
    b.IndexMore();
    EXPECT_EQ(b.Count(), 1);
    EXPECT_EQ(b.Length(), 0u);
    EXPECT_EQ(b.LineAt(0), 0);

    // A lone CR at the end is a break; the LF appended behind it joins it.
    b.SetText("a\r");
    b.IndexMore();
    EXPECT_EQ(b.Count(), 2);
    EXPECT_EQ(b.Length(), 3u);
    b.Append("\nb");
    b.IndexMore();
    EXPECT_EQ(b.Count(), 2);
    EXPECT_EQ(b.Start(1), 3u);
    EXPECT_EQ(b.Bytes(1), "b");

    // A stray first byte is part of the first line even when it is a break.
    b.SetText("\n\nx", true);
    b.IndexMore();
    EXPECT_EQ(b.Count(), 2);
    EXPECT_EQ(b.Bytes(0), "\n");
    EXPECT_EQ(b.Start(1), 3u);
}

// A block cache filled before a cut is not trusted after it, even when the
// block is sealed again, with other starts, by the text appended behind.
TEST(SjisTextBuffer, ABlockCacheIsReadAfreshAfterACut)
{
    SjisTextBuffer b;
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "a\n";
    b.SetText(text);
    b.IndexMore();
    SjisLineIndex::BlockCache cache;
    uint64_t start = 0;
    ASSERT_EQ(b.Index().LineAtRaw(2 * 100, start, cache), 100);
    b.Truncate(2 * 70);
    for (int i = 0; i < 130; ++i)
        b.Append("bbb\n");
    b.IndexMore();
    EXPECT_EQ(b.Index().LineAtRaw(2 * 70 + 4 * 10, start, cache), 80);
    ExpectLinesAtRaw(b, cache);
}

TEST(SjisTextBuffer, ManyLinesStayExactAcrossBlocks)
{
    // Hundreds of thousands of lines of varying length: block edges, big
    // deltas and the search by offset over many blocks.
    std::string text;
    std::vector<uint64_t> starts;
    for (int i = 0; i < 300000; ++i) {
        starts.push_back(text.size());
        text += "line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 300), 'x');
        text += i % 3 == 0 ? "\n" : "\r\n";
    }
    SjisTextBuffer b;
    b.SetText(text);
    while (!b.IndexMore(1 << 20)) {}
    ASSERT_EQ(b.Count(), 300001);
    uint64_t lones = 0;
    for (int i = 0; i < 300000; i += 997) {
        lones = static_cast<uint64_t>((i + 2) / 3);   // lone LFs before line i
        ASSERT_EQ(b.Start(i), starts[static_cast<std::size_t>(i)] + lones) << i;
        ASSERT_EQ(b.LineAt(b.Start(i)), i);
        ASSERT_EQ(b.LineAt(b.Start(i) + 3), i);
        ASSERT_EQ(b.LineAtRaw(starts[static_cast<std::size_t>(i)]), i);
        ASSERT_EQ(b.LineAtRaw(starts[static_cast<std::size_t>(i + 1)] - 1), i);
    }
    EXPECT_EQ(b.LineAtRaw(text.size() + 10), 300000);
    EXPECT_LT(b.Index().MemoryUse(), text.size() / 20);
}

// The find of the buffer gives what SearchDirected gives on the whole text.
TEST(SjisLineSearch, FindMatchesTheWholeTextSearchInEveryMode)
{
    std::mt19937 rng(7);
    const std::vector<std::string> keys = {"err", "ERR", "or", "R", "\x83\x41", "A", "\\", "x_", "\xB1"};
    for (int round = 0; round < 40; ++round) {
        const std::string raw = RandomText(rng, 200);
        const bool stray = round % 4 == 1;
        SjisTextBuffer b;
        b.SetText(raw, stray);
        b.IndexMore();
        const std::string text = b.TextCopy();
        for (const std::string& key : keys)
            for (int mode = 0; mode < 8; ++mode) {
                const sjis::FindOptions options{(mode & 1) != 0, (mode & 2) != 0, (mode & 4) != 0};
                for (int t = 0; t < 4; ++t) {
                    const std::size_t caret = rng() % (text.size() + 1);
                    const std::size_t want = sjis::SearchDirected(text, caret, key, options, b.FirstByteStray());
                    SjisLineSearch search(b, key, options, caret);
                    while (!search.Step(1 + rng() % 64)) {}
                    const uint64_t got = search.Found();
                    ASSERT_EQ(got == SjisLineSearch::NotFound ? sjis::npos : got, want)
                        << "round " << round << " key " << key << " mode " << mode << " caret " << caret;
                }
            }
    }
}

// The filter keeps what FilterLines keeps, and filtering the kept lines again
// (a view over the same buffer) keeps what filtering the kept text would.
TEST(SjisLineSearch, FilterKeepsTheLinesTheWholeTextFilterKeeps)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        const std::string raw = RandomText(rng, 300);
        const bool stray = round % 4 == 2;
        SjisTextBuffer b;
        b.SetText(raw, stray);
        b.IndexMore();
        const std::string text = b.TextCopy();
        for (const std::string key : {"err", "R", "\\", "\x83\x41"}) {
            const sjis::FilterResult want = sjis::FilterLines(text, key, 0, b.FirstByteStray());
            SjisLineSearch filter = SjisLineSearch::Filter(b, key);
            while (!filter.Step(1 + rng() % 100)) {}
            const SjisKeptLines kept(b, filter.Kept());
            ExpectSameLines(kept, Split(want.Text, b.FirstByteStray() && want.FirstLineKept));
            EXPECT_EQ(kept.FirstByteStray(), b.FirstByteStray() && want.FirstLineKept);

            const std::string second = key == std::string("R") ? "err" : "R";
            const sjis::FilterResult want2 = sjis::FilterLines(want.Text, second, 0, kept.FirstByteStray());
            SjisLineSearch again = SjisLineSearch::Filter(kept, second);
            again.Run();
            const SjisKeptLines kept2(b, again.Kept());
            ExpectSameLines(kept2, Split(want2.Text, kept.FirstByteStray() && want2.FirstLineKept));

            // Find inside the kept view, both ways.
            for (int mode : {0, 4, 5}) {
                const sjis::FindOptions options{(mode & 1) != 0, false, (mode & 4) != 0};
                const std::size_t caret = rng() % (want.Text.size() + 1);
                SjisLineSearch find(kept, "or", options, caret);
                find.Run();
                const std::size_t expect = sjis::SearchDirected(want.Text, caret, "or", options, kept.FirstByteStray());
                ASSERT_EQ(find.Found() == SjisLineSearch::NotFound ? sjis::npos : find.Found(), expect);
            }
            if (HasFatalFailure())
                return;
        }
    }
}

// Long runs searched in one step go through the wide loops: a match at every
// place of a 32-byte block and across its edge, a decoy whose last byte is a
// trail byte, in either case and with the case matching; the filter on the
// exact bytes keeps the lines that hold the key.
TEST(SjisLineSearch, MatchesAtEveryPlaceOfTheWideLoops)
{
    for (std::size_t at = 0; at < 80; ++at)
        for (const std::string key : {"ERR", "errOr", "eRr", "eRroR", "\x83\x41x"}) {
            std::string text(100, 'x');
            text.replace(40, 2, "\x83\x41");   // ア: a trail byte 'A' before the match
            text.replace(at + 2 < 100 ? at : 0, 0, "eRr" + std::string("oR"));
            SjisTextBuffer b;
            b.SetText(text + "\r\n" + text);
            b.IndexMore();
            const std::string whole = b.TextCopy();
            for (int mode = 0; mode < 4; ++mode) {
                const sjis::FindOptions options{(mode & 1) != 0, false, (mode & 2) != 0};
                const std::size_t caret = options.Up ? whole.size() : 0;
                SjisLineSearch search(b, key, options, caret);
                search.Run();
                const std::size_t want = sjis::SearchDirected(whole, caret, key, options);
                ASSERT_EQ(search.Found() == SjisLineSearch::NotFound ? sjis::npos : search.Found(), want)
                    << at << " " << key << " " << mode;
            }
            SjisLineSearch filter = SjisLineSearch::Filter(b, key);
            filter.Run();
            const std::vector<int64_t> both{0, 1};
            const bool held = sjis::FindOnCharBoundary(text, key, 0) != sjis::npos;
            EXPECT_EQ(filter.Kept(), held ? both : std::vector<int64_t>()) << at << " " << key;
        }
}

// A pattern of plain texts is decided on the bytes, a piece at a time: over a
// text of many pieces, in slices of any size, it keeps the lines that hold
// either text on a character boundary, once, in either case or the exact one.
TEST(SjisLineSearch, PlainAlternativesKeepTheLinesHoldingAnyOfThem)
{
    std::mt19937 rng(5);
    static const std::vector<std::string> parts = {"ERROR", "Warn",     "WARN",    "\x83\x45RROR", "x",
                                                   " ",     "\x93\xFA", "warning", "ErRoR"};
    std::string text;
    std::vector<std::string> lines;
    while (text.size() < 600000) {
        std::string line;
        for (int k = int(rng() % 6); k > 0; --k)
            line += parts[rng() % parts.size()];
        lines.push_back(line);
        text += line + "\n";
    }
    SjisTextBuffer b;
    b.SetText(text);
    b.IndexMore();
    // Two texts and four (one scan where the processor can), five (a scan
    // for each), overlapping texts and a text of one letter.
    for (const QString& pattern : {u"ERROR|WARN"_qs, u"warning|RO|n|Ro"_qs, u"a|b|c|d|e"_qs})
        for (const bool matchCase : {false, true}) {
            const auto rule = LineFilter::Pattern(pattern, {.Regex = true, .MatchCase = matchCase});
            std::vector<int64_t> want;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                std::string line = lines[i];
                if (!matchCase)
                    sjis::LowerInPlace(line);
                if (std::any_of(rule->Alternatives().begin(), rule->Alternatives().end(),
                                [&](const std::string& t) {
                                    return sjis::FindOnCharBoundary(line, t, 0) != sjis::npos;
                                }))
                    want.push_back(static_cast<int64_t>(i));
            }
            SjisLineSearch whole = SjisLineSearch::Filter(b, rule);
            whole.Run();
            EXPECT_EQ(whole.Kept(), want) << pattern.toStdString() << matchCase;
            SjisLineSearch sliced = SjisLineSearch::Filter(b, rule);
            while (!sliced.Step(1 + rng() % 5000)) { }
            EXPECT_EQ(sliced.Kept(), want) << pattern.toStdString() << matchCase;
        }
}

TEST(SjisLineSearch, TextsWithABreakOrNothingAreFoundNowhere)
{
    SjisTextBuffer b;
    b.SetText("a\r\nb");
    b.IndexMore();
    EXPECT_EQ(SjisLineSearch(b, "a\r\nb", {}, 0).Found(), SjisLineSearch::NotFound);
    SjisLineSearch none = SjisLineSearch::Filter(b, "");
    none.Run();
    EXPECT_TRUE(none.Kept().empty());
    SjisLineSearch past(b, "a", {}, 99);
    EXPECT_TRUE(past.Finished());
}

} // namespace
