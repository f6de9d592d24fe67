#include "sftp/SftpSession.h"

#include "sftp/HostKey.h"
#include "sftp/KnownHostsFile.h"
#include "sftp/SftpHandles.h"
#include "sftp/SessionKnownHosts.h"
#include "sftp/SftpReadPipeline.h"
#include "sftp/SshProxy.h"
#include "sock/PartFile.h"
#include "sock/SecretText.h"

#include <libssh/callbacks.h>

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* CanceledText = "Canceled";

// Ciphers tried first: AES-GCM runs on the processor's AES instructions and
// costs the least CPU at both ends; the rest is libssh's usual choice.
constexpr const char* PreferredCiphers =
    "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,"
    "aes128-ctr,aes192-ctr,aes256-ctr";

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string HomeDir()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return "/";
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

std::string MethodNames(int methods)
{
    std::string names;
    auto add = [&](int bit, const char* name) {
        if (methods & bit)
            names += (names.empty() ? "" : ", ") + std::string(name);
    };
    add(SSH_AUTH_METHOD_PUBLICKEY, "publickey");
    add(SSH_AUTH_METHOD_PASSWORD, "password");
    add(SSH_AUTH_METHOD_INTERACTIVE, "keyboard-interactive");
    add(SSH_AUTH_METHOD_HOSTBASED, "hostbased");
    add(SSH_AUTH_METHOD_GSSAPI_MIC, "gssapi-with-mic");
    return names.empty() ? "none" : names;
}

} // namespace

struct SftpSession::Impl {
    SshSessionHolder Ssh;
    SftpSessionHolder Sftp;
    ssh_callbacks_struct Callbacks {};
    std::string KnownHostsFile;

    // The connection's socket as this class holds it (libssh has a
    // duplicate): shutting it down from the calling thread ends any wait of
    // libssh on the worker thread at once.
    std::mutex FdMutex;
    int Fd = -1;
    int Wake[2] = {-1, -1};          // ends the connect's poll
    // The config's ProxyCommand, when the connection goes through one; Fd
    // is then the session's end of the socket pair it talks over.
    SshProxy Proxy;

    std::atomic<bool> Stopped {false};
    std::atomic<bool> TimedOut {false};
    std::atomic<int64_t> LastActivity {0};

    // The calling thread's object for calls posted from the worker.
    QObject* Context = nullptr;
    // The running wait's silence timer (calling thread). It is stopped
    // while a question waits for the user: a dialog open longer than the
    // time-out is not the server's silence.
    QTimer* Silence = nullptr;
    bool Asking = false;
    QEventLoop* LookupLoop = nullptr;

    std::atomic<int64_t> Done {0};
    int64_t Total = 0;
    std::atomic<bool> ProgressPosted {false};

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
        LastActivity = NowMs();
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

void SftpSession::ThrowSftpError(const std::string& path)
{
    Impl& d = *FImpl;
    const int code = d.Sftp ? sftp_get_error(d.Sftp.get()) : SSH_FX_FAILURE;
    switch (code) {
    case SSH_FX_NO_SUCH_FILE:
        throw ESftpError("No such file: " + path);
    case SSH_FX_PERMISSION_DENIED:
        throw ESftpError("Permission denied: " + path);
    case SSH_FX_OK:
    case SSH_FX_CONNECTION_LOST:
    case SSH_FX_NO_CONNECTION:
        // libssh refuses a malformed reply (one longer than asked for) with
        // the connection still up.
        if (d.Ssh && ssh_is_connected(d.Ssh.get()) != 0)
            ThrowLibsshError("Bad reply (" + path + ")");
        ThrowLibsshError("Connection lost (" + path + ")");
    default:
        // libssh's text says what the code does not: the server's own
        // words, or a reply to a request never made.
        ThrowLibsshError("SFTP error " + std::to_string(code) + ": " + path);
    }
}

namespace {

// The addresses of host: IPv4 first. Waits (event loop); Stop ends it.
std::vector<QHostAddress> LookUp(const std::string& host, QEventLoop*& current, int timeOut,
                                 const std::atomic<bool>& stopped)
{
    QHostAddress literal;
    if (literal.setAddress(QString::fromStdString(host)))
        return {literal};
    QEventLoop loop;
    QObject context;
    std::vector<QHostAddress> found;
    bool done = false, timedOut = false;
    const int id = QHostInfo::lookupHost(QString::fromStdString(host), &context, [&](const QHostInfo& info) {
        for (int family : {int(QAbstractSocket::IPv4Protocol), int(QAbstractSocket::IPv6Protocol)})
            for (const QHostAddress& a : info.addresses())
                if (int(a.protocol()) == family)
                    found.push_back(a);
        done = true;
        loop.quit();
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &context, [&] {
        timedOut = true;
        loop.quit();
    });
    if (timeOut > 0)
        timer.start(timeOut);
    current = &loop;
    if (!done && !stopped)
        loop.exec();
    current = nullptr;
    if (!done)
        QHostInfo::abortHostLookup(id);
    if (stopped)
        throw EAbortError(CanceledText);
    if (timedOut && !done)
        throw EAbortError("Host lookup timed out: " + host);
    if (found.empty())
        throw ESftpError("Host not found: " + host);
    return found;
}

} // namespace

void SftpSession::Connect()
{
    Disconnect();
    Impl& d = *FImpl;
    d.Stopped = false;
    d.TimedOut = false;
    if (d.Wake[0] >= 0) {
        char drain[16];
        while (::read(d.Wake[0], drain, sizeof drain) > 0) {
        }
    }
    if (!PinnedKey.empty() && !IsPinnedFingerprint(PinnedKey))
        throw ESftpError("Bad pinned key: " + PinnedKey);

    d.Ssh.reset(ssh_new());
    if (!d.Ssh)
        throw ESftpError("Cannot create SSH session");
    ssh_session s = d.Ssh.get();
    const std::string sshDir = SshDir.empty() ? HomeDir() + "/.ssh" : SshDir;
    d.KnownHostsFile = sshDir + "/known_hosts";
    const long timeoutSeconds = TimeOut > 0 ? TimeOut / 1000 + 2 : 0;
    const int yes = 1;
    ssh_options_set(s, SSH_OPTIONS_SSH_DIR, sshDir.c_str());
    ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, d.KnownHostsFile.c_str());
    ssh_options_set(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS,
                    GlobalKnownHosts.empty() ? "/etc/ssh/ssh_known_hosts" : GlobalKnownHosts.c_str());
    ssh_options_set(s, SSH_OPTIONS_CIPHERS_C_S, PreferredCiphers);
    ssh_options_set(s, SSH_OPTIONS_CIPHERS_S_C, PreferredCiphers);
    if (ssh_options_set(s, SSH_OPTIONS_HOST, Host.c_str()) != SSH_OK)
        throw ESftpError("Bad host name: " + Host);
    // ~/.ssh/config (then the system's) fills what the profile leaves
    // empty; the profile's own values are set after it so they win.
    if (ssh_options_parse_config(s, nullptr) != SSH_OK)
        ThrowLibsshError("Cannot read " + sshDir + "/config");
    if (Port > 0)
        ssh_options_set(s, SSH_OPTIONS_PORT, &Port);
    if (!UserID.empty())
        ssh_options_set(s, SSH_OPTIONS_USER, UserID.c_str());
    if (timeoutSeconds > 0)
        ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
    ssh_options_set(s, SSH_OPTIONS_NODELAY, &yes);
    PreferKnownHostKeys(s, Host, SshDir, GlobalKnownHosts);
    if (const std::string file = OptionText(s, SSH_OPTIONS_KNOWNHOSTS); !file.empty())
        d.KnownHostsFile = file;

    const std::string host = OptionText(s, SSH_OPTIONS_HOST);
    unsigned int port = 22;
    ssh_options_get_port(s, &port);
    // A ProxyCommand (or ProxyJump, which libssh turns into one) from the
    // config: the session starts it itself, instead of dialling, so that a
    // stop can shut its socket down and end it; libssh is told not to.
    std::string proxyCommand = OptionText(s, SSH_OPTIONS_PROXYCOMMAND);
    const bool proxied = !proxyCommand.empty();
    std::vector<QHostAddress> addresses;
    if (proxied) {
        ProxyTokens tokens;
        tokens.Host = host;
        tokens.GivenHost = Host;
        tokens.Port = int(port);
        tokens.User = OptionText(s, SSH_OPTIONS_USER);
        tokens.SshDir = sshDir;
        if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_name != nullptr)
            tokens.LocalUser = pw->pw_name;
        proxyCommand = ExpandProxyCommand(proxyCommand, tokens);
        ssh_options_set(s, SSH_OPTIONS_PROXYCOMMAND, "none");
    } else {
        addresses = LookUp(host, d.LookupLoop, TimeOut, d.Stopped);
    }

    const std::string where = host + ":" + std::to_string(port);
    // libssh gets a duplicate of the connection's descriptor and closes it
    // itself; the session keeps its own to shut down.
    const auto handToLibssh = [&](int fd) {
        Bump();
        const int libsshFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (libsshFd < 0 || ssh_options_set(s, SSH_OPTIONS_FD, &libsshFd) != SSH_OK) {
            if (libsshFd >= 0)
                ::close(libsshFd);
            throw ESftpError(std::string("Cannot use socket: ") + std::strerror(errno));
        }
    };
    const auto reach = [&] {
        if (proxied) {
            const int fd = d.Proxy.Start(proxyCommand);
            {
                std::lock_guard<std::mutex> lock(d.FdMutex);
                d.Fd = fd;
                // A stop that came while the command started found no
                // socket to shut down.
                if (d.Stopped || d.TimedOut)
                    ::shutdown(fd, SHUT_RDWR);
            }
            handToLibssh(fd);
        } else {
            const int64_t deadline = NowMs() + (TimeOut > 0 ? TimeOut : 24 * 3600 * 1000);
            int lastError = ECONNREFUSED;
            int connected = -1;
            for (const QHostAddress& address : addresses) {
                sockaddr_storage sa {};
                socklen_t length = 0;
                if (address.protocol() == QAbstractSocket::IPv6Protocol) {
                    auto* a6 = reinterpret_cast<sockaddr_in6*>(&sa);
                    a6->sin6_family = AF_INET6;
                    a6->sin6_port = htons(uint16_t(port));
                    const Q_IPV6ADDR bytes = address.toIPv6Address();
                    std::memcpy(&a6->sin6_addr, &bytes, 16);
                    length = sizeof *a6;
                } else {
                    auto* a4 = reinterpret_cast<sockaddr_in*>(&sa);
                    a4->sin_family = AF_INET;
                    a4->sin_port = htons(uint16_t(port));
                    a4->sin_addr.s_addr = htonl(address.toIPv4Address());
                    length = sizeof *a4;
                }
                const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0) {
                    lastError = errno;
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(d.FdMutex);
                    d.Fd = fd;
                }
                int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), length);
                if (rc != 0 && errno == EINPROGRESS) {
                    pollfd fds[2] = {{fd, POLLOUT, 0}, {d.Wake[0], POLLIN, 0}};
                    for (;;) {
                        const int64_t left = deadline - NowMs();
                        if (left <= 0 || d.Stopped || d.TimedOut)
                            break;
                        const int n = ::poll(fds, d.Wake[0] >= 0 ? 2 : 1, int(std::min<int64_t>(left, 1 << 30)));
                        if (n < 0 && errno == EINTR)
                            continue;
                        break;
                    }
                    int error = ETIMEDOUT;
                    if (fds[0].revents != 0) {
                        socklen_t size = sizeof error;
                        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                            error = errno;
                    }
                    rc = error == 0 ? 0 : -1;
                    errno = error;
                }
                if (rc == 0) {
                    connected = fd;
                    break;
                }
                lastError = errno;
                d.CloseSocket();
                if (d.Stopped || d.TimedOut || NowMs() >= deadline)
                    break;
            }
            if (connected < 0) {
                if (lastError == ETIMEDOUT)
                    d.TimedOut = true;
                throw ESftpError(std::string(lastError == ECONNREFUSED ? "Connection refused"
                                                                       : std::strerror(lastError)) +
                                 " (" + where + ")");
            }
            ::fcntl(connected, F_SETFL, ::fcntl(connected, F_GETFL) & ~O_NONBLOCK);
            ::setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            handToLibssh(connected);
        }
        if (ssh_connect(s) != SSH_OK)
            ThrowLibsshError("SSH handshake failed (" + where + ")");
    };
    try {
        Run(reach);
    } catch (...) {
        // Nothing of a failed attempt stays open, a proxy command least.
        Disconnect();
        throw;
    }
    FConnected = true;
    try {
        CheckHostKey();
    } catch (...) {
        Disconnect();
        throw;
    }
}

void SftpSession::CheckHostKey()
{
    Impl& d = *FImpl;
    ssh_session s = d.Ssh.get();
    ssh_key raw = nullptr;
    if (ssh_get_server_publickey(s, &raw) != SSH_OK || raw == nullptr)
        ThrowLibsshError("No host key");
    SshKeyHolder key(raw);
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0)
        ThrowLibsshError("Cannot hash the host key");
    const std::string digest = UnpaddedBase64(hash, length);
    ssh_clean_pubkey_hash(&hash);
    FServerFingerprint = "SHA256:" + digest;

    unsigned int port = 22;
    ssh_options_get_port(s, &port);
    const std::string host = OptionText(s, SSH_OPTIONS_HOST);
    const std::string name = KnownHostsName(host, int(port));
    const std::string type = ssh_key_type_to_char(ssh_key_type(key.get()));
    std::string blob;
    char* base64 = nullptr;
    if (ssh_pki_export_pubkey_base64(key.get(), &base64) != SSH_OK || base64 == nullptr)
        ThrowLibsshError("Cannot read the host key");
    const bool decoded = Base64Decode(base64, blob);
    ssh_string_free_char(base64);
    if (!decoded)
        throw ESftpError("Cannot read the host key");

    // The known-hosts files are read here, line by line, rather than by
    // libssh, which gives up on a whole file at one bad line and takes
    // @revoked for a host name.
    const KnownHostsPlaces places = SessionKnownHostsPlaces(s, Host, SshDir, GlobalKnownHosts);
    std::vector<std::string> files = places.UserFiles;
    files.insert(files.end(), places.GlobalFiles.begin(), places.GlobalFiles.end());
    const KnownHostsVerdict verdict = CheckKnownHosts(files, name, blob);
    std::string unreadable;
    for (const std::string& line : verdict.Unreadable)
        unreadable += (unreadable.empty() ? "; unreadable: " : ", ") + line;

    // A revocation holds whatever else lists or pins the key.
    if (verdict.Verdict == KnownHostsVerdict::Revoked)
        throw EHostKeyChanged("Host key revoked for " + name + ": " + type + " " + FServerFingerprint +
                              " is marked @revoked in " + verdict.File + ":" + std::to_string(verdict.Line) +
                              unreadable);
    if (!PinnedKey.empty()) {
        if (PinnedKey != digest)
            throw EHostKeyChanged("Host key mismatch for " + name + ": the server offers " + type + " " +
                                  FServerFingerprint + ", the profile pins SHA256:" + PinnedKey);
        return;
    }
    switch (verdict.Verdict) {
    case KnownHostsVerdict::Known: return;
    case KnownHostsVerdict::Changed:
        throw EHostKeyChanged("Host key changed for " + name + ": the server offers " + type + " " +
                              FServerFingerprint + ", known is " + verdict.KnownType + " " +
                              verdict.KnownFingerprint + " in " + verdict.File + ":" +
                              std::to_string(verdict.Line) + unreadable);
    default: break;
    }
    HostKeyInfo info;
    info.Host = host;
    info.Port = int(port);
    info.KeyType = type;
    info.Fingerprint = FServerFingerprint;
    info.PinValue = "sftp=" + digest;
    info.Unreadable = verdict.Unreadable;
    const HostKeyDecision decision = OnUnknownHostKey ? OnUnknownHostKey(info) : HostKeyDecision::Cancel;
    if (d.Stopped)
        throw EAbortError(CanceledText);
    if (decision == HostKeyDecision::Cancel)
        throw ESftpError("Host key not accepted: " + name + " " + FServerFingerprint);
    if (decision == HostKeyDecision::TrustAndSave) {
        if (places.UserFiles.empty())
            throw ESftpError("Cannot save the host key: UserKnownHostsFile is none");
        // Hashed as ssh writes it when HashKnownHosts says so.
        AppendKnownHostsLine(places.UserFiles.front(), KnownHostsEntryLine(name, type, blob, places.Hash));
    }
}

namespace {

// libssh's question for a key file's passphrase: the answer is copied from
// the handler's own string straight into libssh's buffer.
int AuthCallback(const char* /*prompt*/, char* buf, size_t len, int /*echo*/, int /*verify*/, void* userdata)
{
    auto* ask = static_cast<std::function<bool(char*, size_t)>*>(userdata);
    return (*ask)(buf, len) ? 0 : -1;
}

} // namespace

// Asks OnPassphrase on the calling thread and waits for the answer (or a
// stop), which is copied into out with its terminating zero. Called on the
// worker thread. False when the key is to be skipped.
bool SftpSession::AskPassphrase(const std::string& keyFile, char* out, size_t size)
{
    Impl& d = *FImpl;
    if (!OnPassphrase || d.Context == nullptr)
        return false;
    // The handler writes into Text itself, so the passphrase is never
    // copied or moved between strings; whichever thread lets go of the
    // answer last wipes it (a stopped wait leaves it to the handler's side).
    struct Answer {
        bool Done = false;
        bool Given = false;
        std::string Text;
        Answer() = default;
        Answer(const Answer&) = delete;
        Answer& operator=(const Answer&) = delete;
        ~Answer() { WipeSecret(Text); }
    };
    auto answer = std::make_shared<Answer>();
    QMetaObject::invokeMethod(
        d.Context,
        [this, answer, keyFile] {
            Impl& d = *FImpl;
            d.PauseSilence();
            const bool given = !d.Stopped && OnPassphrase(keyFile, answer->Text);
            d.ResumeSilence(TimeOut);
            if (!given)
                WipeSecret(answer->Text);
            std::lock_guard<std::mutex> lock(d.AskMutex);
            answer->Given = given;
            answer->Done = true;
            d.AskCv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(d.AskMutex);
    d.AskCv.wait(lock, [&] { return answer->Done || d.Stopped || d.TimedOut; });
    const std::string& text = answer->Text;
    const bool usable = answer->Done && answer->Given && !text.empty() && text.size() < size;
    if (usable)
        std::memcpy(out, text.c_str(), text.size() + 1);
    if (answer->Done)
        WipeSecret(answer->Text);
    return usable;
}

void SftpSession::Login()
{
    Impl& d = *FImpl;
    if (!FConnected || !d.Ssh)
        throw ESftpError("Not connected");
    ssh_session s = d.Ssh.get();
    const std::string user = OptionText(s, SSH_OPTIONS_USER);
    std::function<bool(char*, size_t)> ask = [&](char* out, size_t size) {
        char* file = nullptr;
        std::string name;
        if (ssh_userauth_publickey_auto_get_current_identity(s, &file) == SSH_OK && file != nullptr) {
            name = file;
            ssh_string_free_char(file);
        }
        // The silence rule is paused while the user answers and restarts
        // when the answer comes.
        const bool given = AskPassphrase(name, out, size);
        Bump();
        return given;
    };
    d.Callbacks = ssh_callbacks_struct {};
    d.Callbacks.userdata = &ask;
    d.Callbacks.auth_function = AuthCallback;
    ssh_callbacks_init(&d.Callbacks);

    // Password, then keyboard-interactive with the same password. Runs on
    // the worker thread.
    const auto passwordAuth = [&](const char* password, int methods) {
        int rc = SSH_AUTH_DENIED;
        if (methods & SSH_AUTH_METHOD_PASSWORD) {
            rc = ssh_userauth_password(s, nullptr, password);
            Bump();
        }
        if (rc != SSH_AUTH_SUCCESS && rc != SSH_AUTH_ERROR && (methods & SSH_AUTH_METHOD_INTERACTIVE)) {
            // For a server that asks one question; rounds with no question
            // (some servers send one) are answered empty.
            rc = ssh_userauth_kbdint(s, nullptr, nullptr);
            for (int rounds = 0; rc == SSH_AUTH_INFO && rounds < 8; ++rounds) {
                Bump();
                const int prompts = ssh_userauth_kbdint_getnprompts(s);
                if (prompts > 1) {
                    rc = SSH_AUTH_DENIED;
                    break;
                }
                if (prompts == 1 && ssh_userauth_kbdint_setanswer(s, 0, password) < 0)
                    ThrowLibsshError("Authentication failed");
                rc = ssh_userauth_kbdint(s, nullptr, nullptr);
            }
        }
        return rc;
    };
    constexpr int passwordMethods = SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE;
    int methods = 0;
    bool askPassword = false;
    const auto settle = [&](int rc) {
        if (rc == SSH_AUTH_ERROR)
            ThrowLibsshError("Authentication failed");
        if (rc != SSH_AUTH_SUCCESS)
            throw ESftpError("Access denied for " + user + " (the server offers: " + MethodNames(methods) +
                             ")");
        Bump();
        OpenSftp();
    };

    try {
        Run([&] {
            int rc = ssh_userauth_none(s, nullptr);
            if (rc == SSH_AUTH_ERROR)
                ThrowLibsshError("Authentication failed");
            Bump();
            methods = ssh_userauth_list(s, nullptr);
            if (rc != SSH_AUTH_SUCCESS && !Password.empty()) {
                rc = passwordAuth(Password.c_str(), methods);
            } else if (rc != SSH_AUTH_SUCCESS) {
                if (ssh_set_callbacks(s, &d.Callbacks) != SSH_OK)
                    ThrowLibsshError("Authentication failed");
                // The agent first (SSH_AUTH_SOCK), then the config's
                // IdentityFile, then ~/.ssh/id_ed25519, id_ecdsa, id_rsa.
                rc = ssh_userauth_publickey_auto(s, nullptr, nullptr);
                // Refused: the password is asked for on the calling thread.
                if (rc == SSH_AUTH_DENIED && OnPasswordNeeded && (methods & passwordMethods)) {
                    askPassword = true;
                    return;
                }
            }
            settle(rc);
        });
        for (int attempt = 1; askPassword; ++attempt) {
            std::string password;
            if (d.Stopped || !OnPasswordNeeded(attempt > 1, password)) {
                // Not given: ends as a stop does, nothing sent.
                WipeSecret(password);
                Stop();
                throw EAbortError(CanceledText);
            }
            const auto wipe = qScopeGuard([&] { WipeSecret(password); });
            Run([&] {
                const int rc = passwordAuth(password.c_str(), methods);
                if (rc == SSH_AUTH_DENIED && attempt < PasswordAsks)
                    return;
                askPassword = false;
                settle(rc);
            });
        }
    } catch (...) {
        ssh_set_callbacks(s, nullptr);
        throw;
    }
    FLoggedIn = true;
}

// Opens the SFTP channel. Runs on the worker thread.
void SftpSession::OpenSftp()
{
    Impl& d = *FImpl;
    d.Sftp.reset(sftp_new(d.Ssh.get()));
    if (!d.Sftp)
        ThrowLibsshError("Cannot open the SFTP channel");
    if (sftp_init(d.Sftp.get()) != SSH_OK) {
        d.Sftp.reset();
        ThrowLibsshError("The server refused SFTP");
    }
}

SftpFileInfo SftpSession::Stat(const std::string& remotePath)
{
    Impl& d = *FImpl;
    if (!FLoggedIn || !d.Sftp)
        throw ESftpError("Not connected");
    SftpFileInfo info;
    Run([&] {
        SftpAttributesHolder attributes(sftp_stat(d.Sftp.get(), remotePath.c_str()));
        if (!attributes)
            ThrowSftpError(remotePath);
        if (attributes->type == SSH_FILEXFER_TYPE_DIRECTORY)
            throw ESftpError("Not a file: " + remotePath);
        info.Size = (attributes->flags & SSH_FILEXFER_ATTR_SIZE) ? int64_t(attributes->size) : 0;
        info.ModifiedTime = (attributes->flags & SSH_FILEXFER_ATTR_ACMODTIME) ? int64_t(attributes->mtime) : 0;
    });
    return info;
}

// Reads remotePath from offset to its end into fd (SftpReadPipeline) and
// reports the progress. Runs on the worker thread.
int64_t SftpSession::Pipeline(void* opened, const std::string& path, int64_t offset, int fd)
{
    Impl& d = *FImpl;
    SftpReadPipeline pipeline(static_cast<sftp_file>(opened), offset, fd);
    pipeline.OnFailure = [&] { ThrowSftpError(path); };
    pipeline.OnReply = [&](int64_t received) {
        Bump();
        d.Done = received;
        if (!d.ProgressPosted.exchange(true) && d.Context != nullptr)
            QMetaObject::invokeMethod(
                d.Context,
                [this] {
                    FImpl->ProgressPosted = false;
                    if (OnProgress)
                        OnProgress(FImpl->Done, FImpl->Total);
                },
                Qt::QueuedConnection);
    };
    return pipeline.Run();
}

int64_t SftpSession::ReadFrom(const std::string& remotePath, int64_t offset, int fd)
{
    Impl& d = *FImpl;
    if (!FLoggedIn || !d.Sftp)
        throw ESftpError("Not connected");
    int64_t written = 0;
    d.Done = 0;
    d.Total = FReadTotal;
    FReadTotal = 0;
    d.ProgressPosted = false;
    Run([&] {
        SftpFileHolder file(sftp_open(d.Sftp.get(), remotePath.c_str(), O_RDONLY, 0));
        if (!file)
            ThrowSftpError(remotePath);
        written = Pipeline(file.get(), remotePath, offset, fd);
    });
    return written;
}

int64_t SftpSession::Download(const std::string& remotePath, const std::string& localPath)
{
    const SftpFileInfo info = Stat(remotePath);
    PartFile part(localPath);
    const int fd = ::open(part.Path().c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw Exception("Cannot create file \"" + localPath + "\". " + std::strerror(errno));
    FReadTotal = info.Size;
    int64_t received = 0;
    try {
        received = ReadFrom(remotePath, 0, fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0)
        throw Exception("Cannot write file \"" + localPath + "\". " + std::strerror(errno));
    if (OnProgress)
        OnProgress(received, info.Size);
    if (received < info.Size)
        throw ESftpError("Transfer ended early: " + std::to_string(received) + " of " +
                         std::to_string(info.Size) + " bytes");
    part.Commit();
    return received;
}
