#include "sftp/HostKey.h"

#include "sftp/KnownHostsFile.h"
#include "sock/Exception.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

[[noreturn]] void FileFailure(const std::string& file, int error)
{
    throw Exception("Cannot write file \"" + file + "\". " + std::strerror(error));
}

} // namespace

std::string UnpaddedBase64(const unsigned char* bytes, size_t count)
{
    std::string out;
    out.reserve((count * 4 + 2) / 3);
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out += Alphabet[(v >> shift) & 63];
    }
    if (count - i == 1) {
        const uint32_t v = uint32_t(bytes[i]) << 16;
        out += Alphabet[(v >> 18) & 63];
        out += Alphabet[(v >> 12) & 63];
    } else if (count - i == 2) {
        const uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8;
        out += Alphabet[(v >> 18) & 63];
        out += Alphabet[(v >> 12) & 63];
        out += Alphabet[(v >> 6) & 63];
    }
    return out;
}

std::string KnownHostsName(const std::string& host, int port)
{
    if (port == 22)
        return host;
    return "[" + host + "]:" + std::to_string(port);
}

std::vector<KnownHostsLine> FindKnownHostsLines(const std::string& file, const std::string& hostName)
{
    std::vector<KnownHostsLine> found;
    std::string text;
    if (!ReadKnownHostsText(file, text))
        return found;
    for (const KnownHostsEntry& entry : LookUpKnownHosts(text, hostName).Entries) {
        // Marked entries (@revoked, @cert-authority) are not keys of the host.
        if (entry.Marker != KnownHostsMarker::Plain)
            continue;
        found.push_back({file, entry.Line, entry.KeyType, KeyBlobFingerprint(entry.Blob)});
    }
    return found;
}

void AppendKnownHostsLine(const std::string& file, const std::string& line)
{
    const size_t slash = file.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = file.substr(0, slash);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            FileFailure(file, errno);
    }
    // O_NOFOLLOW: a symlink planted in place of the file is never written
    // through. O_APPEND keeps entries that another program adds meanwhile.
    const int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        FileFailure(file, errno);
    std::string text = line + "\n";
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            text.insert(text.begin(), '\n');
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            FileFailure(file, error);
        }
        written += size_t(n);
    }
    if (::close(fd) != 0)
        FileFailure(file, errno);
}
