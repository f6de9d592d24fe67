// Texts of the host-list file as the window shows them: UTF-8 where the
// bytes are valid UTF-8, else Shift_JIS (a file written on a Japanese
// Windows system).
#pragma once

#include <QString>
#include <string>

QString HostTextToQString(const std::string& bytes);
// The bytes of a text typed or shown in the window's fields (UTF-8).
std::string QStringToHostText(const QString& text);
