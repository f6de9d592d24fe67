// SftpReadPipeline: reads an open remote file from an offset to its end
// with many read requests in flight, writing each reply at its place.
//
// A server may answer a read with fewer bytes than asked (many cap a reply
// at 32 KiB or less). Such a reply is written where it belongs and only the
// missing part is asked for again; the other requests in flight stay, so
// every byte crosses the link once and the link stays busy.
#pragma once

#include <libssh/sftp.h>

#include <cstdint>
#include <functional>

class SftpReadPipeline {
public:
    // file: open for reading; fd: written with pwrite from its position 0,
    // which stands for the remote offset.
    SftpReadPipeline(sftp_file file, int64_t offset, int fd) : FFile(file), FOffset(offset), FFd(fd) { }

    // After each reply, with the bytes written so far.
    std::function<void(int64_t received)> OnReply;
    // A request or reply failed on the SFTP side; throws the failure (the
    // pipeline throws ESftpError when it returns).
    std::function<void()> OnFailure;

    // Reads to the end of the file; returns its length from the offset, the
    // bytes now in fd. Waits (blocking libssh calls). Throws what OnFailure
    // throws, Exception when fd cannot be written.
    int64_t Run();

private:
    [[noreturn]] void Fail();

    sftp_file FFile;
    int64_t FOffset;
    int FFd;
};
