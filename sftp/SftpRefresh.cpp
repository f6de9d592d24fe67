#include "sftp/SftpRefresh.h"

#include "sftp/SftpSession.h"
#include "sock/PartFile.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

[[noreturn]] void FileFailure(const std::string& what, const std::string& path, int error)
{
    throw Exception(what + " \"" + path + "\". " + std::strerror(error));
}

// A file descriptor closed on every path.
class Fd {
public:
    Fd(const std::string& path, int flags) : FFd(::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW))
    {
        if (FFd < 0)
            FileFailure("Cannot open file", path, errno);
    }
    ~Fd() { ::close(FFd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

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

// The attributes that tell a changed file: size and modification time.
std::string RemoteStamp(const SftpFileInfo& info)
{
    return std::to_string(info.Size) + " " + std::to_string(info.ModifiedTime);
}

class Refresher {
public:
    Refresher(SftpSession& session, const std::string& remotePath, const std::string& localPath,
              FollowCopyState& state)
        : Session(session), RemotePath(remotePath), LocalPath(localPath), State(state)
    {
    }

    RefreshResult Run()
    {
        const SftpFileInfo info = Session.Stat(RemotePath);
        RemoteTime = RemoteStamp(info);
        const std::optional<LocalCopyStamp> local = StampOfLocalFile(LocalPath);
        Result.OldSize = local ? local->Size : 0;
        if (!local || (State.Known && !(*local == State.Local)) || info.Size < local->Size)
            return Whole();
        if (info.Size == local->Size && State.Known) {
            if (RemoteTime != State.RemoteTime)
                return Whole();
            Result.Kind = RefreshKind::Unchanged;
            Result.NewSize = local->Size;
            return Result;
        }
        return Resume(*local);
    }

private:
    RefreshResult Resume(const LocalCopyStamp& local)
    {
        const int64_t offset = std::max<int64_t>(0, local.Size - ResumeOverlap);
        const int64_t overlap = local.Size - offset;
        PartFile part(LocalPath);
        int64_t received = 0;
        {
            Fd out(part.Path(), O_WRONLY);
            received = Session.ReadFrom(RemotePath, offset, out.Get());
        }
        Result.BytesReceived += received;
        if (received < overlap || !SameAsCopy(part.Path(), offset, overlap)) {
            if (offset == 0)
                return Promote(part, received);   // the temporary file is the whole file
            return Whole();
        }
        // The copy must still be what was compared.
        const std::optional<LocalCopyStamp> again = StampOfLocalFile(LocalPath);
        if (!again || !(*again == local))
            return Whole();
        AppendTail(part.Path(), overlap, received - overlap, local.Size);
        Result.Kind = received > overlap ? RefreshKind::Appended : RefreshKind::Unchanged;
        Result.NewSize = local.Size + (received - overlap);
        Remember();
        return Result;
    }

    bool SameAsCopy(const std::string& temp, int64_t offset, int64_t count)
    {
        Fd a(temp, O_RDONLY);
        Fd b(LocalPath, O_RDONLY);
        std::vector<char> x(static_cast<size_t>(count)), y(static_cast<size_t>(count));
        ReadExactly(a.Get(), x.data(), x.size(), 0, temp);
        ReadExactly(b.Get(), y.data(), y.size(), offset, LocalPath);
        return x == y;
    }

    // Appends count bytes of from (behind skip) to the copy, which is still
    // toSize long; a failure cuts the copy back to toSize.
    void AppendTail(const std::string& from, int64_t skip, int64_t count, int64_t toSize)
    {
        Fd in(from, O_RDONLY);
        Fd out(LocalPath, O_WRONLY);
        std::vector<char> buffer(1 << 18);
        try {
            for (int64_t done = 0; done < count;) {
                const size_t chunk = size_t(std::min<int64_t>(count - done, int64_t(buffer.size())));
                ReadExactly(in.Get(), buffer.data(), chunk, skip + done, from);
                WriteExactly(out.Get(), buffer.data(), chunk, toSize + done, LocalPath);
                done += int64_t(chunk);
            }
        } catch (...) {
            if (::ftruncate(out.Get(), toSize) != 0) {
                // Nothing more can be done; the failure is reported.
            }
            throw;
        }
    }

    RefreshResult Whole()
    {
        const int64_t received = Session.Download(RemotePath, LocalPath);
        Result.BytesReceived += received;
        // The file may have changed while it was read: the attributes are
        // taken again so the next refresh compares with what was fetched.
        RemoteTime = RemoteStamp(Session.Stat(RemotePath));
        Result.Kind = RefreshKind::Whole;
        Result.NewSize = received;
        Remember();
        return Result;
    }

    RefreshResult Promote(PartFile& part, int64_t size)
    {
        part.Commit();
        Result.Kind = RefreshKind::Whole;
        Result.NewSize = size;
        Remember();
        return Result;
    }

    void Remember()
    {
        const std::optional<LocalCopyStamp> stamp = StampOfLocalFile(LocalPath);
        State.Known = stamp.has_value();
        State.Local = stamp.value_or(LocalCopyStamp {});
        State.RemoteTime = RemoteTime;
    }

    SftpSession& Session;
    const std::string& RemotePath;
    const std::string& LocalPath;
    FollowCopyState& State;
    std::string RemoteTime;
    RefreshResult Result;
};

} // namespace

RefreshResult RefreshLocalCopy(SftpSession& session, const std::string& remotePath, const std::string& localPath,
                               FollowCopyState& state)
{
    // A copy of the state, so a failure leaves the caller's as it was.
    FollowCopyState working = state;
    RefreshResult result = Refresher(session, remotePath, localPath, working).Run();
    state = working;
    return result;
}
