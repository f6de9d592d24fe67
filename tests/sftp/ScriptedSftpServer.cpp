#include "tests/sftp/ScriptedSftpServer.h"

#include "tests/sftp/SshdServer.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const std::string ScriptedSftpServer::User = "demo";
const std::string ScriptedSftpServer::Password = "pass ワード";

ScriptedSftpServer::ScriptedSftpServer(const std::string& mode)
{
    char pattern[] = "/tmp/wisplog-paramiko.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("cannot make the scripted server's folder");
    FDir = pattern;
    Shell("ssh-keygen -q -t ecdsa -b 256 -m PEM -N '' -f " + FDir + "/host_key");
    const std::string script = std::string(WISPLOG_SOURCE_DIR) + "/tests/sftp/scripted_sftp_server.py";
    const std::string key = FDir + "/host_key", portFile = FDir + "/port";
    std::vector<const char*> argv = {"/usr/bin/python3", script.c_str(), key.c_str(),
                                     portFile.c_str(),   mode.c_str(),   nullptr};
    if (::posix_spawn(&FPid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0)
        throw std::runtime_error("cannot start the scripted server");
    for (int i = 0; i < 400 && FPort == 0; ++i) {
        std::ifstream in(portFile);
        if (!(in >> FPort))
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (FPort == 0)
        throw std::runtime_error("the scripted server does not start");
}

ScriptedSftpServer::~ScriptedSftpServer()
{
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
    Shell("rm -rf '" + FDir + "'");
}

std::string ScriptedSftpServer::Pin() const
{
    return "sftp=" + FingerprintOfKeyFile(FDir + "/host_key.pub").substr(7);
}
