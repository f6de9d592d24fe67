// Brings a local copy of a growing remote file up to date by fetching only
// the bytes it lacks: SIZE, then REST at a point a little before the copy's
// end and RETR; the bytes received before the copy's end must equal the
// copy's own, else the file was rotated or rewritten and is fetched whole.
// Everything is received into a temporary file beside the copy and checked
// before the copy is touched, so a failed refresh leaves the copy as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class TKZFTP;

// Identity and state of a local file as stat gives them.
struct LocalCopyStamp {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    int64_t Size = 0;
    int64_t ModifiedNs = 0;
    bool operator==(const LocalCopyStamp&) const = default;
};

// What the last refresh left behind; kept by the caller between refreshes.
struct FollowCopyState {
    bool Known = false;         // false: nothing is known yet (first refresh)
    LocalCopyStamp Local;       // the copy as the last refresh wrote it
    std::string RemoteTime;     // the server's MDTM answer then; "" unsupported
};

enum class RefreshKind {
    Unchanged,   // nothing new: the copy was already the remote file
    Appended,    // new bytes were added to the end of the copy
    Whole,       // the copy was replaced by a whole fetch
};

struct RefreshResult {
    RefreshKind Kind = RefreshKind::Unchanged;
    int64_t OldSize = 0;          // the copy's size before (0 when it was missing)
    int64_t NewSize = 0;          // the copy's size after
    int64_t BytesReceived = 0;    // data bytes moved over the network
};

// Bytes fetched again from before the copy's end and compared with it.
inline constexpr int64_t ResumeOverlap = 4096;

// Makes localPath byte-identical to remoteName (relative to the server's
// current directory) over ftp, which must be logged in with the image type
// selected; state carries what the previous refresh found. A server that
// refuses SIZE or REST gets a whole fetch; MDTM is used where it answers.
// Waits (event loop). Throws the FTP component's failures, Exception for
// local file errors and for a whole fetch that ended short; the copy and
// state are unchanged whenever it throws.
RefreshResult RefreshLocalCopy(TKZFTP& ftp, const std::string& remoteName, const std::string& localPath,
                               FollowCopyState& state);

// The stamp of a regular file; nullopt when it is missing or not regular.
// Does not wait or throw.
std::optional<LocalCopyStamp> StampOfLocalFile(const std::string& path);

// The size from a "213 <digits>" SIZE reply; nullopt for any other reply.
// Does not throw.
std::optional<int64_t> SizeFromSizeReply(int64_t replyNumber, const std::string& reply);
