#include "tel/BAccLst.h"

#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/Cp932.h"
#include "platform/Help.h"
#include "platform/ModifierKey.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "tel/BSendTel.h"
#include "ui_BAccLst.h"
#include "ui_BLookup.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <mutex>

TBAccountListForm *BAccountListForm = nullptr;

namespace {

enum AccountColumn { StatColumn, ReplyColumn, FlagColumn, AddressColumn, HostNameColumn, VersionColumn, IdColumn,
                     HandleColumn, AccountColumns };
enum PresenceColumn { MarkColumn, MemberAddressColumn, MemberIdColumn, MemberHandleColumn, ResponseTimeColumn };

constexpr char ValidText[] = "Valid";
constexpr char OffText[] = "OFF";
constexpr char AckText[] = "ACK";
constexpr int StartupInterval = 3000;
constexpr int TimerOnInterval = 1000;
constexpr int SoonInterval = 100;
constexpr int DefaultClientInterval = 10;
// Servers below this version learn of presence only in the pass after a rebuild.
constexpr int EntityVersion = 210;
// The members a presence list takes: a server that sends more is not believed.
constexpr int MaxMembers = 1000;
constexpr int AccountHelpContext = 4102, PresenceHelpContext = 4103;

// The server the last PRESENCE went to: MEMBER datagrams count only from it.
// Read by the UDP server thread.
std::mutex PresenceServerLock;
QString PresenceServer;

QString CurrentPresenceServer()
{
    std::lock_guard lock(PresenceServerLock);
    return PresenceServer;
}

void SetPresenceServer(const QString &address)
{
    std::lock_guard lock(PresenceServerLock);
    PresenceServer = address;
}

// The answers the list waits for: the server and user ID of each ENTITY sent
// in the last pass (or by a single "Entity"). Each counts once; an ACK or NAK
// that none awaits is forged or repeated and is dropped, so that strangers
// cannot make the list rewrite Account.lst at their rate. Read by the UDP
// server thread.
class AwaitedAnswers {
public:
    void Clear()
    {
        std::lock_guard lock(Mutex);
        Pending.clear();
    }
    void Expect(const AccountListRecord &entry)
    {
        std::lock_guard lock(Mutex);
        Pending.insert({entry.IpAddress, entry.UserId});
    }
    // True once for an answer that an ENTITY awaits.
    bool Take(const QString &address, const QString &userId)
    {
        std::lock_guard lock(Mutex);
        return Pending.remove({address, userId});
    }

private:
    std::mutex Mutex;
    QSet<std::pair<QString, QString>> Pending;
};
AwaitedAnswers Awaited;

QStringList RowCells(const AccountListRecord &entry)
{
    return {entry.IpAddress.isEmpty() ? QString() : QLatin1String(ValidText), QString(),
            entry.NoPresence ? QLatin1String(OffText) : QString(), entry.IpAddress, entry.HostName,
            entry.OlcpVersion, entry.UserId, entry.Handle};
}

// The entries under AccountListLock, with the file's count checked against the grid.
QList<AccountListRecord> EntriesOrNone()
{
    return ReadAccountEntries().value_or(QList<AccountListRecord>());
}

constexpr char WidthsProperty[] = "ColumnWidths";

} // namespace

void SetAccountGrid(QTableWidget *grid, const QStringList &titles, const QList<int> &widths)
{
    grid->setColumnCount(int(titles.size()));
    grid->setHorizontalHeaderLabels(titles);
    grid->setProperty(WidthsProperty, QVariant::fromValue(widths));
    grid->setRowCount(0);
    FitAccountGrid(grid);
}

void FitAccountGrid(QTableWidget *grid)
{
    const QList<int> widths = grid->property(WidthsProperty).value<QList<int>>();
    grid->resizeColumnsToContents();
    for (int c = 0; c < widths.size(); ++c)
        grid->setColumnWidth(c, std::max(widths[c], grid->columnWidth(c)));
    // The grid asks its window for room to show every column whole, with a
    // vertical scroll bar; only beyond most of the screen's width it scrolls.
    const QHeaderView *rows = grid->verticalHeader();
    const int full = grid->horizontalHeader()->length() + (rows->isHidden() ? 0 : rows->sizeHint().width()) +
                     2 * grid->frameWidth() + grid->verticalScrollBar()->sizeHint().width();
    const int screen = grid->screen() ? grid->screen()->availableGeometry().width() * 9 / 10 : full;
    grid->setMinimumWidth(std::min(full, screen));
}

TBAccountListForm::TBAccountListForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBAccountListForm>()), EntityTimer(new QTimer(this))
{
    ui->setupUi(this);
    EntityTimer->setObjectName(QStringLiteral("EntityTimer"));
    ui->AccountListGrid->verticalHeader()->setSectionsMovable(true);
    ui->PresenceListGrid->verticalHeader()->hide();
    ConnectHandlers();
    ShowView(false);
}

TBAccountListForm::~TBAccountListForm()
{
    if (BAccountListForm != this)
        return;
    AccountListSeam = AccountListSeams();
    BAccountListForm = nullptr;
}

void TBAccountListForm::ConnectHandlers()
{
    const std::pair<QPushButton *, void (TBAccountListForm::*)()> handlers[] = {
        {ui->ExitButton, &TBAccountListForm::ExitButtonClick},     {ui->EntityButton, &TBAccountListForm::EntityButtonClick},
        {ui->DeleteButton, &TBAccountListForm::DeleteButtonClick}, {ui->OffButton, &TBAccountListForm::OffButtonClick},
        {ui->PresenceButton, &TBAccountListForm::PresenceButtonClick},
        {ui->RestructButton, &TBAccountListForm::RestructButtonClick}};
    for (const auto &[button, handler] : handlers)
        connect(button, &QPushButton::clicked, this, handler);
    connect(EntityTimer, &QTimer::timeout, this, &TBAccountListForm::EntityTimerTimer);
    connect(ui->AccountListGrid, &QTableWidget::itemSelectionChanged, this, &TBAccountListForm::AccountListGridClick);
    connect(ui->AccountListGrid, &QTableWidget::cellDoubleClicked, this, &TBAccountListForm::SendPresenceRequest);
    connect(ui->PresenceListGrid, &QTableWidget::itemSelectionChanged, this,
            &TBAccountListForm::PresenceListGridClick);
    connect(ui->ClientTimerCheckBox, &QCheckBox::clicked, this, &TBAccountListForm::ClientTimerCheckBoxClick);
    connect(ui->ClientIntervalEdit, &QLineEdit::editingFinished, this, &TBAccountListForm::ClientIntervalEditExit);
    // A dragged row moves its entry; the grid is then redrawn in file order.
    connect(ui->AccountListGrid->verticalHeader(), &QHeaderView::sectionMoved, this,
            [this](int, int from, int to) {
                QHeaderView *header = ui->AccountListGrid->verticalHeader();
                const QSignalBlocker blocker(header);
                header->moveSection(to, from);
                AccountListGridRowMoved(from + 1, to + 1);
            });
}

// ---- the list -------------------------------------------------------------------------

void TBAccountListForm::InitAccountList()
{
    SetAccountGrid(ui->AccountListGrid,
               {QStringLiteral("Stat"), QStringLiteral("Reply"), QStringLiteral("Flag"), QStringLiteral("IP Address"),
                QStringLiteral("Host Name"), QStringLiteral("OLCPVer"), QStringLiteral("ID"), QStringLiteral("Handle")},
               {40, 40, 40, 104, 192, 56, 64, 64});
    SetAccountGrid(ui->PresenceListGrid,
               {QString(), QStringLiteral("IP Address"), QStringLiteral("ID"), QStringLiteral("Handle"),
                QStringLiteral("Response Time")},
               {28, 104, 64, 64, 128});
    AllVersions = false;
    BindAccountListFile();
    LoadAccountList();
    EntityTimer->setInterval(StartupInterval);
    if (ClientTimer)
        EntityTimer->start();
    else
        EntityTimer->stop();
}

void TBAccountListForm::LoadAccountList()
{
    std::lock_guard lock(AccountListLock);
    plat::RecordFile file(AccountListFile, AccountListRecord::Size);
    QByteArray header;
    if (!file.open() || !file.read(0, header)) {
        RebuildAccountList();
    } else if (!HasAccountListSignature(header)) {
        WriteLog(ALPHA, QStringLiteral("Account List File : Data Error !"));
        RebuildAccountList();
    }
    file.close();
    const QList<AccountListRecord> entries = EntriesOrNone();
    AccountListCount = int(entries.size()) + 1;
    ui->AccountListGrid->setRowCount(0);
    for (int i = 0; i < entries.size(); ++i)
        ShowAccountRow(i + 1, entries[i]);
    FitAccountGrid(ui->AccountListGrid);
    AccountListGridClick();
}

void TBAccountListForm::RebuildAccountList()
{
    AllVersions = true;
    RebuildAccountListFile();
}

void TBAccountListForm::ShowAccountRow(int index, const AccountListRecord &entry)
{
    QTableWidget *grid = ui->AccountListGrid;
    if (index < 1 || index > grid->rowCount() + 1)
        return;
    if (index == grid->rowCount() + 1)
        grid->insertRow(index - 1);
    // "Reply" is emptied too: an entry shown anew is announced in the next pass.
    const QStringList cells = RowCells(entry);
    for (int c = 0; c < AccountColumns; ++c)
        grid->setItem(index - 1, c, new QTableWidgetItem(cells[c]));
    ShowOffButton(entry.NoPresence != 0);
    FitAccountGrid(grid);
}

int TBAccountListForm::SelectedIndex() const
{
    const int row = ui->AccountListGrid->currentRow();
    return row >= 0 && row < ui->AccountListGrid->rowCount() ? row + 1 : 0;
}

QString TBAccountListForm::Cell(int index, int column) const
{
    const QTableWidgetItem *item = ui->AccountListGrid->item(index - 1, column);
    return item ? item->text() : QString();
}

void TBAccountListForm::SetCell(int index, int column, const QString &text)
{
    if (index >= 1 && index <= ui->AccountListGrid->rowCount())
        ui->AccountListGrid->setItem(index - 1, column, new QTableWidgetItem(text));
}

bool TBAccountListForm::Valid(int index) const
{
    return Cell(index, StatColumn) == QLatin1String(ValidText);
}

// ---- datagrams --------------------------------------------------------------------------

bool TBAccountListForm::SendAccountUdp(const QString &command, const AccountListRecord &entry)
{
    const QByteArray text = QByteArray(OlcpVersionText) + '\r' + plat::ToCp932(command) + '\r' +
                            plat::ToCp932(entry.UserId) + '\r' + entry.Password + '\r' +
                            plat::ToCp932(entry.Handle) + '\r';
    return SendUdpTo(entry.IpAddress, UdpServerPort, text);
}

// Awaited before it is sent: the answer may come back at once.
void TBAccountListForm::SendEntity(const AccountListRecord &entry)
{
    Awaited.Expect(entry);
    SendAccountUdp(QStringLiteral("ENTITY"), entry);
}

int TBAccountListForm::PassInterval(qint64 minutes)
{
    if (minutes < 1)
        minutes = DefaultClientInterval;
    return int(std::min<qint64>(minutes * 60000, INT_MAX));
}

void TBAccountListForm::SetEntityInterval(int milliseconds)
{
    EntityTimer->setInterval(milliseconds);
}

void TBAccountListForm::EntityTimerTimer()
{
    Awaited.Clear();
    const QList<AccountListRecord> entries = EntriesOrNone();
    for (int index = 1; index <= entries.size(); ++index) {
        const AccountListRecord &entry = entries[index - 1];
        if (!Valid(index) || !Cell(index, ReplyColumn).isEmpty() || !Cell(index, FlagColumn).isEmpty())
            continue;
        if (!AllVersions && PeerVersionNumber(Cell(index, VersionColumn)) < EntityVersion)
            continue;
        SendEntity(entry);
    }
    EntityTimer->setInterval(PassInterval(ClientInterval));
    AllVersions = false;
}

void TBAccountListForm::SendQuitToAccounts()
{
    const QList<AccountListRecord> entries = EntriesOrNone();
    for (int index = 1; index <= entries.size(); ++index) {
        if (Valid(index) && Cell(index, ReplyColumn) == QLatin1String(AckText))
            SendAccountUdp(QStringLiteral("QUIT"), entries[index - 1]);
    }
}

void TBAccountListForm::SendPresenceRequest()
{
    const int index = SelectedIndex();
    if (index == 0)
        return;
    // The server is recorded before it is asked: its MEMBER answers may come at once.
    const QString address = Cell(index, AddressColumn), previous = ui->ServerAddressLabel->text();
    ui->ServerAddressLabel->setText(address);
    SetPresenceServer(address);
    ui->PresenceListGrid->setRowCount(0);
    if (!SendUdpTo(address, UdpServerPort, QByteArray(OlcpVersionText) + "\rPRESENCE\rDUMMY\r")) {
        ui->ServerAddressLabel->setText(previous);
        SetPresenceServer(previous);
        return;
    }
    ShowView(true);
}

// The UDP server thread's side: the file is read there under
// AccountListLock; everything that shows goes to the GUI thread.
void TBAccountListForm::InstallSeams()
{
    BAccountListForm = this;
    QPointer<TBAccountListForm> self(this);
    AccountListSeams seams;
    seams.OnPresenceAnswer = [self](const PresenceAnswer &answer) {
        if (!Awaited.Take(answer.SenderAddress, answer.UserId)) {
            SummarizeLog(BETA, answer.Command + QStringLiteral(" unawaited"), answer.SenderAddress,
                         QStringLiteral("### ") + answer.Command + QStringLiteral(" ; ") + answer.SenderAddress +
                             QStringLiteral(" : dropped, no ENTITY awaits it"));
            return false;
        }
        bool versionChanged = false;
        QList<int> indexes;
        {
            std::lock_guard lock(AccountListLock);
            std::optional<QList<AccountListRecord>> entries = ReadAccountEntries();
            if (!entries)
                return false;
            for (int i = 0; i < entries->size(); ++i) {
                AccountListRecord &entry = (*entries)[i];
                if (entry.IpAddress != answer.SenderAddress || entry.UserId != answer.UserId)
                    continue;
                indexes.append(i + 1);
                const QString version = plat::CutText(answer.Version, 8);
                if (entry.OlcpVersion != version) {
                    entry.OlcpVersion = version;
                    versionChanged = true;
                }
            }
            if (versionChanged && !WriteAccountEntries(*entries))
                versionChanged = false;
        }
        if (!indexes.isEmpty())
            plat::RunOnGuiThread([self, answer, indexes] {
                if (self)
                    self->ShowPresenceAnswer(answer, indexes);
            });
        return versionChanged;
    };
    seams.OnMember = [self](const QString &serverAddress, const MemberEntry &member) {
        if (serverAddress != CurrentPresenceServer())
            return;
        plat::RunOnGuiThread([self, serverAddress, member] {
            if (self && self->ui->ServerAddressLabel->text() == serverAddress)
                self->AddMember(member);
        });
    };
    seams.HasAccountId = [](const QString &userId) {
        const QList<AccountListRecord> entries = EntriesOrNone();
        return std::any_of(entries.begin(), entries.end(), [&](const AccountListRecord &e) { return e.UserId == userId; });
    };
    AccountListSeam = std::move(seams);
}

void TBAccountListForm::ShowPresenceAnswer(const PresenceAnswer &answer, const QList<int> &indexes)
{
    for (int index : indexes) {
        // The row may have moved or gone meanwhile.
        if (Cell(index, AddressColumn) != answer.SenderAddress || Cell(index, IdColumn) != answer.UserId)
            continue;
        SetCell(index, ReplyColumn, answer.Command);
        SetCell(index, VersionColumn, plat::CutText(answer.Version, 8));
        if (index == SelectedIndex())
            ui->PresenceButton->setEnabled(answer.Command == QLatin1String(AckText));
    }
}

void TBAccountListForm::AddMember(const MemberEntry &member)
{
    QTableWidget *grid = ui->PresenceListGrid;
    if (grid->rowCount() >= MaxMembers)
        return;
    const int row = grid->rowCount();
    grid->insertRow(row);
    const QStringList cells{QString(), member.IpAddress, member.UserId, member.Handle, member.ResponseTime};
    for (int c = 0; c < cells.size(); ++c)
        grid->setItem(row, c, new QTableWidgetItem(cells[c]));
    FitAccountGrid(grid);
    grid->setCurrentCell(row, MemberAddressColumn);
}

// ---- views and handlers ----------------------------------------------------------------

void TBAccountListForm::ShowView(bool presence)
{
    Presence = presence;
    ui->AccountListGrid->setVisible(!presence);
    ui->PresenceListGrid->setVisible(presence);
    ui->TitleLabel->setText(presence ? QStringLiteral("Presence List Window") : QStringLiteral("Account List Window"));
    setProperty(plat::HelpContextProperty, QString::number(presence ? PresenceHelpContext : AccountHelpContext));
    ui->PresenceButton->setText(presence ? QStringLiteral("AccList") : QStringLiteral("Presen"));
    ui->PresenceButton->setToolTip(presence ? QStringLiteral("ｱｶｳﾝﾄ･ﾘｽﾄ") : QStringLiteral("ﾌﾟﾚｾﾞﾝｽ情報"));
    ui->EntityButton->setText(presence ? QStringLiteral("TEL") : QStringLiteral("Entity"));
    ui->EntityButton->setToolTip(presence ? QStringLiteral("TEL送信") : QStringLiteral("出席ｺﾏﾝﾄﾞ送信"));
    ui->ServerAddressTitleLabel->setVisible(presence);
    ui->ServerAddressLabel->setVisible(presence);
    for (QWidget *w : std::initializer_list<QWidget *>{ui->OffButton, ui->DeleteButton, ui->RestructButton,
                                                       ui->ClientTimerCheckBox})
        w->setEnabled(!presence);
    ui->ClientIntervalEdit->setEnabled(!presence && ui->ClientTimerCheckBox->isChecked());
    if (presence)
        ui->PresenceButton->setEnabled(true);
    else
        AccountListGridClick();
}

void TBAccountListForm::showEvent(QShowEvent *event)
{
    if (!event->spontaneous()) {
        move(MainPosition.Left + 60, MainPosition.Top + 60);
        ShiftFlag = false;
        ShowView(false);
        ui->ClientTimerCheckBox->setChecked(ClientTimer);
        ui->ClientTimerCheckBox->setText(ClientTimer ? QStringLiteral("Enable") : QStringLiteral("Disable"));
        ui->ClientIntervalEdit->setText(QString::number(ClientInterval));
        ui->ClientIntervalEdit->setEnabled(ClientTimer);
    }
    QWidget::showEvent(event);
}

void TBAccountListForm::closeEvent(QCloseEvent *event)
{
    ShowView(false);
    QWidget::closeEvent(event);
}

bool TBAccountListForm::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate)
        EntityTimer->setInterval(SoonInterval);
    return QWidget::event(event);
}

void TBAccountListForm::keyPressEvent(QKeyEvent *event)
{
    if (plat::ArmingModifier(*event) == Qt::ShiftModifier)
        ShiftFlag = true;
    QWidget::keyPressEvent(event);
}

void TBAccountListForm::ExitButtonClick()
{
    close();
}

void TBAccountListForm::ShowOffButton(bool off)
{
    ui->OffButton->setText(off ? QStringLiteral("On") : QStringLiteral("Off"));
    ui->OffButton->setToolTip(off ? QStringLiteral("不参加ﾌﾗｸﾞを倒します") : QStringLiteral("不参加ﾌﾗｸﾞを立てます"));
}

void TBAccountListForm::AccountListGridClick()
{
    const int index = SelectedIndex();
    ui->PresenceButton->setEnabled(index > 0 && Cell(index, ReplyColumn) == QLatin1String(AckText));
    ShowOffButton(index > 0 && Cell(index, FlagColumn) == QLatin1String(OffText));
}

void TBAccountListForm::PresenceButtonClick()
{
    if (Presence)
        ShowView(false);
    else
        SendPresenceRequest();
}

void TBAccountListForm::EntityButtonClick()
{
    ui->L_StatusBar->clearMessage();
    if (Presence)
        return StartTelToMember();
    if (!EntityTimer->isActive())
        return;
    if (ShiftFlag) {
        EntityTimer->setInterval(SoonInterval);
        return;
    }
    const int index = SelectedIndex();
    const QList<AccountListRecord> entries = EntriesOrNone();
    if (index == 0 || index > entries.size())
        return;
    SetCell(index, ReplyColumn, QString());
    ui->PresenceButton->setEnabled(false);
    if (Valid(index) && Cell(index, FlagColumn).isEmpty())
        SendEntity(entries[index - 1]);
}

void TBAccountListForm::PresenceListGridClick()
{
    const QTableWidget *grid = ui->PresenceListGrid;
    const int row = grid->currentRow();
    if (row < 0)
        return;
    auto cell = [grid, row](int column) { return grid->item(row, column) ? grid->item(row, column)->text() : QString(); };
    CurrentHost = HostRecord();
    CurrentHost.IpAddress = cell(MemberAddressColumn);
    CurrentHost.HostName = cell(MemberAddressColumn);
    CurrentHost.Memo = cell(MemberIdColumn) + QStringLiteral(" : ") + cell(MemberHandleColumn);
    const int index = SelectedIndex();
    CurrentHost.UserId = index > 0 ? Cell(index, IdColumn) : QString();
    CurrentHost.Handle = index > 0 ? Cell(index, HandleColumn) : QString();
}

void TBAccountListForm::StartTelToMember()
{
    if (ui->PresenceListGrid->currentRow() < 0 || CurrentHost.IpAddress.isEmpty())
        return;
    if (BLookupForm) {
        BLookupForm->ui->HostNameEdit->setText(CurrentHost.HostName);
        BLookupForm->ui->AutoreplyCheckBox->setChecked(false);
    }
    CurrentHost.ReplyFlag = 0;
    StartConnectionWindow(TelSendWindowKind, CurrentHost, ui->L_StatusBar);
}

void TBAccountListForm::OffButtonClick()
{
    const int index = SelectedIndex();
    if (index == 0)
        return;
    const bool off = ui->OffButton->text() == QLatin1String("Off");
    SetCell(index, FlagColumn, off ? QLatin1String(OffText) : QString());
    ShowOffButton(off);
    std::lock_guard lock(AccountListLock);
    std::optional<QList<AccountListRecord>> entries = ReadAccountEntries();
    if (!entries || index > entries->size())
        return;
    (*entries)[index - 1].NoPresence = off ? 1 : 0;
    WriteAccountEntries(*entries);
}

void TBAccountListForm::DeleteButtonClick()
{
    const int index = SelectedIndex();
    if (index == 0)
        return;
    const QString address = Cell(index, AddressColumn), id = Cell(index, IdColumn);
    QMessageBox question(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                         QStringLiteral("Account: ") + address + QStringLiteral("  <<") + id +
                             QStringLiteral(">>  を本当に削除してもいいですか?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("DeleteQuestion"));
    if (question.exec() != QMessageBox::Yes)
        return;
    std::lock_guard lock(AccountListLock);
    std::optional<QList<AccountListRecord>> entries = ReadAccountEntries();
    if (!entries || index > entries->size())
        return;
    const AccountListRecord deleted = entries->takeAt(index - 1);
    if (Valid(index) && Cell(index, ReplyColumn) == QLatin1String(AckText))
        SendAccountUdp(QStringLiteral("QUIT"), deleted);
    if (!WriteAccountEntries(*entries))
        return;
    ui->AccountListGrid->removeRow(index - 1);
    AccountListGridClick();
    const bool idRemains = std::any_of(entries->begin(), entries->end(),
                                       [&](const AccountListRecord &e) { return e.UserId == deleted.UserId; });
    if (!idRemains) {
        const QString path = AccountFilePath(deleted.UserId);
        if (!path.isEmpty())
            QFile::remove(path);
    }
    std::lock_guard hostLock(HostListLock);
    for (int i = 1; i < HostListCount; ++i) {
        HostRecord host;
        if (ReadHostRecord(i, host) && host.IpAddress == deleted.IpAddress && host.UserId == deleted.UserId) {
            host.UserId.clear();
            WriteHostRecord(i, host);
        }
    }
}

void TBAccountListForm::AccountListGridRowMoved(int from, int to)
{
    {
        std::lock_guard lock(AccountListLock);
        std::optional<QList<AccountListRecord>> entries = ReadAccountEntries();
        if (!entries || from < 1 || to < 1 || from > entries->size() || to > entries->size())
            return;
        entries->move(from - 1, to - 1);
        if (!WriteAccountEntries(*entries))
            return;
    }
    // The answers move with their rows.
    QStringList replies;
    for (int i = 1; i <= ui->AccountListGrid->rowCount(); ++i)
        replies.append(Cell(i, ReplyColumn));
    replies.move(from - 1, to - 1);
    const QList<AccountListRecord> entries = EntriesOrNone();
    for (int i = 0; i < entries.size(); ++i) {
        ShowAccountRow(i + 1, entries[i]);
        SetCell(i + 1, ReplyColumn, replies.value(i));
    }
    ui->AccountListGrid->selectRow(to - 1);
}

void TBAccountListForm::RestructButtonClick()
{
    {
        std::lock_guard lock(AccountListLock);
        QFile::remove(AccountListFile);
        LoadAccountList();
    }
    EntityTimer->stop();
    if (ClientTimer) {
        EntityTimer->setInterval(TimerOnInterval);
        EntityTimer->start();
    }
}

void TBAccountListForm::ClientTimerCheckBoxClick()
{
    const bool on = ui->ClientTimerCheckBox->isChecked();
    ClientTimer = on;
    ui->ClientTimerCheckBox->setText(on ? QStringLiteral("Enable") : QStringLiteral("Disable"));
    ui->ClientIntervalEdit->setEnabled(on);
    if (on) {
        EntityTimer->setInterval(TimerOnInterval);
        EntityTimer->start();
        return;
    }
    EntityTimer->stop();
    Awaited.Clear();
    for (int i = 1; i <= ui->AccountListGrid->rowCount(); ++i)
        SetCell(i, ReplyColumn, QString());
    ui->PresenceButton->setEnabled(false);
}

void TBAccountListForm::ClientIntervalEditExit()
{
    bool ok = false;
    const int minutes = ui->ClientIntervalEdit->text().toInt(&ok);
    ClientInterval = ok && minutes > 0 ? minutes : DefaultClientInterval;
    ui->ClientIntervalEdit->setText(QString::number(ClientInterval));
}
