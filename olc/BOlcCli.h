#pragma once
// The OLC client window: holds one connection to an OLC server, from the
// moment its client thread (TBOlcClientThread, olc/BOlcTrd.h) has connected
// and handed over until it closes with "OFF". The user logs on, browses the
// board list (grid or tree), enters boards to list their titles (grid or
// reply tree) and opens messages from the local store (olc/OlcStore.h).
//
// It is started like every connection window, through OlcClientWindowKind
// (core/BLookup.h), for a host record with an OLC name; one window per server
// folder at a time.
//
// The conversation runs on the GUI thread: each socket call waits with the
// sockets layer's blocking hook, so other handlers run meanwhile. A handler
// started during a pending call is ignored; a close requested then breaks the
// connection and happens once the pending call has returned. A failed send or
// receive sets the error flag, and the handler that met it closes the window
// (without "OFF" and without saving the board table).
#include "core/ConnectionWindow.h"
#include "core/HostRecord.h"
#include "olc/BOlcList.h"
#include "olc/BReadTrd.h"
#include "olc/OlcStore.h"
#include "platform/WinSock.h"

#include <QString>
#include <QWidget>

#include <map>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QTreeWidgetItem;
class TRecvHtmlView;

namespace Ui {
class TBOlcClientForm;
}

class TBOlcClientForm : public QWidget, public ConnectionWindowState {
    Q_OBJECT
public:
    // A hidden window holding its own copy of host (whose Channel is its channel).
    explicit TBOlcClientForm(const HostRecord &host, QWidget *parent = nullptr);
    ~TBOlcClientForm() override;

    // The client window that works in the server folder of olcName, if any.
    static TBOlcClientForm *ForOlcName(const QString &olcName);

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBOlcClientForm> ui;
    QMenu *const ScreenPopup;
    QAction *const FullScreen;
    TRecvHtmlView *HtmlControl = nullptr;

    const HostRecord &Target() const { return TargetHost; }
    // Called by the client thread on the GUI thread: the conversation begins on
    // s and the window shows. False when the window is closing: the socket
    // stays the caller's.
    bool StartConversation(plat::SOCKET s, const HostRecord &target, qint32 serverChannel);

    // The board table as the last board list left it (record 0 the header).
    const std::vector<BoardRecord> &Boards() const { return Board; }
    int CurrentBoard() const { return Current; }
    // What the window keeps of a board in this logon; null before it is opened.
    BoardTitleCache *CacheOf(int board) const;
    qint32 ServerChannelNumber() const { return ServerChannel; }
    const olc::ServerFolder &Server() const { return Folder; }
    bool Failed() const { return Error; }

    // Opens the selected title: from the store when its body is there.
    void OpenMessage(bool shift);
    // Brings the server back to a board (a reader window's board). Does
    // nothing for an index below 1.
    void ReenterBoard(int board);

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    class Conversation;
    class ChildHooks;

    void ConnectHandlers();
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void FormKeyDown(QKeyEvent *event);

    void ExitButtonClick();
    void LogonButtonClick();
    void SwitchButtonClick();
    void TitleButtonClick();
    void ReadButtonClick();
    void LinkButtonClick();
    void BoardGridClick();
    void BoardGridDblClick();
    void BoardTreeChanging();
    void BoardTreeDblClick();
    void MsgsGridClick();
    void MsgsGridDblClick();
    void ReplyTreeChanging();
    void ReplyTreeDblClick();
    void FullScreenClick();

    // Option panel, WHO list, maintenance of own messages and the Post/TEL
    // button (olc/BOlcOpt.cpp).
    void ConnectOptionHandlers();
    void OptButtonClick();
    void ShowOptionPanel();
    void ReceiveWhoList();
    void PWEditExit();
    void PtrEditExit();
    void BiasEditExit();
    void TextOnlyCheckBoxClick();
    // The current board's text priority in its check box.
    void ShowTextPriority();
    // True (and said) when a reader window of the current board is open: the
    // pointer fields return to the values in force.
    bool RefusePointerChange();
    void MesNumEditExit();
    void TitleEditChange();
    void ReplyEditChange();
    void ReplyEditExit();
    void RefreshMaintenance();
    // True when the title row (1-based) is one of the current board's list;
    // and posted under the host record's user ID; and that, or any row of the
    // list when the server runs on this machine (what maintenance may touch).
    bool ListsTitleRow(int row) const;
    bool PostedTitleRow(int row) const;
    bool OwnsTitleRow(int row) const;
    // Finds the index record of the selected title and sends word and its
    // number, with the server brought to the listed board first. False with
    // nothing sent when the record is missing or the exchange failed.
    bool SendMaintenanceCommand(const char *word, std::int32_t &recordIndex, MessageRecord &record);
    bool WriteTitleRecord(std::int32_t recordIndex, const MessageRecord &record);
    void DeleteButtonClick();
    void UpdateButtonClick();
    void PostButtonClick();
    // Starts a TEL send window to the user of a WHO row.
    void StartWhoTel(int row);
    // Opens a post window of the current board answering replyTo (0: a new
    // thread) on a channel of its own.
    void StartPoster(std::int32_t replyTo);

    // Logon and logoff (LogonButton).
    void Logon();
    void Logoff();
    // Asks before closing the reader and post windows of this window's
    // boards and closes them; false when the user keeps them.
    bool CloseChildWindows();

    // Board list: BOARD, merged into the board table and written. False when
    // the exchange failed or the table could not be read (said in the status).
    bool RequestBoardList();
    void FillBoardGrid();
    void FillBoardTree();
    void ShowBoardRow(int board);
    bool OpenBoard();
    void EnterBoard();
    void SelectBoardRow(int board);
    // The row of the board table that holds key; 0 when none does.
    int BoardRow(const QString &key) const;

    // Title lists.
    bool ReceiveTitles(bool firstEntry, std::int32_t &count);
    void FillTitleList(bool append, std::int32_t count);
    void FillReplyTree();
    void RequestMoreTitles();
    // Makes the server list the current board's titles (REENT) when its
    // entered board is another one; false when the exchange failed.
    bool EnsureServerBoard();
    bool SendReenter(int board);
    void ShowTitleList();
    void EnablePosting();
    void SelectTitleRow(int row);
    int TitleRowOfNumber(std::int32_t number) const;
    std::int32_t NumberOfRow(int row) const;

    // Showing messages.
    void ShowDetail(const QString &detail);
    void AdvanceReadPosition(int row);
    void ShowTextMessage(const MessageRecord &record);
    void ShowFileMessage(const MessageRecord &record, int row);
    void ShowFile();
    void ShowImage();
    void ShowHtml();
    // Reader windows: of a title not yet downloaded (its index record), and
    // of the link held by the text on show. Both start on a channel of their own.
    void StartReader(std::int32_t recordIndex, bool shift);
    void StartLinkReader();
    // The parameter block of a reader or post window of board.
    OlcChannelParam ChildParam(int board) const;
    // What the reader and post windows ask of this window (ChildHooks).
    void ChangeChildCount(int board, int delta, std::uint8_t BoardTitleCache::*count);
    void MessageRead(int board, std::int32_t number);
    void HideViews();
    void SaveText();

    bool SaveBoards();
    void ReleaseFolder();
    void Status(const QString &text);
    BoardTitleCache *Cache() const { return CacheOf(Current); }

    HostRecord TargetHost;
    qint32 ServerChannel = 0;
    int ServerVersion = 0;
    int ChannelNumber = 0;
    olc::ServerFolder Folder;

    std::vector<BoardRecord> Board;   // live table, record 0 the header
    int Current = 0;                  // current board, 0 = none
    int EnteredBoard = 0;             // board whose titles were last shown, 0 = none
    QString ServerBoardKey;           // the board the server has entered (ENTER or REENT)
    std::map<QString, std::unique_ptr<BoardTitleCache>> Caches; // by board key

    bool ShiftFlag = false, CtrlFlag = false;
    bool TreeMode = false;
    bool LoggedOffOnce = false;
    bool HandlersEnabled = true;
    QString FilePath, FileViewer;     // the file last shown
    QString LinkAddress;              // the link title of the text on show
    OlcChannelParam LinkHolder;       // board, number and index record of the message holding it
    std::int32_t ShownRecord = 0;     // index record of the message on show
    QString ShownDetail;              // its header text, as a new reader shows it
    // What reader and post windows call back into; they hold it weakly.
    std::shared_ptr<OlcClientHooks> Hooks;
    QString ListedBoardKey;           // the board whose titles MsgsGrid holds
    bool TitleChanged = false, ReplyChanged = false; // maintenance fields edited
    std::int32_t ReplyNumber = -1;    // the reply chosen in ReplyEdit: -1 not valid, 0 none

    bool SetUp = false;               // FormShow has run
    bool HoldsFolder = false;         // the server folder is marked in use
    bool OwnsChannel = false;
};

// Marks the window as inside its conversation for the life of a handler: a
// close requested meanwhile runs once the outermost handler has returned,
// and a handler that met a transport failure closes the window at its end.
class TBOlcClientForm::Conversation {
public:
    explicit Conversation(TBOlcClientForm &window) : window_(window) { ++window_.Busy; }
    ~Conversation()
    {
        if (--window_.Busy == 0 && (window_.CloseRequested || window_.Error) && !window_.Closed)
            QMetaObject::invokeMethod(&window_, &QWidget::close, Qt::QueuedConnection);
    }
    Conversation(const Conversation &) = delete;
    Conversation &operator=(const Conversation &) = delete;
    // A handler that comes while another waits on the socket does nothing.
    bool nested() const { return window_.Busy > 1; }

private:
    TBOlcClientForm &window_;
};
