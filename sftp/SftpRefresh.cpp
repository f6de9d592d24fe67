#include "sftp/SftpRefresh.h"

#include "sftp/SftpSession.h"
#include "sock/PartFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

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
            NoFollowFile out(part.Path(), O_WRONLY);
            received = Session.ReadFrom(RemotePath, offset, out.Get());
        }
        Result.BytesReceived += received;
        if (received < overlap || !OverlapMatches(part.Path(), LocalPath, offset, overlap)) {
            if (offset == 0)
                return Promote(part, received);   // the temporary file is the whole file
            return Whole();
        }
        // The copy must still be what was compared.
        const std::optional<LocalCopyStamp> again = StampOfLocalFile(LocalPath);
        if (!again || !(*again == local))
            return Whole();
        AppendToCopy(part.Path(), overlap, LocalPath, local.Size);
        Result.Kind = received > overlap ? RefreshKind::Appended : RefreshKind::Unchanged;
        Result.NewSize = local.Size + (received - overlap);
        Remember();
        return Result;
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

    void Remember() { RememberCopy(State, LocalPath, RemoteTime); }

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
