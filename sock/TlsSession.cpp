// TlsSession: OpenSSL's client side on a non-blocking socket.
#include "sock/TlsSession.h"

#include "sock/Exception.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// The context of a control connection; its data connections share it, so
// that they can resume its session.
std::shared_ptr<SSL_CTX> NewContext(const TTlsSecurity& security)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context)
        throw Exception("TLS: OpenSSL cannot make a context");
    std::shared_ptr<SSL_CTX> holder(context, SSL_CTX_free);
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // Partial writes let a send loop move on with what was taken; the write
    // buffer may move between the attempts of one write.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A renegotiation asked for in the middle of a connection is refused:
    // nothing this program does needs one, and it only opens ways to attack.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    // The certificate is judged after the handshake (CheckPeer), so that a
    // refusal can name the reason and the fingerprint; in Verify mode the
    // library still checks the chain and the host name and records the
    // result.
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    // The system's trusted certificates (SSL_CERT_FILE / SSL_CERT_DIR
    // override the places).
    if (security.Mode == TTlsMode::Verify && SSL_CTX_set_default_verify_paths(context) != 1)
        throw Exception("TLS: the trusted certificates cannot be loaded");
    return holder;
}

// The peer's TCP close came without close_notify: OpenSSL 3 reports it as
// an SSL error with its own reason, older versions as a system-call error
// without errno.
bool UnexpectedEnd(int error, unsigned long code)
{
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
    if (error == SSL_ERROR_SSL && ERR_GET_LIB(code) == ERR_LIB_SSL
        && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        return true;
#endif
    return error == SSL_ERROR_SYSCALL && code == 0 && errno == 0;
}

// The IP address that host names, in the form the certificate check reads
// ("192.0.2.1", "2001:db8::1": brackets and an IPv6 zone taken off); empty
// when host is a name.
std::string IpAddressOf(const std::string& host)
{
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    bare = bare.substr(0, bare.find('%'));
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, bare.c_str(), &v4) == 1 || inet_pton(AF_INET6, bare.c_str(), &v6) == 1)
        return bare;
    return {};
}

} // namespace

bool TTlsSecurity::Parse(const std::string& text, TTlsSecurity& security)
{
    if (text.empty()) {
        security = TTlsSecurity{};
        return true;
    }
    std::string lower;
    std::transform(text.begin(), text.end(), std::back_inserter(lower), Lower);
    if (lower == "tls") {
        security = TTlsSecurity{TTlsMode::Verify, {}};
        return true;
    }
    if (text.size() == 64 && std::all_of(text.begin(), text.end(), IsHexDigit)) {
        security = TTlsSecurity{TTlsMode::Pin, lower};
        return true;
    }
    return false;
}

TlsSession::TlsSession(int fd, const TTlsSecurity& security, const std::string& host,
                       const TlsSession* resumeFrom)
    : FSecurity(security)
{
    FContext = resumeFrom ? resumeFrom->FContext : NewContext(security);
    FSsl = SSL_new(FContext.get());
    if (!FSsl)
        throw Exception("TLS: OpenSSL cannot make a connection");
    // Whatever the socket holds is read at once, several records per read
    // (up to 128 KiB): fewer system calls per transferred byte.
    SSL_set_read_ahead(FSsl, 1);
    SSL_set_default_read_buffer_len(FSsl, 128 * 1024);
    if (SSL_set_fd(FSsl, fd) != 1) {
        SSL_free(FSsl);
        throw Exception("TLS: OpenSSL cannot take the socket");
    }
    // An address is checked against the certificate's IP address entries;
    // a name against its DNS names (and sent as SNI, which takes no address).
    const std::string ip = IpAddressOf(host);
    if (!ip.empty()) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), ip.c_str()) != 1) {
            SSL_free(FSsl);
            throw Exception("TLS: OpenSSL cannot take the address " + ip);
        }
    } else {
        SSL_set_tlsext_host_name(FSsl, host.c_str());
        SSL_set1_host(FSsl, host.c_str());
    }
    if (resumeFrom && resumeFrom->FSsl) {
        if (SSL_SESSION* session = SSL_get1_session(resumeFrom->FSsl)) {
            if (SSL_SESSION_is_resumable(session))
                SSL_set_session(FSsl, session);
            SSL_SESSION_free(session);
        }
    }
}

TlsSession::~TlsSession()
{
    SSL_free(FSsl);
}

TlsSession::Step TlsSession::Outcome(int result, const char* operation)
{
    const int error = SSL_get_error(FSsl, result);
    switch (error) {
    case SSL_ERROR_NONE: return Step::Done;
    case SSL_ERROR_WANT_READ: return Step::WantRead;
    case SSL_ERROR_WANT_WRITE: return Step::WantWrite;
    case SSL_ERROR_ZERO_RETURN: return Step::Closed;
    default: break;
    }
    const unsigned long code = ERR_peek_last_error();
    // The peer's TCP close without close_notify ends the connection like a
    // close; ClosedCleanly() tells the two apart for a reader that must know
    // whether it got everything (anyone on the path can forge a TCP close).
    if (UnexpectedEnd(error, code)) {
        FEndedWithoutClosure = true;
        ERR_clear_error();
        return Step::Closed;
    }
    if (const char* reason = code ? ERR_reason_error_string(code) : nullptr)
        FFailure = reason;
    else if (error == SSL_ERROR_SYSCALL && errno != 0)
        FFailure = std::strerror(errno);
    else
        FFailure = std::string(operation) + " failed";
    ERR_clear_error();
    return Step::Failed;
}

TlsSession::Step TlsSession::Handshake()
{
    ERR_clear_error();
    errno = 0;
    return Outcome(SSL_connect(FSsl), "handshake");
}

std::string TlsSession::PeerFingerprint() const
{
    X509* certificate = SSL_get0_peer_certificate(FSsl);
    if (!certificate)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

std::string TlsSession::CheckPeer() const
{
    const std::string fingerprint = PeerFingerprint();
    if (fingerprint.empty())
        return "TLS: サーバーが証明書を示しません";
    if (FSecurity.Mode == TTlsMode::Pin) {
        if (fingerprint != FSecurity.Fingerprint)
            return "TLS: 証明書の指紋が一致しません SHA-256 " + fingerprint;
        return {};
    }
    const long result = SSL_get_verify_result(FSsl);
    if (result != X509_V_OK)
        return std::string("TLS: 証明書を検証できません (") + X509_verify_cert_error_string(result) +
               ") SHA-256 " + fingerprint;
    return {};
}

TlsSession::Step TlsSession::Read(char* data, size_t length, size_t& got)
{
    got = 0;
    ERR_clear_error();
    errno = 0;
    const int n = SSL_read(FSsl, data, int(std::min<size_t>(length, INT_MAX)));
    if (n > 0) {
        got = size_t(n);
        return Step::Done;
    }
    return Outcome(n, "read");
}

TlsSession::Step TlsSession::Write(const char* data, size_t length, size_t& put)
{
    put = 0;
    ERR_clear_error();
    errno = 0;
    const int n = SSL_write(FSsl, data, int(std::min<size_t>(length, INT_MAX)));
    if (n > 0) {
        put = size_t(n);
        return Step::Done;
    }
    return Outcome(n, "write");
}

void TlsSession::Shutdown()
{
    if (FShutdownSent || !SSL_is_init_finished(FSsl))
        return;
    FShutdownSent = true;
    ERR_clear_error();
    // One attempt: the alert goes out if the socket takes it; the peer's
    // answer is not awaited.
    SSL_shutdown(FSsl);
    ERR_clear_error();
}

bool TlsSession::ClosedCleanly() const
{
    return !FEndedWithoutClosure && (SSL_get_shutdown(FSsl) & SSL_RECEIVED_SHUTDOWN) != 0;
}

bool TlsSession::HasPending() const
{
    return SSL_has_pending(FSsl) == 1;
}

bool TlsSession::Resumed() const
{
    return SSL_session_reused(FSsl) == 1;
}
