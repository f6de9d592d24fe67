// The undo and redo history of the user's edits in the text view. A step is
// the place, the bytes it took out and the bytes it put in (text bytes, line
// breaks as CR LF), so the history costs what the edits moved, not the text.
// Typing in a row, and Backspace or Delete pressed in a row, make one step,
// as a text edit's undo has them. Nothing here touches the text or widgets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class SjisEditHistory {
public:
    // Bytes all steps may hold together; the oldest steps go beyond it, and
    // a step beyond it alone empties the history instead.
    static constexpr std::size_t Limit = 64u << 20;

    // What made a step, which decides whether the next one joins it.
    enum class Kind {
        Typing,    // characters typed at the caret
        Backspace, // the character before the caret taken out
        Delete,    // the character behind the caret taken out
        Other,     // anything else (cut, paste, a line deleted): a step alone
    };

    struct Step {
        uint64_t Offset = 0;
        std::string Removed;
        std::string Inserted;
        // The selection before the step, put back by its undo when there was one.
        uint64_t AnchorBefore = 0;
        uint64_t CaretBefore = 0;
        // Whether the text's first byte was shown alone before and after it.
        bool StrayBefore = false;
        bool StrayAfter = false;
        Kind Which = Kind::Other;
        // The lines the removed bytes spanned, and the one behind them,
        // that were marked before the step, counted from its first line: its
        // undo marks them again.
        std::vector<int64_t> MarkedLines;
    };

    // Takes a step just done: the redo steps go, and it joins the last step
    // when both are of one run of typing or deleting. False when it is beyond
    // Limit alone: the history is then empty. Throws std::bad_alloc.
    bool Add(Step step);
    bool CanUndo() const { return !FUndo.empty(); }
    bool CanRedo() const { return !FRedo.empty(); }
    // The step an undo (a redo) takes back (does again); only while CanUndo
    // (CanRedo).
    const Step& NextUndo() const { return FUndo.back(); }
    const Step& NextRedo() const { return FRedo.back(); }
    // The step NextUndo (NextRedo) was done to the text: it moves to the other
    // list. The next step added stands alone.
    void Undone();
    void Redone();
    // Drops the steps a redo would do (the text went on another way).
    void DropRedo();
    void Clear();
    // Bytes the steps hold.
    std::size_t Bytes() const { return FBytes; }

private:
    bool Join(const Step& step);

    std::deque<Step> FUndo;
    std::vector<Step> FRedo;
    std::size_t FBytes = 0;
    bool FJoinable = false;
};
