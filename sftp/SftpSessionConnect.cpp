// SftpSession: look-up, connecting (directly or through a ProxyCommand),
// the key exchange and the host-key check.
#include "sftp/SftpSession.h"
#include "sftp/SftpSessionImpl.h"

#include "sftp/HostKey.h"
#include "sftp/KnownHostsFile.h"
#include "sftp/SessionKnownHosts.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace SftpSessionInternal;

std::string SftpSessionInternal::OptionText(ssh_session s, ssh_options_e option)
{
    char* value = nullptr;
    if (ssh_options_get(s, option, &value) != SSH_OK || value == nullptr)
        return std::string();
    std::string text(value);
    ssh_string_free_char(value);
    return text;
}

namespace {

// Ciphers tried first: AES-GCM runs on the processor's AES instructions and
// costs the least CPU at both ends; the rest is libssh's usual choice.
constexpr const char* PreferredCiphers =
    "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,"
    "aes128-ctr,aes192-ctr,aes256-ctr";

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
        while (::read(d.Wake[0], drain, sizeof drain) > 0) { }
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
                sockaddr_storage sa{};
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
                        const int n =
                            ::poll(fds, d.Wake[0] >= 0 ? 2 : 1, int(std::min<int64_t>(left, 1 << 30)));
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
                throw ESftpError(
                    std::string(lastError == ECONNREFUSED ? "Connection refused" : std::strerror(lastError)) +
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
