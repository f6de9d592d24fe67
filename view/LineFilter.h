// What the line filter keeps: the lines that hold a fixed text or match a
// regular expression, or with Exclude the lines that do not; or the marked
// lines. A fixed text is matched on the Shift_JIS bytes, on character
// boundaries, ASCII letters in either case unless MatchCase. A regular
// expression is matched (PCRE2, Unicode properties) on the line decoded as
// the view shows it, case-insensitive unless MatchCase. Nothing here waits;
// a filter is immutable once made and may be read from any thread.
#pragma once

#include "view/PatternLiterals.h"

#include <QRegularExpression>
#include <QString>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct FilterOptions {
    bool Exclude = false;
    bool Regex = false;
    bool MatchCase = false;
};

class LineFilter {
public:
    enum class Kind { Text, Pattern, Marks };

    // A filter on the Shift_JIS text needle. A needle that is empty or holds
    // a CR or LF is in no line.
    static std::shared_ptr<const LineFilter> Text(std::string needle, FilterOptions options);
    // A filter on a regular expression; check Valid() before use.
    static std::shared_ptr<const LineFilter> Pattern(const QString& pattern, FilterOptions options);
    // The filter that keeps the marked lines (and no line added later).
    static std::shared_ptr<const LineFilter> Marks();

    Kind Which() const { return FKind; }
    const FilterOptions& Options() const { return FOptions; }
    // False for a pattern that does not compile; Error() then says why,
    // with the position in the pattern.
    bool Valid() const { return FError.isEmpty(); }
    const QString& Error() const { return FError; }
    // The fixed text, lower-cased unless the case matters.
    const std::string& Needle() const { return FNeedle; }

    // Whether the line (bytes without their break) holds a match; Exclude is
    // not applied here. A Marks filter matches nothing.
    bool Matches(std::string_view line, bool firstByteStray) const;
    // Whether the filter keeps the line.
    bool Keeps(std::string_view line, bool firstByteStray) const
    {
        return FKind != Kind::Marks && Matches(line, firstByteStray) != FOptions.Exclude;
    }
    // A pattern's decoded-line test on text the caller decoded already
    // (compiles the pattern each time: for a single line; a search keeps its
    // own PatternMatcher). A line too complex to decide is no match here.
    bool MatchesDecoded(QStringView line) const;
    // The pattern as the user gave it.
    const QString& PatternText() const { return FPattern; }
    // For a pattern: the texts every line it matches in holds, as bytes.
    const PatternLiterals& Literals() const { return FLiterals; }

    // For a pattern: ASCII texts, lower-cased, at least one of which every
    // match holds in any case of its letters (so lines without any of them
    // are skipped undecoded); empty when the pattern gives none.
    const std::vector<std::string>& Factors() const { return FFactors; }
    // For a pattern that is only plain ASCII texts joined by '|' (ERROR|WARN):
    // those texts, lower-cased unless MatchCase. A line matches when it holds
    // any of them as a fixed text, which is what the expression finds on the
    // decoded line, so such lines are decided on their bytes. Empty otherwise.
    const std::vector<std::string>& Alternatives() const { return FAlternatives; }

private:
    LineFilter() = default;

    Kind FKind = Kind::Text;
    FilterOptions FOptions;
    std::string FNeedle;
    QString FPattern;
    PatternLiterals FLiterals;
    QString FError;
    std::vector<std::string> FFactors;
    std::vector<std::string> FAlternatives;
};

// The factors of a pattern as LineFilter::Factors gives them; exposed for
// the tests.
std::vector<std::string> PatternFactors(const QString& pattern);
// The texts of a pattern as LineFilter::Alternatives gives them, case kept;
// exposed for the tests.
std::vector<std::string> PlainAlternatives(const QString& pattern);
