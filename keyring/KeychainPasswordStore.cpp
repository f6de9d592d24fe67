#include "keyring/KeychainPasswordStore.h"

#include "sock/SecretText.h"

#include <QEventLoop>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace {

void Wipe(QByteArray& bytes)
{
    bytes.fill('\0');
    bytes.clear();
}

} // namespace

// Starts job and runs the event loop until it ends, the limit passes or
// Abandon is called; collect reads its outcome when it ends. The job deletes
// itself once it has ended, so one that outlives the wait is never freed
// under the keyring's answer. Answers NoKeyring when it did not end.
StoreAnswer KeychainPasswordStore::Run(QKeychain::Job* job,
                                       const std::function<StoreAnswer(QKeychain::Job&)>& collect)
{
    job->setAutoDelete(true);
    // Never the plain-text fallback: a password goes to a keyring or nowhere.
    job->setInsecureFallback(false);
    QEventLoop loop;
    StoreAnswer answer = StoreAnswer::NoKeyring;
    bool finished = false;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* ended) {
        finished = true;
        answer = collect(*ended);
        loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(AnswerLimitMs);
    job->start();
    if (!finished) {
        FWait = &loop;
        loop.exec();
        FWait = nullptr;
    }
    return answer;
}

void KeychainPasswordStore::Abandon()
{
    if (FWait != nullptr)
        FWait->quit();
}

StoreAnswer KeychainPasswordStore::Read(const std::string& entry, std::string& password)
{
    WipeSecret(password);
    auto* job = new QKeychain::ReadPasswordJob(QString::fromLatin1(ServiceName));
    job->setKey(QString::fromStdString(entry));
    return Run(job, [&](QKeychain::Job& ended) {
        if (ended.error() == QKeychain::EntryNotFound)
            return StoreAnswer::NotFound;
        if (ended.error() != QKeychain::NoError)
            return StoreAnswer::NoKeyring;
        QByteArray bytes = static_cast<QKeychain::ReadPasswordJob&>(ended).binaryData();
        password.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        Wipe(bytes);
        return StoreAnswer::Done;
    });
}

StoreAnswer KeychainPasswordStore::Write(const std::string& entry, const std::string& password)
{
    auto* job = new QKeychain::WritePasswordJob(QString::fromLatin1(ServiceName));
    job->setKey(QString::fromStdString(entry));
    // A password that is text is stored as text, so the keyring's own
    // window shows it readably; other bytes (a Shift_JIS host list's) as
    // they are.
    QByteArray bytes(password.data(), static_cast<qsizetype>(password.size()));
    QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() == bytes)
        job->setTextData(text);
    else
        job->setBinaryData(bytes);
    text.fill(QChar(0));
    Wipe(bytes);
    return Run(job, [](QKeychain::Job& ended) {
        return ended.error() == QKeychain::NoError ? StoreAnswer::Done : StoreAnswer::NoKeyring;
    });
}
