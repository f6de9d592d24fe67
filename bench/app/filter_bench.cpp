// The line filter on a 100 MB view (one Ctrl+F5 display of a 100 MB EUC-JP
// log) beside GNU grep on the converted text in a file, in the same run:
//  - a fixed text ("ERROR", case matching) against grep -c;
//  - the same text in either case against grep -i -c;
//  - the patterns 接続.*失敗, ERROR.*timeout, ERROR|WARN and
//    ^\d{4}-\d\d-\d\d .*(WARN|ERROR), with case, against grep -c -P on a
//    UTF-8 copy of the text.
// Each is timed five times; the medians are printed with the ratio, and the
// lines each kept (which must agree).
// Run: build/bench/bench/app/filter_bench (offscreen).
#include "app/Form1.h"
#include "app/MessageBox.h"
#include "app/WisplogApplication.h"
#include "codec/SjisCodec.h"
#include "view/LineFilter.h"
#include "view/SjisMemo.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FileBytes = 100u << 20;

std::string MakeEucLog()
{
    const std::string japanese = "\xC0\xDC\xC2\xB3\xA4\xCB\xBC\xBA\xC7\xD4";   // 接続に失敗
    const std::string other = "\xA4\xCF\xA4\xA4\xA4\xEA\xA4\xDE\xA4\xB7\xA4\xBF";  // はいりました
    std::string out;
    out.reserve(FileBytes + 200);
    for (int i = 0; out.size() < FileBytes; ++i) {
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "2026-12-07 08:%02d:%02d.%03d ", (i / 60) % 60, i % 60, i % 1000);
        out += stamp;
        out += (i % 50 == 0) ? "ERROR " : (i % 30 == 5) ? "WARN  " : "info  ";
        out += "session=" + std::to_string(i) + " " + (i % 40 == 3 ? japanese : other) +
            (i % 70 == 10 ? " read timeout" : "") + " host=ftp.example.jp path=/var/log/app\n";
    }
    return out;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double TimeGrep(const QStringList& args, long long& count)
{
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        QProcess grep;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), args.contains(QStringLiteral("-P")) ? "C.UTF-8" : "C");
        grep.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        grep.start(QStringLiteral("grep"), args);
        grep.waitForFinished(-1);
        runs.push_back(double(clock.nsecsElapsed()) / 1e6);
        count = grep.readAllStandardOutput().trimmed().toLongLong();
    }
    return Median(runs);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    WisplogApplication app(argc, argv);
    SetMessageBoxHook([](const std::string&, const std::string&, unsigned) { return 1; });
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("big.log"));
    {
        QFile file(log);
        file.open(QIODevice::WriteOnly);
        const std::string bytes = MakeEucLog();
        file.write(bytes.data(), qint64(bytes.size()));
    }
    StartupOptions options;
    options.ExeDir = WISPLOG_BINARY_DIR;
    options.RememberGeometry = false;
    {
        QFile ini(QStringLiteral(WISPLOG_BINARY_DIR "/wisplog.ini"));
        if (!ini.exists() && ini.open(QIODevice::WriteOnly))
            ini.write("local:127.0.0.1:taro:pw:1:/logs/app.log\r\n");
    }
    TForm1 form(options);
    form.resize(800, 600);
    form.show();
    form.CurrentEncoding = "EUC";
    form.ShowLocalFile(log.toStdString(), 0);
    form.Memo1->FinishIndex();
    const std::string converted(form.Memo1->Lines().Buffer().Raw());
    const QString sjisPath = dir.filePath(QStringLiteral("converted.log"));
    const QString utf8Path = dir.filePath(QStringLiteral("converted-utf8.log"));
    {
        QFile sjis(sjisPath);
        sjis.open(QIODevice::WriteOnly);
        sjis.write(converted.data(), qint64(converted.size()));
        QFile utf8(utf8Path);
        utf8.open(QIODevice::WriteOnly);
        utf8.write(SjisCodec::Decode(converted).toUtf8());
    }
    std::printf("view: %.1f MB, %lld lines\n", double(converted.size()) / 1e6,
                static_cast<long long>(form.Memo1->LineCount()));

    struct Case {
        const char* Name;
        std::shared_ptr<const LineFilter> Rule;
        QStringList Grep;
    };
    std::vector<Case> cases = {
        {"fixed ERROR, case",
         LineFilter::Text("ERROR", {.MatchCase = true}),
         {"-c", "-F", "ERROR", sjisPath}},
        {"fixed error, any case", LineFilter::Text("error", {}), {"-c", "-i", "-F", "error", sjisPath}},
    };
    auto pattern = [&](const char* name, const QString& p) {
        cases.push_back(
            {name, LineFilter::Pattern(p, {.Regex = true, .MatchCase = true}), {"-c", "-P", p, utf8Path}});
    };
    pattern("pattern 接続.*失敗", QStringLiteral("接続.*失敗"));
    pattern("pattern ERROR.*timeout", QStringLiteral("ERROR.*timeout"));
    pattern("pattern ERROR|WARN", QStringLiteral("ERROR|WARN"));
    pattern("pattern date .*(WARN|ERROR)", QStringLiteral("^\\d{4}-\\d\\d-\\d\\d .*(WARN|ERROR)"));
    for (const Case& c : cases) {
        std::vector<double> runs;
        int64_t kept = 0;
        for (int i = 0; i < 5; ++i) {
            form.Memo1->SetText(converted);
            form.Memo1->FinishIndex();
            QElapsedTimer clock;
            clock.start();
            form.Memo1->FilterWait(c.Rule);
            runs.push_back(double(clock.nsecsElapsed()) / 1e6);
            kept = form.Memo1->LineCount() - 1;
        }
        const double ours = Median(runs);
        long long grepCount = 0;
        const double grep = TimeGrep(c.Grep, grepCount);
        std::printf("%-30s wisplog %8.1f ms (%lld lines)   grep %8.1f ms (%lld lines)   ratio %.2f\n", c.Name,
                    ours, static_cast<long long>(kept), grep, grepCount, ours / grep);
    }
    return 0;
}
