// Texts that come from outside the program (a server's reply lines, the
// component's error messages) as the window shows them: decoded as UTF-8
// when they are valid UTF-8, else with the view's lossless Shift_JIS codec,
// and with control characters shown as visible marks. The result is meant
// for plain-text display only: it is never to be read as markup.
#pragma once

#include <QString>
#include <string>

// The line as one line of text: its line end (trailing CR and LF) removed,
// every other control character shown as a mark. Does not throw except
// std::bad_alloc.
QString ServerLineToQString(const std::string& bytes);
// The text with its line breaks (LF, CR LF) kept as LF, every other control
// character shown as a mark. Does not throw except std::bad_alloc.
QString ServerTextToQString(const std::string& bytes);
// The mark shown for a control character: its Unicode control picture
// (U+2400 + code, U+2421 for DEL), U+FFFD for the C1 controls U+0080-U+009F
// and for the bidirectional format characters (U+202A-U+202E, U+2066-U+2069,
// U+200E, U+200F, U+061C); other characters unchanged.
QChar VisibleControl(QChar c);
