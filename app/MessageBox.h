// Modal message boxes of the application, with a hook so tests can observe
// and answer them without a person clicking.
#pragma once

#include <functional>
#include <string>

// Flags as the application passes them: 0 plain, 0x10 stop (error) icon.
inline constexpr unsigned MB_ICONSTOP = 0x10;

// Shows a modal box with one OK button and waits until it is closed; or, when
// a hook is installed, calls the hook instead and returns its result. The
// text is shown as plain text (see ServerTextToQString).
int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags);

using MessageBoxHook = std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;

// Replaces the real box (an empty hook restores it). For tests.
void SetMessageBoxHook(MessageBoxHook hook);
