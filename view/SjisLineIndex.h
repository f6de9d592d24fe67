// The line index of a text view's bytes: where each line starts, found by one
// scan for line breaks (CR LF, lone CR, lone LF) and kept compressed in blocks
// of 64 lines. Positions come in two kinds: raw offsets into the bytes as they
// are held, and text offsets into the text as the view gives it out, where
// every line break is a CR LF (a lone CR or LF counts two bytes there).
// The index does not hold the bytes; each scan is handed the same buffer,
// grown or not. Nothing here waits or touches Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// The first CR or LF in [p, end), or end.
const char* NextLineBreak(const char* p, const char* end);

class SjisLineIndex {
public:
    // Lines per compressed block.
    static constexpr int64_t BlockLines = 64;

    // Starts an empty index. With firstByteStray the first byte of the text
    // belongs to the first line whatever it is (the rest of a character cut
    // in two, shown alone).
    explicit SjisLineIndex(bool firstByteStray = false);

    // Scans up to maxBytes more of bytes (the buffer scanned so far, possibly
    // grown since) and returns the offset scanned up to. A CR at the end is a
    // line break until a LF appended behind it makes the two one CR LF.
    // Does not wait; throws std::bad_alloc without memory.
    std::size_t Scan(std::string_view bytes, std::size_t maxBytes = SIZE_MAX);
    // Raw bytes scanned so far.
    std::size_t Scanned() const { return FScanned; }
    // Forgets everything from raw offset raw on (the bytes were cut there);
    // the next Scan goes on from the start of the line that held it, at a
    // cost of that line and one block. Does not throw.
    void Truncate(std::size_t raw);

    // Lines of the scanned text, the line after the last break included even
    // when it is empty (so never less than one).
    int64_t Count() const { return FLines; }
    // One sealed block's line starts, read once for lookups that go forward
    // through the text (a filter's matches, a run of kept lines). A Truncate
    // makes a cache filled before it stale; it is then read afresh.
    struct BlockCache {
        std::size_t Block = SIZE_MAX;
        uint64_t Truncations = 0;
        uint64_t Starts[BlockLines] = {};
    };
    // The last line that starts at or before raw offset raw, and (in start)
    // its raw start.
    int64_t LineAtRaw(uint64_t raw, uint64_t& start) const;
    int64_t LineAtRaw(uint64_t raw, uint64_t& start, BlockCache& cache) const;
    // Raw offset of the start of line i (0 <= i < Count()).
    uint64_t RawStart(int64_t i) const;
    // Raw length of line i without its line break.
    uint64_t RawLength(int64_t i) const;
    uint64_t RawLength(int64_t i, BlockCache& cache) const;
    // Text offset of the start of line i.
    uint64_t TextStart(int64_t i) const;
    // Length of the scanned text with every break counted as CR LF.
    uint64_t TextLength() const { return FScanned + FLoneBreaks; }
    // The line that holds text offset offset (a break belongs to the line it
    // ends; offsets past the end give the last line).
    int64_t LineAtText(uint64_t offset) const;
    // Bytes the index itself takes, roughly.
    std::size_t MemoryUse() const;

private:
    struct Block {
        uint64_t RawStart;      // raw start of the block's first line
        uint64_t LonesBefore;   // lone breaks before the block's first line
        uint64_t LoneBits;      // bit k: line k of the block ends in a lone break
        uint64_t DeltaAt;       // where the block's start deltas begin in FDeltas
    };
    void AddBreak(uint64_t lineStart, bool lone);
    void Seal();
    // Fills starts[0..n) with the raw starts of block b's lines; returns n.
    int BlockStarts(std::size_t b, uint64_t* starts) const;
    // The starts of block b's lines (sealed or open), through cache.
    const uint64_t* CachedStarts(std::size_t b, BlockCache& cache) const;
    uint64_t LonesBeforeLine(int64_t i) const;
    bool EndsLone(int64_t i) const;

    std::vector<Block> FBlocks;          // sealed blocks, 64 lines each
    std::vector<uint8_t> FDeltas;        // varint start deltas of the sealed blocks' lines 1..63
    std::vector<uint64_t> FOpenStarts;   // raw starts of the lines of the open (last) block
    uint64_t FOpenLoneBits = 0;
    uint64_t FOpenLonesBefore = 0;
    int64_t FLines = 1;
    uint64_t FLoneBreaks = 0;
    std::size_t FScanned = 0;
    bool FFirstByteStray;
    uint64_t FTruncations = 0;
};
