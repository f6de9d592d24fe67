#include "view/SjisMemo.h"

#include "view/Fonts.h"
#include "codec/SjisCodec.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace {

// The bytes of a line whose text alone would not give them back (a code with
// a twin, a lone combining mark): kept beside the block until it is edited.
// Blocks without it are Encode(text).
struct BlockBytesData : QTextBlockUserData {
    BlockBytesData(std::string_view bytes, bool stray) : Bytes(bytes), FirstByteStray(stray) {}
    std::string Bytes;
    bool FirstByteStray;
};

BlockBytesData* DataOf(const QTextBlock& block)
{
    return static_cast<BlockBytesData*>(block.userData());
}

// Most characters a document may hold: positions in it are int.
constexpr int64_t MaxChars = INT_MAX - 16;

struct LineSpan {
    std::size_t Offset;
    std::size_t Length;
};

// Lines of bytes split at CR LF, lone CR and lone LF. A stray first byte is
// part of the first line whatever it is.
std::vector<LineSpan> SplitLines(std::string_view bytes, bool firstByteStray)
{
    std::vector<LineSpan> lines;
    std::size_t start = 0;
    std::size_t i = firstByteStray && !bytes.empty() ? 1 : 0;
    const std::size_t n = bytes.size();
    const char* p = bytes.data();
    while (i < n) {
        const void* hit = std::memchr(p + i, '\n', n - i);
        const void* cr = std::memchr(p + i, '\r', (hit ? static_cast<const char*>(hit) : p + n) - (p + i));
        if (cr)
            hit = cr;
        if (!hit)
            break;
        const std::size_t at = static_cast<const char*>(hit) - p;
        lines.push_back({start, at - start});
        i = at + ((p[at] == '\r' && at + 1 < n && p[at + 1] == '\n') ? 2 : 1);
        start = i;
    }
    lines.push_back({start, n - start});
    return lines;
}

// The view's own replacements cannot be undone, and they empty the undo
// history, so that undo never brings back a state the bytes no longer match.
class WithoutUndo {
public:
    explicit WithoutUndo(QTextDocument* document) : Document(document), Was(document->isUndoRedoEnabled())
    {
        Document->setUndoRedoEnabled(false);
    }
    ~WithoutUndo() { Document->setUndoRedoEnabled(Was); }
    WithoutUndo(const WithoutUndo&) = delete;
    WithoutUndo& operator=(const WithoutUndo&) = delete;

private:
    QTextDocument* Document;
    bool Was;
};

} // namespace

// Visits the characters of one block as (bytes, UTF-16 units) pairs, from its
// kept bytes when it has them, else from its text as Encode writes it.
struct SjisMemo::Walk {
    template <typename F>
    static void Block(const QTextBlock& block, F visit)
    {
        if (const BlockBytesData* data = DataOf(block)) {
            const std::string_view bytes = data->Bytes;
            for (std::size_t i = 0; i < bytes.size();) {
                const SjisCodec::Unit u = SjisCodec::DecodeAt(bytes, i, i == 0 && data->FirstByteStray);
                if (!visit(u.Bytes, u.Chars))
                    return;
                i += u.Bytes;
            }
            return;
        }
        const QString text = block.text();
        for (qsizetype i = 0; i < text.size();) {
            const SjisCodec::EncodedUnit u = SjisCodec::EncodeAt(text, i);
            if (!visit(u.Bytes, u.Chars))
                return;
            i += u.Chars;
        }
    }
};

SjisMemo::SjisMemo(QWidget* parent) : QPlainTextEdit(parent)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, Qt::white);
    setPalette(pal);
    setFont(ViewFont());
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    connect(document(), &QTextDocument::contentsChange, this, &SjisMemo::OnContentsChange);
}

void SjisMemo::OnContentsChange(int position, int /*removed*/, int added)
{
    if (FLoading)
        return;
    QTextDocument* doc = document();
    QTextBlock first = doc->findBlock(position);
    if (!first.isValid())
        first = doc->lastBlock();
    QTextBlock last = doc->findBlock(position + added);
    if (!last.isValid())
        last = doc->lastBlock();
    for (QTextBlock b = first; b.isValid(); b = b.next()) {
        b.setUserState(-1);
        if (!FOwnEdit)
            b.setUserData(nullptr);
        if (b == last)
            break;
    }
    if (!FOwnEdit) {
        FTextValid = false;
        if (position == 0)
            FFirstByteStray = false;
    }
    FValidStarts = std::min(FValidStarts, first.blockNumber());
}

void SjisMemo::keyPressEvent(QKeyEvent* event)
{
    // Shift+Enter would put a line separator inside a line; every line break
    // of this view is a CR LF between lines.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (event->modifiers() & Qt::ShiftModifier)) {
        QKeyEvent plain(event->type(), event->key(), event->modifiers() & ~Qt::ShiftModifier,
                        event->text(), event->isAutoRepeat(), event->count());
        QPlainTextEdit::keyPressEvent(&plain);
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void SjisMemo::Clear()
{
    FLoading = true;
    clear();
    FLoading = false;
    FStarts.assign(1, 0);
    FValidStarts = 0;
    FFirstByteStray = false;
    FText.clear();
    FTextValid = true;
}

void SjisMemo::SetText(std::string_view bytes, bool firstByteStray)
{
    if (bytes.size() > static_cast<std::size_t>(2 * MaxChars))
        throw std::length_error("text too long for the view");
    firstByteStray = firstByteStray && !bytes.empty();
    const std::vector<LineSpan> lines = SplitLines(bytes, firstByteStray);
    std::vector<std::size_t> risky;

    // One text for the whole document, lines joined by '\n': every line
    // break is at least one byte, so bytes.size() units are always enough.
    QString text;
    text.resize(static_cast<qsizetype>(bytes.size()));
    char16_t* begin = reinterpret_cast<char16_t*>(text.data());
    char16_t* out = begin;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k > 0)
            *out++ = u'\n';
        bool lineRisky = false;
        out = SjisCodec::DecodeTo(out, bytes.substr(lines[k].Offset, lines[k].Length),
                                  k == 0 && firstByteStray, &lineRisky);
        if (lineRisky)
            risky.push_back(k);
    }
    if (out - begin > MaxChars)
        throw std::length_error("text too long for the view");
    text.truncate(out - begin);

    FTextValid = false;
    FValidStarts = 0;
    FFirstByteStray = firstByteStray;
    FLoading = true;
    try {
        setPlainText(text);
    } catch (...) {
        FLoading = false;
        throw;
    }
    FLoading = false;
    text = QString();

    FText.clear();
    FText.reserve(bytes.size() + lines.size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k > 0)
            FText += "\r\n";
        FText.append(bytes.substr(lines[k].Offset, lines[k].Length));
    }
    FTextValid = true;
    FStarts.assign(lines.size(), 0);
    std::size_t next = 0;
    QTextBlock block = document()->firstBlock();
    for (std::size_t k = 0; k < lines.size() && block.isValid(); ++k, block = block.next()) {
        block.setUserState(static_cast<int>(std::min<std::size_t>(lines[k].Length, INT_MAX)));
        if (next < risky.size() && risky[next] == k) {
            block.setUserData(new BlockBytesData(bytes.substr(lines[k].Offset, lines[k].Length),
                                                 k == 0 && firstByteStray));
            ++next;
        }
        if (k > 0)
            FStarts[k] = FStarts[k - 1] + static_cast<int64_t>(lines[k - 1].Length) + 2;
    }
    FValidStarts = static_cast<int>(lines.size());
}

int64_t SjisMemo::BlockByteLength(const QTextBlock& block) const
{
    const int state = block.userState();
    if (state >= 0)
        return state;
    int64_t length;
    if (const BlockBytesData* data = DataOf(block))
        length = static_cast<int64_t>(data->Bytes.size());
    else
        length = SjisCodec::EncodedLength(block.text());
    QTextBlock(block).setUserState(static_cast<int>(std::min<int64_t>(length, INT_MAX)));
    return length;
}

std::string SjisMemo::BlockBytes(const QTextBlock& block) const
{
    if (const BlockBytesData* data = DataOf(block))
        return data->Bytes;
    return SjisCodec::Encode(block.text());
}

void SjisMemo::EnsureStarts(int blockNumber) const
{
    if (blockNumber < FValidStarts)
        return;
    const QTextDocument* doc = document();
    FStarts.resize(static_cast<std::size_t>(doc->blockCount()));
    int j = FValidStarts;
    if (j == 0) {
        FStarts[0] = 0;
        j = 1;
    }
    QTextBlock block = doc->findBlockByNumber(j - 1);
    for (; j <= blockNumber && block.isValid(); ++j) {
        FStarts[j] = FStarts[j - 1] + BlockByteLength(block) + 2;
        block = block.next();
    }
    FValidStarts = std::max(FValidStarts, std::min(blockNumber + 1, doc->blockCount()));
}

int64_t SjisMemo::TextLength() const
{
    if (FTextValid)
        return static_cast<int64_t>(FText.size());
    const QTextBlock last = document()->lastBlock();
    EnsureStarts(last.blockNumber());
    return FStarts[last.blockNumber()] + BlockByteLength(last);
}

std::string SjisMemo::Text() const
{
    if (FTextValid)
        return FText;
    std::string text;
    text.reserve(static_cast<std::size_t>(TextLength()));
    for (QTextBlock b = document()->firstBlock(); b.isValid(); b = b.next()) {
        if (b != document()->firstBlock())
            text += "\r\n";
        if (const BlockBytesData* data = DataOf(b))
            text += data->Bytes;
        else
            SjisCodec::EncodeAppend(b.text(), text);
    }
    FText = text;
    FTextValid = true;
    return text;
}

int64_t SjisMemo::PositionToByte(int position) const
{
    QTextBlock block = document()->findBlock(position);
    if (!block.isValid())
        return TextLength();
    EnsureStarts(block.blockNumber());
    const int within = position - block.position();
    int chars = 0;
    int64_t bytes = 0;
    Walk::Block(block, [&](int unitBytes, int unitChars) {
        if (chars + unitChars > within)
            return false;
        chars += unitChars;
        bytes += unitBytes;
        return true;
    });
    return FStarts[block.blockNumber()] + bytes;
}

int SjisMemo::ByteToPosition(int64_t offset) const
{
    const int count = document()->blockCount();
    EnsureStarts(count - 1);
    offset = std::clamp<int64_t>(offset, 0, TextLength());
    const auto it = std::upper_bound(FStarts.begin(), FStarts.begin() + count, offset);
    const int k = static_cast<int>(it - FStarts.begin()) - 1;
    const QTextBlock block = document()->findBlockByNumber(k);
    const int64_t within = offset - FStarts[k];
    int chars = 0;
    int64_t bytes = 0;
    Walk::Block(block, [&](int unitBytes, int unitChars) {
        if (bytes + unitBytes > within)
            return false;
        chars += unitChars;
        bytes += unitBytes;
        return true;
    });
    return block.position() + chars;
}

int64_t SjisMemo::SelStart() const
{
    return PositionToByte(textCursor().selectionStart());
}

int64_t SjisMemo::SelLength() const
{
    const QTextCursor cursor = textCursor();
    return PositionToByte(cursor.selectionEnd()) - PositionToByte(cursor.selectionStart());
}

void SjisMemo::SetSelStart(int64_t offset)
{
    QTextCursor cursor = textCursor();
    cursor.setPosition(ByteToPosition(offset));
    setTextCursor(cursor);
}

void SjisMemo::SetSelLength(int64_t length)
{
    const int64_t start = SelStart();
    QTextCursor cursor = textCursor();
    cursor.setPosition(ByteToPosition(start));
    cursor.setPosition(ByteToPosition(start + length), QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    ensureCursorVisible();
}

void SjisMemo::SelectAll()
{
    selectAll();
}

int64_t SjisMemo::FirstShownLineStart() const
{
    // A view never shown has nothing on screen: its text starts there.
    const QTextBlock block = firstVisibleBlock();
    if (!isVisible() || !block.isValid())
        return 0;
    EnsureStarts(block.blockNumber());
    return FStarts[block.blockNumber()];
}

void SjisMemo::SetBlockBytes(QTextBlock block, std::string_view bytes, bool firstByteStray)
{
    bool risky = false;
    const QString expected = SjisCodec::Decode(bytes, firstByteStray, &risky);
    if (block.text() != expected) {
        // The characters at the edges of the replacement pair up differently
        // with their neighbours: show the line as its bytes read.
        QTextCursor cursor(block);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        cursor.insertText(expected);
        block = document()->findBlockByNumber(block.blockNumber());
    }
    block.setUserData(risky ? new BlockBytesData(bytes, firstByteStray) : nullptr);
    block.setUserState(static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
}

void SjisMemo::SetSelText(std::string_view bytes)
{
    QTextDocument* doc = document();
    QTextCursor cursor = textCursor();
    const int a = cursor.selectionStart();
    const int z = cursor.selectionEnd();
    const int64_t s = PositionToByte(a);
    const int64_t e = PositionToByte(z);
    const QTextBlock startBlock = doc->findBlock(a);
    const QTextBlock endBlock = doc->findBlock(z);
    const int k = startBlock.blockNumber();
    EnsureStarts(endBlock.blockNumber());
    const std::string head = BlockBytes(startBlock).substr(0, static_cast<std::size_t>(s - FStarts[k]));
    const std::string endBytes = BlockBytes(endBlock);
    const std::string tail = endBytes.substr(
        std::min<std::size_t>(endBytes.size(), static_cast<std::size_t>(e - FStarts[endBlock.blockNumber()])));

    // The new lines: head + first inserted line, the inserted lines between,
    // last inserted line + tail.
    const std::vector<LineSpan> pieces = SplitLines(bytes, false);
    std::string normalized;   // the inserted bytes with CR LF line breaks
    std::vector<std::string> lines;
    lines.reserve(pieces.size());
    QString inserted;
    int64_t insertedLength = 0;
    for (std::size_t j = 0; j < pieces.size(); ++j) {
        const std::string_view piece = bytes.substr(pieces[j].Offset, pieces[j].Length);
        lines.emplace_back(piece);
        if (j > 0) {
            inserted += u'\n';
            insertedLength += 2;
            normalized += "\r\n";
        }
        normalized += piece;
        inserted += SjisCodec::Decode(piece);
        insertedLength += static_cast<int64_t>(piece.size());
    }
    lines.front().insert(0, head);
    lines.back() += tail;
    if (static_cast<int64_t>(doc->characterCount()) + inserted.size() > MaxChars)
        throw std::length_error("text too long for the view");
    const bool stray = k == 0 && FFirstByteStray && !head.empty();
    const WithoutUndo noUndo(doc);
    FOwnEdit = true;
    try {
        if (FTextValid)
            FText.replace(static_cast<std::size_t>(s), static_cast<std::size_t>(e - s), normalized);
        cursor.insertText(inserted);
        for (std::size_t j = 0; j < lines.size(); ++j)
            SetBlockBytes(doc->findBlockByNumber(k + static_cast<int>(j)), lines[j], j == 0 && stray);
    } catch (...) {
        FOwnEdit = false;
        FTextValid = false;
        throw;
    }
    FOwnEdit = false;
    if (k == 0 && head.empty())
        FFirstByteStray = false;
    FValidStarts = std::min(FValidStarts, k);

    QTextCursor caret = textCursor();
    caret.setPosition(ByteToPosition(s + insertedLength));
    setTextCursor(caret);
    ensureCursorVisible();
}

int SjisMemo::LineCount() const
{
    const QTextDocument* doc = document();
    int count = doc->blockCount();
    if (doc->lastBlock().length() <= 1)   // only the end-of-document mark
        --count;
    return count;
}

std::string SjisMemo::Line(int i) const
{
    if (i < 0 || i >= LineCount())
        return {};
    return BlockBytes(document()->findBlockByNumber(i));
}

void SjisMemo::DeleteLine(int i)
{
    if (i < 0 || i >= LineCount())
        return;
    QTextDocument* doc = document();
    const QTextBlock block = doc->findBlockByNumber(i);
    const QTextBlock next = block.next();
    FTextValid = false;
    const WithoutUndo noUndo(doc);
    QTextCursor cursor(block);
    // In an edit block the cursor does not lay out the line to remember its
    // x position, which would cost more than the deletion itself.
    cursor.beginEditBlock();
    BlockBytesData* kept = nullptr;
    if (next.isValid()) {
        if (const BlockBytesData* data = DataOf(next))
            kept = new BlockBytesData(*data);
        cursor.setPosition(next.position(), QTextCursor::KeepAnchor);
    } else {
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    }
    FOwnEdit = true;
    cursor.removeSelectedText();
    cursor.endEditBlock();
    FOwnEdit = false;
    QTextBlock now = doc->findBlockByNumber(i);
    now.setUserData(kept);
    now.setUserState(-1);
    if (i == 0)
        FFirstByteStray = false;
    FValidStarts = std::min(FValidStarts, i);
}
