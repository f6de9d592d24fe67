// SjisView: marked lines, kept across new texts, and moving between them.
#include "view/SjisView.h"

#include <algorithm>

namespace {

// How far from its old place a marked line is looked for in a new text.
constexpr int64_t MarkReach = 1 << 21;

} // namespace

std::vector<SjisView::MarkedLine> SjisView::MarkedBytes() const
{
    std::vector<MarkedLine> marked;
    if (FMarks.empty())
        return marked;
    Complete();
    for (const int64_t m : FMarks)
        if (m < FBuffer->Count())
            marked.push_back({m, std::string(FBuffer->Bytes(m)),
                              m > 0 ? std::string(FBuffer->Bytes(m - 1)) : std::string()});
    return marked;
}

void SjisView::PutBackMarks(const std::vector<MarkedLine>& marked)
{
    FMarks.clear();
    if (marked.empty())
        return;
    FBuffer->IndexMore();
    const int64_t count = FBuffer->Count();
    // A mark goes to the nearest line that holds its bytes behind the line
    // that came before it (a first line of the new text has none to check:
    // the text may have been cut there), looked for first where the lines
    // before it went (a cut or an insertion moves its neighbours too).
    auto holds = [&](const MarkedLine& line, int64_t j) {
        return j >= 0 && j < count && FBuffer->Bytes(j) == line.Bytes &&
            (j == 0 || line.Line == 0 || FBuffer->Bytes(j - 1) == line.Before) &&
            !std::binary_search(FMarks.begin(), FMarks.end(), j);
    };
    int64_t shift = 0;
    for (const MarkedLine& line : marked) {
        const int64_t guess = line.Line + shift;
        for (int64_t d = 0; d <= MarkReach && (guess + d < count || guess - d >= 0); ++d) {
            const int64_t hit = holds(line, guess - d) ? guess - d
                : d > 0 && holds(line, guess + d)      ? guess + d
                                                       : -1;
            if (hit >= 0) {
                FMarks.insert(std::lower_bound(FMarks.begin(), FMarks.end(), hit), hit);
                shift = hit - line.Line;
                break;
            }
        }
    }
}

int64_t SjisView::ViewLineOf(int64_t source) const
{
    if (!FKept)
        return source < FBuffer->Count() ? source : -1;
    const std::vector<int64_t>& kept = FKept->Sources();
    const auto at = std::lower_bound(kept.begin(), kept.end(), source);
    return at != kept.end() && *at == source ? at - kept.begin() : -1;
}

bool SjisView::IsMarked(int64_t i) const
{
    const int64_t source = Current().SourceLine(i);
    return source >= 0 && std::binary_search(FMarks.begin(), FMarks.end(), source);
}

void SjisView::ToggleMark()
{
    Complete();
    const int64_t source = Current().SourceLine(Current().LineAt(FCaret));
    if (source < 0)
        return;
    const auto at = std::lower_bound(FMarks.begin(), FMarks.end(), source);
    if (at != FMarks.end() && *at == source)
        FMarks.erase(at);
    else
        FMarks.insert(at, source);
    viewport()->update();
}

bool SjisView::GoToMark(bool forward)
{
    Complete();
    const SjisLines& lines = Current();
    int64_t here = lines.SourceLine(lines.LineAt(FCaret));
    if (here < 0)
        here = FBuffer->Count();
    auto shown = [&](int64_t m) { return ViewLineOf(m) >= 0; };
    int64_t target = -1;
    if (forward) {
        auto m = std::upper_bound(FMarks.begin(), FMarks.end(), here);
        for (; m != FMarks.end() && target < 0; ++m)
            if (shown(*m))
                target = *m;
        for (m = FMarks.begin(); m != FMarks.end() && target < 0; ++m)
            if (shown(*m))
                target = *m;
    } else {
        auto m = std::lower_bound(FMarks.begin(), FMarks.end(), here);
        for (auto r = std::make_reverse_iterator(m); r != FMarks.rend() && target < 0; ++r)
            if (shown(*r))
                target = *r;
        for (auto r = FMarks.rbegin(); r != FMarks.rend() && target < 0; ++r)
            if (shown(*r))
                target = *r;
    }
    if (target < 0)
        return false;
    FGoalX = -1;
    MoveCaret(lines.Start(ViewLineOf(target)), false);
    return true;
}

bool SjisView::FilterToMarks()
{
    if (FMarks.empty())
        return false;
    ApplyFilterNow(LineFilter::Marks());
    return true;
}

void SjisView::ClearMarks()
{
    FMarks.clear();
    viewport()->update();
}
