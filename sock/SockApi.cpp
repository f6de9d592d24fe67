#include "sock/SockApi.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace SockApi {
namespace {

thread_local int lastError = 0;

// Records the current errno as the last error and answers -1.
int Fail()
{
    lastError = MapErrno(errno);
    return -1;
}

} // namespace

int LastError()
{
    return lastError;
}

int MapErrno(int error)
{
    switch (error) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: case EPIPE: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default:
        // Outside the table, yet above 10000 so that it is still raised;
        // the text then names the number ("Unknown Error No. 20005").
        return 20000 + error;
    }
}

int Socket(int protocol, int family)
{
    int s = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (s < 0)
        return Fail();
    // An IPv6 socket speaks IPv6 only: IPv4 peers get sockets of their own,
    // so an address is never seen in its IPv4-mapped form.
    int one = 1;
    if (family == AF_INET6 && ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) < 0) {
        const int r = Fail();
        ::close(s);
        return r;
    }
    return s;
}

int Family(int s)
{
    int family = AF_UNSPEC;
    socklen_t length = sizeof family;
    if (::getsockopt(s, SOL_SOCKET, SO_DOMAIN, &family, &length) < 0)
        return AF_UNSPEC;
    return family;
}

int Close(int s)
{
    // Linux releases the descriptor even when close reports EINTR: no retry.
    return ::close(s) < 0 ? Fail() : 0;
}

int Connect(int s, const sockaddr* address, socklen_t length)
{
    int r;
    do {
        r = ::connect(s, address, length);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && errno == EINPROGRESS) {
        lastError = WouldBlock;
        return -1;
    }
    return r < 0 ? Fail() : 0;
}

int Dissolve(int s)
{
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    return ::connect(s, &unspecified, sizeof unspecified) < 0 ? Fail() : 0;
}

ssize_t Recv(int s, void* data, size_t length, int flags)
{
    ssize_t n;
    do {
        n = ::recv(s, data, length, flags | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : n;
}

ssize_t Send(int s, const void* data, size_t length)
{
    ssize_t n;
    do {
        n = ::send(s, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : n;
}

ssize_t SpliceFromSocket(int s, int pipeIn, size_t length, bool& refused)
{
    ssize_t n;
    do {
        n = ::splice(s, nullptr, pipeIn, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    refused = n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP);
    return n < 0 ? Fail() : n;
}

int Bind(int s, const sockaddr* address, socklen_t length)
{
    return ::bind(s, address, length) < 0 ? Fail() : 0;
}

int Listen(int s, int backlog)
{
    return ::listen(s, backlog) < 0 ? Fail() : 0;
}

int Accept(int s, sockaddr_storage* peer)
{
    socklen_t length = sizeof *peer;
    int r;
    do {
        r = ::accept4(s, reinterpret_cast<sockaddr*>(peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? Fail() : r;
}

int GetSockName(int s, sockaddr_storage* address)
{
    socklen_t length = sizeof *address;
    return ::getsockname(s, reinterpret_cast<sockaddr*>(address), &length) < 0 ? Fail() : 0;
}

int GetPeerName(int s, sockaddr_storage* address)
{
    socklen_t length = sizeof *address;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(address), &length) < 0 ? Fail() : 0;
}

int SetLinger(int s, bool on, int seconds)
{
    linger value{on ? 1 : 0, seconds};
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) < 0 ? Fail() : 0;
}

int SetReceiveLowWater(int s, int bytes)
{
    return ::setsockopt(s, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) < 0 ? Fail() : 0;
}

int PendingError(int s)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    return MapErrno(error);
}

bool PeerClosed(int s)
{
    pollfd p{s, POLLRDHUP, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

} // namespace SockApi
