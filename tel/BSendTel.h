#pragma once
// The TEL send window: holds one TEL conversation with a peer, from the moment
// its client thread (TBTelClientThread, tel/BTelTrd.h) has connected and handed over, until
// it closes with "OFF". Text TELs, file TELs and Stay TELs (TELs that a server
// keeps for a user who is not on-line), any number of them. The TELs count
// as delivered only when the receiver closes cleanly after "OFF" (it resets
// when one could not be stored); otherwise the close reports them as
// "TEL Troubled" in the main window and the log. A conversation that ends
// under a TEL (the peer closed or reset it, or a step failed) keeps the
// window open with its text: it says that the TEL was not delivered, and
// nothing more can be sent from it.
//
// It is started like every connection window, through TelSendWindowKind
// (core/BLookup.h):
//     StartConnectionWindow(TelSendWindowKind, host, statusBar);
// with host the target's record (ReplyFlag set for a reply).
//
// The conversation runs on the GUI thread: each socket call waits with the
// sockets layer's blocking hook, so other handlers run meanwhile. A button
// pressed during a pending call is ignored, and a close requested then breaks
// the connection and waits until the pending call has returned; the window is
// released with deleteLater, never under its own call.
#include "core/BEditor.h"
#include "core/ConnectionWindow.h"
#include "core/HostRecord.h"
#include "core/MessageRecord.h"
#include "platform/WinSock.h"
#include "tel/BTelLog.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QPushButton;

class TBSendTelegramForm : public TBEditorForm, public ConnectionWindowState {
    Q_OBJECT
public:
    // A hidden window holding its own copy of target (whose Channel is its channel).
    explicit TBSendTelegramForm(const HostRecord &target, QWidget *parent = nullptr);
    ~TBSendTelegramForm() override;

    QPushButton *const StayButton;

    // The target as the window holds it; the client thread hands back the
    // record it has updated in the handshake.
    const HostRecord &Target() const { return TargetHost; }

    // Called by the client thread on the GUI thread: the conversation begins on
    // s (INVALID_SOCKET for a target "0.0.0.0", which gets no connection) and
    // the window shows. False when the window is closing: the socket stays the
    // caller's.
    bool StartConversation(plat::SOCKET s, const HostRecord &target);

    // One TEL each; true when nothing failed. A text over 64 KiB is refused
    // with a status text before anything is sent (false, no failure). A TEL
    // is not sent over a conversation that the peer has ended. A failed send
    // or receive sets the error flag: nothing more goes out, "OFF" neither.
    bool SendTelText();
    bool SendTelFile();
    bool SendStayTel();
    // The last network step failed.
    bool Failed() const { return Error; }

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

    void FormShow() override;
    void FormClose() override;
    void ExitButtonClick() override;
    void CancelButtonClick() override;
    void SendButtonClick() override;
    void FileButtonClick();
    void StayButtonClick();

private:

    // Fills TextBuffer with the body as it goes on the wire: plain text in
    // serial chat and for peers below 207, else RTF. False, with a status
    // text, when it is over the 64 KiB a buffer carries.
    bool PrepareText();
    // The exchange after a successful TEL: Repeat mode keeps the window for the next one.
    void AfterSuccess();
    // After a handler's step failed: a conversation that failed has ended,
    // and the window keeps the user's text and says that it was not delivered.
    void AfterFailure();
    // The rate, its unit and the progress bar of a file transfer.
    void ShowTransfer(bool shown);
    // Leaves Stay mode: the File and Stay buttons work again.
    void EndStayMode();
    void EnterStayMode(const QString &statusText);
    // Stay button steps: "STAY" with the account password once per
    // conversation (false when the click ends there), then the addressee.
    bool AuthorizeStay();
    void ChooseStayAddressee();
    // What the TEL log is told of a TEL sent now.
    SentTel SentTelNow() const;
    // Counts and logs a TEL that went out; it waits for the receiver's
    // confirmation at the close.
    void NoteSent(const MessageRecord &record);
    // A TEL that the receiver has not confirmed (yet), sent or not.
    void NoteUnconfirmed(const MessageRecord &record);
    // Logs the conversation as troubled with each TEL not confirmed.
    void ReportTroubled();
    static MessageRecord FileTelRecord(const QString &name, qint64 size, const QString &rate);

    HostRecord TargetHost;
    bool Local = false;         // serial chat to "0.0.0.0": no network traffic at all
    bool OwnsChannel = false;   // the channel is freed when the window closes
    int ChannelNumber = 0;
    int SentCount = 0;
    int PeerVersion = 0;
    bool SerialChat = false;
    bool StayMode = false;
    bool StayAuthorized = false;
    bool StayReply = false;
    bool Lost = false;          // the conversation ended under a TEL: the window only keeps the text
    QString StayUserId, StayHandle;
    QByteArray TextBuffer;      // the text as sent, kept for the log
    QStringList Unconfirmed;    // the TELs, as the log names them, until the receiver confirms them

};
