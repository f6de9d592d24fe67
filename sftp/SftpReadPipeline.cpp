#include "sftp/SftpReadPipeline.h"

#include "sftp/SftpError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <vector>

#include <unistd.h>

namespace {

// Requests kept in flight and the size of each: 64 x 64 KiB keeps a
// loopback or LAN link busy while each reply is written out.
constexpr uint32_t ReadChunk = 64 * 1024;
constexpr size_t ReadsInFlight = 64;

struct Request {
    int64_t At;
    uint32_t Length;
    uint32_t Id;
};

// Whether libssh already holds the reply to the request id.
bool ReplyHeld(sftp_session sftp, uint32_t id)
{
    for (sftp_request_queue q = sftp->queue; q != nullptr; q = q->next)
        if (q->message != nullptr && q->message->id == id)
            return true;
    return false;
}

} // namespace

void SftpReadPipeline::Fail()
{
    if (OnFailure)
        OnFailure();
    throw ESftpError("SFTP read failed");
}

int64_t SftpReadPipeline::Run()
{
    std::deque<Request> pending;
    std::vector<char> buffer(ReadChunk);
    int64_t next = FOffset;                            // the first byte not yet asked for
    int64_t end = std::numeric_limits<int64_t>::max(); // the file's end, once a reply has said so
    int64_t furthest = FOffset;                        // the end of what fd holds
    int64_t received = 0;

    const auto ask = [&](int64_t at, uint32_t length) {
        if (sftp_seek64(FFile, uint64_t(at)) != 0)
            Fail();
        const int id = sftp_async_read_begin(FFile, length);
        if (id < 0)
            Fail();
        pending.push_back({at, length, uint32_t(id)});
    };

    for (;;) {
        for (; pending.size() < ReadsInFlight && next < end; next += ReadChunk)
            ask(next, ReadChunk);
        if (pending.empty())
            break;
        const Request r = pending.front();
        pending.pop_front();
        // libssh's read takes one more packet off the connection before it
        // looks among the replies it already holds. When a server answered
        // out of order and every reply asked for is already held, no packet
        // would come: a one-byte read is asked so that one does (its reply
        // is never taken).
        const auto held = [&](const Request& q) { return ReplyHeld(FFile->sftp, q.Id); };
        if (held(r) && std::all_of(pending.begin(), pending.end(), held)) {
            if (sftp_seek64(FFile, 0) != 0 || sftp_async_read_begin(FFile, 1) < 0)
                Fail();
        }
        // Each reply is taken on its own: an end-of-file answer to one
        // request must not hide the replies to the others.
        FFile->eof = 0;
        const int n = sftp_async_read(FFile, buffer.data(), r.Length, r.Id);
        if (n < 0)
            Fail();
        if (n == 0) {
            // The file ends here; what is asked past it is taken and dropped.
            end = std::min(end, r.At);
        } else if (r.At < end) {
            for (int done = 0; done < n;) {
                const ssize_t w =
                    ::pwrite(FFd, buffer.data() + done, size_t(n - done), r.At - FOffset + done);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    throw Exception(std::string("Cannot write file. ") + std::strerror(errno));
                done += int(w);
            }
            received += n;
            furthest = std::max(furthest, r.At + n);
            // A short reply: only the rest is asked again (at the file's
            // end its answer is end-of-file).
            if (uint32_t(n) < r.Length)
                ask(r.At + n, r.Length - uint32_t(n));
        }
        if (OnReply)
            OnReply(received);
    }
    // A file that shrank while it was read may have answered past its new
    // end: fd holds the file up to the end and nothing after it.
    if (furthest > end && ::ftruncate(FFd, end - FOffset) != 0)
        throw Exception(std::string("Cannot write file. ") + std::strerror(errno));
    return end - FOffset;
}
