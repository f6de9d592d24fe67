// File → "Save view as…": the lines the view shows, all of them, written in
// UTF-8 (through the view's lossless codec) or as the view's Shift_JIS bytes,
// to a temporary file beside the target that is renamed into place.
#include "app/Form1.h"

#include "app/ErrorReport.h"
#include "codec/SjisCodec.h"
#include "sock/PartFile.h"
#include "view/SjisMemo.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t FlushBytes = 1u << 20;

// Writes all of bytes to fd; throws with the system's reason.
void WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(n < 0 ? std::strerror(errno) : "write returned 0");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The lines shown, each with the break it has in the text (none behind the
// text's last line), encoded as asked, handed out in pieces of about
// FlushBytes.
template <typename Sink>
void EncodeLines(const SjisLines& lines, bool utf8, Sink sink)
{
    const SjisTextBuffer& buffer = lines.Buffer();
    const std::string_view raw = buffer.Raw();
    std::string out;
    uint64_t givenBack = 0;
    for (int64_t i = 0; i < lines.Count(); ++i) {
        const int64_t source = lines.SourceLine(i);
        if (source < 0)
            continue;
        const std::string_view bytes = lines.Bytes(i);
        if (utf8)
            out += SjisCodec::Decode(bytes, source == 0 && buffer.FirstByteStray()).toStdString();
        else
            out += bytes;
        const uint64_t end = buffer.Index().RawStart(source) + buffer.Index().RawLength(source);
        const uint64_t next = source + 1 < buffer.Count() ? buffer.Index().RawStart(source + 1) : raw.size();
        out += raw.substr(end, next - end);
        if (out.size() >= FlushBytes) {
            sink(std::string_view(out));
            out.clear();
            // A text in a file keeps what was read there, not in memory.
            buffer.GiveBack(givenBack, next);
            givenBack = next;
        }
    }
    sink(std::string_view(out));
}

} // namespace

QString TForm1::SaveViewDefaultPath() const
{
    const QFileInfo local(QFile::decodeName(LastFile.c_str()));
    const QString name = LastFile.empty() ? QStringLiteral("wisplog") : local.fileName();
    const QDir dir(LastFile.empty() ? QDir::currentPath() : local.absolutePath());
    return dir.filePath(name + QStringLiteral("-view.log"));
}

void TForm1::SaveViewAs1Click()
{
    const QString utf8 = QStringLiteral("UTF-8 (*)");
    const QString sjis = QStringLiteral("Shift_JIS (*)");
    QFileDialog dialog(this, QStringLiteral("Save view as…"));
    dialog.setObjectName("SaveViewDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The encoding is chosen with the file type.
    dialog.setNameFilters({utf8, sjis});
    dialog.selectNameFilter(utf8);
    const QString offered = SaveViewDefaultPath();
    dialog.setDirectory(QFileInfo(offered).absolutePath());
    dialog.selectFile(QFileInfo(offered).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    if (SaveView(QFile::encodeName(dialog.selectedFiles().front()).toStdString(), dialog.selectedNameFilter() != sjis))
        ShowStatus(QStringLiteral("保存"));
}

bool TForm1::SaveView(const std::string& path, bool utf8)
{
    try {
        PartFile part(path);
        const int fd = ::open(part.Path().c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            throw std::runtime_error(std::strerror(errno));
        try {
            EncodeLines(Memo1->Lines(), utf8, [fd](std::string_view piece) { WriteAll(fd, piece); });
            if (::fsync(fd) != 0)
                throw std::runtime_error(std::strerror(errno));
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (::close(fd) != 0)
            throw std::runtime_error(std::strerror(errno));
        part.Commit();
        return true;
    } catch (const std::exception& e) {
        // The temporary file went with the PartFile; the target is as it was.
        ShowErrorReport("ファイル " + path + " に保存できません (" + e.what() + ")");
    } catch (...) {
        ShowErrorReport("ファイル " + path + " に保存できません");
    }
    return false;
}
