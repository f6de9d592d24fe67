// SjisView: find and the filter, run in slices, and their waits.
#include "view/SjisView.h"

#include "view/SjisLineSearch.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <chrono>
#include <utility>

void SjisView::StartFind(const std::string& find, const sjis::FindOptions& options,
                         std::function<void(bool)> done)
{
    StopSearch();
    FinishIndex();
    FSearch = std::make_unique<SjisLineSearch>(
        Current(), find, options, FCaret == FAnchor ? FCaret : static_cast<uint64_t>(SelStart()));
    FSearchDone = std::move(done);
    FSearchIsFilter = false;
    FSearchLength = find.size();
    SearchSlice();
}

void SjisView::StartFilter(std::string needle, std::function<void(bool)> done)
{
    StartFilter(LineFilter::Text(std::move(needle), {.MatchCase = true}), std::move(done));
}

void SjisView::StartFilter(std::shared_ptr<const LineFilter> rule, std::function<void(bool)> done)
{
    StopSearch();
    FinishIndex();
    FSearch = std::make_unique<SjisLineSearch>(SjisLineSearch::Filter(Current(), rule));
    FSearchRule = std::move(rule);
    FSearchDone = std::move(done);
    FSearchIsFilter = true;
    SearchSlice();
}

void SjisView::SearchSlice()
{
    if (!FSearch)
        return;
    // The clock is also read between a pattern's lines, so that no slice
    // runs much past its time however slow the pattern is on them.
    const auto deadline = SjisLineSearch::Clock::now() + std::chrono::milliseconds(SliceMilliseconds);
    bool done = false;
    while (!done && SjisLineSearch::Clock::now() < deadline)
        done = FSearch->Step(PieceBytes, deadline);
    if (!done) {
        FSearchTimer.start();
        if (!FWatchingEsc) {
            // The focus may be anywhere in the window (the filter field
            // after its Enter): Esc is watched for application-wide.
            qApp->installEventFilter(this);
            FWatchingEsc = true;
        }
        if (OnProgress)
            OnProgress(FSearchIsFilter ? QStringLiteral("絞込中") : QStringLiteral("検索中"),
                       FSearch->Progress());
        return;
    }
    EndSearch(true);
}

void SjisView::StopSearch()
{
    if (FSearch)
        EndSearch(false);
}

bool SjisView::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (!FSearch || (type != QEvent::ShortcutOverride && type != QEvent::KeyPress))
        return QAbstractScrollArea::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const auto* widget = qobject_cast<QWidget*>(watched);
    if (key->key() != Qt::Key_Escape || key->modifiers() != Qt::NoModifier || !widget ||
        widget->window() != window())
        return QAbstractScrollArea::eventFilter(watched, event);
    StopSearch();
    event->accept();
    return true;
}

void SjisView::EndSearch(bool finished)
{
    FSearchTimer.stop();
    if (FWatchingEsc) {
        qApp->removeEventFilter(this);
        FWatchingEsc = false;
    }
    std::unique_ptr<SjisLineSearch> search = std::move(FSearch);
    std::function<void(bool)> done = std::move(FSearchDone);
    std::function<void()> stopped = std::move(FSearchStopped);
    FSearchDone = nullptr;
    FSearchStopped = nullptr;
    FSearchTooComplex = finished && search->TooComplex();
    finished = finished && !FSearchTooComplex;
    FSearchWasStopped = !finished;
    if (OnProgress)
        OnProgress(QString(), 1.0);
    if (const OwnFilter own = std::exchange(FOwnFilter, OwnFilter::None); own != OwnFilter::None) {
        EndOwnFilter(own, *search, finished);
        return;
    }
    if (!finished) {
        if (stopped)
            stopped();
        return;
    }
    bool result = false;
    if (FSearchIsFilter) {
        const SjisLines& lines = Current();
        const auto kept = static_cast<int64_t>(search->Kept().size());
        // Every line kept (an empty last line is never kept): nothing changes.
        const int64_t all = lines.Count() - (lines.Bytes(lines.Count() - 1).empty() ? 1 : 0);
        result = kept != all;
        FActiveFilter = std::move(FSearchRule);
        if (result) {
            std::vector<int64_t> sources = search->Kept();
            search.reset();
            ShowKept(std::move(sources));
        }
    } else {
        const uint64_t at = search->Found();
        result = at != SjisLineSearch::NotFound;
        if (result) {
            FAnchor = at;
            FCaret = SnapOffset(at + FSearchLength);
            EnsureCaretVisible();
            viewport()->update();
            CaretMoved();
        }
    }
    if (done)
        done(result);
}

void SjisView::ShowKept(std::vector<int64_t> sources)
{
    // The caret moves with the text around it; in a dropped line it
    // goes to where that line was.
    const SjisLines& lines = Current();
    const int64_t caretLine = lines.LineAt(FCaret);
    const int64_t caretSource = lines.SourceLine(caretLine);
    const uint64_t within = FCaret - lines.Start(caretLine);
    auto view = std::make_unique<SjisKeptLines>(*FBuffer, std::move(sources));
    int64_t lo = 0;
    int64_t hi = view->Count();
    // First kept line at or after the caret's.
    while (lo < hi) {
        const int64_t mid = (lo + hi) / 2;
        const int64_t s = view->SourceLine(mid);
        if (s >= 0 && s < caretSource)
            lo = mid + 1;
        else
            hi = mid;
    }
    uint64_t caret = lo < view->Count() ? view->Start(lo) : view->Length();
    if (lo < view->Count() && view->SourceLine(lo) == caretSource)
        caret += std::min<uint64_t>(within, view->Bytes(lo).size() + 2);
    FKept = std::move(view);
    // Other lines shown: the edit steps' places mean nothing in them.
    ClearHistory();
    FAnchor = FCaret = std::min<uint64_t>(caret, FKept->Length());
    Relayout();
    verticalScrollBar()->setValue(0);
    EnsureCaretVisible();
    LinesChanged(0);
}

void SjisView::ApplyFilterNow(std::shared_ptr<const LineFilter> rule)
{
    StopSearch();
    Complete();
    if (rule->Which() == LineFilter::Kind::Marks) {
        FActiveFilter = std::move(rule);
        ShowKept(FMarks);
        return;
    }
    FActiveFilter = std::move(rule);
    StartOwnFilter(OwnFilter::Again,
                   std::make_unique<SjisLineSearch>(SjisLineSearch::Filter(Current(), FActiveFilter)));
}

void SjisView::StartOwnFilter(OwnFilter kind, std::unique_ptr<SjisLineSearch> search)
{
    FSearch = std::move(search);
    FSearchRule = nullptr;
    FSearchDone = nullptr;
    FSearchStopped = nullptr;
    FSearchIsFilter = true;
    FOwnFilter = kind;
    SearchSlice();
}

void SjisView::EndOwnFilter(OwnFilter kind, const SjisLineSearch& search, bool ran)
{
    if (kind == OwnFilter::Appended) {
        // The kept lines before the new ones, then the new ones kept, or all
        // of them when the filter did not run through.
        std::vector<int64_t> sources = FKept ? FKept->Sources() : std::vector<int64_t>();
        const bool atEnd = FKept && FCaret == FKept->Length();
        if (ran) {
            sources.insert(sources.end(), search.Kept().begin(), search.Kept().end());
        } else {
            const int64_t last = FBuffer->Count() - 1;
            for (int64_t i = FAppendFrom; i <= last; ++i)
                if (i < last || !FBuffer->Bytes(i).empty())
                    sources.push_back(i);
        }
        const auto unchanged = FKept ? FKept->Count() - 1 : int64_t(0);
        FKept = std::make_unique<SjisKeptLines>(*FBuffer, std::move(sources));
        if (atEnd)
            FAnchor = FCaret = FKept->Length();
        FAnchor = std::min<uint64_t>(FAnchor, FKept->Length());
        FCaret = std::min<uint64_t>(FCaret, FKept->Length());
        FLayouts.clear();
        UpdateScrollRange();
        viewport()->update();
        if (atEnd)
            EnsureCaretVisible();
        LinesChanged(std::max<int64_t>(unchanged, 0));
        CaretMoved();
    } else if (ran) {
        const SjisLines& lines = Current();
        const int64_t all = lines.Count() - (lines.Bytes(lines.Count() - 1).empty() ? 1 : 0);
        if (static_cast<int64_t>(search.Kept().size()) != all)
            ShowKept(search.Kept());
    }
    if (!ran) {
        FActiveFilter.reset();
        if (OnFilterDropped)
            OnFilterDropped(FSearchTooComplex);
    }
}

void SjisView::DropSearch()
{
    FSearchTimer.stop();
    if (FWatchingEsc) {
        qApp->removeEventFilter(this);
        FWatchingEsc = false;
    }
    FSearch.reset();
    FSearchDone = nullptr;
    FSearchStopped = nullptr;
    FOwnFilter = OwnFilter::None;
    if (OnProgress)
        OnProgress(QString(), 1.0);
}

SjisView::SearchEnd SjisView::FindWait(const std::string& find, const sjis::FindOptions& options)
{
    SearchEnd end = SearchEnd::Stopped;
    bool running = true;
    QEventLoop loop;
    StartFind(find, options, [&](bool found) {
        end = found ? SearchEnd::Found : SearchEnd::NotFound;
        running = false;
        loop.quit();
    });
    if (running) {
        FSearchStopped = [&] {
            running = false;
            loop.quit();
        };
        loop.exec();
    }
    return end;
}

SjisView::SearchEnd SjisView::FilterWait(std::string needle)
{
    return FilterWait(LineFilter::Text(std::move(needle), {.MatchCase = true}));
}

SjisView::SearchEnd SjisView::FilterWait(std::shared_ptr<const LineFilter> rule)
{
    SearchEnd end = SearchEnd::Stopped;
    bool running = true;
    QEventLoop loop;
    StartFilter(std::move(rule), [&](bool changed) {
        end = changed ? SearchEnd::Found : SearchEnd::NotFound;
        running = false;
        loop.quit();
    });
    if (running && !FSearch) {
        // Ended in its first slice without its lines.
        end = FSearchTooComplex ? SearchEnd::TooComplex : SearchEnd::Stopped;
    } else if (running) {
        FSearchStopped = [&] {
            end = FSearchTooComplex ? SearchEnd::TooComplex : SearchEnd::Stopped;
            running = false;
            loop.quit();
        };
        loop.exec();
    }
    return end;
}
