// The standard error report: how a failure that no handler caught is shown.
#pragma once

#include <string>

// The application's title, the caption of every error report.
inline constexpr const char* ApplicationTitle = "wisplog";

// The report's text: a period is appended when the last character (a whole
// UTF-8 sequence) compares greater than "." byte by byte.
std::string WithReportPeriod(const std::string& message);

// Shows the message box of the report and waits until it is closed.
void ShowErrorReport(const std::string& message);

// Runs a handler body; an escaping failure is reported (a silent abort is
// not), and nothing is thrown on.
template <typename F>
void RunReported(F&& body);

#include "sock/Exception.h"
#include <exception>

template <typename F>
void RunReported(F&& body)
{
    try {
        body();
    } catch (const ESilentAbort&) {
    } catch (const std::exception& e) {
        ShowErrorReport(e.what());
    } catch (...) {
        ShowErrorReport("");
    }
}
