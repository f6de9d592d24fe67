#include "decode/FastPext.h"

#if defined(__x86_64__)

#include <cpuid.h>

namespace {

bool PextIsFast()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx))
        return false;
    const bool amd = ebx == 0x68747541 /* "Auth"enticAMD */ || ebx == 0x6F677948 /* "Hygo"nGenuine */;
    if (!amd)
        return true;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    unsigned family = (eax >> 8) & 0xF;
    if (family == 0xF)
        family += (eax >> 20) & 0xFF;
    return family >= 0x19;
}

} // namespace

bool FastPextAvailable()
{
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi2") && PextIsFast();
    }();
    return available;
}

#else

bool FastPextAvailable() { return false; }

#endif
