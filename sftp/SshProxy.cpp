#include "sftp/SshProxy.h"

#include "sftp/SftpError.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// What a shell would take as more than one word or as syntax.
bool SafeForShell(const std::string& name)
{
    if (name.empty() || name[0] == '-')
        return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f ||
            std::strchr("'`\"$\\;&<>|(){}*?[]~#!", c) != nullptr)
            return false;
    return true;
}

} // namespace

std::string ExpandProxyCommand(const std::string& command, const ProxyTokens& tokens)
{
    std::string out;
    for (size_t i = 0; i < command.size(); ++i) {
        if (command[i] != '%') {
            out += command[i];
            continue;
        }
        const char token = i + 1 < command.size() ? command[++i] : '\0';
        const std::string* name = nullptr;
        switch (token) {
        case '%': out += '%'; continue;
        case 'p': out += std::to_string(tokens.Port); continue;
        case 'h': name = &tokens.Host; break;
        case 'n': name = &tokens.GivenHost; break;
        case 'r': name = &tokens.User; break;
        case 'd': name = &tokens.SshDir; break;
        case 'u': name = &tokens.LocalUser; break;
        default:
            throw ESftpError(std::string("Unsupported token in ProxyCommand: %") +
                             (token != '\0' ? token : ' '));
        }
        // The folder is the user's own setting; names may come from a
        // shared host list and are refused when a shell would read more
        // into them.
        if (token != 'd' && !SafeForShell(*name))
            throw ESftpError("Name not usable in ProxyCommand: " + *name);
        out += *name;
    }
    return out;
}

SshProxy::~SshProxy() { End(); }

int SshProxy::Start(const std::string& command)
{
    End();
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw ESftpError(std::string("Cannot start ProxyCommand: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // The command's end becomes its stdin and stdout (dup2 clears
    // close-on-exec); stderr stays the program's, as ssh leaves it.
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
    // Nothing else of this program's (an open download, another connection)
    // reaches the command, whether or not it was opened close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // A group of its own, so that ending it ends what the shell started;
    // signals as a fresh program has them, whatever this one blocks or
    // ignores (the window handles SIGTERM and SIGINT itself).
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pair[1]);
    if (rc != 0) {
        ::close(pair[0]);
        throw ESftpError(std::string("Cannot start ProxyCommand: ") + std::strerror(rc));
    }
    FPid = pid;
    return pair[0];
}

void SshProxy::Terminate() noexcept
{
    // The group cannot be another's while its leader is not reaped, and
    // only End reaps it.
    if (const pid_t pid = FPid; pid > 0)
        ::kill(-pid, SIGTERM);
}

void SshProxy::End() noexcept
{
    const pid_t pid = FPid.exchange(-1);
    if (pid <= 0)
        return;
    ::kill(-pid, SIGTERM);
    // A moment's grace to close down, watched without reaping: until the
    // leader is reaped the group id cannot be taken by anyone else, so the
    // SIGKILL below reaches only what the command started.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    for (;;) {
        siginfo_t info{};
        const int rc = ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((rc == 0 && info.si_pid == pid) || (rc < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() >= giveUp)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
}
