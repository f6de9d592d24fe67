#include "sftp/SessionKnownHosts.h"

#include "sftp/HostKey.h"
#include "sftp/KnownHostsFile.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

// libssh's own choice of host-key algorithms, behind those of known keys.
constexpr const char* DefaultHostKeyAlgorithms =
    "ssh-ed25519,ecdsa-sha2-nistp521,ecdsa-sha2-nistp384,ecdsa-sha2-nistp256,sk-ssh-ed25519@openssh.com,"
    "sk-ecdsa-sha2-nistp256@openssh.com,rsa-sha2-512,rsa-sha2-256";

std::string LocalUserName()
{
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_name != nullptr)
        return pw->pw_name;
    return std::string();
}

std::string OptionText(ssh_session s, ssh_options_e option)
{
    char* value = nullptr;
    if (ssh_options_get(s, option, &value) != SSH_OK || value == nullptr)
        return std::string();
    std::string text(value);
    ssh_string_free_char(value);
    return text;
}

} // namespace

KnownHostsPlaces SessionKnownHostsPlaces(ssh_session s, const std::string& profileHost,
                                         const std::string& sshDir, const std::string& globalKnownHosts)
{
    unsigned int port = 22;
    ssh_options_get_port(s, &port);
    SshConfigQuery query;
    query.Host = profileHost;
    query.HostName = OptionText(s, SSH_OPTIONS_HOST);
    query.User = OptionText(s, SSH_OPTIONS_USER);
    query.LocalUser = LocalUserName();
    query.HomeDir = HomeDir();
    query.Port = int(port);
    KnownHostsPlaces places = FindKnownHostsPlaces(query, sshDir.empty() ? HomeDir() + "/.ssh" : sshDir);
    if (!globalKnownHosts.empty())
        places.GlobalFiles = {globalKnownHosts};
    return places;
}

void PreferKnownHostKeys(ssh_session s, const std::string& profileHost, const std::string& sshDir,
                         const std::string& globalKnownHosts)
{
    ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, "/dev/null");
    ssh_options_set(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    const KnownHostsPlaces places = SessionKnownHostsPlaces(s, profileHost, sshDir, globalKnownHosts);
    if (places.HostKeyAlgorithmsSet)
        return;
    unsigned int port = 22;
    ssh_options_get_port(s, &port);
    const std::string name = KnownHostsName(OptionText(s, SSH_OPTIONS_HOST), int(port));
    std::vector<std::string> files = places.UserFiles;
    files.insert(files.end(), places.GlobalFiles.begin(), places.GlobalFiles.end());
    std::vector<std::string> algorithms;
    for (const std::string& file : files) {
        std::string text;
        if (!ReadKnownHostsText(file, text))
            continue;
        for (const KnownHostsEntry& entry : LookUpKnownHosts(text, name).Entries) {
            if (entry.Marker != KnownHostsMarker::Plain)
                continue;
            // RSA keys sign with SHA-2 only; SHA-1 stays off.
            const std::vector<std::string> names = entry.KeyType == "ssh-rsa"
                ? std::vector<std::string>{"rsa-sha2-512", "rsa-sha2-256"}
                : std::vector<std::string>{entry.KeyType};
            for (const std::string& algorithm : names)
                if (std::find(algorithms.begin(), algorithms.end(), algorithm) == algorithms.end())
                    algorithms.push_back(algorithm);
        }
    }
    if (algorithms.empty())
        return;
    std::string list;
    for (const std::string& algorithm : algorithms)
        list += algorithm + ",";
    list += DefaultHostKeyAlgorithms;
    ssh_options_set(s, SSH_OPTIONS_HOSTKEYS, list.c_str());
}

std::string HomeDir()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return "/";
}
