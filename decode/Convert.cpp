// The converters to Shift_JIS. Each converter is a small step function that
// reads one character and yields its code; the two-call protocol and the
// capacity rule are written once, in RunConversion (ConvertLoop.h). Each
// source encoding has a file of its own (ConvertJis.cpp, ConvertEuc.cpp,
// ConvertUtf16.cpp, ConvertUtf8.cpp) with its steps, its fast lanes and its
// wide lane; what they share lies in ConvertLanes.h, ConvertLoop.h and
// ConvertWide.h. Here: the table look-ups, the switches of the tests and the
// routes of the tail.
#include "decode/Convert.h"

#include "decode/ConvertLoop.h"

#include <cstdint>

using namespace sjis_convert;

void SetConverterFastLanes(bool enabled) { FastLanes.store(enabled); }

void SetConverterWideLanes(bool enabled) { WideLanesOn.store(enabled); }

void SetConverterStorePause(void (*pause)()) { StorePause.store(pause); }

int PutSjisChar(uint8_t* output, uint16_t code)
{
    if (code >= 0x100) {
        if (output) {
            output[0] = static_cast<uint8_t>(code >> 8);
            output[1] = static_cast<uint8_t>(code);
        }
        return 2;
    }
    if (output)
        output[0] = code == 0 ? '?' : static_cast<uint8_t>(code);
    return 1;
}

uint16_t JisCodeToSjis(uint16_t code, int plane) { return SjisOfJis(code, plane); }

uint16_t UnicodeToSjisChar(uint16_t unit) { return SjisOfUnit(unit); }

uint16_t Jisx0212ToSjis(uint16_t code) { return SjisOfJisx0212(code); }

SjisMeasure MeasureSjis(SjisRoute route, const uint8_t* input, const PassProgress* progress)
{
    const auto* units = reinterpret_cast<const uint16_t*>(input);
    switch (route) {
    case SjisRoute::Jis: return JisMeasure(input, progress);
    case SjisRoute::Euc: return EucMeasure(input, progress);
    case SjisRoute::Utf16: return Utf16Measure(units, progress);
    case SjisRoute::Utf8: return Utf8Measure(input, progress);
    }
    return {};
}

uint64_t ConvertSjisTail(SjisRoute route, const uint8_t* input, uint64_t start, uint8_t* window,
                         uint64_t windowSize, const PassProgress* progress, const SjisMeasure* measure)
{
    if (windowSize == 0)
        return 0;
    const auto* units = reinterpret_cast<const uint16_t*>(input);
    switch (route) {
    case SjisRoute::Jis: return JisTail(input, start, window, windowSize, progress, measure);
    case SjisRoute::Euc: return EucTail(input, start, window, windowSize, progress, measure);
    case SjisRoute::Utf16: return Utf16Tail(units, start, window, windowSize, progress, measure);
    case SjisRoute::Utf8: return Utf8Tail(input, start, window, windowSize, progress, measure);
    }
    window[0] = 0;
    return 0;
}
