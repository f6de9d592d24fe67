// The text view: black, console-like, holding Shift_JIS text with CR LF line
// breaks. Every position of its interface (caret, selection) is a byte offset
// into that text; Qt shows it through the lossless mapping of SjisCodec.
#pragma once

#include <QPlainTextEdit>
#include <QTextBlock>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class SjisMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit SjisMemo(QWidget* parent = nullptr);

    // Empties the view. Does not wait; does not throw.
    void Clear();
    // Replaces the whole text; every line break (CR LF, lone CR, lone LF)
    // becomes CR LF. With firstByteStray the first byte is shown alone as one
    // replacement-looking character (the rest of a character cut in two), even
    // a CR or LF. Caret at the start. Throws std::length_error when the text
    // is more than the view can hold, std::bad_alloc without memory.
    void SetText(std::string_view bytes, bool firstByteStray = false);
    // The whole text: exactly the bytes put in, unless edited since; typed
    // text as Shift_JIS bytes. Does not wait.
    std::string Text() const;
    // Length of Text() in bytes, without building it.
    int64_t TextLength() const;

    // Caret (start of the selection) as a byte offset.
    int64_t SelStart() const;
    // Puts the caret at a byte offset (clamped to the text; an offset inside
    // a character goes to its start), emptying the selection.
    void SetSelStart(int64_t offset);
    // Length of the selection in bytes.
    int64_t SelLength() const;
    // Selects length bytes from the selection's start (the caret goes to the
    // selection's end) and scrolls the caret into sight.
    void SetSelLength(int64_t length);
    // Replaces the selection by Shift_JIS bytes (line breaks become CR LF);
    // the caret stands behind them and is scrolled into sight. Throws like
    // SetText.
    void SetSelText(std::string_view bytes);
    // Selects the whole text.
    void SelectAll();
    // Byte offset of the start of the first line shown (wholly or in part);
    // 0 while the view is not shown.
    int64_t FirstShownLineStart() const;

    // Number of lines; an empty line after the last line break does not
    // count (so "a\r\n" has one line and the empty text none).
    int LineCount() const;
    // Bytes of line i without its line break; empty outside the text.
    std::string Line(int i) const;
    // Deletes line i with its line break (the following lines move up); the
    // last line, which has none, is emptied. Nothing outside the text.
    void DeleteLine(int i);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Walk;
    void OnContentsChange(int position, int removed, int added);
    int64_t BlockByteLength(const QTextBlock& block) const;
    std::string BlockBytes(const QTextBlock& block) const;
    void EnsureStarts(int blockNumber) const;
    int64_t PositionToByte(int position) const;
    int ByteToPosition(int64_t offset) const;
    void SetBlockBytes(QTextBlock block, std::string_view bytes, bool firstByteStray);

    // Byte offset of the start of each block, valid for blocks below
    // FValidStarts; edits cut it back to the first block they touched.
    mutable std::vector<int64_t> FStarts;
    mutable int FValidStarts = 0;
    // The whole text while it is known without reading the document back:
    // set by SetText and by Text(), kept through SetSelText, dropped by every
    // other change.
    mutable std::string FText;
    mutable bool FTextValid = false;
    // Set while the view itself edits the document and keeps the bytes of
    // the blocks it touches.
    bool FOwnEdit = false;
    // Set while the whole text is replaced: nothing to keep then.
    bool FLoading = false;
    // The first byte of the text is shown alone (SetText's firstByteStray).
    bool FFirstByteStray = false;
};
