#include "tests/support/PyFtpServer.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>

#ifndef WISPLOG_SOURCE_DIR
#error "WISPLOG_SOURCE_DIR must name the source tree"
#endif

PyFtpServer::PyFtpServer() : PyFtpServer(Options{}) {}

PyFtpServer::PyFtpServer(const Options& options)
    : FOptions(options), FRoot(std::make_unique<QTemporaryDir>()),
      FProcess(std::make_unique<QProcess>())
{
    if (!FRoot->isValid())
        throw std::runtime_error("PyFtpServer: no temporary directory");
    QStringList args{QStringLiteral(WISPLOG_SOURCE_DIR "/tests/support/pyftpd_launcher.py"),
                     FRoot->path()};
    args << "--address" << QString::fromStdString(FOptions.Address);
    if (!FOptions.User.empty())
        args << "--user" << QString::fromStdString(FOptions.User) << "--password"
             << QString::fromStdString(FOptions.Password);
    if (!FOptions.PasswordFile.empty())
        args << "--password-file" << QString::fromStdString(FOptions.PasswordFile);
    if (FOptions.Anonymous)
        args << "--anonymous";
    for (const std::string& command : FOptions.Refuse)
        args << "--refuse" << QString::fromStdString(command);
    if (FOptions.IgnoreRest)
        args << "--ignore-rest";
    if (FOptions.IdleSeconds > 0)
        args << "--idle" << QString::number(FOptions.IdleSeconds);
    if (!FOptions.TlsCertificate.empty())
        args << "--tls-cert" << QString::fromStdString(FOptions.TlsCertificate) << "--tls-key"
             << QString::fromStdString(FOptions.TlsKey);
    // The server's warnings go to the test's own standard error.
    FProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess->start(QStringLiteral("/usr/bin/python3"), args);

    QDeadlineTimer deadline(StartLimit);
    QByteArray announced;
    while (!announced.contains('\n')) {
        if (deadline.hasExpired() || !FProcess->waitForReadyRead(int(deadline.remainingTime())))
            break;
        announced += FProcess->readAllStandardOutput();
    }
    if (!announced.startsWith("PORT ") || !announced.contains('\n')) {
        FProcess->kill();
        FProcess->waitForFinished(5000);
        throw std::runtime_error("PyFtpServer: the server did not start (is python3-pyftpdlib "
                                 "installed for /usr/bin/python3?)");
    }
    FPort = uint16_t(announced.mid(5, announced.indexOf('\n') - 5).trimmed().toUInt());
}

PyFtpServer::~PyFtpServer()
{
    if (FProcess->state() != QProcess::NotRunning) {
        FProcess->terminate();
        if (!FProcess->waitForFinished(5000)) {
            FProcess->kill();
            FProcess->waitForFinished(5000);
        }
    }
}

std::string PyFtpServer::Root() const { return FRoot->path().toStdString(); }

std::string PyFtpServer::PathOf(const std::string& name) const { return Root() + "/" + name; }

void PyFtpServer::WriteFile(const std::string& name, const std::string& bytes) const
{
    std::ofstream out(PathOf(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("PyFtpServer: cannot write " + name);
}

std::string PyFtpServer::ReadFile(const std::string& name) const
{
    std::ifstream in(PathOf(name), std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("PyFtpServer: no file " + name);
    std::string bytes(size_t(in.tellg()), '\0');
    in.seekg(0);
    in.read(bytes.data(), std::streamsize(bytes.size()));
    return bytes;
}

bool PyFtpServer::Exists(const std::string& name) const
{
    struct stat st;
    return ::stat(PathOf(name).c_str(), &st) == 0;
}
