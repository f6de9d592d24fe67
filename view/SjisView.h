// The text view for texts of any size: black, console-like, showing Shift_JIS
// text held once in a SjisTextBuffer. Only the lines on screen are decoded,
// laid out (wrapped at the view's width) and painted; the vertical scroll bar
// counts lines, so any place of the text is reached at once. The line index
// of a big text is built in slices from the event loop, and find and the
// filter scan the buffer in slices too, so the window keeps answering.
// Every position of the interface (caret, selection) is a byte offset into
// the text with CR LF line breaks, as SjisMemo gives them.
#pragma once

#include "view/LineFilter.h"
#include "view/SjisCharOffsets.h"
#include "view/SjisDirectedSearch.h"
#include "view/SjisEditHistory.h"
#include "view/SjisTextBuffer.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QPoint>
#include <QRect>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QMenu;
class QTextLayout;

class SjisView : public QAbstractScrollArea {
    Q_OBJECT
public:
    // Most bytes a copy puts on the clipboard; a longer selection is cut
    // there and OnNotice says so.
    static constexpr uint64_t CopyLimit = 32ull << 20;
    // Work is done in slices of the event loop of about this many
    // milliseconds, in pieces of this many bytes; a text of one piece is
    // indexed at once.
    static constexpr int SliceMilliseconds = 30;
    static constexpr std::size_t PieceBytes = 1u << 20;

    explicit SjisView(QWidget* parent = nullptr);
    ~SjisView() override;

    // Empties the view and its undo history. Does not wait; does not throw.
    void Clear();
    // Replaces the whole text by a copy of bytes; line breaks of every kind
    // are kept as they came and read as CR LF. With firstByteStray the first
    // byte is shown alone. Caret at the start. A text beyond one piece is
    // indexed from the event loop: until then the view shows what is indexed
    // and OnProgress reports. The undo history is emptied. Does not wait;
    // throws std::bad_alloc.
    void SetText(std::string_view bytes, bool firstByteStray = false);
    // SetText without the copy: the view takes bytes.
    void AdoptText(std::string bytes, bool firstByteStray = false);
    // The same for a text in a store of its own (a big text in a file).
    void AdoptText(SjisTextStore bytes, bool firstByteStray = false);
    // The same for a text with its index built already (read aside).
    void AdoptText(SjisTextBuffer text);
    // Appends bytes at the end (Follow): costs in proportion to them.
    // The caret and the lines shown stay. It cannot be undone: the redo
    // steps go and the undo steps, which lie before it, stay (with a filter
    // in force, which may drop the last line shown, they go too). Throws
    // std::bad_alloc.
    void Append(std::string_view bytes);
    // Indexes whatever is left at once. Does not run the event loop.
    void FinishIndex();
    // True while the index is still being built.
    bool Indexing() const;

    // The whole text with CR LF breaks: costs a copy of it. Prefer Lines().
    std::string Text() const;
    // Length of Text() in bytes, without building it.
    int64_t TextLength() const;
    // The lines shown, for reading ranges without copying the text. This
    // and every call below that gives or takes an offset first completes
    // the index (at a few GB/s) when it is still being built.
    const SjisLines& Lines() const;

    int64_t SelStart() const;
    // Puts the caret at a byte offset (clamped; inside a character it goes
    // to its start), emptying the selection.
    void SetSelStart(int64_t offset);
    int64_t SelLength() const;
    // Selects length bytes from the selection's start and scrolls the caret
    // (the selection's end) into sight.
    void SetSelLength(int64_t length);
    // Replaces the selection by bytes; the caret stands behind them. At the
    // end of the text it costs the new bytes, elsewhere a copy of the text.
    // The program's edit, not the user's: it cannot be undone, keeps the undo
    // steps when it lies behind every place they touch (Follow's appends, a
    // blank put at the end and taken out) and empties the history otherwise.
    // Throws std::bad_alloc.
    void SetSelText(std::string_view bytes);
    void SelectAll();
    // Puts the selection on the clipboard, cut at CopyLimit bytes (said
    // through OnNotice). Does not wait.
    void Copy();
    // Byte offset of the start of the first line shown; 0 while not shown.
    int64_t FirstShownLineStart() const;
    // Scrolls so that the last line is at the bottom, caret at the end.
    void ShowEnd();

    // Lines; an empty line after the last break does not count.
    int LineCount() const;
    // Bytes of line i without its break; empty outside the text.
    std::string Line(int i) const;
    // Deletes line i with its break (costs a copy of the text), as a step
    // Undo takes back.
    void DeleteLine(int i);

    // Takes back the user's last edit step (typing in a row is one), the
    // text as it was before it and its selection or the caret behind the
    // bytes put back; false when there is none. Redo does the step undone
    // last again, the caret behind it. Each costs what an edit at the same
    // place does. Do not wait; throw std::bad_alloc.
    bool Undo();
    bool Redo();
    bool CanUndo() const { return FHistory.CanUndo(); }
    bool CanRedo() const { return FHistory.CanRedo(); }
    // The menu the view shows on a right click; the caller owns it.
    virtual std::unique_ptr<QMenu> CreateContextMenu();

    // Starts a find from the caret; done(found) is called when it ends (not
    // when stopped), the match then selected. A text beyond a slice is
    // searched from the event loop. Does not wait.
    void StartFind(const std::string& find, const sjis::FindOptions& options, std::function<void(bool)> done);
    // Starts the line filter; done(changed) is called when it ends with the
    // kept lines shown (changed false: every line holds the text, nothing
    // shown changes). Does not wait.
    void StartFilter(std::string needle, std::function<void(bool)> done);
    // StartFilter by a rule (text or pattern, kept or excluded). The rule
    // stays in force until the text is replaced: lines Append adds are
    // filtered by it, and only they.
    void StartFilter(std::shared_ptr<const LineFilter> rule, std::function<void(bool)> done);
    // Puts rule in force on the text shown (for a text just set whose filter
    // was in force before): the kept lines are shown when the filter ends,
    // in its first slice or from the event loop, as StartFilter's; Esc or
    // StopSearch meanwhile, or a line too complex for the pattern, drop the
    // filter (OnFilterDropped). Does not wait. Throws std::bad_alloc.
    void ApplyFilterNow(std::shared_ptr<const LineFilter> rule);
    // The filter in force; null when the view shows every line.
    const std::shared_ptr<const LineFilter>& ActiveFilter() const { return FActiveFilter; }
    // Stops a running find or filter; nothing changes. Esc does the same.
    void StopSearch();
    bool Searching() const { return FSearch != nullptr; }

    // TooComplex: the filter's pattern met a line it could not decide on
    // within PatternMatcher's limits; nothing changed, as for Stopped.
    enum class SearchEnd { Found, NotFound, Stopped, TooComplex };
    // StartFind / StartFilter that wait for the end, running the event loop
    // meanwhile (so the window answers, and Esc or a new text stops them).
    // For the filter Found means the lines shown changed. The view may be
    // gone when they return Stopped.
    SearchEnd FindWait(const std::string& find, const sjis::FindOptions& options);
    SearchEnd FilterWait(std::string needle);
    SearchEnd FilterWait(std::shared_ptr<const LineFilter> rule);

    // Marks, kept by line: through appends and filters, and through a new
    // text (SetText, AdoptText) by the line's bytes and those of the line
    // before it, at the same place or the nearest one that holds them.
    // Clear() drops them.
    // Sets or clears the mark on the caret's line. Does not wait.
    void ToggleMark();
    // Moves the caret to the start of the next (forward) or previous marked
    // line shown, round past the end; false when no marked line is shown.
    bool GoToMark(bool forward);
    // Shows only the marked lines (a filter in force, as StartFilter's);
    // false when there are none.
    bool FilterToMarks();
    void ClearMarks();
    // Marked lines in the text, shown or not.
    std::size_t MarkCount() const { return FMarks.size(); }
    // Whether line i of the lines shown carries a mark.
    bool IsMarked(int64_t i) const;
    // The marked lines with their bytes, to put back on a text shown anew
    // after Clear(); PutBackMarks does what a new text does with them.
    struct MarkedLine {
        int64_t Line;
        std::string Bytes;
        std::string Before;   // the bytes of the line before it
    };
    std::vector<MarkedLine> MarkedBytes() const;
    void PutBackMarks(const std::vector<MarkedLine>& marked);
    // True when the last find or filter was stopped before its end.
    bool SearchWasStopped() const { return FSearchWasStopped; }

    // Colours error and warning lines as LogHighlighter::ToneOf says.
    void SetHighlighting(bool on);
    // The characters line i is drawn with (the stray byte's own character
    // included); empty outside the text.
    QString ShownLine(int64_t i) const;
    // The whole text as drawn, lines joined by LF: costs a copy of it.
    QString ShownText() const;
    // The selection as drawn, lines joined by LF, as copy gives it.
    QString SelectedText() const;
    // Where the caret would stand at offset, in viewport coordinates
    // (above or below the viewport for a line not on screen).
    QRect CaretRect(int64_t offset) const;
    // Scrolls the caret into sight.
    void EnsureCaretVisible();
    // Byte offset of the caret: the end of the selection that moves.
    int64_t CaretPosition() const { return static_cast<int64_t>(FCaret); }
    // The caret position nearest a point of the viewport.
    int64_t OffsetAtPoint(const QPoint& point) const;
    // The byte span of the word a double click on the character at offset
    // takes (a run of characters of one kind: letters, kanji, kana, spaces).
    std::pair<int64_t, int64_t> WordSpan(int64_t offset) const;
    // Character positions of the lines shown, as the accessibility
    // interface (SjisViewAccessible) gives them out.
    SjisCharOffsets& Chars() const { return FChars; }

    // Reports work in slices: a short status word and the share done (0-1);
    // an empty word when the work ended.
    std::function<void(const QString& what, double share)> OnProgress;
    // Reports what the user should know of (a cut copy).
    std::function<void(const QString& text)> OnNotice;
    // A filter the view ran on its own (over the lines Append added, or
    // again after ApplyFilterNow) ended without its lines: stopped, or
    // tooComplex. The filter is no longer in force and those lines are shown
    // whole.
    std::function<void(bool tooComplex)> OnFilterDropped;

protected:
    // Replaces the selection by bytes the user typed, pasted or deleted, as a
    // step of the undo history (typing and deleting in a row join as kind
    // says); line breaks of every kind go in as CR LF. The caret stands
    // behind the bytes. Throws std::bad_alloc.
    void EditSelection(std::string_view bytes, SjisEditHistory::Kind kind);

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // A double click selects the word under the pointer, and a click soon
    // after it the whole line with its break; dragging on extends the
    // selection by words or lines.
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    // The press took the left button's clicks; the release ends them.
    void mouseReleaseEvent(QMouseEvent* event) override;
    // CreateContextMenu's menu.
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    // Esc anywhere in the view's window while a search runs stops it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The lines as far as they are indexed.
    const SjisLines& Current() const;
    void Complete() const;
    // The laid-out line i, cached while the text and width stay.
    QTextLayout& Layout(int64_t i) const;
    int LineHeight(int64_t i) const;
    void Relayout();
    void UpdateScrollRange();
    void IndexSlice();
    void SearchSlice();
    void EndSearch(bool finished);
    // The filters the view runs on its own: over lines appended (the lines
    // kept before them stay shown meanwhile), and again over the text shown.
    enum class OwnFilter { None, Appended, Again };
    void StartOwnFilter(OwnFilter kind, std::unique_ptr<class SjisLineSearch> search);
    void EndOwnFilter(OwnFilter kind, const class SjisLineSearch& search, bool ran);
    // Ends a running search without a word to anyone (the view's own filter
    // started again over more lines).
    void DropSearch();
    // Position of byte offset within line i as a UTF-16 index of its text,
    // and back.
    int CharOf(int64_t line, uint64_t offset) const;
    uint64_t OffsetOf(int64_t line, int chars) const;
    // Start of the character that holds offset.
    uint64_t SnapOffset(uint64_t offset) const;
    // The caret positions one character after and before offset (a line
    // break is one step).
    uint64_t NextOffset(uint64_t offset) const;
    uint64_t PreviousOffset(uint64_t offset) const;
    // The caret position nearest point, or with onCharacter the start of
    // the character under it (the last of its row when right of them).
    uint64_t OffsetAt(const QPoint& point, bool onCharacter = false) const;
    // The word of line that holds the character starting at offset (the last
    // one at the line's end): the run of characters of its kind around it.
    std::pair<uint64_t, uint64_t> WordAt(int64_t line, uint64_t offset) const;
    // Line i with its break, if it has one.
    std::pair<uint64_t, uint64_t> LineSpan(int64_t i) const;
    // The selection a drag after a double or triple click makes: the word
    // or line clicked and the one under point, whole.
    void ExtendByUnits(const QPoint& point);
    // Text bytes from one offset to another, breaks as CR LF.
    std::string BytesBetween(uint64_t from, uint64_t to) const;
    // Puts bytes in place of the text between start and end, without the
    // caret; with stray the first byte of the text is shown alone after it.
    void ReplaceRange(uint64_t start, uint64_t end, std::string_view bytes, bool stray);
    // A replacement as a step of the undo history.
    void EditRange(uint64_t start, uint64_t end, std::string bytes, SjisEditHistory::Kind kind);
    // Empties the undo history (the text was replaced).
    void ClearHistory();
    void MoveCaret(uint64_t offset, bool keepAnchor);
    QString TextBetween(uint64_t from, uint64_t to) const;
    // Lines before changedFrom are those shown before.
    void ReplaceWhole(SjisTextStore bytes, bool stray, int64_t changedFrom = 0);
    // ReplaceWhole with the text shown, [start, end) of it replaced by bytes,
    // made without a copy of the whole text in memory when the text lies in
    // a file: the new text goes into a file beside it.
    void ReplaceWholeText(uint64_t start, uint64_t end, std::string_view bytes, bool stray);
    // Shows the lines of the buffer in sources, the caret moved with the text
    // around it.
    void ShowKept(std::vector<int64_t> sources);
    // The marked lines' bytes before the text is replaced, and the marks put
    // back on the new text's lines that hold them.
    // The view line that shows source line source, or -1.
    int64_t ViewLineOf(int64_t source) const;
    int64_t TopLine() const;
    // Tell assistive technology (SjisViewAccessible.cpp): the lines shown
    // from line from on changed (appended: bytes were only added behind the
    // old end); the caret or the selection may have moved.
    void LinesChanged(int64_t from, bool appended = false);
    void CaretMoved();

    std::unique_ptr<SjisTextBuffer> FBuffer;
    std::unique_ptr<SjisKeptLines> FKept;
    uint64_t FAnchor = 0;
    uint64_t FCaret = 0;
    int FGoalX = -1;
    QTimer FIndexTimer;
    QTimer FSearchTimer;
    std::unique_ptr<class SjisLineSearch> FSearch;
    std::function<void(bool)> FSearchDone;
    std::function<void()> FSearchStopped;
    bool FHighlighting = false;
    bool FSearchWasStopped = false;
    bool FWatchingEsc = false;
    bool FSearchIsFilter = false;
    bool FSearchTooComplex = false;
    OwnFilter FOwnFilter = OwnFilter::None;
    int64_t FAppendFrom = 0; // the first buffer line an Appended filter looks at
    uint64_t FSearchLength = 0;
    mutable std::map<int64_t, std::unique_ptr<QTextLayout>> FLayouts;
    std::shared_ptr<const LineFilter> FActiveFilter;
    std::shared_ptr<const LineFilter> FSearchRule;
    std::vector<int64_t> FMarks;   // marked lines of the buffer, in order
    SjisEditHistory FHistory;
    // The text length after the last step done, undone or redone: steps touch
    // nothing behind it, so what the program puts there keeps them.
    uint64_t FHistoryEnd = 0;
    // What a drag selects by since the last press: characters, the words
    // or the lines around the one clicked ([FClickFrom, FClickTo)).
    enum class ClickUnit { Character, Word, Line };
    ClickUnit FClickUnit = ClickUnit::Character;
    uint64_t FClickFrom = 0;
    uint64_t FClickTo = 0;
    // Since the last double click, for the click that makes it a triple one.
    QElapsedTimer FDoubleClicked;
    QPoint FDoubleClickPoint;
    mutable SjisCharOffsets FChars;
    // The caret and anchor last told to assistive technology.
    uint64_t FSaidCaret = 0;
    uint64_t FSaidAnchor = 0;
};
