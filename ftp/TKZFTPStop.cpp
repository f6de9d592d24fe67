// TKZFTP: the user's stop of whatever the component is waiting for.
#include "ftp/TKZFTP.h"

void TKZFTP::Stop()
{
    ReportStatus(8, "Stop");
    FStopped = true;
    // The dialogue is cut off in the middle: the connection is out of step,
    // so it is closed without QUIT.
    FControlBroken = true;
    // Both waits end: the control connection's (look-up, connect, a reply,
    // a command's send) and the data connection's (connect, accept, data).
    Cancel();
    if (FDataConnection)
        FDataConnection->Cancel();
}
