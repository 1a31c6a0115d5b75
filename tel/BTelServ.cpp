#include "tel/BTelServ.h"

#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/Sound.h"
#include "platform/WinMessages.h"

#include <algorithm>
#include <mutex>

qint32 WaitingTels = -1;

qint32 NotifyTelArrival(bool playChime)
{
    qint32 count;
    {
        std::lock_guard lock(WaitingTelsLock);
        // Before the start-up count (-1) an arrival still counts as the first.
        WaitingTels = std::max(WaitingTels, 0) + 1;
        count = WaitingTels;
    }
    // Handled at once on the GUI thread, posted to it from a server thread.
    plat::BroadcastToForms(WaitingTelsMessage, 0, count);
    if (playChime)
        plat::PlaySoundFile(ArrivalChime); // an empty setting beeps
    return count;
}
