#include "fetch/FetchOutcome.h"

#include "fetch/ServerText.h"

const char* StepWord(FetchStep step)
{
    switch (step) {
    case FetchStep::Profile: return "設定";
    case FetchStep::Connect: return "接続";
    case FetchStep::LogIn: return "ログイン";
    case FetchStep::ChangeDir: return "ディレクトリ";
    case FetchStep::TransferType: return "転送モード";
    case FetchStep::Download: return "ダウンロード";
    case FetchStep::Upload: return "アップロード";
    case FetchStep::LogOut: return "ログアウト";
    case FetchStep::Display: return "表示";
    }
    return "";
}

void FetchOutcome::NoteFailure(FetchStep step, const std::string& message)
{
    if (Failed || Stopped)
        return;
    Failed = true;
    Step = step;
    Message = message;
}

void FetchOutcome::NoteStopped()
{
    Stopped = true;
    Failed = false;
    Message.clear();
}

QString FetchOutcome::Notice() const
{
    if (Stopped)
        return QStringLiteral("中止");
    if (!Failed)
        return {};
    // The prefix is the program's own UTF-8 and is decoded apart from the
    // message, whose bytes may be Shift_JIS.
    return QString::fromUtf8(StepWord(Step)) + QStringLiteral("失敗: ") + ServerLineToQString(Message);
}
