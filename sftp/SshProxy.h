// SshProxy: the ProxyCommand (or ProxyJump, as libssh turns it into one) of
// ~/.ssh/config, run by the session itself so that a stop can end it.
//
// The command runs as `/bin/sh -c COMMAND` in a process group of its own,
// with its standard input and output on one end of a socket pair; the
// session talks SSH over the other end. A stop shuts that end down (libssh's
// wait ends at once) and ends the group, so nothing is left running.
#pragma once

#include <atomic>
#include <string>

#include <sys/types.h>

// What a proxy command's %-tokens stand for.
struct ProxyTokens {
    std::string Host;      // %h: the name dialled (HostName)
    std::string GivenHost; // %n: the name as the profile gives it
    int Port = 22;         // %p
    std::string User;      // %r: the remote user
    std::string SshDir;    // %d
    std::string LocalUser; // %u
};

// The command with %h, %n, %p, %r, %d, %u and %% replaced. Throws
// ESftpError for another token, and for a host or user name that a shell
// would read as more than a name (quotes, `;`, `$`, spaces, ...).
std::string ExpandProxyCommand(const std::string& command, const ProxyTokens& tokens);

class SshProxy {
public:
    SshProxy() = default;
    // Ends the command (as End). Does not throw.
    ~SshProxy();
    SshProxy(const SshProxy&) = delete;
    SshProxy& operator=(const SshProxy&) = delete;

    // Starts command; returns the session's end of the socket pair
    // (close-on-exec, the caller's to close). Throws ESftpError.
    int Start(const std::string& command);
    // Asks the command's process group to end (SIGTERM). Any thread; does
    // not wait or throw.
    void Terminate() noexcept;
    // Ends the group: SIGTERM, then SIGKILL for what is still there after
    // a short grace, and reaps the command. Waits at most about 300 ms.
    // Does not throw.
    void End() noexcept;
    // The command's process id (its group's id), -1 when none runs.
    pid_t Pid() const { return FPid; }

private:
    std::atomic<pid_t> FPid{-1};
};
