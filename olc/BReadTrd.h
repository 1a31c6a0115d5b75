#pragma once
// What the OLC client window hands to the reader and post windows it opens,
// and the client thread that connects them.
//
// A reader or poster works on a connection of its own: its thread connects
// to the server's OLCP port, runs the handshake with "OLC" (fetching Stay TELs
// when the server holds some for us), tells the server the client
// connection's server channel (-1 for a reader that follows a link) and hands
// the connection to the window, which then shows and holds the conversation
// on the GUI thread. Failures go to the OLC client window's status bar.
//
// The windows reach the OLC client window only through OlcClientHooks, which
// the client window implements and owns: the windows hold it weakly, so a
// client window that goes first leaves them nothing to call.
#include "core/BLookup.h"
#include "core/HostRecord.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/WinSock.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QStatusBar;

// Sent by the OLC client window as it closes (wParam 0, lParam = its channel)
// to the reader and post windows it opened: they close with it.
constexpr unsigned CloseChannelMessage = 2027;

// The parameter block of a reader or poster, filled by its opener.
struct OlcChannelParam {
    // The client connection's server channel in normal mode (0 when the
    // server gave none); -1 for a reader that follows a link.
    std::int32_t ServerChannel = 0;
    QString BoardKey;             // the board to read or post to (link mode: the linked board)
    QByteArray BoardPassword;     // the board password line as sent
    std::uint8_t SkipFiles = 0;   // 1: attachments are skipped unless Shift is held
    // The message fetched first (link mode: the linked one); for a poster the
    // message answered, 0 for a new thread.
    std::int32_t MessageNumber = 0;
    // Normal mode: the message's record in the board's index. Link mode: the
    // record of the message that holds the link (board index at depth 1,
    // else the link index).
    std::int32_t RecordIndex = 0;
    std::uint8_t Shift = 0;       // the opener was used with Shift held
    std::int32_t Depth = 0;       // 0 normal; link readers 1, 2, ...
    QString LinkKey;              // board of the message holding the chain's first link
    std::int32_t LinkNumber = 0;  // that message's number

    // The board of the client window's table that the window belongs to (link
    // mode: the board from which the chain started). A key, not a row: a board
    // list reloaded while the window is open may list the boards in another order.
    QString ClientBoardKey() const { return ServerChannel == -1 ? LinkKey : BoardKey; }
};

// What a reader or poster asks of the OLC client window that opened it, about
// the board it belongs to (OlcChannelParam::ClientBoardKey); a board no longer
// in the client's table is left alone. All calls are made on the GUI thread.
class OlcClientHooks {
public:
    virtual ~OlcClientHooks() = default;

    // A text for the client window's status bar.
    virtual void ShowClientStatus(const QString &text) = 0;
    // The client window's status bar (for "*** All Channels Busy! ***").
    virtual QStatusBar *ClientStatusBar() = 0;
    // A reader (poster) of the board opens (+1) or closes (-1). While a
    // reader of a board is open the client refuses to move its read pointer.
    virtual void ChangeReaderCount(const QString &boardKey, int delta) = 0;
    virtual void ChangePosterCount(const QString &boardKey, int delta) = 0;
    // The texts of the client window's board name and pointer labels, and of
    // the header of the title on show, as a new reader shows them.
    virtual QString BoardNameText() = 0;
    virtual QString PointerText() = 0;
    virtual QString CurrentHeaderText() = 0;
    // The first download of a reader is over: the client's Read button works again.
    virtual void EnableReadButton() = 0;
    // The server of the client connection lists the board again (REENT).
    virtual void ReenterBoard(const QString &boardKey) = 0;
    // A reader stored the body of message number of the board: mark it read
    // in the title grid, note it as the board's current message, raise the
    // highest read number and the board's ReadPtr (writing the board table
    // and the pointer edit), move the wanted row on (or mark the end of the
    // list) and select the row when the board is shown.
    virtual void MessageRead(const QString &boardKey, std::int32_t number) = 0;
    // The number of the board's newest message (0 for a board not in the table).
    virtual std::int32_t LastNumber(const QString &boardKey) = 0;
};

// The common start of readers and posters; see the file's head.
class TBOlcAccessThread : public plat::FreeOnTerminateThread {
    Q_OBJECT
public:
    // Hands the connection to the window (on the GUI thread); false when the
    // window is gone or closing.
    using HandOver = std::function<bool(plat::SOCKET s, const HostRecord &host)>;

protected:
    TBOlcAccessThread(const QString &logWord, const HostRecord &host, std::int32_t serverChannel,
                      std::weak_ptr<OlcClientHooks> client, HandOver handOver, ConnectionStartReporter reporter);
    void run() override;

private:
    void Execute();
    // True for "ACK"; any other answer is said in the client's status bar.
    bool ServiceGranted(const QString &reply);
    void ClientStatus(const QString &text);

    const QString LogWord;
    HostRecord Host;
    const std::int32_t ServerChannel;
    std::weak_ptr<OlcClientHooks> Client;
    HandOver ShowWindow;
    ConnectionStartReporter Reporter;
};

// The thread of a reader window (TBOlcReadForm, olc/BOlcRead.h).
class TBOlcReadThread final : public TBOlcAccessThread {
    Q_OBJECT
public:
    TBOlcReadThread(const HostRecord &host, std::int32_t serverChannel, std::weak_ptr<OlcClientHooks> client,
                    HandOver handOver, ConnectionStartReporter reporter);
};
