// Character positions of the lines a view shows, as a reader of the decoded
// text counts them: UTF-16 units of each line's characters, and one for each
// line break. A text of a gigabyte cannot be decoded whole for each question,
// so the character offset of every BlockLines-th line is kept, found lazily
// by one counting pass that decodes nothing into memory; a question then
// decodes at most one block's lines and the range it asks for. The owner
// says which lines changed (Forget); the blocks before them stay. Nothing
// here waits or touches widgets.
#pragma once

#include <QString>

#include <cstdint>
#include <string_view>
#include <vector>

class SjisLines;

class SjisCharOffsets {
public:
    // Lines between two kept offsets.
    static constexpr int64_t BlockLines = 256;

    // Lines from line on changed, were added or went; those before it kept
    // their bytes and breaks. Does not throw.
    void Forget(int64_t line);

    // Characters of the whole text of lines. Throws std::bad_alloc.
    int64_t Count(const SjisLines& lines);
    // Count() as last found, -1 when it is not known since the last change.
    int64_t KnownCount() const { return FTotal; }
    // Character offset of the start of line i (clamped to the lines).
    int64_t LineStart(const SjisLines& lines, int64_t i);
    // The line that holds character offset chars (a break belongs to the
    // line it ends; offsets past the end give the last line).
    int64_t LineOf(const SjisLines& lines, int64_t chars);
    // Character offset of text (byte) offset offset, and back: the byte
    // offset of the character that holds chars (a break: the line's end).
    int64_t CharOf(const SjisLines& lines, uint64_t offset);
    uint64_t OffsetOf(const SjisLines& lines, int64_t chars);
    // The decoded text of characters [from, to) (clamped), breaks as LF,
    // written once into a string of its final size. Throws std::bad_alloc.
    QString Text(const SjisLines& lines, int64_t from, int64_t to);

    // UTF-16 units of bytes decoded as the view decodes a line; with stray
    // the first byte is one character whatever it is.
    static int64_t LineChars(std::string_view bytes, bool stray = false);

private:
    int64_t LineChars(const SjisLines& lines, int64_t i) const;
    // Builds kept offsets until block b's is known or no line is left.
    void Extend(const SjisLines& lines, std::size_t b);
    int64_t BlockChars(const SjisLines& lines, int64_t first) const;
    // The raw bytes of the block of lines from first, breaks included, when
    // they lie in one run of the buffer.
    static bool BlockRaw(const SjisLines& lines, int64_t first, std::string_view& raw);

    // FStarts[b]: character offset of line b * BlockLines, for every line
    // that stands behind a break (so appending cannot move it).
    std::vector<int64_t> FStarts{0};
    int64_t FTotal = -1; // Count(), while valid
};
