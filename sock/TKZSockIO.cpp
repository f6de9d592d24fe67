// TKZSock: buffered input and output: lines, blocks and whole files.
#include "sock/TKZSock.h"
#include "sock/TKZSockInternal.h"

#include "sock/SockApi.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::string TKZSockInternal::FileErrorText(const char* what, const std::string& fileName, int error)
{
    return std::string(what) + " \"" + fileName + "\". " + std::strerror(error);
}

void TKZSockInternal::WriteAll(int file, const char* data, size_t length, const std::string& fileName)
{
    while (length > 0) {
        ssize_t w = ::write(file, data, length);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throw Exception(FileErrorText("Cannot write file", fileName, w < 0 ? errno : ENOSPC));
        data += w;
        length -= static_cast<size_t>(w);
    }
}

namespace {

using TKZSockInternal::FileErrorText;
using TKZSockInternal::WriteAll;

// The pipe through which CaptureFile moves socket data into a regular file
// with splice: the kernel hands the received pages to the pipe and copies
// them once, into the file, instead of twice (into Buffer by recv, out of it
// by write). Not open (-1) where it cannot be used; the capture then takes
// the recv/write path.
struct CapturePipe {
    // Bytes taken from the socket per splice. Large chunks are what makes
    // the path cheap: the file system then writes few large pieces instead
    // of many small ones (measured: 1 MiB chunks take about 40 % less CPU
    // than 64 KiB ones). Buffer is not involved, so its size does not bound
    // them; OnPacketRecvd and the time-out restart still come with every
    // chunk, about once a millisecond on a fast link.
    static constexpr int Chunk = 1 << 20;
    int out = -1; // read end: towards the file
    int in = -1;  // write end: from the socket
    CapturePipe(const CapturePipe&) = delete;
    CapturePipe& operator=(const CapturePipe&) = delete;
    explicit CapturePipe(int file)
    {
        // Regular files only: other targets (a FIFO, a device) keep the
        // plain path, whose behaviour with them is known.
        struct stat info {};
        if (::fstat(file, &info) < 0 || !S_ISREG(info.st_mode))
            return;
        int ends[2];
        if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) < 0)
            return;
        out = ends[0];
        in = ends[1];
        // Room for a whole chunk (one slot per page or smaller piece the
        // socket holds). A tight pipe quota refuses it, which only makes
        // the chunks smaller.
        ::fcntl(in, F_SETPIPE_SZ, Chunk);
    }
    ~CapturePipe() { Close(); }
    bool IsOpen() const { return in >= 0; }
    void Close()
    {
        if (in >= 0) {
            ::close(in);
            ::close(out);
        }
        in = out = -1;
    }
    // Moves the length bytes the pipe holds into file. A file that takes no
    // splice gets them by read/write through buffer and closes the pipe: the
    // capture goes on by recv. Throws Exception "Cannot write file".
    void Drain(int file, size_t length, char* buffer, size_t bufferSize, const std::string& fileName)
    {
        bool refused = false;
        while (length > 0) {
            ssize_t w = refused ? -1 : ::splice(out, nullptr, file, nullptr, length, SPLICE_F_MOVE);
            if (w < 0 && !refused && errno == EINTR)
                continue;
            if (w < 0 && (refused || errno == EINVAL)) {
                refused = true;
                ssize_t k = ::read(out, buffer, std::min(length, bufferSize));
                if (k <= 0)
                    throw Exception(FileErrorText("Cannot write file", fileName, k < 0 ? errno : EIO));
                WriteAll(file, buffer, static_cast<size_t>(k), fileName);
                w = k;
            } else if (w <= 0) {
                throw Exception(FileErrorText("Cannot write file", fileName, w < 0 ? errno : ENOSPC));
            }
            length -= static_cast<size_t>(w);
        }
        if (refused)
            Close();
    }
};

} // namespace

using namespace TKZSockInternal;

int TKZSock::Recv(void* data, size_t length, int flags)
{
    int s = FSocketHandle;
    ssize_t n = SockApi::Recv(s, data, length, flags);
    ReadTaken(s);
    return static_cast<int>(n);
}

int TKZSock::RecvIntoPipe(int pipeIn, size_t length, bool& refused)
{
    int s = FSocketHandle;
    ssize_t n = SockApi::SpliceFromSocket(s, pipeIn, length, refused);
    ReadTaken(s);
    return static_cast<int>(n);
}

void TKZSock::ReadTaken(int s)
{
    // Any read, a peek included, lets the next read notification through.
    if (SocketEntry* entry = Entry(s); entry && !entry->readArmed) {
        entry->readArmed = true;
        UpdateNotifiers(*entry);
    }
}

void TKZSock::SetReadTarget(int bytes)
{
    // The socket reports readable only once this many bytes are queued (or
    // at the peer's close), so waiting for the rest of a line or block does
    // not wake for every byte that is already there.
    int s = FSocketHandle;
    if (s == NoSocket || (s == FReadTargetSocket && bytes == FReadTarget))
        return;
    if (s != FReadTargetSocket && bytes == 1)
        return;
    if (SockApi::SetReceiveLowWater(s, bytes) == 0) {
        FReadTargetSocket = bytes == 1 ? NoSocket : s;
        FReadTarget = bytes;
    }
}

void TKZSock::SendBuffer(const char* data, size_t length)
{
    ReportStatus(4, "Sending Buffer");
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    // Length 0 sends data as a C string. The limit holds on either path.
    if (!FCanceled) {
        if (length == 0) {
            length = strnlen(data, BufferSize);
            if (length >= static_cast<size_t>(BufferSize))
                throw ESockError("Sending Buffer: text of 65536 bytes or more refused");
        } else if (length >= static_cast<size_t>(BufferSize)) {
            throw ESockError("Sending Buffer: buffer of 65536 bytes or more refused");
        }
    }
    if (FTls) {
        TlsSendBuffer(data, length);
        return;
    }
    if (!FCanceled) {
        size_t remaining = length;
        for (;;) {
            ssize_t n = SockApi::Send(FSocketHandle, data + (length - remaining), remaining);
            if (n == 0)
                break;
            if (n > 0) {
                remaining -= static_cast<size_t>(n);
            } else {
                std::string text;
                CheckSocketError(SockApi::WouldBlock, text);
            }
            if (remaining == 0 || FCanceled)
                break;
            if (n > 0)
                PumpBetweenChunks();
            else
                WaitForWrite();
            if (FCanceled)
                break;
        }
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TKZSock::Write(const std::string& text)
{
    ReportStatus(8, "Write");
    // Sent as a C string: up to the first NUL byte.
    size_t length = strnlen(text.c_str(), text.size());
    if (length >= static_cast<size_t>(BufferSize))
        throw ESockError("Write: text of 65536 bytes or more refused");
    std::memcpy(Buffer.data(), text.data(), length);
    Buffer[length] = '\0';
    SendBuffer(Buffer.data(), 0);
}

void TKZSock::Writeln(const std::string& text)
{
    ReportStatus(8, "Writeln");
    Write(text + "\r\n");
}

void TKZSock::Read(int count, std::string& text)
{
    ReportStatus(8, "Read( " + std::to_string(count) + " )");
    if (count < 0 || count > 65535)
        throw ESockError("Read: count " + std::to_string(count) + " out of range 0..65535");
    if (FTls) {
        TlsRead(count, text);
        return;
    }
    // Bytes that ReadLn received ahead count as pending and are taken first.
    const int held = static_cast<int>(FInput.Size());
    std::string error;
    if (count == 0) {
        int n = held >= BufferSize ? 0 : Recv(Buffer.data(), static_cast<size_t>(BufferSize - held), MSG_PEEK);
        if (n < 0) {
            CheckSocketError(SockApi::WouldBlock, error);
            n = 0;
        }
        if (held + n >= BufferSize)
            throw ESockError("Read: 65536 or more bytes pending, nothing taken");
        count = held + n;
    } else if (held < count) {
        Finally restore{[this] {
            FReadHold = false;
            if (SocketEntry* entry = Entry(FSocketHandle))
                UpdateNotifiers(*entry);
            SetReadTarget(1);
        }};
        const int needed = count - held;
        do {
            // Asked before the peek: once the peer has closed, the peek
            // shows everything that will ever come.
            bool closed = SockApi::PeerClosed(FSocketHandle);
            int n = Recv(Buffer.data(), BufferSize, MSG_PEEK);
            if (n >= needed)
                break;
            if (n == 0 && held == 0) {
                text.clear();
                return;
            }
            if (n < 0) {
                CheckSocketError(SockApi::WouldBlock, error);
            } else if (closed) {
                // Too few bytes, and no more can come: wait for a cancel
                // only, instead of waking for the close again and again.
                FReadHold = true;
            } else {
                SetReadTarget(needed);
            }
            WaitForRead();
        } while (!FCanceled);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
    text.clear();
    if (count == 0)
        return;
    const int fromInput = std::min(held, count);
    text.assign(FInput.Data(), static_cast<size_t>(fromInput));
    FInput.Take(static_cast<size_t>(fromInput));
    if (count > fromInput) {
        text.resize(static_cast<size_t>(count));
        int n = Recv(text.data() + fromInput, static_cast<size_t>(count - fromInput), 0);
        text.resize(static_cast<size_t>(fromInput + (n < 0 ? 0 : n)));
    }
}

void TKZSock::ReadLn(std::string& line)
{
    ReportStatus(8, "ReadLn");
    if (FTls) {
        TlsReadLn(line);
        return;
    }
    // Lines are taken from FInput, which is filled by large receives: the
    // cost of a line is that of its own bytes, however many lines are
    // pending. The time-out bounds each wait for more bytes; it starts
    // with the first wait of this line.
    FTimedOut = false;
    bool timing = false;
    Finally stop{[this, &timing] {
        if (timing)
            TimerOff();
    }};
    line.clear();
    for (;;) {
        if (size_t length = FInput.LineLength()) {
            if (FCanceled)
                break;
            line.assign(FInput.Data(), length);
            FInput.Take(length);
            return;
        }
        // A line that cannot fit the buffer is refused; its bytes stay.
        if (FInput.Full())
            throw ESockError("ReadLn: line longer than 65536 bytes refused, nothing taken");
        if (FCanceled)
            break;
        size_t room = 0;
        char* at = FInput.Room(room);
        int n = Recv(at, room, 0);
        if (n > 0) {
            FInput.Added(static_cast<size_t>(n));
            // Lines may pour in for long: events still get through.
            PumpBetweenChunks();
            continue;
        }
        if (n == 0) {
            // The peer closed; a line it left unfinished is dropped.
            FInput.Clear();
            RaiseCloseError();
            return;
        }
        FLastError = SockApi::LastError();
        if (FLastError == SockApi::NotConnected) {
            FInput.Clear();
            RaiseCloseError();
            return;
        }
        std::string text;
        CheckSocketError(SockApi::WouldBlock, text);
        if (!timing) {
            TimerOn();
            timing = true;
        }
        WaitForRead();
    }
    FCanceled = false;
    throw EAbortError("Socket readln aborted");
}

void TKZSock::Transaction(const std::string& command, std::string& reply)
{
    ReportStatus(8, "Transaction");
    FReplyNumber = 0;
    Writeln(command);
    std::string line;
    ReadLn(line);
    FTransactionReply = line;
    if (!line.empty()) {
        ReportStatus(1, line);
        size_t digits = 0;
        while (digits < 10 && digits < line.size() && line[digits] >= '0' && line[digits] <= '9')
            ++digits;
        if (digits > 0)
            FReplyNumber = std::stoll(line.substr(0, digits));
    }
    reply = FTransactionReply;
}

bool TKZSock::DataAvailable()
{
    ReportStatus(8, "Data Available");
    if (FTls)
        return TlsDataAvailable();
    // Peeks into a byte of its own: Buffer may hold a text being sent, and
    // this runs from notifications that arrive while a send waits for room.
    char probe;
    return !FInput.Empty() || Recv(&probe, 1, MSG_PEEK) >= 1;
}

void TKZSock::ClearInput()
{
    ReportStatus(8, "Clearing Input");
    if (FTls) {
        TlsClearInput();
        return;
    }
    const size_t held = FInput.Size();
    FInput.Clear();
    if (held >= static_cast<size_t>(BufferSize))
        return;
    std::vector<char> scratch(BufferSize - held);
    Recv(scratch.data(), scratch.size(), 0);
}

void TKZSock::SendFile(const std::string& fileName)
{
    ReportStatus(8, "SendFile");
    int file = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        throw Exception(FileErrorText("Cannot open file", fileName, errno));
    Finally closeFile{[file] { ::close(file); }};
    struct stat info {};
    if (::fstat(file, &info) < 0)
        throw Exception(FileErrorText("Cannot open file", fileName, errno));
    const int64_t size = info.st_size;
    int64_t position = 0;
    // The time-out measures silence: every send that moves data restarts it.
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    if (FTls) {
        TlsSendFile(file, size, fileName);
        return;
    }
    std::string error;
    do {
        if (FCanceled)
            break;
        ssize_t k;
        do {
            k = ::read(file, Buffer.data(), BufferSize);
        } while (k < 0 && errno == EINTR);
        if (k < 0)
            throw Exception(FileErrorText("Cannot read file", fileName, errno));
        position += k;
        size_t remaining = static_cast<size_t>(k);
        do {
            ssize_t n = SockApi::Send(FSocketHandle, Buffer.data() + (k - static_cast<ssize_t>(remaining)),
                                      remaining);
            if (n == 0)
                break;
            if (n > 0) {
                remaining -= static_cast<size_t>(n);
                FBytesSent += n;
                if (OnPacketSent)
                    OnPacketSent(this);
                TimerOn();
                PumpBetweenChunks();
            } else {
                CheckSocketError(SockApi::WouldBlock, error);
                WaitForWrite();
            }
        } while (remaining > 0 && !FCanceled);
        if (k == 0)
            break; // the file ended early (it shrank while being sent)
    } while (position < size && !FCanceled);
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TKZSock::CaptureFile(const std::string& fileName)
{
    ReportStatus(8, "CaptureFile");
    FBytesRecvd = 0;
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    // A symlink in its place is refused, never followed.
    int file = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (file < 0)
        throw Exception(FileErrorText("Cannot create file", fileName, errno));
    Finally closeFile{[file] { ::close(file); }};
    if (FTls) {
        TlsCaptureFile(file, fileName);
        return;
    }
    // A chunk is taken from the socket either by splice into the pipe (one
    // copy less, larger chunks: see CapturePipe) or by recv into Buffer.
    // Both answer alike (bytes, 0 at the peer's close, -1 with the socket
    // error), so what follows is the same for both: the chunk is in the
    // file before it is counted, OnPacketRecvd fires and the time-out
    // restarts for every chunk, errors and cancels end the loop as they
    // always did. Declared after the file: the pipe closes first.
    CapturePipe pipe(file);
    std::string error;
    if (!FInput.Empty() && !FCanceled) {
        // What ReadLn received ahead is the first chunk.
        WriteAll(file, FInput.Data(), FInput.Size(), fileName);
        FBytesRecvd += static_cast<int64_t>(FInput.Size());
        FInput.Clear();
        if (OnPacketRecvd)
            OnPacketRecvd(this);
    }
    while (!FCanceled) {
        int n;
        if (pipe.IsOpen()) {
            bool refused = false;
            n = RecvIntoPipe(pipe.in, CapturePipe::Chunk, refused);
            if (refused) {
                // Nothing was taken: read this chunk and the rest by recv.
                pipe.Close();
                continue;
            }
        } else {
            n = Recv(Buffer.data(), BufferSize, 0);
        }
        if (n > 0) {
            if (pipe.IsOpen())
                pipe.Drain(file, static_cast<size_t>(n), Buffer.data(), BufferSize, fileName);
            else
                WriteAll(file, Buffer.data(), static_cast<size_t>(n), fileName);
            FBytesRecvd += n;
            if (OnPacketRecvd)
                OnPacketRecvd(this);
            TimerOn();
            PumpBetweenChunks();
        } else if (n < 0) {
            FLastError = SockApi::LastError();
            if (FLastError == SockApi::NotConnected) {
                // Closed under the loop; by an error, that error counts.
                RaiseCloseError();
                break;
            }
            CheckSocketError(SockApi::WouldBlock, error);
            WaitForRead();
        } else {
            RaiseCloseError();
            break;
        }
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket receive aborted");
    }
}
