// How a fetch ended: success, or the first failure with the step it failed
// in. The status line shows it; commands that follow a fetch read it.
#pragma once

#include <QString>
#include <string>

// The steps of a fetch, in their order.
enum class FetchStep {
    Profile,       // 設定: the selected host profile
    Connect,       // 接続: look-up, connection, greeting
    LogIn,         // ログイン: user and password
    ChangeDir,     // ディレクトリ: CWD
    TransferType,  // 転送モード: TYPE I
    Download,      // ダウンロード: RETR
    Upload,        // アップロード: STOR
    LogOut,        // ログアウト: QUIT
    Display,       // 表示: reading and showing the local copy
};

// The step's short word as failure notices name it (UTF-8).
const char* StepWord(FetchStep step);

struct FetchOutcome {
    // The user stopped the fetch (Esc, the status item, closing the window).
    // A stop is not a failure: Failed is false then.
    bool Stopped = false;
    bool Failed = false;
    FetchStep Step = FetchStep::Profile;  // of the first failure
    std::string Message;  // the first failure's own message, as received

    // Records a failure unless one is recorded already: the first one counts.
    void NoteFailure(FetchStep step, const std::string& message);
    // Records the user's stop; the failures it caused are dropped, and none
    // is recorded after it.
    void NoteStopped();
    // The status line's notice: empty after success, "中止" after a stop,
    // else "<step word>失敗: <message>" with the message's line end removed and
    // its control characters marked. Does not throw except std::bad_alloc.
    QString Notice() const;
};
