// The part of showing a local file that reads it: detection, the conversion
// to Shift_JIS (or the Shift_JIS bytes as they are), the cut to the tail and
// the line index. It touches no widget, so that it runs on a thread of its
// own while the window keeps answering; the window then only takes the text.
#pragma once

#include "view/SjisTextBuffer.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

// What a display is to show, and how it is told to stop and says how far it
// has got, across threads.
struct DisplayJob {
    std::string FileName;
    int32_t TailSize = 0; // 0: the whole text
    std::string Encoding; // a name of the encoding menu; any other detects
    std::atomic<bool> Stop{false};
    std::atomic<int> Percent{0};
};

// The text to show, indexed, and the name the title gives the encoding it
// was read as.
struct PreparedDisplay {
    SjisTextBuffer Text;
    std::string EncodingName;
};

// Thrown by PrepareDisplay when the job was told to stop.
struct DisplayStopped : std::runtime_error {
    DisplayStopped() : std::runtime_error("display stopped") { }
};

// Reads the job's file, converts it by the job's encoding keeping its tail,
// and indexes the text; a big text lies in a file of its own beside the
// local copy. Throws std::runtime_error when the file cannot be read,
// std::bad_alloc without memory, DisplayStopped when stopped.
PreparedDisplay PrepareDisplay(DisplayJob& job);
