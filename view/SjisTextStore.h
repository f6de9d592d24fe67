// Where the bytes of the view's text lie. A small text is a string in
// memory. A big one (a whole log fetched with Get all) lies in a file of its
// own that no directory names, mapped into memory: the passes over it (the
// conversion that writes it, the line index, find and the filter) give its
// pages back behind them, so the program holds little more than the lines it
// shows while the system keeps the rest in its file cache, or on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class SjisTextStore {
public:
    // An empty text, in memory.
    SjisTextStore() = default;
    // The bytes as the text, in memory (no copy).
    explicit SjisTextStore(std::string bytes) : FMemory(std::move(bytes)) { }
    // An empty text in a new file made in directory with room for capacity
    // bytes, its disk space reserved so that writing them cannot fail (a
    // disk that fills meanwhile would fault a read through the mapping). The
    // file has no name: it is gone with the store, or with the program.
    // Nothing when it cannot be made there (no such directory, no room, a
    // file system without files of that kind). Does not wait.
    static std::optional<SjisTextStore> InFile(const std::string& directory, uint64_t capacity);

    SjisTextStore(SjisTextStore&& other) noexcept;
    SjisTextStore& operator=(SjisTextStore&& other) noexcept;
    SjisTextStore(const SjisTextStore&) = delete;
    SjisTextStore& operator=(const SjisTextStore&) = delete;
    ~SjisTextStore();

    bool InFileBacked() const { return FFd >= 0; }
    // Of a store in a file: an empty one in a new file beside this one's.
    // Nothing for a store in memory, or where no file can be made.
    std::optional<SjisTextStore> Sibling(uint64_t capacity) const;
    std::string_view Bytes() const;
    uint64_t Size() const { return InFileBacked() ? FSize : FMemory.size(); }

    // Of a store in memory: its bytes, to write the text into.
    uint8_t* Writable() { return reinterpret_cast<uint8_t*>(FMemory.data()); }
    // Cuts the text to size bytes (nothing when it is not longer). Does not
    // throw.
    void Resize(uint64_t size);
    // Appends bytes; a store in a file writes them to its file, which grows
    // as needed. May move the bytes (what Bytes gave before is stale).
    // Throws std::bad_alloc when there is no room, std::runtime_error when
    // the file cannot be written.
    void Append(std::string_view bytes);

    // Of a store in a file: gives back the memory of the pages that hold the
    // bytes from offset from up to to, which stay in the file (reading them
    // again brings them back). Nothing for a store in memory.
    void GiveBack(uint64_t from, uint64_t to) const;
    void GiveBackAll() const { GiveBack(0, FCapacity); }

private:
    void Close() noexcept;

    std::string FMemory;
    std::string FDirectory;   // of a store in a file
    int FFd = -1;
    uint8_t* FBase = nullptr;
    uint64_t FSize = 0;
    uint64_t FCapacity = 0; // of the file and its mapping: whole pages
};

// Texts of at least this many bytes go into a file, smaller ones stay in
// memory. Tests set it low to take big texts' ways with small ones.
uint64_t SjisTextInFileFrom();
void SetSjisTextInFileFrom(uint64_t bytes);
