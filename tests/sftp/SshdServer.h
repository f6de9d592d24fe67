// A real OpenSSH server for the SFTP tests: sshd -D on 127.0.0.1 and a free
// port, with a host key and a client key made for the run in a temporary
// folder, which also holds the test's HOME (so the user's own ~/.ssh is
// never read or written).
#pragma once

#include <string>
#include <sys/types.h>

class SshdServer {
public:
    // Makes the keys and starts sshd; waits until it accepts connections
    // (at most 10 s). Throws std::runtime_error when it does not start.
    SshdServer();
    // Stops sshd and removes the folder.
    ~SshdServer();

    int Port() const { return FPort; }
    const std::string& Dir() const { return FDir; }
    // The test's HOME and its .ssh folder (0700, empty but for what a test puts there).
    std::string Home() const { return FDir + "/home"; }
    std::string SshDir() const { return Home() + "/.ssh"; }
    // The private key whose public half the server accepts (no passphrase).
    std::string ClientKey() const { return FDir + "/client_ed25519"; }
    // The host key's public file and its "SHA256:..." fingerprint as ssh-keygen prints it.
    std::string HostPublicKey() const { return FDir + "/host_ed25519.pub"; }
    std::string HostFingerprint() const { return FHostFingerprint; }
    std::string UserName() const;

private:
    std::string FDir;
    int FPort = 0;
    pid_t FPid = -1;
    std::string FHostFingerprint;
};

// Runs a shell command; throws std::runtime_error when it fails.
void Shell(const std::string& command);
// The first line a shell command prints.
std::string ShellLine(const std::string& command);
// A port on 127.0.0.1 that nothing listens on at the moment.
int FreeLoopbackPort();
// The "SHA256:..." fingerprint `ssh-keygen -l` prints for a key file.
std::string FingerprintOfKeyFile(const std::string& file);
