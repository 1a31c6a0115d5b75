#pragma once
// The TEL log: the pair of files that keeps every TEL received or sent (a
// record file of 400-byte MessageRecords, record 0 a header, and a text file
// of the text bodies one after another), storing into it, and the TEL log
// window that browses a pair offline.
//
// Every operation opens the files by the current TelegDirectory and
// TelegFileName, does its work and closes them again. The text file is
// written only inside TelTextLock, the record file only inside TelDataLock,
// never both at once (text first, released, then record), so appends of
// concurrent conversations never interleave and a record's Number is always
// its index.
#include "core/HostRecord.h"
#include "core/MessageRecord.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

// The pair's paths: TelegDirectory + "/" + TelegFileName + ".dat" / ".txt".
QString TelDataFile();
QString TelTextFile();

// The largest text body a TEL carries.
constexpr int MaxTelBody = 65536;

// Opens the pair at start-up or after the configuration names another one:
// creates the record file with its header only when it does not exist (an
// empty one, left by a crash right after its creation, gets its header too);
// clamps TelegPointer (0, negative or past the end -> the record count, so
// everything stored so far counts as shown); sets WaitingTels to the number
// of records from TelegPointer on whose Title begins with "Recv"; creates the
// text file when missing; removes what a killed transfer left in the TEL
// folder (RemoveLeftoverTelParts). A file that exists but cannot be opened is left
// untouched: false, with the reason in *error. Showing the unread count and
// switching to Lock mode is the caller's part.
bool OpenTelLogFiles(QString *error);

// Stores a received TEL delivered by the connection: the body (text TELs
// only, record.Bytes bytes of it) into the text file, then the record with
// Start, AuxText1 (the peer's version), Address, and (except for a Stay TEL,
// which keeps what the fetch delivered) Handle, UserId and DateTime from now.
// Only once both are safely written is the arrival counted and announced
// (NotifyTelArrival, chime unless a Stay TEL), the banner logged and the
// follow-up decided on the GUI thread (TelFollowUp below). deliveredBy is the
// address of the host whose connection carried the TEL when the connection
// record names another (a forwarded TEL names its first sender); empty means
// the connection's own. A body over MaxTelBody or shorter than record.Bytes,
// or a failed write, is told to the user once (activity log at level 1 and
// the main window's status bar) until a TEL is stored again or the pair is
// opened afresh, and nothing is announced: false.
// Callable from any thread.
bool StoreTel(const HostRecord &connection, MessageRecord record, const QByteArray &body,
              const QString &deliveredBy = QString());

// What the send window knows of a TEL it has sent.
struct SentTel {
    HostRecord target;        // the target host record as the window holds it
    QByteArray text;          // the text buffer (CP932 bytes)
    bool stayMode = false;    // sent through a server for an absent user
    bool serialChat = false;
    bool localMode = false;   // serial chat to 0.0.0.0: nothing went over the network
    QString addresseeUserId, addresseeHandle; // Stay mode: as the server named them
};

// Stores a sent TEL. The sending has set Title, Flags (FileFlag, SerialFlag),
// Bytes, and for a file AuxText2 (the rate) and FileName; this adds Start,
// Address, Handle (the target's memo), DateTime, AuxText1 and, in Stay mode,
// the addressee with StayFlag and " ; Stay TEL". Logs the banner unless in
// local mode. A failure is logged at level 1: false. GUI thread.
bool LogSentTel(const SentTel &sent, MessageRecord record);

// A received TEL as it was stored, with what may follow it needs to know.
struct StoredTel {
    MessageRecord record; // as written to the record file
    QByteArray body;      // the text body; empty for a file TEL
    QString deliveredBy;  // dotted address of the host whose connection carried it
};

// What may follow a stored TEL. StoreTel decides on the GUI thread from the
// main window's Lock and auto-reply check boxes; a seam left unset means
// nothing more happens: the TEL simply waits in the log as unread.
struct TelFollowUps {
    // Lock off and this TEL the only unread one. GUI thread.
    std::function<void()> ShowReceiveWindow;
    // Auto-reply on, caption "Auto Reply". Holds an outgoing conversation, so
    // it runs on a thread of its own, never on the GUI thread.
    std::function<void(const StoredTel &)> SendAutoReply;
    // Auto-reply on, any other caption ("Forward"): target is ForwardHost as
    // it stood when the GUI thread decided. A thread of its own, as above.
    std::function<void(const StoredTel &, const HostRecord &target)> ForwardTel;
};
// Set to the receiving side's SendAutoReply and ForwardTel (tel/BTelServ.h).
extern TelFollowUps TelFollowUp;

namespace Ui {
class TBTelLogForm;
}

// The TEL log window: browses a TEL log pair offline.
class TBTelLogForm : public QWidget {
    Q_OBJECT
public:
    explicit TBTelLogForm(QWidget *parent = nullptr);
    ~TBTelLogForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBTelLogForm> ui;
};

extern TBTelLogForm *BTelLogForm;
