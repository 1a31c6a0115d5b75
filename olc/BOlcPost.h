#pragma once
// The OLC post window: writes a new message, or a reply, to one board of an
// OLC server: a text (plain to servers below 207, else the editor's rich
// text export) or a file. An heir of the editor window: its text editor,
// Repeat and Plain modes, Load/Save and dropped files; it adds the title and
// reply fields.
//
// Started through StartOlcPoster on a channel of its own while its
// TBOlcPostThread connects; the conversation then runs on the GUI thread as
// in the reader (olc/BOlcRead.h): a close requested during a pending call
// (a file transfer, perhaps) breaks the connection, sends nothing more and
// closes once the call has returned.
#include "core/BEditor.h"
#include "core/ConnectionWindow.h"
#include "core/HostRecord.h"
#include "olc/BReadTrd.h"
#include "platform/WinSock.h"

#include <QPointer>

#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;

// Opens a post window for param.BoardKey (param.MessageNumber: the message
// answered, 0 for a new thread) on host (the OLC client's record; Channel =
// the client's channel) and waits until it shows or fails. opener (the Post
// button pressed) is disabled meanwhile; the window enables it again once
// it has shown, and so does a start that failed.
ConnectionStartResult StartOlcPoster(const HostRecord &host, const OlcChannelParam &param,
                                     const std::shared_ptr<OlcClientHooks> &client, QPushButton *opener);

class TBOlcPostForm : public TBEditorForm, public ConnectionWindowState {
    Q_OBJECT
public:
    TBOlcPostForm(const HostRecord &host, const OlcChannelParam &param, std::weak_ptr<OlcClientHooks> client,
                  QPushButton *opener, QWidget *parent = nullptr);
    ~TBOlcPostForm() override;

    QLabel *const TitleLabel;
    QLineEdit *const TitleEdit;
    QLabel *const ReplyLabel;
    QLineEdit *const ReplyEdit;

    // The host as the window holds it: Channel the client's, OwnChannel its own.
    const HostRecord &Target() const { return Host; }
    // Called by the thread on the GUI thread: the conversation begins on s
    // and the window shows. False when the window is closing.
    bool StartConversation(plat::SOCKET s, const HostRecord &host);

    // One post each; true on success. A refused board (full or read-only)
    // shows its text and sends nothing more; a text over 64 KiB, or a file
    // name over 80 bytes or with a line break, is refused with a status text
    // before anything goes out. A cancelled file dialog closes the window; a
    // failed send or receive closes it without "OFF".
    bool SendPostText();
    bool SendPostFile();
    // The number of the message answered, 0 for a new thread.
    std::int32_t ReplyNumber() const { return Channel.MessageNumber; }
    bool Failed() const { return Error; }

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

    void FormShow() override;
    void FormClose() override;
    void ExitButtonClick() override;
    void CancelButtonClick() override;
    void SendButtonClick() override;
    void RepeatCheckBoxClick() override;
    void FileButtonClick();

private:

    bool OpenBoard();
    // Sends "TEXT" or "FILE" and the reply number; false when refused or failed.
    bool Announce(const char *command);
    // The title line: up to the first line break, at most 80 bytes.
    bool SendTitle(const QString &title);
    void ShowReplyTitle();
    void AfterPost(bool ok);
    void ClearForNext();
    void ShowTransfer(bool shown);

    HostRecord Host;
    OlcChannelParam Channel;
    std::weak_ptr<OlcClientHooks> Client;
    QPointer<QPushButton> Opener;
    int ServerVersion = 0;
    bool Refused = false;

    bool OwnsChannel = false, Counted = false;
};
