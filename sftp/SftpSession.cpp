// SftpSession: construction, the worker thread and its waits, stop and
// disconnect, and the libssh error texts the other parts throw.
#include "sftp/SftpSession.h"
#include "sftp/SftpSessionImpl.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace SftpSessionInternal;

int64_t SftpSessionInternal::NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

SftpSession::SftpSession() : FImpl(std::make_unique<Impl>())
{
    if (::pipe2(FImpl->Wake, O_CLOEXEC | O_NONBLOCK) != 0)
        FImpl->Wake[0] = FImpl->Wake[1] = -1;
}

SftpSession::~SftpSession()
{
    Disconnect();
    for (int fd : FImpl->Wake)
        if (fd >= 0)
            ::close(fd);
}

void SftpSession::Bump()
{
    FImpl->LastActivity = NowMs();
}

void SftpSession::Stop()
{
    Impl& d = *FImpl;
    d.Stopped = true;
    d.ShutdownSocket();
    d.AskCv.notify_all();
    if (d.LookupLoop != nullptr)
        d.LookupLoop->quit();
}

void SftpSession::Disconnect()
{
    Impl& d = *FImpl;
    // libssh leaves the descriptor it was given open once the session was
    // up (it closes it when the connection failed): the one it still holds
    // is closed after the session is freed, if it is still that socket.
    int libsshFd = d.Ssh ? int(ssh_get_fd(d.Ssh.get())) : -1;
    struct stat held { };
    if (libsshFd >= 0 && ::fstat(libsshFd, &held) != 0)
        libsshFd = -1;
    d.Sftp.reset();
    d.Ssh.reset();
    struct stat now { };
    if (libsshFd >= 0 && libsshFd != d.Fd && ::fstat(libsshFd, &now) == 0 && now.st_dev == held.st_dev &&
        now.st_ino == held.st_ino)
        ::close(libsshFd);
    d.CloseSocket();
    d.Proxy.End();
    FConnected = false;
    FLoggedIn = false;
}

// Runs job on a worker thread while this thread runs a local event loop;
// the silence timer and Stop end the job's waits by shutting the socket
// down. Rethrows the job's failure, or EAbortError after a stop or time-out.
void SftpSession::Run(const std::function<void()>& job)
{
    Impl& d = *FImpl;
    if (d.Stopped)
        throw EAbortError(CanceledText);
    QEventLoop loop;
    QObject context;
    d.Context = &context;
    std::atomic<bool> finished {false};
    std::exception_ptr failure;

    Bump();
    QTimer silence;
    silence.setSingleShot(true);
    QObject::connect(&silence, &QTimer::timeout, &context, [&] {
        if (d.Asking)
            return;
        const int64_t idle = NowMs() - d.LastActivity;
        if (idle >= TimeOut) {
            d.TimedOut = true;
            d.ShutdownSocket();
            d.AskCv.notify_all();
        } else {
            silence.start(int(TimeOut - idle));
        }
    });
    d.Silence = &silence;
    if (TimeOut > 0)
        silence.start(TimeOut);

    std::thread worker([&] {
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        QMetaObject::invokeMethod(&context, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    while (!finished)
        loop.exec();
    worker.join();
    silence.stop();
    d.Silence = nullptr;
    d.Context = nullptr;

    if (d.TimedOut || d.Stopped) {
        const bool timedOut = d.TimedOut;
        Disconnect();
        if (timedOut)
            throw EAbortError("Timed out: no reply for " + std::to_string(TimeOut / 1000) + " s");
        throw EAbortError(CanceledText);
    }
    if (failure)
        std::rethrow_exception(failure);
}

void SftpSession::ThrowLibsshError(const std::string& what)
{
    const char* text = FImpl->Ssh ? ssh_get_error(FImpl->Ssh.get()) : "";
    throw ESftpError(what + (text != nullptr && *text != '\0' ? std::string(": ") + text : std::string()));
}
