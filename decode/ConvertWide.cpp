// What the wide lanes share out of line: whether the processor has them, and
// the constants of their block loops. The lanes themselves lie beside the
// converters of their encodings (ConvertJis.cpp, ConvertUtf16.cpp,
// ConvertUtf8.cpp).
#include "decode/ConvertWide.h"

#if defined(__x86_64__)

namespace convert_wide {

constinit LoopConstants Constants = MakeLoopConstants();

} // namespace convert_wide

bool ConvertWideLanesAvailable()
{
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul");
    }();
    return available;
}

#else

bool ConvertWideLanesAvailable() { return false; }

#endif
