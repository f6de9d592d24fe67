#include "view/SjisEditHistory.h"

#include <utility>

namespace {

std::size_t SizeOf(const SjisEditHistory::Step& step) { return step.Removed.size() + step.Inserted.size(); }

bool HasBreak(const std::string& bytes) { return bytes.find_first_of("\r\n") != std::string::npos; }

} // namespace

bool SjisEditHistory::Join(const Step& step)
{
    if (!FJoinable || FUndo.empty() || FUndo.back().Which != step.Which)
        return false;
    Step& last = FUndo.back();
    // A line break typed or deleted is a step of its own, as a text edit
    // makes a new paragraph one.
    if (HasBreak(step.Inserted) || HasBreak(step.Removed))
        return false;
    switch (step.Which) {
    case Kind::Typing:
        // Characters typed behind the ones before (over a selection only
        // for the first of them).
        if (!step.Removed.empty() || HasBreak(last.Inserted) ||
            last.Offset + last.Inserted.size() != step.Offset)
            return false;
        last.Inserted += step.Inserted;
        break;
    case Kind::Backspace:
        if (!step.Inserted.empty() || !last.Inserted.empty() || HasBreak(last.Removed) ||
            step.Offset + step.Removed.size() != last.Offset)
            return false;
        last.Removed.insert(0, step.Removed);
        last.Offset = step.Offset;
        break;
    case Kind::Delete:
        if (!step.Inserted.empty() || !last.Inserted.empty() || HasBreak(last.Removed) ||
            step.Offset != last.Offset)
            return false;
        last.Removed += step.Removed;
        break;
    case Kind::Other: return false;
    }
    last.StrayAfter = step.StrayAfter;
    FBytes += SizeOf(step);
    return true;
}

bool SjisEditHistory::Add(Step step)
{
    DropRedo();
    const std::size_t size = SizeOf(step);
    if (size > Limit) {
        Clear();
        return false;
    }
    if (!Join(step)) {
        FBytes += size;
        FUndo.push_back(std::move(step));
    }
    FJoinable = FUndo.back().Which != Kind::Other;
    while (FBytes > Limit && FUndo.size() > 1) {
        FBytes -= SizeOf(FUndo.front());
        FUndo.pop_front();
    }
    return true;
}

void SjisEditHistory::Undone()
{
    FRedo.push_back(std::move(FUndo.back()));
    FUndo.pop_back();
    FJoinable = false;
}

void SjisEditHistory::Redone()
{
    FUndo.push_back(std::move(FRedo.back()));
    FRedo.pop_back();
    FJoinable = false;
}

void SjisEditHistory::DropRedo()
{
    for (const Step& step : FRedo)
        FBytes -= SizeOf(step);
    FRedo.clear();
}

void SjisEditHistory::Clear()
{
    FUndo.clear();
    FRedo.clear();
    FBytes = 0;
    FJoinable = false;
}
