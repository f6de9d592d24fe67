// TForm1::ShowLocalFile: reads a local file aside (converted to Shift_JIS,
// cut to its tail, indexed) while the window answers, then shows it in
// Memo1 scrolled to the end.
#include "app/Form1.h"

#include "app/DisplayPreparation.h"
#include "app/MessageBox.h"
#include "app/RunAside.h"
#include "app/Tag.h"
#include "view/SjisMemo.h"

#include <QComboBox>
#include <QPushButton>
#include <QScopeGuard>

#include <exception>
#include <new>
#include <string>

namespace {

// Scrolls the view to its end: a blank put at the end scrolls it into sight,
// then goes again.
void ScrollToEnd(SjisMemo& memo)
{
    const int64_t c = memo.TextLength();
    memo.SetSelStart(c);
    memo.SetSelText(" ");
    memo.SetSelStart(c);
    memo.SetSelLength(1);
    memo.SetSelText("");
}

} // namespace

std::string TForm1::ShowLocalFile(const std::string& fileName, int32_t tailSize)
{
    // Marks go onto the same lines of the text shown again (a filter reset,
    // another encoding); a fetch has cleared them before.
    const auto marks = Memo1->MarkedBytes();
    Memo1->Clear();
    AppliedFilter.reset();
    LastFile = fileName;
    LastTag = tailSize;
    SetTag(Button1, tailSize);
    SetTag(CmbHost, tailSize);
    std::string failure;
    FDisplayStopped = false;
    try {
        // The file is read, converted and indexed aside: the window keeps
        // answering, says how far it has got, and Esc or closing it stops.
        DisplayJob job;
        job.FileName = fileName;
        job.TailSize = tailSize;
        job.Encoding = CurrentEncoding;
        PreparedDisplay prepared;
        std::exception_ptr error;
        bool ticked = false;
        FDisplayRunning = true;
        FStopDisplay = [&job] { job.Stop = true; };
        const auto running = qScopeGuard([this] {
            FDisplayRunning = false;
            FStopDisplay = nullptr;
        });
        RunAside(
            *this,
            [&] {
                try {
                    prepared = PrepareDisplay(job);
                } catch (...) {
                    error = std::current_exception();
                }
            },
            FStopDisplay,
            [&] {
                ticked = true;
                ShowStatus(QStringLiteral("変換中 %1%").arg(job.Percent.load()));
            });
        if (ticked)
            ShowStatus(QString());
        if (error)
            std::rethrow_exception(error);
        Memo1->AdoptText(std::move(prepared.Text));
        ScrollToEnd(*Memo1);
        TitleAfterDisplay(prepared.EncodingName);
        Memo1->PutBackMarks(marks);
        Memo1->viewport()->update();
        return failure;
    } catch (const DisplayStopped&) {
        // Stopped by the user: nothing shown, and no box.
        FDisplayStopped = true;
        TitleAfterDisplay({});
        ShowStatus(QStringLiteral("中止"));
        return "中止";
    } catch (const std::bad_alloc&) {
        failure = "メモリ不足";
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "?";
    }
    TitleAfterDisplay({});
    // Every buffer is released by now; the box is the user's report.
    try {
        ShowMessageBox("失敗", "読込", MB_ICONSTOP);
    } catch (...) {
    }
    return failure;
}
