#include "tel/BRecvTel.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "core/ScrollImage.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"
#include "ui_BRecvTel.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>
#include <QShowEvent>
#include <QStatusBar>

#include <algorithm>
#include <mutex>

TBRecvTelegramForm *BRecvTelegramForm = nullptr;

namespace {

constexpr char SaveCaption[] = "Save";
constexpr char SaveHint[] = "受信したﾃｷｽﾄをｾｰﾌﾞする";
constexpr char BackCaption[] = "Back";
constexpr char BackHint[] = "ひとつ前のﾍﾟｰｼﾞに戻る";
constexpr char ServerChatName[] = "Server Machine Chat";
constexpr int HostNameBytes = 48, HandleBytes = 32, MemoBytes = 80;

qint32 WaitingCount()
{
    std::lock_guard lock(WaitingTelsLock);
    return WaitingTels;
}

// Tells the user about the choice of HTML display. Not modal: the window is
// created at start-up, which must not wait for the user.
void ShowNotice(QWidget *owner, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, owner);
    box->setObjectName(QStringLiteral("HtmlDisplayNotice"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

// Only files of this machine are ever loaded into the HTML view.
bool IsLocalUrl(const QUrl &url)
{
    return url.isLocalFile() && url.host().isEmpty();
}

// Links that the desktop's browser or mail program may be given.
bool IsBrowserLink(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("mailto");
}

// UTF-8 when the page says so (mark or declaration), else CP932.
QString DecodeHtml(const QByteArray &bytes)
{
    static const QRegularExpression utf8Declared(QStringLiteral("charset\\s*=\\s*[\"']?utf-?8"),
                                                 QRegularExpression::CaseInsensitiveOption);
    if (bytes.startsWith("\xEF\xBB\xBF") || utf8Declared.match(QString::fromLatin1(bytes.left(1024))).hasMatch())
        return QString::fromUtf8(bytes);
    return plat::FromCp932(bytes);
}

// A text TEL's body, read only from inside the text file: a record whose
// Start or Bytes is negative, beyond a TEL body's size or past the end of the
// file gives what lies inside (possibly nothing), and says so in the log.
QByteArray ReadTelBody(const MessageRecord &record)
{
    std::lock_guard lock(TelTextLock);
    const QString path = TelTextFile();
    if (!TelBodyInside(record, plat::FileSize(path)))
        WriteLog(ALPHA, QStringLiteral("*** TEL Text Error : TEL ") + QString::number(record.Number) +
                            QStringLiteral(" lies outside ") + path + QStringLiteral(" ***"));
    return plat::ReadFileAt(path, record.Start, std::min<qint64>(record.Bytes, MaxTelBody));
}

} // namespace

bool WriteTempHtml(const QString &path, const QByteArray &body)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(body) == body.size() && file.commit())
        return true;
    WriteLog(ALPHA, QStringLiteral("*** Temp File Error : ") + path + QStringLiteral(" : ") + file.errorString());
    return false;
}

// ---- the HTML view -------------------------------------------------------------

TRecvHtmlView *TRecvHtmlView::InsertAfter(QWidget *component, std::function<void(const QUrl &)> onRetrieve)
{
    QWidget *window = component->parentWidget();
    auto *view = new TRecvHtmlView(window);
    view->setObjectName(QStringLiteral("HtmlControl"));
    view->hide();
    QFont font(QStringLiteral("ＭＳ 明朝"));
    font.setPixelSize(13);
    view->document()->setDefaultFont(font);
    view->OnRetrieve = std::move(onRetrieve);
    auto *form = static_cast<QBoxLayout *>(window->layout());
    form->insertWidget(form->indexOf(component) + 1, view, 1);
    return view;
}

TRecvHtmlView::TRecvHtmlView(QWidget *parent)
    : QTextBrowser(parent), OpenInBrowser([](const QUrl &url) { return QDesktopServices::openUrl(url); })
{
    // A clicked link comes here first, then to doSetSource, which loads
    // only local pages: never straight to the desktop.
    setOpenExternalLinks(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl &link) {
        const QUrl url = source().resolved(link);
        if (IsBrowserLink(url))
            OfferBrowser(url);
    });
}

void TRecvHtmlView::doSetSource(const QUrl &name, QTextDocument::ResourceType type)
{
    // Always handed on absolute, so that a relative link never resolves
    // against the current directory.
    const QUrl url = source().resolved(name);
    if (!IsLocalUrl(url))
        return;
    // Every URL goes into the history, unless Back asked for it or the history is full.
    if (HistoryUrls.size() < HistorySize && !HistoryMove) {
        HistoryUrls.append(url.toString());
        if (OnRetrieve)
            OnRetrieve(url);
    }
    HistoryMove = false;
    QTextBrowser::doSetSource(url, type);
}

void TRecvHtmlView::ShowFile(const QString &path)
{
    HistoryUrls.clear();
    HistoryMove = false;
    const QUrl url = QUrl::fromLocalFile(path);
    if (source() == url)
        reload();
    else
        setSource(url);
}

void TRecvHtmlView::Back()
{
    if (HistoryUrls.size() <= 1)
        return;
    HistoryMove = true;
    HistoryUrls.removeLast();
    setSource(QUrl(HistoryUrls.last()));
}

// The address came from a peer's page: shown as plain text.
void TRecvHtmlView::OfferBrowser(const QUrl &url)
{
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(),
                    QStringLiteral("このリンクをブラウザで開きますか?\n") + url.toString(),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("BrowserLinkQuestion"));
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() == QMessageBox::Yes && OpenInBrowser)
        OpenInBrowser(url);
}

// A page names its pictures itself: only regular files of a bounded size
// are read, so a page naming a device, a pipe or a huge file cannot hang the
// window or fill the memory.
QVariant TRecvHtmlView::loadResource(int type, const QUrl &name)
{
    const QUrl url = source().resolved(name);
    if (!IsLocalUrl(url))
        return {};
    const QFileInfo info(url.toLocalFile());
    if (!info.isFile() || info.size() > MaxResourceBytes)
        return {};
    if (type != QTextDocument::HtmlResource)
        return QTextBrowser::loadResource(type, url);
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return DecodeHtml(file.readAll());
}

// ---- the window ----------------------------------------------------------------

void ShowReceiveWindow()
{
    if (!BRecvTelegramForm)
        return;
    BRecvTelegramForm->show();
    BRecvTelegramForm->raise();
    BRecvTelegramForm->activateWindow();
}

TBRecvTelegramForm::TBRecvTelegramForm(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), ui(std::make_unique<Ui::TBRecvTelegramForm>()),
      ScreenPopup(new QMenu(this)), FullScreen(ScreenPopup->addAction(QStringLiteral("Full Screen"))),
      SaveDialog(new QFileDialog(this))
{
    ui->setupUi(this);
    ScreenPopup->setObjectName(QStringLiteral("ScreenPopup"));
    FullScreen->setObjectName(QStringLiteral("FullScreen"));
    FullScreen->setCheckable(true);
    SaveDialog->setObjectName(QStringLiteral("SaveDialog"));
    SaveDialog->setOption(QFileDialog::DontUseNativeDialog);
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    FormCreate();
    ConnectHandlers();
    TelFollowUp.ShowReceiveWindow = ShowReceiveWindow;
}

TBRecvTelegramForm::~TBRecvTelegramForm()
{
    if (BRecvTelegramForm == this)
        BRecvTelegramForm = nullptr;
}

// The HTML display. No system web browser control exists here, so the HTML
// control (a local-only HTML view) is the one in use. HtmlViewer names the
// display the user chose: only a setting that asked for the browser (0) is
// switched to the HTML control, and the user is told once. An outside viewer
// (2) stays the user's choice, and a setting that already names the HTML
// control is no news; neither flag is stored, so anything else would undo
// the setting and repeat the notice at every start.
void TBRecvTelegramForm::FormCreate()
{
    HtmlControl = TRecvHtmlView::InsertAfter(
        ui->RecvRich, [this](const QUrl &url) { ui->RecvStatusBar->showMessage(url.toString()); });
    UseWebBrowser = false;
    UseHtmlControl = true;
    if (HtmlViewer == 0) {
        HtmlViewer = 1;
        ShowNotice(this, QStringLiteral("ｼｽﾃﾑのWebﾌﾞﾗｳｻﾞ･ｺﾝﾄﾛｰﾙがｲﾝｽﾄｰﾙされていないため, それによるHTML内部表示はできません.\n"
                                        "HTMLｺﾝﾄﾛｰﾙによる内部表示に切り替えます."));
    }
}

void TBRecvTelegramForm::ConnectHandlers()
{
    connect(ui->ExitButton, &QPushButton::clicked, this, &TBRecvTelegramForm::ExitButtonClick);
    connect(ui->ReplyButton, &QPushButton::clicked, this, &TBRecvTelegramForm::ReplyButtonClick);
    connect(ui->SaveButton, &QPushButton::clicked, this, &TBRecvTelegramForm::SaveButtonClick);
    connect(ui->ViewButton, &QPushButton::clicked, this, &TBRecvTelegramForm::ViewButtonClick);
    connect(ui->NextButton, &QPushButton::clicked, this, &TBRecvTelegramForm::NextButtonClick);
    connect(ui->BehindButton, &QPushButton::clicked, this, &TBRecvTelegramForm::BehindButtonClick);
    connect(FullScreen, &QAction::triggered, this, &TBRecvTelegramForm::FullScreenClick);
}

// Message 2025 with wParam 0: a TEL was stored, lParam TELs wait. (wParam 1
// is this window's own announcement.) Message 2026: the program closes.
bool TBRecvTelegramForm::event(QEvent *event)
{
    if (event->type() == plat::WindowMessageEvent::EventType()) {
        const auto *message = static_cast<const plat::WindowMessageEvent *>(event);
        if (message->message() == WaitingTelsMessage && message->wParam() == 0) {
            ui->NumberLabel->setText(QString::number(message->lParam()));
            ui->NextButton->setEnabled(true);
        } else if (message->message() == CloseWindowsMessage) {
            close();
        }
        return true;
    }
    return QWidget::event(event);
}

// Every show by the program or the user displays the next unread TEL; the
// window's own re-show after a change of style does not.
void TBRecvTelegramForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous() && !ReshowGuard)
        FormShow();
}

void TBRecvTelegramForm::FormShow()
{
    if (WaitingCount() == -1) // start-up has not counted the log yet
        return;
    move(MainPosition.Left + 20, MainPosition.Top + 20);
    resize(MainPosition.Width, 350);
    ui->TopPanel->show();
    ui->BottomPanel->show();
    ShowRichPane();
    ui->RecvRich->PopupQuote = QuotationMark;
    ui->RecvRich->HideHead();
    ui->NextButton->setEnabled(false);
    FullScreen->setChecked(false);
    Reply = HostRecord{};
    ShowTel();
}

void TBRecvTelegramForm::ShowTel()
{
    if (WaitingCount() > 0 && ReadNextReceived()) {
        ShowLabels();
        if (Record.Flags & MessageRecord::FileFlag)
            ui->RecvRich->AddText(QStringLiteral("\r\n【ファイル受信】 << ") + Record.FileName + QStringLiteral(" >>"));
        else
            ShowTextBody();
        ui->NextButton->setEnabled(WaitingCount() > 1);
        if (Record.Flags & MessageRecord::FileFlag)
            ShowFileTel();
        CountShown();
    }
    FocusFirstButton();
}

// Reads the first received record from TelegPointer on and moves the pointer
// past it (sent records are passed over), then saves the pointer. A log that
// ends before such a record means the count was wrong: the pointer stops at
// the end and nothing counts as unread any more.
bool TBRecvTelegramForm::ReadNextReceived()
{
    bool found = false;
    {
        std::lock_guard lock(TelDataLock);
        plat::RecordFile file(TelDataFile(), MessageRecord::Size);
        if (!file.open()) {
            WriteLog(ALPHA, QStringLiteral("*** TEL Log File Error : ") + file.errorString());
            return false;
        }
        const qint64 count = file.count();
        qint64 index = std::max<qint64>(TelegPointer, 1);
        QByteArray image;
        for (; !found && index < count && file.read(index, image); ++index) {
            const MessageRecord record = MessageRecord::decode(image);
            found = record.Title.startsWith(QLatin1String("Recv"));
            if (found)
                Record = record;
        }
        TelegPointer = static_cast<qint32>(std::min(index, count));
        if (!found) {
            std::lock_guard waitingLock(WaitingTelsLock);
            WaitingTels = 0;
        }
    }
    SaveSettingsReported();
    if (!found) {
        ui->NumberLabel->setText(QStringLiteral("0"));
        plat::BroadcastToForms(WaitingTelsMessage, 1, -1);
    }
    return found;
}

void TBRecvTelegramForm::ShowLabels()
{
    Stay = Record.Flags & MessageRecord::StayFlag;
    Serial = Record.Flags & MessageRecord::SerialFlag;
    ServerChat = Serial && Record.Address == 0;
    Forwarded = Record.Forwarded != 0;
    ui->RecvRich->Clear();
    SenderAddress = plat::inet_ntoa(Record.Address);
    ui->HostNameLabel->setText(ServerChat ? QLatin1String(ServerChatName) : SenderAddress);
    ui->HandleLabel->setText(Record.Handle);
    ui->OlcpvLabel->setText(Record.AuxText1);
    const QDateTime stored = plat::FromDayDate(Record.DateTime);
    ui->StumpLabel->setText(plat::FormatShortDate(stored) + QLatin1Char(' ') + plat::FormatLongTime(stored));
    ui->BytesLabel->setText(QString::number(Record.Bytes));
    ui->NumberLabel->setText(QString::number(WaitingCount() - 1));
    ui->StayLabel->hide();
    const auto mark = [this](const char *text) {
        ui->StayLabel->setText(QLatin1String(text));
        ui->StayLabel->show();
    };
    if (Forwarded)
        mark("Forward TEL");
    if (Stay || Serial)
        ui->HandleLabel->setText(Record.UserId + QStringLiteral(" <<") + Record.Handle + QStringLiteral(">>"));
    if (Stay)
        mark("Stay TEL");
    if (Serial) {
        mark("Serial TEL");
        ui->OlcpvLabel->setText(QStringLiteral("CH # ") + QString::number(Record.Channel));
    }
}

// An HTML body is shown inside (from Temp.html) while HtmlViewer is below 2;
// any other body, and HTML that is not shown inside, goes to RecvRich, which
// shows RTF formatted and everything else as plain text.
void TBRecvTelegramForm::ShowTextBody()
{
    const QByteArray body = ReadTelBody(Record);
    const QString temp = TempDirectory + QStringLiteral("/Temp.html");
    if ((Record.Flags & MessageRecord::HtmlFlag) && HtmlViewer < 2 && WriteTempHtml(temp, body)) {
        File = temp;
        ShowHtmlInside();
        return;
    }
    ui->RecvRich->LoadFromBuffer(body);
}

bool FindReceivedFileViewer(QWidget *window, TRichView *fileNote, const MessageRecord &record, const QString &folder,
                            QString &path, QString &application)
{
    const QString name = SafeBaseName(record.FileName);
    if (name.isEmpty())
        return false;
    path = folder + QLatin1Char('/') + name;
    ResolveHtmlArchive(window, fileNote, record.Title, name, path);
    return FindViewer(path, application);
}

// The received file as a viewer shows it: an HTML archive by its start page;
// with ViewingDirect at once, else when View is pressed. A file no viewer
// takes keeps only its note line.
void TBRecvTelegramForm::ShowFileTel()
{
    QString path, application;
    if (!FindReceivedFileViewer(this, ui->RecvRich, Record, TelegDirectory, path, application))
        return;
    File = path;
    Viewer = application;
    if (ViewingDirect)
        ShowFileInside();
    else
        ui->ViewButton->setEnabled(true);
}

// The TEL on show no longer waits; every form learns the new count.
void TBRecvTelegramForm::CountShown()
{
    qint32 left = 0;
    {
        std::lock_guard lock(WaitingTelsLock);
        left = --WaitingTels;
    }
    plat::BroadcastToForms(WaitingTelsMessage, 1, left - 1);
}

void TBRecvTelegramForm::FocusFirstButton()
{
    QPushButton *button = ui->NextButton->isEnabled()   ? ui->NextButton
                          : ui->ViewButton->isEnabled() ? ui->ViewButton
                                                        : ui->ExitButton;
    button->setFocus();
}

// ---- what fills the window -------------------------------------------------------

void TBRecvTelegramForm::ShowPane(QWidget *pane)
{
    for (QWidget *w : {static_cast<QWidget *>(ui->RecvRich), static_cast<QWidget *>(ui->RecvSImage),
                       static_cast<QWidget *>(HtmlControl)})
        w->setVisible(w == pane);
}

// The text view fills the window again, with Save, View off and no status.
void TBRecvTelegramForm::ShowRichPane()
{
    ShowPane(ui->RecvRich);
    ui->SaveButton->setText(QLatin1String(SaveCaption));
    ui->SaveButton->setToolTip(QString::fromUtf8(SaveHint));
    ui->SaveButton->setEnabled(true);
    ui->ViewButton->setEnabled(false);
    ui->RecvStatusBar->clearMessage();
}

void TBRecvTelegramForm::ShowHtmlInside()
{
    ui->SaveButton->setText(QLatin1String(BackCaption));
    ui->SaveButton->setToolTip(QString::fromUtf8(BackHint));
    ShowPane(HtmlControl);
    HtmlControl->ShowFile(File);
}

void TBRecvTelegramForm::ShowImageInside()
{
    QString error;
    if (!ui->RecvSImage->LoadFromFile(File, &error)) {
        ui->RecvStatusBar->showMessage(QStringLiteral("*** ") + error);
        return;
    }
    ShowPane(ui->RecvSImage);
    ui->RecvStatusBar->showMessage(File);
}

// A picture or an HTML file inside, anything else with its viewer.
void TBRecvTelegramForm::ShowFileInside()
{
    if (ImageViewer && IsImageFile(File))
        ShowImageInside();
    else if (HtmlViewer < 2 && IsHtmlFile(File))
        ShowHtmlInside();
    else
        OpenWithViewer(Viewer, File);
}

// The style changes with the window hidden; showing it again must not
// count as a new show.
void TBRecvTelegramForm::SetStayOnTop(bool on)
{
    const bool visible = isVisible();
    ReshowGuard = true;
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (visible)
        show();
    ReshowGuard = false;
}

// ---- buttons ----------------------------------------------------------------------

void TBRecvTelegramForm::NextButtonClick()
{
    ShowRichPane();
    ShowTel();
}

void TBRecvTelegramForm::ExitButtonClick()
{
    close();
}

// "Save" saves the text; "Back" returns to the previous page of the HTML view.
void TBRecvTelegramForm::SaveButtonClick()
{
    if (ui->SaveButton->text() == QLatin1String(BackCaption)) {
        HtmlControl->Back();
        return;
    }
    SaveDialog->setDirectory(TextDirectory);
    if (SaveDialog->exec() != QDialog::Accepted || SaveDialog->selectedFiles().isEmpty())
        return;
    const QString path = SaveDialog->selectedFiles().constFirst();
    if (!ui->RecvRich->SaveToFile(path)) {
        ui->RecvStatusBar->showMessage(QStringLiteral("*** Save Error : ") + path);
        return;
    }
    TextDirectory = QFileInfo(path).absolutePath();
}

void TBRecvTelegramForm::ViewButtonClick()
{
    if (ui->BehindButton->isEnabled()) {
        ui->BehindButton->setEnabled(false);
        SetStayOnTop(false);
    }
    ShowFileInside();
}

void TBRecvTelegramForm::BehindButtonClick()
{
    if (ui->RecvSImage->isVisible() || HtmlControl->isVisible())
        ui->ViewButton->setEnabled(true);
    ui->BehindButton->setEnabled(false);
    SetStayOnTop(false);
}

void TBRecvTelegramForm::FullScreenClick()
{
    const bool full = FullScreen->isChecked();
    ui->TopPanel->setVisible(!full);
    ui->BottomPanel->setVisible(!full);
}

void TBRecvTelegramForm::contextMenuEvent(QContextMenuEvent *event)
{
    ScreenPopup->exec(event->globalPos());
}

// ---- reply --------------------------------------------------------------------------

void TBRecvTelegramForm::BuildReplyRecord(int hostIndex, const HostRecord &found)
{
    Reply = HostRecord{};
    Reply.HostListIndex = hostIndex;
    Reply.IpAddress = SenderAddress;
    Reply.HostName = plat::CutText(ui->HostNameLabel->text(), HostNameBytes);
    Reply.TelPassword = QByteArray(ZRA_VOLT);
    Reply.Handle = ServerChat ? QStringLiteral("SysOp [Reply]") : plat::CutText(found.Handle + QStringLiteral(" [Reply]"), HandleBytes);
    Reply.UserId = found.UserId;
    Reply.Memo = plat::CutText(QStringLiteral("Re: ") + Record.Handle, MemoBytes);
    Reply.OlcName = found.OlcName;
    Reply.OlcpVersion = Record.AuxText1;
    Reply.ReplyFlag = 1;
    Reply.SerialChannel = 0;
    if (Stay) {
        Reply.UserId = Record.AuxText2; // the ID the TEL was fetched under
        Reply.ReplyUserId = Record.UserId;
    } else if (Serial) {
        Reply.SerialChannel = Record.Channel;
        Reply.ReplyUserId = Record.UserId;
    }
}

// Answers the TEL on show: a send window to its sender, which then becomes
// the main window's target.
void TBRecvTelegramForm::ReplyButtonClick()
{
    if (!ui->NextButton->isEnabled())
        close();
    HostRecord found;
    const int index = FindHostRecord(SenderAddress, 1, found);
    BuildReplyRecord(index, found);
    WriteLog(ALPHA, QStringLiteral("\r\nTarget Remote Host : [[ ") + SenderAddress + QStringLiteral(" ]]"));
    if (!BLookupForm)
        return;
    Ui::TBLookupForm &main = *BLookupForm->ui;
    main.HostNameEdit->setText(Reply.HostName);
    for (QPushButton *button : {main.OriginButton, main.TelButton, main.OlcButton, main.AccountButton})
        button->setEnabled(true);
    // The start processes events: this window may go away meanwhile.
    QPointer<TBRecvTelegramForm> self(this);
    HostRecord reply = Reply;
    const ConnectionStartResult result = StartConnectionWindow(TelSendWindowKind, reply, main.L_StatusBar);
    if (!self || result == ConnectionStartResult::AllChannelsBusy || result == ConnectionStartResult::NotAvailable ||
        result == ConnectionStartResult::Abandoned)
        return;
    reply.TelPassword = found.TelPassword;
    reply.Handle = found.Handle;
    reply.Memo = found.Memo;
    Reply = reply;
    CurrentHost = reply;
}

// ---- closing --------------------------------------------------------------------------

void TBRecvTelegramForm::closeEvent(QCloseEvent *event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

// With unread TELs the user may go on reading instead.
bool TBRecvTelegramForm::FormCloseQuery()
{
    if (WaitingCount() <= 0)
        return true;
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                    QStringLiteral("未読の着信TELが残っています. 表示しますか?"), QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("UnreadQuestion"));
    if (box.exec() != QMessageBox::Yes)
        return true;
    NextButtonClick();
    return false;
}

// Unread TELs left lock the receive window in the main window; the window
// goes back to its first state, staying on top, without counting as a show.
void TBRecvTelegramForm::FormClose()
{
    hide();
    const bool unread = WaitingCount() > 0;
    if (BLookupForm) {
        BLookupForm->ui->RecvNumLabel->setVisible(unread);
        BLookupForm->ui->LockCheckBox->setChecked(unread);
    }
    ShowRichPane();
    ui->BehindButton->setEnabled(true);
    SetStayOnTop(true);
    setWindowState(Qt::WindowNoState);
}
