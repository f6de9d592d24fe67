// The text of the view held once: the Shift_JIS bytes in one contiguous
// buffer, as converted (line breaks as they came), with a line index built
// over it in slices. What the view shows is a list of lines over that buffer:
// all of them (SjisTextBuffer itself) or the lines a filter kept
// (SjisKeptLines), which is an index, not a copy of their bytes.
// Offsets given out are text offsets: every line break counts as CR LF.
// Nothing here waits or touches widgets.
#pragma once

#include "view/SjisLineIndex.h"
#include "view/SjisTextStore.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Lines as the view reads them.
class SjisLines {
public:
    virtual ~SjisLines() = default;
    // Lines, the line after the last break included even when empty (so at
    // least one).
    virtual int64_t Count() const = 0;
    // Text offset of the start of line i (0 <= i < Count()).
    virtual uint64_t Start(int64_t i) const = 0;
    // Bytes of line i without its line break.
    virtual std::string_view Bytes(int64_t i) const = 0;
    // Text length, breaks as CR LF.
    virtual uint64_t Length() const = 0;
    // The line holding text offset offset (a break belongs to the line it
    // ends); offsets past the end give the last line.
    virtual int64_t LineAt(uint64_t offset) const = 0;
    // The first byte of line 0 is shown alone, whatever it is.
    virtual bool FirstByteStray() const = 0;
    // The buffer the lines are read from, and the line of it that line i
    // shows (-1 for an empty last line that none shows).
    virtual const class SjisTextBuffer& Buffer() const = 0;
    virtual int64_t SourceLine(int64_t i) const = 0;
    // The first line and the line behind the last of the run of lines around
    // line i whose source lines follow each other, so that their bytes lie
    // in one piece of the buffer.
    virtual int64_t RunStart(int64_t i) const = 0;
    virtual int64_t RunEnd(int64_t i) const = 0;
};

class SjisTextBuffer : public SjisLines {
public:
    // Starts empty.
    SjisTextBuffer();

    // Takes bytes as the whole text (no copy) and starts a new index over
    // them; nothing is indexed until IndexMore. Does not throw beyond
    // std::bad_alloc.
    void SetText(std::string bytes, bool firstByteStray = false);
    // The same for a text in a store of its own (a big text in a file).
    void SetText(SjisTextStore bytes, bool firstByteStray = false);
    // A text with its index built already over all of it, without a stray
    // first byte (SjisTextWindow).
    void SetText(SjisTextStore bytes, SjisLineIndex index);
    // Appends bytes to the text; the index takes them on its next
    // IndexMore, at a cost in proportion to them. Throws std::bad_alloc.
    void Append(std::string_view bytes);
    // Cuts the text at raw offset raw (nothing past its end); the index
    // goes back to the start of the line that held it. Does not throw.
    void Truncate(uint64_t raw);
    // Indexes up to maxBytes more; true when the whole text is indexed.
    // Does not wait.
    bool IndexMore(std::size_t maxBytes = SIZE_MAX);
    // True when every byte held is in the index.
    bool Indexed() const { return FIndex.Scanned() >= FStore.Size(); }
    // Share of the bytes indexed, 0 to 1.
    double IndexedShare() const;

    // All bytes held, raw (breaks as they came).
    std::string_view Raw() const { return FStore.Bytes(); }
    // Gives back the memory of what a pass read between raw offsets from
    // and to, where the text lies in a file (see SjisTextStore).
    void GiveBack(uint64_t from, uint64_t to) const { FStore.GiveBack(from, to); }
    bool InFileBacked() const { return FStore.InFileBacked(); }
    // For a text in a file: an empty store in a new file beside it.
    std::optional<SjisTextStore> SiblingStore(uint64_t capacity) const { return FStore.Sibling(capacity); }
    const SjisLineIndex& Index() const { return FIndex; }
    // Raw offset of text offset offset.
    uint64_t RawOffset(uint64_t offset) const;
    // The line that holds raw offset raw.
    int64_t LineAtRaw(uint64_t raw) const;
    // The text with CR LF line breaks, as one string: costs its whole size.
    std::string TextCopy() const;

    // SjisLines over the indexed part of the text.
    int64_t Count() const override { return FIndex.Count(); }
    uint64_t Start(int64_t i) const override { return FIndex.TextStart(i); }
    std::string_view Bytes(int64_t i) const override;
    uint64_t Length() const override { return FIndex.TextLength(); }
    int64_t LineAt(uint64_t offset) const override { return FIndex.LineAtText(offset); }
    bool FirstByteStray() const override { return FFirstByteStray; }
    const SjisTextBuffer& Buffer() const override { return *this; }
    int64_t SourceLine(int64_t i) const override { return i; }
    int64_t RunStart(int64_t) const override { return 0; }
    int64_t RunEnd(int64_t) const override { return Count(); }

private:
    SjisTextStore FStore;
    SjisLineIndex FIndex;
    bool FFirstByteStray = false;
};

// The lines of a buffer that a filter kept, with their text offsets as if
// they were the whole text: each kept line keeps its own line break (so a
// kept last line that had one is followed by an empty line).
class SjisKeptLines : public SjisLines {
public:
    // Lines kept of buffer, in increasing order. The buffer must outlive
    // this and not be replaced meanwhile (appending is fine).
    SjisKeptLines(const SjisTextBuffer& buffer, std::vector<int64_t> kept);

    int64_t Count() const override;
    uint64_t Start(int64_t i) const override;
    std::string_view Bytes(int64_t i) const override;
    uint64_t Length() const override;
    int64_t LineAt(uint64_t offset) const override;
    bool FirstByteStray() const override;
    const SjisTextBuffer& Buffer() const override { return FBuffer; }
    int64_t SourceLine(int64_t i) const override;
    int64_t RunStart(int64_t i) const override;
    int64_t RunEnd(int64_t i) const override;
    // The buffer's lines kept, in order.
    const std::vector<int64_t>& Sources() const { return FKept; }

private:
    const SjisTextBuffer& FBuffer;
    std::vector<int64_t> FKept;
    std::vector<uint64_t> FStarts;   // text start of each kept line, and the end behind the last
    bool FTrailingEmpty = false;
};
