#include "tel/BTelLog.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "platform/DayDate.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "platform/ShortString.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <netinet/in.h>

TelFollowUps TelFollowUp{{}, SendAutoReply, ForwardTel};

namespace {

constexpr char AutoReplyCaption[] = "Auto Reply";

bool Fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

// ---- opening -----------------------------------------------------------------

bool OpenTelDataFile(plat::RecordFile &file, QString *error)
{
    // Created only when missing: a file that is there but will not open is
    // the user's history and must not be replaced.
    if (!file.open() && (file.exists() || !file.create()))
        return Fail(error, file.errorString());
    if (file.count() == 0 && (file.append(MakeHeaderRecord(TelegFileName).encode()) < 0 || !file.sync()))
        return Fail(error, file.errorString());
    return true;
}

bool IsReceivedTel(const QByteArray &image)
{
    namespace O = MessageRecordOffset;
    return plat::DecodeShortBytes(image.constData() + O::Title, MessageRecordCapacity::Title).startsWith("Recv");
}

qint32 CountReceivedTels(const plat::RecordFile &file, qint64 from)
{
    qint32 count = 0;
    QByteArray image;
    for (qint64 i = from; file.read(i, image); ++i)
        count += IsReceivedTel(image) ? 1 : 0;
    return count;
}

// ---- appending ---------------------------------------------------------------

// One TEL on its way into the pair.
struct TelAppend {
    MessageRecord &record;
    QByteArray body; // the text body, cut to Bytes; empty for a file TEL
    QString error = {};
    bool stored = false;
};

// Stores a batch of TELs that threads handed in at once: the text bodies with
// one write and one flush of the text file, then the records of the TELs
// whose bodies are durable with one write and one flush of the record file
// (the text lock and the record lock are never held together). Start is the
// body's offset, 0 for a file TEL (its body is the file in the TEL folder);
// it is an int32, so a text file that would grow past it refuses the body
// rather than wrap the offset. Number is the index the record takes, given
// when its write is made, so concurrent TELs get distinct ones in order.
void StoreTelBatch(const std::vector<TelAppend *> &batch)
{
    static plat::GroupAppend bodies(TelTextLock, 1);
    static plat::GroupAppend records(TelDataLock, MessageRecord::Size);
    const QString textFile = TelTextFile();
    std::vector<TelAppend *> texts;
    std::vector<plat::GroupAppend::Entry> bodyEntries;
    for (TelAppend *tel : batch) {
        tel->record.Start = 0;
        if (tel->record.Flags & MessageRecord::FileFlag)
            continue;
        texts.push_back(tel);
        bodyEntries.emplace_back(textFile, [tel, textFile](qint64 start, QByteArray &bytes, QString &refusal) {
            if (start > std::numeric_limits<qint32>::max() - tel->body.size())
                return Fail(&refusal, QStringLiteral("TEL text file is full : ") + textFile);
            bytes = tel->body;
            return true;
        });
    }
    bodies.appendAll(bodyEntries);
    for (size_t i = 0; i < texts.size(); ++i) {
        texts[i]->error = bodyEntries[i].error;
        texts[i]->record.Start = static_cast<qint32>(std::max<qint64>(bodyEntries[i].position, 0));
    }

    std::vector<TelAppend *> kept;
    std::vector<plat::GroupAppend::Entry> recordEntries;
    for (TelAppend *tel : batch) {
        if (!tel->error.isEmpty())
            continue;
        kept.push_back(tel);
        recordEntries.emplace_back(TelDataFile(), [tel](qint64 at, QByteArray &bytes, QString &) {
            tel->record.Number = static_cast<qint32>(at);
            bytes = tel->record.encode();
            return true;
        });
    }
    records.appendAll(recordEntries);
    for (size_t i = 0; i < kept.size(); ++i) {
        kept[i]->error = recordEntries[i].error;
        kept[i]->stored = recordEntries[i].position >= 0;
    }
}

// Stores a TEL's body (a text TEL's first Bytes bytes) and then its record,
// each durable before the next step; TELs stored at the same time share the
// writes and the flushes. On success the record holds what was written
// (texts cut to their fields), so the log shows what is stored.
bool StoreInPair(MessageRecord &record, const QByteArray &body, QString *error)
{
    const bool file = record.Flags & MessageRecord::FileFlag;
    if (!file && (body.size() > MaxTelBody || record.Bytes < 0 || record.Bytes > body.size()))
        return Fail(error, QStringLiteral("TEL body of %1 bytes (Bytes = %2) refused").arg(body.size()).arg(record.Bytes));
    static plat::Combiner<TelAppend> stores(StoreTelBatch);
    TelAppend tel{record, file ? QByteArray() : body.left(record.Bytes)};
    stores.run({&tel});
    if (!tel.stored)
        return Fail(error, tel.error);
    record = MessageRecord::decode(record.encode());
    return true;
}

quint32 ResolveAddress(const QString &text)
{
    if (text.isEmpty())
        return 0;
    const quint32 dotted = plat::inet_addr(text);
    if (dotted != INADDR_NONE)
        return dotted;
    const auto host = plat::GetHostByName(text);
    return host && !host->addresses.isEmpty() ? host->addresses.first() : 0;
}

// ---- activity lines ----------------------------------------------------------

QString SizeLine(const MessageRecord &r)
{
    const QDateTime when = plat::FromDayDate(r.DateTime);
    return QString::number(r.Bytes).rightJustified(8, QLatin1Char(' ')) + QStringLiteral("Bytes  ") +
           plat::FormatShortDate(when) + QLatin1Char(' ') + plat::FormatLongTime(when);
}

QString ReceivedBanner(const MessageRecord &r)
{
    const QString address = plat::inet_ntoa(r.Address);
    if (r.Flags & MessageRecord::StayFlag)
        return QStringLiteral("Stay TEL from  [[ ") + r.AuxText2 + QStringLiteral(" : ") + address +
               QStringLiteral(" ]]  ") + r.Handle + QStringLiteral("\r\n") + SizeLine(r);
    QString text = QStringLiteral("TEL      from  [[ ") + address + QStringLiteral(" ]]  ") + r.Handle +
                   QStringLiteral("\r\n") + SizeLine(r);
    if (r.Flags & MessageRecord::FileFlag)
        text += QStringLiteral("\r\nRatio = ") + r.AuxText2 + QStringLiteral(" KBytes/s");
    return text;
}

QString SentBanner(const SentTel &sent, const MessageRecord &r)
{
    const QString target = sent.target.IpAddress;
    if (r.Flags & MessageRecord::FileFlag)
        return QStringLiteral("File sent to   [[ ") + target + QStringLiteral(" ]]  ") + r.Handle +
               QStringLiteral("\r\n") + SizeLine(r) + QStringLiteral("\r\nRatio = ") + r.AuxText2 +
               QStringLiteral(" KBytes/s ;     \"") + r.FileName + QLatin1Char('"');
    if (sent.stayMode)
        return QStringLiteral("Stay TEL  to   [[ ") + r.UserId + QStringLiteral(" : ") + target +
               QStringLiteral(" ]]  ") + r.Handle + QStringLiteral("\r\n") + SizeLine(r);
    return QStringLiteral("Text sent to   [[ ") + target + QStringLiteral(" ]]  ") + r.Handle +
           QStringLiteral("\r\n") + SizeLine(r);
}

bool ReportFailure(const QString &what, const QString &error)
{
    WriteLog(ALPHA, QStringLiteral("*** ") + what + QStringLiteral(" : ") + error + QStringLiteral(" ***"));
    return false;
}

// The pair could not take a received TEL (full, disk full, write error). The
// user is told once, in the status bar and the log, until a TEL is stored
// again: peers that go on sending into a full log must not flood the
// activity log too. Their senders learn it from the reset of the conversation.
std::atomic<bool> StoreTroubleShown{false};

bool ReportStoreFailure(const QString &error)
{
    const QString detail = QStringLiteral("*** TEL Store Error : ") + error + QStringLiteral(" ***");
    if (StoreTroubleShown.exchange(true)) {
        WriteLog(BETA, detail);
        return false;
    }
    const QString advice =
        QStringLiteral("*** TEL log is full or cannot be written : compact or change it in the TEL log window ***");
    WriteLog(ALPHA, detail);
    WriteLog(ALPHA, advice);
    ShowMainStatus(advice);
    return false;
}

// ---- what follows a stored TEL -------------------------------------------------

// Runs from the event loop or as a thread's whole work: nothing may escape.
void RunGuarded(const std::function<void()> &work)
{
    if (!work)
        return;
    try {
        work();
    } catch (const std::exception &e) {
        WriteLog(ALPHA, QStringLiteral("*** TEL follow-up failed : ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        WriteLog(ALPHA, QStringLiteral("*** TEL follow-up failed"));
    }
}

// An auto reply or a forward holds an outgoing conversation, so it runs on a
// thread of its own: the GUI thread that decided on it never waits for a
// peer. The close sequence waits for these threads as for the server threads.
class TelFollowUpThread final : public plat::FreeOnTerminateThread {
public:
    // GUI thread. A receiving conversation goes on while its follow-ups run,
    // so a peer sending TEL after TEL would otherwise start a thread for
    // each: at most one per possible connection runs, and a TEL beyond that
    // waits in the log unanswered.
    static void Start(std::function<void()> work)
    {
        if (Active >= MaxConnections) {
            WriteLog(ALPHA, QStringLiteral("... Too many AutoReply / Forward at once : TEL not answered ..."));
            return;
        }
        (new TelFollowUpThread(std::move(work)))->start();
    }

protected:
    void run() override
    {
        RunGuarded(Work);
        --Active;
    }

private:
    explicit TelFollowUpThread(std::function<void()> work) : Work(std::move(work)) { ++Active; }

    const std::function<void()> Work;
    static inline std::atomic<int> Active{0};
};

// GUI thread. waiting is the unread count that this TEL's arrival made.
void DecideFollowUp(qint32 waiting, const StoredTel &tel)
{
    // A closing program starts no new conversation.
    if (!BLookupForm || BLookupForm->HasClosed())
        return;
    const Ui::TBLookupForm &ui = *BLookupForm->ui;
    if (!ui.LockCheckBox->isChecked() && waiting <= 1)
        return RunGuarded(TelFollowUp.ShowReceiveWindow);
    if (!ui.AutoreplyCheckBox->isChecked() ||
        (tel.record.Flags & (MessageRecord::StayFlag | MessageRecord::SerialFlag)))
        return; // the TEL waits in the log
    // The seams and ForwardHost are read here, on the thread that sets them.
    if (ui.AutoreplyCheckBox->text() == QLatin1String(AutoReplyCaption)) {
        if (const auto reply = TelFollowUp.SendAutoReply)
            TelFollowUpThread::Start([reply, tel] { reply(tel); });
    } else if (const auto forward = TelFollowUp.ForwardTel) {
        TelFollowUpThread::Start([forward, tel, target = ForwardHost] { forward(tel, target); });
    }
}

} // namespace

QString TelDataFile()
{
    return TelegDirectory + QLatin1Char('/') + TelegFileName + QStringLiteral(".dat");
}

QString TelTextFile()
{
    return TelegDirectory + QLatin1Char('/') + TelegFileName + QStringLiteral(".txt");
}

bool OpenTelLogFiles(QString *error)
{
    if (!FinishTelLogReplace({TelegDirectory, TelegFileName}, error))
        return false;
    {
        std::lock_guard lock(TelDataLock);
        plat::RecordFile file(TelDataFile(), MessageRecord::Size);
        if (!OpenTelDataFile(file, error))
            return false;
        const qint64 count = file.count();
        if (TelegPointer <= 0 || TelegPointer > count)
            TelegPointer = static_cast<qint32>(count);
        const qint32 pending = CountReceivedTels(file, TelegPointer);
        std::lock_guard waitingLock(WaitingTelsLock);
        WaitingTels = pending;
    }
    RemoveLeftoverTelParts();
    StoreTroubleShown = false; // a pair opened afresh is reported afresh
    std::lock_guard lock(TelTextLock);
    return plat::EnsureFileExists(TelTextFile(), error);
}

bool StoreTel(const HostRecord &connection, MessageRecord record, const QByteArray &body, const QString &deliveredBy)
{
    const bool stay = record.Flags & MessageRecord::StayFlag;
    record.AuxText1 = connection.OlcpVersion;
    record.Address = ResolveAddress(connection.IpAddress);
    if (stay) {
        record.AuxText2 = connection.UserId; // the ID the TELs were fetched under
    } else {
        record.Handle = connection.Handle;
        record.UserId = connection.UserId;
        record.DateTime = plat::DayDateNow();
    }
    QString error;
    bool stored = false;
    {
        // A compaction of the pair waits while a TEL lies between its body and its record.
        std::shared_lock gate(TelStoreGate);
        stored = StoreInPair(record, body, &error);
    }
    if (!stored)
        return ReportStoreFailure(error);
    StoreTroubleShown = false;
    // Announced only now, so that a window reading the log on the
    // announcement always finds the TEL there.
    const qint32 waiting = NotifyTelArrival(!stay);
    LogBanner(ReceivedBanner(record));
    const StoredTel tel{record, (record.Flags & MessageRecord::FileFlag) ? QByteArray() : body.left(record.Bytes),
                        deliveredBy.isEmpty() ? connection.IpAddress : deliveredBy};
    // The check boxes and the windows that follow belong to the GUI thread.
    plat::RunOnGuiThread([waiting, tel] { DecideFollowUp(waiting, tel); });
    return true;
}

bool LogSentTel(const SentTel &sent, MessageRecord record)
{
    record.Address = ResolveAddress(sent.target.IpAddress);
    record.Handle = sent.target.Memo;
    record.DateTime = plat::DayDateNow();
    record.AuxText1 = sent.target.OlcpVersion;
    if (sent.stayMode) {
        record.UserId = sent.addresseeUserId;
        record.Handle = sent.addresseeHandle;
        record.Flags |= MessageRecord::StayFlag;
        record.Title += QLatin1String(TelTitle::StayTel);
    }
    if (sent.serialChat)
        record.UserId = sent.target.ReplyUserId;
    QString error;
    if (!StoreInPair(record, sent.text, &error))
        return ReportFailure(QStringLiteral("TEL Log Error"), error);
    if (!sent.localMode)
        LogBanner(SentBanner(sent, record));
    return true;
}
