// Private to the SFTP session's sources: the state of one connection that
// its parts (lifecycle and waits, connection and host key, log-in,
// transfers) share, and the small helpers more than one part uses.
#pragma once

#include "sftp/SftpSession.h"

#include "sftp/SftpHandles.h"
#include "sftp/SshProxy.h"

#include <libssh/callbacks.h>

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

namespace SftpSessionInternal {

constexpr const char* CanceledText = "Canceled";

// Milliseconds of a steady clock, for the silence rule.
int64_t NowMs();
// A libssh option as the session holds it after the config was read; ""
// when it is not set.
std::string OptionText(ssh_session s, ssh_options_e option);

} // namespace SftpSessionInternal

struct SftpSession::Impl {
    SshSessionHolder Ssh;
    SftpSessionHolder Sftp;
    ssh_callbacks_struct Callbacks{};
    std::string KnownHostsFile;

    // The connection's socket as this class holds it (libssh has a
    // duplicate): shutting it down from the calling thread ends any wait of
    // libssh on the worker thread at once.
    std::mutex FdMutex;
    int Fd = -1;
    int Wake[2] = {-1, -1}; // ends the connect's poll
    // The config's ProxyCommand, when the connection goes through one; Fd
    // is then the session's end of the socket pair it talks over.
    SshProxy Proxy;

    std::atomic<bool> Stopped{false};
    std::atomic<bool> TimedOut{false};
    std::atomic<int64_t> LastActivity{0};

    // The calling thread's object for calls posted from the worker.
    QObject* Context = nullptr;
    // The running wait's silence timer (calling thread). It is stopped
    // while a question waits for the user: a dialog open longer than the
    // time-out is not the server's silence.
    QTimer* Silence = nullptr;
    bool Asking = false;
    QEventLoop* LookupLoop = nullptr;

    std::atomic<int64_t> Done{0};
    int64_t Total = 0;
    std::atomic<bool> ProgressPosted{false};

    // A question posted to the calling thread (a passphrase).
    std::mutex AskMutex;
    std::condition_variable AskCv;

    void ShutdownSocket()
    {
        std::lock_guard<std::mutex> lock(FdMutex);
        if (Fd >= 0)
            ::shutdown(Fd, SHUT_RDWR);
        Proxy.Terminate();
        if (Wake[1] >= 0) {
            const char byte = 1;
            if (::write(Wake[1], &byte, 1) < 0) {
                // The pipe is full: a wake is already pending.
            }
        }
    }

    void PauseSilence()
    {
        Asking = true;
        if (Silence != nullptr)
            Silence->stop();
    }

    void ResumeSilence(int timeOut)
    {
        Asking = false;
        LastActivity = SftpSessionInternal::NowMs();
        if (Silence != nullptr && timeOut > 0)
            Silence->start(timeOut);
    }

    void CloseSocket()
    {
        std::lock_guard<std::mutex> lock(FdMutex);
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
};
