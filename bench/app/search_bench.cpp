// "Find Next" and one "&Grep" pass over a 20 MB view, each beside a peer run
// on the same bytes in the same process:
//  - Find Next (TForm1::SearchMemo through the menu item) against the view's
//    own Qt search (QTextDocument::find from the start);
//  - the line filter (Button2Click, line by line in the view) against GNU
//    grep -F over the same text in a file, and against the byte filter alone
//    (sjis::FilterLines, no view).
// The find text stands only in the last line, so every search reads the whole
// text. Run: build/bench/bench/app/search_bench (offscreen).
#include "app/FindDialog.h"
#include "app/Form1.h"
#include "app/MessageBox.h"
#include "view/SjisMemo.h"
#include "view/SjisText.h"
#include "app/WisplogApplication.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextDocument>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr std::size_t ViewBytes = 20u << 20;

QTemporaryDir* TheDir = nullptr;
TForm1* TheForm = nullptr;

// Log lines with Shift_JIS text; one line in ten holds ERROR, the last one
// alone holds NEEDLE.
const std::string& LogText()
{
    static const std::string text = [] {
        const std::string kanji = "\x90\xDA\x91\xB1\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1";  // 接続できません
        std::string out;
        out.reserve(ViewBytes + 200);
        for (int i = 0; out.size() < ViewBytes; ++i) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "2026-12-07 08:%02d:%02d.%03d ", (i / 60) % 60, i % 60,
                          i % 1000);
            out += stamp;
            out += (i % 10 == 0) ? "ERROR " : "info  ";
            out += "session=" + std::to_string(i) + " " + kanji + " host=ftp.example.jp path=/var/log\r\n";
        }
        out += "last line NEEDLE\r\n";
        return out;
    }();
    return text;
}

void ShowLog()
{
    TheForm->Memo1->SetText(LogText());
}

void BM_FindNext(benchmark::State& state)
{
    ShowLog();
    TheForm->FindDialog1->SetFindText(QStringLiteral("needle"));
    TheForm->FindDialog1->SetMatchCase(false);
    for (auto _ : state) {
        TheForm->Memo1->SetSelStart(0);
        TheForm->FindNext1->trigger();
        if (TheForm->Memo1->SelLength() != 6)
            state.SkipWithError("not found");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(LogText().size()));
}

// The two halves of Find Next: the view handing out its bytes, and the byte
// search alone.
void BM_PartViewText(benchmark::State& state)
{
    ShowLog();
    for (auto _ : state)
        benchmark::DoNotOptimize(TheForm->Memo1->Text());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(LogText().size()));
}

void BM_PartByteSearch(benchmark::State& state)
{
    for (auto _ : state)
        if (sjis::SearchText(LogText(), 0, "needle", false) == sjis::npos)
            state.SkipWithError("not found");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(LogText().size()));
}

void BM_PeerQtDocumentFind(benchmark::State& state)
{
    ShowLog();
    // Qt's document holding the same text, as a document-based view would.
    QTextDocument own;
    own.setPlainText(TheForm->Memo1->ShownText());
    QTextDocument* document = &own;
    for (auto _ : state) {
        const QTextCursor found = document->find(QStringLiteral("needle"), 0);
        if (found.isNull())
            state.SkipWithError("not found");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(LogText().size()));
}

void BM_Filter(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        ShowLog();
        TheForm->EdtGrep->setText(QStringLiteral("ERROR"));
        state.ResumeTiming();
        TheForm->Button2Click();
    }
    state.counters["lines_kept"] = TheForm->Memo1->LineCount();
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(LogText().size()));
}

void BM_PeerByteFilter(benchmark::State& state)
{
    std::size_t kept = 0;
    for (auto _ : state)
        kept = sjis::FilterLines(LogText(), "ERROR").Text.size();
    state.counters["bytes_kept"] = static_cast<double>(kept);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(LogText().size()));
}

void BM_PeerGrep(benchmark::State& state)
{
    const QString path = TheDir->filePath(QStringLiteral("log.txt"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(LogText().data(), static_cast<qint64>(LogText().size()));
    }
    const std::string command = "LC_ALL=C grep -F ERROR '" + path.toStdString() + "' > /dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("grep failed");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(LogText().size()));
}

BENCHMARK(BM_FindNext)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PartViewText)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PartByteSearch)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PeerQtDocumentFind)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Filter)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_PeerByteFilter)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PeerGrep)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    WisplogApplication app(argc, argv);
    QTemporaryDir dir;
    TheDir = &dir;
    QFile::copy(QStringLiteral(WISPLOG_BINARY_DIR "/NKF32.DLL"), dir.filePath(QStringLiteral("NKF32.DLL")));
    {
        QFile ini(dir.filePath(QStringLiteral("wisplog.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write("bench:127.0.0.1:u:p:1:/log.txt\r\n");
    }
    SetMessageBoxHook([](const std::string&, const std::string&, unsigned) { return 1; });
    StartupOptions options;
    options.ExeDir = dir.path().toStdString();
    auto form = std::make_unique<TForm1>(options);
    TheForm = form.get();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
