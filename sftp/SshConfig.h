// The settings this program takes from OpenSSH's client configuration
// (~/.ssh/config, then /etc/ssh/ssh_config) on its own, as ssh reads them:
// the known-hosts files and HashKnownHosts. Host and Match blocks, Include
// (globs, relative to ~/.ssh or /etc/ssh), `Keyword=value`, quoted values,
// and the first value obtained for a keyword wins. `Match exec` is never run:
// such a block is taken as not matching. No Qt, no libssh.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Who the blocks are matched for, and what %-tokens and ~ stand for.
struct SshConfigQuery {
    std::string Host;      // as the profile names it: Host, Match originalhost, %n
    std::string HostName;  // after the config's HostName: Match host, %h ("" = Host)
    std::string User;      // the remote user: Match user, %r
    std::string LocalUser; // Match localuser, %u
    std::string HomeDir;   // ~ and %d
    int Port = 22;         // %p
};

struct SshConfigSettings {
    // Set: the config names the files (empty for `none`).
    std::optional<std::vector<std::string>> UserKnownHostsFiles;
    std::optional<std::vector<std::string>> GlobalKnownHostsFiles;
    std::optional<bool> HashKnownHosts;
    bool HostKeyAlgorithmsSet = false;
};

class SshConfigReader {
public:
    explicit SshConfigReader(SshConfigQuery query);

    // Reads one config file; Include paths that are not absolute are taken
    // from includeDir. A missing file adds nothing. Does not throw but
    // bad_alloc.
    void ReadFile(const std::string& path, const std::string& includeDir);
    // Reads config text as if it were the file named source.
    void ReadText(std::string_view text, const std::string& source, const std::string& includeDir);

    const SshConfigSettings& Settings() const { return FSettings; }
    // Lines not understood, as "file:line: text". Informational.
    const std::vector<std::string>& Problems() const { return FProblems; }
    // Off: Include lines are noted but no file is opened (fuzzing).
    bool FollowIncludes = true;

private:
    void Read(std::string_view text, const std::string& source, const std::string& includeDir, int depth);
    bool HostLineMatches(const std::vector<std::string>& patterns) const;
    bool MatchLineMatches(const std::vector<std::string>& words, const std::string& where);
    std::string Expand(const std::string& value) const;

    SshConfigQuery FQuery;
    SshConfigSettings FSettings;
    std::vector<std::string> FProblems;
    int FIncludedFiles = 0; // by the file being read
};

// Where a connection's known hosts are, and whether a saved one is hashed.
struct KnownHostsPlaces {
    std::vector<std::string> UserFiles; // keys are saved to the first
    std::vector<std::string> GlobalFiles;
    bool Hash = false;
    bool HostKeyAlgorithmsSet = false; // the config orders host-key algorithms itself
};

// Reads sshDir/config, then systemConfig, for the query. Unset, the user's
// files are sshDir/known_hosts and known_hosts2, the global ones
// /etc/ssh/ssh_known_hosts and ssh_known_hosts2, hashing off. Does not throw
// but bad_alloc.
KnownHostsPlaces FindKnownHostsPlaces(const SshConfigQuery& query, const std::string& sshDir,
                                      const std::string& systemConfig = "/etc/ssh/ssh_config");
