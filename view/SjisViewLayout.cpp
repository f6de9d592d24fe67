// SjisView: lines laid out on demand, the scroll range and the caret kept in
// sight.
#include "view/SjisView.h"
#include "view/SjisViewInternal.h"

#include "codec/SjisCodec.h"

#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <climits>

using SjisViewInternal::Margin;

namespace {

// Laid-out lines kept at most; a page needs far fewer.
constexpr std::size_t MaxLayouts = 512;

} // namespace

QRect SjisView::CaretRect(int64_t offset) const
{
    Complete();
    const SjisLines& lines = Current();
    const uint64_t at =
        std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(0, offset)), lines.Length());
    const int64_t line = lines.LineAt(at);
    const int spacing = QFontMetrics(font()).lineSpacing();
    // Lines off screen stand above or below the viewport.
    if (line < TopLine())
        return QRect(Margin, -2 * spacing, 1, spacing);
    int y = Margin;
    for (int64_t i = TopLine(); i < line; ++i) {
        y += LineHeight(i);
        if (y >= viewport()->height())
            return QRect(Margin, viewport()->height() + spacing, 1, spacing);
    }
    const QTextLayout& layout = Layout(line);
    const int chars = CharOf(line, at);
    if (layout.lineCount() == 0)
        return QRect(Margin, y, 1, spacing);
    const QTextLine row = layout.lineForTextPosition(chars);
    return QRect(Margin + static_cast<int>(row.cursorToX(chars)), y + static_cast<int>(row.y()), 1, spacing);
}

QTextLayout& SjisView::Layout(int64_t i) const
{
    auto it = FLayouts.find(i);
    if (it != FLayouts.end())
        return *it->second;
    if (FLayouts.size() >= MaxLayouts)
        FLayouts.clear();
    const SjisLines& lines = Current();
    auto layout = std::make_unique<QTextLayout>(
        SjisCodec::Decode(lines.Bytes(i), i == 0 && lines.FirstByteStray()), font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    const qreal width = std::max(10, viewport()->width() - 2 * Margin);
    const qreal spacing = QFontMetricsF(font()).lineSpacing();
    qreal y = 0;
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += spacing;
    }
    layout->endLayout();
    return *FLayouts.emplace(i, std::move(layout)).first->second;
}

int SjisView::LineHeight(int64_t i) const
{
    const int spacing = QFontMetrics(font()).lineSpacing();
    return std::max(1, Layout(i).lineCount()) * spacing;
}

void SjisView::Relayout()
{
    FLayouts.clear();
    UpdateScrollRange();
    viewport()->update();
}

void SjisView::UpdateScrollRange()
{
    // The top line that shows the last line at the bottom: only the last
    // page is laid out for it.
    const int64_t count = Current().Count();
    int height = viewport()->height() - 2 * Margin;
    int64_t top = count - 1;
    for (int64_t i = count - 1; i >= 0; --i) {
        height -= LineHeight(i);
        if (height < 0)
            break;
        top = i;
    }
    QScrollBar* bar = verticalScrollBar();
    const int lines = static_cast<int>(std::min<int64_t>(top, INT_MAX));
    bar->setRange(0, std::max(0, lines));
    bar->setPageStep(std::max(1, viewport()->height() / std::max(1, QFontMetrics(font()).lineSpacing())));
    bar->setSingleStep(1);
}

void SjisView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    Relayout();
}

void SjisView::scrollContentsBy(int, int) { viewport()->update(); }

void SjisView::ShowEnd()
{
    FinishIndex();
    FAnchor = FCaret = Current().Length();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
    CaretMoved();
}

void SjisView::EnsureCaretVisible()
{
    const SjisLines& lines = Current();
    const int64_t line = lines.LineAt(FCaret);
    QScrollBar* bar = verticalScrollBar();
    if (line < TopLine()) {
        bar->setValue(static_cast<int>(line));
        return;
    }
    // Visible when the lines from the top down to it fit.
    int height = viewport()->height() - 2 * Margin;
    for (int64_t i = TopLine(); i <= line; ++i) {
        height -= LineHeight(i);
        if (height < 0)
            break;
    }
    if (height >= 0)
        return;
    // Put it at the bottom.
    height = viewport()->height() - 2 * Margin;
    int64_t top = line;
    for (int64_t i = line; i >= 0; --i) {
        height -= LineHeight(i);
        if (height < 0)
            break;
        top = i;
    }
    bar->setValue(static_cast<int>(std::min<int64_t>(top, INT_MAX)));
}
