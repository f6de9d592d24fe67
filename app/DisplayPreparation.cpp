#include "app/DisplayPreparation.h"

#include "codec/SjisCodec.h"
#include "decode/Convert.h"
#include "decode/Detect.h"
#include "view/MappedFile.h"
#include "view/SjisTextStore.h"
#include "view/SjisTextWindow.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

enum class Route { Unconverted, Jis, Euc, Utf8, Utf16, Detect };

Route RouteForName(const std::string& name)
{
    if (name == "JIS")
        return Route::Jis;
    if (name == "EUC")
        return Route::Euc;
    if (name == "UTF8")
        return Route::Utf8;
    if (name == "Unicode")
        return Route::Utf16;
    if (name == "SJIS")
        return Route::Unconverted;
    return Route::Detect;
}

Route RouteForKind(EncodingKind kind)
{
    switch (kind) {
    case ekJis: return Route::Jis;
    case ekEuc: return Route::Euc;
    case ekUtf16: return Route::Utf16;
    case ekUtf8: return Route::Utf8;
    default: return Route::Unconverted;
    }
}

SjisRoute ConverterOf(Route route)
{
    switch (route) {
    case Route::Jis: return SjisRoute::Jis;
    case Route::Euc: return SjisRoute::Euc;
    case Route::Utf16: return SjisRoute::Utf16;
    case Route::Utf8: return SjisRoute::Utf8;
    default: throw std::logic_error("no conversion");
    }
}

// Runs a pass over the mapped file; a file that shrinks meanwhile fails the
// display like an unreadable one, and a job told to stop ends the pass.
template <typename Pass>
void ReadFile(const DisplayJob& job, Pass&& pass)
{
    auto run = [](void* context) { (*static_cast<Pass*>(context))(); };
    if (ReadGuarded(run, &pass))
        return;
    if (job.Stop)
        throw DisplayStopped();
    throw std::runtime_error("the file got shorter while it was read");
}

// A pass's progress over the mapped input: gives back the input's pages
// behind it and hands a conversion's output on (see SjisTextWindow); shows
// its share as the part of the display from From to To percent; leaves the
// pass when the job is to stop.
struct PassWatch {
    DisplayJob& Job;
    MappedFile& Input;
    int From = 0;
    int To = 100;
    SjisTextWindow* Output = nullptr;

    PassProgress Hook();
};

// Whether the byte at start is the second byte of a double-byte character:
// the lead-byte-range bytes right before it pair up from the last byte that
// cannot be a lead byte, so an odd run leaves a lead byte waiting for it.
// known is false when that run goes back to the start of the text, before
// which lie bytes not at hand.
bool StartsOnTrailByte(const uint8_t* text, uint64_t start, bool& known)
{
    known = true;
    if (start == 0 || !SjisCodec::IsTrailByte(text[start]))
        return false;
    uint64_t run = 0;
    while (run < start && SjisCodec::IsLeadByte(text[start - 1 - run]))
        ++run;
    known = run < start;
    return run % 2 == 1;
}

// A text to show and whether its first byte is the rest of a character.
struct PreparedText {
    SjisTextStore Bytes;
    bool Stray = false;
    std::optional<SjisLineIndex> Index;   // over all of Bytes, when built already
};

// The converted text's tail, from byte start of the whole text on, with the
// bytes before it that tell whether it starts inside a character.
struct ConvertedTail {
    // A store of its own, so that a whole text goes to the view as it is,
    // not copied.
    SjisTextStore Window;
    std::optional<SjisLineIndex> Index;   // over all of Window, when built on the way
    uint64_t Offset = 0;    // of the text to show in Window
    uint64_t Length = 0;    // of the text to show
    bool Stray = false;     // its first byte is the rest of a character
};

PassProgress PassWatch::Hook()
{
    PassProgress progress = Input.Progress();
    progress.Context = this;
    if (Output != nullptr)
        progress.Final = Output->Final();
    progress.Reached = [](const uint8_t* position, void* context) {
        auto* self = static_cast<PassWatch*>(context);
        self->Input.Release(position);
        const uint64_t inputSize = std::max<uint64_t>(1, self->Input.Size());
        const uint64_t read = std::min(
            inputSize, position > self->Input.Bytes() ? static_cast<uint64_t>(position - self->Input.Bytes()) : 0);
        self->Job.Percent = self->From
            + static_cast<int>((self->To - self->From) * static_cast<double>(read) / static_cast<double>(inputSize));
        if (self->Output != nullptr)
            self->Output->Written();
        if (self->Job.Stop)
            LeaveGuardedRead();
    };
    return progress;
}

// Converts the file by the route into zero-terminated Shift_JIS, two passes
// as the converters' protocol has it: measure, then convert keeping only the
// tail of the output (the whole text for a tail size of 0), from the last
// place the measure kept before it. The text ends at the output's first zero
// byte; the tail is cut at that byte, whatever it is.
ConvertedTail ConvertTail(DisplayJob& job, Route route, MappedFile& file, int percentFrom)
{
    const std::string& fileName = job.FileName;
    const int32_t tailSize = job.TailSize;
    const SjisRoute converter = ConverterOf(route);
    PassWatch measuring{job, file, percentFrom, 45};
    const PassProgress progress = measuring.Hook();
    SjisMeasure measure;
    ReadFile(job, [&] { measure = MeasureSjis(converter, file.Bytes(), &progress); });
    file.ReleaseAll();
    const uint64_t length = measure.TextLength;
    uint64_t start = 0;
    if (tailSize > 0 && length >= static_cast<uint64_t>(tailSize))
        start = length - static_cast<uint64_t>(tailSize);

    // Some bytes before the cut come along: whether the cut falls inside a
    // character depends on them. Rarely they do not reach far enough back,
    // and the window grows.
    ConvertedTail tail;
    for (uint64_t context = 4096;; context *= 16) {
        const uint64_t from = start - std::min(start, context);
        // Room for the character that holds the text's first zero byte.
        const uint64_t windowSize = length - from + 3;
        tail.Window = SjisTextStore();   // the last try's room goes first
        tail.Index.reset();
        {
            SjisTextWindow output(std::filesystem::path(fileName).parent_path().string(), windowSize);
            uint8_t* const window = output.Bytes();
            PassWatch converting{job, file, 45, 95, &output};
            const PassProgress outputProgress = converting.Hook();
            ReadFile(job, [&] {
                ConvertSjisTail(converter, file.Bytes(), from, window, windowSize, &outputProgress, &measure);
            });
            file.ReleaseAll();
            SjisTextWindow::Text text = output.Finish(length - from);
            tail.Window = std::move(text.Bytes);
            tail.Index = std::move(text.Index);
        }
        const auto* text = reinterpret_cast<const uint8_t*>(tail.Window.Bytes().data());
        bool known = true;
        const uint64_t cut = start - from;
        const bool trail = StartsOnTrailByte(text, cut, known);
        if (!known && from > 0)
            continue;
        // A cut through a character or between CR and LF leaves its stray
        // byte shown alone, so the characters behind it keep their places.
        tail.Offset = cut;
        tail.Length = length - start;
        tail.Stray = trail || (cut > 0 && text[cut] == '\n' && text[cut - 1] == '\r');
        return tail;
    }
}

// The name the title gives the encoding a route reads.
std::string RouteName(Route route)
{
    switch (route) {
    case Route::Jis: return "ISO-2022-JP";
    case Route::Euc: return "EUC-JP";
    case Route::Utf8: return "UTF-8";
    case Route::Utf16: return "UTF-16";
    case Route::Unconverted: return "Shift_JIS";
    default: return {};
    }
}

// The file shown as it is, up to its first zero byte (a binary file stops
// there), cut to its tail like a converted text: its pages are given back as
// the search for the zero and the copy pass them, and only the tail is
// copied.
PreparedText PrepareUnconverted(DisplayJob& job, MappedFile& file)
{
    const int32_t tailSize = job.TailSize;
    const uint8_t* bytes = file.Bytes();
    constexpr uint64_t piece = uint64_t(4) << 20;
    uint64_t length = 0;
    ReadFile(job, [&] {
        const uint64_t end = file.Size() + 1;   // the zero behind the file ends every search
        for (uint64_t at = 0; at < end; at += piece) {
            const uint64_t size = std::min(piece, end - at);
            if (const void* zero = std::memchr(bytes + at, 0, static_cast<std::size_t>(size))) {
                length = static_cast<uint64_t>(static_cast<const uint8_t*>(zero) - bytes);
                break;
            }
            file.Release(bytes + at + size);
            job.Percent = static_cast<int>(45 * at / end);
            if (job.Stop)
                LeaveGuardedRead();
        }
    });
    file.ReleaseAll();
    uint64_t start = 0;
    if (tailSize > 0 && length >= static_cast<uint64_t>(tailSize))
        start = length - static_cast<uint64_t>(tailSize);
    bool stray = false;
    ReadFile(job, [&] {
        bool known = true;   // the file is all at hand
        stray = StartsOnTrailByte(bytes, start, known)
                || (start > 0 && bytes[start] == '\n' && bytes[start - 1] == '\r');
    });
    // Copied in pieces, the file's pages given back behind them. A text in
    // a file goes straight into its file (a write from pages the file lost
    // fails, it does not fault).
    SjisTextStore text;
    if (length - start >= SjisTextInFileFrom()) {
        const std::string directory = std::filesystem::path(job.FileName).parent_path().string();
        if (auto store = SjisTextStore::InFile(directory, length - start))
            text = std::move(*store);
    }
    if (!text.InFileBacked())
        text = SjisTextStore(std::string(static_cast<std::size_t>(length - start), '\0'));
    for (uint64_t at = start; at < length; at += piece) {
        const uint64_t size = std::min(piece, length - at);
        if (text.InFileBacked()) {
            text.Append(std::string_view(reinterpret_cast<const char*>(bytes + at), static_cast<std::size_t>(size)));
        } else {
            uint8_t* const into = text.Writable() + (at - start);
            ReadFile(job, [&] { std::memcpy(into, bytes + at, static_cast<std::size_t>(size)); });
        }
        file.Release(bytes + at + size);
        job.Percent = 45 + static_cast<int>(45 * (at - start) / std::max<uint64_t>(1, length - start));
        if (job.Stop)
            throw DisplayStopped();
    }
    return {std::move(text), stray, std::nullopt};
}

// Converts the file by the route, keeping the job's tail.
PreparedText PrepareConverted(DisplayJob& job, Route route, MappedFile& file, int percentFrom)
{
    ConvertedTail tail = ConvertTail(job, route, file, percentFrom);
    if (tail.Offset == 0) {
        // The whole window is the text: it is shown as it is.
        return {std::move(tail.Window), tail.Stray, std::move(tail.Index)};
    }
    const std::string_view text = tail.Window.Bytes().substr(static_cast<std::size_t>(tail.Offset),
                                                             static_cast<std::size_t>(tail.Length));
    return {SjisTextStore(std::string(text)), tail.Stray, std::nullopt};
}

// The line index over the text, built in pieces so that a stop ends it.
SjisTextBuffer Indexed(DisplayJob& job, PreparedText text)
{
    SjisTextBuffer buffer;
    if (text.Index && !text.Stray) {
        buffer.SetText(std::move(text.Bytes), std::move(*text.Index));
        return buffer;
    }
    buffer.SetText(std::move(text.Bytes), text.Stray);
    while (!buffer.IndexMore(std::size_t(16) << 20)) {
        if (job.Stop)
            throw DisplayStopped();
        job.Percent = 95 + static_cast<int>(5 * buffer.IndexedShare());
    }
    return buffer;
}

} // namespace

PreparedDisplay PrepareDisplay(DisplayJob& job)
{
    auto file = std::make_unique<MappedFile>(job.FileName);
    Route route = RouteForName(job.Encoding);
    int percentFrom = 0;
    if (route == Route::Detect) {
        PassWatch detecting{job, *file, 0, 10};
        const PassProgress progress = detecting.Hook();
        EncodingKind kind = ekUnknown;
        ReadFile(job, [&] { kind = DetectEncoding(file->Bytes(), static_cast<int64_t>(file->Size()) - 1, &progress); });
        file->ReleaseAll();
        route = RouteForKind(kind);
        percentFrom = 10;
    }
    PreparedText text = route == Route::Unconverted ? PrepareUnconverted(job, *file)
                                                    : PrepareConverted(job, route, *file, percentFrom);
    file.reset();   // the text is all that is needed now
    PreparedDisplay display;
    display.Text = Indexed(job, std::move(text));
    display.EncodingName = RouteName(route);
    return display;
}
