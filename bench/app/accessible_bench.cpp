// What a screen reader's questions cost on a big text: a view holding a
// text of SIZE MB in a file (default 1024), mostly ASCII log lines with
// Japanese in each, asked through the accessibility interface for the
// character count (the first time, which counts every line, and again), the
// line at the end, the caret after Ctrl+End, and the whole text, with the
// peak memory that last question takes beside the size of its answer.
// Run: build/bench/bench/app/accessible_bench [SIZE] (offscreen).
#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"
#include "view/SjisTextStore.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

uint64_t StatusBytes(const std::string& key)
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == key + ":") {
            uint64_t kb = 0;
            status >> kb;
            return kb << 10;
        }
    return 0;
}

template <typename F>
double Millis(F f)
{
    QElapsedTimer clock;
    clock.start();
    f();
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const uint64_t size = uint64_t(argc > 1 ? std::atoi(argv[1]) : 1024) << 20;
    auto store = SjisTextStore::InFile(QDir::tempPath().toStdString(), size + (1 << 20));
    if (!store) {
        std::fprintf(stderr, "no text in a file can be made in %s\n", qPrintable(QDir::tempPath()));
        return 1;
    }
    const std::string japanese = SjisCodec::Encode(QStringLiteral("接続に失敗しました"));
    std::string piece;
    for (int i = 0; store->Size() < size; ++i) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "2026-12-08 08:%02d:%02d.%03d %s host%d ", (i / 60) % 60, i % 60,
                      i % 1000, i % 50 == 0 ? "ERROR" : "info ", i % 97);
        piece += stamp;
        piece += japanese;
        piece += " request done\n";
        if (piece.size() >= (1u << 20)) {
            store->Append(piece);
            piece.clear();
        }
    }
    store->Append(piece);
    const uint64_t bytes = store->Size();
    store->GiveBackAll();

    SjisMemo view;
    view.resize(800, 600);
    view.AdoptText(std::move(*store));
    view.FinishIndex();
    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(&view)->textInterface();
    int count = 0;
    const double first = Millis([&] { count = text->characterCount(); });
    const double again = Millis([&] { count = text->characterCount(); });
    int start = 0;
    int end = 0;
    QString line;
    const double lineAtEnd =
        Millis([&] { line = text->textAtOffset(count - 3, QAccessible::LineBoundary, &start, &end); });
    int caret = 0;
    const double caretAtEnd = Millis([&] {
        view.ShowEnd();
        caret = text->cursorPosition();
    });
    const uint64_t before = StatusBytes("VmRSS");
    {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
    }
    QString all;
    const double whole = Millis([&] { all = text->text(0, count); });
    const uint64_t peak = StatusBytes("VmHWM");
    std::printf("text: %.0f MB in a file, %d characters\n", double(bytes) / 1048576, count);
    std::printf("characterCount, first: %.1f ms (%.2f GB/s); again: %.3f ms\n", first,
                double(bytes) / 1e6 / first, again);
    std::printf("line at the end: %.3f ms (%lld characters)\n", lineAtEnd,
                static_cast<long long>(line.size()));
    std::printf("caret after the end: %.3f ms (at %d)\n", caretAtEnd, caret);
    std::printf("whole text: %.0f ms, %.0f MB of UTF-16, peak growth %.0f MB\n", whole,
                double(all.size()) * 2 / 1048576, double(peak - before) / 1048576);
    return all.size() == count && caret == count ? 0 : 1;
}
