#include "app/FollowCommand.h"

#include "app/Form1.h"
#include "app/HostProfile.h"
#include "app/HostText.h"
#include "app/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QTime>

FollowCommand::FollowCommand(TForm1& form) : QObject(&form), Form(form)
{
    FAction = new QAction(QStringLiteral("Follow"), &form);
    FAction->setObjectName("mnFollow");
    FAction->setShortcut(QKeySequence(Qt::Key_F6));
    FAction->setCheckable(true);
    // Right behind the two fetch commands it repeats.
    QAction* before = form.N2 ? form.N2->menuAction() : nullptr;
    form.File1->insertAction(before, FAction);
    connect(FAction, &QAction::toggled, this, [this](bool on) {
        if (on)
            Start();
        else
            Stop(QString());
    });
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, &FollowCommand::Refresh);
    form.installEventFilter(this);
}

bool FollowCommand::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &Form && event->type() == QEvent::Close && FFollowing) {
        // A refresh waiting for the network ends with the window, and the
        // idle session closes without waiting for the server's goodbye.
        if (FRefreshing)
            Form.KZFTP1->Abort();
        else if (FSessionOpen && Form.KZFTP1->Connected())
            Form.KZFTP1->TKZSock::Disconnect();
        FSessionOpen = false;
        Stop();
    }
    return QObject::eventFilter(watched, event);
}

bool FollowCommand::TargetFromForm(int tailSize, Target& target)
{
    const int index = Form.CmbHost->currentIndex();
    if (index == -1)
        return false;
    Form.SplitFields(QStringToHostText(Form.EdtFile->text(), Form.HostListInShiftJis), '/');
    target.Directory.clear();
    for (int i = 0; i + 1 < Form.HostFields.Count(); ++i)
        target.Directory += Form.HostFields[i] + "/";
    target.FileName = Form.HostFields[Form.HostFields.Count() - 1];
    HostProfile profile;
    try {
        profile = Form.SelectedProfile();
    } catch (const std::exception&) {
        return false;   // the fetch itself reports a bad profile
    }
    target.Host = profile.Host;
    target.User = profile.User;
    target.Password = profile.Password;
    target.PassiveFlag = profile.PassiveFlag;
    target.Port = profile.Port;
    target.TailSize = tailSize;
    return true;
}

void FollowCommand::FetchStarting(QObject* sender)
{
    if (FFollowing)
        Stop(QString());
    if (Form.FetchRunning())
        return;
    Target target;
    FHaveTarget = TargetFromForm(Tag(sender), target);
    FTarget = target;
}

void FollowCommand::Start()
{
    if (FFollowing)
        return;
    if (!FHaveTarget) {
        Target target;
        FHaveTarget = TargetFromForm(Tag(Form.Button1), target);
        FTarget = target;
    }
    if (!FHaveTarget) {
        const QSignalBlocker quiet(FAction);
        FAction->setChecked(false);
        return;
    }
    FFollowing = true;
    {
        const QSignalBlocker quiet(FAction);
        FAction->setChecked(true);
    }
    // What the last session learnt of the copy and the view is not trusted
    // across a pause: the first refresh checks both again.
    FCopy = FollowCopyState{};
    FView = FollowViewState{};
    FFailures = 0;
    FTimer.start(0);
}

void FollowCommand::CloseSession()
{
    if (!FSessionOpen)
        return;
    FSessionOpen = false;
    try {
        if (Form.KZFTP1->Connected())
            Form.KZFTP1->Disconnect();
    } catch (...) {
    }
}

void FollowCommand::Stop(const QString& status)
{
    FTimer.stop();
    // A refresh that runs closes its session itself when it ends.
    if (!FRefreshing)
        CloseSession();
    if (FFollowing) {
        FFollowing = false;
        const QSignalBlocker quiet(FAction);
        FAction->setChecked(false);
    }
    if (!status.isNull())
        SetStatus(status);
}

void FollowCommand::SetStatus(const QString& text)
{
    Form.mnStatus->setText(text);
}

QString FollowCommand::AddedText(int64_t bytes)
{
    if (bytes < 1024)
        return QStringLiteral("+%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("+%1 KB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("+%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

void FollowCommand::Failed(const std::string& notice)
{
    ++FFailures;
    if (FFailures >= FailureLimit) {
        Stop(QString::fromUtf8(GaveUpText));
        return;
    }
    SetStatus(HostTextToQString(notice));
}

void FollowCommand::Refresh()
{
    if (!FFollowing || FRefreshing)
        return;
    // A fetch of the user's own holds the one FTP component: try again later.
    if (Form.FetchRunning()) {
        FTimer.start(IntervalMs);
        return;
    }
    FRefreshing = true;
    Form.FFetchRunning = true;
    const auto ended = qScopeGuard([this] {
        Form.FFetchRunning = false;
        FRefreshing = false;
        if (FFollowing)
            FTimer.start(IntervalMs);
    });
    SetStatus(QStringLiteral("FTP..."));

    TKZFTP& ftp = *Form.KZFTP1;
    RefreshResult result;
    bool stopped = false;
    std::string failure;
    // The session of the last refresh is used again while it stands; a
    // failure on it (the server may have dropped an idle connection) gets
    // one more try on a fresh one.
    for (bool fresh : {!FSessionOpen || !ftp.Connected(), true}) {
        const bool reused = !fresh;
        failure.clear();
        try {
            if (fresh) {
                CloseSession();
                ftp.Host = FTarget.Host;
                ftp.UserID = FTarget.User;
                ftp.Password = FTarget.Password;
                ftp.Passive = FTarget.PassiveFlag == "1";
                ftp.Port = FTarget.Port;
                ftp.Connect();
                FSessionOpen = true;
                try {
                    ftp.ChangeWorkingDir(FTarget.Directory);
                } catch (const FTPException&) {
                    // As for a fetch: the file is then looked for in the log-in directory.
                }
                ftp.SetTransferType(2);
            }
            result = RefreshLocalCopy(ftp, FTarget.FileName, FTarget.FileName, FCopy);
        } catch (const EAbortError& e) {
            stopped = !ftp.TimedOut();
            failure = e.what();
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "?";
        }
        if (failure.empty() || stopped || !reused)
            break;
    }
    if (!failure.empty() || !FFollowing)
        CloseSession();
    FLastBytesReceived = result.BytesReceived;

    if (stopped) {
        Stop(QString::fromUtf8(StoppedText));
        return;
    }
    if (!failure.empty()) {
        while (!failure.empty() && (failure.back() == '\r' || failure.back() == '\n'))
            failure.pop_back();
        if (FFollowing)
            Failed("ダウンロード失敗: " + failure);
        else
            SetStatus(HostTextToQString("ダウンロード失敗: " + failure));
        return;
    }

    FLastDisplayIncremental = false;
    if (result.Kind != RefreshKind::Unchanged) {
        try {
            const FollowDisplayCounts counts =
                ShowFollowedFile(*Form.Memo1, FView, FTarget.FileName, FTarget.TailSize, Form.CurrentEncoding,
                                 Form.AppliedFilter, result.Kind == RefreshKind::Whole, result.OldSize);
            FLastDisplayIncremental = counts.Incremental;
        } catch (...) {
            FView = FollowViewState{};
            if (FFollowing)
                Failed("読込失敗");
            return;
        }
    }
    FFailures = 0;
    if (!FFollowing) {
        SetStatus(QString());
        return;
    }
    const QString time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    const QString change = result.Kind == RefreshKind::Whole
        ? QStringLiteral("再取得 ") + AddedText(result.NewSize).mid(1)
        : AddedText(result.NewSize - result.OldSize);
    SetStatus(QString::fromUtf8(FollowingText) + ' ' + time + ' ' + change);
}
