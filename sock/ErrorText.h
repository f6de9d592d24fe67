// The socket error-text table, keyed by the Winsock error numbers that the
// POSIX wrappers map errno to (see sock/SockApi.h).
#pragma once

#include <string>

// "<code>:<text>" for a code of the table, "Unknown Error No. <code>" for any
// other code, empty for 0. Does not wait, does not throw.
std::string WinsockErrorText(int code);
