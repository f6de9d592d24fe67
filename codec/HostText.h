// Texts of the host-list file as the window shows them, and back. The file
// is UTF-8, or Shift_JIS when it is not valid UTF-8 (a file written on a
// Japanese Windows system); a path typed into the window goes back to the
// server in the file's own encoding.
#pragma once

#include <QString>
#include <string>

bool IsValidUtf8(const std::string& bytes);

// Bytes of a host-list field, or of a server's message, for display: UTF-8
// where they are valid UTF-8, else Shift_JIS.
QString HostTextToQString(const std::string& bytes);
// Bytes of a host-list field for display, in the file's encoding.
QString HostTextToQString(const std::string& bytes, bool shiftJis);
// The bytes of a text shown in the window, in the host list's encoding.
std::string QStringToHostText(const QString& text, bool shiftJis);
