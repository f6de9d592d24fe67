#include "app/DisplayPreparation.h"

#include "codec/SjisCodec.h"
#include "decode/Convert.h"
#include "decode/Detect.h"
#include "view/MappedFile.h"
#include "view/SjisTextStore.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

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

class ConversionOutput;

// A pass's progress over the mapped input: gives back the input's pages
// behind it and moves a conversion's output on (see ConversionOutput); shows
// its share as the part of the display from From to To percent; leaves the
// pass when the job is to stop.
struct PassWatch {
    DisplayJob& Job;
    MappedFile& Input;
    int From = 0;
    int To = 100;
    ConversionOutput* Output = nullptr;

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
};

// The converted text's tail, from byte start of the whole text on, with the
// bytes before it that tell whether it starts inside a character.
struct ConvertedTail {
    // A store of its own, so that a whole text goes to the view as it is,
    // not copied.
    SjisTextStore Window;
    uint64_t Offset = 0;    // of the text to show in Window
    uint64_t Length = 0;    // of the text to show
    bool Stray = false;     // its first byte is the rest of a character
};

// Where a conversion writes a window of size bytes. A big text goes into a
// file of its own beside the local copy (in memory when no such file can be
// made there), so that it need not be held in memory: the converter then
// writes into pages of its own, whose written part moves into the file
// whole page by whole page as the conversion goes on, and are given back.
// The converter writes no zero byte before the text's end (the text ends at
// the first), so the first zero behind what has moved is where it has got.
class ConversionOutput {
public:
    ConversionOutput(const std::string& fileName, uint64_t size) : FSize(size)
    {
        if (size >= SjisTextInFileFrom()) {
            const std::string directory = std::filesystem::path(fileName).parent_path().string();
            if (auto store = SjisTextStore::InFile(directory, size)) {
                FStore = std::move(*store);
                if (size > SIZE_MAX / 2)
                    throw std::bad_alloc();
                void* pages = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
                if (pages == MAP_FAILED)
                    throw std::bad_alloc();
                FWindow = static_cast<uint8_t*>(pages);
                return;
            }
        }
        if (size > SIZE_MAX - 8)
            throw std::bad_alloc();
        FStore = SjisTextStore(std::string(static_cast<std::size_t>(size), '\0'));
        FWindow = FStore.Writable();
    }
    ~ConversionOutput()
    {
        if (FStore.InFileBacked() && FWindow != nullptr)
            ::munmap(FWindow, static_cast<size_t>(FSize));
    }
    ConversionOutput(const ConversionOutput&) = delete;
    ConversionOutput& operator=(const ConversionOutput&) = delete;

    uint8_t* Window() { return FWindow; }

    // Moves the whole pages written so far into the file. Called from the
    // converter's progress: it must not throw (a failed write is kept for
    // Finish).
    void MoveWritten() noexcept
    {
        if (!FStore.InFileBacked() || FFailed)
            return;
        const void* zero = std::memchr(FWindow + FMoved, 0, static_cast<std::size_t>(FSize - FMoved));
        const uint64_t written = zero ? static_cast<uint64_t>(static_cast<const uint8_t*>(zero) - FWindow) : FSize;
        const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
        Move(written / page * page);
    }

    // After the conversion: the rest moves into the file; the text in its
    // store, all size bytes of the window.
    SjisTextStore Finish()
    {
        if (FStore.InFileBacked()) {
            Move(FSize);
            if (FFailed)
                throw std::runtime_error("the text could not be written to its file");
        }
        return std::move(FStore);
    }

private:
    void Move(uint64_t to) noexcept
    {
        if (to <= FMoved)
            return;
        try {
            FStore.Append(std::string_view(reinterpret_cast<const char*>(FWindow + FMoved),
                                           static_cast<std::size_t>(to - FMoved)));
        } catch (...) {
            FFailed = true;
            return;
        }
        const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
        const uint64_t from = FMoved / page * page;
        const uint64_t whole = to / page * page;
        if (whole > from)
            ::madvise(FWindow + from, static_cast<size_t>(whole - from), MADV_DONTNEED);
        FMoved = to;
    }

    SjisTextStore FStore;
    uint8_t* FWindow = nullptr;
    uint64_t FSize = 0;
    uint64_t FMoved = 0;
    bool FFailed = false;
};

PassProgress PassWatch::Hook()
{
    PassProgress progress = Input.Progress();
    progress.Context = this;
    progress.Reached = [](const uint8_t* position, void* context) {
        auto* self = static_cast<PassWatch*>(context);
        self->Input.Release(position);
        const uint64_t inputSize = std::max<uint64_t>(1, self->Input.Size());
        const uint64_t read = std::min(
            inputSize, position > self->Input.Bytes() ? static_cast<uint64_t>(position - self->Input.Bytes()) : 0);
        self->Job.Percent = self->From
            + static_cast<int>((self->To - self->From) * static_cast<double>(read) / static_cast<double>(inputSize));
        if (self->Output != nullptr)
            self->Output->MoveWritten();
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
        {
            ConversionOutput output(fileName, windowSize);
            uint8_t* const window = output.Window();
            PassWatch converting{job, file, 45, 90, &output};
            const PassProgress outputProgress = converting.Hook();
            ReadFile(job, [&] {
                ConvertSjisTail(converter, file.Bytes(), from, window, windowSize, &outputProgress, &measure);
            });
            file.ReleaseAll();
            tail.Window = output.Finish();
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
    return {std::move(text), stray};
}

// Converts the file by the route, keeping the job's tail.
PreparedText PrepareConverted(DisplayJob& job, Route route, MappedFile& file, int percentFrom)
{
    ConvertedTail tail = ConvertTail(job, route, file, percentFrom);
    if (tail.Offset == 0) {
        // The whole window is the text: it is shown as it is.
        tail.Window.Resize(tail.Length);
        return {std::move(tail.Window), tail.Stray};
    }
    const std::string_view text = tail.Window.Bytes().substr(static_cast<std::size_t>(tail.Offset),
                                                             static_cast<std::size_t>(tail.Length));
    return {SjisTextStore(std::string(text)), tail.Stray};
}

// The line index over the text, built in pieces so that a stop ends it.
SjisTextBuffer Indexed(DisplayJob& job, PreparedText text)
{
    SjisTextBuffer buffer;
    buffer.SetText(std::move(text.Bytes), text.Stray);
    while (!buffer.IndexMore(std::size_t(16) << 20)) {
        if (job.Stop)
            throw DisplayStopped();
        job.Percent = 90 + static_cast<int>(10 * buffer.IndexedShare());
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
