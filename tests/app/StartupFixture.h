// A temporary "executable directory" for window tests: the stand-in library
// copied in, a wisplog.ini written by the test, and the message boxes of the
// run recorded instead of shown.
#pragma once

#include "app/Form1.h"
#include "app/MessageBox.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct RecordedBox {
    std::string Text;
    std::string Caption;
    unsigned Flags;
    bool MainWindowVisible;  // whether a main window was on screen meanwhile
};

inline bool AnyMainWindowVisible()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<TForm1*>(widget) && widget->isVisible())
            return true;
    return false;
}

class StartupFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        ASSERT_TRUE(QFile::copy(QStringLiteral(WISPLOG_BINARY_DIR "/NKF32.DLL"),
                                Dir.filePath(QStringLiteral("NKF32.DLL"))));
        SetMessageBoxHook([this](const std::string& text, const std::string& caption, unsigned flags) {
            Boxes.push_back({text, caption, flags, AnyMainWindowVisible()});
            return 1;
        });
    }

    void TearDown() override { SetMessageBoxHook({}); }

    void WriteIni(const std::string& bytes)
    {
        QFile file(Dir.filePath(QStringLiteral("wisplog.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }

    StartupOptions Options() const
    {
        StartupOptions options;
        options.ExeDir = Dir.path().toStdString();
        options.RememberGeometry = false;   // no test sees another's window size
        return options;
    }

    std::unique_ptr<TForm1> MakeForm(const std::string& ini)
    {
        WriteIni(ini);
        return std::make_unique<TForm1>(Options());
    }

    std::string IniFullPath() const { return Dir.filePath(QStringLiteral("wisplog.ini")).toStdString(); }

    QTemporaryDir Dir;
    std::vector<RecordedBox> Boxes;
};
