#include "tests/sftp/SshdServer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

void Shell(const std::string& command)
{
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("command failed: " + command);
}

std::string ShellLine(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run: " + command);
    char line[4096] = {};
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    if (!got)
        throw std::runtime_error("no output: " + command);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

std::string FingerprintOfKeyFile(const std::string& file)
{
    // "256 SHA256:xxxx comment (ED25519)"
    const std::string line = ShellLine("ssh-keygen -l -E sha256 -f '" + file + "'");
    const size_t start = line.find("SHA256:");
    return line.substr(start, line.find(' ', start) - start);
}

namespace {

bool Accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

} // namespace

std::string SshdServer::UserName() const
{
    const passwd* pw = ::getpwuid(::getuid());
    return pw != nullptr ? pw->pw_name : "root";
}

SshdServer::SshdServer()
{
    char pattern[] = "/tmp/wisplog-sshd.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    FDir = pattern;
    ::mkdir(Home().c_str(), 0700);
    ::mkdir(SshDir().c_str(), 0700);
    // sshd's privilege separation folder (missing on a machine that never
    // ran the service).
    ::mkdir("/run/sshd", 0755);
    Shell("ssh-keygen -q -t ed25519 -N '' -C host -f " + FDir + "/host_ed25519");
    // A second host key, which a client asks for only when it knows it.
    Shell("ssh-keygen -q -t ecdsa -b 256 -N '' -C host -f " + FDir + "/host_ecdsa");
    Shell("ssh-keygen -q -t ed25519 -N '' -C client -f " + ClientKey());
    Shell("cp " + ClientKey() + ".pub " + FDir + "/authorized_keys");
    FHostFingerprint = FingerprintOfKeyFile(HostPublicKey());
    FPort = FreeLoopbackPort();
    {
        std::ofstream config(FDir + "/sshd_config");
        config << "ListenAddress 127.0.0.1\n"
               << "HostKey " << FDir << "/host_ed25519\n"
               << "HostKey " << FDir << "/host_ecdsa\n"
               << "PidFile none\n"
               << "UsePAM no\n"
               << "StrictModes no\n"
               << "AuthorizedKeysFile " << FDir << "/authorized_keys\n"
               << "PermitRootLogin prohibit-password\n"
               << "PasswordAuthentication no\n"
               << "KbdInteractiveAuthentication no\n"
               << "Subsystem sftp internal-sftp\n"
               << "LogLevel ERROR\n";
    }
    const std::string port = std::to_string(FPort);
    const std::string config = FDir + "/sshd_config";
    const std::string log = FDir + "/sshd.log";
    std::vector<const char*> argv = {"/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(), "-p", port.c_str(),
                                     "-E", log.c_str(), nullptr};
    if (::posix_spawn(&FPid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0)
        throw std::runtime_error("cannot start sshd");
    for (int i = 0; i < 200; ++i) {
        if (Accepts(FPort))
            return;
        int status = 0;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            throw std::runtime_error("sshd exited; see " + log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("sshd does not accept connections");
}

SshdServer::~SshdServer()
{
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        int status = 0;
        ::waitpid(FPid, &status, 0);
    }
    if (!FDir.empty() && std::getenv("WISPLOG_KEEP_SSHD") == nullptr)
        Shell("rm -rf '" + FDir + "'");
}
