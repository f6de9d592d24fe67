// Window tests that fetch: a temporary current directory for the local
// copies, a shown window, and F5 pressed as the user presses it.
#pragma once

#include "StartupFixture.h"

#include "view/SjisMemo.h"
#include "ftp/TKZFTP.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

class FetchDirFixture : public StartupFixture {
protected:
    void SetUp() override
    {
        StartupFixture::SetUp();
        ASSERT_TRUE(WorkDir.isValid());
        OldCurrent = QDir::currentPath();
        QDir::setCurrent(WorkDir.path());
    }
    void TearDown() override
    {
        QDir::setCurrent(OldCurrent);
        StartupFixture::TearDown();
    }

    // A shown, active window on the host list ini, its FTP time-out set.
    std::unique_ptr<TForm1> ShownForm(const std::string& ini, int timeOut)
    {
        auto form = MakeForm(ini);
        form->KZFTP1->TimeOut = timeOut;
        form->show();
        form->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get(), 5000));
        return form;
    }

    // F5 as the user presses it, from the event loop so that a failure goes
    // to the error report; returns when the fetch has ended (at most limitMs).
    void PressF5(TForm1& form, int limitMs = 30000)
    {
        bool done = false;
        QTimer::singleShot(0, &form, [&] {
            QTest::keyClick(form.Memo1, Qt::Key_F5);
            done = true;
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < limitMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        ASSERT_TRUE(done) << "the fetch did not end";
    }

    // The download part files left in the current directory.
    static QStringList PartFiles()
    {
        return QDir().entryList(QStringList{QStringLiteral("*.part"), QStringLiteral("*wisplog-part*")},
                                QDir::Files | QDir::Hidden | QDir::System);
    }

    QTemporaryDir WorkDir;
    QString OldCurrent;
};
