// TKZSock: TLS on the component's socket: the handshake, and the TLS forms
// of the buffered input and output. They wait like the plain forms (in the
// event loop, for the readiness the library asks for), keep their time-out
// and cancel rules and their failure texts; decrypted input that no reader
// has taken yet waits in FTlsInput.
#include "sock/TKZSock.h"
#include "sock/TKZSockInternal.h"

#include "sock/SockApi.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

using namespace TKZSockInternal;

namespace {

// The library writes to the socket with write(), which raises SIGPIPE when
// the peer has gone; the program takes that as an error return instead.
void IgnoreBrokenPipes()
{
    static const bool ignored = [] {
        struct sigaction action {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGPIPE, &action, nullptr) == 0;
    }();
    (void)ignored;
}

constexpr const char* ClosedByPeerText = "TLS: connection closed by peer";

// Bytes a TLS capture gathers before it writes them to the file: several
// records (16 KiB each) per write.
constexpr size_t CaptureChunk = 256 * 1024;

} // namespace

void TKZSock::StartTls(const TTlsSecurity& security, const TKZSock* resumeFrom)
{
    ReportStatus(4, "TLS Handshake");
    IgnoreBrokenPipes();
    const int s = FSocketHandle;
    auto session = std::make_unique<TlsSession>(s, security, Host,
                                                resumeFrom ? resumeFrom->FTls.get() : nullptr);
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    for (;;) {
        const TlsSession::Step step = session->Handshake();
        ReadTaken(s);
        if (step == TlsSession::Step::Done)
            break;
        if (step == TlsSession::Step::Failed)
            throw ESockError("TLS: ハンドシェイク失敗 (" + session->FailureText() + ")");
        if (step == TlsSession::Step::Closed)
            throw ESockError("TLS: ハンドシェイク失敗 (connection closed by server)");
        if (FCanceled)
            break;
        if (step == TlsSession::Step::WantWrite)
            WaitForWrite();
        else
            WaitForRead();
        // A close noticed meanwhile replaced the socket under the session.
        if (FSocketHandle != s)
            throw ESockError("TLS: ハンドシェイク失敗 (connection closed by server)");
        if (FCanceled)
            break;
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError(FTimedOut ? TlsTimedOutText : TlsCanceledText);
    }
    const std::string refusal = session->CheckPeer();
    if (!refusal.empty())
        throw ESockError(refusal);
    FTls = std::move(session);
    FTlsInput.clear();
    FTlsClosedCleanly = false;
    ReportStatus(4, FTls->Resumed() ? "TLS Session Resumed" : "TLS Established");
}

// Before the socket closes: close_notify where the socket still takes it,
// then whatever the peer sent that nobody read (session tickets during an
// upload) is discarded. Closing with unread input would reset the
// connection, and the peer's system would drop data it has not read yet:
// the end of an upload.
void TKZSock::EndTls()
{
    FTlsInput.clear();
    if (!FTls)
        return;
    FTlsClosedCleanly = FTls->ClosedCleanly();
    FTls->Shutdown();
    FTls.reset();
    while (SockApi::Recv(FSocketHandle, Buffer.data(), BufferSize, 0) > 0) {
    }
}

void TKZSock::FinishTls()
{
    if (!FTls)
        return;
    ReportStatus(4, "TLS Shutdown");
    FTls->Shutdown();
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    try {
        for (;;) {
            const TlsSession::Step step = TlsFill();
            FTlsInput.clear();
            if (step == TlsSession::Step::Closed || FCanceled)
                break;
            if (step != TlsSession::Step::Done)
                TlsWait(step);
        }
    } catch (const Exception&) {
        // A peer that resets instead has read all it wanted.
    }
    FCanceled = false;
}

// One read attempt; what it decrypts is appended to FTlsInput. Throws
// ESockError "TLS: <reason>" when the connection fails.
TlsSession::Step TKZSock::TlsFill()
{
    // A readiness check may have met the peer's close and closed the socket
    // while a reader waited: the reader then meets the close.
    if (!FTls)
        return TlsSession::Step::Closed;
    // Not Buffer: a check run from the event loop may fill while a send
    // still works from Buffer. One record at most comes per read.
    char record[16384];
    size_t got = 0;
    const TlsSession::Step step = FTls->Read(record, sizeof record, got);
    ReadTaken(FSocketHandle);
    if (step == TlsSession::Step::Failed)
        RaiseTlsError(FTls->FailureText());
    FTlsInput.append(record, got);
    return step;
}

void TKZSock::TlsWait(TlsSession::Step step)
{
    // A readiness check run since the last read (between chunks) may have
    // taken the socket's read notification; the wait needs it back, or data
    // already there would never wake it.
    ReadTaken(FSocketHandle);
    if (step == TlsSession::Step::WantWrite)
        WaitForWrite();
    else
        WaitForRead();
}

void TKZSock::RaiseTlsError(const std::string& reason)
{
    std::string message = "TLS: " + reason;
    if (OnError && !FDestroying)
        OnError(this, 0, message);
    throw ESockError(message);
}

// Sends all of data, waiting for room; false when a cancel ended it. With
// eachChunk, every piece taken counts as progress (BytesSent, OnPacketSent,
// time-out restarted), as SendFile does.
bool TKZSock::TlsSendAll(const char* data, size_t length, bool eachChunk)
{
    while (length > 0) {
        if (FCanceled)
            return false;
        if (!FTls)
            throw ESockError(ClosedByPeerText);
        size_t put = 0;
        const TlsSession::Step step = FTls->Write(data, length, put);
        ReadTaken(FSocketHandle);
        if (step == TlsSession::Step::Failed)
            RaiseTlsError(FTls->FailureText());
        if (step == TlsSession::Step::Closed)
            throw ESockError(ClosedByPeerText);
        if (put > 0) {
            data += put;
            length -= put;
            if (eachChunk) {
                FBytesSent += int64_t(put);
                if (OnPacketSent)
                    OnPacketSent(this);
                TimerOn();
            }
            PumpBetweenChunks();
        } else {
            TlsWait(step);
        }
    }
    return !FCanceled;
}

void TKZSock::TlsSendBuffer(const char* data, size_t length)
{
    if (!FCanceled)
        TlsSendAll(data, length, false);
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TKZSock::TlsRead(int count, std::string& text)
{
    if (count == 0) {
        if (FTlsInput.empty())
            TlsFill();
        if (FTlsInput.size() >= static_cast<size_t>(BufferSize))
            throw ESockError("Read: 65536 or more bytes pending, nothing taken");
        text = std::move(FTlsInput);
        FTlsInput.clear();
        return;
    }
    while (FTlsInput.size() < static_cast<size_t>(count)) {
        const TlsSession::Step step = TlsFill();
        if (step == TlsSession::Step::Closed) {
            text.clear();
            return;
        }
        if (step == TlsSession::Step::Done)
            continue;
        TlsWait(step);
        if (FCanceled) {
            FCanceled = false;
            throw EAbortError("Socket send aborted");
        }
    }
    text = FTlsInput.substr(0, static_cast<size_t>(count));
    FTlsInput.erase(0, static_cast<size_t>(count));
}

void TKZSock::TlsReadLn(std::string& line)
{
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    // Each byte is searched once: the next search starts where the last
    // one ended.
    size_t searched = 0;
    for (;;) {
        const size_t lf = FTlsInput.find('\n', searched);
        if (lf != std::string::npos && lf < static_cast<size_t>(BufferSize)) {
            line = FTlsInput.substr(0, lf + 1);
            FTlsInput.erase(0, lf + 1);
            return;
        }
        if (FTlsInput.size() >= static_cast<size_t>(BufferSize))
            throw ESockError("ReadLn: line longer than 65536 bytes refused, nothing taken");
        searched = FTlsInput.size();
        const TlsSession::Step step = TlsFill();
        if (step == TlsSession::Step::Closed) {
            // The peer closed in mid-line: the part is dropped, as with
            // the plain connection.
            FTlsInput.clear();
            line.clear();
            return;
        }
        if (step == TlsSession::Step::Done)
            continue;
        TlsWait(step);
        if (FCanceled) {
            FCanceled = false;
            throw EAbortError("Socket readln aborted");
        }
    }
}

bool TKZSock::TlsDataAvailable()
{
    if (!FTlsInput.empty())
        return true;
    try {
        return TlsFill() == TlsSession::Step::Done && !FTlsInput.empty();
    } catch (const Exception&) {
        // The failure is met by the next reader.
        return false;
    }
}

void TKZSock::TlsClearInput()
{
    if (FTlsInput.empty()) {
        try {
            TlsFill();
        } catch (const Exception&) {
        }
    }
    FTlsInput.erase(0, std::min(FTlsInput.size(), static_cast<size_t>(BufferSize)));
}

void TKZSock::TlsSendFile(int file, int64_t size, const std::string& fileName)
{
    int64_t position = 0;
    while (position < size && !FCanceled) {
        ssize_t k;
        do {
            k = ::read(file, Buffer.data(), BufferSize);
        } while (k < 0 && errno == EINTR);
        if (k < 0)
            throw Exception(FileErrorText("Cannot read file", fileName, errno));
        if (k == 0)
            break; // the file ended early (it shrank while being sent)
        position += k;
        TlsSendAll(Buffer.data(), static_cast<size_t>(k), true);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TKZSock::TlsCaptureFile(int file, const std::string& fileName)
{
    // Records are gathered into chunks of several before each write; the
    // chunk is in the file before it is counted, then OnPacketRecvd fires
    // and the time-out restarts, as with the plain capture.
    std::vector<char> chunk(CaptureChunk);
    bool closed = false;
    while (!FCanceled) {
        // Input that a readiness check took in meanwhile comes first.
        size_t filled = std::min(FTlsInput.size(), chunk.size());
        std::copy_n(FTlsInput.begin(), filled, chunk.begin());
        FTlsInput.erase(0, filled);
        TlsSession::Step step = TlsSession::Step::Done;
        std::string failure;
        while (filled < chunk.size()) {
            if (!FTls) {
                step = TlsSession::Step::Closed;
                break;
            }
            size_t got = 0;
            step = FTls->Read(chunk.data() + filled, chunk.size() - filled, got);
            ReadTaken(FSocketHandle);
            filled += got;
            if (step == TlsSession::Step::Failed)
                failure = FTls->FailureText();
            if (step != TlsSession::Step::Done)
                break;
        }
        if (filled > 0) {
            WriteAll(file, chunk.data(), filled, fileName);
            FBytesRecvd += int64_t(filled);
            if (OnPacketRecvd)
                OnPacketRecvd(this);
            TimerOn();
            PumpBetweenChunks();
        }
        if (step == TlsSession::Step::Failed)
            RaiseTlsError(failure);
        if (step == TlsSession::Step::Closed) {
            closed = true;
            break;
        }
        // After a chunk, read again first: events ran meanwhile.
        if (step != TlsSession::Step::Done && filled == 0)
            TlsWait(step);
    }
    if (FCanceled && !closed) {
        FCanceled = false;
        throw EAbortError("Socket receive aborted");
    }
}
