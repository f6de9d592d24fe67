#include "profiles/InstalledUse.h"

#include "profiles/Errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* HostListName = "wisplog.ini";
constexpr const char* ExampleName = "wisplog.ini.example";

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Creates the directory path (its parents as usual) private to the user
// when it is missing; true when it is there afterwards.
bool MakePrivateDir(const std::string& path)
{
    const QString dir = QString::fromStdString(path);
    QDir().mkpath(QFileInfo(dir).path());
    QDir().mkdir(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return QFileInfo(dir).isDir();
}

bool WriteAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Makes path from the example, readable by its owner only. The copy is
// written under a temporary name and then linked into place, so a reader
// never sees half a file and a list made meanwhile by another start is kept.
bool MakeFromExample(const std::string& path, const std::string& example)
{
    QFile source(QString::fromStdString(example));
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = source.readAll();
    // A fresh name opened with O_EXCL (mkostemp): a name prepared in advance,
    // a symlink included, is never opened and so never written through.
    std::string name = path + ".new-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const std::string temporary = name;
    // The mode above is narrowed by the umask only; fchmod makes it exact.
    const bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    const bool linked = written && closed && (::link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST);
    ::unlink(temporary.c_str());
    return linked;
}

std::string UserDir(QStandardPaths::StandardLocation location)
{
    return QStandardPaths::writableLocation(location).toStdString() + "/wisplog";
}

} // namespace

std::string HostListPath(const std::string& exeDir)
{
    std::string beside = exeDir + HostListName;
    const std::string example = exeDir + ExampleName;
    if (Exists(beside) || !Exists(example))
        return beside;
    const std::string dir = UserDir(QStandardPaths::GenericConfigLocation);
    std::string own = dir + "/" + HostListName;
    if (!Exists(own) && !(MakePrivateDir(dir) && MakeFromExample(own, example)))
        throw EFOpenError(own);
    return own;
}

std::string DesktopDownloadDir()
{
    std::string dir = UserDir(QStandardPaths::GenericDataLocation) + "/downloads";
    if (!MakePrivateDir(dir))
        throw EFOpenError(dir);
    return dir;
}

void EnterDesktopDownloadDir()
{
    const std::string dir = DesktopDownloadDir();
    if (::chdir(dir.c_str()) != 0)
        throw EFOpenError(dir);
}
