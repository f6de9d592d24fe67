// The download's temporary file: the older copy is untouched until Commit,
// and nothing is left behind on any other path.
#include "sock/Exception.h"
#include "sock/PartFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList Entries(const QTemporaryDir& dir)
{
    return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

TEST(PartFile, ReplacesTheCopyOnlyOnCommitAndLeavesNothingOtherwise)
{
    QTemporaryDir dir;
    const std::string target = (dir.path() + "/app.log").toStdString();
    WriteFile(QString::fromStdString(target), "older copy\n");
    {
        PartFile part(target);
        EXPECT_EQ(QString::fromStdString(part.Path()).section('/', 0, -2), dir.path());
        WriteFile(QString::fromStdString(part.Path()), "half");
        EXPECT_EQ(ReadFile(QString::fromStdString(target)), "older copy\n");
    }
    EXPECT_EQ(ReadFile(QString::fromStdString(target)), "older copy\n");
    EXPECT_EQ(Entries(dir), QStringList{"app.log"});

    PartFile part(target);
    WriteFile(QString::fromStdString(part.Path()), "whole new copy\n");
    part.Commit();
    EXPECT_EQ(ReadFile(QString::fromStdString(target)), "whole new copy\n");
    EXPECT_EQ(Entries(dir), QStringList{"app.log"});
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(PartFile, TwoDownloadsOfOneFileGetFilesOfTheirOwn)
{
    QTemporaryDir dir;
    const std::string target = (dir.path() + "/app.log").toStdString();
    PartFile first(target), second(target);
    EXPECT_NE(first.Path(), second.Path());
    struct stat st {};
    ASSERT_EQ(::stat(first.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(PartFile, AMissingDirectoryIsACreateFailureNamingTheFile)
{
    QTemporaryDir dir;
    const std::string target = (dir.path() + "/missing/app.log").toStdString();
    try {
        PartFile part(target);
        FAIL() << "created " << part.Path();
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Cannot create file \"" + target + "\""), std::string::npos) << e.Message();
    }
}
