// Colours the lines of the text view that report errors (red) or warnings
// (yellow), by their level when they say it, else by keywords. Display only:
// the view's bytes, positions and searches stay as they are. The view asks for the tone of the lines it paints, which are only
// those on screen, so the cost does not grow with the text.
#pragma once

#include <QColor>
#include <QObject>
#include <QStringView>

#include <optional>

class SjisMemo;

class LogHighlighter : public QObject {
    Q_OBJECT
public:
    enum class Tone { None, Error, Warning };

    // Starts colouring memo's lines; owned by memo. Does not wait.
    explicit LogHighlighter(SjisMemo* memo);

    // The tone of a line. A line with a level word (ERROR, ERR, FATAL, CRIT:
    // Error; WARN, WARNING: Warning; INFO, DEBUG, TRACE: None), bracketed or
    // standing alone before its message, takes that level's tone alone.
    // Otherwise Error when it holds ERROR, FATAL, CRIT, エラー or 異常 (as
    // written, case included), else Warning when it holds WARN or 警告, else
    // None.
    static Tone ToneOf(QStringView line);
    // The tone of the line's level word: the first whole upper-case word
    // among the level words within its first characters; nullopt for none.
    static std::optional<Tone> LevelToneOf(QStringView line);
    // The colour a line of that tone is drawn in (white for None).
    static QColor ColourOf(Tone tone);
};
