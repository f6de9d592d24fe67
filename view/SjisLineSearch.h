// Find and the line filter run over the view's buffer directly, in slices the
// caller hands out (so a big text is searched from the event loop with
// progress, and stopped by dropping the object). They give the results the
// byte-level search and filter of SjisText / SjisDirectedSearch give on the
// text with CR LF line breaks. A find or filter text that holds a CR or LF is
// in no line and found nowhere.
#pragma once

#include "view/LineFilter.h"
#include "view/PatternMatcher.h"
#include "view/SjisDirectedSearch.h"
#include "view/SjisTextBuffer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class SjisLineSearch {
public:
    static constexpr uint64_t NotFound = UINT64_MAX;

    // A find of find in lines from text offset caret, as SearchDirected
    // does. lines must outlive the search and stay unchanged meanwhile.
    SjisLineSearch(const SjisLines& lines, std::string_view find, const sjis::FindOptions& options,
                   uint64_t caret);
    // The line filter: keeps the lines that hold needle on a character
    // boundary (exact bytes, case included).
    static SjisLineSearch Filter(const SjisLines& lines, std::string_view needle);
    // The line filter by rule, over the lines from line fromLine of lines on.
    // A fixed text is looked for across the buffer's bytes; a pattern's
    // lines are decoded and matched only where one of its factors stands
    // (every line when it has none), unless the pattern is plain texts joined
    // by '|', which are looked for as fixed texts. Exclude keeps the lines
    // without a match.
    static SjisLineSearch Filter(const SjisLines& lines, std::shared_ptr<const LineFilter> rule,
                                 int64_t fromLine = 0);

    using Clock = std::chrono::steady_clock;
    // Searches up to about maxBytes more, and a pattern's lines only until
    // deadline (checked between lines: one line costs at most what
    // PatternMatcher allows); true when finished. Does not wait.
    bool Step(std::size_t maxBytes, Clock::time_point deadline = Clock::time_point::max());
    // Runs to the end. Does not wait.
    void Run() { while (!Step(SIZE_MAX / 2)) {} }
    bool Finished() const { return FDone; }
    // Share of the bytes to search looked at, 0 to 1.
    double Progress() const;

    // The find's match: its text offset, or NotFound.
    uint64_t Found() const { return FFound; }
    // The filter's kept lines, as lines of the buffer.
    const std::vector<int64_t>& Kept() const { return FKept; }
    // The filter ended on a line its pattern was too complex to decide on:
    // Kept() means nothing then.
    bool TooComplex() const { return FTooComplex; }

private:
    SjisLineSearch(const SjisLines& lines, std::string_view needle);
    bool StepForward(std::size_t budget);
    bool StepBackward(std::size_t budget);
    bool StepPattern(std::size_t budget, Clock::time_point deadline);
    // The lines of raw [FRaw, limit) that hold a text of the pattern's
    // first group, into FCandidates.
    void ScanLiterals(uint64_t limit, uint64_t rawRunEnd);
    // A pattern of plain texts: the lines holding any of them, on the bytes.
    bool StepAlternatives(std::size_t budget);
    // Whether the texts are looked for in one scan (AVX2, a few texts).
    bool OneScan() const;
    // The lines of raw [FRaw, limit) that hold a text, in one scan or one
    // scan per text.
    void ScanAlternatives(uint64_t limit, uint64_t rawRunEnd);
    void AlternativesByKey(uint64_t limit, uint64_t rawRunEnd);
    // Tests source line source against the pattern, keeping it on a match.
    void TestLine(int64_t source);
    // Turns the lines found into the lines kept (the others, for Exclude).
    void FinishFilter();
    // Valid matches of key (candidateKey: key as FoldAll folds it, for a
    // search without case) in raw [from, to) (starts in [from, limit)), in
    // order, each handed to take, which returns where to go on or
    // UINT64_MAX to stop. Returns whether it ran through.
    template <typename Take>
    bool Matches(uint64_t from, uint64_t limit, uint64_t to, std::string_view key,
                 std::string_view candidateKey, Take take);
    // Whether a candidate of key at raw offset raw of source line source,
    // which starts at raw offset lineStart, is a match.
    bool IsMatch(int64_t source, uint64_t lineStart, uint64_t raw, std::string_view key);
    // The raw offset of the first line break in raw [raw, to), or to: where
    // a filter goes on behind a match at raw, skipping the rest of its line
    // without the index (a CR or LF is never part of a character).
    uint64_t BreakAfter(uint64_t raw, uint64_t to) const;
    uint64_t RawEnd(int64_t source) const;

    const SjisLines& FLines;
    const SjisTextBuffer& FBuffer;
    std::string FKey;            // the find text, lower-cased unless the case matters
    std::string FCandidateKey;   // FKey as FoldAll folds, to look for in a folded slice
    sjis::FindOptions FOptions;
    bool FFilter = false;
    bool FDone = false;
    bool FNoKey = false;
    uint64_t FFound = NotFound;
    std::vector<int64_t> FKept;
    std::string FLineScratch;
    std::shared_ptr<const LineFilter> FRule;
    int64_t FFromLine = 0;
    int64_t FLastTested = -1;
    std::vector<int64_t> FCandidates;
    SjisLineIndex::BlockCache FBlockCache;      // the block the last match was in
    std::vector<std::string> FAltKeys;          // a pattern's plain texts (LineFilter::Alternatives)
    std::vector<std::string> FAltCandidateKeys; // the same as FoldAll folds them
    std::u16string FDecoded;
    std::unique_ptr<PatternMatcher> FMatcher;
    std::vector<std::string> FScanKeys; // the first group's texts, folded as FoldAll folds without case
    bool FScanFirstGroup = false;       // lines are found by the first group's texts
    std::size_t FNextCandidate = 0;     // FCandidates before it are tested
    bool FTooComplex = false;
    // Where the scan stands: a line of the view and a raw offset in its run.
    int64_t FLine = 0;
    uint64_t FRaw = 0;
    uint64_t FCapRaw = 0;        // searching up: matches end at or before this
    uint64_t FTotal = 1;
    uint64_t FDoneBytes = 0;
};
