// RefreshLocalCopy against pyftpdlib (a log that grows, is rotated, is
// rewritten at the same size; servers that refuse SIZE or REST or ignore
// REST) and against the scripted server for faults no real server gives (a
// lying SIZE, a connection that drops in the middle of an append).
#include "ftp/IncrementalFetch.h"
#include "ftp/TKZFTP.h"
#include "tests/support/PyFtpServer.h"
#include "tests/support/ScriptedFtpServer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <utime.h>

namespace {

std::string ReadLocal(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteLocal(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Log lines that differ from each other, so that overlaps are telling.
std::string Lines(int from, int count)
{
    std::string text;
    for (int i = from; i < from + count; ++i)
        text += "2026-12-07 12:00:00 line " + std::to_string(i) + " of the log\n";
    return text;
}

// Moves a served file's modification time by seconds.
void ShiftTime(const std::string& path, int seconds)
{
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    utimbuf times{st.st_atime, st.st_mtime + seconds};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

class Refresh : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Dir.isValid()); }

    // One refresh session: log in, image type, refresh, log out.
    RefreshResult Run(const PyFtpServer& server, const std::string& remote = "app.log")
    {
        TKZFTP ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.TimeOut = 10000;
        ftp.UserID = server.User();
        ftp.Password = server.Password();
        ftp.Passive = true;
        ftp.Connect();
        ftp.SetTransferType(2);
        const RefreshResult result = RefreshLocalCopy(ftp, remote, LocalPath(), State);
        ftp.Disconnect();
        return result;
    }

    std::string LocalPath() const { return Dir.path().toStdString() + "/app.log"; }
    bool TemporaryLeft() const
    {
        return !QDir(Dir.path()).entryList(QStringList{"*.part"}, QDir::Files | QDir::Hidden).isEmpty();
    }

    QTemporaryDir Dir;
    FollowCopyState State;
};

TEST_F(Refresh, GrowingRotatedAndRewrittenLogStaysIdentical)
{
    PyFtpServer server;
    std::string log = Lines(0, 300);
    server.WriteFile("app.log", log);

    RefreshResult r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Whole) << "no local copy yet";
    EXPECT_EQ(ReadLocal(LocalPath()), log);

    const std::string added = Lines(300, 40);
    log += added;
    server.WriteFile("app.log", log);
    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Appended);
    EXPECT_EQ(r.BytesReceived, ResumeOverlap + int64_t(added.size())) << "overlap and new bytes only";
    EXPECT_EQ(r.NewSize - r.OldSize, int64_t(added.size()));
    EXPECT_EQ(ReadLocal(LocalPath()), log);

    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Unchanged);
    EXPECT_EQ(r.BytesReceived, 0) << "equal sizes move nothing";

    // Rotated: a new, shorter file.
    log = Lines(1000, 20);
    server.WriteFile("app.log", log);
    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_EQ(ReadLocal(LocalPath()), log);

    // A small copy (under the overlap) grows: fetched from 0, still appended.
    log += Lines(1020, 3);
    server.WriteFile("app.log", log);
    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Appended);
    EXPECT_EQ(ReadLocal(LocalPath()), log);

    // Rewritten in place at the same size, with a later modification time.
    std::string rewritten = log;
    rewritten[10] = 'X';
    server.WriteFile("app.log", rewritten);
    ShiftTime(server.PathOf("app.log"), 60);
    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_EQ(ReadLocal(LocalPath()), rewritten);

    // Grown and rewritten before the old end: the overlap differs.
    std::string replaced = Lines(2000, 400);
    server.WriteFile("app.log", replaced);
    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_EQ(ReadLocal(LocalPath()), replaced);
    EXPECT_FALSE(TemporaryLeft());
}

TEST_F(Refresh, LocalCopyChangedByAnotherProgramIsFetchedAgain)
{
    PyFtpServer server;
    std::string log = Lines(0, 300);
    server.WriteFile("app.log", log);

    // First refresh over a copy whose end was changed: nothing is known,
    // the overlap does not match, the file comes whole.
    std::string spoiled = log;
    spoiled[spoiled.size() - 5] = '#';
    WriteLocal(LocalPath(), spoiled);
    RefreshResult r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_EQ(ReadLocal(LocalPath()), log);

    // Changed near its start after a refresh: the stamp differs.
    std::string edited = log;
    edited[3] = '#';
    WriteLocal(LocalPath(), edited);
    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Whole);
    EXPECT_EQ(ReadLocal(LocalPath()), log);

    // An untouched copy of the same size on a first refresh is checked
    // through the overlap only and left alone.
    State = FollowCopyState{};
    r = Run(server);
    EXPECT_EQ(r.Kind, RefreshKind::Unchanged);
    EXPECT_EQ(r.BytesReceived, ResumeOverlap);
}

TEST_F(Refresh, ServersWithoutSizeRestOrMdtmGetWholeFetchesQuietly)
{
    struct Case {
        const char* Name;
        std::vector<std::string> Refuse;
        RefreshKind AfterGrowth;
    };
    for (const Case& c : {Case{"SIZE", {"SIZE"}, RefreshKind::Whole},
                          Case{"REST", {"REST"}, RefreshKind::Whole},
                          Case{"MDTM", {"MDTM"}, RefreshKind::Appended},
                          Case{"all three", {"SIZE", "REST", "MDTM"}, RefreshKind::Whole}}) {
        SCOPED_TRACE(c.Name);
        PyFtpServer::Options options;
        options.Refuse = c.Refuse;
        PyFtpServer server(options);
        State = FollowCopyState{};
        std::string log = Lines(0, 300);
        server.WriteFile("app.log", log);
        EXPECT_EQ(Run(server).Kind, RefreshKind::Whole);
        log += Lines(300, 10);
        server.WriteFile("app.log", log);
        EXPECT_EQ(Run(server).Kind, c.AfterGrowth);
        EXPECT_EQ(ReadLocal(LocalPath()), log);
    }
}

TEST_F(Refresh, IgnoredRestNeverAppendsTheFileAgain)
{
    PyFtpServer::Options options;
    options.IgnoreRest = true;
    PyFtpServer server(options);
    // Every line alike: the file's first bytes equal its last ones, so only
    // the byte count can tell that the data started at 0.
    std::string line(63, 'a');
    line += '\n';
    std::string log;
    for (int i = 0; i < 200; ++i)
        log += line;
    server.WriteFile("app.log", log);
    EXPECT_EQ(Run(server).Kind, RefreshKind::Whole);
    for (int i = 0; i < 10; ++i)
        log += line;
    server.WriteFile("app.log", log);
    EXPECT_EQ(Run(server).Kind, RefreshKind::Whole);
    EXPECT_EQ(ReadLocal(LocalPath()), log);
    EXPECT_FALSE(TemporaryLeft());
}

// A scripted session: greeting and log-in, then the given steps.
ScriptedFtpServer& LogIn(ScriptedFtpServer& server)
{
    return server.Send("220 ready\r\n").Reply("331 password\r\n").Reply("230 in\r\n");
}

TEST_F(Refresh, FaultsLeaveThePreviousCopyIntact)
{
    const std::string old = Lines(0, 200);
    const std::string grown = old + Lines(200, 20);
    const int64_t offset = int64_t(old.size()) - ResumeOverlap;

    auto runScripted = [&](ScriptedFtpServer& server) {
        WriteLocal(LocalPath(), old);
        State = FollowCopyState{};
        TKZFTP ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.TimeOut = 5000;
        ftp.UserID = "u";
        ftp.Password = "p";
        ftp.Passive = true;
        ftp.Connect();
        try {
            RefreshLocalCopy(ftp, "app.log", LocalPath(), State);
            ADD_FAILURE() << "the refresh should fail";
        } catch (const std::exception&) {
        }
        EXPECT_EQ(ReadLocal(LocalPath()), old);
        EXPECT_FALSE(State.Known);
        EXPECT_FALSE(TemporaryLeft());
    };

    {
        SCOPED_TRACE("connection drops in the middle of the appended data");
        ScriptedFtpServer server;
        LogIn(server)
            .Reply("213 " + std::to_string(grown.size()) + "\r\n")
            .Reply("502 no MDTM\r\n")
            .Reply("350 restarting\r\n")
            .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
            .AcceptData()
            .Reply("150 here\r\n")
            .SendData(grown.substr(size_t(offset), size_t(ResumeOverlap) + 100))
            .CloseData()
            .CloseControl();
        runScripted(server);
        EXPECT_EQ(server.Error(), "");
    }
    {
        SCOPED_TRACE("SIZE announces more than the server ever sends");
        ScriptedFtpServer server;
        const std::string lie = "213 " + std::to_string(grown.size() + 100000) + "\r\n";
        LogIn(server)
            .Reply(lie)
            .Reply("502 no MDTM\r\n")
            .Reply("350 restarting\r\n")
            .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
            .AcceptData()
            .Reply("150 here\r\n")
            .SendData(grown.substr(size_t(offset)))
            .CloseData()
            .Send("226 done\r\n")
            // Short of the size: not appended, fetched whole instead.
            .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
            .AcceptData()
            .Reply("150 here\r\n")
            .SendData(grown)
            .CloseData()
            .Send("226 done\r\n")
            .Reply(lie);  // the whole fetch is short of it too: a failure
        runScripted(server);
        EXPECT_EQ(server.Error(), "");
        const auto transcript = server.Transcript();
        ASSERT_GE(transcript.size(), 7u);
        EXPECT_EQ(transcript[4], "REST " + std::to_string(offset));
    }
}

// A busy log: it grows by 300 bytes while each RETR runs and by 300 more
// before the next command. Every refresh appends by REST what the transfer
// brought, the growth past the size asked before included; none falls back
// to a whole fetch.
TEST_F(Refresh, LogGrowingDuringEachTransferIsAlwaysAppended)
{
    const std::string remote = Lines(0, 1000);
    size_t localSize = 12000;
    WriteLocal(LocalPath(), remote.substr(0, localSize));
    ScriptedFtpServer server;
    LogIn(server);
    size_t remoteSize = localSize + 300;
    std::vector<std::string> expected{"USER u", "PASS p"};
    std::vector<size_t> sizes;
    for (int refresh = 0; refresh < 3; ++refresh) {
        const size_t offset = localSize - size_t(ResumeOverlap);
        const std::string time = "2026120712000" + std::to_string(refresh);
        server.Reply("213 " + std::to_string(remoteSize) + "\r\n")
            .Reply("213 " + time + "\r\n")
            .Reply("350 Restarting at " + std::to_string(offset) + "\r\n")
            .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
            .AcceptData()
            .Reply("150 Opening BINARY mode data connection for app.log (" + std::to_string(remoteSize) +
                   " bytes).\r\n")
            .SendData(remote.substr(offset, remoteSize + 300 - offset))
            .CloseData()
            .Send("226 Transfer complete\r\n")
            .Reply("213 " + time + "5\r\n");
        for (const char* command : {"SIZE app.log", "MDTM app.log"})
            expected.push_back(command);
        expected.push_back("REST " + std::to_string(offset));
        // The server refuses EPSV once; the session asks PASV from then on.
        if (refresh == 0)
            expected.push_back("EPSV");
        for (const char* command : {"PASV", "RETR app.log", "MDTM app.log"})
            expected.push_back(command);
        localSize = remoteSize + 300;
        sizes.push_back(localSize);
        remoteSize = localSize + 300;
    }
    server.Reply("221 bye\r\n");
    expected.push_back("QUIT");

    TKZFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = server.Port();
    ftp.TimeOut = 5000;
    ftp.UserID = "u";
    ftp.Password = "p";
    ftp.Passive = true;
    ftp.Connect();
    for (size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE("refresh " + std::to_string(i));
        const RefreshResult r = RefreshLocalCopy(ftp, "app.log", LocalPath(), State);
        EXPECT_EQ(r.Kind, RefreshKind::Appended);
        EXPECT_EQ(r.NewSize, int64_t(sizes[i]));
        EXPECT_EQ(r.BytesReceived, ResumeOverlap + 600) << "overlap, 300 bytes before and 300 during the transfer";
        EXPECT_EQ(ReadLocal(LocalPath()), remote.substr(0, sizes[i]));
    }
    ftp.Disconnect();
    EXPECT_EQ(server.Transcript(), expected);
    EXPECT_EQ(server.Error(), "");
    EXPECT_FALSE(TemporaryLeft());
}

} // namespace
