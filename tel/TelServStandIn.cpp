// TEMPORARY: stands in for the TEL receiving conversation until tel/BTelServ.cpp
// defines these; delete this file when it does (the program would otherwise
// hold two definitions of each).
#include "core/BServer.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"

std::atomic<std::uint8_t> TelServerEnabled{0};

void ServeTel(plat::SOCKET, HostRecord &) {}

bool RecvStayTelText(plat::SOCKET socket, MessageRecord &record, QByteArray &body)
{
    int length = 0;
    if (!RecvBuf(socket, body, length, MaxTelBody + 1))
        return false;
    record.Title = QLatin1String(TelTitle::RecvStayText);
    record.Flags |= MessageRecord::StayFlag;
    record.Bytes = length;
    return true;
}
