#pragma once
// The OLC reader window: downloads messages of one board over a connection of
// its own, stores them in the local store (olc/OlcStore.h) and shows them:
// text, rich text, HTML, pictures and attachments. The OLC client window opens
// a reader for a board (normal mode; "Next" steps on through the board); a
// reader opens further readers to follow the "OLCP://" address a link message
// holds (link mode, depth + 1), and post windows for its board.
//
// Started through StartOlcReader on the first free channel, hidden, while its
// TBOlcReadThread connects. The conversation then runs on the GUI thread:
// socket calls wait with the sockets layer's blocking hook; a handler started
// during a pending call is ignored; a close requested then breaks the
// connection and happens once the call has returned (never "OFF" into the
// middle of a transfer). A failed send or receive marks the reader failed:
// it closes without "OFF".
//
// The store is trusted only as far as it checks: a body is recorded in the
// index record that still holds its message number (found by number, not by
// position), only Start and Bytes are written back, a link is noted only in
// the record of the message that holds it (checked, never record 0), and file
// names from the server become paths only through the store's safe-name
// functions.
#include "core/ConnectionWindow.h"
#include "core/HostRecord.h"
#include "core/MessageRecord.h"
#include "olc/BReadTrd.h"
#include "olc/OlcStore.h"
#include "platform/WinSock.h"

#include <QString>
#include <QWidget>

#include <memory>

class QAction;
class QMenu;
class QPushButton;
class QStatusBar;
class TRecvHtmlView;

namespace Ui {
class TBOlcReadForm;
}

// Opens a reader of param.BoardKey on host (the OLC client's record; its
// Channel is the client's channel, its OlcName the server folder) and waits
// until it shows or fails. Status texts of the start go to client's status
// bar. The opener's Read button stays as it is: the reader enables it after
// its first download.
ConnectionStartResult StartOlcReader(const HostRecord &host, const OlcChannelParam &param,
                                     const std::shared_ptr<OlcClientHooks> &client);

// Follows the "OLCP://" address held by a message with a link reader of
// depth holder.Depth + 1 (the client window's links, and a reader's). holder
// is the parameter block of the message holding the link: its board, number
// and index record (a board index record at depth 0, else the link index
// record). False, with nothing started, when the address does not parse.
bool StartOlcLinkReader(const HostRecord &host, const OlcChannelParam &holder, const QString &address,
                        const std::shared_ptr<OlcClientHooks> &client);

class TBOlcReadForm : public QWidget, public ConnectionWindowState {
    Q_OBJECT
public:
    TBOlcReadForm(const HostRecord &host, const OlcChannelParam &param, std::weak_ptr<OlcClientHooks> client,
                  QWidget *parent = nullptr);
    ~TBOlcReadForm() override;

    const std::unique_ptr<Ui::TBOlcReadForm> ui;
    QMenu *const ScreenPopup;
    QAction *const FullScreen;
    TRecvHtmlView *HtmlControl = nullptr;

    // Called by the thread on the GUI thread: the conversation begins on s
    // and the window shows. False when the window is closing.
    bool StartConversation(plat::SOCKET s, const HostRecord &host);

    // The host as the window holds it: Channel the client's, OwnChannel its own.
    const HostRecord &Target() const { return Host; }
    const OlcChannelParam &Param() const { return Channel; }
    // The message on show: its record as stored (link mode: as the header came).
    const MessageRecord &Current() const { return Message; }
    const QString &CurrentFile() const { return FilePath; }
    bool Failed() const { return Error; }

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:

    void FormCreate();
    void FormShow();
    void FormActive();
    void FormClose();
    void ExitButtonClick();
    void NextButtonClick();
    void UtlButtonClick();
    void PostButtonClick();
    void LinkButtonClick();
    void FullScreenClick();

    void DownloadFirst();
    // Header lines of the rich view: from the index record, or from a link header.
    void ShowLocalHeader();
    void ShowLinkHeader();
    void ShowHeader(bool local);
    bool RecvLinkHeader();
    // Sends the request for the current message; false on a failure. Sets
    // Requested when a body follows.
    bool RequestMessage();
    void RecvMessageBody();
    bool RecvFileBody(qint64 &bytes);
    bool RecvTextBody(qint64 &start, qint64 &bytes);
    void ShowReceivedFile();
    void ShowTransfer(bool shown);
    void StoreLinkRecord(qint64 start, qint64 bytes);
    bool IsLinkHolder(const MessageRecord &holder) const;
    void StoreBoardRecord(qint64 start, qint64 bytes);
    void ShowImage();
    void ShowHtml();
    void ShowPane(QWidget *pane);
    void Status(const QString &text);

    HostRecord Host;
    OlcChannelParam Channel;
    std::weak_ptr<OlcClientHooks> Client;
    olc::ServerFolder Folder;

    MessageRecord Message;        // the message on show
    qint64 MessageRecordIndex = 0; // its record in the board's index (normal mode)
    QString LinkedBoardName;
    QString AttachmentPath;       // where the current file message goes
    QString FilePath, Viewer;     // the file last shown and its viewer
    QString LinkAddress;          // the link of the current message
    qint32 LinkRecordIndex = 0;   // this reader's record in the link index
    bool Requested = false;       // a body follows the request

    bool FirstDownload = true, Refresh = false, ShiftFlag = false,
         LinkMode = false;

    bool OwnsChannel = false, Counted = false;
};
