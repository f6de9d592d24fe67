#include "tests/support/TestCertificates.h"

#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <stdexcept>

namespace {

// Runs openssl with args in dir; its standard output. Throws when it fails
// or takes longer than 30 s.
QByteArray OpenSsl(const QStringList& args, const QString& dir = QString())
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("openssl"), args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        process.kill();
        process.waitForFinished(5000);
        throw std::runtime_error("TestCertificates: openssl " + args.join(' ').toStdString() +
                                 " failed: " + process.readAllStandardError().toStdString());
    }
    return process.readAllStandardOutput();
}

const QStringList EcKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

} // namespace

TestCertificates::TestCertificates() : FDir(std::make_unique<QTemporaryDir>())
{
    if (!FDir->isValid())
        throw std::runtime_error("TestCertificates: no temporary directory");
    const QString dir = FDir->path();
    OpenSsl(QStringList{"req", "-x509"} + EcKey +
                QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=wisplog test CA"},
            dir);
    Sign("signed", "IP:127.0.0.1,DNS:localhost");
    Sign("elsewhere", "DNS:elsewhere.invalid");
    Sign("signed6", "IP:::1");
    OpenSsl(QStringList{"req", "-x509"} + EcKey +
                QStringList{"-keyout", "self.key", "-out", "self.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
                            "-addext", "subjectAltName=IP:127.0.0.1"},
            dir);
}

TestCertificates::~TestCertificates() = default;

void TestCertificates::Sign(const std::string& name, const std::string& altNames) const
{
    const QString dir = FDir->path();
    const QString base = QString::fromStdString(name);
    OpenSsl(QStringList{"req"} + EcKey +
                QStringList{"-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=" + base},
            dir);
    {
        std::ofstream ext(Path(name + ".ext"));
        ext << "subjectAltName=" << altNames << "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
    }
    OpenSsl({"x509", "-req", "-in", base + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
             "-out", base + ".pem", "-days", "2", "-extfile", base + ".ext"},
            dir);
}

std::string TestCertificates::Path(const std::string& name) const
{
    return FDir->path().toStdString() + "/" + name;
}

std::string TestCertificates::Fingerprint(const std::string& certificateFile)
{
    // "sha256 Fingerprint=AB:CD:..."
    const QByteArray line =
        OpenSsl({"x509", "-in", QString::fromStdString(certificateFile), "-noout", "-fingerprint", "-sha256"})
            .trimmed();
    const int equals = line.indexOf('=');
    return line.mid(equals + 1).replace(":", "").toLower().toStdString();
}
