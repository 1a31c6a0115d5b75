#pragma once
// The OLC log window: browses the local message store of one OLC server
// offline: its boards as a grid or a tree, a board's messages as a grid or a
// reply tree, one message with its body, picture, HTML page or attachment,
// and the link messages a message holds. It toggles erase marks and runs the
// store maintenance (olc/BOlcLogMnt.h) from the Update button's menu.
//
// What is shown comes from records read into the window (the board table
// and the current board's message index), never back from the grids' texts;
// the buttons' captions follow the window's state values.
#include "core/HostRecord.h"
#include "core/MessageRecord.h"
#include "olc/BOlcLogMnt.h"
#include "olc/OlcStore.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace Ui {
class TBOlcLogForm;
}

class QAction;
class QMenu;
class QTreeWidgetItem;
class TRecvHtmlView;
class TRichView;

class TBOlcLogForm : public QWidget {
    Q_OBJECT
public:
    explicit TBOlcLogForm(QWidget *parent = nullptr);
    ~TBOlcLogForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBOlcLogForm> ui;
    QMenu *const UpdatePopup;
    QAction *const CurrentBoardItem, *const LinkMessageItem, *const FlatLogItem;
    QMenu *const ScreenPopup;
    QAction *const FullScreen;
    TRecvHtmlView *HtmlControl = nullptr;

    // The host whose store is shown; the main window copies it in before showing.
    HostRecord Host;

    // What the central area shows; the Switch and Read captions follow it.
    enum class View { Boards, BoardTree, Titles, Message };
    // What the Update button does.
    enum class UpdateAction { Update, Print, ViewFile, Back };

    View CurrentView() const { return Shown; }
    UpdateAction CurrentUpdateAction() const { return Update; }
    const olc::ServerFolder &ServerDirectory() const { return Server; }
    const std::vector<BoardRecord> &BoardTable() const { return Boards; }
    // Slot (1 .. BoardCount) of the current board, 0 for none.
    int CurrentBoard() const { return Board; }
    // The current board's messages: row r of the message grid is Messages()[r - 1],
    // record r of its index file.
    const std::vector<MessageRecord> &Messages() const { return Records; }
    int CurrentMessageRow() const { return MessageRow; }
    qint32 LinkRecordIndex() const { return LinkIndex; }
    bool ReplyTreeMode() const { return ReplyMode; }

    // The menu's maintenance commands (olc/BOlcLogMnt.cpp).
    void CurrentBoardClick();
    void LinkMessageClick();
    void FlatLogClick();

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

    void BoardGridClick();
    void BoardTreeChanging(QTreeWidgetItem *node);
    void MsgsGridClick();
    void ReplyTreeChanging(QTreeWidgetItem *node);
    void SwitchButtonClick();
    void ReadButtonClick();
    void LastButtonClick();
    void NextButtonClick();
    void Step(int direction);
    void EraseButtonClick();
    void UtlButtonClick();
    void UpdateButtonClick();
    void ExitButtonClick();
    void QuoteEditExit();
    void FullScreenClick();

    void LoadBoards();
    void FillLogBoardTree();
    QTreeWidgetItem *FindTreeNode(const QString &key) const;
    void SetBoard();
    void ShowMessages();
    void LoadMessages();
    void FillMessageRow(int row);
    void SelectMessageRow(int row);
    void ShowMessage();
    void ShowReplyTree(bool on);
    void FillLogReplyTree();
    void FollowLink();
    void ShowLinkMessage(const MessageRecord &link, const QString &holderTitle);
    void ReturnFromLink();
    void ShowFile(TRichView *view, QString path, bool boardMessage, const MessageRecord &record);
    void ShowBody(TRichView *view, const QByteArray &body, const MessageRecord &record, bool linkFlag);
    void ShowFileInside();
    void ShowImage();
    void ShowHtml();
    void ShowPane(QWidget *pane);
    void SetView(View view);
    void SetUpdate(UpdateAction action);
    void SetUtl(bool link, bool visible);
    void SetLinkView(bool on);
    void Status(const QString &text);
    bool RunMaintenance(const std::function<bool(QString *)> &command);
    bool AskYesNo(const QString &name, const QString &text);
    OlcMaintenanceBoard MaintenanceBoard() const;

    const BoardRecord *CurrentBoardRecord() const;
    const MessageRecord *CurrentMessage() const;
    QString BoardIndexFile() const;

    View Shown = View::Boards;
    UpdateAction Update = UpdateAction::Update;
    bool UtlLink = false;
    olc::ServerFolder Server{QString()};
    std::vector<BoardRecord> Boards;
    int Board = 0;
    bool HasMessageIndex = false;
    std::vector<MessageRecord> Records;
    int MessageRow = 0;
    qint32 LinkIndex = 0;
    bool LinkView = false; // a link view is on show, or failed in one: Exit reads "Return"
    bool ReplyMode = false;
    bool BoardTreeReady = false, ReplyTreeReady = false;
    bool ShiftHeld = false;
    QString ViewerApplication, ViewFileName;
};

extern TBOlcLogForm *BOlcLogForm;
