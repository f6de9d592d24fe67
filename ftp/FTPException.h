// Failure of the FTP dialogue: the server refused a step. The message is the
// server's reply line as received, line end included.
#pragma once

#include "sock/Exception.h"

class FTPException : public Exception {
public:
    using Exception::Exception;
};
