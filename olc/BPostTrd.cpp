#include "olc/BPostTrd.h"

TBOlcPostThread::TBOlcPostThread(const HostRecord &host, std::int32_t serverChannel,
                                 std::weak_ptr<OlcClientHooks> client, HandOver handOver,
                                 ConnectionStartReporter reporter)
    : TBOlcAccessThread(QStringLiteral("OLC\\Post"), host, serverChannel, std::move(client), std::move(handOver),
                        std::move(reporter))
{
    start(QThread::NormalPriority);
}
