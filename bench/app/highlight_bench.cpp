// The cost of highlighting error and warning lines: one Ctrl+F5 display of a
// 20 MB EUC-JP log (ShowLocalFile with no tail, then the paint of the view) in
// two shown windows of the same size, one with the highlighting and one with
// it taken away. Lines of errors and warnings are frequent (one in ten, one
// in twenty), so every screenful has some to colour.
// Run: build/bench/bench/app/highlight_bench (offscreen); compare the times.
#include "app/Form1.h"
#include "view/LogHighlighter.h"
#include "app/MessageBox.h"
#include "view/SjisMemo.h"
#include "app/WisplogApplication.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr std::size_t FileBytes = 20u << 20;

std::string LogFile;
TForm1* WithHighlight = nullptr;
TForm1* WithoutHighlight = nullptr;

std::string MakeEucLog()
{
    const std::string japanese = "\xC0\xDC\xC2\xB3\xA4\xC7\xA4\xAD\xA4\xDE\xA4\xBB\xA4\xF3";  // 接続できません
    std::string out;
    out.reserve(FileBytes + 200);
    for (int i = 0; out.size() < FileBytes; ++i) {
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "2026-12-07 08:%02d:%02d.%03d ", (i / 60) % 60, i % 60, i % 1000);
        out += stamp;
        out += (i % 10 == 0) ? "ERROR " : (i % 20 == 5) ? "WARN  " : "info  ";
        out += "session=" + std::to_string(i) + " " + japanese + " host=ftp.example.jp path=/var/log\n";
    }
    return out;
}

void Display(benchmark::State& state, TForm1* form)
{
    for (auto _ : state) {
        form->ShowLocalFile(LogFile, 0);
        form->Memo1->viewport()->repaint();
        QCoreApplication::processEvents();
    }
    state.counters["lines"] = form->Memo1->LineCount();
}

void BM_DisplayWithHighlighting(benchmark::State& state)
{
    Display(state, WithHighlight);
}
BENCHMARK(BM_DisplayWithHighlighting)->Unit(benchmark::kMillisecond)->Iterations(6);

void BM_DisplayWithoutHighlighting(benchmark::State& state)
{
    Display(state, WithoutHighlight);
}
BENCHMARK(BM_DisplayWithoutHighlighting)->Unit(benchmark::kMillisecond)->Iterations(6);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    WisplogApplication app(argc, argv);
    QTemporaryDir dir;
    QFile::copy(QStringLiteral(WISPLOG_BINARY_DIR "/NKF32.DLL"), dir.filePath(QStringLiteral("NKF32.DLL")));
    {
        QFile ini(dir.filePath(QStringLiteral("wisplog.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write("bench:127.0.0.1:u:p:1:/log.txt\r\n");
        QFile log(dir.filePath(QStringLiteral("app.log")));
        log.open(QIODevice::WriteOnly);
        const std::string bytes = MakeEucLog();
        log.write(bytes.data(), static_cast<qint64>(bytes.size()));
        LogFile = log.fileName().toStdString();
    }
    SetMessageBoxHook([](const std::string&, const std::string&, unsigned) { return 1; });
    StartupOptions options;
    options.ExeDir = dir.path().toStdString();
    options.RememberGeometry = false;
    auto with = std::make_unique<TForm1>(options);
    auto without = std::make_unique<TForm1>(options);
    delete without->Memo1->findChild<LogHighlighter*>();
    without->Memo1->SetHighlighting(false);
    for (TForm1* form : {with.get(), without.get()}) {
        form->resize(900, 600);
        form->show();
    }
    WithHighlight = with.get();
    WithoutHighlight = without.get();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
