// Failures of the SFTP layer. The text is written to follow the window's
// step word ("接続失敗: ", "ログイン失敗: ", "ダウンロード失敗: "); which
// step failed is the method that threw.
#pragma once

#include "sock/Exception.h"

class ESftpError : public Exception {
public:
    using Exception::Exception;
};

// The server's host key is not the one known or pinned for it. Never
// settled by asking the user.
class EHostKeyChanged : public ESftpError {
public:
    using ESftpError::ESftpError;
};
