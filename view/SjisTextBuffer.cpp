#include "view/SjisTextBuffer.h"

#include <algorithm>

SjisTextBuffer::SjisTextBuffer() = default;

void SjisTextBuffer::SetText(std::string bytes, bool firstByteStray)
{
    SetText(SjisTextStore(std::move(bytes)), firstByteStray);
}

void SjisTextBuffer::SetText(SjisTextStore bytes, bool firstByteStray)
{
    FFirstByteStray = firstByteStray && bytes.Size() > 0;
    FStore = std::move(bytes);
    FIndex = SjisLineIndex(FFirstByteStray);
}

void SjisTextBuffer::SetText(SjisTextStore bytes, SjisLineIndex index)
{
    FFirstByteStray = false;
    FStore = std::move(bytes);
    FIndex = std::move(index);
}

void SjisTextBuffer::Append(std::string_view bytes)
{
    FStore.Append(bytes);
}

void SjisTextBuffer::Truncate(uint64_t raw)
{
    if (raw >= FStore.Size())
        return;
    FStore.Resize(raw);
    if (FStore.Size() == 0) {
        FFirstByteStray = false;
        FIndex = SjisLineIndex(false);
    } else {
        FIndex.Truncate(raw);
    }
}

bool SjisTextBuffer::IndexMore(std::size_t maxBytes)
{
    if (!FStore.InFileBacked()) {
        FIndex.Scan(FStore.Bytes(), maxBytes);
        return Indexed();
    }
    // A text in a file is scanned in pieces whose pages are given back
    // behind the scan, so indexing it holds one piece at a time.
    constexpr std::size_t Piece = std::size_t(16) << 20;
    const std::string_view bytes = FStore.Bytes();
    while (maxBytes > 0 && !Indexed()) {
        const std::size_t from = FIndex.Scanned();
        const std::size_t piece = std::min(maxBytes, Piece);
        FIndex.Scan(bytes, piece);
        FStore.GiveBack(from, FIndex.Scanned());
        maxBytes -= piece;
    }
    return Indexed();
}

double SjisTextBuffer::IndexedShare() const
{
    return FStore.Size() == 0 ? 1.0 : static_cast<double>(FIndex.Scanned()) / static_cast<double>(FStore.Size());
}

std::string_view SjisTextBuffer::Bytes(int64_t i) const
{
    if (i < 0 || i >= Count())
        return {};
    return FStore.Bytes().substr(FIndex.RawStart(i), FIndex.RawLength(i));
}

uint64_t SjisTextBuffer::RawOffset(uint64_t offset) const
{
    const int64_t line = FIndex.LineAtText(offset);
    const uint64_t within = std::min<uint64_t>(offset - FIndex.TextStart(line), FIndex.RawLength(line));
    return FIndex.RawStart(line) + within;
}

int64_t SjisTextBuffer::LineAtRaw(uint64_t raw) const
{
    uint64_t start = 0;
    return FIndex.LineAtRaw(raw, start);
}

std::string SjisTextBuffer::TextCopy() const
{
    std::string text;
    text.reserve(Length());
    for (int64_t i = 0; i < Count(); ++i) {
        if (i > 0)
            text += "\r\n";
        text += Bytes(i);
    }
    return text;
}

SjisKeptLines::SjisKeptLines(const SjisTextBuffer& buffer, std::vector<int64_t> kept)
    : FBuffer(buffer), FKept(std::move(kept))
{
    FStarts.reserve(FKept.size() + 1);
    uint64_t at = 0;
    SjisLineIndex::BlockCache cache;
    for (const int64_t line : FKept) {
        FStarts.push_back(at);
        at += FBuffer.Index().RawLength(line, cache);
        if (line + 1 < FBuffer.Count())
            at += 2;
    }
    FStarts.push_back(at);
    FTrailingEmpty = FKept.empty() || FKept.back() + 1 < FBuffer.Count();
}

int64_t SjisKeptLines::SourceLine(int64_t i) const
{
    return i >= 0 && i < static_cast<int64_t>(FKept.size()) ? FKept[static_cast<std::size_t>(i)] : -1;
}

int64_t SjisKeptLines::Count() const
{
    return static_cast<int64_t>(FKept.size()) + (FTrailingEmpty ? 1 : 0);
}

uint64_t SjisKeptLines::Start(int64_t i) const
{
    return FStarts[static_cast<std::size_t>(std::min<int64_t>(i, static_cast<int64_t>(FKept.size())))];
}

std::string_view SjisKeptLines::Bytes(int64_t i) const
{
    const int64_t source = SourceLine(i);
    return source < 0 ? std::string_view() : FBuffer.Bytes(source);
}

uint64_t SjisKeptLines::Length() const
{
    return FStarts.back();
}

int64_t SjisKeptLines::LineAt(uint64_t offset) const
{
    const auto it = std::upper_bound(FStarts.begin(), FStarts.end() - (FTrailingEmpty ? 0 : 1), offset);
    return std::max<int64_t>(0, (it - FStarts.begin()) - 1);
}

bool SjisKeptLines::FirstByteStray() const
{
    return FBuffer.FirstByteStray() && !FKept.empty() && FKept.front() == 0;
}

int64_t SjisKeptLines::RunStart(int64_t i) const
{
    while (i > 0 && i < static_cast<int64_t>(FKept.size())
           && FKept[static_cast<std::size_t>(i - 1)] + 1 == FKept[static_cast<std::size_t>(i)])
        --i;
    return i;
}

int64_t SjisKeptLines::RunEnd(int64_t i) const
{
    const auto n = static_cast<int64_t>(FKept.size());
    if (i >= n)
        return Count();
    ++i;
    while (i < n && FKept[static_cast<std::size_t>(i - 1)] + 1 == FKept[static_cast<std::size_t>(i)])
        ++i;
    return i;
}
