#include "MainWindow.h"

#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/RecordFile.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/WinSock.h"
#include "support/Wait.h"
#include "tel/BSendTel.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"

#include <QApplication>

#include <mutex>

namespace testsupport {

TBLookupForm *StartMainWindow(const TempEnv &env)
{
    LoadIniFile(env.path());
    StartParameter('A') = QStringLiteral("1");
    auto *form = new TBLookupForm();
    LoadSettings();
    return form;
}

TBSendTelegramForm *ShownSendWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *send = qobject_cast<TBSendTelegramForm *>(w); send && send->isVisible())
            return send;
    }
    return nullptr;
}

bool StopServers()
{
    {
        std::lock_guard guard(ConnectionLock);
        for (int i = 1; i <= ConnectionCount && i <= MaxConnections; ++i)
            plat::closesocket(ConnectionSockets[static_cast<size_t>(i)]);
    }
    CloseFollowUpSockets();
    for (plat::SOCKET *s : {&TcpServerSocket, &UdpServerSocket, &CgiSocket}) {
        if (*s != plat::INVALID_SOCKET)
            plat::closesocket(*s);
        *s = plat::INVALID_SOCKET;
    }
    return WaitUntil([] {
        return TcpServerAlive == 0 && UdpServerAlive == 0 && ConnectionCount == 0 &&
               plat::FreeOnTerminateThread::Running() == 0;
    });
}

std::vector<MessageRecord> StoredTels()
{
    return StoredTels(TelDataFile());
}

std::vector<MessageRecord> StoredTels(const QString &dataFile)
{
    plat::RecordFile file(dataFile, MessageRecord::Size);
    std::vector<MessageRecord> all;
    QByteArray image;
    if (file.open()) {
        for (qint64 i = 1; file.read(i, image); ++i)
            all.push_back(MessageRecord::decode(image));
    }
    return all;
}

} // namespace testsupport
