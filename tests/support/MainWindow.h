#pragma once
// The main window and the TEL log as a test finds them after start-up.
#include "TempEnv.h"
#include "core/MessageRecord.h"

#include <QApplication>

#include <vector>

class TBLookupForm;
class TBSendTelegramForm;

namespace testsupport {

// The main window created and its settings loaded as at start-up, with the
// test's folder as the program folder; start parameter A keeps the start-up
// message boxes away.
TBLookupForm *StartMainWindow(const TempEnv &env);

// The TEL send window that shows, or null.
TBSendTelegramForm *ShownSendWindow();

// The window of class Window that shows, or null.
template <class Window>
Window *ShownWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<Window *>(w); window && window->isVisible())
            return window;
    }
    return nullptr;
}

// Closes the servers' sockets and every accepted connection as closing the
// program does, and waits until both server chains and every self-freeing
// thread have ended. True when they did.
bool StopServers();

// The TEL records of a TEL log pair, without its header record: of this
// process's current pair, or of the pair whose data file is given.
std::vector<MessageRecord> StoredTels();
std::vector<MessageRecord> StoredTels(const QString &dataFile);

} // namespace testsupport
