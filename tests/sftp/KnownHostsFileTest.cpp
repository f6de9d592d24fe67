// The known-hosts reader and the verdict on a server's key over the user's
// and the global file: markers, patterns, hashed names, and lines that
// cannot be read beside those that can.
#include "sftp/KnownHostsFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <unistd.h>

namespace {

std::string Str(const std::string& bytes)
{
    const auto n = uint32_t(bytes.size());
    return std::string{char(n >> 24), char(n >> 16 & 255), char(n >> 8 & 255), char(n & 255)} + bytes;
}

// Wire-format key blobs of each shape the reader knows.
const std::string KeyA = Str("ssh-ed25519") + Str(std::string(32, '\x01'));
const std::string KeyB = Str("ssh-ed25519") + Str(std::string(32, '\x02'));
const std::string KeyRsa = Str("ssh-rsa") + Str("\x01\x00\x01") + Str(std::string(257, '\x7f'));
const std::string KeyEcdsa =
    Str("ecdsa-sha2-nistp256") + Str("nistp256") + Str("\x04" + std::string(64, '\x05'));
const std::string KeySk = Str("sk-ssh-ed25519@openssh.com") + Str(std::string(32, '\x03')) + Str("ssh:");

std::string A() { return "ssh-ed25519 " + Base64Encode(KeyA); }
std::string B() { return "ssh-ed25519 " + Base64Encode(KeyB); }
const std::string Name = "[logs.example]:2222";

struct VerdictCase {
    const char* What;
    std::string User, Global;
    KnownHostsVerdict::Kind Verdict;
    std::string Where;      // "user:N" / "global:N": the line named
    std::string Unreadable; // "user:N,global:M"
};

TEST(KnownHostsFileTest, VerdictOverTheUsersAndTheGlobalFile)
{
    using K = KnownHostsVerdict;
    const std::string truncatedA = A().substr(0, A().size() - 9);
    const std::vector<VerdictCase> cases = {
        {"plain entry, CR LF, tabs and a comment", "# c\n\n" + Name + "\t" + A() + " me@there\r\n", "",
         K::Known, "", ""},
        {"port 22 and other hosts are not the host", "logs.example " + B() + "\n[logs.example]:22 " + B(), "",
         K::Unknown, "", ""},
        {"revoked beats a plain entry", Name + " " + A(), "@revoked " + Name + " " + A(), K::Revoked,
         "global:1", ""},
        {"revoked through a wildcard", "", "@revoked * " + A(), K::Revoked, "global:1", ""},
        {"a revoked other key says nothing", "@revoked * " + B(), "", K::Unknown, "", ""},
        {"cert-authority neither trusts nor refuses",
         "@cert-authority * " + A() + "\n@cert-authority * " + B(), "", K::Unknown, "", ""},
        {"changed key on a later line, a truncated line before it",
         "[logs.example]:2222 " + truncatedA + "\nexample.org " + A() + "\n" + Name + " " + B(), "",
         K::Changed, "user:3", "user:1"},
        {"a truncated line beside the good one", Name + " " + truncatedA + "\n" + Name + " " + A(), "",
         K::Known, "", "user:1"},
        {"cut inside the key type", Name + " ssh-ed2", "", K::Unknown, "", "user:1"},
        {"negation wins over a match", "*.example,[*]:2222,![logs.example]:2222 " + B(), "", K::Unknown, "",
         ""},
        {"wildcards and comma lists, any letter case", "a.example,[LOGS.exampl?]:22* " + B(), "", K::Changed,
         "user:1", ""},
        {"hashed name",
         KnownHostsEntryLine("other.example", "ssh-ed25519", KeyB, true) + "\n" +
             KnownHostsEntryLine(Name, "ssh-ed25519", KeyA, true),
         "", K::Known, "", ""},
        {"hashed name with another key", "",
         KnownHostsEntryLine("[LOGS.example]:2222", "ssh-ed25519", KeyB, true), K::Changed, "global:1", ""},
        {"a hash that cannot be checked", "|1|c2FsdA==|aGFzaA== " + A() + "\n|1|x " + A(), "", K::Unknown, "",
         "user:1,user:2"},
        {"RSA, ECDSA and security-key entries are keys of the host",
         Name + " ecdsa-sha2-nistp256 " + Base64Encode(KeyEcdsa) + "\n" + Name + " ssh-rsa " +
             Base64Encode(KeyRsa) + "\n" + Name + " sk-ssh-ed25519@openssh.com " + Base64Encode(KeySk),
         "", K::Changed, "user:1", ""},
        {"a key under another type's name, an unknown marker",
         Name + " ssh-rsa " + Base64Encode(KeyA) + "\n@trusted " + Name + " " + B(), "", K::Unknown, "",
         "user:1,user:2"},
        {"a bad line of another host is none of this one's",
         "other.example ssh-ed25519 AAAA\n" + Name + " " + A(), "", K::Known, "", ""},
    };
    char pattern[] = "/tmp/wisplog-knownhosts.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string user = std::string(pattern) + "/user", global = std::string(pattern) + "/global";
    for (const VerdictCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::ofstream(user, std::ios::trunc) << c.User;
        std::ofstream(global, std::ios::trunc) << c.Global;
        const KnownHostsVerdict v =
            CheckKnownHosts({user, std::string(pattern) + "/missing", global}, Name, KeyA);
        EXPECT_EQ(v.Verdict, c.Verdict);
        const std::string where =
            v.File.empty() ? "" : (v.File == user ? "user:" : "global:") + std::to_string(v.Line);
        EXPECT_EQ(where, c.Where);
        std::string unreadable;
        for (const std::string& line : v.Unreadable)
            unreadable += (unreadable.empty() ? "" : ",") + line.substr(std::string(pattern).size() + 1);
        EXPECT_EQ(unreadable, c.Unreadable);
        if (c.Verdict == K::Changed) {
            EXPECT_NE(v.KnownType, "");
            EXPECT_EQ(v.KnownFingerprint.rfind("SHA256:", 0), 0u);
            EXPECT_EQ(v.KnownFingerprint.size(), 7u + 43u);
        }
    }
    // A FIFO in place of a file is named, not waited for.
    ::unlink(user.c_str());
    ASSERT_EQ(::mkfifo(user.c_str(), 0600), 0);
    const KnownHostsVerdict fifo = CheckKnownHosts({user}, Name, KeyA);
    EXPECT_EQ(fifo.Verdict, KnownHostsVerdict::Unknown);
    EXPECT_EQ(fifo.Unreadable, std::vector<std::string>{user});
    EXPECT_EQ(std::system(("rm -rf '" + std::string(pattern) + "'").c_str()), 0);
}

// The lines ssh-keygen -F names for a host, with their markers: "3", "5 REVOKED", "6 CA".
std::vector<std::string> SshKeygenFinds(const std::string& file, const std::string& host)
{
    std::vector<std::string> lines;
    FILE* pipe = ::popen(("ssh-keygen -F '" + host + "' -f '" + file + "' 2>/dev/null").c_str(), "r");
    char buffer[4096];
    const std::string found = "found: line ";
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        std::string line = buffer;
        const size_t at = line.find(found);
        if (line.rfind("# Host ", 0) != 0 || at == std::string::npos)
            continue;
        line = line.substr(at + found.size());
        while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
            line.pop_back();
        lines.push_back(line);
    }
    if (pipe != nullptr)
        ::pclose(pipe);
    return lines;
}

TEST(KnownHostsFileTest, FindsTheLinesOpenSshFinds)
{
    const std::string text = "logs.example " + A() + "\n*.example,!bad.example " + A() +
        "\n[logs.example]:2222 " + A() + "\n[*.example]:22* " + A() + "\n@revoked * " + A() +
        "\n@cert-authority logs.* " + A() + "\nLOGS.EXAMPLE " + A() + "\nlog?.example " + A() +
        "\n!logs.example,*.example " + A() + "\nbad.example " + A() + "\n" +
        KnownHostsEntryLine("[logs.example]:2222", "ssh-ed25519", KeyA, true) + "\n" +
        KnownHostsEntryLine("bad.example", "ssh-ed25519", KeyA, true) + "\nbad.example,logs.example " +
        A().substr(0, 30) + "\n@expired logs.example " + A() + "\n";
    char pattern[] = "/tmp/wisplog-knownhosts.XXXXXX";
    const int fd = ::mkstemp(pattern);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(pattern, std::ios::trunc) << text;
    for (const std::string host :
         {"logs.example", "Logs.Example", "bad.example", "[logs.example]:2222", "x.example"}) {
        SCOPED_TRACE(host);
        const KnownHostsLookup found = LookUpKnownHosts(text, host);
        std::vector<std::string> mine;
        for (const KnownHostsEntry& entry : found.Entries)
            mine.push_back(std::to_string(entry.Line) +
                           (entry.Marker == KnownHostsMarker::Revoked             ? " REVOKED"
                                : entry.Marker == KnownHostsMarker::CertAuthority ? " CA"
                                                                                  : ""));
        // ssh-keygen also names the line cut short, which ssh itself skips
        // as a parse error, as this reader does.
        std::vector<std::string> theirs = SshKeygenFinds(pattern, host);
        std::erase_if(theirs, [&](const std::string& line) {
            return std::find(found.Unreadable.begin(), found.Unreadable.end(), std::stoi(line)) !=
                found.Unreadable.end();
        });
        EXPECT_EQ(mine, theirs);
        const bool cut = host == "logs.example" || host == "Logs.Example" || host == "bad.example";
        const bool marker = host != "bad.example" && cut;
        const std::vector<int> unreadable = marker ? std::vector<int>{13, 14}
            : cut                                  ? std::vector<int>{13}
                                                   : std::vector<int>{};
        EXPECT_EQ(found.Unreadable, unreadable);
    }
    ::unlink(pattern);
}

TEST(KnownHostsFileTest, Base64IsStrictAndWildcardsTakeNoExponentialTime)
{
    std::string bytes;
    EXPECT_TRUE(Base64Decode("QQ==", bytes));
    EXPECT_EQ(bytes, "A");
    for (const char* bad : {"QQ=", "QR==", "Q===", "QQ=A", "Q Q=", "QQ==QQ==", "-_=="})
        EXPECT_FALSE(Base64Decode(bad, bytes)) << bad;
    for (const std::string& blob : {KeyA, KeyRsa, KeyEcdsa, KeySk, std::string("\xff\xfe", 2)}) {
        EXPECT_TRUE(Base64Decode(Base64Encode(blob), bytes));
        EXPECT_EQ(bytes, blob);
    }
    EXPECT_TRUE(WildcardMatch("*.ex?mple", "logs.example"));
    EXPECT_TRUE(WildcardMatch("*", ""));
    EXPECT_FALSE(WildcardMatch("?", ""));
    EXPECT_FALSE(WildcardMatch("logs", "logs.example"));
    const std::string many(4000, 'a');
    EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*b", many));
}

} // namespace
