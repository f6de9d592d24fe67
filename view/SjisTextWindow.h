// The window a converter writes a text into, in one call, for the view.
// A small text is written straight into memory. A big one (see
// SjisTextInFileFrom) is written into pages of the window's own, which a
// thread of its own follows: it indexes the lines written so far, moves
// them into the text's file and gives their pages back, while the converter
// goes on. So converting a gigabyte holds a few megabytes, and the text
// comes out with its line index built.
#pragma once

#include "view/SjisLineIndex.h"
#include "view/SjisTextStore.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class SjisTextWindow {
public:
    // A window of size bytes, zeroed; a big text's file goes into
    // directory (in memory when it cannot be made there). Throws
    // std::bad_alloc.
    SjisTextWindow(const std::string& directory, uint64_t size);
    // Stops the thread that follows the converter, if any.
    ~SjisTextWindow();
    SjisTextWindow(const SjisTextWindow&) = delete;
    SjisTextWindow& operator=(const SjisTextWindow&) = delete;

    uint8_t* Bytes() { return FWindow; }

    // Where the converter keeps how many bytes from the window's start are
    // final (PassProgress::Final): it stores the count with release
    // ordering before each call of Written. The thread that follows reads,
    // indexes and moves into the file only those bytes: the converter
    // stores whole blocks past them that it writes over afterwards.
    std::atomic<uint64_t>* Final() { return &FFinal; }

    // Called now and then from the converter's progress: the final bytes
    // are handed on. Waits while the thread that follows is more than Lag
    // bytes behind, so that the pages held stay few whatever the two
    // threads' speeds. Does not throw.
    void Written() noexcept;
    static constexpr uint64_t Lag = uint64_t(32) << 20;

    struct Text {
        SjisTextStore Bytes;
        // Over all of Bytes, when it was built on the way (a text in a file).
        std::optional<SjisLineIndex> Index;
    };
    // After the converter: the first length bytes of the window as the
    // text. Throws std::bad_alloc or std::runtime_error when the text's
    // file could not be written.
    Text Finish(uint64_t length);

private:
    void Follow();
    void Stop() noexcept;

    SjisTextStore FStore;
    uint8_t* FWindow = nullptr;
    uint64_t FSize = 0;
    std::atomic<uint64_t> FFinal{0};
    uint64_t FHandedOn = 0; // the converter's side: what Written handed on

    std::mutex FLock;
    std::condition_variable FChanged;
    uint64_t FMoved = 0;   // moved into the file by the follower
    std::condition_variable FCaughtUp;
    bool FEnded = false;  // nothing more comes
    bool FFailed = false; // the file could not be written
    std::thread FFollower;
    SjisLineIndex FIndex;
};
