#include "core/BHostlst.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "olc/OlcStore.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "platform/ShortString.h"
#include "platform/WinMessages.h"
#include "tel/AccountRecord.h"

#include "ui_BHostlst.h"
#include "ui_BLookup.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QShowEvent>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <unistd.h>

QString HostListFile;
int HostListCount = 0;
HostRecord CurrentHost;
HostRecord ForwardHost;

TBHostListForm *BHostListForm = nullptr;

namespace {

// The OLCP edition of this program; peers two or more editions ahead ask for
// an update.
constexpr int ThisEdition = 303;

void ReportFileError(const QString &error)
{
    WriteLog(ALPHA, QStringLiteral("Host List File : ") + error);
}

QString SystemError(const QString &what, const QString &path)
{
    return what + QLatin1Char(' ') + path + QStringLiteral(" : ") + QString::fromLocal8Bit(std::strerror(errno));
}

QString AddressOf(const QByteArray &image)
{
    return plat::DecodeShortString(image.constData() + HostRecordOffset::IpAddress, 16);
}

// Compared as stored bytes: the signature must match exactly, case and length included.
bool HasSignature(const QByteArray &header)
{
    return plat::DecodeShortBytes(header.constData() + HostRecordOffset::Memo, 80) == QByteArray(HostListSignature);
}

HostRecord HeaderRecord()
{
    HostRecord header;
    header.IpAddress = plat::FormatShortDate(QDateTime::currentDateTime());
    header.HostName = HeaderVersionText();
    header.Memo = QString::fromLatin1(HostListSignature);
    return header;
}

HostRecord LocalMachineRecord()
{
    HostRecord host;
    host.IpAddress = LocalAddresses.first();
    host.HostName = LocalHostName;
    host.Memo = QStringLiteral("Your Local Machine");
    host.OlcpVersion = QLatin1String(OlcpVersionText);
    return host;
}

} // namespace

bool ReplaceFile(const QString &path, const QByteArray &bytes, QString &error)
{
    QTemporaryFile temp(path + QStringLiteral(".XXXXXX"));
    if (!temp.open() || temp.write(bytes) != bytes.size() || !temp.flush()) {
        error = temp.errorString() + QStringLiteral(" (") + temp.fileTemplate() + QLatin1Char(')');
        return false;
    }
    if (::fsync(temp.handle()) != 0) {
        error = SystemError(QStringLiteral("Cannot write"), temp.fileName());
        return false;
    }
    if (::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        error = SystemError(QStringLiteral("Cannot replace"), path);
        return false;
    }
    temp.setAutoRemove(false);
    return true;
}

namespace {

// Keeps a file that is not a host list as "<name>.bad" (replacing an older
// one), so that writing the default list loses nothing.
bool SetAsideForeignFile()
{
    const QString bad = HostListFile + QStringLiteral(".bad");
    if (::rename(QFile::encodeName(HostListFile).constData(), QFile::encodeName(bad).constData()) != 0) {
        ReportFileError(SystemError(QStringLiteral("Cannot rename"), HostListFile));
        return false;
    }
    WriteLog(ALPHA, QStringLiteral("Host List File : kept as ") + bad);
    return true;
}

// Leaves HostListFile holding a valid list; false when it cannot (reported).
bool PrepareHostListFile()
{
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!file.open()) {
        if (!file.exists())
            return CreateDefaultHostList();
        ReportFileError(file.errorString());
        return false;
    }
    QByteArray header;
    const bool valid = file.read(0, header) && HasSignature(header);
    file.close();
    if (valid)
        return true;
    WriteLog(ALPHA, QStringLiteral("Host List File : Data Error !"));
    return SetAsideForeignFile() && CreateDefaultHostList();
}

int CountHostRecords()
{
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!file.open()) {
        ReportFileError(file.errorString());
        return 0;
    }
    return static_cast<int>(std::min<qint64>(file.count(), INT_MAX));
}

bool OpenHostList(plat::RecordFile &file)
{
    if (file.open())
        return true;
    ReportFileError(file.errorString());
    return false;
}

// Replaces only the OlcpVersion bytes of a stored record: the other fields are
// written back exactly as they were read.
bool PatchVersion(plat::RecordFile &file, qint64 index, QByteArray &image, const QByteArray &field)
{
    image.replace(HostRecordOffset::OlcpVersion, field.size(), field);
    if (!file.write(index, image)) {
        ReportFileError(file.errorString());
        return false;
    }
    // Threads record versions too: the window, if open, updates its cell on
    // the GUI thread, which is also where it is looked up.
    const QString address = AddressOf(image);
    const QString version = plat::DecodeShortString(field.constData(), 8);
    plat::RunOnGuiThread([index, address, version] {
        if (BHostListForm)
            BHostListForm->ShowHostVersion(static_cast<int>(index), address, version);
    });
    return true;
}

bool IsHostIndex(int index)
{
    return index >= 1 && index < HostListCount;
}

// Records 0 .. HostListCount - 1; the caller holds HostListLock.
bool ReadAllRecords(QByteArrayList &records)
{
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!OpenHostList(file))
        return false;
    QByteArray image;
    for (int i = 0; i < HostListCount; ++i) {
        if (!file.read(i, image)) {
            ReportFileError(file.errorString());
            return false;
        }
        records.append(image);
    }
    return true;
}

// Applies change to the whole list and writes it through a temporary file:
// a crash leaves either the old list or the new one, never a mix.
bool RewriteHostList(const std::function<void(QByteArrayList &)> &change)
{
    std::lock_guard lock(HostListLock);
    QByteArrayList records;
    if (!ReadAllRecords(records))
        return false;
    change(records);
    QString error;
    if (!ReplaceFile(HostListFile, records.join(), error)) {
        ReportFileError(error);
        return false;
    }
    HostListCount = static_cast<int>(records.size());
    return true;
}

} // namespace

void LoadHostList()
{
    std::lock_guard lock(HostListLock);
    if (!QFileInfo(ListDirectory).isDir())
        ListDirectory = MainDirectory;
    HostListFile = ListDirectory + QLatin1Char('/') + ListFileName;
    HostListCount = PrepareHostListFile() ? CountHostRecords() : 0;
    if (HostListCount == 0)
        WriteLog(ALPHA, QStringLiteral("Host List File : not loaded, the host list is empty"));
    if (BHostListForm)
        BHostListForm->FillHostGrid();
}

bool CreateDefaultHostList()
{
    std::lock_guard lock(HostListLock);
    QByteArray image = HeaderRecord().encode();
    if (!LocalAddresses.isEmpty())
        image += LocalMachineRecord().encode();
    QString error;
    if (ReplaceFile(HostListFile, image, error))
        return true;
    ReportFileError(error);
    return false;
}

QStringList HostRecordToRow(const HostRecord &record)
{
    const auto set = [](bool filled) { return filled ? QStringLiteral("SET") : QString(); };
    return {set(!record.OlcName.isEmpty()), set(!record.TelPassword.isEmpty()), set(!record.OlcPassword.isEmpty()),
            record.IpAddress,               record.HostName,                    record.Handle,
            record.Memo,                    record.OlcpVersion};
}

QList<QStringList> HostListRows()
{
    std::lock_guard lock(HostListLock);
    QList<QStringList> rows;
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (HostListCount < 2 || !OpenHostList(file))
        return rows;
    QByteArray image;
    for (int i = 1; i < HostListCount && file.read(i, image); ++i)
        rows.append(HostRecordToRow(HostRecord::decode(image)));
    return rows;
}

int FindHostRecord(const QString &address, int startIndex, HostRecord &record)
{
    record = HostRecord();
    std::lock_guard lock(HostListLock);
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (startIndex >= HostListCount || !OpenHostList(file))
        return 0;
    QByteArray image;
    for (int i = std::max(startIndex, 1); file.read(i, image); ++i) {
        if (AddressOf(image) == address) {
            record = HostRecord::decode(image);
            return i;
        }
    }
    return 0;
}

bool RewriteHostVersion(int index, const QString &address, const QString &version)
{
    std::lock_guard lock(HostListLock);
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!OpenHostList(file))
        return false;
    const QByteArray field = plat::EncodeShortString(version, 8);
    QByteArray image;
    if (index >= 1 && file.read(index, image) && AddressOf(image) == address)
        return PatchVersion(file, index, image, field);
    bool rewritten = false;
    for (int i = 1; file.read(i, image); ++i) {
        if (AddressOf(image) == address && PatchVersion(file, i, image, field))
            rewritten = true;
    }
    return rewritten;
}

bool ReadHostRecord(int index, HostRecord &record)
{
    std::lock_guard lock(HostListLock);
    plat::RecordFile file(HostListFile, HostRecord::Size);
    QByteArray image;
    if (!IsHostIndex(index) || !OpenHostList(file) || !file.read(index, image))
        return false;
    record = HostRecord::decode(image);
    return true;
}

bool WriteHostRecord(int index, const HostRecord &record)
{
    std::lock_guard lock(HostListLock);
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (!IsHostIndex(index) || !OpenHostList(file))
        return false;
    if (file.write(index, record.encode()))
        return true;
    ReportFileError(file.errorString());
    return false;
}

int AppendHostRecord(const HostRecord &record)
{
    std::lock_guard lock(HostListLock);
    plat::RecordFile file(HostListFile, HostRecord::Size);
    if (HostListCount < 1 || !OpenHostList(file))
        return 0;
    if (!file.write(HostListCount, record.encode())) {
        ReportFileError(file.errorString());
        return 0;
    }
    return HostListCount++;
}

bool DeleteHostRecord(int index)
{
    std::lock_guard lock(HostListLock);
    return IsHostIndex(index) && RewriteHostList([index](QByteArrayList &records) { records.removeAt(index); });
}

bool MoveHostRecord(int from, int to)
{
    std::lock_guard lock(HostListLock);
    return IsHostIndex(from) && IsHostIndex(to) &&
           RewriteHostList([from, to](QByteArrayList &records) { records.move(from, to); });
}

bool CopyHostList(const QString &path)
{
    std::lock_guard lock(HostListLock);
    QByteArrayList records;
    QString error;
    if (!ReadAllRecords(records))
        return false;
    if (ReplaceFile(path, records.join(), error))
        return true;
    ReportFileError(error);
    return false;
}

int CountListRecords(const QString &path)
{
    plat::RecordFile file(path, HostRecord::Size);
    QByteArray header;
    if (!file.open() || !file.read(0, header) || !HasSignature(header))
        return 0;
    return static_cast<int>(std::min<qint64>(file.count(), INT_MAX));
}

void CheckOlcpVersion(int index, const QString &address, const QString &version)
{
    if (PeerVersionNumber(version) > ThisEdition + 1)
        ReqVersionUp = true;
    RewriteHostVersion(index, address, version);
}

// ---- the host list window --------------------------------------------------------

namespace {

constexpr int GridColumns = 8;
constexpr int ColumnWidths[GridColumns] = {28, 40, 40, 104, 192, 64, 128, 56};
constexpr int AddressColumn = 3, HostNameColumn = 4, HandleColumn = 5, MemoColumn = 6, VersionColumn = 7;
// Peers from this version on pass TELs on.
constexpr int ForwardMinVersion = 209;
constexpr char AddCaption[] = "Add";
constexpr char UpdateCaption[] = "Update";

// The handle of the account file of userId; nothing when there is no such file.
std::optional<QString> AccountHandle(const QString &userId)
{
    const QString path = AccountFilePath(userId);
    const std::optional<AccountRecord> account = path.isEmpty() ? std::nullopt : ReadAccountFile(path);
    if (!account)
        return std::nullopt;
    return plat::FromCp932(account->Text('C'));
}

// A new server folder's board table: the header record alone.
bool CreateBoardTable(const QString &olcName, QString &error)
{
    plat::RecordFile table(olc::ServerFolder(olcName).boardTable(), BoardRecord::Size);
    if (table.create() && table.write(0, olc::MakeBoardHeader().encode()))
        return true;
    error = table.errorString();
    return false;
}

// A host as a target: it goes by its address when it has no name, and no
// serial channel comes along.
HostRecord AsTarget(HostRecord record)
{
    if (record.HostName.isEmpty())
        record.HostName = record.IpAddress;
    record.SerialChannel = 0;
    return record;
}

// The boxes carry names, so that what answers them can tell them apart.
bool AskYesNo(QWidget *owner, const QString &name, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, owner->windowTitle(), text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setObjectName(name);
    return box.exec() == QMessageBox::Yes;
}

void Notice(QWidget *owner, const QString &name, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, owner->windowTitle(), text, QMessageBox::Ok, owner);
    box.setObjectName(name);
    box.exec();
}

// A list file chosen in the open or save dialog (named dialogName); empty when none.
QString ChooseListFile(QWidget *owner, const QString &dialogName, QFileDialog::AcceptMode mode)
{
    QFileDialog dialog(owner, QString(), ListDirectory);
    dialog.setObjectName(dialogName);
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("lst"));
    // The shown names keep their own pattern texts; the patterns that apply
    // follow in the last parentheses.
    dialog.setNameFilters({QStringLiteral("Host List Files (*.lst, *.txt) (*.lst *.txt)"),
                           QStringLiteral("すべてのﾌｧｲﾙ (*.*) (*)")});
    dialog.selectFile(ListFileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

} // namespace

TBHostListForm::TBHostListForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBHostListForm>()), PWPopupMenu(new QMenu(this))
{
    ui->setupUi(this);
    PWPopupMenu->setObjectName(QStringLiteral("PWPopupMenu"));
    const std::pair<const char *, const char *> items[] = {
        {"UserID", "Account UserID"}, {"OlcName", "OLC Name"},        {"TelPWMenu", "TEL Password"},
        {"OlcPWMenu", "OLC Password"}, {"OlcpVersion", "OLCP Version"}, {"RmtDishPW", "RmtDish Password"},
    };
    for (const auto &[name, text] : items)
        PWPopupMenu->addAction(QString::fromLatin1(text))->setObjectName(QLatin1String(name));

    QTableWidget *grid = ui->HostListGrid;
    const QStringList titles = {QStringLiteral("OLC"),        QStringLiteral("TelPW"),     QStringLiteral("OlcPW"),
                                QStringLiteral("IP Address"), QStringLiteral("Host Name"), QStringLiteral("Handle"),
                                QStringLiteral("Memo"),       QStringLiteral("OLCPVer")};
    grid->setHorizontalHeaderLabels(titles);
    // A column is never narrower than its title in the font at hand, and the
    // version column fits a whole version string (8 characters).
    const QFontMetrics titleMetrics(grid->horizontalHeader()->font());
    for (int column = 0; column < GridColumns; ++column)
        grid->setColumnWidth(column,
                             std::max(ColumnWidths[column], titleMetrics.horizontalAdvance(titles[column]) + 14));
    const int versionWidth = QFontMetrics(grid->font()).horizontalAdvance(QStringLiteral("OLCP303L")) + 14;
    grid->setColumnWidth(VersionColumn, std::max(grid->columnWidth(VersionColumn), versionWidth));
    // Rows are dragged by their header cell.
    grid->verticalHeader()->setSectionsMovable(true);
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
    ConnectHandlers();
}

TBHostListForm::~TBHostListForm() = default;

void TBHostListForm::ConnectHandlers()
{
    QTableWidget *grid = ui->HostListGrid;
    // A row is chosen by a click or by the keys: the edits follow either way;
    // a click also moves on to the memo.
    connect(grid, &QTableWidget::itemSelectionChanged, this, &TBHostListForm::ShowSelectedRow);
    connect(grid, &QTableWidget::cellClicked, this, &TBHostListForm::HostListGridClick);
    connect(grid, &QTableWidget::cellDoubleClicked, this, &TBHostListForm::SelectHost);
    connect(grid->verticalHeader(), &QHeaderView::sectionMoved, this, [this](int, int oldVisual, int newVisual) {
        // The file decides the order: put the header back and show the moved list.
        QHeaderView *header = ui->HostListGrid->verticalHeader();
        const QSignalBlocker blocker(header);
        header->moveSection(newVisual, oldVisual);
        HostListRowMoved(oldVisual + 1, newVisual + 1);
    });
    const std::pair<QPushButton *, void (TBHostListForm::*)()> buttons[] = {
        {ui->SelectButton, &TBHostListForm::SelectHost},
        {ui->ExitButton, &TBHostListForm::ExitButtonClick},
        {ui->AddButton, &TBHostListForm::AddButtonClick},
        {ui->DeleteButton, &TBHostListForm::DeleteButtonClick},
        {ui->LoadButton, &TBHostListForm::LoadButtonClick},
        {ui->SaveButton, &TBHostListForm::SaveButtonClick},
        {ui->OptionButton, &TBHostListForm::OptionButtonClick},
        {ui->ForwardButton, &TBHostListForm::ForwardButtonClick},
    };
    for (const auto &[button, handler] : buttons)
        connect(button, &QPushButton::clicked, this, handler);
    connect(ui->HostNameEdit, &QLineEdit::returnPressed, this, [this] { EditEnter(ui->HandleEdit); });
    connect(ui->HandleEdit, &QLineEdit::returnPressed, this, [this] { EditEnter(ui->MemoEdit); });
    connect(ui->MemoEdit, &QLineEdit::returnPressed, this, [this] { EditEnter(nullptr); });
    const std::pair<const char *, const char *> fields[] = {
        {"UserID", "Account UserID"}, {"TelPWMenu", "TEL"},       {"OlcPWMenu", "OLC"},
        {"OlcpVersion", "OLCP Version"}, {"RmtDishPW", "Remote Dish"},
    };
    for (const auto &[name, kind] : fields) {
        connect(PWPopupMenu->findChild<QAction *>(QLatin1String(name)), &QAction::triggered, this,
                [this, kind = QString::fromLatin1(kind)] { EditHostField(kind); });
    }
    connect(PWPopupMenu->findChild<QAction *>(QStringLiteral("OlcName")), &QAction::triggered, this,
            &TBHostListForm::OlcNameMenuClick);
}

void TBHostListForm::FillHostGrid()
{
    const QList<QStringList> rows = HostListRows();
    QTableWidget *grid = ui->HostListGrid;
    grid->setRowCount(static_cast<int>(rows.size()));
    grid->horizontalHeader()->setVisible(!rows.isEmpty());
    for (int row = 0; row < rows.size(); ++row) {
        for (int column = 0; column < GridColumns; ++column)
            grid->setItem(row, column, new QTableWidgetItem(rows[row].value(column)));
    }
}

void TBHostListForm::ShowHostVersion(int index, const QString &address, const QString &version)
{
    QTableWidget *grid = ui->HostListGrid;
    const QTableWidgetItem *addressCell = grid->item(index - 1, AddressColumn);
    if (index >= 1 && addressCell && addressCell->text() == address)
        grid->setItem(index - 1, VersionColumn, new QTableWidgetItem(version));
}

// The host of the grid's selected row; 0 when no host row is selected.
int TBHostListForm::SelectedRow() const
{
    const QModelIndexList rows = ui->HostListGrid->selectionModel()->selectedRows();
    const int row = rows.isEmpty() ? 0 : rows.constFirst().row() + 1;
    return IsHostIndex(row) ? row : 0;
}

bool TBHostListForm::CurrentRecord(int &row, HostRecord &record) const
{
    row = SelectedRow();
    return row != 0 && ReadHostRecord(row, record);
}

void TBHostListForm::FillEdits(int row)
{
    const auto cell = [this, row](int column) {
        const QTableWidgetItem *item = ui->HostListGrid->item(row - 1, column);
        return item ? item->text() : QString();
    };
    ui->IpAddrEdit->setText(cell(AddressColumn));
    ui->HostNameEdit->setText(cell(HostNameColumn));
    ui->HandleEdit->setText(cell(HandleColumn));
    ui->MemoEdit->setText(cell(MemoColumn));
}

void TBHostListForm::ClearEdits()
{
    for (QLineEdit *edit : {ui->IpAddrEdit, ui->HostNameEdit, ui->HandleEdit, ui->MemoEdit})
        edit->clear();
}

// After the rows changed under it, no row is selected and the edits are
// empty: Update writes nothing until the user chooses a row again.
void TBHostListForm::DeselectRow()
{
    ui->HostListGrid->setCurrentItem(nullptr);
    ui->HostListGrid->clearSelection();
    ClearEdits();
}

// Writes host row and shows it; a failed write is logged and the row keeps
// showing what the file holds.
void TBHostListForm::StoreRecord(int row, const HostRecord &record)
{
    if (!WriteHostRecord(row, record))
        return;
    const QStringList cells = HostRecordToRow(record);
    for (int column = 0; column < GridColumns; ++column)
        ui->HostListGrid->setItem(row - 1, column, new QTableWidgetItem(cells.value(column)));
}

void TBHostListForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    move(MainPosition.Left + 60, MainPosition.Top + 60);
    SelectResult = 2;
    Adding = 0;
    ui->ForwardIpLabel->setText(ForwardHost.HostName);
    ui->ForwardLabel->setVisible(!ForwardHost.HostName.isEmpty());
    if (!ui->IpAddrEdit->text().isEmpty()) {
        ui->AddButton->setText(QLatin1String(AddCaption));
        ui->MemoEdit->setFocus();
    } else if (HostListCount < 2) {
        ui->AddButton->hide();
        ui->ExitButton->setFocus();
    } else {
        ui->HostListGrid->selectRow(0);
        FillEdits(1);
        ui->AddButton->setText(QLatin1String(UpdateCaption));
        ui->MemoEdit->setFocus();
    }
}

void TBHostListForm::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    ClearEdits();
    ui->AddButton->show();
    setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    if (!BLookupForm)
        return;
    if (SelectResult == 1)
        BLookupForm->LogTargetHost();
    else
        BLookupForm->ui->HostNameEdit->setFocus();
}

bool TBHostListForm::ShowSelectedRow()
{
    const int row = SelectedRow();
    if (Adding || row == 0)
        return false;
    FillEdits(row);
    ui->AddButton->setText(QLatin1String(UpdateCaption));
    return true;
}

void TBHostListForm::HostListGridClick()
{
    if (ShowSelectedRow())
        ui->MemoEdit->setFocus();
}

void TBHostListForm::SelectHost()
{
    int row = 0;
    HostRecord record;
    if (!CurrentRecord(row, record)) {
        SelectResult = 2;
        close();
        return;
    }
    if (!record.UserId.isEmpty() && !QFileInfo::exists(AccountFilePath(record.UserId))) {
        Notice(this, QStringLiteral("AccountNotice"), QMessageBox::NoIcon,
               QStringLiteral("<<") + record.UserId +
                   QStringLiteral(">> のｱｶｳﾝﾄ･ﾃﾞｰﾀ･ﾌｧｲﾙがありません. ｱｶｳﾝﾄID に間違いがなければ\r\n"
                                  "[Account] -> [Recv] でｻｰﾊﾞに登録されているﾃﾞｰﾀをﾀﾞｳﾝﾛｰﾄﾞしてください."));
    }
    CurrentHost = AsTarget(record);
    CurrentHost.HostListIndex = row;
    if (BLookupForm)
        BLookupForm->ui->HostNameEdit->setText(CurrentHost.HostName);
    SelectResult = 1;
    close();
}

void TBHostListForm::ExitButtonClick()
{
    SelectResult = 2;
    close();
}

void TBHostListForm::AddButtonClick()
{
    if (ui->AddButton->text() == QLatin1String(AddCaption))
        Adding = 1;
    SaveHostRow();
}

// Add writes a new last host, after which the button updates that host;
// Update rewrites the current host's four edited fields.
void TBHostListForm::SaveHostRow()
{
    int row = 0;
    HostRecord record;
    if (!Adding && !CurrentRecord(row, record))
        return;
    record.IpAddress = ui->IpAddrEdit->text();
    record.HostName = ui->HostNameEdit->text();
    record.Handle = ui->HandleEdit->text();
    record.Memo = ui->MemoEdit->text();
    if (Adding) {
        Adding = 0;
        row = AppendHostRecord(record);
        if (row == 0)
            return;
        ui->HostListGrid->setRowCount(HostListCount - 1);
        ui->HostListGrid->horizontalHeader()->show();
        ui->AddButton->setText(QLatin1String(UpdateCaption));
        // The file holds the record: showing it needs no second write. The
        // row shows it before it is selected, since the edits follow the row.
        const QStringList cells = HostRecordToRow(record);
        for (int column = 0; column < GridColumns; ++column)
            ui->HostListGrid->setItem(row - 1, column, new QTableWidgetItem(cells.value(column)));
        ui->HostListGrid->selectRow(row - 1);
    } else {
        StoreRecord(row, record);
    }
    ui->MemoEdit->setFocus();
}

// Enter in an edit: on to next, or from the memo, Add/Update.
void TBHostListForm::EditEnter(QWidget *next)
{
    if (ui->IpAddrEdit->text().isEmpty())
        return;
    if (next)
        next->setFocus();
    else
        AddButtonClick();
}

void TBHostListForm::DeleteButtonClick()
{
    int row = 0;
    HostRecord record;
    if (!CurrentRecord(row, record))
        return;
    const QString question = QStringLiteral("Host: ") + record.IpAddress + QStringLiteral("  <<") + record.HostName +
                             QStringLiteral(">>  を本当に削除してもいいですか?");
    if (!AskYesNo(this, QStringLiteral("DeleteQuestion"), question))
        return;
    DeleteHostRecord(row);
    FillHostGrid();
    DeselectRow();
}

void TBHostListForm::HostListRowMoved(int from, int to)
{
    MoveHostRecord(from, to);
    FillHostGrid();
    if (!IsHostIndex(to))
        return;
    ui->HostListGrid->selectRow(to - 1);
    FillEdits(to);
    ui->MemoEdit->setFocus();
}

// Another list takes over only when it is a host list.
void TBHostListForm::LoadButtonClick()
{
    const QString path = ChooseListFile(this, QStringLiteral("OpenDialog"), QFileDialog::AcceptOpen);
    const int count = path.isEmpty() ? 0 : CountListRecords(path);
    if (count == 0)
        return;
    {
        std::lock_guard lock(HostListLock);
        HostListFile = path;
        HostListCount = count;
    }
    const QFileInfo file(path);
    ListDirectory = file.absolutePath();
    ListFileName = file.fileName();
    Adding = 0;
    FillHostGrid();
    DeselectRow();
}

// A copy under the new name; the settings name it from the next start on,
// and only once the whole copy is written.
void TBHostListForm::SaveButtonClick()
{
    const QString path = ChooseListFile(this, QStringLiteral("SaveDialog"), QFileDialog::AcceptSave);
    if (path.isEmpty() || QFileInfo(path) == QFileInfo(HostListFile))
        return;
    if (!CopyHostList(path)) {
        Notice(this, QStringLiteral("SaveError"), QMessageBox::Warning,
               QStringLiteral("Cannot write the host list \"%1\".").arg(path));
        return;
    }
    const QFileInfo file(path);
    ListDirectory = file.absolutePath();
    ListFileName = file.fileName();
}

void TBHostListForm::OptionButtonClick()
{
    PWPopupMenu->popup(frameGeometry().topLeft() + QPoint(72, 266));
}

// kind: "Account UserID", "TEL", "OLC", "OLCP Version" or "Remote Dish".
void TBHostListForm::EditHostField(const QString &kind)
{
    int row = 0;
    HostRecord record;
    if (!CurrentRecord(row, record))
        return;
    const bool userId = kind.contains(QLatin1String("ID"));
    const bool version = kind.contains(QLatin1String("Ver"));
    const QString title = QStringLiteral("ﾀｰｹﾞｯﾄﾎｽﾄの ") + kind +
                          (userId || version ? QString() : QStringLiteral(" Password"));
    const QString label = (userId ? QStringLiteral("User ID") : version ? QStringLiteral("Version") : QString()) +
                          QStringLiteral(" (8文字以内)");
    if (userId) {
        QString name;
        if (!ShowNameDialog(this, title, record.UserId, name, label))
            return;
        record.UserId = name;
        if (const auto handle = name.isEmpty() ? std::nullopt : AccountHandle(name)) {
            record.Handle = *handle;
            ui->HandleEdit->setText(*handle);
        }
    } else {
        QByteArray &password = kind == QLatin1String("TEL")   ? record.TelPassword
                               : kind == QLatin1String("OLC") ? record.OlcPassword
                                                              : record.RmtDishPassword;
        const QString initial = version ? record.OlcpVersion : QString::fromLatin1(ConvertPassword(password));
        QByteArray text;
        if (!ShowPasswordDialog(this, title, initial, text, false, label, QChar()))
            return;
        if (version)
            record.OlcpVersion = QString::fromLatin1(text);
        else
            password = ConvertPassword(text);
    }
    StoreRecord(row, record);
}

// A new OLC name gets its folder in the OLC store with an empty board table;
// a name whose folder exists is shared only when the user agrees.
void TBHostListForm::OlcNameMenuClick()
{
    int row = 0;
    HostRecord record;
    QString name;
    if (!CurrentRecord(row, record) ||
        !ShowNameDialog(this, QStringLiteral("OLC Name"), record.OlcName, name,
                        QStringLiteral("ﾀｰｹﾞｯﾄﾎｽﾄの OLC Name (8文字以内)")) ||
        name == record.OlcName)
        return;
    record.OlcName = name;
    if (!name.isEmpty()) {
        const QString folder = OlcClientDirectory + QLatin1Char('/') + name;
        QString error;
        if (QFileInfo(folder).isDir()) {
            if (!AskYesNo(this, QStringLiteral("ShareQuestion"),
                          QStringLiteral("既に同名のOLC名があります.このOLC名を共用しますか?")))
                return;
        } else if (!QDir().mkpath(folder) || !CreateBoardTable(name, error)) {
            Notice(this, QStringLiteral("OlcFolderError"), QMessageBox::Warning,
                   QStringLiteral("Cannot create \"%1\". %2").arg(folder, error));
            return;
        }
    }
    StoreRecord(row, record);
}

void TBHostListForm::ForwardButtonClick()
{
    int row = 0;
    HostRecord record;
    if (!CurrentRecord(row, record))
        return;
    if (PeerVersionNumber(record.OlcpVersion) < ForwardMinVersion) {
        if (BLookupForm)
            BLookupForm->ui->AutoreplyCheckBox->setChecked(false);
        return;
    }
    ForwardHost = AsTarget(record);
    ui->ForwardLabel->show();
    ui->ForwardIpLabel->setText(ForwardHost.HostName);
    if (BLookupForm)
        BLookupForm->StartForwardMode();
}
