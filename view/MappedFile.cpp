#include "view/MappedFile.h"

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <new>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t ZeroBytes = 4;

uint64_t PageSize() { return static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)); }

} // namespace

MappedFile::MappedFile(const std::string& path)
{
    // Non-blocking so that a FIFO cannot hold the window; it is refused below.
    FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (FFd < 0)
        throw std::runtime_error("cannot open");
    try {
        struct stat st {};
        if (::fstat(FFd, &st) != 0 || !S_ISREG(st.st_mode))
            throw std::runtime_error("not a regular file");
        if (::flock(FFd, LOCK_EX | LOCK_NB) != 0)
            throw std::runtime_error("held by another program");
        const off_t end = ::lseek(FFd, 0, SEEK_END);
        if (end < 0)
            throw std::runtime_error("cannot seek");
        FSize = static_cast<uint64_t>(end);
        const uint64_t page = PageSize();
        if (FSize > UINT64_MAX / 2 || FSize + ZeroBytes + page > SIZE_MAX)
            throw std::bad_alloc();
        FLength = (FSize + ZeroBytes + page - 1) / page * page;
        // Zeroed pages for the whole length, the file mapped over their start:
        // the zeros behind it are those of its last page or of the next one.
        void* base = ::mmap(nullptr, static_cast<size_t>(FLength), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            throw std::bad_alloc();
        FBase = static_cast<uint8_t*>(base);
        if (FSize > 0) {
            if (::mmap(base, static_cast<size_t>(FSize), PROT_READ, MAP_PRIVATE | MAP_FIXED, FFd, 0) == MAP_FAILED)
                throw std::runtime_error("cannot map");
            ::madvise(base, static_cast<size_t>(FSize), MADV_SEQUENTIAL);
        }
    } catch (...) {
        if (FBase)
            ::munmap(FBase, static_cast<size_t>(FLength));
        ::close(FFd);
        throw;
    }
}

MappedFile::~MappedFile()
{
    ::munmap(FBase, static_cast<size_t>(FLength));
    ::close(FFd);
}

void MappedFile::Release(const uint8_t* position)
{
    const uint64_t page = PageSize();
    const uint64_t offset = position <= FBase ? 0 : static_cast<uint64_t>(position - FBase);
    const uint64_t pages = std::min(offset, FLength) / page * page;
    if (pages > 0)
        ::madvise(FBase, static_cast<size_t>(pages), MADV_DONTNEED);
}

PassProgress MappedFile::Progress()
{
    PassProgress progress;
    progress.Reached = [](const uint8_t* position, void* context) {
        static_cast<MappedFile*>(context)->Release(position);
    };
    progress.Context = this;
    progress.Every = int64_t(4) << 20;
    return progress;
}

namespace {

thread_local sigjmp_buf* GuardJump = nullptr;

void OnBusError(int signal, siginfo_t*, void*)
{
    if (GuardJump)
        siglongjmp(*GuardJump, 1);
    // Not a guarded read: the fault is a real one.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void LeaveGuardedRead()
{
    if (GuardJump)
        siglongjmp(*GuardJump, 1);
}

bool ReadGuarded(void (*read)(void* context), void* context)
{
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previous);
    sigjmp_buf jump;
    volatile bool completed = false;
    if (sigsetjmp(jump, 1) == 0) {
        GuardJump = &jump;
        read(context);
        completed = true;
    }
    GuardJump = nullptr;
    ::sigaction(SIGBUS, &previous, nullptr);
    return completed;
}
