#include "sock/PartFile.h"

#include "sock/Exception.h"

#include <cerrno>
#include <cstdio>
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

// The process's umask. Linux shows it in /proc/self/status, which reads it
// without changing it; setting it back and forth instead would give a file
// that another thread creates meanwhile the wrong mode.
mode_t CurrentUmask()
{
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return mode_t(mask & 0777);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// The mode the replacement takes: the permission bits of the regular file it
// replaces, so a log kept private stays private; otherwise what a newly
// created file gets.
mode_t ReplacementMode(const std::string& target)
{
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 0777;
    return 0666 & ~CurrentUmask();
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
    if (::chmod(FPath.c_str(), ReplacementMode(FTarget)) != 0 || ::rename(FPath.c_str(), FTarget.c_str()) != 0)
        Refuse(FTarget, errno);
    FCommitted = true;
}
