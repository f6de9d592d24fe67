// The Follow refresh over SFTP against a real sshd: growth fetched as a
// tail, rotation and rewrites fetched whole, the copy byte-identical after
// each step.
#include "sftp/SftpRefresh.h"
#include "sftp/SftpSession.h"
#include "tests/sftp/SshdServer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <utime.h>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Write(const std::string& path, const std::string& bytes, std::ios::openmode mode = std::ios::trunc)
{
    std::ofstream(path, std::ios::binary | mode) << bytes;
}

std::string Lines(size_t count, char tag)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += std::string("\xa5\xed\xa5\xb0 ") + tag + std::to_string(i) + "\r\n";
    return text;
}

TEST(SftpRefreshTest, GrowthIsFetchedAsATailAndEveryOtherChangeWhole)
{
    SshdServer server;
    ::setenv("HOME", server.Home().c_str(), 1);
    ::unsetenv("SSH_AUTH_SOCK");
    Shell("cp '" + server.ClientKey() + "' '" + server.SshDir() + "/id_ed25519'");
    SftpSession s;
    s.Host = "127.0.0.1";
    s.Port = server.Port();
    s.UserID = server.UserName();
    s.PinnedKey = server.HostFingerprint().substr(7);
    s.Connect();
    s.Login();

    const std::string remote = server.Dir() + "/app.log";
    const std::string local = server.Home() + "/app.log";
    Write(remote, Lines(200000, 'a'));   // about 2.7 MB
    FollowCopyState state;

    RefreshResult r = RefreshLocalCopy(s, remote, local, state);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_TRUE(ReadAll(local) == ReadAll(remote));

    r = RefreshLocalCopy(s, remote, local, state);
    EXPECT_EQ(r.Kind, RefreshKind::Unchanged);

    // 10 KB more: the overlap and the new bytes only.
    Write(remote, std::string(10240, 'x'), std::ios::app);
    r = RefreshLocalCopy(s, remote, local, state);
    EXPECT_EQ(r.Kind, RefreshKind::Appended);
    EXPECT_EQ(r.BytesReceived, 10240 + ResumeOverlap);
    EXPECT_TRUE(ReadAll(local) == ReadAll(remote));

    // Rotated to a smaller file; then a rewrite that keeps the size but
    // changes the bytes before the copy's end.
    Write(remote, Lines(100, 'b'));
    r = RefreshLocalCopy(s, remote, local, state);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_TRUE(ReadAll(local) == ReadAll(remote));
    std::string rewritten = Lines(100, 'c') + "more\r\n";
    Write(remote, rewritten);
    r = RefreshLocalCopy(s, remote, local, state);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_TRUE(ReadAll(local) == rewritten);

    // Same size, new modification time: fetched whole, not taken as unchanged.
    rewritten[0] = 'Z';
    Write(remote, rewritten);
    utimbuf later {std::time(nullptr) + 100, std::time(nullptr) + 100};
    ::utime(remote.c_str(), &later);
    r = RefreshLocalCopy(s, remote, local, state);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_TRUE(ReadAll(local) == rewritten);

    // A failure leaves the copy and the state as they were.
    const FollowCopyState before = state;
    ::unlink(remote.c_str());
    EXPECT_THROW(RefreshLocalCopy(s, remote, local, state), ESftpError);
    EXPECT_TRUE(ReadAll(local) == rewritten);
    EXPECT_EQ(state.RemoteTime, before.RemoteTime);
}

} // namespace
