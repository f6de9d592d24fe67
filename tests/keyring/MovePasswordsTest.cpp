// Moving the host list's passwords out: the rewrite byte by byte, and the
// file replaced (mode kept) only when every password was stored.
#include "keyring/MovePasswords.h"

#include "codec/HostText.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <sys/stat.h>

using namespace std::string_literals;

namespace {

// Records what is stored; entries in Refuse are refused as a locked keyring would.
class RecordingStore : public PasswordStore {
public:
    StoreAnswer Read(const std::string&, std::string&) override { return StoreAnswer::NotFound; }
    StoreAnswer Write(const std::string& entry, const std::string& password) override
    {
        if (Refuse.count(entry) != 0)
            return StoreAnswer::NoKeyring;
        Stored[entry] = password;
        return StoreAnswer::Done;
    }
    std::map<std::string, std::string> Stored;
    std::set<std::string> Refuse;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// "本番" and "検証" in Shift_JIS.
const std::string Honban = "\x96\x7b\x94\xd4";
const std::string Kensho = "\x8c\x9f\x8f\xd8";

} // namespace

TEST(HostListWithoutPasswords, EmptiesOnlyThePasswordFieldOfProfiles)
{
    struct Case {
        const char* What;
        std::string In;
        std::string Out;
        std::vector<int> Lines; // the lines whose password was taken
    };
    const std::vector<Case> cases = {
        {"Shift_JIS labels, CR LF, a last line without an end",
         Honban + ":h1:u1:pw1:1:a.log\r\n" + Kensho + ":h2:u2:pw2:0:b.log:2121",
         Honban + ":h1:u1::1:a.log\r\n" + Kensho + ":h2:u2::0:b.log:2121",
         {0, 1}},
        {"a line that is no profile stays, the empty one too",
         "; 本番サーバ: メモ\n\nx:h:u:secret:0:f\n",
         "; 本番サーバ: メモ\n\nx:h:u::0:f\n",
         {2}},
        {"an IPv6 host keeps its colons, LF and lone CR ends kept",
         "v6:[::1]:u:pw:1:f:21\rs:host:u:spw:1:f:22:sftp:EUC\n",
         "v6:[::1]:u::1:f:21\rs:host:u::1:f:22:sftp:EUC\n",
         {0, 1}},
        {"anonymous and empty passwords stay, a bad profile stays",
         "a:h:Anonymous:me@x:1:f\r\ne:h:u::1:f\r\nbad:h:u:pw:1:f:99999\r\n",
         "a:h:Anonymous:me@x:1:f\r\ne:h:u::1:f\r\nbad:h:u:pw:1:f:99999\r\n",
         {}},
        {"the bytes after a NUL are not lines",
         "p:h:u:pw:1:f\n\0q:h:u:pw2:1:f\n"s,
         "p:h:u::1:f\n\0q:h:u:pw2:1:f\n"s,
         {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        std::vector<HostListPassword> found;
        EXPECT_EQ(HostListWithoutPasswords(c.In, !IsValidUtf8(c.In), found), c.Out);
        std::vector<int> lines;
        for (const HostListPassword& entry : found)
            lines.push_back(entry.Line);
        EXPECT_EQ(lines, c.Lines);
    }
}

TEST(MovePasswordsToStore, StoresThenReplacesTheFileKeepingItsMode)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("wisplog.ini").toStdString();
    const std::string before = Honban + ":ftp.example:ope:pw1:1:a.log\r\n" + Kensho +
        ":192.0.2.7:ope:\x83\x70\x83\x58:1:b.log:22:sftp\r\n# " + Honban + "\r\nlast:h:u::1:c.log";
    std::ofstream(path, std::ios::binary) << before;
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

    RecordingStore store;
    const MoveOutcome outcome = MovePasswordsToStore(path, store);
    EXPECT_EQ(outcome.Moved, 2);
    EXPECT_TRUE(outcome.NotStored.empty());
    EXPECT_EQ(ReadAll(path),
              Honban + ":ftp.example:ope::1:a.log\r\n" + Kensho + ":192.0.2.7:ope::1:b.log:22:sftp\r\n# " +
                  Honban + "\r\nlast:h:u::1:c.log");
    // The Shift_JIS password is stored as its bytes, as the server gets it.
    const std::map<std::string, std::string> expected = {{"ftp://ope@ftp.example:21", "pw1"},
                                                         {"sftp://ope@192.0.2.7:22", "\x83\x70\x83\x58"}};
    EXPECT_EQ(store.Stored, expected);
    struct stat info { };
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary file left";
}

TEST(MovePasswordsToStore, ARefusedPasswordLeavesTheFileUntouched)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("wisplog.ini").toStdString();
    const std::string before = "one:h1:u:pw1:1:f\r\n" + Kensho + ":h2:u:pw2:1:f\r\n";
    std::ofstream(path, std::ios::binary) << before;
    struct stat old { };
    ASSERT_EQ(::stat(path.c_str(), &old), 0);

    RecordingStore store;
    store.Refuse = {"ftp://u@h2:21"};
    const MoveOutcome outcome = MovePasswordsToStore(path, store);
    EXPECT_EQ(outcome.Moved, 0);
    EXPECT_EQ(outcome.NotStored, std::vector<std::string>{"検証"});
    EXPECT_EQ(ReadAll(path), before);
    struct stat now { };
    ASSERT_EQ(::stat(path.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, old.st_ino) << "not replaced";
}
