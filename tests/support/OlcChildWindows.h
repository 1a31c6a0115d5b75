#pragma once
// For tests of the OLC reader and post windows: the OLC client window as they
// see it (OlcClientHooks), noting every call, and a fixture with a main
// window, a server folder "SRV" holding board "BRD1", the client's host record
// (its channel 0 taken) and a parameter block for that board.
#include "FakeOlcServer.h"
#include "TempEnv.h"
#include "core/MessageRecord.h"
#include "olc/BReadTrd.h"
#include "olc/OlcStore.h"

#include <QStatusBar>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

class TBLookupForm;

namespace testsupport {

struct FakeOlcClient : OlcClientHooks {
    QStatusBar bar;
    QStringList statuses;
    std::map<QString, int> readers, posters; // by board key
    QList<qint32> read;     // MessageRead's numbers
    qint32 last = 8;        // LastNumber's answer
    int readEnabled = 0;    // EnableReadButton's calls

    void ShowClientStatus(const QString &text) override { statuses.append(text); }
    QStatusBar *ClientStatusBar() override { return &bar; }
    void ChangeReaderCount(const QString &board, int delta) override { readers[board] += delta; }
    void ChangePosterCount(const QString &board, int delta) override { posters[board] += delta; }
    QString BoardNameText() override { return QStringLiteral("Board One"); }
    QString PointerText() override { return QStringLiteral("00004"); }
    QString CurrentHeaderText() override { return QStringLiteral("Number   : 5"); }
    void EnableReadButton() override { ++readEnabled; }
    void ReenterBoard(const QString &) override {}
    void MessageRead(const QString &, std::int32_t number) override { read.append(number); }
    std::int32_t LastNumber(const QString &) override { return last; }
};

// An index record as a title list leaves it (body not downloaded).
MessageRecord OlcTitle(qint32 number, const QString &title, std::uint8_t flags = 0, qint32 bytes = 0,
                       const QString &fileName = QString());
OlcMessage OlcText(qint32 number, const QByteArray &body, bool file = false);

class OlcChildTest : public TempEnvTest {
protected:
    void SetUp() override;
    // Closes every reader and post window and waits until they and their threads are gone.
    void TearDown() override;

    void addTitles(const QString &path, const std::vector<MessageRecord> &titles);
    MessageRecord record(const QString &path, qint64 r);
    // A server of version that serves boards to readers and posters.
    static OlcServerScript script(std::vector<OlcReadBoard> boards, const QByteArray &version = "OLCP303");

    TBLookupForm *main = nullptr;
    olc::ServerFolder folder{QString()};
    HostRecord host;
    std::shared_ptr<FakeOlcClient> client;
    OlcChannelParam param;
};

} // namespace testsupport
