// A filter pattern compiled for matching line after line with a bound on the
// work one line may take. Patterns that backtrack without end on some lines
// ((a+)+$, (\w+\s?)+$) would otherwise hold the thread for minutes on a
// single line; here such a line ends the match with TooComplex instead.
// Compiled as the filter's QRegularExpression is (UTF-16, Unicode
// properties, case-insensitive unless the case matters).
#pragma once

#include <QStringView>

#include <memory>

struct pcre2_real_code_16;
struct pcre2_real_match_data_16;
struct pcre2_real_match_context_16;
struct pcre2_real_jit_stack_16;

class PatternMatcher {
public:
    enum class Result { NoMatch, Match, TooComplex };

    // The work one line may cost before it is too complex, in the engine's
    // own count of steps: about 20 ms of backtracking on this machine's kind.
    static constexpr unsigned MatchLimit = 1'000'000;
    static constexpr unsigned DepthLimit = 10'000;

    // Compiles pattern; Valid() false when it does not compile (the
    // filter reports why through QRegularExpression's own message).
    PatternMatcher(QStringView pattern, bool matchCase);
    ~PatternMatcher();
    PatternMatcher(const PatternMatcher&) = delete;
    PatternMatcher& operator=(const PatternMatcher&) = delete;

    bool Valid() const { return FCode != nullptr; }
    // Whether line holds a match, or TooComplex when finding out would cost
    // more than the limits. Uses this object's scratch: one thread at a
    // time. Does not wait.
    Result Match(QStringView line);

private:
    pcre2_real_code_16* FCode = nullptr;
    pcre2_real_match_data_16* FData = nullptr;
    pcre2_real_match_context_16* FContext = nullptr;
    pcre2_real_jit_stack_16* FStack = nullptr;
};
