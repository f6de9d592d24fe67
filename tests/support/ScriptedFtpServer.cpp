#include "tests/support/ScriptedFtpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono;

namespace {

// Time slice of every blocking wait, so the destructor's stop request is
// noticed quickly.
constexpr milliseconds Slice{20};

int ListenOnLoopback(uint16_t& port, int receiveBuffer, bool ipv6)
{
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("ScriptedFtpServer: socket failed");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error(ipv6 ? "ScriptedFtpServer: cannot listen on ::1"
                                      : "ScriptedFtpServer: cannot listen on 127.0.0.1");
    }
    port = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return fd;
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

ScriptedFtpServer::ScriptedFtpServer(milliseconds stepLimit, Family family)
    : FStepLimit(stepLimit), FFamily(family)
{
    const bool ipv6 = family == Family::IPv6;
    FListener = ListenOnLoopback(FPort, 0, ipv6);
    try {
        FDataListener = ListenOnLoopback(FDataPort, 4096, ipv6);
    } catch (...) {
        CloseFd(FListener);
        throw;
    }
    FThread = std::thread([this] { Run(); });
}

ScriptedFtpServer::~ScriptedFtpServer()
{
    FStop = true;
    if (FThread.joinable())
        FThread.join();
    EndTls(FDataTls, false);
    EndTls(FControlTls, false);
    if (FTlsContext)
        SSL_CTX_free(FTlsContext);
    CloseFd(FData);
    CloseFd(FControl);
    CloseFd(FDataListener);
    CloseFd(FListener);
}

std::string ScriptedFtpServer::PasvReply(uint16_t port, const std::string& address)
{
    return "227 Entering Passive Mode (" + address + "," + std::to_string(port / 256) + ","
        + std::to_string(port % 256) + ")\r\n";
}

std::string ScriptedFtpServer::EpsvReply(uint16_t port)
{
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n";
}

ScriptedFtpServer& ScriptedFtpServer::ScriptEpsv()
{
    FScriptEpsv = true;
    return *this;
}

ScriptedFtpServer& ScriptedFtpServer::Add(Step step)
{
    std::lock_guard<std::mutex> guard(FLock);
    FSteps.push_back(std::move(step));
    FScriptDone = false;
    return *this;
}

ScriptedFtpServer& ScriptedFtpServer::Send(std::string bytes) { return Add(Step{Kind::Send, std::move(bytes), milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::Reply(std::string bytes) { return Add(Step{Kind::Reply, std::move(bytes), milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::ResetData() { return Add(Step{Kind::ResetData, {}, milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::AcceptData() { return Add(Step{Kind::AcceptData, {}, milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::ConnectData() { return Add(Step{Kind::ConnectData, {}, milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::SendData(std::string bytes) { return Add(Step{Kind::SendData, std::move(bytes), milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::ReceiveData() { return Add(Step{Kind::ReceiveData, {}, milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::CloseData() { return Add(Step{Kind::CloseData, {}, milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::CutData() { return Add(Step{Kind::CutData, {}, milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::SecureControl() { return Add(Step{Kind::SecureControl, {}, milliseconds(0), {}}); }
ScriptedFtpServer& ScriptedFtpServer::SecureData() { return Add(Step{Kind::SecureData, {}, milliseconds(0), {}}); }

ScriptedFtpServer& ScriptedFtpServer::RenegotiateData() { return Add(Step{Kind::RenegotiateData, {}, milliseconds(0), {}}); }

std::string ScriptedFtpServer::Renegotiation() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FRenegotiation;
}

void ScriptedFtpServer::UseTls(const std::string& certificateFile, const std::string& keyFile, bool tls12Only)
{
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context)
        throw std::runtime_error("ScriptedFtpServer: no TLS context");
    if (tls12Only)
        SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(context);
        throw std::runtime_error("ScriptedFtpServer: cannot load " + certificateFile);
    }
    FTlsContext = context;
}

// The server's side of a handshake on a blocking socket, bounded by the
// step limit through the socket's own time-outs.
bool ScriptedFtpServer::Secure(int fd, ssl_st*& tls)
{
    if (!FTlsContext || fd < 0)
        return false;
    timeval limit{};
    limit.tv_sec = long(FStepLimit.count() / 1000);
    limit.tv_usec = long(FStepLimit.count() % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    EndTls(tls, false);
    tls = SSL_new(FTlsContext);
    if (!tls || SSL_set_fd(tls, fd) != 1 || SSL_accept(tls) != 1) {
        ERR_clear_error();
        EndTls(tls, false);
        return false;
    }
    return true;
}

ssl_st* ScriptedFtpServer::TlsOf(int fd) const
{
    if (fd >= 0 && fd == FControl)
        return FControlTls;
    if (fd >= 0 && fd == FData)
        return FDataTls;
    return nullptr;
}

void ScriptedFtpServer::EndTls(ssl_st*& tls, bool notify)
{
    if (!tls)
        return;
    if (notify)
        SSL_shutdown(tls);
    SSL_free(tls);
    ERR_clear_error();
    tls = nullptr;
}

// One receive, through TLS where the connection is protected.
ssize_t ScriptedFtpServer::ReceiveSome(int fd, char* into, size_t size)
{
    if (ssl_st* tls = TlsOf(fd)) {
        const int n = SSL_read(tls, into, int(size));
        ERR_clear_error();
        return n > 0 ? n : (SSL_get_error(tls, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
    }
    return ::recv(fd, into, size, 0);
}

ScriptedFtpServer& ScriptedFtpServer::CloseControl() { return Add(Step{Kind::CloseControl, {}, milliseconds(0), {}}); }

ScriptedFtpServer& ScriptedFtpServer::Pause(milliseconds duration)
{
    return Add(Step{Kind::Pause, {}, duration, {}});
}

ScriptedFtpServer& ScriptedFtpServer::Call(std::function<void()> action)
{
    return Add(Step{Kind::Call, {}, milliseconds(0), std::move(action)});
}

std::vector<std::string> ScriptedFtpServer::Transcript() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FTranscript;
}

std::string ScriptedFtpServer::ReceivedData() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FReceived;
}

std::string ScriptedFtpServer::Error() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FError;
}

bool ScriptedFtpServer::WaitScriptDone(milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(FLock);
    return FChanged.wait_for(guard, limit, [this] { return FScriptDone; });
}

void ScriptedFtpServer::Record(const std::string& line)
{
    std::lock_guard<std::mutex> guard(FLock);
    FTranscript.push_back(line);
}

void ScriptedFtpServer::Fail(const std::string& error)
{
    std::lock_guard<std::mutex> guard(FLock);
    if (FError.empty())
        FError = error;
}

bool ScriptedFtpServer::WaitReadable(int fd, milliseconds limit)
{
    auto deadline = steady_clock::now() + limit;
    while (!FStop) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, int(Slice.count()));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (steady_clock::now() >= deadline)
            return false;
    }
    return false;
}

// Reads one line ending in LF from the control connection; the line is
// returned without CR LF. False when the client closed or went silent.
bool ScriptedFtpServer::ReadCommand(std::string& line)
{
    for (;;) {
        auto lf = FPending.find('\n');
        if (lf != std::string::npos) {
            line = FPending.substr(0, lf);
            FPending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        if (FControl < 0)
            return false;
        if (!(FControlTls && SSL_pending(FControlTls) > 0) && !WaitReadable(FControl, FStepLimit))
            return false;
        char buf[4096];
        ssize_t n = ReceiveSome(FControl, buf, sizeof buf);
        if (n <= 0)
            return false;
        FPending.append(buf, size_t(n));
    }
}

bool ScriptedFtpServer::ReadScriptedCommand(std::string& line)
{
    for (;;) {
        if (!ReadCommand(line))
            return false;
        if (FScriptEpsv || line != "EPSV")
            return true;
        Record(line);
        if (!SendAll(FControl, "500 'EPSV': command not understood.\r\n"))
            return false;
    }
}

bool ScriptedFtpServer::SendAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    auto deadline = steady_clock::now() + FStepLimit;
    while (sent < bytes.size()) {
        if (FStop || steady_clock::now() >= deadline)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, int(Slice.count())) <= 0)
            continue;
        if (ssl_st* tls = TlsOf(fd)) {
            const int n = SSL_write(tls, bytes.data() + sent, int(std::min<size_t>(bytes.size() - sent, 1 << 20)));
            ERR_clear_error();
            if (n <= 0)
                return false;
            sent += size_t(n);
            continue;
        }
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        sent += size_t(n);
    }
    return true;
}

bool ScriptedFtpServer::RunStep(const Step& step)
{
    switch (step.What) {
    case Kind::Send:
        if (!SendAll(FControl, step.Bytes))
            return Fail("could not send " + step.Bytes), false;
        return true;
    case Kind::Reply: {
        std::string line;
        if (!ReadScriptedCommand(line))
            return Fail("no command came for the reply " + step.Bytes), false;
        Record(line);
        if (!step.Bytes.empty() && !SendAll(FControl, step.Bytes))
            return Fail("could not send " + step.Bytes), false;
        return true;
    }
    case Kind::AcceptData: {
        if (!WaitReadable(FDataListener, FStepLimit))
            return Fail("the client did not open the data connection"), false;
        EndTls(FDataTls, false);
        CloseFd(FData);
        FData = ::accept4(FDataListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (FData < 0)
            return Fail("accept of the data connection failed"), false;
        return true;
    }
    case Kind::ConnectData: {
        std::string port, eprt;
        for (const auto& command : Transcript()) {
            if (command.rfind("PORT ", 0) == 0)
                port = command.substr(5), eprt.clear();
            if (command.rfind("EPRT ", 0) == 0)
                eprt = command.substr(5), port.clear();
        }
        sockaddr_storage addr{};
        socklen_t length = 0;
        if (!eprt.empty()) {
            // "|2|address|port|" (any delimiter).
            const char d = eprt[0];
            const size_t a = eprt.find(d, 1), b = eprt.find(d, a + 1), c = eprt.find(d, b + 1);
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
            if (a == std::string::npos || b == std::string::npos || c == std::string::npos ||
                eprt.substr(1, a - 1) != "2" ||
                ::inet_pton(AF_INET6, eprt.substr(a + 1, b - a - 1).c_str(), &v6->sin6_addr) != 1)
                return Fail("no usable EPRT command: " + eprt), false;
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(uint16_t(std::strtoul(eprt.substr(b + 1, c - b - 1).c_str(), nullptr, 10)));
            length = sizeof *v6;
        } else {
            unsigned h1, h2, h3, h4, p1, p2;
            if (std::sscanf(port.c_str(), "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
                return Fail("no usable PORT command: " + port), false;
            auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl((h1 << 24) | (h2 << 16) | (h3 << 8) | h4);
            v4->sin_port = htons(uint16_t(p1 * 256 + p2));
            length = sizeof *v4;
        }
        EndTls(FDataTls, false);
        CloseFd(FData);
        FData = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(FData, reinterpret_cast<sockaddr*>(&addr), length) != 0)
            return Fail("connect to the PORT address failed"), false;
        return true;
    }
    case Kind::SendData:
        if (FData < 0 || !SendAll(FData, step.Bytes))
            return Fail("could not send on the data connection"), false;
        return true;
    case Kind::ReceiveData: {
        if (FData < 0)
            return Fail("no data connection to receive from"), false;
        for (;;) {
            if (!WaitReadable(FData, FStepLimit))
                return Fail("the data connection was not closed by the client"), false;
            char buf[65536];
            ssize_t n = ReceiveSome(FData, buf, sizeof buf);
            if (n == 0)
                return true;
            if (n < 0)
                return Fail("receiving data failed"), false;
            std::lock_guard<std::mutex> guard(FLock);
            FReceived.append(buf, size_t(n));
        }
    }
    case Kind::CloseData:
        EndTls(FDataTls, true);
        CloseFd(FData);
        return true;
    case Kind::CutData:
        EndTls(FDataTls, false);
        CloseFd(FData);
        return true;
    case Kind::SecureControl:
        if (!Secure(FControl, FControlTls))
            return Fail("TLS handshake on the control connection failed"), false;
        return true;
    case Kind::SecureData:
        if (!Secure(FData, FDataTls))
            return Fail("TLS handshake on the data connection failed"), false;
        return true;
    case Kind::RenegotiateData: {
        if (!FDataTls)
            return Fail("no protected data connection to renegotiate"), false;
        timeval limit{2, 0};
        ::setsockopt(FData, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string outcome;
        if (SSL_renegotiate(FDataTls) != 1 || SSL_do_handshake(FDataTls) != 1) {
            outcome = "the request could not be sent";
        } else {
            // The client's answer comes in with the next read: a new
            // handshake, or an alert that declines it.
            char byte;
            const int n = SSL_read(FDataTls, &byte, 1);
            const unsigned long code = ERR_peek_last_error();
            if (n <= 0 && ERR_GET_REASON(code) == SSL_R_NO_RENEGOTIATION)
                outcome = "refused";
            else if (SSL_renegotiate_pending(FDataTls) == 0)
                outcome = "accepted";
            else
                outcome = code ? ERR_reason_error_string(code) : "no answer";
        }
        ERR_clear_error();
        std::lock_guard<std::mutex> guard(FLock);
        FRenegotiation = outcome;
        return true;
    }
    case Kind::ResetData: {
        if (FData >= 0) {
            linger hard{1, 0};
            ::setsockopt(FData, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        EndTls(FDataTls, false);
        CloseFd(FData);
        return true;
    }
    case Kind::Pause: {
        auto end = steady_clock::now() + step.Duration;
        while (!FStop && steady_clock::now() < end)
            std::this_thread::sleep_for(std::min<milliseconds>(
                Slice, duration_cast<milliseconds>(end - steady_clock::now()) + milliseconds(1)));
        return !FStop;
    }
    case Kind::CloseControl:
        EndTls(FControlTls, false);
        CloseFd(FControl);
        return true;
    case Kind::Call:
        step.Action();
        return true;
    }
    return false;
}

void ScriptedFtpServer::Run()
{
    if (!WaitReadable(FListener, hours(1)))
        return;
    FControl = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (FControl < 0)
        return Fail("accept of the control connection failed");
    FClientConnected = true;

    for (size_t i = 0;; ++i) {
        Step step;
        {
            std::lock_guard<std::mutex> guard(FLock);
            if (i >= FSteps.size()) {
                FScriptDone = true;
                FChanged.notify_all();
                break;
            }
            step = FSteps[i];
        }
        if (FStop || !RunStep(step)) {
            std::lock_guard<std::mutex> guard(FLock);
            FScriptDone = true;
            FChanged.notify_all();
            return;
        }
    }

    // Past the script: record whatever else comes and refuse it.
    std::string line;
    while (!FStop && FControl >= 0) {
        if (!ReadScriptedCommand(line)) {
            if (FStop || !WaitReadable(FControl, milliseconds(0)))
                continue;
            break; // the client closed
        }
        Record(line);
        SendAll(FControl, "500 Unscripted command\r\n");
    }
}
