#include "tel/BAccCli.h"

#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "tel/BAccLst.h"
#include "tel/BTelServ.h"
#include "ui_BAccCli.h"
#include "ui_BHostlst.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QIntValidator>
#include <QKeyEvent>
#include <QRadioButton>

#include <mutex>

namespace {

constexpr char NoLetter = '@'; // the code before 'A'
constexpr int WindowHeight = 465;
constexpr int WindowStep = 20;
constexpr int MinPasswordLength = 5;
// A server that sends more list entries than this is not believed.
constexpr int MaxListRows = 10000;
constexpr char AccountPasswordLabel[] = "ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ";
constexpr char FormCaption[] = "Form";
constexpr char ListEnd[] = "EOF";

// The host list grid's "Handle" column.
constexpr int HostGridHandleColumn = 5;

enum LogColumn { LogUserId, LogHandle, LogAddress, LogDate, LogAccess, LogColumns };
enum UserColumn { UserNumber, UserOn, UserIdColumn, UserHandle, UserMail, UserNewAccess, UserColumns };

// The end of the status of an exchange that the server completed but whose
// account file or Account.lst entry could not be written here (logged).
QString LocalSaveFailed()
{
    return QStringLiteral("ﾛｰｶﾙへの保存に失敗しました.");
}

bool OnPage2(char letter)
{
    return letter >= 'N';
}

QString AccessKind(const QString &kind)
{
    switch (kind.isEmpty() ? '\0' : kind.at(0).toLatin1()) {
    case 'A': return QStringLiteral("Account");
    case 'O': return QStringLiteral("OLC");
    case 'T': return QStringLiteral("TEL");
    case 'W': return QStringLiteral("Web-cgi");
    default: return QString();
    }
}

QString Cell(const QTableWidget *grid, int row, int column)
{
    const QTableWidgetItem *item = grid->item(row, column);
    return item ? item->text() : QString();
}

// Unchecks every button of an exclusive group.
void UncheckAll(QButtonGroup *group)
{
    group->setExclusive(false);
    for (QAbstractButton *b : group->buttons())
        b->setChecked(false);
    group->setExclusive(true);
}

} // namespace

TBAccountClientForm::TBAccountClientForm(const HostRecord &host, QWidget *parent)
    : QWidget(parent, Qt::Window), ConnectionWindowState(this),
      ui(std::make_unique<Ui::TBAccountClientForm>()), SexGroup(new QButtonGroup(this)),
      OsGroup(new QButtonGroup(this)), TargetHost(host)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    SexGroup->setObjectName(QStringLiteral("SexGroupButtons"));
    OsGroup->setObjectName(QStringLiteral("OsGroupButtons"));
    SexGroup->addButton(ui->MaleButton, 1);
    SexGroup->addButton(ui->FemaleButton, 2);
    const QList<QRadioButton *> osButtons{ui->OsButton1, ui->OsButton2, ui->OsButton3, ui->OsButton4,
                                          ui->OsButton5, ui->OsButton6, ui->OsButton7};
    for (int i = 0; i < osButtons.size(); ++i)
        OsGroup->addButton(osButtons[i], i + 1);
    ui->EditK->setValidator(new QIntValidator(0, 255, ui->EditK));
    ui->PrintButton->setEnabled(false);
    for (QTableWidget *grid : {ui->UserGrid, ui->LogGrid})
        grid->verticalHeader()->hide();
    for (const AccountFieldSpec &f : AccountFields) {
        if (QLineEdit *edit = Edit(f.Letter))
            edit->installEventFilter(this);
    }
    connect(SexGroup, &QButtonGroup::idClicked, this, [this] { FocusField(NextFieldLetter(Greeting.FieldList, 'J')); });
    connect(OsGroup, &QButtonGroup::idClicked, this, [this] { FocusField(NextFieldLetter(Greeting.FieldList, 'M')); });
    const std::pair<QPushButton *, void (TBAccountClientForm::*)()> handlers[] = {
        {ui->SendButton, &TBAccountClientForm::SendButtonClick},   {ui->RecvButton, &TBAccountClientForm::RecvButtonClick},
        {ui->LogButton, &TBAccountClientForm::LogButtonClick},     {ui->UserButton, &TBAccountClientForm::UserButtonClick},
        {ui->PageButton, &TBAccountClientForm::PageButtonClick},   {ui->PrintButton, &TBAccountClientForm::PrintButtonClick},
        {ui->RebootButton, &TBAccountClientForm::RebootButtonClick}};
    for (const auto &[button, handler] : handlers)
        connect(button, &QPushButton::clicked, this, handler);
    connect(ui->ExitButton, &QPushButton::clicked, this, &QWidget::close);
}

TBAccountClientForm::~TBAccountClientForm() = default;

bool TBAccountClientForm::StartConversation(plat::SOCKET s, const HostRecord &host, const AccountGreeting &greeting)
{
    if (Closed || CloseRequested)
        return false;
    TargetHost = host;
    Greeting = greeting;
    Socket = s;
    Started = true;
    FormShow();
    show();
    return true;
}

// ---- window life -------------------------------------------------------------------

bool TBAccountClientForm::event(QEvent *event)
{
    return HandleConnectionMessage(event, ui->NumberLabel) || QWidget::event(event);
}

void TBAccountClientForm::closeEvent(QCloseEvent *event)
{
    if (ConversationDecidesClose(event))
        return;
    Closed = true;
    FormClose();
    event->accept();
}

bool TBAccountClientForm::Step(bool ok)
{
    if (!ConnectionWindowState::Step(ok))
        CloseWhenIdle();
    return ok;
}

void TBAccountClientForm::FormShow()
{
    const int offset = (TargetHost.Channel + 2) * WindowStep;
    move(MainPosition.Left + offset, MainPosition.Top + offset);
    resize(MainPosition.Width, WindowHeight);

    Account = AccountRecord();
    ShowAccountPage();
    ui->IdLabel->setText(Greeting.UserId);
    ui->ChNumLabel->setText(QString::number(TargetHost.Channel));
    ui->OlcpvLabel->setText(TargetHost.OlcpVersion);
    {
        std::lock_guard lock(WaitingTelsLock);
        ui->NumberLabel->setText(QString::number(WaitingTels));
    }
    ShowFieldList();

    if (!Greeting.UserId.isEmpty()) {
        const QString path = AccountFilePath(Greeting.UserId);
        if (const std::optional<AccountRecord> stored = path.isEmpty() ? std::nullopt : ReadAccountFile(path))
            Account = *stored;
        Account.UserId = Greeting.UserId;
        RecordToEdits();
        ui->AccStatusBar->showMessage(QStringLiteral("ﾃﾞｰﾀの更新には [Send], ｻｰﾊﾞ登録内容の確認には [Recv]."));
        Authorized = false;
        UpdateListButtons();
        ui->RecvButton->setFocus();
    } else {
        ui->AccStatusBar->showMessage(QStringLiteral("ｱｶｳﾝﾄの取得には,すべての項目に正しく入力して [Send]."));
        Authorized = true;
        ui->UserButton->hide();
        ui->LogButton->hide();
        ui->RecvButton->setEnabled(false);
        ClearFields();
        FocusField(NextFieldLetter(Greeting.FieldList, NoLetter));
    }
    ui->LevelLabel->setText(Account.Level ? QString(QLatin1Char(Account.Level)) : QString());
    const bool maintenance = ProgramVersion == QLatin1String(MaintenanceVersion);
    ui->RebootButton->setVisible(maintenance);
    ui->RebootButton->setEnabled(maintenance);
    if (maintenance)
        ui->RebootButton->setText(QStringLiteral("Reboot"));

    SetAccountGrid(ui->LogGrid, {QStringLiteral("User ID"), QStringLiteral("Handle"), QStringLiteral("IP Addr"),
                             QStringLiteral("Date"), QStringLiteral("Access")},
               {64, 124, 124, 124, 64});
    SetAccountGrid(ui->UserGrid, {QString(), QStringLiteral("ON"), QStringLiteral("User ID"), QStringLiteral("Handle"),
                              QStringLiteral("Mail Address"), QStringLiteral("New Access")},
               {48, 24, 64, 160, 160, 80});
    const QDateTime now = QDateTime::currentDateTime();
    LogBanner(QStringLiteral("Account  to    [[ ") + TargetHost.IpAddress + QStringLiteral(" ]]  ") + TargetHost.Memo +
              QStringLiteral("\r\n") + QString(15, QLatin1Char(' ')) + plat::FormatShortDate(now) +
              QLatin1Char(' ') + plat::FormatLongTime(now));
}

void TBAccountClientForm::FormClose()
{
    if (Socket != plat::INVALID_SOCKET) {
        if (!Error)
            SendString(Socket, "OFF\r");
        BreakConnection();
    }
    ChannelStates[size_t(TargetHost.Channel)] = 0;
}

// ---- fields -------------------------------------------------------------------------

QLineEdit *TBAccountClientForm::Edit(char letter) const
{
    if (letter < 'A' || letter > 'P' || (AccountField(letter).Capacity == 0 && letter != 'K'))
        return nullptr;
    return findChild<QLineEdit *>(QStringLiteral("Edit") + QLatin1Char(letter));
}

char TBAccountClientForm::NextFieldLetter(const QString &fieldList, char letter)
{
    for (char next = char(letter + 1); next <= 'P'; ++next) {
        if (InFieldList(fieldList, next))
            return next;
    }
    return NoLetter;
}

void TBAccountClientForm::ShowFieldList()
{
    for (const AccountFieldSpec &f : AccountFields) {
        const bool shown = InFieldList(Greeting.FieldList, f.Letter);
        findChild<QWidget *>(QStringLiteral("Label") + QLatin1Char(f.Letter))->setVisible(shown);
        const QString field = f.Letter == 'J'   ? QStringLiteral("SexGroup")
                              : f.Letter == 'M' ? QStringLiteral("OsGroup")
                              : f.Letter == 'D' ? QStringLiteral("PasswordPanel")
                              : f.Letter == 'L' ? QStringLiteral("BirthdayPanel")
                                                : QStringLiteral("Edit") + QLatin1Char(f.Letter);
        findChild<QWidget *>(field)->setVisible(shown);
    }
}

void TBAccountClientForm::ShowPage(int page)
{
    ui->PageStack->setCurrentWidget(page == 1 ? ui->Page1Panel : ui->Page2Panel);
    ui->PageButton->setText(page == 1 ? QStringLiteral("Page.2") : QStringLiteral("Page.1"));
}

void TBAccountClientForm::FocusField(char letter)
{
    Current = letter;
    if (letter == NoLetter) {
        ui->AccStatusBar->clearMessage();
        ui->HintPanel->clear();
        ui->SendButton->setFocus();
        return;
    }
    ShowPage(OnPage2(letter) ? 2 : 1);
    if (QLineEdit *edit = Edit(letter)) {
        edit->setFocus();
    } else {
        QButtonGroup *group = letter == 'J' ? SexGroup : OsGroup;
        (group->checkedButton() ? group->checkedButton() : group->buttons().first())->setFocus();
    }
    ui->HintPanel->setText(QString::fromUtf8(AccountField(letter).Hint));
}

void TBAccountClientForm::ClearFields()
{
    for (QLineEdit *edit : ui->Page1Panel->findChildren<QLineEdit *>() + ui->Page2Panel->findChildren<QLineEdit *>())
        edit->clear();
    UncheckAll(SexGroup);
    UncheckAll(OsGroup);
    Current = NoLetter;
    ui->HintPanel->clear();
    ShowPage(1);
}

void TBAccountClientForm::RecordToEdits()
{
    for (const AccountFieldSpec &f : AccountFields) {
        if (f.Capacity == 0)
            continue;
        QLineEdit *edit = Edit(f.Letter);
        edit->setText(f.Letter == 'D' ? QString::fromLatin1(ConvertPassword(Account.Text('D')))
                                      : plat::FromCp932(Account.Text(f.Letter)));
    }
    if (!ui->EditD->text().isEmpty())
        ui->EditD->setEchoMode(QLineEdit::Password);
    ui->EditK->setText(Account.Age ? QString::number(Account.Age) : QString());
    // Codes out of range check no button.
    for (auto [group, code] : {std::pair{SexGroup, Account.Sex}, {OsGroup, Account.Os}}) {
        UncheckAll(group);
        if (QAbstractButton *b = group->button(code))
            b->setChecked(true);
    }
    Current = NoLetter;
    ShowPage(1);
}

void TBAccountClientForm::EditsToRecord()
{
    for (const AccountFieldSpec &f : AccountFields) {
        if (f.Capacity == 0)
            continue;
        const QString text = Edit(f.Letter)->text();
        Account.Text(f.Letter) = f.Letter == 'D' ? ConvertPassword(text.toUpper().toLatin1())
                                                 : plat::CutCp932(plat::ToCp932(text), f.Capacity);
    }
    bool ok = false;
    const int age = ui->EditK->text().toInt(&ok);
    Account.Age = ok && age >= 0 && age <= 255 ? std::uint8_t(age) : 0;
    Account.Sex = std::uint8_t(std::max(SexGroup->checkedId(), 0));
    Account.Os = std::uint8_t(std::max(OsGroup->checkedId(), 0));
}

bool TBAccountClientForm::eventFilter(QObject *watched, QEvent *event)
{
    auto *edit = qobject_cast<QLineEdit *>(watched);
    if (!edit || !edit->objectName().startsWith(QLatin1String("Edit")))
        return QWidget::eventFilter(watched, event);
    const char letter = edit->objectName().at(4).toLatin1();
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (letter == 'D') {
            ui->EditD->clear();
            ui->EditD->setEchoMode(QLineEdit::Normal);
        }
        FocusField(letter);
        break;
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            EditEnter(letter);
            return true;
        }
        break;
    }
    case QEvent::FocusOut:
        if (letter == 'D')
            LeavePassword();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TBAccountClientForm::EditEnter(char letter)
{
    Current = letter;
    if (letter == 'D' && ui->EditD->text().size() < MinPasswordLength) {
        ui->EditD->clear();
        return;
    }
    if (letter == 'D')
        LeavePassword();
    FocusField(NextFieldLetter(Greeting.FieldList, letter));
}

// A password shorter than the server takes is no password; a long enough one
// is hidden again.
void TBAccountClientForm::LeavePassword()
{
    if (ui->EditD->text().size() < MinPasswordLength)
        ui->EditD->clear();
    else
        ui->EditD->setEchoMode(QLineEdit::Password);
}

void TBAccountClientForm::PageButtonClick()
{
    ShowPage(ui->PageStack->currentWidget() == ui->Page1Panel ? 2 : 1);
}

// ---- exchanges ---------------------------------------------------------------------

TBAccountClientForm::Authorization TBAccountClientForm::Authorize(const QString &command,
                                                                    const QString &authorizedCommand,
                                                                    bool quietRefusal)
{
    if (Error)
        return Authorization::Stop;
    if (Authorized)
        return Step(SendString(Socket, authorizedCommand + QLatin1Char('\r'))) ? Authorization::Granted
                                                                               : Authorization::Stop;
    QByteArray password;
    const QString label = QString::fromUtf8(AccountPasswordLabel);
    if (!ShowPasswordDialog(this, label, QString(), password, true, label, QLatin1Char('*')) || password.isEmpty())
        return Authorization::Stop;
    QByteArray answer;
    if (!Step(SendRecvString(Socket, plat::ToCp932(command) + '\r' + password + '\r', answer)))
        return Authorization::Stop;
    if (answer == "ACK") {
        Authorized = true;
        return Authorization::Granted;
    }
    if (!quietRefusal)
        ui->AccStatusBar->showMessage(QStringLiteral("ﾊﾟｽﾜｰﾄﾞが間違っています."));
    return Authorization::Stop;
}

TBAccountClientForm::SaveOutcome TBAccountClientForm::SaveAccount()
{
    AccountRecord confirmed = Account;
    const AccountVerdict verdict = RecvAccountVerdict(Socket, confirmed);
    if (!Step(verdict != AccountVerdict::Failed))
        return SaveOutcome::Failed;
    if (verdict == AccountVerdict::Refused)
        return SaveOutcome::Refused;
    Account = confirmed;
    ui->IdLabel->setText(Account.UserId);
    ui->LevelLabel->setText(Account.Level ? QString(QLatin1Char(Account.Level)) : QString());
    const std::optional<StoredAccount> stored = StoreAccount(Account, TargetHost);
    TargetHost.UserId = Account.UserId;
    if (!stored)
        return SaveOutcome::NotStoredHere;
    if (stored->HostUpdated && BHostListForm) {
        if (QTableWidgetItem *cell = BHostListForm->ui->HostListGrid->item(TargetHost.HostListIndex - 1,
                                                                          HostGridHandleColumn))
            cell->setText(stored->Entry.Handle);
    }
    if (BAccountListForm)
        BAccountListForm->ShowAccountRow(stored->Index, stored->Entry);
    CurrentHost.Handle = stored->Entry.Handle;
    CurrentHost.UserId = Account.UserId;
    return SaveOutcome::Saved;
}

void TBAccountClientForm::SendButtonClick()
{
    Conversation conversation(*this);
    ui->AccStatusBar->clearMessage();
    if (Authorize(QStringLiteral("SEND"), QStringLiteral("SEND")) != Authorization::Granted)
        return;
    EditsToRecord();
    if (!Step(SendRecord(Socket, Greeting.FieldList, Account)))
        return;
    const SaveOutcome outcome = SaveAccount();
    if (outcome == SaveOutcome::Failed)
        return;
    if (outcome != SaveOutcome::Refused) {
        ui->AccStatusBar->showMessage(outcome == SaveOutcome::Saved
                                          ? QStringLiteral("ｱｶｳﾝﾄの登録/更新に成功しました.")
                                          : QStringLiteral("ｱｶｳﾝﾄの登録/更新に成功しましたが, ") + LocalSaveFailed());
        ui->RecvButton->setEnabled(true);
        UpdateListButtons();
        ui->RecvButton->setFocus();
        return;
    }
    if (Account.UserId.isEmpty()) {
        ClearFields();
        ui->AccStatusBar->showMessage(QStringLiteral("ｱｶｳﾝﾄの新規登録に失敗しました."));
    } else {
        ui->AccStatusBar->showMessage(QStringLiteral("ｱｶｳﾝﾄの更新に失敗しました."));
    }
    const QString status = ui->AccStatusBar->currentMessage();
    FocusField(NextFieldLetter(Greeting.FieldList, Current));
    ui->AccStatusBar->showMessage(status);
}

void TBAccountClientForm::RecvButtonClick()
{
    Conversation conversation(*this);
    if (Authorize(QStringLiteral("RECV"), QStringLiteral("RECV")) != Authorization::Granted)
        return;
    const bool received = RecvRecord(Socket, Greeting.FieldList, Account);
    RecordToEdits();
    if (!Step(received))
        return;
    const SaveOutcome outcome = SaveAccount();
    if (outcome == SaveOutcome::Failed)
        return;
    ui->AccStatusBar->showMessage(outcome == SaveOutcome::NotStoredHere
                                      ? QStringLiteral("ｻｰﾊﾞ保管のｱｶｳﾝﾄ情報を受信しましたが, ") + LocalSaveFailed()
                                      : QStringLiteral("ｻｰﾊﾞ保管のｱｶｳﾝﾄ情報を正しく受信しました."));
}

void TBAccountClientForm::RebootButtonClick()
{
    Conversation conversation(*this);
    Authorize(QStringLiteral("REBOOT"), QStringLiteral("REBOOT"), true);
}

void TBAccountClientForm::LogButtonClick()
{
    ToggleList(true);
}

void TBAccountClientForm::UserButtonClick()
{
    ToggleList(false);
}

// "User" and "Log" show; each is enabled when the user's access letter
// reaches the letter its list needs.
void TBAccountClientForm::UpdateListButtons()
{
    ui->UserButton->show();
    ui->LogButton->show();
    ui->UserButton->setEnabled(Account.Level >= Greeting.UserListLetter);
    ui->LogButton->setEnabled(Account.Level >= Greeting.LogListLetter);
}

void TBAccountClientForm::ShowAccountPage()
{
    ui->LogButton->setText(QStringLiteral("Log"));
    ui->UserButton->setText(QStringLiteral("User"));
    ui->PrintButton->setEnabled(false);
    ShowPage(OnPage2(Current) ? 2 : 1);
}

void TBAccountClientForm::ToggleList(bool log)
{
    Conversation conversation(*this);
    QPushButton *button = log ? ui->LogButton : ui->UserButton;
    if (button->text() == QLatin1String(FormCaption)) {
        ShowAccountPage();
        for (QPushButton *b : {ui->SendButton, ui->RecvButton, ui->PageButton})
            b->setEnabled(true);
        UpdateListButtons();
        if (Current != NoLetter)
            FocusField(Current);
        return;
    }
    const Authorization granted = log ? Authorize(QStringLiteral("LOG"), QStringLiteral("ENTER"))
                                      : Authorize(QStringLiteral("USER"), QStringLiteral("WHO"));
    if (granted != Authorization::Granted)
        return;
    button->setText(QLatin1String(FormCaption));
    for (QPushButton *b : {ui->SendButton, ui->RecvButton, ui->PageButton, log ? ui->UserButton : ui->LogButton})
        b->setEnabled(false);
    ui->PrintButton->setEnabled(true);
    ui->PageStack->setCurrentWidget(log ? ui->LogGrid : ui->UserGrid);
    ui->HintPanel->clear();
    Step(RecvList(log));
}

// Entries of five lines each until "EOF" stands where an entry would begin.
bool TBAccountClientForm::RecvList(bool log)
{
    QTableWidget *grid = log ? ui->LogGrid : ui->UserGrid;
    grid->setRowCount(0);
    for (int row = 0;; ++row) {
        QStringList lines;
        for (int i = 0; i < 5; ++i) {
            QString line;
            if (!RecvString(Socket, line))
                return false;
            if (i == 0 && line == QLatin1String(ListEnd)) {
                FitAccountGrid(grid);
                return true;
            }
            lines.append(line);
        }
        if (row >= MaxListRows) {
            WriteLog(ALPHA, QStringLiteral("*** Account : list longer than %1 entries").arg(MaxListRows));
            return false;
        }
        grid->insertRow(row);
        QStringList cells;
        if (log) {
            cells = {lines[0], lines[1], lines[2], lines[3], AccessKind(lines[4])};
        } else {
            cells = {QString::number(row + 1).rightJustified(5), lines[0], lines[1], lines[2], lines[3], lines[4]};
        }
        for (int c = 0; c < cells.size(); ++c)
            grid->setItem(row, c, new QTableWidgetItem(cells[c]));
        if (!log && lines[1] == TargetHost.UserId)
            grid->selectRow(row);
    }
}

void TBAccountClientForm::PrintButtonClick()
{
    const bool log = ui->PageStack->currentWidget() == ui->LogGrid;
    const QTableWidget *grid = log ? ui->LogGrid : ui->UserGrid;
    WriteLog(ALPHA, log ? QStringLiteral("\r\n### Log List\r\n") : QStringLiteral("\r\n### User List\r\n"));
    for (int row = 0; row < grid->rowCount(); ++row) {
        const QString sep = QStringLiteral(": ");
        if (log)
            WriteLog(ALPHA, PadString(Cell(grid, row, LogUserId), 8, true) + sep +
                                PadString(Cell(grid, row, LogHandle), 20, true) + sep +
                                PadString(Cell(grid, row, LogAddress), 16, true) + sep + Cell(grid, row, LogDate));
        else
            WriteLog(ALPHA, PadString(QString::number(row + 1), 3, false) + sep +
                                PadString(Cell(grid, row, UserIdColumn), 8, true) + sep +
                                PadString(Cell(grid, row, UserHandle), 20, true) + sep + Cell(grid, row, UserMail));
    }
}
