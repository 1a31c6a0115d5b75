// The option panel of the OLC client window: the current board's settings,
// the list of users logged on to the server (WHO), the maintenance of the
// user's own messages (DELETE, UPDATE), and the Post/TEL button.
#include "olc/BOlcCli.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BServer.h"
#include "olc/BOlcGrid.h"
#include "olc/BOlcPost.h"
#include "platform/Cp932.h"
#include "platform/RecordFile.h"
#include "ui_BLookup.h"
#include "ui_BOlcCli.h"

#include <algorithm>
#include <limits>

namespace {

// A server may announce any count; the list never grows past this.
constexpr qint32 MaxWhoUsers = 10000;
// Servers before this version cannot carry a TEL to a serial line user.
constexpr int SerialTelVersion = 208;
constexpr int HandleBytes = 32, MemoBytes = 80, UserIdBytes = 8, TitleBytes = 80;

// The number in an edit field; text that is no number counts as 0.
qint64 EditNumber(const QLineEdit *edit)
{
    return std::clamp<qint64>(edit->text().trimmed().toLongLong(), std::numeric_limits<qint32>::min(),
                              std::numeric_limits<qint32>::max());
}

// The first message a listing asks for: the pointer less the bias, never
// before the oldest message the server holds.
std::int32_t FirstWantedOf(std::int32_t listPtr, const BoardRecord &board)
{
    return std::int32_t(std::max<qint64>(qint64(listPtr) - std::max(0, board.TopBias), qint64(board.TopMsg) - 1));
}

// A title as it may go on the wire and into the index: one line, at most 80 bytes.
QString CleanTitle(QString title)
{
    title.remove(QLatin1Char('\r'));
    title.remove(QLatin1Char('\n'));
    return plat::CutText(title, TitleBytes);
}

// The newest stored title older than number whose number ends in the digits
// typed (numbers above 99999 compare modulo 100000); -1 when the index holds
// none or number itself is not stored.
std::int32_t OlderTitleEndingIn(const olc::TitleSlots &titleSlots, std::int32_t topMsg, std::int32_t number,
                                qint64 typed)
{
    const int k = olc::TitleSlots::SlotOf(number, topMsg);
    if (k < 1 || titleSlots.Slot[size_t(k)] < 1)
        return -1;
    for (int j = k - 1; j >= 1; --j) {
        const qint64 older = qint64(topMsg) - 1 + j;
        if (titleSlots.Slot[size_t(j)] > 0 && older % 100000 == typed)
            return std::int32_t(older);
    }
    return -1;
}

} // namespace

void TBOlcClientForm::ConnectOptionHandlers()
{
    connect(ui->OptButton, &QPushButton::clicked, this, &TBOlcClientForm::OptButtonClick);
    connect(ui->PostButton, &QPushButton::clicked, this, &TBOlcClientForm::PostButtonClick);
    connect(ui->DeleteButton, &QPushButton::clicked, this, &TBOlcClientForm::DeleteButtonClick);
    connect(ui->UpdateButton, &QPushButton::clicked, this, &TBOlcClientForm::UpdateButtonClick);
    // Enter, or leaving a field after editing it, confirms the field.
    connect(ui->PWEdit, &QLineEdit::editingFinished, this, &TBOlcClientForm::PWEditExit);
    connect(ui->PtrEdit, &QLineEdit::editingFinished, this, &TBOlcClientForm::PtrEditExit);
    connect(ui->TopBiasEdit, &QLineEdit::editingFinished, this, &TBOlcClientForm::BiasEditExit);
    connect(ui->MesNumEdit, &QLineEdit::editingFinished, this, &TBOlcClientForm::MesNumEditExit);
    connect(ui->ReplyEdit, &QLineEdit::editingFinished, this, &TBOlcClientForm::ReplyEditExit);
    connect(ui->TitleEdit, &QLineEdit::textEdited, this, &TBOlcClientForm::TitleEditChange);
    connect(ui->ReplyEdit, &QLineEdit::textEdited, this, &TBOlcClientForm::ReplyEditChange);
    connect(ui->TextOnlyCheckBox, &QCheckBox::clicked, this, &TBOlcClientForm::TextOnlyCheckBoxClick);
}

// ---- option panel and WHO list ---------------------------------------------------

void TBOlcClientForm::OptButtonClick()
{
    Conversation conversation(*this);
    if (conversation.nested())
        return;
    if (ui->OptButton->text() == QLatin1String("Option"))
        ShowOptionPanel();
    else
        ReceiveWhoList();
}

void TBOlcClientForm::ShowOptionPanel()
{
    // Ctrl held before the click shows the board password in plain text.
    ui->PWEdit->setEchoMode(CtrlFlag ? QLineEdit::Normal : QLineEdit::Password);
    HideViews();
    ui->ExitButton->hide();
    ui->LinkButton->hide();
    ui->MsgsGrid->hide();
    ui->BoardPanel->hide();
    ui->OptPanel->show();
    ui->ReadButton->setEnabled(false);
    ui->TitleButton->setEnabled(false);
    const bool fromTitles = ui->SwitchButton->text() == QLatin1String("Board");
    ui->SwitchButton->setText(fromTitles ? QStringLiteral("Msgs") : QStringLiteral("Board"));
    ui->OptButton->setText(QStringLiteral("Who"));
    ui->UserGrid->setRowCount(0);
    RefreshMaintenance();
    CtrlFlag = false;
    if (ui->SwitchButton->isEnabled())
        ui->SwitchButton->setFocus();
}

void TBOlcClientForm::ReceiveWhoList()
{
    ui->PostButton->setEnabled(true);
    ui->PostButton->setText(QStringLiteral("TEL"));
    qint32 count = 0;
    if (!Step(SendString(Socket, "WHO\r") && RecvInteger(Socket, count)))
        return;
    QTableWidget *grid = ui->UserGrid;
    // Rows of an earlier list go first: a list that ends early leaves its
    // remaining rows empty, and an empty row starts no TEL.
    grid->setRowCount(0);
    grid->setRowCount(std::clamp(count, 0, MaxWhoUsers));
    for (int row = 0; row < grid->rowCount(); ++row) {
        QString port, address, handle, userId, logonTime, usingPort;
        qint32 number = 0, board = 0;
        if (!Step(RecvString(Socket, port)))
            return;
        // A server that knows fewer users than it announced ends with "EOF".
        if (port == QLatin1String("EOF"))
            break;
        if (!Step(RecvInteger(Socket, number) && RecvString(Socket, address) && RecvString(Socket, handle) &&
                  RecvString(Socket, userId) && RecvString(Socket, logonTime) && RecvInteger(Socket, board) &&
                  RecvString(Socket, usingPort)))
            return;
        SetCell(grid, row, PortColumn, PadString(port, 4, true));
        SetCell(grid, row, UserNumberColumn, IntToZeroStr(number, 7));
        SetCell(grid, row, UserAddressColumn, address);
        SetCell(grid, row, UserHandleColumn, handle);
        SetCell(grid, row, UserIdentColumn, userId);
        SetCell(grid, row, LogonTimeColumn, logonTime);
        SetCell(grid, row, UserBoardColumn, PadString(QString::number(board), 5, true));
        SetCell(grid, row, UsingPortColumn, usingPort);
    }
}

// ---- board settings --------------------------------------------------------------

// The board settings are ignored while a socket call waits (Busy), as every
// handler of the window is: the table may be in the middle of a reload.

void TBOlcClientForm::PWEditExit()
{
    BoardTitleCache *cache = Cache();
    if (Busy || !cache)
        return;
    Board[size_t(Current)].BoardPassword =
        ConvertPassword(plat::ToCp932(ui->PWEdit->text().toUpper())).left(BoardRecordCapacity::BoardPassword);
    SaveBoards();
    // The next entry sends ENTER with the new password.
    cache->Entered = true;
    EnteredBoard = 0;
    if (ui->SwitchButton->isEnabled())
        ui->SwitchButton->setFocus();
}

bool TBOlcClientForm::RefusePointerChange()
{
    // Reader windows count themselves in their board's ReaderCount while they
    // are open; they read from the pointer in force and would lose their place.
    const BoardTitleCache &cache = *Cache();
    if (cache.ReaderCount == 0)
        return false;
    Status(QStringLiteral("On reading board. Cannot change pointer."));
    ui->PtrEdit->setText(IntToZeroStr(cache.ListPtr, 5));
    ui->TopBiasEdit->setText(QString::number(Board[size_t(Current)].TopBias));
    return true;
}

void TBOlcClientForm::PtrEditExit()
{
    BoardTitleCache *cache = Cache();
    if (Busy || !cache || ui->PtrEdit->text().isEmpty() || RefusePointerChange())
        return;
    const BoardRecord &board = Board[size_t(Current)];
    const qint64 oldest = qint64(board.TopMsg) - 1;
    cache->ListPtr = std::int32_t(
        std::clamp(EditNumber(ui->PtrEdit), oldest, std::max(oldest, oldest + std::max(0, board.MsgNum))));
    cache->FirstWanted = FirstWantedOf(cache->ListPtr, board);
    cache->LastListed = cache->ListPtr;
    cache->AtEnd = false;
    // The stored read pointer moves only as messages are read.
    ui->PtrEdit->setText(IntToZeroStr(cache->ListPtr, 5));
    ui->PointerLabel->setText(IntToZeroStr(cache->ListPtr, 5));
    SetCell(ui->BoardGrid, Current - 1, ReadPtrColumn, IntToZeroStr(cache->ListPtr, 5));
    EnteredBoard = 0;
    if (ui->SwitchButton->isEnabled())
        ui->SwitchButton->setFocus();
}

void TBOlcClientForm::BiasEditExit()
{
    BoardTitleCache *cache = Cache();
    if (Busy || !cache || ui->TopBiasEdit->text().isEmpty() || RefusePointerChange())
        return;
    BoardRecord &board = Board[size_t(Current)];
    board.TopBias = std::int32_t(std::max<qint64>(0, EditNumber(ui->TopBiasEdit)));
    ui->TopBiasEdit->setText(QString::number(board.TopBias));
    SaveBoards();
    cache->FirstWanted = FirstWantedOf(cache->ListPtr, board);
    EnteredBoard = 0;
}

void TBOlcClientForm::TextOnlyCheckBoxClick()
{
    if (!Busy && Cache()) {
        Board[size_t(Current)].TextPriority = ui->TextOnlyCheckBox->isChecked() ? 1 : 0;
        SaveBoards();
        EnteredBoard = 0;
        if (ui->SwitchButton->isEnabled())
            ui->SwitchButton->setFocus();
    }
    // An ignored click gives the box back the setting in force.
    ShowTextPriority();
}

void TBOlcClientForm::ShowTextPriority()
{
    const bool on = Board[size_t(Current)].TextPriority != 0;
    ui->TextOnlyCheckBox->setChecked(on);
    ui->TextOnlyCheckBox->setText(on ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

// ---- maintenance of own messages ---------------------------------------------------

bool TBOlcClientForm::ListsTitleRow(int row) const
{
    // Only a row of the current board's list can be maintained: the grid may
    // still hold another board's titles.
    return row >= 1 && row <= ui->MsgsGrid->rowCount() && Current >= 1 &&
           ListedBoardKey == Board[size_t(Current)].BoardKey;
}

bool TBOlcClientForm::PostedTitleRow(int row) const
{
    return ListsTitleRow(row) && Cell(ui->MsgsGrid, row - 1, UserIdColumn) == TargetHost.UserId;
}

bool TBOlcClientForm::OwnsTitleRow(int row) const
{
    return PostedTitleRow(row) || (ListsTitleRow(row) && IsLocalAddress(TargetHost.IpAddress));
}

void TBOlcClientForm::RefreshMaintenance()
{
    for (QLineEdit *edit : {ui->MesNumEdit, ui->TitleEdit, ui->ReplyEdit})
        edit->clear();
    for (QWidget *control : {static_cast<QWidget *>(ui->TitleEdit), static_cast<QWidget *>(ui->ReplyEdit),
                             static_cast<QWidget *>(ui->DeleteButton), static_cast<QWidget *>(ui->UpdateButton)})
        control->setEnabled(false);
    TitleChanged = ReplyChanged = false;
    ReplyNumber = -1;
    const BoardTitleCache *cache = Cache();
    const int row = cache ? cache->SelectedRow : 0;
    if (!OwnsTitleRow(row))
        return;
    const QString title = Cell(ui->MsgsGrid, row - 1, TitleTextColumn);
    ui->MesNumEdit->setText(Cell(ui->MsgsGrid, row - 1, NumberColumn));
    ui->TitleEdit->setText(title);
    ui->ReplyEdit->setText(Cell(ui->MsgsGrid, row - 1, ReplyColumn));
    ui->DeleteButton->setEnabled(true);
    const bool deleted = title == QLatin1String(olc::DeletedTitle);
    ui->TitleEdit->setEnabled(!deleted);
    ui->ReplyEdit->setEnabled(!deleted);
}

void TBOlcClientForm::MesNumEditExit()
{
    BoardTitleCache *cache = Cache();
    const qint64 number = EditNumber(ui->MesNumEdit);
    if (cache && number > 0) {
        for (int row = ui->MsgsGrid->rowCount(); row >= 1; --row) {
            if (NumberOfRow(row) == number) {
                // A number typed picks only the user's own messages, even
                // from a server on this machine.
                if (PostedTitleRow(row))
                    cache->SelectedRow = row;
                break;
            }
        }
    }
    RefreshMaintenance();
}

void TBOlcClientForm::TitleEditChange()
{
    ui->UpdateButton->setEnabled(true);
    TitleChanged = true;
}

void TBOlcClientForm::ReplyEditChange()
{
    ui->UpdateButton->setEnabled(true);
    ReplyChanged = true;
}

void TBOlcClientForm::ReplyEditExit()
{
    const BoardTitleCache *cache = Cache();
    const int row = cache ? cache->SelectedRow : 0;
    if (!OwnsTitleRow(row))
        return;
    const qint64 typed = EditNumber(ui->ReplyEdit);
    const QString rowReply = Cell(ui->MsgsGrid, row - 1, ReplyColumn);
    ReplyNumber = typed < 1 ? 0
                            : OlderTitleEndingIn(cache->Slots, cache->TopMsg, NumberOfRow(row), typed);
    if (ReplyNumber > 0) {
        ui->ReplyEdit->setText(IntToZeroStr(ReplyNumber, 5));
    } else if (ReplyNumber < 0) {
        ui->ReplyEdit->setText(rowReply);
        ReplyChanged = false;
    } else if (rowReply.isEmpty()) {
        ReplyChanged = false;
    }
    if (!TitleChanged && !ReplyChanged) {
        ui->UpdateButton->setEnabled(false);
        Status(QStringLiteral("Update Invalid !"));
    }
}

bool TBOlcClientForm::SendMaintenanceCommand(const char *word, std::int32_t &recordIndex, MessageRecord &record)
{
    Status(QString());
    const BoardTitleCache *cache = Cache();
    const int row = cache ? cache->SelectedRow : 0;
    recordIndex = 0;
    if (!OwnsTitleRow(row))
        return false;
    const BoardRecord &board = Board[size_t(Current)];
    const std::int32_t number = NumberOfRow(row);
    recordIndex = olc::RecordOfNumber(cache->Slots, cache->TopMsg, number);
    plat::RecordFile index(Folder.boardIndex(board.BoardKey), MessageRecord::Size);
    QByteArray image;
    if (recordIndex < 1 || !index.open() || !index.read(recordIndex, image))
        return false;
    record = MessageRecord::decode(image);
    // The server acts on the board it entered last, which may be another one.
    return record.Number == number && EnsureServerBoard() &&
           Step(SendString(Socket, QByteArray(word) + '\r') && SendInteger(Socket, number));
}

bool TBOlcClientForm::WriteTitleRecord(std::int32_t recordIndex, const MessageRecord &record)
{
    plat::RecordFile index(Folder.boardIndex(Board[size_t(Current)].BoardKey), MessageRecord::Size);
    if (index.open() && index.write(recordIndex, record.encode()))
        return true;
    Status(QStringLiteral("*** ") + index.path() + QStringLiteral(" : ") + index.errorString());
    return false;
}

void TBOlcClientForm::DeleteButtonClick()
{
    Conversation conversation(*this);
    if (conversation.nested())
        return;
    std::int32_t recordIndex = 0;
    MessageRecord record;
    QString answer;
    if (!SendMaintenanceCommand("DELETE", recordIndex, record)) {
        if (!Error)
            Status(QStringLiteral("Delete Failure !"));
        return RefreshMaintenance();
    }
    if (!Step(RecvString(Socket, answer)))
        return;
    if (answer != QLatin1String("ACK")) {
        Status(QStringLiteral("Delete Failure !"));
    } else {
        // DELETE toggles: a deleted message comes back.
        record.Deleted = record.Deleted ? 0 : 1;
        if (WriteTitleRecord(recordIndex, record)) {
            Status(record.Deleted ? QStringLiteral("Delete Success !") : QStringLiteral("Revival Success !"));
            SetCell(ui->MsgsGrid, Cache()->SelectedRow - 1, TitleTextColumn,
                    record.Deleted ? QString::fromLatin1(olc::DeletedTitle) : record.Title);
        }
    }
    RefreshMaintenance();
}

void TBOlcClientForm::UpdateButtonClick()
{
    Conversation conversation(*this);
    if (conversation.nested())
        return;
    // A reply number typed but not yet confirmed is confirmed now.
    ReplyEditExit();
    if (!TitleChanged && !ReplyChanged)
        return;
    const QString title = CleanTitle(ui->TitleEdit->text());
    if (TitleChanged && title.isEmpty())
        return Status(QStringLiteral("Update Invalid !"));
    std::int32_t recordIndex = 0;
    MessageRecord record;
    QString answer;
    if (!SendMaintenanceCommand("UPDATE", recordIndex, record)) {
        if (!Error)
            Status(QStringLiteral("Update Failure !"));
        return RefreshMaintenance();
    }
    if (!Step(SendString(Socket, (TitleChanged ? title : QString()) + QLatin1Char('\r')) &&
              SendInteger(Socket, ReplyChanged ? ReplyNumber : -1) && RecvString(Socket, answer)))
        return;
    if (answer != QLatin1String("ACK")) {
        Status(QStringLiteral("Update Failure !"));
        return RefreshMaintenance();
    }
    const int row = Cache()->SelectedRow - 1;
    if (TitleChanged) {
        record.Title = title;
        OlcpUrl url;
        const bool link = ParseOlcpUrl(title, url);
        record.Flags = link ? record.Flags | MessageRecord::LinkFlag : record.Flags & ~MessageRecord::LinkFlag;
        SetCell(ui->MsgsGrid, row, TitleTextColumn, title);
        SetCell(ui->MsgsGrid, row, LinkColumn, link ? QStringLiteral("*") : QString());
    }
    if (ReplyChanged) {
        record.ReplyTo = ReplyNumber;
        SetCell(ui->MsgsGrid, row, ReplyColumn, ReplyNumber > 0 ? IntToZeroStr(ReplyNumber, 5) : QString());
    }
    if (WriteTitleRecord(recordIndex, record))
        Status(QStringLiteral("Update Success !"));
    RefreshMaintenance();
}

// ---- posting and TEL to a WHO user --------------------------------------------------

void TBOlcClientForm::PostButtonClick()
{
    // Both starts wait, processing events, and the window may go away
    // meanwhile: nothing of it is touched after them.
    if (Busy)
        return;
    const bool shift = std::exchange(ShiftFlag, false);
    if (ui->PostButton->text() == QLatin1String("TEL")) {
        StartWhoTel(ui->UserGrid->currentRow());
    } else if (const BoardTitleCache *cache = Cache()) {
        // With Shift the post answers the message opened last.
        StartPoster(shift ? cache->OpenedNumber : 0);
    }
}

void TBOlcClientForm::StartPoster(std::int32_t replyTo)
{
    OlcChannelParam param = ChildParam(Current);
    param.MessageNumber = replyTo;
    // The post window enables the Post button again once it shows or its start failed.
    StartOlcPoster(TargetHost, param, Hooks, ui->PostButton);
}

void TBOlcClientForm::StartWhoTel(int row)
{
    QTableWidget *grid = ui->UserGrid;
    const QString port = Cell(grid, row, PortColumn);
    const QString address = Cell(grid, row, UserAddressColumn);
    // Rows left empty by a short list name nobody.
    if (row < 0 || port.isEmpty() || address.isEmpty() || !BLookupForm)
        return;
    // A user on a serial line of the server is reached through the server.
    const bool serial = address == QLatin1String("Serial");
    if (serial && ServerVersion < SerialTelVersion)
        return;
    HostRecord tel;
    if (serial) {
        tel.SerialChannel = std::uint8_t(std::clamp(port.mid(3).trimmed().toInt(), 0, 255));
        tel.IpAddress = TargetHost.IpAddress;
        tel.HostName = TargetHost.HostName;
    } else {
        tel.IpAddress = tel.HostName = address;
    }
    HostRecord found;
    const int index = FindHostRecord(tel.IpAddress, 1, found);
    tel.TelPassword = serial ? QByteArray(ZRA_VOLT) : found.TelPassword;
    tel.OlcName = found.OlcName;
    tel.UserId = found.UserId;
    if (index > 0)
        tel.HostName = found.HostName;
    tel.Handle = plat::CutText(TargetHost.Handle + QStringLiteral(" <OLC>"), HandleBytes);
    tel.Memo = plat::CutText(Cell(grid, row, UserHandleColumn) + QStringLiteral(" <OLC>"), MemoBytes);
    tel.ReplyUserId = plat::CutText(Cell(grid, row, UserIdentColumn), UserIdBytes);
    Ui::TBLookupForm &main = *BLookupForm->ui;
    main.HostNameEdit->setText(tel.HostName);
    WriteLog(ZERO, QStringLiteral("\r\nTarget Remote Host : [[ ") + tel.HostName + QStringLiteral(" ]]"));
    StartConnectionWindow(TelSendWindowKind, tel, main.L_StatusBar);
}
