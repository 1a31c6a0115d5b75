// The TEL receiving conversation takes whatever a peer sends after the
// handshake: fed any stream through a socket, it never crashes or hangs, and
// what it leaves in the TEL folder is sound: every record numbered by its
// index, every text body inside the text file, every received file named by
// its record with the announced size, and nothing else (no partial file, no
// file outside the folder).
#include "core/BRegistr.h"
#include "core/HostRecord.h"
#include "core/MessageRecord.h"
#include "platform/RecordFile.h"
#include "platform/RecordFileTesting.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "tests/fuzz/FedSocket.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char FolderName[] = "Teleg";

void Require(bool holds)
{
    if (!holds)
        std::abort();
}

// The folder above the TEL folder: nothing but the TEL folder may appear in it.
const QTemporaryDir &Root()
{
    static const QTemporaryDir root(QDir::tempPath() + QStringLiteral("/kalvex-fuzz-telrecv-XXXXXX"));
    return root;
}

// An empty TEL log pair and nothing else in the TEL folder, so each input
// meets the same start.
void FreshFolder()
{
    QDir folder(TelegDirectory);
    Require(folder.removeRecursively() && QDir().mkpath(TelegDirectory));
    QString error;
    Require(OpenTelLogFiles(&error));
}

bool PairIsEmpty()
{
    return QFileInfo(TelDataFile()).size() == MessageRecord::Size && QFileInfo(TelTextFile()).size() == 0;
}

void CheckFolder()
{
    Require(QDir(Root().path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System) ==
            QStringList{QLatin1String(FolderName)});
    const qint64 textBytes = QFileInfo(TelTextFile()).size();
    plat::RecordFile file(TelDataFile(), MessageRecord::Size);
    Require(file.open() && QFileInfo(TelDataFile()).size() % MessageRecord::Size == 0);
    QSet<QString> expected = {QFileInfo(TelDataFile()).fileName(), QFileInfo(TelTextFile()).fileName()};
    QByteArray image;
    for (qint64 i = 1; file.read(i, image); ++i) {
        const MessageRecord r = MessageRecord::decode(image);
        Require(r.Number == i && r.Bytes >= 0);
        if (r.Flags & MessageRecord::FileFlag) {
            Require(QFileInfo(TelegDirectory + QLatin1Char('/') + r.FileName).size() == r.Bytes);
            expected.insert(r.FileName);
        } else {
            Require(r.Bytes <= MaxTelBody && r.Start >= 0 && qint64(r.Start) + r.Bytes <= textBytes);
        }
    }
    const QStringList found =
        QDir(TelegDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    Require(QSet<QString>(found.cbegin(), found.cend()) == expected);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Require(Root().isValid());
    // Thousands of inputs a second rather than tens: the files are written as
    // ever, only never flushed to the disk.
    plat::testing::SkipSyncs = true;
    TelegDirectory = Root().filePath(QLatin1String(FolderName));
    TelegFileName = QStringLiteral("Teleg000");
    TelegPointer = 1;
    TelServerEnabled = 1;
    // The stream always ends, so no read waits; should one wait, it ends soon.
    TimeOutValue = 1000;
    FreshFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    {
        const FedSocket fed(data, size);
        plat::SetReceiveTimeout(fed.socket(), TimeOutValue);
        HostRecord connection;
        connection.IpAddress = QStringLiteral("127.0.0.1");
        connection.PeerPort = 40000;
        connection.Handle = QStringLiteral("fuzz");
        connection.UserId = QStringLiteral("FUZZ0001");
        connection.OlcpVersion = QStringLiteral("OLCP303L");
        ServeTel(fed.socket(), connection);
    }
    CheckFolder();
    const QStringList entries = QDir(TelegDirectory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (entries.size() > 2 || !PairIsEmpty())
        FreshFolder();
    return 0;
}
