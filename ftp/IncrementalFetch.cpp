#include "ftp/IncrementalFetch.h"

#include "ftp/TKZFTP.h"
#include "sock/PartFile.h"

#include <cerrno>
#include <cstdio>
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

int64_t SizeOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        FileFailure("Cannot read file", path, errno);
    return int64_t(st.st_size);
}

std::string Trimmed(const std::string& reply, size_t from)
{
    std::string text = reply.size() > from ? reply.substr(from) : std::string();
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::optional<int64_t> AskSize(TKZFTP& ftp, const std::string& remoteName)
{
    std::string reply;
    ftp.Transaction("SIZE " + remoteName, reply);
    return SizeFromSizeReply(ftp.ReplyNumber(), reply);
}

// The MDTM answer ("YYYYMMDDHHMMSS"), "" when the server has none.
std::string AskTime(TKZFTP& ftp, const std::string& remoteName)
{
    std::string reply;
    ftp.Transaction("MDTM " + remoteName, reply);
    return ftp.ReplyNumber() == 213 ? Trimmed(reply, 4) : std::string();
}

class Refresher {
public:
    Refresher(TKZFTP& ftp, const std::string& remoteName, const std::string& localPath, FollowCopyState& state)
        : Ftp(ftp), RemoteName(remoteName), LocalPath(localPath), State(state),
          Temp(localPath)
    {
    }

    RefreshResult Run()
    {
        Ftp.CheckConnection();
        const std::optional<int64_t> remoteSize = AskSize(Ftp, RemoteName);
        RemoteTime = AskTime(Ftp, RemoteName);
        const std::optional<LocalCopyStamp> local = StampOfLocalFile(LocalPath);
        Result.OldSize = local ? local->Size : 0;

        if (!remoteSize || !local)
            return Whole(remoteSize);
        // Another program changed the copy since the last refresh.
        if (State.Known && !(*local == State.Local))
            return Whole(remoteSize);
        if (*remoteSize < local->Size)
            return Whole(remoteSize);
        if (*remoteSize == local->Size && State.Known) {
            if (!RemoteTime.empty() && !State.RemoteTime.empty() && RemoteTime != State.RemoteTime)
                return Whole(remoteSize);
            if (State.RemoteTime.empty())
                State.RemoteTime = RemoteTime;
            Result.Kind = RefreshKind::Unchanged;
            Result.NewSize = local->Size;
            return Result;
        }
        // Grown, or the same size with nothing known yet (checked through
        // the overlap alone).
        return Resume(*remoteSize, *local);
    }

private:
    RefreshResult Resume(int64_t remoteSize, const LocalCopyStamp& local)
    {
        const int64_t offset = std::max<int64_t>(0, local.Size - ResumeOverlap);
        const int64_t overlap = local.Size - offset;
        if (offset > 0) {
            std::string reply;
            Ftp.Transaction("REST " + std::to_string(offset), reply);
            if (Ftp.ReplyNumber() != 350)
                return Whole(remoteSize);
        }
        try {
            Ftp.RetrieveFile(RemoteName, Temp.Path());
        } catch (const FTPException&) {
            // Refused after REST (the file shrank meanwhile, or the server
            // cannot restart): a plain fetch settles it.
            return Whole(remoteSize);
        }
        const int64_t received = SizeOf(Temp.Path());
        Result.BytesReceived += received;

        // The data must reach at least where the server said the file
        // ended; anything past it is what the log gained meanwhile (a busy
        // log grows during every transfer). A transfer cut short fails here.
        // So does a REST that was ignored: its data from byte 0 would be at
        // least the whole file before the transfer, which the part after
        // the restart point can only reach by growing more than the offset.
        const bool complete = offset + received >= remoteSize && (offset == 0 || received < remoteSize);
        if (complete && offset + received > remoteSize) {
            // The time of the grown file, so that the next refresh does not
            // take the later time for a rewrite at the same size.
            RemoteTime = AskTime(Ftp, RemoteName);
        }
        const bool continues = complete && received >= overlap && OverlapMatches(Temp.Path(), LocalPath, offset, overlap);
        if (!continues) {
            if (offset == 0 && complete)
                return Promote(received);   // the temporary file is the whole file
            return Whole(remoteSize);
        }
        // The copy must still be what was compared.
        const std::optional<LocalCopyStamp> again = StampOfLocalFile(LocalPath);
        if (!again || !(*again == local))
            return Whole(remoteSize);
        AppendToCopy(Temp.Path(), overlap, LocalPath, local.Size);
        Result.Kind = received > overlap ? RefreshKind::Appended : RefreshKind::Unchanged;
        Result.NewSize = local.Size + (received - overlap);
        Remember();
        return Result;
    }

    RefreshResult Whole(const std::optional<int64_t>& remoteSize)
    {
        Ftp.RetrieveFile(RemoteName, Temp.Path());
        const int64_t received = SizeOf(Temp.Path());
        Result.BytesReceived += received;
        if (remoteSize && received < *remoteSize) {
            // Fewer bytes than announced: the data connection ended early,
            // unless the file shrank during the transfer.
            const std::optional<int64_t> now = AskSize(Ftp, RemoteName);
            if (!now || *now != received)
                throw Exception("Transfer ended early: " + std::to_string(received) + " of " +
                                std::to_string(*remoteSize) + " bytes");
            RemoteTime = AskTime(Ftp, RemoteName);
        } else if (remoteSize && received > *remoteSize) {
            // Grown during the transfer: the time that goes with these bytes.
            RemoteTime = AskTime(Ftp, RemoteName);
        }
        return Promote(received);
    }

    RefreshResult Promote(int64_t size)
    {
        Temp.Commit();
        Result.Kind = RefreshKind::Whole;
        Result.NewSize = size;
        Remember();
        return Result;
    }

    void Remember() { RememberCopy(State, LocalPath, RemoteTime); }

    TKZFTP& Ftp;
    const std::string& RemoteName;
    const std::string& LocalPath;
    FollowCopyState& State;
    // Received into a file of its own, created new beside the copy (never a
    // name another program could have prepared), so a whole fetch replaces
    // the copy by one rename and a failed one leaves it as it was.
    PartFile Temp;
    std::string RemoteTime;
    RefreshResult Result;
};

} // namespace

std::optional<int64_t> SizeFromSizeReply(int64_t replyNumber, const std::string& reply)
{
    if (replyNumber != 213)
        return std::nullopt;
    const std::string text = Trimmed(reply, 4);
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

RefreshResult RefreshLocalCopy(TKZFTP& ftp, const std::string& remoteName, const std::string& localPath,
                               FollowCopyState& state)
{
    // Work on a copy of the state so that a failure leaves the caller's as it was.
    FollowCopyState working = state;
    RefreshResult result = Refresher(ftp, remoteName, localPath, working).Run();
    state = working;
    return result;
}
