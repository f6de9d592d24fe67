#include "view/SjisTextWindow.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

namespace {

uint64_t PageSize() { return static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)); }

} // namespace

SjisTextWindow::SjisTextWindow(const std::string& directory, uint64_t size) : FSize(size)
{
    if (size >= SjisTextInFileFrom() && size <= SIZE_MAX / 2) {
        if (auto store = SjisTextStore::InFile(directory.empty() ? std::string(".") : directory, size)) {
            void* pages = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (pages == MAP_FAILED)
                throw std::bad_alloc();
            FStore = std::move(*store);
            FWindow = static_cast<uint8_t*>(pages);
            FFollower = std::thread([this] { Follow(); });
            return;
        }
    }
    if (size > SIZE_MAX - 8)
        throw std::bad_alloc();
    FStore = SjisTextStore(std::string(static_cast<std::size_t>(size), '\0'));
    FWindow = FStore.Writable();
}

SjisTextWindow::~SjisTextWindow()
{
    Stop();
    if (FStore.InFileBacked() && FWindow != nullptr)
        ::munmap(FWindow, static_cast<size_t>(FSize));
}

void SjisTextWindow::Stop() noexcept
{
    if (!FFollower.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(FLock);
        FEnded = true;
    }
    FChanged.notify_one();
    FFollower.join();
}

void SjisTextWindow::Written() noexcept
{
    if (!FStore.InFileBacked())
        return;
    const uint64_t written = std::min(FFinal.load(std::memory_order_acquire), FSize);
    if (written <= FHandedOn)
        return;
    FHandedOn = written;
    std::unique_lock<std::mutex> hold(FLock);
    FChanged.notify_one();
    FCaughtUp.wait(hold, [&] { return FFailed || FEnded || FMoved + Lag >= written; });
}

void SjisTextWindow::Follow()
{
    const uint64_t page = PageSize();
    uint64_t moved = 0; // into the file, and given back
    for (;;) {
        uint64_t written = 0;
        bool ended = false;
        {
            // Only bytes the converter has published as final: it may be
            // storing past them right now.
            std::unique_lock<std::mutex> hold(FLock);
            FChanged.wait(hold, [&] {
                written = std::min(FFinal.load(std::memory_order_acquire), FSize);
                return FEnded || written > FIndex.Scanned();
            });
            ended = FEnded;
        }
        const std::string_view text(reinterpret_cast<const char*>(FWindow),
                                    static_cast<std::size_t>(written));
        try {
            FIndex.Scan(text);
            // Whole pages before the one that holds the last byte written:
            // the converter is done with them, and the next scan reads only
            // from that byte on.
            const uint64_t done = written > 0 ? (written - 1) / page * page : 0;
            if (done > moved) {
                FStore.Append(
                    text.substr(static_cast<std::size_t>(moved), static_cast<std::size_t>(done - moved)));
                ::madvise(FWindow + moved, static_cast<size_t>(done - moved), MADV_DONTNEED);
                moved = done;
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(FLock);
            FFailed = true;
            FCaughtUp.notify_one();
            return;
        }
        {
            std::lock_guard<std::mutex> hold(FLock);
            FMoved = moved;
        }
        FCaughtUp.notify_one();
        if (ended)
            return;
    }
}

SjisTextWindow::Text SjisTextWindow::Finish(uint64_t length)
{
    length = std::min(length, FSize);
    Text result;
    if (!FStore.InFileBacked()) {
        FStore.Resize(length);
        result.Bytes = std::move(FStore);
        return result;
    }
    // The follower indexes and moves what it was handed, then ends; the
    // rest is taken here.
    Stop();
    if (FFailed)
        throw std::runtime_error("the view's text could not be written to its file");
    const uint64_t moved = FStore.Size();
    if (length < moved) {
        // A text that ends before what was handed on (a JIS text ends at a
        // zero byte inside its output, which the converter writes on
        // behind): indexed afresh.
        FStore.Resize(length);
        result.Bytes = std::move(FStore);
        return result;
    }
    FStore.Append(std::string_view(reinterpret_cast<const char*>(FWindow + moved),
                                   static_cast<std::size_t>(length - moved)));
    const std::string_view text(reinterpret_cast<const char*>(FWindow), static_cast<std::size_t>(length));
    FIndex.Scan(text);
    result.Bytes = std::move(FStore);
    if (FIndex.Scanned() == length)
        result.Index = std::move(FIndex);
    return result;
}
