// The local copy of a remote log as Follow's refreshes keep it, whatever the
// protocol: its stamp, what the last refresh learnt, a refresh's result, and
// the two file steps every refresh takes (compare the re-fetched overlap
// with the copy, append what lies behind it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
    std::string RemoteTime;     // what the server said of the file's time then; "" unknown
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

// The stamp of a regular file; nullopt when it is missing or not regular.
// Does not wait or throw.
std::optional<LocalCopyStamp> StampOfLocalFile(const std::string& path);

// What a refresh leaves for the next one: the copy's stamp as it is now
// (Known false when it is missing) and the server's time of the file.
// Does not wait or throw.
void RememberCopy(FollowCopyState& state, const std::string& copy, const std::string& remoteTime);

// A file opened without following a symlink (O_NOFOLLOW, O_CLOEXEC), closed
// on every path. Throws Exception "Cannot open file" naming the path.
class NoFollowFile {
public:
    NoFollowFile(const std::string& path, int flags);
    ~NoFollowFile();
    NoFollowFile(const NoFollowFile&) = delete;
    NoFollowFile& operator=(const NoFollowFile&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

// Whether received's first count bytes equal copy's bytes from copyAt.
// Neither file is followed through a symlink. Throws Exception "Cannot open
// file" / "Cannot read file".
bool OverlapMatches(const std::string& received, const std::string& copy, int64_t copyAt, int64_t count);

// Appends received's bytes behind skip to copy, which must still be
// copySize bytes long; a failure cuts copy back to copySize so it stays as
// it was. The copy is opened with O_NOFOLLOW: a symlink put in its place is
// refused, never written through. Throws Exception for file errors.
void AppendToCopy(const std::string& received, int64_t skip, const std::string& copy, int64_t copySize);
