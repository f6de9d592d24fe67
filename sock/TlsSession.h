// TLS on a connected non-blocking socket: the client side of one TLS
// connection (OpenSSL), its certificate check and the certificate's SHA-256
// fingerprint. Every step is one non-blocking attempt that says what it
// needs to go on (readable or writable socket); the socket component does
// the waiting. TLS 1.2 or newer, the library's default ciphers.
#pragma once

#include <memory>
#include <string>

// The security a connection asks for.
enum class TTlsMode { Off, Verify, Pin };

struct TTlsSecurity {
    TTlsMode Mode = TTlsMode::Off;
    // Pin: the SHA-256 fingerprint of the accepted certificate, 64 lower-case
    // hexadecimal digits.
    std::string Fingerprint;

    // Reads a profile's security field: empty = Off, "tls" (any letter case)
    // = Verify, 64 hexadecimal digits (any case, no separators) = Pin.
    // False for anything else, security unchanged. Does not throw.
    static bool Parse(const std::string& text, TTlsSecurity& security);
};

struct ssl_ctx_st;
struct ssl_st;

class TlsSession {
public:
    // What a step needs before it is tried again, or how it ended.
    enum class Step { Done, WantRead, WantWrite, Closed, Failed };

    // Prepares a client connection over fd for host (a name or a dotted
    // address, checked against the certificate in Verify mode). resumeFrom:
    // an established connection to the same server whose context is shared
    // and whose TLS session is offered for resumption (FTP data connections).
    // Throws Exception when the library cannot set the connection up.
    TlsSession(int fd, const TTlsSecurity& security, const std::string& host,
               const TlsSession* resumeFrom = nullptr);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // One attempt to go on with the handshake; Failed: see FailureText.
    Step Handshake();
    // After the handshake: empty when the certificate is accepted, else the
    // message that says why not, with the certificate's fingerprint.
    std::string CheckPeer() const;
    // Up to length decrypted bytes into data; got := their number.
    // Closed: the peer ended the connection (close_notify or plain close:
    // see ClosedCleanly).
    Step Read(char* data, size_t length, size_t& got);
    // True once the peer's close_notify arrived; false while the connection
    // is open and after a close without it. Does not throw.
    bool ClosedCleanly() const;
    // Encrypts and sends up to length bytes; put := how many were taken.
    Step Write(const char* data, size_t length, size_t& put);
    // Sends close_notify once, without waiting for the peer's. Does not throw.
    void Shutdown();
    // Decrypted bytes held inside the library, not yet read.
    bool HasPending() const;
    // True when the connection resumed an earlier TLS session.
    bool Resumed() const;
    // The library's reason for the last Failed step.
    const std::string& FailureText() const { return FFailure; }
    // SHA-256 of the server's certificate, 64 lower-case hexadecimal digits;
    // empty before the handshake or without a certificate.
    std::string PeerFingerprint() const;

private:
    Step Outcome(int result, const char* operation);

    std::shared_ptr<ssl_ctx_st> FContext;
    ssl_st* FSsl = nullptr;
    TTlsSecurity FSecurity;
    std::string FFailure;
    bool FShutdownSent = false;
    bool FEndedWithoutClosure = false;
};
