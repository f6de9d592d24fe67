#include "sock/PartFile.h"

#include "sock/Exception.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* Suffix = ".part";

[[noreturn]] void Refuse(const std::string& path, int error)
{
    throw Exception("Cannot create file \"" + path + "\". " + std::strerror(error));
}

// The process's umask, read without changing it for longer than the call.
mode_t CurrentUmask()
{
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

} // namespace

PartFile::PartFile(const std::string& target) : FTarget(target)
{
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = dir + "." + base + ".XXXXXX" + Suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkostemps opens with O_CREAT | O_EXCL and mode 0600.
    const int fd = ::mkostemps(name.data(), int(std::strlen(Suffix)), O_CLOEXEC);
    if (fd < 0)
        Refuse(target, errno);
    ::close(fd);
    FPath.assign(name.data());
}

PartFile::~PartFile()
{
    if (!FCommitted)
        ::unlink(FPath.c_str());
}

void PartFile::Commit()
{
    if (::chmod(FPath.c_str(), 0666 & ~CurrentUmask()) != 0 || ::rename(FPath.c_str(), FTarget.c_str()) != 0)
        Refuse(FTarget, errno);
    FCommitted = true;
}
