// Runs the display's decoding path on a whole file, for timing against peers:
//   decode_bench detect|jis|euc|utf16|utf8|utf8-twostep|read FILE
// detect prints the detected kind; a conversion makes the measuring call,
// allocates, converts and writes the Shift_JIS text to standard output (utf8
// converts straight to Shift_JIS as the display does; utf8-twostep goes
// through UTF-16, the literal route, dropping the UTF-8 bytes once
// converted); read only reads the file. The file is mapped, with zero bytes
// behind it as the display keeps them.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "decode/Convert.h"
#include "decode/Detect.h"

namespace {

// Zero bytes kept behind the file: the display keeps one, UTF-16 text needs a
// whole zero unit, and the detector may look two bytes past its count.
constexpr size_t Tail = 4;

// Memory from the system in huge pages where the kernel has them (a fault per
// 2 MiB instead of one per 4 KiB of a 100 MB buffer), released with munmap.
struct Unmap {
    size_t Length;
    void operator()(void* p) const { munmap(p, Length); }
};
template <typename T>
using Mapped = std::unique_ptr<T[], Unmap>;

size_t PageRound(size_t bytes)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

template <typename T>
Mapped<T> Allocate(size_t count)
{
    const size_t length = PageRound(count * sizeof(T));
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
    madvise(p, length, MADV_HUGEPAGE);
    return Mapped<T>(static_cast<T*>(p), Unmap{length});
}

// The whole file, read-only, followed by Tail zero bytes: the file is mapped
// over the start of a zeroed region one tail longer.
Mapped<uint8_t> ReadWhole(const char* path, size_t& size)
{
    const int fd = open(path, O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::perror(path);
        std::exit(1);
    }
    size = static_cast<size_t>(st.st_size);
    const size_t length = PageRound(size + Tail);
    void* p = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED
        || (size > 0
            && mmap(p, size, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0) == MAP_FAILED)) {
        std::perror(path);
        std::exit(1);
    }
    close(fd);
    return Mapped<uint8_t>(static_cast<uint8_t*>(p), Unmap{length});
}

void WriteAll(const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, size);
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

template <typename In>
void ToSjis(int64_t (*convert)(uint8_t*, const In*, uint64_t), const In* input)
{
    const int64_t measured = convert(nullptr, input, 0);
    Mapped<uint8_t> output = Allocate<uint8_t>(static_cast<size_t>(measured) + Tail);
    if (convert(output.get(), input, measured + Tail) != measured) {
        std::fprintf(stderr, "measuring and converting disagree\n");
        std::exit(1);
    }
    WriteAll(output.get(), static_cast<size_t>(measured));
}

const char* KindName(EncodingKind kind)
{
    switch (kind) {
    case ekAscii: return "ascii";
    case ekJis: return "jis";
    case ekSjis: return "sjis";
    case ekEuc: return "euc";
    case ekUtf16: return "utf16";
    case ekUtf8: return "utf8";
    case ekUtf7: return "utf7";
    case ekUnknown: return "unknown";
    case ekBinary: return "binary";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s detect|jis|euc|utf16|utf8|utf8-twostep|read FILE\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    size_t size = 0;
    Mapped<uint8_t> file = ReadWhole(argv[2], size);

    if (mode == "read") {
        std::printf("%zu\n", size);
    } else if (mode == "detect") {
        std::printf("%s\n", KindName(DetectEncoding(file.get(), static_cast<int64_t>(size) - 1)));
    } else if (mode == "jis") {
        ToSjis<uint8_t>(JisToSjis, file.get());
    } else if (mode == "euc") {
        ToSjis<uint8_t>(EucToSjis, file.get());
    } else if (mode == "utf16") {
        ToSjis<uint16_t>(Utf16ToSjis, reinterpret_cast<const uint16_t*>(file.get()));
    } else if (mode == "utf8") {
        ToSjis<uint8_t>(Utf8ToSjis, file.get());
    } else if (mode == "utf8-twostep") {
        const int64_t units = Utf8ToUtf16(nullptr, file.get(), 0);
        Mapped<uint16_t> utf16 = Allocate<uint16_t>(static_cast<size_t>(units) + Tail);
        if (Utf8ToUtf16(utf16.get(), file.get(), units + Tail) != units)
            return 1;
        file.reset();   // the UTF-8 bytes are not needed any more
        ToSjis<uint16_t>(Utf16ToSjis, utf16.get());
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    return 0;
}
