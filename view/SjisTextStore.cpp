#include "view/SjisTextStore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Scans read a few bytes past the text's end: some room behind it in the
// file keeps those reads inside the mapping.
constexpr uint64_t SlackBytes = 64;

std::atomic<uint64_t> InFileFrom{uint64_t(32) << 20};

uint64_t PageSize() { return static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)); }

uint64_t WholePages(uint64_t bytes)
{
    const uint64_t page = PageSize();
    return (bytes + SlackBytes + page - 1) / page * page;
}

// A file without a name in directory, readable and writable by this program
// alone. Where the file system cannot make one, a named file made without
// following or replacing anything, and unlinked at once.
int MakeNamelessFile(const std::string& directory)
{
    const int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    std::string pattern = directory + "/.wisplog-view.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(name.data());
    return named;
}

// Reserves the file's blocks up to length, so that writing through the
// mapping never meets a full disk (which would fault, not fail).
bool Reserve(int fd, uint64_t from, uint64_t length)
{
    return ::posix_fallocate(fd, static_cast<off_t>(from), static_cast<off_t>(length - from)) == 0;
}

} // namespace

uint64_t SjisTextInFileFrom() { return InFileFrom.load(); }

void SetSjisTextInFileFrom(uint64_t bytes) { InFileFrom.store(bytes); }

std::optional<SjisTextStore> SjisTextStore::InFile(const std::string& directory, uint64_t capacity)
{
    if (capacity > UINT64_MAX / 4 || WholePages(capacity) > SIZE_MAX / 2)
        return std::nullopt;
    const int fd = MakeNamelessFile(directory.empty() ? std::string(".") : directory);
    if (fd < 0)
        return std::nullopt;
    const uint64_t length = WholePages(capacity);
    void* base = MAP_FAILED;
    if (Reserve(fd, 0, length))
        base = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        ::close(fd);
        return std::nullopt;
    }
    SjisTextStore store;
    store.FDirectory = directory;
    store.FFd = fd;
    store.FBase = static_cast<uint8_t*>(base);
    store.FCapacity = length;
    return store;
}

SjisTextStore::SjisTextStore(SjisTextStore&& other) noexcept
    : FMemory(std::move(other.FMemory)),
      FDirectory(std::move(other.FDirectory)),
      FFd(other.FFd),
      FBase(other.FBase),
      FSize(other.FSize),
      FCapacity(other.FCapacity)
{
    other.FFd = -1;
    other.FBase = nullptr;
    other.FSize = other.FCapacity = 0;
}

SjisTextStore& SjisTextStore::operator=(SjisTextStore&& other) noexcept
{
    if (this != &other) {
        Close();
        FMemory = std::move(other.FMemory);
        FDirectory = std::move(other.FDirectory);
        FFd = other.FFd;
        FBase = other.FBase;
        FSize = other.FSize;
        FCapacity = other.FCapacity;
        other.FFd = -1;
        other.FBase = nullptr;
        other.FSize = other.FCapacity = 0;
    }
    return *this;
}

SjisTextStore::~SjisTextStore() { Close(); }

void SjisTextStore::Close() noexcept
{
    if (FFd < 0)
        return;
    ::munmap(FBase, static_cast<size_t>(FCapacity));
    ::close(FFd);
    FFd = -1;
    FBase = nullptr;
    FSize = FCapacity = 0;
}

std::optional<SjisTextStore> SjisTextStore::Sibling(uint64_t capacity) const
{
    if (!InFileBacked())
        return std::nullopt;
    return InFile(FDirectory, capacity);
}

std::string_view SjisTextStore::Bytes() const
{
    if (!InFileBacked())
        return FMemory;
    return {reinterpret_cast<const char*>(FBase), static_cast<std::size_t>(FSize)};
}

void SjisTextStore::Resize(uint64_t size)
{
    if (!InFileBacked()) {
        if (size < FMemory.size())
            FMemory.resize(static_cast<std::size_t>(size));
        return;
    }
    FSize = std::min(size, FSize);
}

void SjisTextStore::Append(std::string_view bytes)
{
    if (!InFileBacked()) {
        FMemory.append(bytes);
        return;
    }
    if (bytes.empty())
        return;
    if (FSize + bytes.size() + SlackBytes > FCapacity) {
        // Room for this and a quarter more, so that a followed log's many
        // small appends seldom move the mapping.
        const uint64_t wanted = FSize + bytes.size();
        const uint64_t length = WholePages(std::max(wanted, FCapacity + FCapacity / 4));
        if (length > SIZE_MAX / 2 || !Reserve(FFd, FCapacity, length))
            throw std::bad_alloc();
        void* base =
            ::mremap(FBase, static_cast<size_t>(FCapacity), static_cast<size_t>(length), MREMAP_MAYMOVE);
        if (base == MAP_FAILED)
            throw std::bad_alloc();
        FBase = static_cast<uint8_t*>(base);
        FCapacity = length;
    }
    // Written to the file, not through the mapping: the bytes go into the
    // system's file cache without becoming pages of this program, and
    // without a fault for each page.
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    uint64_t at = FSize;
    while (left > 0) {
        const ssize_t n = ::pwrite(FFd, data, left, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("the view's text could not be written to its file");
        data += n;
        left -= static_cast<std::size_t>(n);
        at += static_cast<uint64_t>(n);
    }
    FSize = at;
}

void SjisTextStore::GiveBack(uint64_t from, uint64_t to) const
{
    if (!InFileBacked())
        return;
    // Whole pages around the range: the file keeps what they hold, written
    // or not, so a page given back while a pass still writes it is only
    // brought back by the next write.
    const uint64_t page = PageSize();
    const uint64_t start = std::min(from, FCapacity) / page * page;
    const uint64_t end = std::min((to + page - 1) / page * page, FCapacity);
    if (end > start)
        ::madvise(FBase + start, static_cast<size_t>(end - start), MADV_DONTNEED);
}
