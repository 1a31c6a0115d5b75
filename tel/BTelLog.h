#pragma once
// The TEL log: the pair of files that keeps every TEL received or sent (a
// record file of 400-byte MessageRecords, record 0 a header, and a text file
// of the text bodies one after another), storing into it, and the TEL log
// window that browses a pair offline.
//
// Every operation opens the files by the current TelegDirectory and
// TelegFileName, does its work and closes them again. The text file is
// written only inside TelTextLock, the record file only inside TelDataLock;
// a store never holds both at once (text first, released, then record), only
// a compaction does, in that order. So appends of concurrent conversations
// never interleave and a record's Number is always its index.
#include "core/HostRecord.h"
#include "core/MessageRecord.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <shared_mutex>
#include <vector>

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
// folder (RemoveLeftoverTelParts). First it finishes a compaction that a kill
// cut short (FinishTelLogReplace). A file that exists but cannot be opened is left
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

// Held shared by StoreTel from a TEL's body to its record, and exclusively
// (before TelTextLock) by compaction and erasure of the pair in use, so that
// a compaction never finds a body whose record is still to come.
extern std::shared_mutex TelStoreGate;

// Whether a text TEL's body, Start and Bytes as the record holds them, lies
// inside a text file of textSize bytes and is no longer than a TEL body.
bool TelBodyInside(const MessageRecord &record, qint64 textSize);

// A TEL log pair in a folder: base name + ".dat" / ".txt".
struct TelLogPair {
    QString folder, name;
    QString dataFile() const;
    QString textFile() const;
    // The pair that StoreTel and LogSentTel write to (TelegDirectory,
    // TelegFileName), however its folder is reached.
    bool inUse() const;
};

// The TEL records count of a pair: whole records of its record file minus the header.
qint64 CountTelRecords(const TelLogPair &pair);
// Records first .. first + n - 1 of the record file, read at once (fewer past its end).
std::vector<MessageRecord> ReadTelRecords(const TelLogPair &pair, qint64 first, qint64 n);

// What compaction removed, for the counters of the pair in use.
struct TelLogCompaction {
    qint64 kept = 0;          // TEL records kept (the header not counted)
    qint32 beforePointer = 0; // erased records below TelegPointer
    qint32 unread = 0;        // erased received records from TelegPointer on
};

// Removes the erase-marked records of a pair for good: the kept records,
// renumbered, and their bodies, contiguous, are written to "Work$$$$.dat" and
// "Work$$$$.txt" in the pair's folder and replace the pair, both files or
// neither, also across a kill (plat::PairReplace, its intent file
// "Work$$$$.job"); then the received files of erased file TELs that no kept
// TEL names are deleted from the folder. For the pair in use TelStoreGate,
// TelTextLock and then TelDataLock are held throughout (the one place that
// holds both locks), so a TEL stored meanwhile waits and lands in the
// compacted pair, and TelegPointer and WaitingTels are adjusted. On any
// failure the pair stays as it was, no work file is left, and false comes
// back with the reason in *error.
bool CompactTelLog(const TelLogPair &pair, TelLogCompaction &result, QString *error);

// Completes or undoes a replacement of a pair in the pair's folder that a
// kill cut short, and removes its work files; done whenever a pair is
// opened. False, with the reason in *error, when it is still pending.
bool FinishTelLogReplace(const TelLogPair &pair, QString *error);

// Toggles the erase mark of record index of a pair in place; the new mark,
// or -1 on an error.
int ToggleTelErased(const TelLogPair &pair, qint64 index, QString *error);

namespace Ui {
class TBTelLogForm;
}

class QAction;
class QFileDialog;
class QMenu;
class TRecvHtmlView;

// The TEL log window: browses a TEL log pair offline in pages of at most
// PageSize records, shows one record in the reader view, searches, marks
// records erased, compacts the pair and changes to another pair.
class TBTelLogForm : public QWidget {
    Q_OBJECT
public:
    explicit TBTelLogForm(QWidget *parent = nullptr);
    ~TBTelLogForm() override;

    static constexpr int PageSize = 200;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBTelLogForm> ui;
    QMenu *const ScreenPopup;
    QAction *const FullScreen;
    TRecvHtmlView *HtmlControl = nullptr;
    QFileDialog *const OpenDialog;

    // Loads the page that holds record n (1 .. count) and selects it.
    void GoToRecord(qint64 n);

    const TelLogPair &Pair() const { return Shown; }
    qint64 Count() const { return RecordCount; }
    qint64 FirstRecord() const { return First; }
    int CurrentRow() const { return Current; }

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FormCreate();
    void ConnectHandlers();
    void FormShow();
    void FormClose();
    void ExitButtonClick();
    void SwitchButtonClick();
    void OptionGroupClick();
    void DirectionGroupClick();
    void OptionChange();
    void OKButtonClick();
    void TelegGridClick();
    void TelegGridDblClick();
    void NextButtonClick();
    void LastButtonClick();
    void EraseButtonClick();
    void UpdateButtonClick();
    void FolderEditDblClick();
    void FolderEditExit();
    void FileEditDblClick();
    void FileEditExit();
    void ChangeButtonClick();
    void QuoteEditExit();
    void FullScreenClick();

    void LoadTail();
    void FillPage(qint64 first, qint64 last);
    void FitColumns();
    void SelectRow(int row);
    void FollowSelection(QWidget *keepFocus);
    void NothingMore(int row);
    qint64 SearchDate(qint64 start, double date, bool up) const;
    qint64 SearchAddress(qint64 start, const QString &address, bool up) const;
    void Compact();

    void OpenReader();
    void ShowTextBody(const MessageRecord &record);
    void ShowFileTel(const QString &fileName, bool received);
    void ShowList();
    void HideDisplays();
    bool StartPaging();
    void ShowPane(QWidget *pane);
    void ShowFileInside();
    void ShowHtmlInside();
    void ShowImageInside();
    void HtmlBack();
    void SetUpdateCaption(const char *caption, bool focus = false);
    void Status(const QString &text);

    TelLogPair Shown, Wanted;
    qint64 RecordCount = 0, First = 0, Last = 0;
    int Current = 0;
    std::vector<MessageRecord> Page;
    bool ShiftRequest = false;
    QString File, Viewer;
};

extern TBTelLogForm *BTelLogForm;
