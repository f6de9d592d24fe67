#include "view/PatternMatcher.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

PatternMatcher::PatternMatcher(QStringView pattern, bool matchCase)
{
    uint32_t options = PCRE2_UTF | PCRE2_UCP;
    if (!matchCase)
        options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.utf16()),
                          static_cast<PCRE2_SIZE>(pattern.size()), options, &error, &offset, nullptr);
    if (!FCode)
        return;
    // The machine-code matcher when there is one; the limits bind both it
    // and the interpreter.
    const bool jit = pcre2_jit_compile(FCode, PCRE2_JIT_COMPLETE) == 0;
    FData = pcre2_match_data_create(1, nullptr);
    FContext = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(FContext, MatchLimit);
    pcre2_set_depth_limit(FContext, DepthLimit);
    pcre2_set_heap_limit(FContext, 64 * 1024); // KiB
    if (jit) {
        FStack = pcre2_jit_stack_create(32 * 1024, 1024 * 1024, nullptr);
        pcre2_jit_stack_assign(FContext, nullptr, FStack);
    }
}

PatternMatcher::~PatternMatcher()
{
    pcre2_jit_stack_free(FStack);
    pcre2_match_context_free(FContext);
    pcre2_match_data_free(FData);
    pcre2_code_free(FCode);
}

PatternMatcher::Result PatternMatcher::Match(QStringView line)
{
    if (!FCode)
        return Result::NoMatch;
    const int rc = pcre2_match(FCode, reinterpret_cast<PCRE2_SPTR>(line.utf16()),
                               static_cast<PCRE2_SIZE>(line.size()), 0, 0, FData, FContext);
    if (rc >= 0)
        return Result::Match;
    switch (rc) {
    case PCRE2_ERROR_MATCHLIMIT:
    case PCRE2_ERROR_DEPTHLIMIT:
    case PCRE2_ERROR_HEAPLIMIT:
    case PCRE2_ERROR_JIT_STACKLIMIT:
    case PCRE2_ERROR_NOMEMORY: return Result::TooComplex;
    default:
        // No match, or text that is not well-formed UTF-16 (which the
        // expression would not match either).
        return Result::NoMatch;
    }
}
