// A local file mapped read-only for one display, so that the display's passes
// read it where it lies instead of copying it into memory of its own.
#pragma once

#include "decode/PassProgress.h"

#include <cstdint>
#include <string>

class MappedFile {
public:
    // Opens the file for reading without sharing (an exclusive lock that fails
    // while anyone else holds one; held until destruction) and maps it,
    // followed by at least four zero bytes. Does not wait. Throws
    // std::runtime_error when the file is missing, not a regular file, locked
    // or cannot be mapped, std::bad_alloc when it is too large for the
    // address space.
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const uint8_t* Bytes() const { return FBase; }
    uint64_t Size() const { return FSize; }

    // Gives back the memory of the whole pages before position (the system
    // keeps them in its file cache; reading them again maps them again).
    void Release(const uint8_t* position);
    void ReleaseAll() { Release(FBase + FLength); }
    // A progress hook for the decoding passes that releases what they leave
    // behind, so a pass holds little more than the part it is reading.
    PassProgress Progress();

private:
    int FFd = -1;
    uint8_t* FBase = nullptr;
    uint64_t FSize = 0;
    uint64_t FLength = 0;   // of the mapping: whole pages, zeros behind the file
};

// Runs read(context), which reads a mapped file. A file that shrinks while it
// is mapped makes reads of the pages it lost fault (SIGBUS); such a fault
// ends read at once and ReadGuarded returns false instead of the program
// dying. read must hold no objects with destructors (it is left by a jump).
bool ReadGuarded(void (*read)(void* context), void* context);
// Ends the guarded read running on this thread at once, as such a fault
// would: ReadGuarded returns false. For a pass's progress hook when the pass
// is to stop. Does nothing outside a guarded read.
void LeaveGuardedRead();
