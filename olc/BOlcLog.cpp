// The OLC log window.
#include "olc/BOlcLog.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "core/ScrollImage.h"
#include "olc/BOlcLogMnt.h"
#include "platform/DayDate.h"
#include "platform/ModifierKey.h"
#include "platform/RecordFile.h"
#include "platform/WinSock.h"
#include "tel/BRecvTel.h"
#include "ui_BLookup.h"
#include "ui_BOlcLog.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QShowEvent>
#include <QStatusBar>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <optional>

TBOlcLogForm *BOlcLogForm = nullptr;

namespace {

constexpr int RecordSize = MessageRecord::Size;
constexpr int MaxLevel = 255;
constexpr char DeletedTitle[] = "<<Deleted>>";
constexpr char HtmlDocText[] = "<<HTML DOC>>";
// Row and record numbers ride on grid items and tree nodes as data.
constexpr int NumberRole = Qt::UserRole;

enum MessageColumn {
    RowColumn, NumColumn, TitleColumn, ReadColumn, BinColumn, LinkColumn, ReplyColumn, AddressColumn, HandleColumn,
    UserIdColumn, DateColumn, StartColumn, BytesColumn, FileColumn
};

const QString Crlf = QStringLiteral("\r\n");

QString DateTimeText(double dayDate)
{
    const QDateTime when = plat::FromDayDate(dayDate);
    return plat::FormatShortDate(when) + QLatin1Char(' ') + plat::FormatLongTime(when);
}

QString ReadCell(const MessageRecord &r)
{
    if (r.Start < 0)
        return {};
    return r.Erased ? QStringLiteral("E") : QStringLiteral("*");
}

QString Star(bool on)
{
    return on ? QStringLiteral("*") : QString();
}

// The texts of a message grid row for record row.
QStringList MessageTexts(int row, const MessageRecord &r)
{
    const bool deleted = r.Deleted != 0;
    return {PadString(QString::number(row), 5, false),
            IntToZeroStr(r.Number, 5),
            deleted ? QLatin1String(DeletedTitle) : r.Title,
            ReadCell(r),
            Star(r.Flags & MessageRecord::FileFlag),
            Star(r.Flags & MessageRecord::LinkFlag),
            r.ReplyTo > 0 ? IntToZeroStr(r.ReplyTo, 5) : QString(),
            r.Address != 0 ? plat::inet_ntoa(r.Address) : deleted ? QString() : QStringLiteral("Serial"),
            r.Handle,
            r.UserId,
            DateTimeText(r.DateTime),
            r.Start == -1 ? QStringLiteral("-") : IntToZeroStr(r.Start, 9),
            IntToZeroStr(r.Bytes, 9),
            (r.Flags & MessageRecord::HtmlFlag) ? QLatin1String(HtmlDocText) : r.FileName};
}

QString NodeText(const MessageRecord &r)
{
    return QLatin1Char('[') + IntToZeroStr(r.Number, 5) + QStringLiteral("] ") + r.Title;
}

// The fixed widths of a grid's columns, widened where this font needs more.
void FitColumns(QTableWidget *grid, const std::vector<int> &widths)
{
    grid->resizeColumnsToContents();
    for (int column = 0; column < grid->columnCount() && column < int(widths.size()); ++column)
        grid->setColumnWidth(column, std::max(widths[column], grid->columnWidth(column)));
}

void SetUpGrid(QTableWidget *grid, const QStringList &titles)
{
    grid->setColumnCount(int(titles.size()));
    grid->setHorizontalHeaderLabels(titles);
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
    grid->setWordWrap(false);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void SetRow(QTableWidget *grid, int row, const QStringList &texts)
{
    for (int column = 0; column < texts.size(); ++column)
        grid->setItem(row, column, new QTableWidgetItem(texts[column]));
}

const std::vector<int> BoardWidths{32, 64, 192, 32, 32, 64, 64, 64, 64};
const std::vector<int> MessageWidths{40, 40, 248, 32, 32, 32, 40, 112, 64, 64, 64, 72, 72, 128};

// Inverts the erase mark of record index in a record file in place; the
// record as it is now, or nothing when it cannot be read or written.
std::optional<MessageRecord> ToggleErased(const QString &path, qint64 index, QString *error)
{
    plat::RecordFile file(path, RecordSize);
    QByteArray image;
    if (index < 1 || !file.open() || !file.read(index, image)) {
        *error = file.errorString().isEmpty() ? QStringLiteral("no record %1 in ").arg(index) + path : file.errorString();
        return std::nullopt;
    }
    image[MessageRecordOffset::Erased] = image[MessageRecordOffset::Erased] ? 0 : 1;
    if (!file.write(index, image) || !file.sync()) {
        *error = file.errorString();
        return std::nullopt;
    }
    return MessageRecord::decode(image);
}

std::optional<MessageRecord> ReadRecordAt(const QString &path, qint64 index)
{
    plat::RecordFile file(path, RecordSize);
    QByteArray image;
    if (index < 1 || !file.open() || !file.read(index, image))
        return std::nullopt;
    return MessageRecord::decode(image);
}

// The record of message number in an index file as it is now, searched from
// the last record down (rows and cached records go stale when a reader or a
// compaction changes the file), and its index in *index when asked. Nothing
// when none holds it.
std::optional<MessageRecord> FindRecordOfNumber(const QString &path, qint32 number, qint64 *index = nullptr)
{
    plat::RecordFile file(path, RecordSize);
    QByteArray image;
    for (qint64 r = file.open() ? file.count() - 1 : 0; r >= 1; --r) {
        if (!file.read(r, image))
            break;
        if (MessageRecord record = MessageRecord::decode(image); record.Number == number) {
            if (index)
                *index = r;
            return record;
        }
    }
    return std::nullopt;
}

} // namespace

TBOlcLogForm::TBOlcLogForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBOlcLogForm>()), UpdatePopup(new QMenu(this)),
      CurrentBoardItem(UpdatePopup->addAction(QStringLiteral("Current Board"))),
      LinkMessageItem(UpdatePopup->addAction(QStringLiteral("Link Message"))),
      FlatLogItem(UpdatePopup->addAction(QStringLiteral("Flat Log"))), ScreenPopup(new QMenu(this)),
      FullScreen(ScreenPopup->addAction(QStringLiteral("Full Screen")))
{
    ui->setupUi(this);
    FormCreate();
    ConnectHandlers();
}

TBOlcLogForm::~TBOlcLogForm()
{
    if (BOlcLogForm == this)
        BOlcLogForm = nullptr;
}

// The HTML display is the local-only HTML view of the receive window; the
// grids get their columns; every component reports keys for the Shift flag.
void TBOlcLogForm::FormCreate()
{
    UpdatePopup->setObjectName(QStringLiteral("UpdatePopup"));
    CurrentBoardItem->setObjectName(QStringLiteral("CurrentBoard"));
    LinkMessageItem->setObjectName(QStringLiteral("LinkMessage"));
    FlatLogItem->setObjectName(QStringLiteral("FlatLog"));
    FlatLogItem->setEnabled(false);
    ScreenPopup->setObjectName(QStringLiteral("ScreenPopup"));
    FullScreen->setObjectName(QStringLiteral("FullScreen"));
    FullScreen->setCheckable(true);
    HtmlControl = TRecvHtmlView::InsertAfter(ui->RecvSImage, [this](const QUrl &url) { Status(url.toString()); });

    SetUpGrid(ui->BoardGrid, {QString(), QStringLiteral("BoardKey"), QStringLiteral("Board Name"), QStringLiteral("PW"),
                              QStringLiteral("R/O"), QStringLiteral("ReadPtr"), QStringLiteral("MsgNum"),
                              QStringLiteral("TopMsg"), QStringLiteral("Parent")});
    SetUpGrid(ui->MsgsGrid, {QString(), QStringLiteral("Num"), QStringLiteral("Message Title"), QStringLiteral("READ"),
                             QStringLiteral("BIN"), QStringLiteral("LNK"), QStringLiteral("Reply"),
                             QStringLiteral("IP Addr"), QStringLiteral("Handle"), QStringLiteral("UserID"),
                             QStringLiteral("Date"), QStringLiteral("Start"), QStringLiteral("Bytes"),
                             QStringLiteral("FileName")});
    FitColumns(ui->BoardGrid, BoardWidths);
    FitColumns(ui->MsgsGrid, MessageWidths);
    for (QTreeWidget *tree : {ui->BoardTree, ui->ReplyTree})
        tree->setHeaderHidden(true);

    installEventFilter(this);
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
}

void TBOlcLogForm::ConnectHandlers()
{
    connect(ui->BoardGrid, &QTableWidget::currentCellChanged, this, [this] { BoardGridClick(); });
    connect(ui->BoardGrid, &QTableWidget::cellDoubleClicked, this, [this] {
        if (Board > 0)
            ShowMessages();
    });
    connect(ui->BoardTree, &QTreeWidget::currentItemChanged, this, &TBOlcLogForm::BoardTreeChanging);
    connect(ui->BoardTree, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (Board > 0)
            ShowMessages();
    });
    connect(ui->MsgsGrid, &QTableWidget::currentCellChanged, this, [this] { MsgsGridClick(); });
    connect(ui->ReplyTree, &QTreeWidget::currentItemChanged, this, &TBOlcLogForm::ReplyTreeChanging);
    for (QAbstractItemView *messages : {static_cast<QAbstractItemView *>(ui->MsgsGrid),
                                        static_cast<QAbstractItemView *>(ui->ReplyTree)})
        connect(messages, &QAbstractItemView::doubleClicked, this, [this] {
            if (MessageRow > 0)
                ShowMessage();
        });
    connect(ui->SwitchButton, &QPushButton::clicked, this, &TBOlcLogForm::SwitchButtonClick);
    connect(ui->ReadButton, &QPushButton::clicked, this, &TBOlcLogForm::ReadButtonClick);
    connect(ui->LastButton, &QPushButton::clicked, this, &TBOlcLogForm::LastButtonClick);
    connect(ui->NextButton, &QPushButton::clicked, this, &TBOlcLogForm::NextButtonClick);
    connect(ui->EraseButton, &QPushButton::clicked, this, &TBOlcLogForm::EraseButtonClick);
    connect(ui->UtlButton, &QPushButton::clicked, this, &TBOlcLogForm::UtlButtonClick);
    connect(ui->UpdateButton, &QPushButton::clicked, this, &TBOlcLogForm::UpdateButtonClick);
    connect(ui->ExitButton, &QPushButton::clicked, this, &TBOlcLogForm::ExitButtonClick);
    connect(ui->QuoteEdit, &QLineEdit::editingFinished, this, &TBOlcLogForm::QuoteEditExit);
    connect(FullScreen, &QAction::triggered, this, &TBOlcLogForm::FullScreenClick);
    connect(CurrentBoardItem, &QAction::triggered, this, &TBOlcLogForm::CurrentBoardClick);
    connect(LinkMessageItem, &QAction::triggered, this, &TBOlcLogForm::LinkMessageClick);
    connect(FlatLogItem, &QAction::triggered, this, &TBOlcLogForm::FlatLogClick);
}

void TBOlcLogForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

// Every showing reloads the boards of the host copied in.
void TBOlcLogForm::FormShow()
{
    move(MainPosition.Left + 35, MainPosition.Top + 35);
    ShiftHeld = false;
    ui->HostNameLabel->setText(Host.HostName);
    ui->MemoLabel->setText(Host.Memo);
    ReplyMode = false;
    LinkIndex = 0;
    SetUtl(false, false);
    SetUpdate(UpdateAction::Update);
    SetView(View::Boards);
    ui->TopPanel->show();
    ui->BottomPanel->show();
    ShowPane(ui->BoardGrid);
    ui->QuoteEdit->setText(QuotationMark);
    for (TRichView *view : {ui->ClientRichView, ui->LinkRichView})
        view->PopupQuote = QuotationMark;
    FullScreen->setChecked(false);
    Status({});
    SetLinkView(false);
    ui->UpdateButton->setVisible(true);
    ui->ExitButton->setVisible(true);
    for (QWidget *button : {ui->SwitchButton, ui->ReadButton, ui->LastButton, ui->NextButton, ui->UpdateButton})
        button->setEnabled(true);
    ui->EraseButton->setEnabled(false);
    ui->SwitchButton->setFocus();
    // A host whose OLC name is no plain folder name has no store to show.
    Server = olc::ServerFolder(Host.OlcName);
    ReplyTreeReady = true;
    BoardTreeReady = false;
    LoadBoards();
    FillLogBoardTree();
    BoardTreeReady = true;
    Board = Boards.empty() ? 0 : 1;
    SetBoard();
}

void TBOlcLogForm::closeEvent(QCloseEvent *event)
{
    FormClose();
    event->accept();
}

void TBOlcLogForm::FormClose()
{
    setWindowState(Qt::WindowNoState);
    if (BLookupForm && BLookupForm->ui->OlcButton->isEnabled())
        BLookupForm->ui->OlcButton->setFocus();
}

// Key preview: a key pressed with Shift as the only modifier sets the Shift
// flag (for Back, which then goes forward).
bool TBOlcLogForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress &&
        plat::ArmingModifier(*static_cast<QKeyEvent *>(event)) == Qt::ShiftModifier)
        ShiftHeld = true;
    return QWidget::eventFilter(watched, event);
}

void TBOlcLogForm::contextMenuEvent(QContextMenuEvent *event)
{
    ScreenPopup->exec(event->globalPos());
}

// ---- state -----------------------------------------------------------------------------

void TBOlcLogForm::SetView(View view)
{
    Shown = view;
    const bool boardView = view == View::Boards || view == View::BoardTree;
    ui->SwitchButton->setText(boardView ? QStringLiteral("Msgs") : QStringLiteral("Board"));
    static const char *const ReadCaptions[] = {"Tree", "Grid", "Read", "Title"};
    ui->ReadButton->setText(QLatin1String(ReadCaptions[int(view)]));
}

void TBOlcLogForm::SetUpdate(UpdateAction action)
{
    Update = action;
    static const char *const Captions[] = {"Update", "Print", "View", "Back"};
    ui->UpdateButton->setText(QLatin1String(Captions[int(action)]));
}

// The Utl button follows a link, or switches between the message grid and the reply tree.
void TBOlcLogForm::SetUtl(bool link, bool visible)
{
    UtlLink = link;
    ui->UtlButton->setText(link ? QStringLiteral("Link") : ReplyMode ? QStringLiteral("AllTtls") : QStringLiteral("ReTree"));
    ui->UtlButton->setVisible(visible);
}

// In a link view Exit reads "Return" and the buttons that move through the
// board's messages are hidden.
void TBOlcLogForm::SetLinkView(bool on)
{
    LinkView = on;
    ui->ExitButton->setText(on ? QStringLiteral("Return") : QStringLiteral("Exit"));
    for (QWidget *button : {ui->SwitchButton, ui->ReadButton, ui->LastButton, ui->NextButton})
        button->setVisible(!on);
}

// The central area shows one component at a time.
void TBOlcLogForm::ShowPane(QWidget *pane)
{
    for (QWidget *w : {static_cast<QWidget *>(ui->BoardGrid), static_cast<QWidget *>(ui->BoardTree),
                       static_cast<QWidget *>(ui->MsgsGrid), static_cast<QWidget *>(ui->ReplyTree),
                       static_cast<QWidget *>(ui->ClientRichView), static_cast<QWidget *>(ui->LinkRichView),
                       static_cast<QWidget *>(ui->RecvSImage), static_cast<QWidget *>(HtmlControl)})
        w->setVisible(w == pane);
}

void TBOlcLogForm::Status(const QString &text)
{
    if (text.isEmpty())
        ui->OlcStatusBar->clearMessage();
    else
        ui->OlcStatusBar->showMessage(text);
}

const BoardRecord *TBOlcLogForm::CurrentBoardRecord() const
{
    return Board >= 1 && Board <= int(Boards.size()) ? &Boards[Board - 1] : nullptr;
}

const MessageRecord *TBOlcLogForm::CurrentMessage() const
{
    return MessageRow >= 1 && MessageRow <= int(Records.size()) ? &Records[MessageRow - 1] : nullptr;
}

QString TBOlcLogForm::BoardIndexFile() const
{
    const BoardRecord *board = CurrentBoardRecord();
    return board ? Server.boardIndex(board->BoardKey) : QString();
}

// ---- boards ----------------------------------------------------------------------------

// The board table's records 1 .. n; a missing table gives no boards.
void TBOlcLogForm::LoadBoards()
{
    Boards.clear();
    std::vector<BoardRecord> table;
    if (Server.valid() && olc::LoadBoardTable(Server.boardTable(), table) && table.size() > 1)
        Boards.assign(table.begin() + 1, table.end());
    QTableWidget *grid = ui->BoardGrid;
    grid->setRowCount(0);
    grid->setRowCount(int(Boards.size()));
    for (int row = 0; row < int(Boards.size()); ++row) {
        const BoardRecord &b = Boards[row];
        SetRow(grid, row,
               {PadString(QString::number(b.BoardNumber), 3, false), b.BoardKey, b.BoardName,
                b.HasPassword ? QStringLiteral("SET") : QString(), b.ReadOnly ? QStringLiteral("ON") : QString(),
                IntToZeroStr(b.ReadPtr, 5), IntToZeroStr(b.MsgNum, 5), IntToZeroStr(b.TopMsg, 5), b.ParentKey});
    }
    FitColumns(grid, BoardWidths);
    if (!Boards.empty())
        grid->setCurrentCell(0, 1);
    Records.clear();
    ui->MsgsGrid->setRowCount(0);
    MessageRow = 0;
}

// Level by level: a board joins the first node of its parent key, or the top
// when there is none.
void TBOlcLogForm::FillLogBoardTree()
{
    QTreeWidget *tree = ui->BoardTree;
    tree->clear();
    if (Boards.empty())
        return;
    int added = 0;
    for (int level = 0; level <= MaxLevel && added < int(Boards.size()); ++level) {
        for (int slot = 1; slot <= int(Boards.size()); ++slot) {
            const BoardRecord &b = Boards[slot - 1];
            if (b.Level != level)
                continue;
            ++added;
            QTreeWidgetItem *parent = level == 0 ? nullptr : FindTreeNode(b.ParentKey);
            auto *node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
            node->setText(0, b.BoardName);
            node->setData(0, NumberRole, slot);
        }
    }
    tree->expandAll();
    tree->setCurrentItem(tree->topLevelItem(0));
    tree->scrollToTop();
}

QTreeWidgetItem *TBOlcLogForm::FindTreeNode(const QString &key) const
{
    for (QTreeWidgetItemIterator it(ui->BoardTree); *it; ++it) {
        const int slot = (*it)->data(0, NumberRole).toInt();
        if (slot >= 1 && slot <= int(Boards.size()) && Boards[slot - 1].BoardKey == key)
            return *it;
    }
    return nullptr;
}

void TBOlcLogForm::BoardGridClick()
{
    if (!BoardTreeReady)
        return;
    const int row = ui->BoardGrid->currentRow() + 1;
    if (row == Board || row < 1)
        return;
    Board = row;
    BoardTreeReady = false;
    ui->BoardTree->setCurrentItem(FindTreeNode(Boards[Board - 1].BoardKey));
    BoardTreeReady = true;
    SetBoard();
}

void TBOlcLogForm::BoardTreeChanging(QTreeWidgetItem *node)
{
    if (!BoardTreeReady || !node)
        return;
    const int slot = node->data(0, NumberRole).toInt();
    if (slot >= 1 && slot <= int(Boards.size()) && slot != Board)
        ui->BoardGrid->setCurrentCell(slot - 1, 1);
}

// The current board's files; "Current Board" needs its message index, "Flat
// Log" messages older than the server keeps. A key that collides with the
// store's own files is never used as a board.
void TBOlcLogForm::SetBoard()
{
    CurrentBoardItem->setEnabled(false);
    FlatLogItem->setEnabled(false);
    HasMessageIndex = false;
    const BoardRecord *board = CurrentBoardRecord();
    if (board && QFileInfo(BoardIndexFile()).isFile()) {
        HasMessageIndex = true;
        CurrentBoardItem->setEnabled(true);
        FlatLogItem->setEnabled(OlcFlatLogCount({Server, board->BoardKey, board->BoardName, board->TopMsg}) > 0);
    }
    ui->BrdNameLabel->setText(board ? board->BoardName : QString());
    ui->SwitchButton->setFocus();
}

// ---- messages ----------------------------------------------------------------------------

void TBOlcLogForm::LoadMessages()
{
    Records.clear();
    if (HasMessageIndex) {
        plat::RecordFile index(BoardIndexFile(), RecordSize);
        QByteArray image;
        if (index.open())
            for (qint64 r = 1; index.read(r, image); ++r)
                Records.push_back(MessageRecord::decode(image));
    }
    QTableWidget *grid = ui->MsgsGrid;
    grid->setRowCount(0);
    grid->setRowCount(int(Records.size()));
    for (int row = 1; row <= int(Records.size()); ++row)
        FillMessageRow(row);
    FitColumns(grid, MessageWidths);
    MessageRow = 0;
    SelectMessageRow(int(Records.size()));
}

void TBOlcLogForm::FillMessageRow(int row)
{
    SetRow(ui->MsgsGrid, row - 1, MessageTexts(row, Records[row - 1]));
}

void TBOlcLogForm::SelectMessageRow(int row)
{
    if (row < 1 || row > int(Records.size()))
        return;
    MessageRow = row;
    ui->MsgsGrid->setCurrentCell(row - 1, NumColumn);
}

void TBOlcLogForm::ShowMessages()
{
    LoadMessages();
    if (!HasMessageIndex) {
        ui->SwitchButton->setFocus();
        return;
    }
    ReplyMode = false;
    ShowPane(ui->MsgsGrid);
    SetUtl(false, true);
    ui->EraseButton->setEnabled(true);
    SetView(View::Titles);
    ui->ReadButton->setFocus();
}

void TBOlcLogForm::MsgsGridClick()
{
    const int row = ui->MsgsGrid->currentRow() + 1;
    if (row < 1)
        return;
    MessageRow = row;
    if (ui->MsgsGrid->isVisible())
        ui->ReadButton->setFocus();
}

void TBOlcLogForm::ReplyTreeChanging(QTreeWidgetItem *node)
{
    if (!ReplyTreeReady || !node)
        return;
    const qint32 number = node->data(0, NumberRole).toInt();
    for (int row = 1; row <= int(Records.size()); ++row)
        if (Records[row - 1].Number == number)
            return SelectMessageRow(row);
}

void TBOlcLogForm::SwitchButtonClick()
{
    SetUpdate(UpdateAction::Update);
    Status({});
    if (Shown == View::Titles || Shown == View::Message) {
        SetView(View::Boards);
        ShowPane(ui->BoardGrid);
        ui->EraseButton->setEnabled(false);
        SetUtl(UtlLink, false);
        return;
    }
    if (Board > 0)
        ShowMessages();
}

void TBOlcLogForm::ReadButtonClick()
{
    SetUpdate(UpdateAction::Update);
    SetUtl(UtlLink, false);
    switch (Shown) {
    case View::Boards:
        SetView(View::BoardTree);
        ShowPane(ui->BoardTree);
        if (ui->BoardTree->currentItem())
            ui->BoardTree->scrollToItem(ui->BoardTree->currentItem(), QAbstractItemView::PositionAtTop);
        ui->BoardTree->setFocus();
        break;
    case View::BoardTree:
        SetView(View::Boards);
        ShowPane(ui->BoardGrid);
        break;
    case View::Titles:
        if (MessageRow > 0)
            ShowMessage();
        break;
    case View::Message:
        SetView(View::Titles);
        Status({});
        ShowPane(ReplyMode ? static_cast<QWidget *>(ui->ReplyTree) : static_cast<QWidget *>(ui->MsgsGrid));
        if (ReplyMode) {
            ui->ReplyTree->expandAll();
            ui->ReplyTree->setFocus();
        }
        SetUtl(false, true);
        break;
    }
}

void TBOlcLogForm::LastButtonClick()
{
    Step(-1);
}

void TBOlcLogForm::NextButtonClick()
{
    Step(+1);
}

// Last (-1) and Next (+1): the neighbouring board, reply or message; on the
// board grid they wrap around.
void TBOlcLogForm::Step(int direction)
{
    SetUpdate(UpdateAction::Update);
    Status({});
    if (ui->RecvSImage->isVisible() || HtmlControl->isVisible())
        ShowPane(LinkView ? ui->LinkRichView : ui->ClientRichView);
    if (UtlLink)
        SetUtl(true, false);
    if (Shown == View::Boards || Shown == View::BoardTree) {
        if (Boards.empty())
            return;
        // Moving the selection makes the new board current (SetBoard).
        if (Shown == View::Boards) {
            const int count = int(Boards.size());
            const int row = direction < 0 ? (Board < 2 ? count : Board - 1) : (Board >= count ? 1 : Board + 1);
            ui->BoardGrid->setCurrentCell(row - 1, 1);
            ui->SwitchButton->setFocus();
        } else if (QTreeWidgetItem *current = ui->BoardTree->currentItem()) {
            QTreeWidgetItem *node = direction < 0 ? ui->BoardTree->itemAbove(current) : ui->BoardTree->itemBelow(current);
            if (node) {
                ui->BoardTree->setCurrentItem(node);
                ui->BoardTree->setFocus();
            }
        }
        return;
    }
    const bool reading = Shown == View::Message;
    if (ReplyMode) {
        QTreeWidgetItem *current = ui->ReplyTree->currentItem();
        QTreeWidgetItem *node =
            !current ? nullptr : direction < 0 ? ui->ReplyTree->itemAbove(current) : ui->ReplyTree->itemBelow(current);
        if (node) {
            ui->ReplyTree->setCurrentItem(node);
            if (reading)
                ShowMessage();
            else
                ui->ReplyTree->setFocus();
        } else if (reading) {
            Status(QStringLiteral("... Nothing More Reply Message ..."));
            ui->ReadButton->setFocus();
        } else {
            ui->UtlButton->setFocus();
        }
        return;
    }
    const int row = MessageRow + direction;
    if (row < 1 || row > int(Records.size())) {
        if (reading) {
            SetUpdate(UpdateAction::Update);
            Status(QStringLiteral("... Nothing More Message ..."));
        }
        ui->SwitchButton->setFocus();
        return;
    }
    SelectMessageRow(row);
    if (reading)
        ShowMessage();
    (direction < 0 ? ui->LastButton : ui->NextButton)->setFocus();
}

// ---- one message ----------------------------------------------------------------------------

void TBOlcLogForm::ShowMessage()
{
    const MessageRecord *shown = CurrentMessage();
    const BoardRecord *board = CurrentBoardRecord();
    if (!shown || !board)
        return;
    const MessageRecord r = *shown;
    const QStringList c = MessageTexts(MessageRow, r);
    SetUpdate(UpdateAction::Update);
    SetView(View::Message);
    SetUtl(false, false);
    ShowPane(ui->ClientRichView);
    ui->NextButton->setFocus();
    Status({});
    TRichView *view = ui->ClientRichView;
    view->Clear();
    if (c[ReadColumn] == QLatin1String("E"))
        Status(QStringLiteral("Erase marked."));
    QString head = QStringLiteral("Number   : ") + c[NumColumn] + Crlf + QStringLiteral("Title    : ") + c[TitleColumn] + Crlf;
    if (!c[ReplyColumn].isEmpty())
        head += QStringLiteral("Reply To : ") + c[ReplyColumn] + Crlf;
    const bool deleted = c[TitleColumn] == QLatin1String(DeletedTitle);
    const auto value = [&](int column) { return deleted ? QStringLiteral("-") : c[column]; };
    head += QStringLiteral("IP Addr  : ") + value(AddressColumn) + Crlf + QStringLiteral("Handle   : ") +
            value(HandleColumn) + Crlf + QStringLiteral("User ID  : ") + value(UserIdColumn) + Crlf +
            QStringLiteral("DateTime : ") + value(DateColumn) + Crlf + QStringLiteral("Bytes    : ") + value(BytesColumn);
    view->AddHead(head);
    if (deleted)
        return;
    if (r.Start < 0)
        return Status(QStringLiteral("Not Downloaded."));
    if (!(r.Flags & MessageRecord::FileFlag))
        return ShowBody(view, plat::ReadFileAt(Server.boardText(board->BoardKey), r.Start, r.Bytes), r,
                        r.Flags & MessageRecord::LinkFlag);
    ShowFile(view, Server.attachment(board->BoardKey, r.Number, r.FileName), true, r);
}

// A text body: an HTML document in the HTML view, else in the rich view.
void TBOlcLogForm::ShowBody(TRichView *view, const QByteArray &body, const MessageRecord &record, bool linkFlag)
{
    const QString temp = TempDirectory + QStringLiteral("/Temp.html");
    if ((record.Flags & MessageRecord::HtmlFlag) && HtmlViewer < 2 && WriteTempHtml(temp, body)) {
        ViewFileName = temp;
        return ShowHtml();
    }
    view->LoadFromBuffer(body);
    SetUpdate(UpdateAction::Print);
    if (linkFlag)
        SetUtl(true, true);
}

// An attachment file: its note line, then as its viewer shows it.
void TBOlcLogForm::ShowFile(TRichView *view, QString path, bool boardMessage, const MessageRecord &record)
{
    if (path.isEmpty())
        return Status(QStringLiteral("*** Bad File Name : ") + EscapeControls(record.FileName));
    view->AddText(QStringLiteral("\r\nFile Name << ") + path + QStringLiteral(" >>"));
    if (boardMessage)
        ResolveHtmlArchive(this, view, record.Title, record.FileName, path);
    if (!FindViewer(path, ViewerApplication))
        return;
    if (!QFileInfo(path).isFile())
        return Status(QStringLiteral("Deleted the File."));
    ViewFileName = path;
    if (!ViewingDirect)
        return SetUpdate(UpdateAction::ViewFile);
    if (boardMessage && QFileInfo(path).suffix().toLower() == QLatin1String("rtf"))
        view->LoadFromBuffer(plat::ReadFileAt(path, 0, std::max(0, record.Bytes)));
    else
        ShowFileInside();
}

void TBOlcLogForm::ShowFileInside()
{
    if (ImageViewer && IsImageFile(ViewFileName))
        ShowImage();
    else if (HtmlViewer < 2 && IsHtmlFile(ViewFileName))
        ShowHtml();
    else
        OpenWithViewer(ViewerApplication, ViewFileName);
}

void TBOlcLogForm::ShowImage()
{
    QString error;
    if (!ui->RecvSImage->LoadFromFile(ViewFileName, &error))
        return Status(QStringLiteral("*** ") + error);
    ShowPane(ui->RecvSImage);
    Status(ViewFileName);
}

void TBOlcLogForm::ShowHtml()
{
    SetUpdate(UpdateAction::Back);
    ShowPane(HtmlControl);
    HtmlControl->ShowFile(ViewFileName);
}

// ---- reply tree ----------------------------------------------------------------------------

void TBOlcLogForm::ShowReplyTree(bool on)
{
    ReplyMode = on;
    SetUtl(false, true);
    if (on) {
        ShowPane(ui->ReplyTree);
        FillLogReplyTree();
        ui->ReplyTree->setFocus();
    } else {
        ShowPane(ui->MsgsGrid);
        ui->ReadButton->setFocus();
    }
}

// The thread of the selected message: from its oldest ancestor still on the
// board, every later message that answers one in the tree.
void TBOlcLogForm::FillLogReplyTree()
{
    const MessageRecord *selected = CurrentMessage();
    const BoardRecord *board = CurrentBoardRecord();
    ReplyTreeReady = false;
    ui->ReplyTree->clear();
    if (!selected || !board) {
        ReplyTreeReady = true;
        return;
    }
    const int selectedRow = MessageRow;
    int root = selectedRow;
    qint32 parent = selected->ReplyTo;
    for (int r = selectedRow - 1; r >= 1 && parent >= board->TopMsg; --r) {
        if (Records[r - 1].Number == parent) {
            root = r;
            parent = Records[r - 1].ReplyTo;
        }
    }
    QHash<qint32, QTreeWidgetItem *> nodes;
    QTreeWidgetItem *selectedNode = nullptr;
    for (int r = root; r <= int(Records.size()); ++r) {
        const MessageRecord &m = Records[r - 1];
        QTreeWidgetItem *node = nullptr;
        if (r == root)
            node = new QTreeWidgetItem(ui->ReplyTree);
        else if (QTreeWidgetItem *above = nodes.value(m.ReplyTo))
            node = new QTreeWidgetItem(above);
        if (!node)
            continue;
        node->setText(0, NodeText(m));
        node->setData(0, NumberRole, m.Number);
        if (!nodes.contains(m.Number))
            nodes.insert(m.Number, node);
        if (r == selectedRow)
            selectedNode = node;
    }
    ui->ReplyTree->expandAll();
    ui->ReplyTree->setCurrentItem(selectedNode);
    ui->ReplyTree->scrollToTop();
    MessageRow = selectedRow;
    ReplyTreeReady = true;
}

// ---- links ----------------------------------------------------------------------------------

void TBOlcLogForm::UtlButtonClick()
{
    if (UtlLink)
        return FollowLink();
    ShowReplyTree(!ReplyMode);
}

// The link that the shown message (or link message) holds, when it is the
// holder's own record in the link index. Both are read afresh: a reader may
// have stored the link since the board was listed.
void TBOlcLogForm::FollowLink()
{
    const MessageRecord *message = CurrentMessage();
    const BoardRecord *board = CurrentBoardRecord();
    if (!message || !board)
        return;
    const QString linkIndex = Server.linkIndex();
    // The message on show: a link message, or the board's message found by its number.
    const bool inLink = LinkIndex != 0;
    const std::optional<MessageRecord> shown =
        inLink ? ReadRecordAt(linkIndex, LinkIndex) : FindRecordOfNumber(BoardIndexFile(), message->Number);
    const qint32 holder = !shown ? 0 : inLink ? shown->LinkHolder : shown->Number;
    const QString title = shown ? shown->Title : QString();
    LinkIndex = shown ? shown->LinkIndex : 0;
    if (LinkIndex < 1) {
        LinkIndex = 0;
        Status(QStringLiteral("Link Message Not Downloaded."));
        return SetUtl(true, false);
    }
    const std::optional<MessageRecord> link = ReadRecordAt(linkIndex, LinkIndex);
    if (!link || link->AuxText2 != board->BoardKey || link->LinkHolder != holder) {
        LinkIndex = 0;
        Status(QStringLiteral("Link Message Data Failure."));
        return SetUtl(true, false);
    }
    ShowLinkMessage(*link, title);
}

void TBOlcLogForm::ShowLinkMessage(const MessageRecord &link, const QString &holderTitle)
{
    const QStringList c = MessageTexts(MessageRow, *CurrentMessage());
    ShowPane(ui->LinkRichView);
    SetLinkView(true);
    SetUtl(true, false);
    SetUpdate(UpdateAction::Update);
    OlcpUrl url;
    ParseOlcpUrl(holderTitle, url);
    TRichView *view = ui->LinkRichView;
    view->Clear();
    Status(link.Erased ? QStringLiteral("Erase marked.") : QString());
    view->AddHead(QStringLiteral("Link Server : ") + plat::inet_ntoa(url.Address) + Crlf + QStringLiteral("Link Board  : ") +
                  url.BoardKey + Crlf + QString(50, QLatin1Char('-')) + Crlf + QStringLiteral("Number   : ") +
                  c[NumColumn] + Crlf + QStringLiteral("Title    : ") + c[TitleColumn] + Crlf +
                  QStringLiteral("IP Addr  : ") + plat::inet_ntoa(link.Address) + Crlf + QStringLiteral("Handle   : ") +
                  link.Handle + Crlf + QStringLiteral("User ID  : ") + link.UserId + Crlf +
                  QStringLiteral("DateTime : ") + DateTimeText(link.DateTime) + Crlf + QStringLiteral("Bytes    : ") +
                  IntToZeroStr(link.Bytes, 9));
    if (link.Deleted)
        return;
    if (!(link.Flags & MessageRecord::FileFlag)) {
        if (link.Start < 0)
            return;
        // "Link" is offered as for the holder message: its link may lead on from here.
        return ShowBody(view, plat::ReadFileAt(Server.linkText(), link.Start, link.Bytes), link,
                        c[LinkColumn] == QLatin1String("*"));
    }
    ShowFile(view, Server.linkAttachment(link.AuxText2, link.LinkHolder, link.ReplyTo, link.FileName), false, link);
}

void TBOlcLogForm::ReturnFromLink()
{
    LinkIndex = 0;
    SetUpdate(UpdateAction::Update);
    Status({});
    ShowPane(ui->ClientRichView);
    SetLinkView(false);
}

// A link view, shown or failed, is left with Return for its holder message.
void TBOlcLogForm::ExitButtonClick()
{
    if (LinkView)
        ReturnFromLink();
    else
        close();
}

// ---- erase, update and the small handlers ----------------------------------------------------

// The link message on show, else the shown or selected message when it is
// downloaded: its erase mark inverted in its file.
void TBOlcLogForm::EraseButtonClick()
{
    if (UtlLink)
        SetUtl(true, false);
    SetUpdate(UpdateAction::Update);
    QString error;
    if (LinkIndex != 0) {
        const std::optional<MessageRecord> link = ToggleErased(Server.linkIndex(), LinkIndex, &error);
        if (!link)
            return Status(QStringLiteral("*** Erase Error : ") + error);
        return Status(link->Erased ? QStringLiteral("Erase marked.") : QString());
    }
    const MessageRecord *message = CurrentMessage();
    if (!message || message->Start < 0)
        return;
    qint64 found = 0;
    if (!FindRecordOfNumber(BoardIndexFile(), message->Number, &found))
        return;
    const std::optional<MessageRecord> toggled = ToggleErased(BoardIndexFile(), found, &error);
    if (!toggled)
        return Status(QStringLiteral("*** Erase Error : ") + error);
    Records[MessageRow - 1].Erased = toggled->Erased;
    FillMessageRow(MessageRow);
}

void TBOlcLogForm::UpdateButtonClick()
{
    switch (Update) {
    case UpdateAction::Update:
        UpdatePopup->popup(frameGeometry().topLeft() + QPoint(420, 390));
        break;
    case UpdateAction::ViewFile:
        ShowFileInside();
        break;
    case UpdateAction::Back:
        // The local HTML view has no forward: Shift only clears.
        ShiftHeld = false;
        HtmlControl->Back();
        break;
    case UpdateAction::Print:
        (LinkView ? ui->LinkRichView : ui->ClientRichView)->Print();
        break;
    }
}

void TBOlcLogForm::QuoteEditExit()
{
    if (!ui->QuoteEdit->text().isEmpty())
        QuotationMark = ui->QuoteEdit->text();
    for (TRichView *view : {ui->ClientRichView, ui->LinkRichView})
        view->PopupQuote = QuotationMark;
}

void TBOlcLogForm::FullScreenClick()
{
    const bool full = FullScreen->isChecked();
    ui->TopPanel->setVisible(!full);
    ui->BottomPanel->setVisible(!full);
}
