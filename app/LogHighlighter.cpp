#include "app/LogHighlighter.h"

#include "app/SjisMemo.h"

#include <QColor>
#include <QEvent>
#include <QTextBlock>
#include <QTextCursor>

#include <array>
#include <tuple>
#include <vector>

namespace {

const QColor ErrorColour(255, 96, 96);
const QColor WarningColour(255, 215, 90);

using Key = std::tuple<int, int, QRgb>;

} // namespace

LogHighlighter::LogHighlighter(SjisMemo* memo) : QObject(memo), Memo(memo), Viewport(memo->viewport())
{
    setObjectName(QStringLiteral("LogHighlighter"));
    memo->viewport()->installEventFilter(this);
}

LogHighlighter::Tone LogHighlighter::ToneOf(QStringView line)
{
    static const std::array<QStringView, 5> errors{u"ERROR", u"FATAL", u"CRIT", u"エラー", u"異常"};
    static const std::array<QStringView, 2> warnings{u"WARN", u"警告"};
    for (QStringView word : errors)
        if (line.contains(word))
            return Tone::Error;
    for (QStringView word : warnings)
        if (line.contains(word))
            return Tone::Warning;
    return Tone::None;
}

QColor LogHighlighter::ColourOf(Tone tone)
{
    switch (tone) {
    case Tone::Error:
        return ErrorColour;
    case Tone::Warning:
        return WarningColour;
    case Tone::None:
        break;
    }
    return Qt::white;
}

bool LogHighlighter::eventFilter(QObject* watched, QEvent* event)
{
    // The paint that follows uses the selections set here.
    if (event->type() == QEvent::Paint && watched == Viewport)
        Refresh();
    return false;
}

void LogHighlighter::Refresh()
{
    const QWidget* viewport = Memo->viewport();
    QTextBlock block = Memo->cursorForPosition(QPoint(0, 0)).block();
    const QTextBlock last = Memo->cursorForPosition(QPoint(viewport->width(), viewport->height())).block();
    QList<QTextEdit::ExtraSelection> wanted;
    std::vector<Key> wantedKeys;
    for (; block.isValid(); block = block.next()) {
        const Tone tone = ToneOf(block.text());
        if (tone != Tone::None) {
            QTextEdit::ExtraSelection line;
            line.cursor = QTextCursor(block);
            line.cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            line.format.setForeground(tone == Tone::Error ? ErrorColour : WarningColour);
            wantedKeys.emplace_back(line.cursor.selectionStart(), line.cursor.selectionEnd(),
                                    line.format.foreground().color().rgb());
            wanted.push_back(line);
        }
        if (block == last)
            break;
    }
    // The view's own selections follow its edits, so they are what is shown.
    std::vector<Key> shownKeys;
    for (const QTextEdit::ExtraSelection& line : Memo->extraSelections())
        shownKeys.emplace_back(line.cursor.selectionStart(), line.cursor.selectionEnd(),
                               line.format.foreground().color().rgb());
    if (shownKeys != wantedKeys)
        Memo->setExtraSelections(wanted);
}
