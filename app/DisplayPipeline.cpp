// TForm1::ShowLocalFile: reads a local file, converts it to Shift_JIS, keeps
// its tail and shows it in Memo1 scrolled to the end.
#include "app/Form1.h"

#include "app/MessageBox.h"
#include "app/SjisCodec.h"
#include "app/SjisMemo.h"
#include "app/Tag.h"
#include "decode/Convert.h"
#include "decode/Detect.h"

#include <QComboBox>
#include <QPushButton>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file descriptor closed on every path.
class FileHandle {
public:
    explicit FileHandle(int fd) : Fd(fd) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int Get() const { return Fd; }
    void Close()
    {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }

private:
    int Fd;
};

// The file's bytes and four zero bytes behind them, held as 16-bit units so
// the UTF-16 converter can read the same memory as code units.
struct FileBuffer {
    std::unique_ptr<uint16_t[]> Units;
    uint64_t Size = 0;   // bytes of content
    uint8_t* Bytes() const { return reinterpret_cast<uint8_t*>(Units.get()); }
};

// Opens the file for reading without sharing (an exclusive lock that fails
// while anyone else holds one), reads it whole and closes it. Throws on any
// failure: missing, not a regular file, locked, unreadable, no memory.
FileBuffer ReadLocalFile(const std::string& path)
{
    // Non-blocking so that a FIFO cannot hold the window; it is refused below.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.Get() < 0)
        throw std::runtime_error("cannot open");
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("not a regular file");
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0)
        throw std::runtime_error("held by another program");
    const off_t end = ::lseek(file.Get(), 0, SEEK_END);
    if (end < 0 || ::lseek(file.Get(), 0, SEEK_SET) != 0)
        throw std::runtime_error("cannot seek");

    FileBuffer buffer;
    const auto size = static_cast<uint64_t>(end);
    if (size > (UINT64_MAX >> 2))
        throw std::bad_alloc();
    const uint64_t units = (size + 4 + 1) / 2;
    if (units > SIZE_MAX / sizeof(uint16_t))
        throw std::bad_alloc();
    buffer.Units = std::make_unique_for_overwrite<uint16_t[]>(static_cast<std::size_t>(units));
    uint8_t* bytes = buffer.Bytes();
    uint64_t total = 0;
    while (total < size) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(size - total, 1u << 30));
        const ssize_t n = ::read(file.Get(), bytes + total, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("cannot read");
        if (n == 0)
            break;   // the file got shorter: show what was there
        total += static_cast<uint64_t>(n);
    }
    file.Close();
    std::memset(bytes + total, 0, units * 2 - total);
    buffer.Size = total;
    return buffer;
}

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

std::unique_ptr<uint8_t[]> AllocateOutput(int64_t measured)
{
    if (measured < 0 || static_cast<uint64_t>(measured) > SIZE_MAX - 8)
        throw std::bad_alloc();
    return std::make_unique_for_overwrite<uint8_t[]>(static_cast<std::size_t>(measured) + 4);
}

// Converts the file by the route into zero-terminated Shift_JIS, in two
// passes per converter: measure, then convert within the measured capacity.
std::unique_ptr<uint8_t[]> Convert(Route route, const FileBuffer& file)
{
    const uint8_t* input = file.Bytes();
    std::unique_ptr<uint8_t[]> output;
    switch (route) {
    case Route::Jis: {
        const int64_t n = JisToSjis(nullptr, input, 0);
        output = AllocateOutput(n);
        JisToSjis(output.get(), input, static_cast<uint64_t>(n) + 4);
        break;
    }
    case Route::Euc: {
        const int64_t n = EucToSjis(nullptr, input, 0);
        output = AllocateOutput(n);
        EucToSjis(output.get(), input, static_cast<uint64_t>(n) + 4);
        output[n] = 0;
        break;
    }
    case Route::Utf16: {
        const int64_t n = Utf16ToSjis(nullptr, file.Units.get(), 0);
        output = AllocateOutput(n);
        Utf16ToSjis(output.get(), file.Units.get(), static_cast<uint64_t>(n) + 4);
        break;
    }
    case Route::Utf8: {
        const int64_t e = Utf8ToUtf16(nullptr, input, 0);
        if (e < 0 || static_cast<uint64_t>(e) > SIZE_MAX / 2 - 8)
            throw std::bad_alloc();
        auto utf16 = std::make_unique_for_overwrite<uint16_t[]>(static_cast<std::size_t>(e) + 4);
        Utf8ToUtf16(utf16.get(), input, static_cast<uint64_t>(e) + 4);
        const int64_t m = Utf16ToSjis(nullptr, utf16.get(), 0);
        output = AllocateOutput(m);
        Utf16ToSjis(output.get(), utf16.get(), static_cast<uint64_t>(m) + 4);
        break;
    }
    default:
        throw std::logic_error("no conversion");
    }
    return output;
}

// True when the byte at start is the second byte of a double-byte character:
// the lead-byte-range bytes right before it pair up from the last byte that
// cannot be a lead byte, so an odd run leaves a lead byte waiting for it.
bool StartsOnTrailByte(const uint8_t* text, uint64_t start)
{
    if (start == 0 || !SjisCodec::IsTrailByte(text[start]))
        return false;
    uint64_t run = 0;
    while (run < start && SjisCodec::IsLeadByte(text[start - 1 - run]))
        ++run;
    return run % 2 == 1;
}

// Shows the last tailSize bytes (0: all) of a zero-terminated Shift_JIS text
// of length bytes and scrolls to its end.
void ShowTail(SjisMemo& memo, const uint8_t* text, uint64_t length, int32_t tailSize)
{
    uint64_t start = 0;
    if (tailSize > 0 && length >= static_cast<uint64_t>(tailSize))
        start = length - static_cast<uint64_t>(tailSize);
    // A cut through a character or between CR and LF leaves its stray byte
    // shown alone, so the characters behind it keep their places.
    const bool stray = StartsOnTrailByte(text, start)
        || (start > 0 && text[start] == '\n' && text[start - 1] == '\r');
    memo.SetText(std::string_view(reinterpret_cast<const char*>(text) + start, length - start), stray);

    // Scroll to the end: a blank put at the end scrolls it into sight, then
    // goes again.
    const int64_t c = memo.TextLength();
    memo.SetSelStart(c);
    memo.SetSelText(" ");
    memo.SetSelStart(c);
    memo.SetSelLength(1);
    memo.SetSelText("");
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

// Shows the file; returns the name of the encoding it was read as.
std::string ShowFile(SjisMemo& memo, const std::string& fileName, int32_t tailSize, const std::string& encoding)
{
    FileBuffer file = ReadLocalFile(fileName);
    Route route = RouteForName(encoding);
    if (route == Route::Detect)
        route = RouteForKind(DetectEncoding(file.Bytes(), static_cast<int64_t>(file.Size) - 1));

    if (route == Route::Unconverted) {
        // Shown as it is, up to its first zero byte (a binary file stops
        // there), cut to its tail like a converted text.
        const void* zero = std::memchr(file.Bytes(), 0, file.Size + 1);
        const auto length = static_cast<uint64_t>(static_cast<const uint8_t*>(zero) - file.Bytes());
        ShowTail(memo, file.Bytes(), length, tailSize);
        return RouteName(route);
    }

    const std::unique_ptr<uint8_t[]> output = Convert(route, file);
    file.Units.reset();   // the converted text is all that is needed now
    const uint64_t length = std::strlen(reinterpret_cast<const char*>(output.get()));
    ShowTail(memo, output.get(), length, tailSize);
    return RouteName(route);
}

} // namespace

std::string TForm1::ShowLocalFile(const std::string& fileName, int32_t tailSize)
{
    Memo1->Clear();
    LastFile = fileName;
    LastTag = tailSize;
    SetTag(Button1, tailSize);
    SetTag(CmbHost, tailSize);
    std::string failure;
    try {
        TitleAfterDisplay(ShowFile(*Memo1, fileName, tailSize, CurrentEncoding));
        return failure;
    } catch (const std::bad_alloc&) {
        failure = "メモリ不足";
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "?";
    }
    TitleAfterDisplay({});
    // Every buffer is released by now; the box is the user's report.
    try {
        ShowMessageBox("失敗", "読込", MB_ICONSTOP);
    } catch (...) {
    }
    return failure;
}
