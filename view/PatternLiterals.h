// The texts a line must hold for a filter pattern to match in it, as the
// Shift_JIS bytes of the view, so that lines without them are skipped
// without being decoded: 接続.*失敗 needs 接続 and 失敗, ERROR|WARN one of
// ERROR and WARN. Read from the pattern's syntax; anything this reading does
// not follow (options set inside the pattern, verbs, conditions, recursion,
// \Q…\E) gives no texts, and a character whose bytes are not the only
// bytes it is read from (a code with a twin, a part of a combined
// character, a letter with a case outside ASCII when case is ignored) ends a
// text rather than join one. Nothing here waits.
#pragma once

#include <QStringView>

#include <string>
#include <string_view>
#include <vector>

struct PatternLiterals {
    // Every match lies in a line that holds, for each group, at least one of
    // its texts (ASCII letters lower-cased when the case does not matter).
    // The group to look for first (the longest texts, fewest of them) comes
    // first. Empty: every line must be matched.
    std::vector<std::vector<std::string>> Groups;
};

// The required texts of a pattern compiled with case (matchCase) or without.
PatternLiterals RequiredLiterals(QStringView pattern, bool matchCase);

// Whether line holds a text of each group from group first on: exactly, or
// with every ASCII capital of both read as small when !matchCase (a superset
// of the lines the pattern can match in).
bool HoldsLiterals(std::string_view line, const PatternLiterals& literals, bool matchCase,
                   std::size_t first = 0);
