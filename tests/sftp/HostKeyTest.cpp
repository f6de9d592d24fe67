// Fingerprint texts and known-hosts files, without a server.
#include "sftp/HostKey.h"
#include "sock/Exception.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(HostKeyTest, UnpaddedBase64MatchesOpenSshsFingerprintForm)
{
    const unsigned char bytes[] = {0xfb, 0xff, 0x00, 0x10, 0x83};
    EXPECT_EQ(UnpaddedBase64(bytes, 0), "");
    EXPECT_EQ(UnpaddedBase64(bytes, 1), "+w");
    EXPECT_EQ(UnpaddedBase64(bytes, 2), "+/8");
    EXPECT_EQ(UnpaddedBase64(bytes, 3), "+/8A");
    EXPECT_EQ(UnpaddedBase64(bytes, 5), "+/8AEIM");
    unsigned char digest[32] = {};
    EXPECT_EQ(UnpaddedBase64(digest, 32).size(), 43u);
}

TEST(HostKeyTest, PinnedFingerprintIsExactly43Base64CharactersOfA32ByteDigest)
{
    const std::string good = "uNiVztksCsDhcc0u9e8BujQXVUpKZIDTMczCvj3tD2s";
    EXPECT_TRUE(IsPinnedFingerprint(good));
    EXPECT_FALSE(IsPinnedFingerprint(""));
    EXPECT_FALSE(IsPinnedFingerprint("SHA256:" + good));
    EXPECT_FALSE(IsPinnedFingerprint(good + "="));
    EXPECT_FALSE(IsPinnedFingerprint(good.substr(1)));
    EXPECT_FALSE(IsPinnedFingerprint(good.substr(0, 42) + "t"));   // bits past the digest
    EXPECT_FALSE(IsPinnedFingerprint(good.substr(0, 20) + ":" + good.substr(21)));
    EXPECT_FALSE(IsPinnedFingerprint(good.substr(0, 20) + std::string(1, '\0') + good.substr(21)));
}

TEST(HostKeyTest, KnownHostsNameBracketsOtherPorts)
{
    EXPECT_EQ(KnownHostsName("logs.example", 22), "logs.example");
    EXPECT_EQ(KnownHostsName("logs.example", 2222), "[logs.example]:2222");
}

TEST(HostKeyTest, AppendingKeepsEntriesOnLinesOfTheirOwnAndRefusesSymlinks)
{
    char pattern[] = "/tmp/wisplog-hostkey.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string file = dir + "/ssh/known_hosts";
    AppendKnownHostsLine(file, "a ssh-ed25519 AAAA");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    {
        std::ofstream(file, std::ios::app) << "b ssh-ed25519 BBBB";   // no line end
    }
    AppendKnownHostsLine(file, "c ssh-ed25519 CCCC");
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "a ssh-ed25519 AAAA\nb ssh-ed25519 BBBB\nc ssh-ed25519 CCCC\n");

    const std::string target = dir + "/elsewhere";
    const std::string link = dir + "/linked_hosts";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_THROW(AppendKnownHostsLine(link, "d ssh-ed25519 DDDD"), Exception);
    EXPECT_NE(::access(target.c_str(), F_OK), 0);
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

} // namespace
