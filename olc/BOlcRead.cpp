#include "olc/BOlcRead.h"

#include "core/BCommon.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/RichView.h"
#include "core/ScrollImage.h"
#include "olc/BOlcPost.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/ModifierKey.h"
#include "platform/RecordFile.h"
#include "tel/BRecvTel.h"
#include "tel/BTelServ.h"
#include "ui_BOlcRead.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QProgressBar>
#include <QStatusBar>
#include <QTimer>
#include <QtEndian>

#include <mutex>

namespace {

constexpr int WindowHeight = 450;
constexpr int WindowStep = 20;
constexpr int MaxHeaderChars = 1021;
constexpr char DeletedTitle[] = "<<Deleted>>";
constexpr char SaveCaption[] = "Save";
constexpr char ViewCaption[] = "View";
constexpr char BackCaption[] = "Back";

qint32 WaitingTelsNow()
{
    std::lock_guard lock(WaitingTelsLock);
    return WaitingTels;
}

QString DateTimeText(double dayDate)
{
    const QDateTime when = plat::FromDayDate(dayDate);
    return plat::FormatShortDate(when) + QLatin1Char(' ') + plat::FormatLongTime(when);
}

} // namespace

ConnectionStartResult StartOlcReader(const HostRecord &host, const OlcChannelParam &param,
                                     const std::shared_ptr<OlcClientHooks> &client)
{
    const std::uint8_t clientChannel = host.Channel;
    const std::weak_ptr<OlcClientHooks> hooks = client;
    const ConnectionWindowKind kind{
        QStringLiteral("OLC reader window"), 3,
        [=](const HostRecord &onChannel) -> QWidget * {
            // The copy's own channel is the new one; its channel stays the client's.
            HostRecord copy = onChannel;
            copy.OwnChannel = onChannel.Channel;
            copy.Channel = clientChannel;
            return new TBOlcReadForm(copy, param, hooks);
        },
        [=](QWidget *window, ConnectionStartReporter reporter) {
            QPointer<TBOlcReadForm> reader(static_cast<TBOlcReadForm *>(window));
            new TBOlcReadThread(
                reader->Target(), param.ServerChannel, hooks,
                [reader](plat::SOCKET s, const HostRecord &h) { return reader && reader->StartConversation(s, h); },
                std::move(reporter));
        },
        [](QWidget *window) -> QWidget * {
            auto *reader = static_cast<TBOlcReadForm *>(window);
            return reader->ui->LinkButton->isVisible() ? reader->ui->LinkButton : reader->ui->ExitButton;
        }};
    HostRecord target = host;
    return StartConnectionWindow(kind, target, client->ClientStatusBar());
}

TBOlcReadForm::TBOlcReadForm(const HostRecord &host, const OlcChannelParam &param,
                             std::weak_ptr<OlcClientHooks> client, QWidget *parent)
    : QWidget(parent), ConnectionWindowState(this),
      ui(std::make_unique<Ui::TBOlcReadForm>()), ScreenPopup(new QMenu(this)),
      FullScreen(ScreenPopup->addAction(QStringLiteral("Full Screen"))), Host(host), Channel(param),
      Client(std::move(client)), Folder(host.OlcName)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose); // released after the close, never under a pending call
    ScreenPopup->setObjectName(QStringLiteral("ScreenPopup"));
    FullScreen->setObjectName(QStringLiteral("FullScreen"));
    FullScreen->setCheckable(true);
    FormCreate();
    connect(ui->ExitButton, &QPushButton::clicked, this, &TBOlcReadForm::ExitButtonClick);
    connect(ui->NextButton, &QPushButton::clicked, this, &TBOlcReadForm::NextButtonClick);
    connect(ui->UtlButton, &QPushButton::clicked, this, &TBOlcReadForm::UtlButtonClick);
    connect(ui->PostButton, &QPushButton::clicked, this, &TBOlcReadForm::PostButtonClick);
    connect(ui->LinkButton, &QPushButton::clicked, this, &TBOlcReadForm::LinkButtonClick);
    connect(FullScreen, &QAction::triggered, this, &TBOlcReadForm::FullScreenClick);
}

TBOlcReadForm::~TBOlcReadForm() = default;

void TBOlcReadForm::FormCreate()
{
    HtmlControl = TRecvHtmlView::InsertAfter(ui->ReadRichView, [this](const QUrl &url) { Status(url.toString()); });
    ui->ExitButton->setEnabled(false);
}

bool TBOlcReadForm::StartConversation(plat::SOCKET s, const HostRecord &host)
{
    if (Closed || CloseRequested)
        return false;
    Host = host;
    Socket = s;
    Started = OwnsChannel = true;
    show();
    FormShow();
    // The first download runs once the start is over, as the window's first activation.
    QTimer::singleShot(0, this, &TBOlcReadForm::FormActive);
    return true;
}

// ---- window life -------------------------------------------------------------

bool TBOlcReadForm::event(QEvent *event)
{
    return HandleConnectionMessage(event, ui->NumberLabel, Host.Channel) || QWidget::event(event);
}

void TBOlcReadForm::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !FirstDownload)
        FormActive();
}

void TBOlcReadForm::closeEvent(QCloseEvent *event)
{
    if (ConversationDecidesClose(event))
        return;
    Closed = true;
    FormClose();
    event->accept();
}

void TBOlcReadForm::Status(const QString &text)
{
    ui->OlcStatusBar->showMessage(text);
}

void TBOlcReadForm::contextMenuEvent(QContextMenuEvent *event)
{
    ScreenPopup->popup(event->globalPos());
}

void TBOlcReadForm::keyPressEvent(QKeyEvent *event)
{
    if (plat::ArmingModifier(*event) == Qt::ShiftModifier)
        ShiftFlag = true;
    QWidget::keyPressEvent(event);
}

void TBOlcReadForm::FullScreenClick()
{
    ui->TopPanel->setVisible(!FullScreen->isChecked());
    ui->BottomPanel->setVisible(!FullScreen->isChecked());
}

void TBOlcReadForm::FormShow()
{
    Conversation conversation(*this);
    const int offset = (Host.OwnChannel + 2) * WindowStep;
    move(MainPosition.Left + offset, MainPosition.Top + offset);
    resize(MainPosition.Width, WindowHeight);

    LinkMode = Channel.ServerChannel == -1;
    ShiftFlag = Channel.Shift != 0;
    if (const auto client = Client.lock()) {
        client->ChangeReaderCount(Channel.ClientBoardKey(), 1);
        Counted = true;
        ui->BrdNameLabel->setText(client->BoardNameText());
        ui->PointerLabel->setText(client->PointerText());
    }
    ui->ReadRichView->Clear();
    ui->ReadRichView->PopupQuote = QuotationMark;
    ShowPane(ui->ReadRichView);
    ui->NextButton->setVisible(!LinkMode);
    ui->PostButton->setVisible(!LinkMode);
    ui->UtlButton->hide();
    ui->LinkButton->hide();
    ShowTransfer(false);
    ui->ChNumLabel->setText(QString::number(Host.OwnChannel));
    ui->HostNameLabel->setText(Host.HostName);
    ui->MemoLabel->setText(Host.Memo);
    ui->NumberLabel->setText(QString::number(WaitingTelsNow()));
    ui->OlcpvLabel->setText(Host.OlcpVersion);

    const auto refuse = [this](const QString &text) {
        if (const auto client = Client.lock())
            client->ShowClientStatus(text);
        Error = true;
    };
    QString failure;
    if (LinkMode && !olc::PrepareLinkStore(Folder, &failure))
        return refuse(QStringLiteral("*** ") + failure);
    QString reply;
    if (!Step(SendRecvString(Socket, QStringLiteral("READ\r") + Channel.BoardKey + QLatin1Char('\r'), reply)))
        return;
    if (reply != QLatin1String("ACK"))
        return refuse(QStringLiteral("... Board-Key Not Found ! ..."));
    QByteArray answer;
    if (!Step(SendRecvString(Socket, Channel.BoardPassword + '\r', answer)))
        return;
    if (answer != "ACK")
        return refuse(QStringLiteral("... Board Password Disagreement ! ..."));
    ui->ExitButton->setEnabled(true);
}

void TBOlcReadForm::FormActive()
{
    if (Busy || Closed)
        return;
    if (std::exchange(FirstDownload, false)) {
        if (!Error)
            DownloadFirst();
        // The client's Read button waited for this reader, which may have failed.
        if (const auto client = Client.lock())
            client->EnableReadButton();
    } else if (std::exchange(Refresh, false)) {
        if (const auto client = Client.lock())
            client->ReenterBoard(Channel.ClientBoardKey());
        activateWindow();
    }
    if (Error)
        CloseWhenIdle();
}

void TBOlcReadForm::FormClose()
{
    if (Socket != plat::INVALID_SOCKET && !Error)
        SendString(Socket, "OFF\r");
    if (const auto client = Client.lock(); client && Counted)
        client->ChangeReaderCount(Channel.ClientBoardKey(), -1);
    Counted = false;
    BreakConnection();
    if (OwnsChannel)
        ChannelStates[static_cast<size_t>(Host.OwnChannel)] = 0;
    OwnsChannel = false;
}

void TBOlcReadForm::ExitButtonClick()
{
    close();
}

// ---- downloading -------------------------------------------------------------

void TBOlcReadForm::DownloadFirst()
{
    Conversation conversation(*this);
    if (LinkMode) {
        if (!RecvLinkHeader())
            return;
        ShowLinkHeader();
        ui->BrdNameLabel->setText(LinkedBoardName);
        ui->PointerLabel->hide();
        Requested = true;
    } else {
        if (const auto client = Client.lock())
            ui->ReadRichView->AddHead(client->CurrentHeaderText().left(MaxHeaderChars));
        if (!RequestMessage())
            return;
    }
    RecvMessageBody();
    ShiftFlag = false;
}

bool TBOlcReadForm::RecvLinkHeader()
{
    if (!Step(SendInteger(Socket, Channel.MessageNumber)))
        return false;
    qint32 number = 0, flags = 0, replyTo = 0, bytes = 0;
    QString title, address, handle, dateTime, fileName, userId;
    if (!Step(RecvInteger(Socket, number)))
        return false;
    if (number == -1) {
        if (const auto client = Client.lock())
            client->ShowClientStatus(QStringLiteral("... Board Password Disagreement ! ..."));
        Error = true;
        return false;
    }
    if (!Step(RecvString(Socket, LinkedBoardName) && RecvString(Socket, title) && RecvInteger(Socket, flags) &&
              RecvInteger(Socket, replyTo) && RecvString(Socket, address) && RecvString(Socket, handle) &&
              RecvString(Socket, dateTime) && RecvInteger(Socket, bytes) && RecvString(Socket, fileName) &&
              RecvString(Socket, userId)))
        return false;
    Message = MessageRecord();
    Message.Number = Channel.MessageNumber;
    Message.Deleted = title.isEmpty();
    Message.Title = title.isEmpty() ? QLatin1String(DeletedTitle) : title;
    Message.Flags = std::uint8_t(flags);
    Message.ReplyTo = replyTo;
    Message.Address = plat::inet_addr(address);
    Message.Handle = handle;
    Message.DateTime = ParseDateText(dateTime);
    Message.Bytes = bytes;
    Message.FileName = fileName;
    Message.UserId = userId;
    if (Message.Flags & MessageRecord::FileFlag)
        AttachmentPath = Folder.linkAttachment(Channel.LinkKey, Channel.LinkNumber, Channel.Depth, fileName);
    return true;
}

void TBOlcReadForm::ShowLocalHeader()
{
    ShowHeader(true);
}

void TBOlcReadForm::ShowLinkHeader()
{
    ShowHeader(false);
}

void TBOlcReadForm::ShowHeader(bool local)
{
    const MessageRecord &m = Message;
    QString text = QStringLiteral("Number   : ") + QString::number(m.Number) + QStringLiteral("\r\nTitle    : ") +
                   m.Title + QStringLiteral("\r\n");
    if (local && m.ReplyTo > 0)
        text += QStringLiteral("Reply To : ") + QString::number(m.ReplyTo) + QStringLiteral("\r\n");
    if (m.Deleted) {
        text += QStringLiteral("IP Addr  : -\r\nHandle   : -\r\nUser ID  : -\r\nDateTime : -\r\nBytes    : -");
    } else {
        const QString address = local && m.Address == 0 ? QStringLiteral("Serial") : plat::inet_ntoa(m.Address);
        text += QStringLiteral("IP Addr  : ") + address + QStringLiteral("\r\nHandle   : ") + m.Handle +
                QStringLiteral("\r\nUser ID  : ") + m.UserId + QStringLiteral("\r\nDateTime : ") +
                DateTimeText(m.DateTime) + QStringLiteral("\r\nBytes    : ") + QString::number(m.Bytes);
    }
    ui->ReadRichView->Clear();
    ui->ReadRichView->AddHead(text.left(MaxHeaderChars));
}

bool TBOlcReadForm::RequestMessage()
{
    Requested = false;
    plat::RecordFile index(Folder.boardIndex(Channel.BoardKey), MessageRecord::Size);
    QByteArray image;
    MessageRecordIndex = index.open() ? olc::FindRecordOfNumber(index, Channel.MessageNumber, Channel.RecordIndex) : 0;
    qint32 request = Channel.MessageNumber;
    if (MessageRecordIndex < 1 || !index.read(MessageRecordIndex, image)) {
        // Without its record the body could not be found again: not fetched.
        Message = MessageRecord();
        Message.Number = Channel.MessageNumber;
        Status(QStringLiteral("*** ") + index.path() + QStringLiteral(" : No. ") +
               QString::number(Channel.MessageNumber) + QStringLiteral(" not found ***"));
        request = 0;
    } else {
        Channel.RecordIndex = qint32(MessageRecordIndex);
        Message = MessageRecord::decode(image);
        const bool file = Message.Flags & MessageRecord::FileFlag;
        AttachmentPath = file ? Folder.attachment(Channel.BoardKey, Message.Number, Message.FileName) : QString();
        if (Message.Deleted) {
            Status(QStringLiteral("*** <<Deleted>> ***"));
            request = 0;
        } else if (file && Channel.SkipFiles && !ShiftFlag) {
            Status(QStringLiteral("*** <<") + Message.FileName + QStringLiteral(">> 読み飛ばし ***"));
            request = 0;
        } else if (file && AttachmentPath.isEmpty()) {
            Status(QStringLiteral("*** <<") + Message.FileName + QStringLiteral(">> : Invalid File Name ***"));
            request = 0;
        }
    }
    if (!Step(SendInteger(Socket, request)))
        return false;
    Requested = request != 0;
    return true;
}

void TBOlcReadForm::RecvMessageBody()
{
    if (!Requested || Error)
        return;
    const bool file = Message.Flags & MessageRecord::FileFlag;
    qint64 start = 0, bytes = 0;
    if (file ? !RecvFileBody(bytes) : !RecvTextBody(start, bytes))
        return;
    if (LinkMode) {
        StoreLinkRecord(start, bytes);
        (ui->LinkButton->isVisible() ? ui->LinkButton : ui->ExitButton)->setFocus();
    } else {
        StoreBoardRecord(start, bytes);
    }
    Refresh = true;
}

bool TBOlcReadForm::RecvFileBody(qint64 &bytes)
{
    if (AttachmentPath.isEmpty()) {
        // A link header whose file name cannot be a path: its bytes have nowhere
        // safe to go, so the reader fails and closes without taking them.
        Status(QStringLiteral("*** <<") + Message.FileName + QStringLiteral(">> : Invalid File Name ***"));
        Error = true;
        return false;
    }
    QFile out(AttachmentPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        Status(QStringLiteral("*** ") + AttachmentPath + QStringLiteral(" : ") + out.errorString());
        Error = true;
        return false;
    }
    ShowTransfer(true);
    const TransferProgress progress{ui->SpeedLabel, ui->RecvBar};
    const bool received = RecvFileProgress(Socket, out, bytes, &progress);
    out.close();
    ShowTransfer(false);
    if (!Step(received))
        return false;
    FilePath = AttachmentPath;
    ShowReceivedFile();
    return true;
}

// The rate and the progress bar take the place of the board and pointer labels.
void TBOlcReadForm::ShowTransfer(bool shown)
{
    for (QWidget *w : std::initializer_list<QWidget *>{ui->SpeedLabel, ui->BpsLabel, ui->RecvBar})
        w->setVisible(shown);
    ui->BrdNameLabel->setVisible(!shown);
    ui->PointerLabel->setVisible(!shown && !LinkMode);
}

// The file's line under the text, then the file as its viewer shows it; an
// RTF file shown inside takes the body's place, its line with it.
void TBOlcReadForm::ShowReceivedFile()
{
    ui->ReadRichView->AddText(QStringLiteral("\r\nFile Name << ") + Message.FileName + QStringLiteral(" >>"));
    ResolveHtmlArchive(this, ui->ReadRichView, Message.Title, Message.FileName, FilePath);
    QString application;
    if (!FindViewer(FilePath, application))
        return;
    Viewer = application;
    if (!ViewingDirect) {
        ui->UtlButton->setText(QLatin1String(ViewCaption));
        ui->UtlButton->show();
    } else if (QFileInfo(FilePath).suffix().toLower() == QLatin1String("rtf")) {
        ui->ReadRichView->LoadFromBuffer(plat::ReadFileAt(FilePath, 0, MaxBufBytes));
    } else if (ImageViewer && IsImageFile(FilePath)) {
        ShowImage();
    } else if (HtmlViewer < 2 && IsHtmlFile(FilePath)) {
        ShowHtml();
    } else {
        OpenWithViewer(Viewer, FilePath);
    }
}

bool TBOlcReadForm::RecvTextBody(qint64 &start, qint64 &bytes)
{
    QByteArray body;
    int length = 0;
    if (!Step(RecvBuf(Socket, body, length, MaxBufBytes + 1)))
        return false;
    body.truncate(std::max(length, 0));
    ui->ReadRichView->LoadFromBuffer(body);
    const QString textPath = LinkMode ? Folder.linkText() : Folder.boardText(Channel.BoardKey);
    QString failure;
    start = plat::AppendToFile(textPath, body, &failure);
    bytes = body.size();
    if (start < 0) {
        Status(QStringLiteral("*** ") + textPath + QStringLiteral(" : ") + failure);
        return false;
    }
    if (!(Message.Flags & MessageRecord::HtmlFlag) || HtmlViewer >= 2) {
        ui->UtlButton->setText(QLatin1String(SaveCaption));
        ui->UtlButton->show();
        ui->UtlButton->setFocus();
        if (Message.Flags & MessageRecord::LinkFlag) {
            LinkAddress = Message.Title;
            ui->LinkButton->show();
        }
    } else {
        FilePath = TempDirectory + QStringLiteral("/Temp.html");
        if (WriteTempHtml(FilePath, body))
            ShowHtml();
    }
    return true;
}

void TBOlcReadForm::StoreLinkRecord(qint64 start, qint64 bytes)
{
    plat::RecordFile links(Folder.linkIndex(), MessageRecord::Size);
    plat::RecordFile board(Folder.boardIndex(Channel.LinkKey), MessageRecord::Size);
    // The holder of the link followed: in the board's index at depth 1, else in the link index.
    plat::RecordFile &holderFile = Channel.Depth == 1 ? board : links;
    QByteArray image;
    if (!links.open() || !holderFile.open()) {
        Status(QStringLiteral("*** ") + holderFile.path() + QStringLiteral(" : ") + holderFile.errorString());
        return;
    }
    // Record 0 is a header, and a holder that moved (a compaction, new titles)
    // is another message now: neither takes the link.
    const bool found = Channel.RecordIndex >= 1 && holderFile.read(Channel.RecordIndex, image);
    const MessageRecord holder = MessageRecord::decode(image);
    if (!found || !IsLinkHolder(holder)) {
        Status(QStringLiteral("*** ") + holderFile.path() + QStringLiteral(" : No. ") +
               QString::number(Channel.LinkNumber) + QStringLiteral(" not found ***"));
        return;
    }
    QByteArray linkImage;
    if (holder.LinkIndex > 0 && links.read(holder.LinkIndex, linkImage)) {
        const MessageRecord known = MessageRecord::decode(linkImage);
        if (known.AuxText2 == Channel.LinkKey && known.LinkHolder == Channel.LinkNumber) {
            LinkRecordIndex = holder.LinkIndex;
            if (!olc::StoreBodyPlace(links, LinkRecordIndex, known.Number, qint32(start), qint32(bytes)))
                Status(QStringLiteral("*** ") + links.path() + QStringLiteral(" : ") + links.errorString());
            return;
        }
    }
    MessageRecord record = Message;
    record.ReplyTo = Channel.Depth;
    record.Handle = plat::CutText(record.Handle, 32);
    record.AuxText1 = Channel.BoardKey;
    record.AuxText2 = Channel.LinkKey;
    record.LinkHolder = Channel.LinkNumber;
    record.Start = qint32(start);
    record.Bytes = qint32(bytes);
    const qint64 appended = links.append(record.encode());
    if (appended < 1) {
        Status(QStringLiteral("*** ") + links.path() + QStringLiteral(" : ") + links.errorString());
        return;
    }
    qToLittleEndian(qint32(appended), image.data() + MessageRecordOffset::LinkIndex);
    if (!holderFile.write(Channel.RecordIndex, image)) {
        // The holder does not name the new record: the chain cannot go on from it.
        Status(QStringLiteral("*** ") + holderFile.path() + QStringLiteral(" : ") + holderFile.errorString());
        return;
    }
    LinkRecordIndex = qint32(appended);
}

// The message holding the link followed: at depth 1 the chain's first
// message, its board's record; deeper, the link record the chain stored
// one level up.
bool TBOlcReadForm::IsLinkHolder(const MessageRecord &holder) const
{
    if (Channel.Depth == 1)
        return holder.Number == Channel.LinkNumber;
    return holder.AuxText2 == Channel.LinkKey && holder.LinkHolder == Channel.LinkNumber &&
           holder.ReplyTo == Channel.Depth - 1;
}

void TBOlcReadForm::StoreBoardRecord(qint64 start, qint64 bytes)
{
    plat::RecordFile index(Folder.boardIndex(Channel.BoardKey), MessageRecord::Size);
    if (!index.open() ||
        !olc::StoreBodyPlace(index, MessageRecordIndex, Message.Number, qint32(start), qint32(bytes))) {
        Status(QStringLiteral("*** ") + index.path() + QStringLiteral(" : No. ") + QString::number(Message.Number) +
               QStringLiteral(" not stored ***"));
        return;
    }
    const auto client = Client.lock();
    if (!client)
        return;
    client->MessageRead(Channel.ClientBoardKey(), Message.Number);
    ui->PointerLabel->setText(client->PointerText());
    const bool last = Message.Number >= client->LastNumber(Channel.ClientBoardKey());
    ui->NextButton->setEnabled(!last);
    (last ? ui->ExitButton : ui->NextButton)->setFocus();
}

// ---- buttons -------------------------------------------------------------------

void TBOlcReadForm::NextButtonClick()
{
    if (Busy || Error)
        return;
    Conversation conversation(*this);
    ui->OlcStatusBar->clearMessage();
    ShowPane(ui->ReadRichView);
    ui->UtlButton->hide();
    ui->LinkButton->hide();
    if (!Step(SendString(Socket, "NEXT\r")))
        return CloseWhenIdle();
    ++Channel.RecordIndex;
    ++Channel.MessageNumber;
    ++Channel.LinkNumber;
    Channel.Depth = 0;
    if (RequestMessage()) {
        ShowLocalHeader();
        RecvMessageBody();
    }
    ShiftFlag = false;
    if (Error)
        CloseWhenIdle();
}

void TBOlcReadForm::UtlButtonClick()
{
    const QString caption = ui->UtlButton->text();
    if (caption == QLatin1String(ViewCaption)) {
        if (ImageViewer && IsImageFile(FilePath))
            ShowImage();
        else if (HtmlViewer < 2 && IsHtmlFile(FilePath))
            ShowHtml();
        else
            OpenWithViewer(Viewer, FilePath);
    } else if (caption == QLatin1String(BackCaption)) {
        HtmlControl->Back();
    } else {
        QFileDialog dialog(this, QString(), TextDirectory);
        dialog.setObjectName(QStringLiteral("SaveDialog"));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return;
        const QString path = dialog.selectedFiles().constFirst();
        if (!ui->ReadRichView->SaveToFile(path))
            return Status(QStringLiteral("*** ") + path + QStringLiteral(" : cannot be written ***"));
        TextDirectory = QFileInfo(path).absolutePath();
    }
}

void TBOlcReadForm::ShowPane(QWidget *pane)
{
    for (QWidget *w : {static_cast<QWidget *>(ui->ReadRichView), static_cast<QWidget *>(ui->RecvSImage),
                       static_cast<QWidget *>(HtmlControl)})
        w->setVisible(w == pane);
}

void TBOlcReadForm::ShowImage()
{
    QString error;
    if (!ui->RecvSImage->LoadFromFile(FilePath, &error))
        return Status(QStringLiteral("*** ") + error);
    ShowPane(ui->RecvSImage);
    Status(FilePath);
}

void TBOlcReadForm::ShowHtml()
{
    ui->UtlButton->setText(QLatin1String(BackCaption));
    ui->UtlButton->show();
    ShowPane(HtmlControl);
    HtmlControl->ShowFile(FilePath);
}

void TBOlcReadForm::PostButtonClick()
{
    if (Busy)
        return;
    OlcChannelParam post = Channel;
    post.MessageNumber = std::exchange(ShiftFlag, false) ? Message.Number : 0;
    const auto client = Client.lock();
    if (!client)
        return;
    StartOlcPoster(Host, post, client, ui->PostButton);
}

void TBOlcReadForm::LinkButtonClick()
{
    const auto client = Client.lock();
    if (Busy || !client)
        return;
    OlcChannelParam holder = Channel;
    holder.MessageNumber = Message.Number;
    if (Channel.Depth > 0)
        holder.RecordIndex = LinkRecordIndex;
    if (StartOlcLinkReader(Host, holder, LinkAddress, client))
        ui->LinkButton->hide();
}

bool StartOlcLinkReader(const HostRecord &host, const OlcChannelParam &holder, const QString &address,
                        const std::shared_ptr<OlcClientHooks> &client)
{
    OlcpUrl url;
    if (!ParseOlcpUrl(address, url))
        return false;
    HostRecord linked = host;
    linked.IpAddress = linked.HostName = plat::inet_ntoa(url.Address);
    linked.Memo.clear();
    linked.OlcPassword = plat::ToCp932(url.AccessKey);
    OlcChannelParam link = holder;
    link.ServerChannel = -1;
    link.BoardKey = url.BoardKey;
    link.BoardPassword = plat::ToCp932(url.BoardKey2);
    link.MessageNumber = url.Number;
    link.Shift = 0;
    link.Depth = holder.Depth + 1;
    if (holder.Depth == 0) {
        // The chain starts here: its attachments and records are named after this message.
        link.LinkKey = holder.BoardKey;
        link.LinkNumber = holder.MessageNumber;
    }
    StartOlcReader(linked, link, client);
    return true;
}
