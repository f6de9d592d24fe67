// SftpSession: one SSH connection with its SFTP channel, for fetching and
// following a remote log.
//
// How the fetch and Follow commands use it:
//
//     SftpSession s;
//     s.Host = "logs.example"; s.Port = 0;          // 0: ~/.ssh/config, else 22
//     s.UserID = ""; s.Password = "";               // "": config / agent / key files
//     s.PinnedKey = "";                             // 43 base64 chars pins the key
//     s.OnUnknownHostKey = [](const HostKeyInfo& k) { return HostKeyDecision::Cancel; };
//     s.OnPassphrase = [](const std::string& keyFile, std::string& out) { return false; };
//     s.OnProgress = [](int64_t done, int64_t total) {};
//     s.Connect();                                  // status 接続
//     s.Login();                                    // status ログイン
//     SftpFileInfo info = s.Stat("/var/log/app.log");
//     s.Download("/var/log/app.log", "/home/u/dl/app.log");   // status ダウンロード
//     ... s.ReadFrom(path, offset, fd) for Follow's tail ...
//
// Every call that talks to the server waits: the libssh calls run blocking
// on a worker thread while the calling thread runs a local event loop, so
// the window stays responsive and an idle wait costs no CPU. Stop() (from an
// event handler during such a wait) shuts the socket down, which ends any
// libssh wait at once. Callbacks are always called on the calling thread.
//
// Nothing of the user's (name, password, keys) is sent before the host key
// is accepted. Host-key checking cannot be turned off; agent forwarding is
// never requested.
#pragma once

#include "sftp/SftpError.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum class HostKeyDecision { TrustAndSave, TrustOnce, Cancel };

// What the user is shown for a host whose key is not known.
struct HostKeyInfo {
    std::string Host;          // the name the key is filed under
    int Port = 22;
    std::string KeyType;       // "ssh-ed25519", "ecdsa-sha2-nistp256", ...
    std::string Fingerprint;   // "SHA256:" + 43 base64 characters
    std::string PinValue;      // "sftp=" + the 43 characters: field 7 that pins it
    std::vector<std::string> Unreadable; // known-hosts lines skipped as unreadable: "file:line"
};

struct SftpFileInfo {
    int64_t Size = 0;
    int64_t ModifiedTime = 0;  // seconds since the epoch, 0 when not given
};

class SftpSession {
public:
    SftpSession();
    // Ends a running wait and closes the connection. Does not throw.
    ~SftpSession();
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    std::string Host;
    int Port = 0;              // 0: the config's Port, else 22
    std::string UserID;        // "": the config's User, else the local user
    std::string Password;      // "": agent, then key files
    std::string PinnedKey;     // "" or the 43-character SHA-256 fingerprint
    int TimeOut = 10000;       // ms of silence after which a wait fails
    // The folder of config, known_hosts and the key files; "" means
    // $HOME/.ssh (the home of the account when HOME is unset).
    std::string SshDir;
    // The system-wide known-hosts file; "" means /etc/ssh/ssh_known_hosts.
    std::string GlobalKnownHosts;

    // An unknown host key; no answer (no handler) cancels.
    std::function<HostKeyDecision(const HostKeyInfo&)> OnUnknownHostKey;
    // An encrypted key file the agent does not hold; false skips the key.
    std::function<bool(const std::string& keyFile, std::string& passphrase)> OnPassphrase;
    // The password when Password is empty and the server refused the agent
    // and the key files but offers password or keyboard-interactive log-in:
    // refused says it refused the previous answer. False cancels the log-in.
    // Asked at most PasswordAsks times; the answers are wiped after use.
    std::function<bool(bool refused, std::string& password)> OnPasswordNeeded;
    static constexpr int PasswordAsks = 3;
    // Bytes received so far of a download and the size it expects.
    std::function<void(int64_t done, int64_t total)> OnProgress;

    // Resolves, connects and runs the key exchange, then checks the host
    // key (asking OnUnknownHostKey when it is unknown). Waits. Throws
    // ESftpError (refused, unknown host, cancelled key), EHostKeyChanged,
    // EAbortError on Stop or time-out.
    void Connect();
    // Authenticates (password, then keyboard-interactive with it; or agent,
    // then key files, then a password asked through OnPasswordNeeded) and
    // opens the SFTP channel. Waits. Throws ESftpError naming the methods
    // the server offers, EAbortError (also when the password is not given).
    void Login();
    // Size and modification time of a remote file. Waits. Throws
    // ESftpError ("No such file", "Permission denied", ...), EAbortError.
    SftpFileInfo Stat(const std::string& remotePath);
    // Fetches the whole file into localPath through a temporary file beside
    // it, replaced only on success. Returns the size. Waits. Throws
    // ESftpError (also for a short transfer), Exception for local files,
    // EAbortError.
    int64_t Download(const std::string& remotePath, const std::string& localPath);
    // Reads the file from offset to its end into fd, written from fd's
    // position 0 on (pwrite). Returns the bytes written. Waits. Throws as
    // Download.
    int64_t ReadFrom(const std::string& remotePath, int64_t offset, int fd);
    // Ends the wait in progress (or the next one) within a moment; the
    // connection is closed. Does not wait or throw.
    void Stop();
    // Closes the connection. Does not wait or throw.
    void Disconnect();

    bool Connected() const { return FConnected; }
    bool LoggedIn() const { return FLoggedIn; }
    // The key's "SHA256:..." fingerprint once Connect has seen it.
    const std::string& ServerFingerprint() const { return FServerFingerprint; }

private:
    struct Impl;
    void Run(const std::function<void()>& job);
    void Bump();
    [[noreturn]] void ThrowLibsshError(const std::string& what);
    [[noreturn]] void ThrowSftpError(const std::string& path);
    void CheckHostKey();
    void OpenSftp();
    bool AskPassphrase(const std::string& keyFile, char* out, size_t size);
    int64_t Pipeline(void* file, const std::string& path, int64_t offset, int fd);

    std::unique_ptr<Impl> FImpl;
    bool FConnected = false;
    bool FLoggedIn = false;
    std::string FServerFingerprint;
    int64_t FReadTotal = 0;   // the size the next read reports as its total
};
