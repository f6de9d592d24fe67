// The two-call protocol and the capacity rule, written once for every
// converter to Shift_JIS; the tail's passes (the measure with its resume
// points, the cut at a start byte) and their progress reports; the switches
// of the tests between the fast lanes and the literal steps. Internal to the
// converters: each encoding's file gives its converter object to these.
#pragma once

#include "decode/Convert.h"
#include "decode/ConvertLanes.h"
#include "decode/PassProgress.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sjis_convert {

// Progress reports of the tail's passes; the public converters take NoReport,
// which compiles to nothing.
struct NoReport {
    static constexpr bool Active = false;
    using Pause = NoPause;
    void Check(const void*) { }
    void Check(const void*, const void*) { }
};

// The state a converter carries between characters (JIS: its mode), through
// the step-by-step wrapper too.
template <typename Converter>
int ModeOf(const Converter& converter)
{
    if constexpr (requires { converter.Inner; })
        return ModeOf(converter.Inner);
    else if constexpr (requires { converter.Mode; })
        return converter.Mode;
    else
        return 0;
}

template <typename Converter>
void SetMode(Converter& converter, int mode)
{
    if constexpr (requires { converter.Inner; })
        SetMode(converter.Inner, mode);
    else if constexpr (requires { converter.Mode; })
        converter.Mode = static_cast<decltype(converter.Mode)>(mode);
}

template <typename PauseType = NoPause>
struct Reporter {
    static constexpr bool Active = true;
    using Pause = PauseType;
    const PassProgress* Progress;
    const uint8_t* Base;
    const uint8_t* Next;
    SjisMeasure* Measure = nullptr; // where the measuring pass keeps resume points
    const uint8_t* NextResume;
    const uint8_t* Output = nullptr; // the converting pass's window

    explicit Reporter(const PassProgress* progress, const void* input, SjisMeasure* measure = nullptr)
        : Progress(progress),
          Base(static_cast<const uint8_t*>(input)),
          Next(progress ? Base + progress->Every : reinterpret_cast<const uint8_t*>(UINTPTR_MAX)),
          Measure(measure),
          NextResume(Base)
    {
    }
    void Check(const void* position)
    {
        const auto* at = static_cast<const uint8_t*>(position);
        if (at >= Next) {
            Progress->Reached(at, Progress->Context);
            Next = at + Progress->Every;
        }
    }
    // Of the converting pass, between characters, where everything before
    // end in the window is final: published before the report.
    void Check(const void* position, const void* end)
    {
        if (static_cast<const uint8_t*>(position) >= Next && Progress->Final != nullptr)
            Progress->Final->store(static_cast<uint64_t>(static_cast<const uint8_t*>(end) - Output),
                                   std::memory_order_release);
        Check(position);
    }
    // At a character boundary of the measuring pass: keeps the place now
    // and then, the last few of them.
    template <typename Converter>
    void Resume(const void* position, uint64_t total, const Converter& converter)
    {
        const auto* at = static_cast<const uint8_t*>(position);
        if (Measure == nullptr || at < NextResume)
            return;
        SjisResume& point = Measure->Recent[Measure->Resumes++ % SjisMeasure::RecentCount];
        point.Input = static_cast<uint64_t>(at - Base);
        point.Output = total;
        point.Mode = ModeOf(converter);
        NextResume = at + ResumeSpacing;
    }
    static constexpr uint64_t ResumeSpacing = uint64_t(1) << 16;
};

// A stretch passes at most this much output between two reports.
constexpr uint64_t ReportedStretch = uint64_t(1) << 16;

// The two-call protocol, for a converter object with
//  - Next(input, code): reads one character from input, advances it and stores
//    the character's code; returns false at the terminator (or at a character
//    cut short by it);
//  - PlainRun(input): the number of plain units at input, each a character of
//    its own whose code is the unit itself, one output unit long. Copying the
//    run gives what going through Next one unit at a time would give;
//  - optionally Stretch(input, budget): passes over whole characters whose
//    output length can be told without writing them, as long as their output
//    stays within budget units, and returns that length (0 when the character
//    at input is not one of them);
//  - optionally FastRun(input, output, room): converts whole characters the
//    same way Next and Put would, writing only output[0 .. room), and returns
//    the number of units written (0 when the character at input is left to
//    Next).

// The measuring call: the output length of everything up to the terminator.
// firstZero, where given, receives where the first zero byte of the output
// lies (the output length when there is none): only a double-byte code with a
// zero second byte, which Next alone makes, puts one inside.
template <typename Output, typename Input, typename Converter, typename Report = NoReport>
uint64_t MeasureLoop(const Input* input, Converter& converter, Report report = {},
                     uint64_t* firstZero = nullptr)
{
    uint16_t code = 0;
    uint64_t total = 0;
    bool zeroSeen = false;
    for (;;) {
        if constexpr (Report::Active)
            report.Resume(input, total, converter);
        if constexpr (requires { converter.Stretch(input, total); }) {
            total += converter.Stretch(input, Report::Active ? ReportedStretch : UINT64_MAX);
        } else {
            const size_t run = converter.PlainRun(input);
            input += run;
            total += run;
        }
        report.Check(input);
        if (!converter.Next(input, code))
            break;
        if (firstZero && !zeroSeen && code >= 0x100 && (code & 0xFF) == 0) {
            *firstZero = total + 1;
            zeroSeen = true;
        }
        total += Output::Length(code);
    }
    if (firstZero && !zeroSeen)
        *firstZero = total;
    return total;
}

// The converting call from the converter's present state on: writes within
// capacity by the capacity rule, terminates, and returns -1 or the total.
template <typename Output, typename Input, typename Converter, typename Report = NoReport>
int64_t ConvertLoop(typename Output::Unit* output, const Input* input, uint64_t capacity,
                    Converter& converter, Report report = {}, uint64_t* written = nullptr)
{
    uint16_t code = 0;
    uint64_t total = 0;
    bool stopped = false;
    for (;;) {
        // What lies before output + total is final: the fast lanes' stores
        // past it, and Put, write from there on.
        report.Check(input, output + total);
        if constexpr (requires { converter.FastRun(input, output, total); }) {
            if (total + 1 < capacity)
                total += converter.template FastRun<typename Report::Pause>(input, output + total,
                                                                            capacity - total - 1);
        }
        // A plain unit is written while the total with it stays below the
        // capacity. If the run is cut short, Next reads the plain unit that
        // reaches the capacity and the check below stops on it.
        size_t run = converter.PlainRun(input);
        if (run != 0) {
            const uint64_t room = total + 1 < capacity ? capacity - total - 1 : 0;
            if (run > room)
                run = static_cast<size_t>(room);
            CopyPlain(output + total, input, run);
            input += run;
            total += run;
        }
        if (!converter.Next(input, code))
            break;
        const int length = Output::Length(code);
        if (total + length >= capacity) {
            // Stop before the character that reaches or passes the capacity.
            total += length;
            stopped = true;
            break;
        }
        Output::Put(output + total, code);
        total += length;
    }
    // The terminator goes behind what was written, as long as the running
    // total (including a character stopped on) does not exceed the capacity.
    const uint64_t end = stopped ? total - Output::Length(code) : total;
    if (capacity > 0 && total <= capacity)
        output[end] = 0;
    if (written)
        *written = end;
    return stopped ? -1 : static_cast<int64_t>(total);
}

template <typename Output, typename Input, typename Converter>
int64_t RunConversion(typename Output::Unit* output, const Input* input, uint64_t capacity,
                      Converter& converter)
{
    if (output == nullptr)
        return static_cast<int64_t>(MeasureLoop<Output>(input, converter));
    return ConvertLoop<Output>(output, input, capacity, converter);
}

// The converting call's output from byte start on, written into window (which
// holds windowSize bytes): whole characters are passed without being written
// while their output ends at or before start, a character running across
// start gives its bytes from start on, and the rest is converted as usual.
// Returns the number of bytes written into the window (the terminator not
// counted).
template <typename Input, typename Converter, typename Report>
uint64_t RunTail(uint8_t* window, uint64_t windowSize, const Input* input, uint64_t start,
                 Converter& converter, Report report)
{
    uint16_t code = 0;
    uint64_t total = 0;
    uint64_t written = 0;
    while (total < start) {
        report.Check(input);
        if constexpr (requires { converter.Stretch(input, total); })
            total += converter.Stretch(input, std::min(start - total, ReportedStretch));
        const size_t run = converter.PlainRun(input);
        if (total + run > start) {
            const uint64_t skip = start - total;
            written = std::min<uint64_t>(run - skip, windowSize - 1);
            CopyPlain(window, input + skip, static_cast<size_t>(written));
            input += run;
            total += run;
            break;
        }
        input += run;
        total += run;
        if (!converter.Next(input, code)) {
            window[0] = 0;
            return 0;
        }
        const unsigned length = SjisLength(code);
        if (total + length > start) {
            uint8_t bytes[2] = {0, 0};
            SjisOutput::Put(bytes, code);
            for (uint64_t k = start - total; k < length; ++k)
                window[written++] = bytes[k];
            total += length;
            break;
        }
        total += length;
    }
    uint64_t rest = 0;
    ConvertLoop<SjisOutput>(window + written, input, windowSize - written, converter, report, &rest);
    return written + rest;
}

// Off for tests and fuzzers: the converters then take one character at a
// time through Next alone, the literal steps, against which the fast lanes
// are checked.
inline std::atomic<bool> FastLanes{true};

template <typename Converter>
struct StepByStep {
    Converter Inner;
    template <typename Input>
    static size_t PlainRun(const Input*)
    {
        return 0;
    }
    template <typename Input>
    bool Next(const Input*& p, uint16_t& code)
    {
        return Inner.Next(p, code);
    }
};

template <typename Converter, typename Output, typename Input>
int64_t Run(typename Output::Unit* output, const Input* input, uint64_t capacity)
{
    if (FastLanes.load(std::memory_order_relaxed)) {
        Converter converter;
        return RunConversion<Output>(output, input, capacity, converter);
    }
    StepByStep<Converter> converter;
    return RunConversion<Output>(output, input, capacity, converter);
}

template <typename Converter>
struct StepByStepRoute : StepByStep<Converter> {
    static constexpr bool Literal = true;
};

template <typename Converter, typename Input>
SjisMeasure MeasureRoute(const Input* input, const PassProgress* progress)
{
    if constexpr (!requires { Converter::Literal; }) {
        if (!FastLanes.load(std::memory_order_relaxed))
            return MeasureRoute<StepByStepRoute<Converter>>(input, progress);
    }
    Converter converter;
    SjisMeasure result;
    result.Length =
        MeasureLoop<SjisOutput>(input, converter, Reporter<>(progress, input, &result), &result.TextLength);
    return result;
}

template <typename Converter, typename Input>
uint64_t TailRoute(const Input* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                   const PassProgress* progress, const SjisMeasure* measure)
{
    if constexpr (!requires { Converter::Literal; }) {
        if (!FastLanes.load(std::memory_order_relaxed))
            return TailRoute<StepByStepRoute<Converter>>(input, start, window, windowSize, progress, measure);
    }
    Converter converter;
    // The conversion resumes at the last kept place whose output lies before
    // start, if there is one.
    const SjisResume* from = nullptr;
    const int kept = measure ? std::min(measure->Resumes, SjisMeasure::RecentCount) : 0;
    for (int k = 0; k < kept; ++k) {
        const SjisResume& point = measure->Recent[k];
        if (point.Output <= start && (from == nullptr || point.Output > from->Output))
            from = &point;
    }
    if (from) {
        input += from->Input / sizeof(Input);
        start -= from->Output;
        SetMode(converter, from->Mode);
    }
    if (progress == nullptr)
        return RunTail(window, windowSize, input, start, converter, NoReport{});
    auto run = [&](auto report) {
        report.Output = window;
        return RunTail(window, windowSize, input, start, converter, report);
    };
    if (StorePause.load(std::memory_order_relaxed) != nullptr)
        return run(Reporter<HookPause>(progress, input));
    return run(Reporter<>(progress, input));
}

// Each encoding's file gives its route's measure and tail, MeasureRoute and
// TailRoute on its converter, for MeasureSjis and ConvertSjisTail.
SjisMeasure JisMeasure(const uint8_t* input, const PassProgress* progress);
SjisMeasure EucMeasure(const uint8_t* input, const PassProgress* progress);
SjisMeasure Utf16Measure(const uint16_t* input, const PassProgress* progress);
SjisMeasure Utf8Measure(const uint8_t* input, const PassProgress* progress);
uint64_t JisTail(const uint8_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                 const PassProgress* progress, const SjisMeasure* measure);
uint64_t EucTail(const uint8_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                 const PassProgress* progress, const SjisMeasure* measure);
uint64_t Utf16Tail(const uint16_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                   const PassProgress* progress, const SjisMeasure* measure);
uint64_t Utf8Tail(const uint8_t* input, uint64_t start, uint8_t* window, uint64_t windowSize,
                  const PassProgress* progress, const SjisMeasure* measure);

} // namespace sjis_convert
