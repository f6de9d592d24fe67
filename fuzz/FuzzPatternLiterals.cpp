// Fuzz target for the filter's reading of a pattern's required texts: the
// input is a pattern (UTF-8), a zero byte and a line of the view's bytes.
// Whatever the pattern, the reading must end, and whenever the expression
// matches the decoded line, the line's bytes hold the texts it required
// (else the prefilter would drop a line the filter keeps).
#include "codec/SjisCodec.h"
#include "view/PatternLiterals.h"
#include "view/PatternMatcher.h"

#include <QString>

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const QString pattern = QString::fromUtf8(input.substr(0, split));
    const std::string_view line =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    const bool stray = !line.empty() && (line.size() & 1) != 0;
    const QString decoded = SjisCodec::Decode(line, stray);
    for (const bool matchCase : {false, true}) {
        const PatternLiterals literals = RequiredLiterals(pattern, matchCase);
        for (const auto& group : literals.Groups) {
            if (group.empty())
                __builtin_trap();
            for (const std::string& text : group)
                if (text.empty())
                    __builtin_trap();
        }
        PatternMatcher matcher(pattern, matchCase);
        if (matcher.Valid() && matcher.Match(decoded) == PatternMatcher::Result::Match &&
            !HoldsLiterals(line, literals, matchCase))
            __builtin_trap();
    }
    return 0;
}
