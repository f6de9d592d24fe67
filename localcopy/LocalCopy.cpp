#include "localcopy/LocalCopy.h"

#include "sock/Exception.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void FileFailure(const std::string& what, const std::string& path, int error)
{
    throw Exception(what + " \"" + path + "\". " + std::strerror(error));
}

void ReadExactly(int fd, char* into, size_t count, int64_t at, const std::string& path)
{
    while (count > 0) {
        const ssize_t n = ::pread(fd, into, count, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            FileFailure("Cannot read file", path, n < 0 ? errno : EIO);
        into += n;
        count -= size_t(n);
        at += n;
    }
}

void WriteExactly(int fd, const char* from, size_t count, int64_t at, const std::string& path)
{
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, from, count, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            FileFailure("Cannot write file", path, errno);
        from += n;
        count -= size_t(n);
        at += n;
    }
}

} // namespace

NoFollowFile::NoFollowFile(const std::string& path, int flags)
    : FFd(::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW))
{
    if (FFd < 0)
        FileFailure("Cannot open file", path, errno);
}

NoFollowFile::~NoFollowFile()
{
    ::close(FFd);
}

void RememberCopy(FollowCopyState& state, const std::string& copy, const std::string& remoteTime)
{
    const std::optional<LocalCopyStamp> stamp = StampOfLocalFile(copy);
    state.Known = stamp.has_value();
    state.Local = stamp.value_or(LocalCopyStamp{});
    state.RemoteTime = remoteTime;
}

std::optional<LocalCopyStamp> StampOfLocalFile(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    LocalCopyStamp stamp;
    stamp.Device = uint64_t(st.st_dev);
    stamp.Inode = uint64_t(st.st_ino);
    stamp.Size = int64_t(st.st_size);
    stamp.ModifiedNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return stamp;
}

bool OverlapMatches(const std::string& received, const std::string& copy, int64_t copyAt, int64_t count)
{
    NoFollowFile a(received, O_RDONLY);
    NoFollowFile b(copy, O_RDONLY);
    std::vector<char> x(static_cast<size_t>(count)), y(static_cast<size_t>(count));
    ReadExactly(a.Get(), x.data(), x.size(), 0, received);
    ReadExactly(b.Get(), y.data(), y.size(), copyAt, copy);
    return x == y;
}

void AppendToCopy(const std::string& received, int64_t skip, const std::string& copy, int64_t copySize)
{
    NoFollowFile in(received, O_RDONLY);
    NoFollowFile out(copy, O_WRONLY);
    struct stat st {};
    if (::fstat(in.Get(), &st) != 0)
        FileFailure("Cannot read file", received, errno);
    const int64_t count = int64_t(st.st_size) - skip;
    std::vector<char> buffer(1 << 18);
    try {
        for (int64_t done = 0; done < count;) {
            const size_t chunk = size_t(std::min<int64_t>(count - done, int64_t(buffer.size())));
            ReadExactly(in.Get(), buffer.data(), chunk, skip + done, received);
            WriteExactly(out.Get(), buffer.data(), chunk, copySize + done, copy);
            done += int64_t(chunk);
        }
    } catch (...) {
        if (::ftruncate(out.Get(), copySize) != 0) {
            // Nothing more can be done; the failure is reported.
        }
        throw;
    }
}
