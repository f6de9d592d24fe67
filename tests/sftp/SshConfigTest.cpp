// The client configuration as ssh reads it for the known-hosts files and
// HashKnownHosts: blocks, first value wins, Include, the user's file before
// the system's.
#include "sftp/SshConfig.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

SshConfigQuery Query()
{
    SshConfigQuery q;
    q.Host = "Logs";
    q.HostName = "127.0.0.1";
    q.User = "alice";
    q.LocalUser = "bob";
    q.HomeDir = "/home/bob";
    q.Port = 2222;
    return q;
}

using Files = std::vector<std::string>;

TEST(SshConfigTest, BlocksFirstValuesQuotesAndExpansions)
{
    struct Case {
        const char* What;
        std::string Text;
        std::optional<Files> User;
        std::optional<bool> Hash;
    };
    const std::vector<Case> cases = {
        {"the matching Host block, first value wins",
         "Host other\n UserKnownHostsFile /x\nHost l?gs\n  UserKnownHostsFile ~/kh %d/kh2 "
         "/k/%h-%p-%r-%n-%u-%%\n"
         "  HashKnownHosts yes\nHost *\n  HashKnownHosts no\n  UserKnownHostsFile /late\n",
         Files{"/home/bob/kh", "/home/bob/kh2", "/k/127.0.0.1-2222-alice-logs-bob-%"}, true},
        {"lines before any block apply to all; Keyword=value and quotes",
         "hashknownhosts=no\nUserKnownHostsFile = \"/a b/k\" # mine\n", Files{"/a b/k"}, false},
        {"negation", "Host * !logs\n  HashKnownHosts yes\n", std::nullopt, std::nullopt},
        {"none names no file", "UserKnownHostsFile none\nUserKnownHostsFile /later\n", Files{}, std::nullopt},
        {"Match host and user", "Match host 127.0.0.* user alice\n  HashKnownHosts yes\n", std::nullopt,
         true},
        {"Match originalhost with a negated criterion",
         "Match originalhost logs !localuser bob\n HashKnownHosts yes\n", std::nullopt, std::nullopt},
        {"Match exec is never run, nor its block taken",
         "Match exec true\n  HashKnownHosts yes\nMatch all\n"
         "  HashKnownHosts no\n",
         std::nullopt, false},
        {"values not understood are skipped",
         "HashKnownHosts maybe\nHashKnownHosts\nUserKnownHostsFile \"/open\n"
         "HashKnownHosts true\n",
         std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        SshConfigReader reader(Query());
        reader.ReadText(c.Text, "config", "/nowhere");
        EXPECT_EQ(reader.Settings().UserKnownHostsFiles, c.User);
        EXPECT_EQ(reader.Settings().HashKnownHosts, c.Hash);
    }
}

TEST(SshConfigTest, IncludesAndTheSystemsFileAfterTheUsers)
{
    char pattern[] = "/tmp/wisplog-sshconfig.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const auto write = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
    ::mkdir((dir + "/ssh").c_str(), 0700);
    ::mkdir((dir + "/etc").c_str(), 0755);
    ::mkdir((dir + "/etc/conf.d").c_str(), 0755);
    const std::string system = dir + "/etc/ssh_config";

    // Defaults: nothing set anywhere.
    KnownHostsPlaces places = FindKnownHostsPlaces(Query(), dir + "/ssh", system);
    EXPECT_EQ(places.UserFiles, (Files{dir + "/ssh/known_hosts", dir + "/ssh/known_hosts2"}));
    EXPECT_EQ(places.GlobalFiles, (Files{"/etc/ssh/ssh_known_hosts", "/etc/ssh/ssh_known_hosts2"}));
    EXPECT_FALSE(places.Hash);

    // The system's file hashes through an Include relative to its folder;
    // a Host line inside an included file ends at that file's end.
    write(system, "Include conf.d/*.conf\nGlobalKnownHostsFile /g1 /g2\nHost *\n  HashKnownHosts no\n");
    write(dir + "/etc/conf.d/10-hash.conf", "Host nothing-here\nHost *\n  HashKnownHosts yes\n");
    places = FindKnownHostsPlaces(Query(), dir + "/ssh", system);
    EXPECT_TRUE(places.Hash);
    EXPECT_EQ(places.GlobalFiles, (Files{"/g1", "/g2"}));

    // The user's file comes first; its Include under a block that does not
    // match is not read, and one that matches is, its Host lines ending with it.
    write(dir + "/ssh/config",
          "Host other\n  Include never.conf\nHost logs\n  Include mine.conf\n  UserKnownHostsFile ~/kh\n");
    write(dir + "/ssh/never.conf", "HashKnownHosts no\nUserKnownHostsFile /never\n");
    write(dir + "/ssh/mine.conf", "Host nothing-here\n");
    places = FindKnownHostsPlaces(Query(), dir + "/ssh", system);
    EXPECT_EQ(places.UserFiles, Files{"/home/bob/kh"});
    EXPECT_TRUE(places.Hash);
    write(dir + "/ssh/mine.conf", "HashKnownHosts no\n");
    EXPECT_FALSE(FindKnownHostsPlaces(Query(), dir + "/ssh", system).Hash);

    // A config that includes itself twice over stops soon.
    write(dir + "/ssh/config", "Include config config\n");
    SshConfigReader reader(Query());
    reader.ReadFile(dir + "/ssh/config", dir + "/ssh");
    EXPECT_LE(reader.Problems().size(), 300u);
    EXPECT_TRUE(FindKnownHostsPlaces(Query(), dir + "/ssh", system).Hash);
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

} // namespace
