// The scripted paramiko SSH server (scripted_sftp_server.py) in one mode, on
// 127.0.0.1 and a port it chooses, with a host key made for it in a
// temporary folder that also holds the files a test serves from it.
#pragma once

#include <string>
#include <sys/types.h>

class ScriptedSftpServer {
public:
    // Makes the host key and starts the server; waits until it listens (at
    // most 10 s). Throws std::runtime_error when it does not start.
    explicit ScriptedSftpServer(const std::string& mode);
    // Kills the server and removes the folder.
    ~ScriptedSftpServer();
    ScriptedSftpServer(const ScriptedSftpServer&) = delete;
    ScriptedSftpServer& operator=(const ScriptedSftpServer&) = delete;

    int Port() const { return FPort; }
    const std::string& Dir() const { return FDir; }
    // The 8th field of a profile that pins the server's key: "sftp=...".
    std::string Pin() const;
    // The user and password the server accepts.
    static const std::string User;
    static const std::string Password;

private:
    std::string FDir;
    pid_t FPid = -1;
    int FPort = 0;
};
