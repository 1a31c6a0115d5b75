#pragma once
// Receiving TELs: counting and announcing an arrival.
#include <QtGlobal>

// Window message telling every form the number of unread TELs: wParam 0 when
// a TEL was stored (lParam = the unread count), wParam 1 when the receive
// window showed one (lParam = the unread count minus 1). A form that shows
// the number shows lParam + wParam.
constexpr unsigned WaitingTelsMessage = 2025;

// Received TELs not yet shown; guarded by WaitingTelsLock. -1 until the TEL
// log pair has been opened and counted at start-up.
extern qint32 WaitingTels;

// Counts one more unread TEL, tells every form the new count (message 2025,
// wParam 0) and, when asked, plays the ArrivalChime (the beep when none is
// set). Returns the count that this arrival made, so that the caller decides
// on its own TEL's place even when other TELs arrive right after it.
qint32 NotifyTelArrival(bool playChime);
