#include "sftp/SftpSession.h"

#include "sftp/HostKey.h"
#include "sftp/SftpHandles.h"
#include "sock/PartFile.h"
#include "sock/SecretText.h"

#include <libssh/callbacks.h>

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QScopeGuard>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* CanceledText = "Canceled";

// Read requests kept in flight and the size of each: 64 x 64 KiB keeps a
// loopback or LAN link busy while each reply is written out.
constexpr uint32_t ReadChunk = 64 * 1024;
constexpr size_t ReadsInFlight = 64;

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

void WipeString(std::string& text)
{
    if (!text.empty())
        explicit_bzero(text.data(), text.size());
    text.clear();
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

    std::atomic<bool> Stopped {false};
    std::atomic<bool> TimedOut {false};
    std::atomic<int64_t> LastActivity {0};

    // The calling thread's object for calls posted from the worker.
    QObject* Context = nullptr;
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
        if (Wake[1] >= 0) {
            const char byte = 1;
            if (::write(Wake[1], &byte, 1) < 0) {
                // The pipe is full: a wake is already pending.
            }
        }
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
    d.Sftp.reset();
    d.Ssh.reset();
    d.CloseSocket();
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
        const int64_t idle = NowMs() - d.LastActivity;
        if (idle >= TimeOut) {
            d.TimedOut = true;
            d.ShutdownSocket();
            d.AskCv.notify_all();
        } else {
            silence.start(int(TimeOut - idle));
        }
    });
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
        ThrowLibsshError("Connection lost (" + path + ")");
    default:
        throw ESftpError("SFTP error " + std::to_string(code) + ": " + path);
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
    if (const std::string file = OptionText(s, SSH_OPTIONS_KNOWNHOSTS); !file.empty())
        d.KnownHostsFile = file;

    const std::string host = OptionText(s, SSH_OPTIONS_HOST);
    unsigned int port = 22;
    ssh_options_get_port(s, &port);
    // A ProxyCommand (or ProxyJump) from the config: libssh starts it and
    // talks through it instead of dialling.
    const bool proxied = !OptionText(s, SSH_OPTIONS_PROXYCOMMAND).empty();
    std::vector<QHostAddress> addresses;
    if (!proxied)
        addresses = LookUp(host, d.LookupLoop, TimeOut, d.Stopped);

    const std::string where = host + ":" + std::to_string(port);
    Run([&] {
        if (!proxied) {
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
            Bump();
            const int libsshFd = ::fcntl(connected, F_DUPFD_CLOEXEC, 0);
            if (libsshFd < 0 || ssh_options_set(s, SSH_OPTIONS_FD, &libsshFd) != SSH_OK) {
                if (libsshFd >= 0)
                    ::close(libsshFd);
                throw ESftpError(std::string("Cannot use socket: ") + std::strerror(errno));
            }
        }
        if (ssh_connect(s) != SSH_OK)
            ThrowLibsshError("SSH handshake failed (" + where + ")");
    });
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

    if (!PinnedKey.empty()) {
        if (PinnedKey != digest)
            throw EHostKeyChanged("Host key mismatch for " + name + ": the server offers " + type + " " +
                                  FServerFingerprint + ", the profile pins SHA256:" + PinnedKey);
        return;
    }
    switch (ssh_session_is_known_server(s)) {
    case SSH_KNOWN_HOSTS_OK:
        return;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER: {
        std::string known;
        const std::string global = GlobalKnownHosts.empty() ? "/etc/ssh/ssh_known_hosts" : GlobalKnownHosts;
        for (const std::string& file : {d.KnownHostsFile, global}) {
            for (const KnownHostsLine& line : FindKnownHostsLines(file, name)) {
                if (line.Fingerprint == FServerFingerprint)
                    continue;
                known = line.KeyType + " " + line.Fingerprint + " in " + line.File + ":" + std::to_string(line.Line);
                break;
            }
            if (!known.empty())
                break;
        }
        throw EHostKeyChanged("Host key changed for " + name + ": the server offers " + type + " " +
                              FServerFingerprint + ", known is " + (known.empty() ? "another key" : known));
    }
    case SSH_KNOWN_HOSTS_NOT_FOUND:
    case SSH_KNOWN_HOSTS_UNKNOWN: {
        HostKeyInfo info;
        info.Host = host;
        info.Port = int(port);
        info.KeyType = type;
        info.Fingerprint = FServerFingerprint;
        info.PinValue = "sftp=" + digest;
        const HostKeyDecision decision = OnUnknownHostKey ? OnUnknownHostKey(info) : HostKeyDecision::Cancel;
        if (d.Stopped)
            throw EAbortError(CanceledText);
        if (decision == HostKeyDecision::Cancel)
            throw ESftpError("Host key not accepted: " + name + " " + FServerFingerprint);
        if (decision == HostKeyDecision::TrustAndSave) {
            char* entry = nullptr;
            if (ssh_session_export_known_hosts_entry(s, &entry) != SSH_OK || entry == nullptr)
                ThrowLibsshError("Cannot write the host key");
            std::string line(entry);
            ssh_string_free_char(entry);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            AppendKnownHostsLine(d.KnownHostsFile, line);
        }
        return;
    }
    case SSH_KNOWN_HOSTS_ERROR:
    default:
        ThrowLibsshError("Cannot check the host key");
    }
}

namespace {

int AuthCallback(const char* /*prompt*/, char* buf, size_t len, int /*echo*/, int /*verify*/, void* userdata)
{
    auto* ask = static_cast<std::function<std::string()>*>(userdata);
    std::string passphrase = (*ask)();
    if (passphrase.empty() || passphrase.size() + 1 > len) {
        WipeString(passphrase);
        return -1;
    }
    std::memcpy(buf, passphrase.c_str(), passphrase.size() + 1);
    WipeString(passphrase);
    return 0;
}

} // namespace

// Asks OnPassphrase on the calling thread and waits for the answer (or a
// stop). Called on the worker thread. "" when the key is to be skipped.
std::string SftpSession::AskPassphrase(const std::string& keyFile)
{
    Impl& d = *FImpl;
    if (!OnPassphrase || d.Context == nullptr)
        return std::string();
    struct Answer {
        bool Done = false;
        std::string Text;
    };
    auto answer = std::make_shared<Answer>();
    QMetaObject::invokeMethod(
        d.Context,
        [this, answer, keyFile] {
            std::string text;
            const bool given = !FImpl->Stopped && OnPassphrase(keyFile, text);
            std::lock_guard<std::mutex> lock(FImpl->AskMutex);
            answer->Text = given ? text : std::string();
            answer->Done = true;
            WipeString(text);
            FImpl->AskCv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(d.AskMutex);
    d.AskCv.wait(lock, [&] { return answer->Done || d.Stopped || d.TimedOut; });
    std::string text = std::move(answer->Text);
    WipeString(answer->Text);
    return answer->Done ? text : std::string();
}

void SftpSession::Login()
{
    Impl& d = *FImpl;
    if (!FConnected || !d.Ssh)
        throw ESftpError("Not connected");
    ssh_session s = d.Ssh.get();
    const std::string user = OptionText(s, SSH_OPTIONS_USER);
    std::function<std::string()> ask = [&] {
        char* file = nullptr;
        std::string name;
        if (ssh_userauth_publickey_auto_get_current_identity(s, &file) == SSH_OK && file != nullptr) {
            name = file;
            ssh_string_free_char(file);
        }
        // A question of its own means the user waits: the silence rule
        // restarts when the answer comes.
        std::string answer = AskPassphrase(name);
        Bump();
        return answer;
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

// Reads remotePath from offset to its end with many requests in flight and
// writes each reply at its place in fd. Runs on the worker thread.
int64_t SftpSession::Pipeline(void* opened, const std::string& path, int64_t offset, int fd)
{
    Impl& d = *FImpl;
    auto* file = static_cast<sftp_file>(opened);
    struct Request {
        int64_t At;
        uint32_t Id;
    };
    std::deque<Request> pending;
    std::vector<char> buffer(ReadChunk);
    int64_t next = offset;
    int64_t written = 0;
    bool atEnd = false;

    auto ask = [&] {
        if (sftp_seek64(file, uint64_t(next)) != 0)
            ThrowSftpError(path);
        const int id = sftp_async_read_begin(file, ReadChunk);
        if (id < 0)
            ThrowSftpError(path);
        pending.push_back({next, uint32_t(id)});
        next += ReadChunk;
    };
    auto take = [&](const Request& r) {
        // Each reply is taken on its own: an end-of-file answer to one
        // request must not hide the replies to the others.
        file->eof = 0;
        const int n = sftp_async_read(file, buffer.data(), ReadChunk, r.Id);
        if (n < 0)
            ThrowSftpError(path);
        Bump();
        return n;
    };
    auto drop = [&] {
        while (!pending.empty()) {
            take(pending.front());
            pending.pop_front();
        }
    };

    while (!atEnd) {
        while (pending.size() < ReadsInFlight)
            ask();
        const Request r = pending.front();
        pending.pop_front();
        const int n = take(r);
        for (int done = 0; done < n;) {
            const ssize_t w = ::pwrite(fd, buffer.data() + done, size_t(n - done), r.At - offset + done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                throw Exception(std::string("Cannot write file. ") + std::strerror(errno));
            done += int(w);
        }
        written += n;
        d.Done = written;
        if (n == 0) {
            atEnd = true;
            drop();
        } else if (uint32_t(n) < ReadChunk) {
            // A short reply: the requests behind it asked for places after
            // a gap. They are dropped and reading goes on where this one
            // ended (at the file's end, the next reply is end-of-file).
            drop();
            next = r.At + n;
        }
        if (!d.ProgressPosted.exchange(true) && d.Context != nullptr)
            QMetaObject::invokeMethod(
                d.Context,
                [this] {
                    FImpl->ProgressPosted = false;
                    if (OnProgress)
                        OnProgress(FImpl->Done, FImpl->Total);
                },
                Qt::QueuedConnection);
    }
    return written;
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
