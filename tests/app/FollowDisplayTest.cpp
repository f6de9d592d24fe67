// ShowFollowedFile against the display pipeline: a file that grows piece by
// piece, shown incrementally in one window and whole (ShowLocalFile) in
// another, must read the same; and the break test that allows converting
// only the new bytes.
#include "app/FollowDisplay.h"
#include "app/Form1.h"
#include "view/SjisMemo.h"
#include "tests/app/StartupFixture.h"

#include <QScrollBar>

#include <fstream>
#include <random>

namespace {

using namespace std::string_literals;

class FollowDisplay : public StartupFixture {
protected:
    void SetUp() override
    {
        StartupFixture::SetUp();
        Shown = MakeForm("local:127.0.0.1:user:pass:1:/logs/app.log\n");
        Reference = MakeForm("local:127.0.0.1:user:pass:1:/logs/app.log\n");
        ASSERT_TRUE(Shown && Reference);
        Shown->resize(640, 400);
        Shown->show();
        Path = Dir.filePath("app.log").toStdString();
    }

    void Append(const std::string& bytes)
    {
        std::ofstream(Path, std::ios::binary | std::ios::app) << bytes;
    }

    std::string ReferenceText(const std::string& encoding, int32_t tail)
    {
        Reference->CurrentEncoding = encoding;
        Reference->ShowLocalFile(Path, tail);
        return Reference->Memo1->Text();
    }

    std::unique_ptr<TForm1> Shown;
    std::unique_ptr<TForm1> Reference;
    std::string Path;
};

// Pieces of text that end on a line break most of the time, made of bytes
// that stress character boundaries: ASCII, EUC and UTF-8 lead and trail
// bytes, SS2/SS3, CR and LF.
std::string RandomPiece(std::mt19937& random, bool endOnBreak)
{
    static const std::string alphabet =
        "ab \r\n\n\n\xA4\xA2\xB0\xC6\xFC\x8E\x8F\xE3\x81\x82\x83\xAD\xC3\xA9\x7F"s;
    std::uniform_int_distribution<int> length(0, 40), pick(0, int(alphabet.size()) - 1);
    std::string piece;
    for (int n = length(random); n > 0; --n)
        piece += alphabet[size_t(pick(random))];
    if (endOnBreak)
        piece += '\n';
    return piece;
}

TEST_F(FollowDisplay, GrowingFileReadsAsAWholeConversionWouldShowIt)
{
    std::mt19937 random(16);
    for (const std::string encoding : {"EUC", "UTF8", "SJIS"}) {
        for (const int32_t tail : {0, 300}) {
            SCOPED_TRACE(encoding + " tail " + std::to_string(tail));
            std::ofstream(Path, std::ios::binary | std::ios::trunc) << "start\n";
            FollowViewState state;
            Shown->CurrentEncoding = encoding;
            Shown->Memo1->Clear();
            int incremental = 0;
            int64_t size = 6;
            ShowFollowedFile(*Shown->Memo1, state, Path, tail, encoding, std::nullopt, true, 0);
            for (int round = 0; round < 60; ++round) {
                const std::string piece = RandomPiece(random, round % 5 != 0);
                Append(piece);
                // The caret at the end, as after a display scrolled there.
                Shown->Memo1->SetSelStart(Shown->Memo1->TextLength());
                Shown->Memo1->verticalScrollBar()->setValue(Shown->Memo1->verticalScrollBar()->maximum());
                const FollowDisplayCounts counts =
                    ShowFollowedFile(*Shown->Memo1, state, Path, tail, encoding, std::nullopt, false, size);
                size += int64_t(piece.size());
                incremental += counts.Incremental ? 1 : 0;
                const std::string expected = ReferenceText(encoding, tail);
                ASSERT_TRUE(Shown->Memo1->Text() == expected) << "round " << round;
            }
            // The UTF-8 pieces hold leads of long sequences that may hide a
            // terminator, so that file is converted whole from then on.
            if (encoding != "UTF8")
                EXPECT_GT(incremental, 10) << "most refreshes convert only the new bytes";
        }
    }
}

TEST_F(FollowDisplay, BreakTestRefusesEveryCaseWhereTheLineBreakIsPartOfACharacter)
{
    struct Case {
        const char* Route;
        std::string Bytes;
        bool Independent;
    };
    const Case cases[] = {
        {"EUC", "abc\n", true},
        {"EUC", "\xC6\xFC\xCB\xDC\n", true},         // two kanji, then the break
        {"EUC", "a\xC6\xFC\xCB\n", false},           // an odd high byte takes the LF
        {"EUC", "a\x8E\n", false},                   // SS2 takes the LF
        {"EUC", "a\x8F\x41\n", false},               // SS3 takes it as third byte
        {"EUC", "\xA4\n", false},
        {"EUC", "abc", false},                       // no break at the end
        {"EUC", "a\0b\n"s, false},                   // conversion stopped at the zero
        {"UTF8", "ok \xE3\x83\xAD\n", true},
        {"UTF8", "ok \xE3\x83\n", false},            // a cut sequence reaches the LF
        {"UTF8", "ok \xF0\x9F\x98\n", false},
        {"UTF8", "a\xC0\x80z\n", false},             // a sequence decoding to 0
        {"SJIS", "\x93\xFA\n", true},
        {"SJIS", "a\r", false},                      // a CR may join the next LF
        {"JIS", "abc\n", false},                     // shift state: always whole
        {"", "abc\n", false},                        // detection: always whole
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Route) + " " + c.Bytes);
        std::string padded = c.Bytes + std::string(8, '\0');
        EXPECT_EQ(EndsOnIndependentBreak(c.Route, reinterpret_cast<const uint8_t*>(padded.data()),
                                         int64_t(c.Bytes.size())),
                  c.Independent);
    }
}

} // namespace
