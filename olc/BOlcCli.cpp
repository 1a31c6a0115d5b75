#include "olc/BOlcCli.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/RichView.h"
#include "core/ScrollImage.h"
#include "olc/BOlcGrid.h"
#include "olc/BOlcLogMnt.h"
#include "olc/BOlcRead.h"
#include "olc/BOlcTrd.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/ModifierKey.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "tel/BRecvTel.h"
#include "tel/BTelServ.h"
#include "ui_BOlcCli.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTreeWidget>

#include <algorithm>
#include <limits>

ConnectionWindowKind OlcClientWindowKind{
    QStringLiteral("OLC client window"), 2,
    [](const HostRecord &host) -> QWidget * {
        // One window per server folder: a second start shows the first one.
        if (TBOlcClientForm *open = TBOlcClientForm::ForOlcName(host.OlcName)) {
            open->raise();
            open->activateWindow();
            return nullptr;
        }
        return new TBOlcClientForm(host);
    },
    [](QWidget *window, ConnectionStartReporter reporter) {
        new TBOlcClientThread(static_cast<TBOlcClientForm *>(window), std::move(reporter));
    },
    [](QWidget *window) -> QWidget * { return static_cast<TBOlcClientForm *>(window)->ui->LogonButton; }};

namespace {

constexpr int WindowHeight = 480;
constexpr int WindowStep = 20;
constexpr int BoardPanelTop = 200;
constexpr int UserGridHeight = 160;
constexpr int OptPanelWidth = 240;
constexpr qint64 MaxBodyBytes = MaxBufBytes;

constexpr char AccountPasswordLabel[] = "ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ";

QString Digits(qint64 number, int width)
{
    return IntToZeroStr(number, width);
}

QString DateText(double day)
{
    if (day == 0)
        return {};
    const QDateTime date = plat::FromDayDate(day);
    return plat::FormatShortDate(date) + QLatin1Char(' ') + plat::FormatLongTime(date);
}

// A grid column: its title and the widest value it shows. A text of free
// length counts as so many characters of average width, a key or user ID as
// eight wide letters.
struct Column {
    QString Title, Widest;
};
QString Letters(int count)
{
    return QString(count, QLatin1Char('n'));
}
const QString WideKey = QStringLiteral("MMMMMMMM");
const QString WidestAddress = QStringLiteral("255.255.255.255");
const QString Mark = QStringLiteral("*");
QString WidestDate()
{
    return DateText(plat::ToDayDate(QDateTime(QDate(2000, 12, 28), QTime(23, 59, 58))));
}

std::vector<Column> BoardColumns()
{
    return {{QString(), QStringLiteral("0000")},      {QStringLiteral("Board Name"), Letters(30)},
            {QStringLiteral("PW"), Mark},             {QStringLiteral("R/O"), Mark},
            {QStringLiteral("ReadPtr"), Digits(0, 5)}, {QStringLiteral("MsgNum"), Digits(0, 5)},
            {QStringLiteral("TopMsg"), Digits(0, 5)},  {QStringLiteral("LastPost"), WidestDate()},
            {QStringLiteral("Parent"), WideKey}};
}

std::vector<Column> TitleColumns()
{
    return {{QString(), Digits(0, 5)},                {QStringLiteral("Message Title"), Letters(30)},
            {QStringLiteral("READ"), Mark},           {QStringLiteral("BIN"), Mark},
            {QStringLiteral("LNK"), Mark},            {QStringLiteral("Reply"), Digits(0, 5)},
            {QStringLiteral("IP Addr"), WidestAddress}, {QStringLiteral("Handle"), Letters(16)},
            {QStringLiteral("UserID"), WideKey},      {QStringLiteral("Date"), WidestDate()},
            {QStringLiteral("Bytes"), Digits(0, 9)},  {QStringLiteral("FileName"), Letters(16)}};
}

std::vector<Column> UserColumns()
{
    return {{QStringLiteral("Port"), QStringLiteral("MMMM")},    {QStringLiteral("Number"), Digits(0, 7)},
            {QStringLiteral("IP Address"), WidestAddress},       {QStringLiteral("Handle"), Letters(16)},
            {QStringLiteral("User ID"), WideKey},                {QStringLiteral("Logon Time"), WidestDate()},
            {QStringLiteral("Board"), Digits(0, 5)},             {QStringLiteral("UsingPort"), Letters(8)}};
}

// Sizes each column to its title or its widest value at the grid's font,
// whichever is wider: a row of the widest values measured and taken away again.
void SetUpGrid(QTableWidget *grid, const std::vector<Column> &columns)
{
    grid->setColumnCount(int(columns.size()));
    grid->setRowCount(1);
    for (int c = 0; c < int(columns.size()); ++c) {
        grid->setHorizontalHeaderItem(c, new QTableWidgetItem(columns[size_t(c)].Title));
        SetCell(grid, 0, c, columns[size_t(c)].Widest);
    }
    grid->resizeColumnsToContents();
    grid->setRowCount(0);
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 4);
}

// The width that shows every column of a grid, with room for its scroll bar.
int WholeWidth(const QTableWidget *grid)
{
    return grid->horizontalHeader()->length() + 2 * grid->frameWidth() +
           grid->verticalScrollBar()->sizeHint().width();
}

bool AskYesNo(QWidget *owner, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, owner->windowTitle(), text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setObjectName(QStringLiteral("ChildWindowsQuestion"));
    return box.exec() == QMessageBox::Yes;
}

} // namespace

// What the reader and post windows of this window ask of it. They name their
// board by its key: its row is looked up at each call, as a reloaded board
// list may have moved it (row 0, none, when the board is gone).
class TBOlcClientForm::ChildHooks final : public OlcClientHooks {
public:
    explicit ChildHooks(TBOlcClientForm &client) : Client(client) {}

    void ShowClientStatus(const QString &text) override { Client.Status(text); }
    QStatusBar *ClientStatusBar() override { return Client.ui->OlcStatusBar; }
    void ChangeReaderCount(const QString &key, int delta) override
    {
        Client.ChangeChildCount(Client.BoardRow(key), delta, &BoardTitleCache::ReaderCount);
    }
    void ChangePosterCount(const QString &key, int delta) override
    {
        Client.ChangeChildCount(Client.BoardRow(key), delta, &BoardTitleCache::PosterCount);
    }
    QString BoardNameText() override { return Client.ui->BrdNameLabel->text(); }
    QString PointerText() override { return Client.ui->PointerLabel->text(); }
    QString CurrentHeaderText() override { return Client.ShownDetail; }
    void EnableReadButton() override { Client.ui->ReadButton->setEnabled(true); }
    void ReenterBoard(const QString &key) override { Client.ReenterBoard(Client.BoardRow(key)); }
    void MessageRead(const QString &key, std::int32_t number) override
    {
        Client.MessageRead(Client.BoardRow(key), number);
    }
    std::int32_t LastNumber(const QString &key) override
    {
        const int board = Client.BoardRow(key);
        if (board < 1)
            return 0;
        const BoardRecord &record = Client.Board[size_t(board)];
        return std::int32_t(std::clamp<qint64>(qint64(record.TopMsg) + record.MsgNum - 1, 0,
                                               std::numeric_limits<std::int32_t>::max()));
    }

private:
    TBOlcClientForm &Client;
};

TBOlcClientForm::TBOlcClientForm(const HostRecord &host, QWidget *parent)
    : QWidget(parent), ConnectionWindowState(this),
      ui(std::make_unique<Ui::TBOlcClientForm>()), ScreenPopup(new QMenu(this)),
      FullScreen(ScreenPopup->addAction(QStringLiteral("Full Screen"))), TargetHost(host), Folder(host.OlcName)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    ScreenPopup->setObjectName(QStringLiteral("ScreenPopup"));
    FullScreen->setObjectName(QStringLiteral("FullScreen"));
    FullScreen->setCheckable(true);
    Hooks = std::make_shared<ChildHooks>(*this);
    ConnectHandlers();
    FormCreate();
}

TBOlcClientForm::~TBOlcClientForm()
{
    Hooks.reset();
    BreakConnection();
    qApp->removeEventFilter(this);
    ReleaseFolder();
}

TBOlcClientForm *TBOlcClientForm::ForOlcName(const QString &olcName)
{
    // A window whose start failed waits for its release; it holds no connection.
    const olc::ServerFolder folder(olcName);
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *client = qobject_cast<TBOlcClientForm *>(w);
        if (client && client->HoldsFolder && client->Folder.path() == folder.path())
            return client;
    }
    return nullptr;
}

BoardTitleCache *TBOlcClientForm::CacheOf(int board) const
{
    if (board < 1 || board >= int(Board.size()))
        return nullptr;
    const auto cache = Caches.find(Board[size_t(board)].BoardKey);
    return cache == Caches.end() ? nullptr : cache->second.get();
}

void TBOlcClientForm::ConnectHandlers()
{
    for (auto [button, handler] : {std::pair{ui->ExitButton, &TBOlcClientForm::ExitButtonClick},
                                   {ui->LogonButton, &TBOlcClientForm::LogonButtonClick},
                                   {ui->SwitchButton, &TBOlcClientForm::SwitchButtonClick},
                                   {ui->TitleButton, &TBOlcClientForm::TitleButtonClick},
                                   {ui->ReadButton, &TBOlcClientForm::ReadButtonClick},
                                   {ui->LinkButton, &TBOlcClientForm::LinkButtonClick}})
        connect(button, &QPushButton::clicked, this, handler);
    ConnectOptionHandlers();
    connect(ui->BoardGrid, &QTableWidget::currentCellChanged, this, &TBOlcClientForm::BoardGridClick);
    connect(ui->BoardGrid, &QTableWidget::cellDoubleClicked, this, &TBOlcClientForm::BoardGridDblClick);
    connect(ui->BoardTree, &QTreeWidget::currentItemChanged, this, &TBOlcClientForm::BoardTreeChanging);
    connect(ui->BoardTree, &QTreeWidget::itemDoubleClicked, this, &TBOlcClientForm::BoardTreeDblClick);
    connect(ui->MsgsGrid, &QTableWidget::currentCellChanged, this, &TBOlcClientForm::MsgsGridClick);
    connect(ui->MsgsGrid, &QTableWidget::cellDoubleClicked, this, &TBOlcClientForm::MsgsGridDblClick);
    connect(ui->ReplyTree, &QTreeWidget::currentItemChanged, this, &TBOlcClientForm::ReplyTreeChanging);
    connect(ui->ReplyTree, &QTreeWidget::itemDoubleClicked, this, &TBOlcClientForm::ReplyTreeDblClick);
    connect(FullScreen, &QAction::triggered, this, &TBOlcClientForm::FullScreenClick);
}

// ---- window life -------------------------------------------------------------

void TBOlcClientForm::FormCreate()
{
    HtmlControl = TRecvHtmlView::InsertAfter(ui->RecvSImage, [this](const QUrl &url) { Status(url.toString()); });
    SetUpGrid(ui->BoardGrid, BoardColumns());
    SetUpGrid(ui->MsgsGrid, TitleColumns());
    SetUpGrid(ui->UserGrid, UserColumns());
    // Link keeps its place in the button row while hidden: showing it never
    // widens the window.
    QSizePolicy linkPolicy = ui->LinkButton->sizePolicy();
    linkPolicy.setRetainSizeWhenHidden(true);
    ui->LinkButton->setSizePolicy(linkPolicy);
    // Key preview: the Shift and Ctrl one-shots come from keys typed anywhere in the window.
    qApp->installEventFilter(this);
}

bool TBOlcClientForm::StartConversation(plat::SOCKET s, const HostRecord &target, qint32 serverChannel)
{
    if (Closed || CloseRequested)
        return false;
    TargetHost = target;
    Socket = s;
    ServerChannel = serverChannel;
    Started = OwnsChannel = true;
    // Store maintenance keeps off the folder while this window works in it.
    if (Folder.valid()) {
        OlcServerFolderOpened(Folder.path());
        HoldsFolder = true;
    }
    show();
    return true;
}

void TBOlcClientForm::ReleaseFolder()
{
    if (std::exchange(HoldsFolder, false))
        OlcServerFolderClosed(Folder.path());
}

void TBOlcClientForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The window is set up once, when the thread first shows it.
    if (!event->spontaneous() && !SetUp)
        FormShow();
}

void TBOlcClientForm::FormShow()
{
    if (!Started) {
        setGeometry(0, 0, 0, 0);
        return;
    }
    SetUp = true;
    ServerVersion = PeerVersionNumber(TargetHost.OlcpVersion);
    ChannelNumber = TargetHost.Channel;
    const int offset = (ChannelNumber + 2) * WindowStep;
    move(MainPosition.Left + offset, MainPosition.Top + offset);
    // As wide as the main window, and wide enough for every column of the
    // title list as far as the screen allows.
    const int screenWidth = screen() ? screen()->availableGeometry().width() : MainPosition.Width;
    resize(std::max(MainPosition.Width, std::min(WholeWidth(ui->MsgsGrid), screenWidth)), WindowHeight);
    ui->TopPanel->show();
    ui->BottomPanel->show();

    Error = ShiftFlag = CtrlFlag = TreeMode = false;
    HandlersEnabled = true;
    ui->WelcomeRichView->Clear();
    ui->WelcomeRichView->HideHead();
    ui->ClientRichView->Clear();
    Status(QString());
    ui->ChNumLabel->setText(QString::number(ChannelNumber));
    ui->HostNameLabel->setText(TargetHost.HostName);
    ui->MemoLabel->setText(TargetHost.Memo);
    {
        std::lock_guard lock(WaitingTelsLock);
        ui->NumberLabel->setText(QString::number(WaitingTels));
    }
    ui->OlcpvLabel->setText(TargetHost.OlcpVersion);

    ui->OptButton->setText(QStringLiteral("Option"));
    ui->SwitchButton->setText(QStringLiteral("Msgs"));
    ui->PostButton->setText(QStringLiteral("Post"));
    ui->TitleButton->setText(QStringLiteral("Tree"));
    ui->ExitButton->setText(QStringLiteral("Exit"));
    ui->LogonButton->setText(QStringLiteral("Logon"));
    ui->BoardSplit->setSizes({BoardPanelTop, WindowHeight - BoardPanelTop});
    ui->OptSplit1->setSizes({UserGridHeight, WindowHeight - UserGridHeight});
    ui->OptSplit->setSizes({OptPanelWidth, width() - OptPanelWidth});
    HideViews();
    ui->OptPanel->hide();
    ui->BoardPanel->show();
    ui->BoardGrid->show();
    ui->BoardTree->hide();
    ui->ClientRichView->PopupQuote = QuotationMark;

    FullScreen->setChecked(false);
    ui->LogonButton->setEnabled(true);
    for (QPushButton *button : {ui->OptButton, ui->SwitchButton, ui->PostButton, ui->ReadButton, ui->TitleButton})
        button->setEnabled(false);
    ui->ExitButton->show();

    Board.assign(1, olc::MakeBoardHeader());
    Current = EnteredBoard = 0;
    ServerBoardKey.clear();
    Caches.clear();
    ui->BoardGrid->setRowCount(0);

    LogBanner(QStringLiteral("OLC      to    [[ ") + TargetHost.IpAddress + QStringLiteral(" ]]  ") + TargetHost.Memo +
              QStringLiteral("\r\n") + QString(15, QLatin1Char(' ')) + plat::FormatShortDate(QDateTime::currentDateTime()) +
              QLatin1Char(' ') + plat::FormatLongTime(QDateTime::currentDateTime()));
    ui->LogonButton->setFocus();
}

bool TBOlcClientForm::event(QEvent *event)
{
    return HandleConnectionMessage(event, ui->NumberLabel) || QWidget::event(event);
}

bool TBOlcClientForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        (watched == this || isAncestorOf(static_cast<QWidget *>(watched))))
        FormKeyDown(static_cast<QKeyEvent *>(event));
    return QWidget::eventFilter(watched, event);
}

void TBOlcClientForm::FormKeyDown(QKeyEvent *event)
{
    const Qt::KeyboardModifier held = plat::ArmingModifier(*event);
    if (held == Qt::ShiftModifier)
        ShiftFlag = true;
    else if (held == Qt::ControlModifier)
        CtrlFlag = true;
}

void TBOlcClientForm::contextMenuEvent(QContextMenuEvent *event)
{
    ScreenPopup->exec(event->globalPos());
}

void TBOlcClientForm::FullScreenClick()
{
    ui->TopPanel->setVisible(!FullScreen->isChecked());
    ui->BottomPanel->setVisible(!FullScreen->isChecked());
}

void TBOlcClientForm::closeEvent(QCloseEvent *event)
{
    if (ConversationDecidesClose(event))
        return;
    if (!Error && !CloseRequested && !FormCloseQuery()) {
        event->ignore();
        return;
    }
    Closed = true;
    FormClose();
    event->accept();
}

bool TBOlcClientForm::FormCloseQuery()
{
    return std::none_of(Caches.begin(), Caches.end(),
                        [](const auto &c) { return c.second->ReaderCount > 0 || c.second->PosterCount > 0; }) ||
           AskYesNo(this, QStringLiteral("開いている Child Access (Read/Post) Window があります.閉じてもいいですか?"));
}

void TBOlcClientForm::FormClose()
{
    plat::BroadcastToForms(CloseChannelMessage, 0, ChannelNumber);
    if (!Error && Socket != plat::INVALID_SOCKET && Step(SendString(Socket, "OFF\r")) && Board.size() > 1)
        SaveBoards();
    Caches.clear();
    BreakConnection();
    if (OwnsChannel)
        ChannelStates[static_cast<size_t>(ChannelNumber)] = 0;
    OwnsChannel = false;
    ReleaseFolder();
}

bool TBOlcClientForm::CloseChildWindows()
{
    if (!FormCloseQuery())
        return false;
    plat::BroadcastToForms(CloseChannelMessage, 0, ChannelNumber);
    return true;
}

bool TBOlcClientForm::SaveBoards()
{
    QString error;
    if (olc::SaveBoardTable(Folder.boardTable(), Board, &error))
        return true;
    WriteLog(ALPHA, QStringLiteral("*** OLC Board Table *** ") + error);
    return false;
}

void TBOlcClientForm::Status(const QString &text)
{
    if (text.isEmpty())
        ui->OlcStatusBar->clearMessage();
    else
        ui->OlcStatusBar->showMessage(text);
}

// ---- logon and logoff ------------------------------------------------------------

void TBOlcClientForm::LogonButtonClick()
{
    Conversation conversation(*this);
    if (conversation.nested() || !CloseChildWindows())
        return;
    if (ui->LogonButton->text() == QLatin1String("Logon"))
        Logon();
    else
        Logoff();
}

void TBOlcClientForm::Logon()
{
    Status(QString());
    ui->WelcomeRichView->Clear();
    Caches.clear();
    ServerBoardKey.clear();
    QString reply;
    if (!Step(SendRecvString(Socket, QStringLiteral("LOGON\r"), reply)))
        return;
    if (reply != QLatin1String("ACK")) {
        Status(QStringLiteral("Input \"GUEST\" for guest login."));
        QByteArray password;
        if (!ShowPasswordDialog(this, QString::fromUtf8(AccountPasswordLabel), QString(), password, true,
                                QString::fromUtf8(AccountPasswordLabel), QLatin1Char('*'))) {
            Step(SendString(Socket, "CAN\r"));
            return;
        }
        if (!Step(SendString(Socket, password + "\r") && RecvString(Socket, reply)))
            return;
        if (reply != QLatin1String("ACK")) {
            Status(QStringLiteral("Account Password Disagreement !"));
            return;
        }
    }
    Status(QString());
    QByteArray welcome;
    int length = 0;
    if (!Step(RecvBuf(Socket, welcome, length, MaxBufBytes + 1)))
        return;
    ui->WelcomeRichView->LoadFromBuffer(welcome);
    // Without a board list the logon stands with no boards, and nothing of
    // the board table is saved over.
    Board.assign(1, olc::MakeBoardHeader());
    Current = EnteredBoard = 0;
    if (!RequestBoardList() && Error)
        return;
    ui->BoardGrid->show();
    ui->BoardTree->hide();
    FillBoardGrid();
    if (!LoggedOffOnce)
        FillBoardTree();
    if (Board.size() > 1) {
        EnteredBoard = 0;
        SelectBoardRow(1);
        OpenBoard();
    }
    ui->LogonButton->setText(QStringLiteral("Logoff"));
    for (QPushButton *button : {ui->OptButton, ui->SwitchButton, ui->TitleButton})
        button->setEnabled(true);
    ui->PostButton->setEnabled(false);
    ui->ReadButton->setEnabled(false);
    ui->ExitButton->hide();
    ui->LinkButton->hide();
    ui->SwitchButton->setFocus();
}

void TBOlcClientForm::Logoff()
{
    LoggedOffOnce = true;
    ui->BoardGrid->setRowCount(0);
    QByteArray farewell;
    int length = 0;
    if (!Step(SendString(Socket, "LOGOFF\r") && RecvBuf(Socket, farewell, length, MaxBufBytes + 1)))
        return;
    ui->WelcomeRichView->LoadFromBuffer(farewell);
    if (Board.size() > 1)
        SaveBoards();
    HideViews();
    ui->OptPanel->hide();
    ui->BoardPanel->show();
    ui->LogonButton->setText(QStringLiteral("Logon"));
    ui->SwitchButton->setText(QStringLiteral("Msgs"));
    ui->PostButton->setText(QStringLiteral("Post"));
    ui->TitleButton->setText(QStringLiteral("Tree"));
    ui->ExitButton->setText(QStringLiteral("Exit"));
    ui->OptButton->setText(QStringLiteral("Option"));
    for (QPushButton *button : {ui->OptButton, ui->SwitchButton, ui->PostButton, ui->ReadButton, ui->TitleButton})
        button->setEnabled(false);
    ui->ExitButton->show();
    ui->LinkButton->hide();
    ui->ExitButton->setFocus();
}

// ---- board list --------------------------------------------------------------------

bool TBOlcClientForm::RequestBoardList()
{
    // The known boards keep their passwords, pointers and options through the
    // merge: a table that is there but cannot be read stops the exchange before
    // it starts, as a merge with nothing would write all of them away.
    std::vector<BoardRecord> saved;
    QString error;
    if (!olc::LoadBoardTable(Folder.boardTable(), saved, &error)) {
        Status(QStringLiteral("*** ") + error);
        WriteLog(ALPHA, QStringLiteral("*** OLC Board Table *** ") + error);
        return false;
    }
    if (!Step(SendString(Socket, "BOARD\r") && olc::ReceiveBoardList(Socket, ServerVersion, Folder, saved, Board)))
        return false;
    if (!olc::WriteBoardTable(Folder, Board, &error))
        WriteLog(ALPHA, QStringLiteral("*** OLC Board Table *** ") + error);
    return true;
}

void TBOlcClientForm::FillBoardGrid()
{
    HandlersEnabled = false;
    ui->BoardGrid->setRowCount(int(Board.size()) - 1);
    for (int b = 1; b < int(Board.size()); ++b)
        ShowBoardRow(b);
    HandlersEnabled = true;
}

void TBOlcClientForm::ShowBoardRow(int b)
{
    const BoardRecord &board = Board[size_t(b)];
    const int row = b - 1;
    QTableWidget *grid = ui->BoardGrid;
    SetCell(grid, row, BoardNumberColumn, QString::number(board.BoardNumber));
    SetCell(grid, row, BoardNameColumn, board.BoardName);
    SetCell(grid, row, PasswordColumn, board.HasPassword ? QStringLiteral("*") : QString());
    SetCell(grid, row, ReadOnlyColumn, board.ReadOnly ? QStringLiteral("*") : QString());
    SetCell(grid, row, ReadPtrColumn, Digits(board.ReadPtr, 5));
    SetCell(grid, row, MsgNumColumn, Digits(board.MsgNum, 5));
    SetCell(grid, row, TopMsgColumn, Digits(board.TopMsg, 5));
    SetCell(grid, row, LastPostColumn, DateText(board.LastPost));
    SetCell(grid, row, ParentColumn, board.ParentKey);
}

void TBOlcClientForm::FillBoardTree()
{
    HandlersEnabled = false;
    ui->BoardTree->clear();
    std::map<int, QTreeWidgetItem *> nodes;
    for (const olc::BoardPlace &place : olc::PlaceBoards(Board)) {
        QTreeWidgetItem *parent = place.Parent > 0 ? nodes[place.Parent] : nullptr;
        auto *node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(ui->BoardTree);
        node->setText(0, Board[size_t(place.Board)].BoardName);
        node->setData(0, Qt::UserRole, Board[size_t(place.Board)].BoardKey);
        nodes[place.Board] = node;
    }
    ui->BoardTree->expandAll();
    ui->BoardTree->setCurrentItem(ui->BoardTree->topLevelItem(0));
    HandlersEnabled = true;
}

void TBOlcClientForm::SelectBoardRow(int board)
{
    const bool enabled = HandlersEnabled;
    HandlersEnabled = false;
    Current = board;
    ui->BoardGrid->setCurrentCell(board - 1, BoardNumberColumn);
    HandlersEnabled = enabled;
}

void TBOlcClientForm::BoardGridClick()
{
    if (!HandlersEnabled)
        return;
    Conversation conversation(*this);
    Status(QString());
    const int row = ui->BoardGrid->currentRow() + 1;
    if (row == Current || row < 1)
        return;
    EnteredBoard = Current;
    Current = row;
    if (OpenBoard() && ui->SwitchButton->isEnabled())
        ui->SwitchButton->setFocus();
}

void TBOlcClientForm::BoardTreeChanging()
{
    if (!HandlersEnabled || !ui->BoardTree->currentItem())
        return;
    if (const int b = BoardRow(ui->BoardTree->currentItem()->data(0, Qt::UserRole).toString()))
        ui->BoardGrid->setCurrentCell(b - 1, BoardNumberColumn);
}

int TBOlcClientForm::BoardRow(const QString &key) const
{
    for (size_t row = 1; row < Board.size(); ++row) {
        if (Board[row].BoardKey == key)
            return int(row);
    }
    return 0;
}

void TBOlcClientForm::BoardGridDblClick()
{
    Conversation conversation(*this);
    if (!conversation.nested() && Current > 0)
        EnterBoard();
}

void TBOlcClientForm::BoardTreeDblClick()
{
    BoardGridDblClick();
}

bool TBOlcClientForm::OpenBoard()
{
    if (Current < 1 || Current >= int(Board.size()))
        return false;
    const BoardRecord &board = Board[size_t(Current)];
    QString error;
    if (!olc::PrepareBoardFiles(Folder, board, &error)) {
        Status(QStringLiteral("*** ") + error);
        return false;
    }
    std::unique_ptr<BoardTitleCache> &cache = Caches[board.BoardKey];
    if (!cache || cache->TopMsg != board.TopMsg) {
        // The slots count from TopMsg: a board whose oldest message moved is read afresh.
        auto fresh = std::make_unique<BoardTitleCache>();
        olc::StartListing(*fresh, board);
        fresh->TopMsg = board.TopMsg;
        plat::RecordFile index(Folder.boardIndex(board.BoardKey), MessageRecord::Size);
        if (!index.open() || !fresh->Slots.load(index, board.TopMsg)) {
            Status(QStringLiteral("*** ") + index.path() + QStringLiteral(" : ") + index.errorString());
            return false;
        }
        cache = std::move(fresh);
    }
    ui->BrdNameLabel->setText(board.BoardName);
    ui->PointerLabel->setText(Digits(cache->ListPtr, 5));
    ui->PWEdit->setText(plat::FromCp932(ConvertPassword(board.BoardPassword)));
    ui->PtrEdit->setText(Digits(cache->ListPtr, 5));
    ui->TopBiasEdit->setText(QString::number(board.TopBias));
    ShowTextPriority();
    return true;
}

// ---- entering boards and listing titles ----------------------------------------------

void TBOlcClientForm::EnterBoard()
{
    BoardTitleCache *cache = Cache();
    if (!cache && !(OpenBoard() && (cache = Cache())))
        return;
    const BoardRecord &board = Board[size_t(Current)];
    const bool newEntry = Current != EnteredBoard;
    std::int32_t count = 0;
    if (newEntry) {
        EnteredBoard = Current;
        if (cache->ListPtr >= cache->LastListed) {
            QString reply;
            if (!Step(SendString(Socket, "ENTER\r") && SendInteger(Socket, board.BoardNumber) &&
                      SendString(Socket, board.BoardPassword + "\r") && SendInteger(Socket, cache->FirstWanted) &&
                      RecvString(Socket, reply)))
                return;
            cache->Entered = reply == QLatin1String("ACK");
            if (cache->Entered) {
                ServerBoardKey = board.BoardKey;
                if (!ReceiveTitles(true, count))
                    return;
            }
        } else {
            count = std::int32_t(std::clamp<qint64>(qint64(cache->LastListed) - cache->ListPtr, 0, INT32_MAX));
        }
    }
    if (!cache->Entered) {
        Status(QStringLiteral("... Board Password Disagreement ! ..."));
        if (ui->SwitchButton->isEnabled())
            ui->SwitchButton->setFocus();
        return;
    }
    ShowTitleList();
    if (newEntry) {
        FillTitleList(false, count);
        // The first new title, or the last one when nothing is new. A row that
        // was current already is no change to the grid: it is taken at once.
        SelectTitleRow(count > 0 ? cache->RowCount - count + 1 : cache->RowCount);
        MsgsGridClick();
        cache->AtEnd = count == 0;
    }
    ui->SwitchButton->setText(QStringLiteral("Board"));
    ui->TitleButton->setText(QStringLiteral("Title"));
    EnablePosting();
    ui->ReadButton->setEnabled(true);
    if (isActiveWindow())
        ui->ReadButton->setFocus();
}

void TBOlcClientForm::ShowTitleList()
{
    ui->BoardPanel->hide();
    ui->OptPanel->hide();
    HideViews();
    TreeMode = false;
    ui->MsgsGrid->show();
}

void TBOlcClientForm::EnablePosting()
{
    ui->PostButton->setEnabled(IsLocalAddress(TargetHost.IpAddress) || !Board[size_t(Current)].ReadOnly);
}

bool TBOlcClientForm::ReceiveTitles(bool firstEntry, std::int32_t &count)
{
    BoardTitleCache &cache = *Cache();
    const BoardRecord &board = Board[size_t(Current)];
    plat::RecordFile index(Folder.boardIndex(board.BoardKey), MessageRecord::Size);
    std::int32_t received = 0;
    if (!index.open()) {
        Error = true;
        Status(QStringLiteral("*** ") + index.path() + QStringLiteral(" : ") + index.errorString());
        return false;
    }
    if (!Step(olc::ReceiveTitles(Socket, index, cache.Slots, board.TopMsg, received)))
        return false;
    count = olc::NewTitleCount(cache, received, firstEntry);
    cache.LastListed = std::int32_t(std::min<qint64>(qint64(cache.LastListed) + count, INT32_MAX));
    return true;
}

void TBOlcClientForm::FillTitleList(bool append, std::int32_t count)
{
    BoardTitleCache &cache = *Cache();
    const BoardRecord &board = Board[size_t(Current)];
    qint64 first = qint64(cache.FirstWanted) + 1;
    qint64 n = qint64(cache.LastListed) - cache.FirstWanted;
    if (append) {
        first = qint64(cache.LastListed) - count + 1;
        n = count;
    } else {
        cache.RowCount = 0;
    }
    cache.SelectedRow = cache.RowCount;
    plat::RecordFile index(Folder.boardIndex(board.BoardKey), MessageRecord::Size);
    std::vector<MessageRecord> titles;
    if (index.open())
        titles = olc::ReadTitles(index, cache.Slots, board.TopMsg, first, n);
    const bool enabled = HandlersEnabled;
    HandlersEnabled = false;
    QTableWidget *grid = ui->MsgsGrid;
    ListedBoardKey = board.BoardKey;
    grid->setRowCount(cache.RowCount + int(titles.size()));
    for (const MessageRecord &title : titles) {
        const int row = cache.RowCount++;
        SetCell(grid, row, NumberColumn, Digits(title.Number, 5));
        SetCell(grid, row, TitleTextColumn, title.Deleted ? QString::fromLatin1(olc::DeletedTitle) : title.Title);
        SetCell(grid, row, ReadColumn, title.Start >= 0 ? QStringLiteral("*") : QString());
        SetCell(grid, row, BinColumn, title.Flags & MessageRecord::FileFlag ? QStringLiteral("*") : QString());
        SetCell(grid, row, LinkColumn, title.Flags & MessageRecord::LinkFlag ? QStringLiteral("*") : QString());
        SetCell(grid, row, ReplyColumn, title.ReplyTo > 0 ? Digits(title.ReplyTo, 5) : QString());
        SetCell(grid, row, AddressColumn,
                title.Deleted ? QString()
                              : title.Address == 0 ? QStringLiteral("Serial") : plat::inet_ntoa(title.Address));
        SetCell(grid, row, HandleColumn, title.Handle);
        SetCell(grid, row, UserIdColumn, title.UserId);
        SetCell(grid, row, DateColumn, DateText(title.DateTime));
        SetCell(grid, row, BytesColumn, Digits(title.Bytes, 9));
        SetCell(grid, row, FileNameColumn, title.FileName);
    }
    HandlersEnabled = enabled;
}

std::int32_t TBOlcClientForm::NumberOfRow(int row) const
{
    return Cell(ui->MsgsGrid, row - 1, NumberColumn).toInt();
}

int TBOlcClientForm::TitleRowOfNumber(std::int32_t number) const
{
    for (int row = ui->MsgsGrid->rowCount(); row >= 1; --row) {
        if (NumberOfRow(row) == number)
            return row;
    }
    return 0;
}

void TBOlcClientForm::SelectTitleRow(int row)
{
    if (row >= 1 && row <= ui->MsgsGrid->rowCount())
        ui->MsgsGrid->setCurrentCell(row - 1, NumberColumn);
}

void TBOlcClientForm::MsgsGridClick()
{
    BoardTitleCache *cache = Cache();
    const int row = ui->MsgsGrid->currentRow() + 1;
    if (!HandlersEnabled || !cache || row < 1)
        return;
    cache->SelectedNumber = NumberOfRow(row);
    if (ui->ClientRichView->isHidden()) {
        cache->OpenedNumber = cache->SelectedNumber;
        cache->SelectedRow = row;
        if (ui->ReadButton->isEnabled())
            ui->ReadButton->setFocus();
    }
    cache->AtEnd = false;
}

void TBOlcClientForm::MsgsGridDblClick()
{
    if (ui->MsgsGrid->currentRow() >= 0)
        OpenMessage(false);
}

void TBOlcClientForm::ReplyTreeChanging()
{
    if (!HandlersEnabled || !ui->ReplyTree->currentItem())
        return;
    // The node text is "[" + 5 digits + "] " + title.
    SelectTitleRow(TitleRowOfNumber(ui->ReplyTree->currentItem()->text(0).mid(1, 5).toInt()));
}

void TBOlcClientForm::ReplyTreeDblClick()
{
    MsgsGridDblClick();
}

void TBOlcClientForm::FillReplyTree()
{
    if (!Cache())
        return;
    BoardTitleCache &cache = *Cache();
    const BoardRecord &board = Board[size_t(Current)];
    plat::RecordFile index(Folder.boardIndex(board.BoardKey), MessageRecord::Size);
    int selected = -1;
    std::vector<olc::ReplyNode> nodes;
    if (index.open())
        nodes = olc::BuildReplyTree(index, cache.Slots, board.TopMsg, cache.SelectedNumber, selected);
    const bool enabled = HandlersEnabled;
    HandlersEnabled = false;
    ui->ReplyTree->clear();
    std::vector<QTreeWidgetItem *> items;
    for (const olc::ReplyNode &node : nodes) {
        auto *item = node.Parent < 0 ? new QTreeWidgetItem(ui->ReplyTree)
                                     : new QTreeWidgetItem(items[size_t(node.Parent)]);
        item->setText(0, QLatin1Char('[') + Digits(node.Record.Number, 5) + QStringLiteral("] ") + node.Record.Title);
        items.push_back(item);
    }
    ui->ReplyTree->expandAll();
    if (selected >= 0)
        ui->ReplyTree->setCurrentItem(items[size_t(selected)]);
    HandlersEnabled = enabled;
}

bool TBOlcClientForm::SendReenter(int board)
{
    if (!Step(SendString(Socket, "REENT\r") && SendInteger(Socket, Board[size_t(board)].BoardNumber)))
        return false;
    ServerBoardKey = Board[size_t(board)].BoardKey;
    return true;
}

bool TBOlcClientForm::EnsureServerBoard()
{
    return ServerBoardKey == Board[size_t(Current)].BoardKey || SendReenter(Current);
}

void TBOlcClientForm::RequestMoreTitles()
{
    BoardTitleCache *cache = Cache();
    std::int32_t count = 0;
    if (!cache || !EnsureServerBoard() || !Step(SendString(Socket, "TITLE\r")) || !ReceiveTitles(false, count))
        return;
    if (count < 1) {
        SelectTitleRow(cache->RowCount);
        Status(QStringLiteral("... Nothing More Titles ! ..."));
        if (ui->SwitchButton->isEnabled())
            ui->SwitchButton->setFocus();
        return;
    }
    const bool atEnd = cache->AtEnd;
    const int selected = ui->MsgsGrid->currentRow() + 1;
    FillTitleList(true, count);
    if (atEnd) {
        SelectTitleRow(selected + 1);
        cache->AtEnd = false;
    } else {
        SelectTitleRow(cache->RowCount);
    }
}

void TBOlcClientForm::ReenterBoard(int board)
{
    Conversation conversation(*this);
    if (conversation.nested() || board < 1 || board >= int(Board.size()))
        return;
    EnteredBoard = Current;
    if (!SendReenter(board))
        return;
    HandlersEnabled = false;
    SelectBoardRow(board);
    const bool opened = OpenBoard();
    HandlersEnabled = true;
    if (!opened)
        return;
    ShowTitleList();
    ui->OptButton->setText(QStringLiteral("Option"));
    ui->SwitchButton->setText(QStringLiteral("Board"));
    ui->TitleButton->setText(QStringLiteral("Title"));
    ui->PostButton->setText(QStringLiteral("Post"));
    EnablePosting();
    ui->ReadButton->setEnabled(true);
    ui->TitleButton->setEnabled(true);
    BoardTitleCache &cache = *Cache();
    const std::int32_t selectedRow = cache.SelectedRow;
    FillTitleList(false, 0);
    cache.SelectedRow = selectedRow;
    const qint64 c = qint64(cache.LastListed) - cache.SelectedNumber + 1;
    SelectTitleRow(c == 0 ? cache.RowCount : int(cache.RowCount - c + 1));
}

// ---- buttons ------------------------------------------------------------------------

void TBOlcClientForm::SwitchButtonClick()
{
    Conversation conversation(*this);
    if (conversation.nested())
        return;
    Status(QString());
    ui->OptButton->setEnabled(true);
    // The option panel disables Title; leaving it gives the button back.
    ui->TitleButton->setEnabled(true);
    ui->OptButton->setText(QStringLiteral("Option"));
    ui->PostButton->setText(QStringLiteral("Post"));
    ui->OptPanel->hide();
    HideViews();
    ui->MsgsGrid->hide();
    if (ui->SwitchButton->text() == QLatin1String("Board")) {
        ui->WelcomeRichView->Clear();
        ui->BoardPanel->show();
        ui->SwitchButton->setText(QStringLiteral("Msgs"));
        ui->ExitButton->setText(QStringLiteral("Exit"));
        ui->ExitButton->show();
        const bool tree = ui->BoardTree->isVisible();
        ui->TitleButton->setText(tree ? QStringLiteral("Grid") : QStringLiteral("Tree"));
        if (tree)
            ui->BoardTree->setFocus();
        ui->PostButton->setEnabled(false);
        ui->ReadButton->setEnabled(false);
        if (std::exchange(ShiftFlag, false)) {
            if (!RequestBoardList())
                return;
            FillBoardGrid();
            if (Board.size() > 1) {
                SelectBoardRow(std::min(std::max(Current, 1), int(Board.size()) - 1));
                EnteredBoard = 0;
                OpenBoard();
            } else {
                Current = EnteredBoard = 0;
            }
        }
    } else if (Current > 0) {
        EnterBoard();
    }
    ShiftFlag = false;
}

void TBOlcClientForm::TitleButtonClick()
{
    Conversation conversation(*this);
    if (conversation.nested())
        return;
    const QString caption = ui->TitleButton->text();
    if (caption == QLatin1String("Tree") || caption == QLatin1String("Grid")) {
        const bool tree = caption == QLatin1String("Tree");
        ui->BoardTree->setVisible(tree);
        ui->BoardGrid->setVisible(!tree);
        ui->TitleButton->setText(tree ? QStringLiteral("Grid") : QStringLiteral("Tree"));
        if (tree && Current > 0) {
            const QString key = Board[size_t(Current)].BoardKey;
            for (QTreeWidgetItemIterator it(ui->BoardTree); *it; ++it) {
                if ((*it)->data(0, Qt::UserRole).toString() == key)
                    ui->BoardTree->setCurrentItem(*it);
            }
            ui->BoardTree->setFocus();
        }
        return;
    }
    Status(QString());
    ui->ExitButton->hide();
    ui->LinkButton->hide();
    QWidget *front = !HtmlControl->isHidden() ? static_cast<QWidget *>(HtmlControl)
                     : !ui->RecvSImage->isHidden() ? static_cast<QWidget *>(ui->RecvSImage)
                                                   : ui->ClientRichView;
    const bool viewOpen = !front->isHidden();
    front->hide();
    const bool toggled = !viewOpen && ui->MsgsGrid->currentRow() >= 0;
    if (toggled)
        TreeMode = !TreeMode;
    if (std::exchange(ShiftFlag, false)) {
        ui->ReplyTree->hide();
        ui->MsgsGrid->show();
        TreeMode = false;
        RequestMoreTitles();
        return;
    }
    if (TreeMode) {
        ui->MsgsGrid->hide();
        if (toggled)
            FillReplyTree();
        ui->ReplyTree->show();
        ui->ReplyTree->setFocus();
    } else {
        ui->ReplyTree->hide();
        ui->MsgsGrid->show();
        ui->MsgsGrid->setFocus();
    }
}

void TBOlcClientForm::ReadButtonClick()
{
    Conversation conversation(*this);
    BoardTitleCache *cache = Cache();
    if (conversation.nested() || !cache)
        return;
    Status(QString());
    cache->OpenedNumber = cache->SelectedNumber;
    const int row = ui->MsgsGrid->currentRow() + 1;
    cache->SelectedRow = row;
    if (row > 0 && cache->AtEnd) {
        ui->ReadButton->setEnabled(false);
        RequestMoreTitles();
        ui->ReadButton->setEnabled(!Error);
    }
    if (Error)
        return;
    if (cache->AtEnd) {
        Status(QStringLiteral("... Nothing New Messages ! ..."));
        if (ui->ReplyTree->isVisible())
            ui->ReplyTree->setFocus();
    } else {
        OpenMessage(ShiftFlag);
    }
    ShiftFlag = false;
}

void TBOlcClientForm::LinkButtonClick()
{
    if (std::exchange(ShiftFlag, false))
        StartLinkReader();
    if (ui->ReadButton->isEnabled())
        ui->ReadButton->setFocus();
}

void TBOlcClientForm::ExitButtonClick()
{
    const QString caption = ui->ExitButton->text();
    if (caption == QLatin1String("Exit"))
        return void(close());
    if (caption == QLatin1String("Back")) {
        HtmlControl->Back();
        return;
    }
    if (caption == QLatin1String("View"))
        ShowFile();
    else if (caption == QLatin1String("Save"))
        SaveText();
    ui->ExitButton->hide();
    if (ui->ReadButton->isEnabled())
        ui->ReadButton->setFocus();
}

void TBOlcClientForm::SaveText()
{
    QFileDialog dialog(this, QString(), TextDirectory);
    dialog.setObjectName(QStringLiteral("SaveDialog"));
    dialog.setOptions(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().constFirst();
    if (!ui->ClientRichView->SaveToFile(path))
        Status(QStringLiteral("*** ") + path);
    TextDirectory = QFileInfo(path).absolutePath();
}

// ---- opening messages --------------------------------------------------------------

void TBOlcClientForm::HideViews()
{
    HtmlControl->hide();
    ui->RecvSImage->hide();
    ui->ReplyTree->hide();
    ui->ClientRichView->hide();
}

void TBOlcClientForm::ShowDetail(const QString &detail)
{
    HtmlControl->hide();
    ui->ExitButton->hide();
    ui->RecvSImage->hide();
    ui->MsgsGrid->hide();
    ui->ReplyTree->hide();
    ui->ClientRichView->show();
    ui->ClientRichView->Clear();
    ui->ClientRichView->AddHead(detail);
}

void TBOlcClientForm::OpenMessage(bool shift)
{
    BoardTitleCache *cache = Cache();
    const int row = ui->MsgsGrid->currentRow() + 1;
    if (!cache || row < 1)
        return;
    const BoardRecord &board = Board[size_t(Current)];
    QTableWidget *grid = ui->MsgsGrid;
    const QString title = Cell(grid, row - 1, TitleTextColumn);
    const bool deleted = title == QLatin1String(olc::DeletedTitle);
    QString detail = QStringLiteral("Number   : ") + Cell(grid, row - 1, NumberColumn) + QStringLiteral("\r\n") +
                     QStringLiteral("Title    : ") + title + QStringLiteral("\r\n");
    if (!Cell(grid, row - 1, ReplyColumn).isEmpty())
        detail += QStringLiteral("Reply To : ") + Cell(grid, row - 1, ReplyColumn) + QStringLiteral("\r\n");
    if (deleted) {
        detail += QStringLiteral("IP Addr  : -\r\nHandle   : -\r\nUser ID  : -\r\nDateTime : -\r\nBytes    : -");
    } else {
        detail += QStringLiteral("IP Addr  : ") + Cell(grid, row - 1, AddressColumn) + QStringLiteral("\r\n") +
                  QStringLiteral("Handle   : ") + Cell(grid, row - 1, HandleColumn) + QStringLiteral("\r\n") +
                  QStringLiteral("User ID  : ") + Cell(grid, row - 1, UserIdColumn) + QStringLiteral("\r\n") +
                  QStringLiteral("DateTime : ") + Cell(grid, row - 1, DateColumn) + QStringLiteral("\r\n") +
                  QStringLiteral("Bytes    : ") + Cell(grid, row - 1, BytesColumn);
    }
    detail.truncate(1020);
    ui->ExitButton->hide();
    ui->LinkButton->hide();

    const std::int32_t recordIndex = olc::RecordOfNumber(cache->Slots, board.TopMsg, NumberOfRow(row));
    plat::RecordFile index(Folder.boardIndex(board.BoardKey), MessageRecord::Size);
    QByteArray image;
    if (recordIndex < 1 || !index.open() || !index.read(recordIndex, image)) {
        Status(QStringLiteral("*** ") + index.path() + QStringLiteral(" : ") + index.errorString());
        return;
    }
    const MessageRecord record = MessageRecord::decode(image);
    ShownRecord = recordIndex;
    ShownDetail = detail;
    const bool isFile = !Cell(grid, row - 1, BinColumn).isEmpty();
    if (deleted) {
        ShowDetail(detail);
        Status(QStringLiteral("*** <<Deleted>> ***"));
    } else if (isFile && board.TextPriority && !shift) {
        ShowDetail(detail);
        Status(QStringLiteral("*** <<") + Cell(grid, row - 1, BytesColumn) + QStringLiteral(">> 読み飛ばし ***"));
    } else if (record.Start == -1) {
        HideViews();
        (TreeMode ? static_cast<QWidget *>(ui->ReplyTree) : ui->MsgsGrid)->show();
        return StartReader(recordIndex, shift);
    } else {
        ShowDetail(detail);
        if (isFile)
            ShowFileMessage(record, row);
        else
            ShowTextMessage(record);
    }
    AdvanceReadPosition(row);
}

void TBOlcClientForm::StartReader(std::int32_t recordIndex, bool shift)
{
    OlcChannelParam param = ChildParam(Current);
    param.MessageNumber = Cache()->SelectedNumber;
    param.RecordIndex = recordIndex;
    param.Shift = shift;
    // The chain of links that may start at this message is named after it.
    param.LinkKey = param.BoardKey;
    param.LinkNumber = param.MessageNumber;
    // The reader enables Read again after its first download.
    ui->ReadButton->setEnabled(false);
    if (StartOlcReader(TargetHost, param, Hooks) != ConnectionStartResult::Shown)
        ui->ReadButton->setEnabled(true);
}

void TBOlcClientForm::StartLinkReader()
{
    StartOlcLinkReader(TargetHost, LinkHolder, LinkAddress, Hooks);
}

OlcChannelParam TBOlcClientForm::ChildParam(int board) const
{
    const BoardRecord &record = Board[size_t(board)];
    OlcChannelParam param;
    param.ServerChannel = ServerChannel;
    param.BoardKey = record.BoardKey;
    param.BoardPassword = record.BoardPassword;
    param.SkipFiles = record.TextPriority;
    return param;
}

void TBOlcClientForm::ShowTextMessage(const MessageRecord &record)
{
    const QString textPath = Folder.boardText(Board[size_t(Current)].BoardKey);
    // A body never exceeds what one buffer carries; a longer record is cut there.
    const QByteArray body = plat::ReadFileAt(textPath, record.Start, std::min<qint64>(record.Bytes, MaxBodyBytes));
    const QString temp = TempDirectory + QStringLiteral("/Temp.html");
    if ((record.Flags & MessageRecord::HtmlFlag) && HtmlViewer < 2 && WriteTempHtml(temp, body)) {
        FilePath = temp;
        return ShowHtml();
    }
    ui->ClientRichView->LoadFromBuffer(body);
    ui->ExitButton->setText(QStringLiteral("Save"));
    ui->ExitButton->show();
    if (record.Flags & MessageRecord::LinkFlag) {
        LinkAddress = record.Title;
        LinkHolder = ChildParam(Current);
        LinkHolder.MessageNumber = record.Number;
        LinkHolder.RecordIndex = ShownRecord;
        ui->LinkButton->show();
        ui->LinkButton->setFocus();
    }
}

void TBOlcClientForm::ShowFileMessage(const MessageRecord &record, int row)
{
    const QString key = Board[size_t(Current)].BoardKey;
    QString path = Folder.attachment(key, NumberOfRow(row), record.FileName);
    if (path.isEmpty())
        return Status(QStringLiteral("Deleted the File."));
    ui->ClientRichView->AddText(QStringLiteral("\r\nFile Name << ") + path + QStringLiteral(" >>"));
    ResolveHtmlArchive(this, ui->ClientRichView, record.Title, record.FileName, path);
    QString application;
    if (!FindViewer(path, application))
        return;
    if (!QFileInfo::exists(path))
        return Status(QStringLiteral("Deleted the File."));
    FilePath = path;
    FileViewer = application;
    if (!ViewingDirect) {
        ui->ExitButton->setText(QStringLiteral("View"));
        ui->ExitButton->show();
        if (ui->ExitButton->isEnabled())
            ui->ExitButton->setFocus();
        return;
    }
    ShowFile();
}

void TBOlcClientForm::ShowFile()
{
    if (QFileInfo(FilePath).suffix().toLower() == QLatin1String("rtf")) {
        ui->ClientRichView->LoadFromBuffer(plat::ReadFileAt(FilePath, 0, MaxBodyBytes));
    } else if (ImageViewer && IsImageFile(FilePath)) {
        ShowImage();
    } else if (HtmlViewer < 2 && IsHtmlFile(FilePath)) {
        ShowHtml();
    } else {
        OpenWithViewer(FileViewer, FilePath);
    }
}

void TBOlcClientForm::ShowImage()
{
    QString error;
    if (!ui->RecvSImage->LoadFromFile(FilePath, &error))
        return Status(QStringLiteral("*** ") + error);
    ui->ClientRichView->hide();
    ui->RecvSImage->show();
    Status(FilePath);
}

void TBOlcClientForm::ShowHtml()
{
    ui->ExitButton->setText(QStringLiteral("Back"));
    ui->ExitButton->show();
    ui->ClientRichView->hide();
    HtmlControl->show();
    HtmlControl->ShowFile(FilePath);
}

void TBOlcClientForm::AdvanceReadPosition(int row)
{
    BoardTitleCache &cache = *Cache();
    BoardRecord &board = Board[size_t(Current)];
    if (cache.SelectedNumber > cache.ListPtr) {
        cache.ListPtr = cache.SelectedNumber;
        ui->PointerLabel->setText(Digits(cache.ListPtr, 5));
        SetCell(ui->BoardGrid, Current - 1, ReadPtrColumn, Digits(cache.ListPtr, 5));
    }
    auto storePointer = [&] {
        board.ReadPtr = cache.ListPtr;
        ui->PtrEdit->setText(Digits(board.ReadPtr, 5));
        SetCell(ui->BoardGrid, Current - 1, ReadPtrColumn, Digits(board.ReadPtr, 5));
        SaveBoards();
    };
    if (board.ReadPtr < cache.ListPtr)
        storePointer();
    if (row < cache.RowCount) {
        if (TreeMode) {
            QTreeWidgetItem *next = ui->ReplyTree->itemBelow(ui->ReplyTree->currentItem());
            if (next)
                ui->ReplyTree->setCurrentItem(next);
            else
                cache.AtEnd = true;
        } else {
            SelectTitleRow(row + 1);
        }
    } else {
        cache.AtEnd = true;
        if (cache.ListPtr < cache.LastListed)
            storePointer();
    }
}

// ---- reader and post windows --------------------------------------------------------

void TBOlcClientForm::ChangeChildCount(int board, int delta, std::uint8_t BoardTitleCache::*count)
{
    // Caches go with a logoff; a window opened before it may close after.
    if (BoardTitleCache *cache = CacheOf(board))
        cache->*count = std::uint8_t(std::clamp(int(cache->*count) + delta, 0, 255));
}

void TBOlcClientForm::MessageRead(int board, std::int32_t number)
{
    BoardTitleCache *cache = CacheOf(board);
    if (!cache || board < 1 || board >= int(Board.size()))
        return;
    cache->OpenedNumber = number;
    if (board == Current) {
        const int row = TitleRowOfNumber(number);
        if (row < 1)
            return;
        SetCell(ui->MsgsGrid, row - 1, ReadColumn, QStringLiteral("*"));
        cache->SelectedNumber = number;
        SelectTitleRow(row);
        return AdvanceReadPosition(row);
    }
    // A board not on show: only its listing state and read pointer move.
    cache->ListPtr = std::max(cache->ListPtr, number);
    if (Board[size_t(board)].ReadPtr < cache->ListPtr) {
        Board[size_t(board)].ReadPtr = cache->ListPtr;
        SaveBoards();
    }
    if (cache->SelectedRow < cache->RowCount)
        ++cache->SelectedRow;
    else
        cache->AtEnd = true;
}
