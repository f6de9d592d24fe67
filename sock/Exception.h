// The program's one exception hierarchy. Every failure carries only a
// message text; the standard error report in app/ shows that text.
#pragma once

#include <stdexcept>
#include <string>

// The general failure ("Not Connected", "No Timer", file and list errors).
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A socket operation failed; the text names the operation or the error.
class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A socket wait ended by cancel or time-out.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// Ends an event handler quietly: the standard error report does not show it.
class ESilentAbort : public Exception {
public:
    ESilentAbort() : Exception("Operation aborted") {}
};
