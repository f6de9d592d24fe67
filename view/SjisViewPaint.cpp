// SjisView: painting the lines on screen, their marks and the selection.
#include "view/SjisView.h"
#include "view/SjisViewInternal.h"

#include "view/LogHighlighter.h"

#include <QPainter>
#include <QTextLayout>

#include <algorithm>

using SjisViewInternal::Margin;

namespace {

// A marked line's background and the bar at its left edge: blue, which no
// level colour is.
const QColor MarkBackground(28, 52, 104);
const QColor MarkEdge(90, 155, 255);
constexpr int MarkEdgeWidth = 3;

} // namespace

void SjisView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), Qt::black);
    painter.setFont(font());
    const SjisLines& lines = Current();
    const uint64_t selFrom = std::min(FAnchor, FCaret);
    const uint64_t selTo = std::max(FAnchor, FCaret);
    const QColor highlight = palette().color(QPalette::Highlight);
    const QColor highlighted = palette().color(QPalette::HighlightedText);
    int y = Margin;
    for (int64_t i = TopLine(); i < lines.Count() && y < viewport()->height(); ++i) {
        QTextLayout& layout = Layout(i);
        if (!FMarks.empty() && IsMarked(i)) {
            const int height = LineHeight(i);
            painter.fillRect(QRect(0, y, viewport()->width(), height), MarkBackground);
            painter.fillRect(QRect(0, y, MarkEdgeWidth, height), MarkEdge);
        }
        painter.setPen(FHighlighting ? LogHighlighter::ColourOf(LogHighlighter::ToneOf(layout.text()))
                                     : Qt::white);
        QList<QTextLayout::FormatRange> selections;
        const uint64_t start = lines.Start(i);
        const uint64_t end = start + lines.Bytes(i).size();
        if (selFrom < selTo && selFrom <= end && selTo > start) {
            QTextLayout::FormatRange range;
            range.start = selFrom > start ? CharOf(i, selFrom) : 0;
            range.length =
                (selTo >= end ? static_cast<int>(layout.text().size()) : CharOf(i, selTo)) - range.start;
            range.format.setBackground(highlight);
            range.format.setForeground(highlighted);
            selections.push_back(range);
        }
        layout.draw(&painter, QPointF(Margin, y), selections);
        if (FCaret >= start && FCaret <= end) {
            painter.setPen(Qt::white);
            layout.drawCursor(&painter, QPointF(Margin, y), CharOf(i, FCaret), 1);
        }
        y += LineHeight(i);
    }
}
