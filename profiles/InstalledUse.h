// Where an installed wisplog keeps each user's files: the host list in
// $XDG_CONFIG_HOME/wisplog/ (made private from the packaged example), and,
// when started from the desktop entry, the downloads in
// $XDG_DATA_HOME/wisplog/downloads/.
#pragma once

#include <string>

// The argument the desktop entry starts wisplog with.
inline constexpr const char* DesktopStartArgument = "--desktop";

// The host list to read for a program in exeDir (ending in '/'): its
// wisplog.ini when present (portable use, the demo); else, when the packaged
// wisplog.ini.example lies there, the user's own wisplog.ini in the
// configuration directory, made from the example with mode 0600 when
// missing; else exeDir's wisplog.ini, whose absence start-up reports. Does
// not wait. Throws EFOpenError naming the user's file when it cannot be made.
std::string HostListPath(const std::string& exeDir);

// The directory that downloads go to when started from the desktop entry,
// created (private to the user) when missing. Does not wait.
// Throws EFOpenError naming it when it cannot be made.
std::string DesktopDownloadDir();

// Makes DesktopDownloadDir() the current directory, so every fetch saves its
// copy there. Throws EFOpenError naming it when that fails.
void EnterDesktopDownloadDir();
