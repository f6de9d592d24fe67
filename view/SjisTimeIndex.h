// The time index beside a text's line index: the time of the first line of
// each block of 1024 lines, read in the same slices as the line index is
// built, so a gigabyte's index reads some ten thousand lines' times and
// holds some ten thousand entries. A line's own time and the first line at
// or after a time are found from it with a scan of a block or two. Like the
// line index it does not hold the bytes: each call is handed them and the
// line index over them. Nothing here waits or touches Qt.
#pragma once

#include "view/LogTime.h"
#include "view/SjisLineIndex.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class SjisTimeIndex {
public:
    // Lines per block.
    static constexpr int64_t BlockLines = 1024;
    // Lines looked at before a block's first line for its time, when it has
    // none of its own (a stack trace across the block's start).
    static constexpr int64_t LookBack = 16;
    // Lines a lookup walks at most to find a time carried on from before.
    static constexpr int64_t MaxWalk = int64_t{1} << 16;
    // Lines learned for the log's format before it is decided anyway. A log
    // with no time among them is a log without times: it costs nothing more
    // and shows none.
    static constexpr int64_t LearnLines = BlockLines;

    // referenceMs: what syslog's lines are dated against (the copy's
    // modification time).
    explicit SjisTimeIndex(int64_t referenceMs);

    // After lines has scanned more of bytes: learns the log's format from its
    // first lines, then reads the time of each new block's first line once
    // that line is whole. With ended the text ends at lines' end for now, so
    // a short log's format is decided with the lines it has. It reads the
    // first LearnLines lines until the format is decided, and up to LookBack
    // lines before each new block's start: those bytes must still be there
    // (not pages given back and zeroed). Does not wait; throws std::bad_alloc.
    void Scan(std::string_view bytes, const SjisLineIndex& lines, bool ended = false);
    // After lines was truncated: forgets the blocks that start at or after
    // its last line. Does not throw.
    void Truncate(const SjisLineIndex& lines);

    // Line i's time: its own, or carried on from the lines before it (found
    // within MaxWalk lines); none in a log without times. Does not throw.
    LineTime TimeOf(std::string_view bytes, const SjisLineIndex& lines, int64_t i) const;
    // The first line whose time is at or after ms, as is the next line's, or
    // lines.Count() when there is none. The blocks are searched by the
    // latest time up to each among the blocks whose first lines are in step
    // with their neighbours', so a line out of order at a block's start does
    // not mislead the search; then the lines are scanned from the last such
    // block that starts before ms. A lone line ahead of the next one (a clock
    // that jumped and came back) is passed over. Does not throw.
    int64_t FirstAtOrAfter(std::string_view bytes, const SjisLineIndex& lines, int64_t ms) const;

    // True once the log's format is decided and it has one.
    bool HasTimes() const { return FReader.Decided() && FReader.Format() != LogTimeFormat::None; }
    const LogTimeReader& Reader() const { return FReader; }
    // Blocks whose first line's time has been read.
    std::size_t Blocks() const { return FBlocks.size(); }
    // Bytes the index takes, roughly.
    std::size_t MemoryUse() const { return FBlocks.capacity() * sizeof(Block) + sizeof(*this); }

private:
    static constexpr int64_t Unknown = INT64_MIN;
    struct Block {
        int64_t Start;    // the time of the block's first line, or Unknown
        int64_t Envelope; // the latest Start in step up to this block
        bool InStep;      // Start is not before the block before's, nor after the next's
    };
    // Settles block k's InStep and Envelope once the block after it is read
    // (or, for the last block, leaves them open).
    void Settle(std::size_t k);
    // Line j's time, its own or carried on, or Unknown.
    int64_t CarriedTime(std::string_view bytes, const SjisLineIndex& lines, int64_t j,
                        SjisLineIndex::BlockCache& cache) const;

    LogTimeReader FReader;
    int64_t FLearned = 0; // lines learned from while the format is undecided
    std::vector<Block> FBlocks;
};
