#pragma once
// The client thread of an OLC post window (TBOlcPostForm, olc/BOlcPost.h):
// the common start of olc/BReadTrd.h, logged as a post connection.
#include "olc/BReadTrd.h"

class TBOlcPostThread final : public TBOlcAccessThread {
    Q_OBJECT
public:
    TBOlcPostThread(const HostRecord &host, std::int32_t serverChannel, std::weak_ptr<OlcClientHooks> client,
                    HandOver handOver, ConnectionStartReporter reporter);
};
