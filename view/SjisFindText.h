// Between the texts the user types and the view's Shift_JIS bytes: the bytes
// of a find or filter text, and whether the view shows its first byte alone.
#pragma once

#include <QString>

#include <optional>
#include <string>

class SjisMemo;

// The Shift_JIS bytes of text as the view's codec writes them; nothing when a
// character of it has no Shift_JIS code (no text of the view can hold it, and
// the '?' written for it must not match a real '?'). Does not throw.
std::optional<std::string> ExactSjisBytes(const QString& text);

// True when the view shows the first byte of its text as a character on its
// own (the rest of a character that the tail cut split), so searches must not
// read it as a lead byte. Does not throw.
bool FirstByteShownAlone(const SjisMemo& memo);
