// ShowLocalFile: each conversion route and detection, the tail cut, the
// unconverted route, the failure box, on files the tests write.
#include "app/Form1.h"
#include "view/MappedFile.h"
#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"
#include "view/SjisTextStore.h"
#include "app/Tag.h"
#include "tests/app/StartupFixture.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>

#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

// 日本語のログ in each encoding, with a CR LF, and the Shift_JIS it becomes.
const std::string Sjis = "A\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x8D\x83\x4F\r\nB"s;
const std::string Euc = "A\xC6\xFC\xCB\xDC\xB8\xEC\xA4\xCE\xA5\xED\xA5\xB0\r\nB"s;
const std::string Jis = "A\x1B$B\x46\x7C\x4B\x5C\x38\x6C\x24\x4E\x25\x6D\x25\x30\x1B(B\r\nB"s;
const std::string Utf8 = "A\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\xAD\xE3\x82\xB0\r\nB"s;
const std::string Utf16 = "A\0\xE5\x65\x2C\x67\x9E\x8A\x6E\x30\xED\x30\xB0\x30\r\0\n\0B\0"s;

class ShowLocalFileTest : public StartupFixture {
protected:
    void SetUp() override
    {
        StartupFixture::SetUp();
        Form = MakeForm("local:127.0.0.1:user:pass:1:/logs/app.log\n");
        ASSERT_TRUE(Form);
        Form->resize(640, 400);
    }

    std::string Write(const std::string& name, const std::string& bytes)
    {
        const QString path = Dir.filePath(QString::fromStdString(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
        return path.toStdString();
    }

    // Shows bytes written to a file with an encoding; returns the view's text.
    std::string Show(const std::string& bytes, const std::string& encoding, int32_t tail = 10000)
    {
        Form->CurrentEncoding = encoding;
        Form->ShowLocalFile(Write("shown.log", bytes), tail);
        return Form->Memo1->Text();
    }

    // The view's text for file text with LF line ends.
    static std::string Shown(const std::string& lf)
    {
        std::string out;
        for (char c : lf) {
            if (c == '\n')
                out += '\r';
            out += c;
        }
        return out;
    }

    bool CaretAtEnd() const
    {
        return Form->Memo1->SelStart() == Form->Memo1->TextLength() && Form->Memo1->SelLength() == 0;
    }

    std::unique_ptr<TForm1> Form;
};

TEST_F(ShowLocalFileTest, EachEncodingNameConverts)
{
    for (const auto& [bytes, name] : {std::pair{Euc, "EUC"s}, {Jis, "JIS"}, {Utf8, "UTF8"}, {Utf16, "Unicode"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Show(bytes, name), Sjis);
        EXPECT_TRUE(CaretAtEnd());
    }
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(ShowLocalFileTest, DetectionPicksTheConversion)
{
    for (const auto& bytes : {Euc, Jis, Utf8, Utf16}) {
        EXPECT_EQ(Show(bytes, "自動"), Sjis);
        EXPECT_TRUE(CaretAtEnd());
    }
    // Shift_JIS and plain ASCII are shown as they are, cut to the tail.
    EXPECT_EQ(Show(Sjis, "自動", 0), Sjis);
    EXPECT_TRUE(CaretAtEnd());
    EXPECT_EQ(Show("plain ascii\r\n", "自動", 0), "plain ascii\r\n");
    EXPECT_TRUE(CaretAtEnd());
}

TEST_F(ShowLocalFileTest, NamesAndTagsAreSetFirst)
{
    Show("x", "EUC", 1234);
    EXPECT_EQ(Form->LastTag, 1234);
    EXPECT_EQ(Tag(Form->Button1), 1234);
    EXPECT_EQ(Tag(Form->CmbHost), 1234);
    EXPECT_EQ(Form->LastFile, Dir.filePath("shown.log").toStdString());

    Form->ShowLocalFile(Dir.filePath("missing.log").toStdString(), 77);
    EXPECT_EQ(Form->Memo1->Text(), "");
    EXPECT_EQ(Form->LastFile, Dir.filePath("missing.log").toStdString());
    EXPECT_EQ(Form->LastTag, 77);
    EXPECT_EQ(Tag(Form->CmbHost), 77);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "失敗");
    EXPECT_EQ(Boxes[0].Caption, "読込");
    EXPECT_EQ(Boxes[0].Flags, 0x10u);
}

TEST_F(ShowLocalFileTest, DirectoryFifoAndLockedFileShowTheBox)
{
    Form->ShowLocalFile(Dir.path().toStdString(), 0);
    EXPECT_EQ(Boxes.size(), 1u);
    // A FIFO without a writer would block the window for good.
    const std::string fifo = Dir.filePath("fifo").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Form->ShowLocalFile(fifo, 0);
    EXPECT_EQ(Boxes.size(), 2u);

    const std::string path = Write("held.log", "held");
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_SH), 0);
    Form->ShowLocalFile(path, 0);
    EXPECT_EQ(Boxes.size(), 3u);
    EXPECT_EQ(Form->Memo1->Text(), "");
    ::close(fd);
    Form->ShowLocalFile(path, 0);
    EXPECT_EQ(Form->Memo1->Text(), "held");
    EXPECT_EQ(Boxes.size(), 3u);
}

TEST_F(ShowLocalFileTest, TailOfExactlyTheSizeIsWholeOneMoreDropsTheFirstByte)
{
    const std::string text = "0123456789abcdefghij";
    EXPECT_EQ(Show(text, "EUC", 20), text);
    EXPECT_EQ(Show(text + "k", "EUC", 20), "123456789abcdefghijk");
    EXPECT_TRUE(CaretAtEnd());
}

TEST_F(ShowLocalFileTest, AsciiLogTails)
{
    std::string log;
    for (int i = 0; log.size() < 25000; ++i)
        log += "2026-12-07 08:00:00 INFO request " + std::to_string(i) + " done\r\n";
    log.resize(24998);
    log += "\r\n";
    ASSERT_EQ(log.size(), 25000u);
    EXPECT_EQ(Show(log, "EUC", 10000), log.substr(15000));
    EXPECT_EQ(Form->Memo1->SelStart(), 10000);
    EXPECT_EQ(Form->Memo1->TextLength(), 10000);   // the scroll's blank is gone for good
    EXPECT_EQ(Show(log, "EUC", 0), log);
    EXPECT_EQ(Form->Memo1->SelStart(), 25000);
}

TEST_F(ShowLocalFileTest, TheViewEndsScrolledToTheEnd)
{
    Form->show();
    std::string log;
    for (int i = 0; i < 3000; ++i)
        log += "\xA4\xA2 line " + std::to_string(i) + "\n";
    Show(log, "EUC", 0);
    QCoreApplication::processEvents();
    QScrollBar* bar = Form->Memo1->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    Form->hide();
}

TEST_F(ShowLocalFileTest, UnconvertedRouteCutsTheTailAndScrollsToTheEnd)
{
    // SJIS, and 自動 on what it leaves unconverted: plain ASCII, UTF-7,
    // Shift_JIS, binary (a zero byte) and too short to tell.
    std::string log;
    for (int i = 0; i < 2000; ++i)
        log += "2026-12-07 line " + std::to_string(i) + "\n";
    const std::string tail = log.substr(log.size() - 100);
    EXPECT_EQ(Show(log, "SJIS", 100), Shown(tail));
    EXPECT_TRUE(CaretAtEnd());
    EXPECT_EQ(Show(log, "自動", 100), Shown(tail));
    EXPECT_TRUE(CaretAtEnd());
    EXPECT_EQ(Show("+ZeVnLIqe- " + log, "自動", 100), Shown(tail)) << "UTF-7";
    EXPECT_EQ(Show(log + Sjis, "自動", 9), "\x82\xCC\x83\x8D\x83\x4F\r\nB"s);
    EXPECT_EQ(Show("ab", "自動", 1), "b") << "too short to detect";
    // A binary file: its text ends at the first zero byte, the tail is cut there.
    EXPECT_EQ(Show(log + "\0\x01\x02 binary"s, "自動", 100), Shown(tail));
    EXPECT_TRUE(CaretAtEnd());
    Form->show();
    EXPECT_EQ(Show(log, "SJIS", 10000), Shown(log.substr(log.size() - 10000)));
    QCoreApplication::processEvents();
    QScrollBar* bar = Form->Memo1->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum()) << "scrolled to the end";
    Form->hide();

    // Tail size 0 shows all; a tail at least as long as the text too.
    EXPECT_EQ(Show(log, "SJIS", 0), Shown(log));
    EXPECT_TRUE(CaretAtEnd());
    EXPECT_EQ(Show("short\n", "SJIS", 100), "short\r\n");

    // A cut through a double-byte character shows its trail byte alone;
    // one between CR and LF leaves the LF alone.
    EXPECT_EQ(Show("\x88\x9F\x82\xA0\x82\xA2"s, "SJIS", 5), "\x9F\x82\xA0\x82\xA2"s);
    EXPECT_EQ(Form->Memo1->ShownLine(0),
              QString(QChar(SjisCodec::StrayBase + 0x9F)) + QStringLiteral("あい"));
    EXPECT_EQ(Show("ab\r\ncd", "SJIS", 3), "\ncd");
    EXPECT_EQ(Form->Memo1->LineCount(), 1);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(ShowLocalFileTest, EmptyFileAndZeroByte)
{
    for (const char* name : {"EUC", "SJIS", "自動", "UTF8", "Unicode", "JIS"}) {
        EXPECT_EQ(Show("", name), "");
        EXPECT_EQ(Show("abc\0def"s, name == "Unicode"s ? "SJIS" : name), "abc");
    }
    EXPECT_EQ(Show("a\0b\0\0\0c\0"s, "Unicode"), "ab");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(ShowLocalFileTest, OddLengthUnicodeReadsTheLastByteWithAZero)
{
    EXPECT_EQ(Show("A\0B"s, "Unicode"), "AB");
}

TEST_F(ShowLocalFileTest, LoneLineFeedsBecomeCrLfAndTheCaretCountsThem)
{
    EXPECT_EQ(Show("one\ntwo\nthree\n", "EUC", 0), "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(Form->Memo1->SelStart(), 17);
    EXPECT_TRUE(CaretAtEnd());
}

TEST_F(ShowLocalFileTest, CutOnATrailByteOrBetweenCrAndLfKeepsTheRestInPlace)
{
    // 亜あい in EUC: Shift_JIS 88 9F 82 A0 82 A2; the last 5 bytes begin on
    // the trail byte 9F, which is also a lead byte.
    EXPECT_EQ(Show("\xB0\xA1\xA4\xA2\xA4\xA4"s, "EUC", 5), "\x9F\x82\xA0\x82\xA2"s);
    EXPECT_EQ(Form->Memo1->ShownLine(0),
              QString(QChar(SjisCodec::StrayBase + 0x9F)) + QStringLiteral("あい"));
    EXPECT_TRUE(CaretAtEnd());

    // 亜亜: 88 9F 88 9F; the last two bytes begin on a lead byte: no stray.
    EXPECT_EQ(Show("\xB0\xA1\xB0\xA1"s, "EUC", 2), "\x88\x9F"s);
    EXPECT_EQ(Form->Memo1->ShownLine(0), QStringLiteral("亜"));

    EXPECT_EQ(Show("ab\r\ncd", "EUC", 3), "\ncd");
    EXPECT_EQ(Form->Memo1->LineCount(), 1);
    EXPECT_EQ(Form->Memo1->SelStart(), 3);
}

namespace {

// Whether the old whole-text display showed the first byte of the tail at
// start alone: a cut on a second byte (by the lead-byte parity before it) or
// between CR and LF.
bool StrayAt(const std::string& text, size_t start)
{
    if (start == 0)
        return false;
    const auto at = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    if (text[start] == '\n' && text[start - 1] == '\r')
        return true;
    if (!SjisCodec::IsTrailByte(at(start)))
        return false;
    size_t run = 0;
    while (run < start && SjisCodec::IsLeadByte(at(start - 1 - run)))
        ++run;
    return run % 2 == 1;
}

} // namespace

TEST_F(ShowLocalFileTest, TailIsTheWholeTextsTailOnEveryRoute)
{
    // The same lines in each encoding; tails of every size over the last
    // 40 bytes cut on first bytes, second bytes and between CR and LF.
    const std::pair<std::string, std::string> routes[] = {
        {"JIS", Jis}, {"EUC", Euc}, {"UTF8", Utf8}, {"Unicode", Utf16}, {"自動", Utf8}, {"自動", Euc},
    };
    for (const auto& [encoding, line] : routes) {
        std::string file;
        for (int k = 0; k < 300; ++k)
            file += line;
        const std::string whole = Show(file, encoding, 0);
        ASSERT_EQ(whole.size(), 300 * Sjis.size()) << encoding;
        for (size_t tail = 1; tail <= 40; ++tail) {
            SCOPED_TRACE(encoding + " tail " + std::to_string(tail));
            const std::string shown = Show(file, encoding, static_cast<int32_t>(tail));
            const size_t start = whole.size() - tail;
            EXPECT_EQ(shown, whole.substr(start));
            EXPECT_TRUE(CaretAtEnd());
            // The first line as the old display drew it: its stray byte, if
            // any, alone.
            const QString drawn = Form->Memo1->ShownLine(0);
            Form->Memo1->SetText(whole.substr(start), StrayAt(whole, start));
            EXPECT_EQ(drawn, Form->Memo1->ShownLine(0));
        }
    }
}

TEST_F(ShowLocalFileTest, TailCutFarInsideALongRunOfLeadBytes)
{
    // 亜 is 88 9F in Shift_JIS: both bytes lie in the lead-byte range, so
    // whether a cut falls on a second byte depends on every byte back to the
    // "x", far more than the window's first look behind the cut.
    std::string file = "x";
    for (int k = 0; k < 12000; ++k)
        file += "\xB0\xA1";
    const std::string whole = Show(file, "EUC", 0);
    for (int32_t tail : {15001, 15000, 24000, 23999}) {
        const std::string shown = Show(file, "EUC", tail);
        EXPECT_EQ(shown, whole.substr(whole.size() - static_cast<size_t>(tail)));
        const QString drawn = Form->Memo1->ShownLine(0);
        const bool stray = tail % 2 == 1;
        EXPECT_EQ(drawn.at(0) == QChar(SjisCodec::StrayBase + 0x9F), stray) << tail;
    }
}

TEST(MappedFile, AFileThatShrinksWhileMappedFailsTheReadInsteadOfTheProgram)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("shrinks.log")).toStdString();
    {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(3 * 4096 + 10, 'a'));
    }
    MappedFile mapped(path);
    ASSERT_EQ(mapped.Size(), 3u * 4096 + 10);
    EXPECT_EQ(mapped.Bytes()[mapped.Size()], 0);
    auto sum = [](void* context) {
        auto* file = static_cast<MappedFile*>(context);
        volatile unsigned total = 0;
        for (uint64_t k = 0; k < file->Size(); ++k)
            total = total + file->Bytes()[k];
    };
    EXPECT_TRUE(ReadGuarded(sum, &mapped));
    mapped.ReleaseAll();
    ASSERT_EQ(::truncate(path.c_str(), 100), 0);
    EXPECT_FALSE(ReadGuarded(sum, &mapped));
    // The guard is gone afterwards; the pages still there read as before.
    EXPECT_EQ(mapped.Bytes()[99], 'a');
}

TEST_F(ShowLocalFileTest, FileOfMoreThanTwoGibibytes)
{
    // Sparse: "ab" and then zeros past the 2 GiB mark. A 32-bit size would
    // wrap negative; the whole file is read and shown up to its zero byte.
    const std::string path = Write("huge.log", "ab");
    ASSERT_EQ(::truncate(path.c_str(), (int64_t{1} << 31) + 5), 0);
    Form->CurrentEncoding = "SJIS";
    Form->ShowLocalFile(path, 10000);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form->Memo1->Text(), "ab");
    ::unlink(path.c_str());
}

} // namespace

// A big text goes into a file of its own beside the copy: shown exactly as
// from memory on every route, whole and cut, with no file left behind in
// the copy's folder, and followed further.
TEST_F(ShowLocalFileTest, ATextInAFileShowsWhatOneInMemoryShows)
{
    const std::pair<std::string, std::string> routes[] = {
        {"JIS", Jis}, {"EUC", Euc}, {"UTF8", Utf8}, {"Unicode", Utf16}, {"SJIS", Sjis}, {"自動", Euc},
    };
    for (const auto& [encoding, line] : routes) {
        std::string file;
        for (int k = 0; k < 2000; ++k)
            file += line;
        for (const int32_t tail : {0, 10000, 7}) {
            SCOPED_TRACE(encoding + " tail " + std::to_string(tail));
            SetSjisTextInFileFrom(UINT64_MAX);
            const std::string inMemory = Show(file, encoding, tail);
            const QStringList before = QDir(Dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
            SetSjisTextInFileFrom(1);
            const std::string inFile = Show(file, encoding, tail);
            EXPECT_EQ(inFile, inMemory);
            // A cut text is copied out of its room, unless it came as it is.
            EXPECT_EQ(Form->Memo1->Lines().Buffer().InFileBacked(), tail == 0 || encoding == "SJIS");
            EXPECT_TRUE(CaretAtEnd());
            EXPECT_EQ(QDir(Dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System), before);
            // More text behind it, many times past the room it was made with.
            std::string more;
            for (int k = 0; k < 4000; ++k)
                more += Sjis;
            Form->Memo1->Append(more);
            EXPECT_EQ(Form->Memo1->Text(), inMemory + more);
        }
    }
    SetSjisTextInFileFrom(uint64_t(32) << 20);
}

// A whole big file is read aside: the window's timers keep running, the
// status says how far the reading has got, and the text then shown is the
// file's. A second time, keys other than Esc are held off, Esc stops the
// reading: nothing shown, "中止", no box, nothing left in the copy's folder.
TEST_F(ShowLocalFileTest, ABigFileIsReadAsideWhileTheWindowAnswersAndEscStopsIt)
{
    std::string file;
    for (int k = 0; k < 4000; ++k)
        file += Euc + "\n";
    const std::size_t block = file.size();
    while (file.size() < (std::size_t(96) << 20))
        file.append(file, 0, block);
    const std::string path = Write("big.log", file);
    const QStringList before = QDir(Dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
    Form->CurrentEncoding = "EUC";

    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QStringList statuses;
    std::function<void()> onStatus;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
        const QString status = Form->mnStatus->text();
        if (statuses.isEmpty() || statuses.back() != status)
            statuses << status;
        if (onStatus)
            onStatus();
    });
    clock.start();
    tick.start();
    EXPECT_EQ(Form->ShowLocalFile(path, 0), "");
    tick.stop();
    EXPECT_LT(longest, 250) << "the window did not answer for " << longest << " ms";
    EXPECT_FALSE(statuses.filter(QRegularExpression(QStringLiteral("^変換中 \\d+%$"))).isEmpty());
    // Each copy of the line holds a CR LF inside and ends with a LF (the
    // empty line behind the last is not counted).
    EXPECT_EQ(Form->Memo1->LineCount(), static_cast<int64_t>(file.size() / (Euc.size() + 1)) * 2);
    EXPECT_EQ(Form->Memo1->SelStart(), Form->Memo1->TextLength());
    EXPECT_FALSE(Form->DisplayWasStopped());

    bool pressed = false;
    onStatus = [&] {
        if (!pressed && Form->mnStatus->text().startsWith(QStringLiteral("変換中"))) {
            pressed = true;
            QTest::keyClicks(Form->Memo1, QStringLiteral("x"));
            QTest::keyClick(Form->Memo1, Qt::Key_F5);
            QTest::keyClick(Form->Memo1, Qt::Key_Escape);
        }
    };
    tick.start();
    EXPECT_EQ(Form->ShowLocalFile(path, 0), "中止");
    tick.stop();
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(Form->DisplayWasStopped());
    EXPECT_EQ(Form->Memo1->TextLength(), 0);
    EXPECT_EQ(Form->mnStatus->text(), QStringLiteral("中止"));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(Form->FetchRunning());
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System), before);
}
