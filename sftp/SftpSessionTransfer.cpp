// SftpSession: Stat, and reading a remote file (a download, Follow's tail)
// through the read pipeline with its progress.
#include "sftp/SftpSession.h"
#include "sftp/SftpSessionImpl.h"

#include "sftp/SftpReadPipeline.h"
#include "sock/PartFile.h"

#include <QObject>

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

void SftpSession::ThrowSftpError(const std::string& path)
{
    Impl& d = *FImpl;
    const int code = d.Sftp ? sftp_get_error(d.Sftp.get()) : SSH_FX_FAILURE;
    switch (code) {
    case SSH_FX_NO_SUCH_FILE: throw ESftpError("No such file: " + path);
    case SSH_FX_PERMISSION_DENIED: throw ESftpError("Permission denied: " + path);
    case SSH_FX_OK:
    case SSH_FX_CONNECTION_LOST:
    case SSH_FX_NO_CONNECTION:
        // libssh refuses a malformed reply (one longer than asked for) with
        // the connection still up.
        if (d.Ssh && ssh_is_connected(d.Ssh.get()) != 0)
            ThrowLibsshError("Bad reply (" + path + ")");
        ThrowLibsshError("Connection lost (" + path + ")");
    default:
        // A reset with reads in flight is at times reported as
        // SSH_FX_FAILURE rather than a lost connection: a dead connection is
        // named as such whatever the code says.
        if (d.Ssh && ssh_is_connected(d.Ssh.get()) == 0)
            ThrowLibsshError("Connection lost (" + path + ")");
        // libssh's text says what the code does not: the server's own
        // words, or a reply to a request never made.
        ThrowLibsshError("SFTP error " + std::to_string(code) + ": " + path);
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
        info.ModifiedTime =
            (attributes->flags & SSH_FILEXFER_ATTR_ACMODTIME) ? int64_t(attributes->mtime) : 0;
    });
    return info;
}

// Reads remotePath from offset to its end into fd (SftpReadPipeline) and
// reports the progress. Runs on the worker thread.
int64_t SftpSession::Pipeline(void* opened, const std::string& path, int64_t offset, int fd)
{
    Impl& d = *FImpl;
    SftpReadPipeline pipeline(static_cast<sftp_file>(opened), offset, fd);
    pipeline.OnFailure = [&] { ThrowSftpError(path); };
    pipeline.OnReply = [&](int64_t received) {
        Bump();
        d.Done = received;
        if (!d.ProgressPosted.exchange(true) && d.Context != nullptr)
            QMetaObject::invokeMethod(
                d.Context,
                [this] {
                    FImpl->ProgressPosted = false;
                    if (OnProgress)
                        OnProgress(FImpl->Done, FImpl->Total);
                },
                Qt::QueuedConnection);
    };
    return pipeline.Run();
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
