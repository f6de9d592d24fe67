// What a host profile sets in the window before its fetch: the display
// encoding of its encoding field, and the checks that refuse a bad profile
// before anything is dialled.
#include "app/Form1.h"

#include "profiles/HostProfile.h"

#include <QAction>
#include <QComboBox>

HostProfile TForm1::SelectedProfile()
{
    SplitFields(HostList[CmbHost->currentIndex()], ':');
    return ReadHostProfile(HostFields, HostListInShiftJis);
}

void TForm1::SelectStartProfileEncoding()
{
    // The program chose the start-up profile: its encoding is selected now,
    // so the menu shows it and a choice the user makes before the first
    // fetch holds. A bad field is left for the fetch to report.
    FProfileEncodingPending = true;
    try {
        SelectProfileEncoding(SelectedProfile());
    } catch (const Exception&) {
        FProfileEncodingPending = false;
    }
}

void TForm1::SelectProfileEncoding(const HostProfile& profile)
{
    // Once per choice of a profile: a later menu choice of the user's own
    // holds until a profile is chosen again.
    if (!FProfileEncodingPending)
        return;
    FProfileEncodingPending = false;
    if (profile.Encoding.empty())
        return;
    for (QAction* item : {JIS1, EUC1, UTF81, Unicode1, SJIS1, N3})
        if (item->text().toStdString() == profile.Encoding) {
            EUC1Click(item);
            return;
        }
}
