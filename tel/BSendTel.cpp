#include "tel/BSendTel.h"

#include "core/BClient.h"
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/MessageRecord.h"
#include "core/RichView.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "tel/BTelTrd.h"
#include "ui_BEditor.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>

#include <mutex>

ConnectionWindowKind TelSendWindowKind{
    QStringLiteral("TEL send window"), 1,
    [](const HostRecord &host) -> QWidget * { return new TBSendTelegramForm(host); },
    [](QWidget *window, ConnectionStartReporter reporter) {
        new TBTelClientThread(static_cast<TBSendTelegramForm *>(window), std::move(reporter));
    },
    [](QWidget *window) -> QWidget * { return static_cast<TBSendTelegramForm *>(window)->ui->SendRich->Rich(); }};

namespace {

constexpr char NoAddress[] = "0.0.0.0";
constexpr char StayModeText[] = " ***  Stay TEL Mode  ***";
constexpr char CancelledStay[] = "Cancelled Stay TEL";
constexpr char NotDeliveredText[] = "Troubled Transmit : TEL not delivered";
constexpr char AccountPasswordLabel[] = "ｱｶｳﾝﾄ･ﾊﾟｽﾜｰﾄﾞ";
constexpr int WindowHeight = 320;
constexpr int WindowStep = 20;
constexpr int StayVersion = 203;     // peers from this version on hold Stay TELs
constexpr int UserIdLength = 8;

qint32 WaitingTelsNow()
{
    std::lock_guard lock(WaitingTelsLock);
    return WaitingTels;
}

} // namespace

TBSendTelegramForm::TBSendTelegramForm(const HostRecord &target, QWidget *parent)
    : TBEditorForm(parent), ConnectionWindowState(this),
      StayButton(new QPushButton(ui->BottomPanel)), TargetHost(target)
{
    setObjectName(QStringLiteral("TBSendTelegramForm"));
    setWindowTitle(QStringLiteral("Ｋａｌｖｅｘ [ TEL Client ]"));
    setAttribute(Qt::WA_DeleteOnClose); // released after the close, never under a pending call
    StayButton->setObjectName(QStringLiteral("StayButton"));
    StayButton->setText(QStringLiteral("Stay"));
    StayButton->setToolTip(QStringLiteral("Stay TEL を送信します"));
    ui->BottomLayout->insertWidget(ui->BottomLayout->indexOf(ui->FileButton) + 1, StayButton);
    WatchChildren();

    ui->SendButton->setText(QStringLiteral("Send"));
    ui->FileButton->show();
    ui->BottomPanel1->show();
    for (QWidget *w : std::initializer_list<QWidget *>{ui->RepeatCheckBox, ui->HostNameLabel, ui->WaitngLabel,
                                                        ui->NumberLabel, ui->MmLabel, ui->MemoLabel, ui->ChannelLabel,
                                                        ui->ChNumLabel, ui->OlcpvLabel})
        w->show();
    connect(ui->FileButton, &QPushButton::clicked, this, &TBSendTelegramForm::FileButtonClick);
    connect(StayButton, &QPushButton::clicked, this, &TBSendTelegramForm::StayButtonClick);
}

TBSendTelegramForm::~TBSendTelegramForm() = default;

bool TBSendTelegramForm::StartConversation(plat::SOCKET s, const HostRecord &target)
{
    if (Closed || CloseRequested)
        return false;
    TargetHost = target;
    Socket = s;
    Started = true;
    // For "0.0.0.0" the thread frees the channel at once.
    OwnsChannel = s != plat::INVALID_SOCKET;
    show();
    return true;
}

// ---- window life -------------------------------------------------------------

bool TBSendTelegramForm::event(QEvent *event)
{
    return HandleConnectionMessage(event, ui->NumberLabel) || TBEditorForm::event(event);
}

void TBSendTelegramForm::closeEvent(QCloseEvent *event)
{
    if (ConversationDecidesClose(event))
        return;
    Closed = true;
    TBEditorForm::closeEvent(event);
}

void TBSendTelegramForm::FormShow()
{
    if (!Started) {
        setGeometry(0, 0, 0, 0);
        return;
    }
    Conversation conversation(*this);
    ChannelNumber = TargetHost.Channel;
    const int offset = (ChannelNumber + 2) * WindowStep;
    move(MainPosition.Left + offset, MainPosition.Top + offset);
    resize(MainPosition.Width, WindowHeight);

    SentCount = 0;
    PeerVersion = PeerVersionNumber(TargetHost.OlcpVersion);
    Error = StayMode = StayAuthorized = false;
    ui->LoadButton->setText(QStringLiteral("Load"));
    LatestFlag = false;
    const bool reply = TargetHost.ReplyFlag != 0;
    ui->TelegramLabel->setText(reply ? QStringLiteral("TEL Reply Window") : QStringLiteral("TEL Transmit Window"));
    // The reply to a received Stay TEL goes back through the server to its sender.
    StayReply = reply && TargetHost.SerialChannel == 0 && TargetHost.ReplyUserId.size() == UserIdLength;

    SerialChat = TargetHost.SerialChannel > 0;
    ui->FileButton->setEnabled(!SerialChat);
    StayButton->setEnabled(!SerialChat);
    if (SerialChat && TargetHost.IpAddress == QLatin1String(NoAddress)) {
        Local = true;
        TargetHost.UserId = QStringLiteral("SYSOP");
    }

    ui->ToLabel->setText(QStringLiteral("To"));
    ui->ChNumLabel->setText(QString::number(ChannelNumber));
    ui->HostNameLabel->setText(TargetHost.HostName);
    ui->MemoLabel->setText(StayReply ? TargetHost.ReplyUserId : TargetHost.Memo);
    ui->NumberLabel->setText(QString::number(WaitingTelsNow()));
    ui->OlcpvLabel->setText(TargetHost.OlcpVersion);

    ui->RepeatCheckBox->setChecked(RepeatTransmit);
    ui->PlainCheckBox->setChecked(PlainTransmit);
    ui->SendRich->SetPlainText(PlainTransmit);
    ui->SendRich->PopupQuote = QuotationMark;
    ui->SendRich->SetInputMode(true);
    ui->SendRich->Clear();
    ui->SendRich->SetFocus();
    ui->BottomPanel2->clear();
    ui->SendStatusBar->clearMessage();

    StayButton->setVisible(PeerVersion >= StayVersion && !TargetHost.UserId.isEmpty() &&
                           !IsLightEdition(TargetHost.OlcpVersion));
    if (StayReply) {
        StayUserId = TargetHost.ReplyUserId;
        StayHandle = TargetHost.Memo;
        if (!SendStayTel())
            return CloseWhenIdle();
    }
    // The auto-reply message being edited is the start of the text.
    if (ChannelNumber > 0 && BEditorForm && BEditorForm->isVisible())
        ui->SendRich->LoadFromBuffer(BEditorForm->ui->SendRich->SaveToBuffer());
}

void TBSendTelegramForm::FormClose()
{
    Conversation conversation(*this);
    StayButton->setEnabled(true);
    ui->FileButton->setEnabled(true);
    // A conversation that the peer ended was no cancel of the user's.
    if (SentCount == 0 && !Lost)
        WriteLog(ALPHA, QStringLiteral("... TEL Canceled (Local Host) ..."));
    bool confirmed = false;
    if (Socket != plat::INVALID_SOCKET) {
        if (StayMode && !Error)
            Step(SendString(Socket, "CAN\r"));
        // Waits with the blocking hook: the program goes on meanwhile.
        confirmed = !Error && SendOffConfirmed(Socket);
        BreakConnection();
    }
    if (!confirmed && !Unconfirmed.isEmpty())
        ReportTroubled();
    ui->SendRich->SetInputMode(false);
    if (OwnsChannel)
        ChannelStates[static_cast<size_t>(ChannelNumber)] = 0;
    OwnsChannel = false;
}

// ---- sending -------------------------------------------------------------------

bool TBSendTelegramForm::PrepareText()
{
    const bool plain = SerialChat || PeerVersion < RichTextVersion;
    TextBuffer = plain ? plat::ToCp932(ui->SendRich->Rich()->toPlainText().replace(QLatin1Char('\n'),
                                                                                  QStringLiteral("\r\n")))
                       : ui->SendRich->SaveToBuffer();
    if (TextBuffer.size() <= MaxBufBytes)
        return true;
    // Never cut: a cut RTF body would not even read.
    ShowStatusText(TooLongText(TextBuffer.size()));
    TextBuffer.clear();
    return false;
}

SentTel TBSendTelegramForm::SentTelNow() const
{
    SentTel sent;
    sent.target = TargetHost;
    sent.text = TextBuffer;
    sent.stayMode = StayMode;
    sent.serialChat = SerialChat;
    sent.localMode = Local;
    sent.addresseeUserId = StayUserId;
    sent.addresseeHandle = StayHandle;
    return sent;
}

bool TBSendTelegramForm::SendTelText()
{
    if (Error)
        return false;
    if (ui->SendRich->Rich()->toPlainText().isEmpty())
        return true;
    if (!PrepareText())
        return false;
    MessageRecord record;
    record.Title = QLatin1String(TelTitle::SendText);
    record.Bytes = static_cast<qint32>(TextBuffer.size());
    if (SerialChat) {
        record.Title += QLatin1String(TelTitle::SerialChat);
        record.Flags |= MessageRecord::SerialFlag;
    }
    if (!Local) {
        const auto announce = [this] {
            return SerialChat ? SendString(Socket, "TOCH\r") && SendInteger(Socket, TargetHost.SerialChannel)
                              : SendString(Socket, "TEXT\r");
        };
        // A conversation that the peer has ended takes no more TELs: sent
        // all the same, this one would be lost without a word.
        if (!Step(!PeerEnded(Socket) && announce() &&
                  SendBuf(Socket, TextBuffer, static_cast<int>(TextBuffer.size())))) {
            NoteUnconfirmed(record);
            return false;
        }
    }
    NoteSent(record);
    return true;
}

void TBSendTelegramForm::NoteSent(const MessageRecord &record)
{
    ++SentCount;
    LogSentTel(SentTelNow(), record);
    if (!Local)
        NoteUnconfirmed(record);
}

void TBSendTelegramForm::NoteUnconfirmed(const MessageRecord &record)
{
    Unconfirmed.append(record.Title + QLatin1String("  ") + QString::number(record.Bytes) + QStringLiteral("Bytes  ") +
                       plat::FormatLongTime(QDateTime::currentDateTime()));
}

// Only the receiver's clean close after "OFF" confirms the TELs of a
// conversation; without it their "Send" records stay, and the log and the
// main window say that they were not delivered.
void TBSendTelegramForm::ReportTroubled()
{
    const QString troubled = QStringLiteral("... TEL Troubled (Remote Host) ...");
    WriteLog(ALPHA, troubled);
    for (const QString &tel : std::as_const(Unconfirmed))
        WriteLog(ALPHA, QStringLiteral("... not delivered to [[ ") + TargetHost.IpAddress + QStringLiteral(" ]] : ") +
                            tel + QStringLiteral(" ..."));
    ShowMainStatus(TargetHost.IpAddress + QStringLiteral(" : ") + troubled);
    Unconfirmed.clear();
}

bool TBSendTelegramForm::SendTelFile()
{
    if (Error)
        return false;
    QString folder;
    const QString path = ChooseFile(QStringLiteral("OpenDialogF"), QFileDialog::AcceptOpen, SendDirectory, QString(),
                                    {QStringLiteral("すべてのﾌｧｲﾙ (*)")}, folder);
    if (path.isEmpty()) {
        // Choosing no file is no failure of the connection: the window stays.
        WriteLog(ALPHA, QStringLiteral("... TEL[File] Canceled (Local Host) ..."));
        return false;
    }
    SendDirectory = folder;
    const QString name = QFileInfo(path).fileName();
    const auto notDelivered = [&] {
        NoteUnconfirmed(FileTelRecord(name, QFileInfo(path).size(), RateText(0, 0)));
        return false;
    };
    QString answer;
    if (!Step(!PeerEnded(Socket) && SendString(Socket, "FILE\r") &&
              SendRecvString(Socket, name + QLatin1Char('\r'), answer)))
        return notDelivered();
    if (answer != QLatin1String("ACK")) {
        WriteLog(ALPHA, QStringLiteral("... TEL[File] Troubled (Remote Host) ..."));
        Error = true;
        return notDelivered();
    }
    WriteLog(ALPHA, QStringLiteral("Sending file ..."));
    ShowTransfer(true);
    const TransferProgress progress{ui->SpeedLabel, ui->SendBar};
    QElapsedTimer took;
    took.start();
    qint64 size = -1;
    const bool sent = SendFileProgress(Socket, path, 0, &progress, size);
    const QString rate = RateText(size, took.elapsed());
    ShowTransfer(false);
    if (!Step(sent))
        return notDelivered();
    TextBuffer.clear();
    NoteSent(FileTelRecord(name, size, rate));
    return true;
}

MessageRecord TBSendTelegramForm::FileTelRecord(const QString &name, qint64 size, const QString &rate)
{
    MessageRecord record;
    record.Title = TelTitle::SendFile(rate);
    record.Flags = MessageRecord::FileFlag;
    record.Bytes = static_cast<qint32>(size);
    record.AuxText2 = rate;
    record.FileName = name;
    return record;
}

void TBSendTelegramForm::ShowTransfer(bool shown)
{
    for (QWidget *w : std::initializer_list<QWidget *>{ui->BpsLabel, ui->SpeedLabel, ui->SendBar})
        w->setVisible(shown);
}

// The reply to a received Stay TEL: the server is told the addressee; it answers nothing.
bool TBSendTelegramForm::SendStayTel()
{
    if (Error)
        return false;
    bool ok = SendString(Socket, "STAY\r");
    if (ok && !StayAuthorized)
        ok = SendString(Socket, "\r");
    ok = ok && SendString(Socket, StayUserId + QLatin1Char('\r'));
    StayAuthorized = true;
    if (!Step(ok))
        return false;
    EnterStayMode(QStringLiteral("Reply to ") + StayUserId + QStringLiteral(" <<") + StayHandle + QStringLiteral(">>"));
    return true;
}

void TBSendTelegramForm::EnterStayMode(const QString &statusText)
{
    StayMode = true;
    StayButton->setEnabled(false);
    ui->FileButton->setEnabled(false);
    ui->SendRich->SetFocus();
    ShowStatusText(statusText);
    ui->BottomPanel2->setText(QLatin1String(StayModeText));
}

void TBSendTelegramForm::EndStayMode()
{
    StayMode = false;
    ui->FileButton->setEnabled(!SerialChat);
    StayButton->setEnabled(!SerialChat);
    ui->BottomPanel2->clear();
}

void TBSendTelegramForm::AfterSuccess()
{
    if (!RepeatTransmit)
        return CloseWhenIdle();
    ui->SendRich->Clear();
    ui->SendRich->SetFocus();
    ShowStatusText(QStringLiteral("Success Transmit"));
    if (StayReply && !SendStayTel())
        AfterFailure();
}

void TBSendTelegramForm::AfterFailure()
{
    // Only a failed step of the conversation ends it; the window closes anyway
    // when a close came during the step.
    if (!Error || CloseRequested)
        return;
    // Nothing more goes out; the text stays for the user.
    BreakConnection();
    Lost = true;
    StayMode = false;
    for (QWidget *w : std::initializer_list<QWidget *>{ui->SendButton, ui->FileButton, StayButton})
        w->setEnabled(false);
    ui->BottomPanel2->clear();
    ReportTroubled();
    ShowStatusText(QLatin1String(NotDeliveredText));
    ui->SendRich->SetFocus();
}

// ---- buttons -------------------------------------------------------------------

void TBSendTelegramForm::SendButtonClick()
{
    if (Busy)
        return;
    Conversation conversation(*this);
    ui->SendStatusBar->clearMessage();
    if (ui->SendRich->Rich()->toPlainText().isEmpty())
        return CloseWhenIdle();
    SaveLastSentText();
    if (!SendTelText())
        return AfterFailure();
    if (!Local)
        EndStayMode();
    AfterSuccess();
}

void TBSendTelegramForm::FileButtonClick()
{
    if (Busy)
        return;
    Conversation conversation(*this);
    ui->SendStatusBar->clearMessage();
    if (!ui->SendRich->Rich()->toPlainText().isEmpty()) {
        SaveLastSentText();
        if (!SendTelText())
            return AfterFailure();
        // The text has gone: whatever becomes of the file, it is not sent again.
        ui->SendRich->Clear();
    }
    if (!SendTelFile())
        return AfterFailure();
    AfterSuccess();
}

void TBSendTelegramForm::CancelButtonClick()
{
    if (Busy)
        return;
    Conversation conversation(*this);
    QString status = QStringLiteral("Cancelled Text");
    if (StayMode) {
        if (!Step(SendString(Socket, "CAN\r")))
            return AfterFailure();
        EndStayMode();
        if (!StayReply)
            status += QStringLiteral(" & Stay TEL Mode");
        else if (!SendStayTel())
            return AfterFailure();
    }
    ui->SendRich->Clear();
    ui->SendRich->SetFocus();
    if (!StayReply)
        ShowStatusText(status);
}

void TBSendTelegramForm::ExitButtonClick()
{
    close();
}

void TBSendTelegramForm::StayButtonClick()
{
    if (Busy)
        return;
    Conversation conversation(*this);
    ui->SendStatusBar->clearMessage();
    if (AuthorizeStay() && !Error)
        ChooseStayAddressee();
    AfterFailure();
}

// Sends "STAY" and, once per conversation, the account password. False when
// the click ends here (a status text says why, or the connection failed).
bool TBSendTelegramForm::AuthorizeStay()
{
    const QString label = QString::fromUtf8(AccountPasswordLabel);
    QByteArray password;
    if (!StayAuthorized &&
        (!ShowPasswordDialog(this, label, QString(), password, true, label, QLatin1Char('*')) || password.isEmpty())) {
        ShowStatusText(QLatin1String(CancelledStay));
        ui->SendRich->SetFocus();
        return false;
    }
    if (Error || !Step(SendString(Socket, "STAY\r")))
        return false;
    if (StayAuthorized)
        return true;
    QByteArray answer;
    if (!Step(SendRecvString(Socket, password + '\r', answer)))
        return false;
    if (answer == "ACK") {
        StayAuthorized = true;
        return true;
    }
    ShowStatusText(answer == "NAK" ? QStringLiteral("Password Disagreement ...") : QStringLiteral("Low Access Level ..."));
    ui->SendRich->SetFocus();
    return false;
}

// Names the addressee to the server and, once the user agrees to the handle
// it reports, enters Stay mode: the next text goes to that user.
void TBSendTelegramForm::ChooseStayAddressee()
{
    const auto cancel = [this] {
        if (!Step(SendString(Socket, "CAN\r")))
            return;
        ShowStatusText(QLatin1String(CancelledStay));
        ui->SendRich->SetFocus();
    };
    QByteArray entry;
    const bool chosen = ShowPasswordDialog(this, QStringLiteral("送信先ﾕｰｻﾞのID"), QString(), entry, false,
                                           QStringLiteral("User ID"), QChar());
    if (Error)
        return;
    if (!chosen || entry.size() != UserIdLength)
        return cancel();
    const QString userId = plat::FromCp932(entry);
    QString answer;
    if (!Step(SendRecvString(Socket, userId + QLatin1Char('\r'), answer)))
        return;
    if (answer != QLatin1String("ACK")) {
        ShowStatusText(QStringLiteral("User ID not found !"));
        ui->SendRich->SetFocus();
        return;
    }
    QString handle;
    if (!Step(RecvString(Socket, handle)))
        return;
    QMessageBox question(QMessageBox::Warning, QCoreApplication::applicationName(),
                         userId + QStringLiteral(" のﾊﾝﾄﾞﾙは \"") + handle + QStringLiteral("\" です.よろしいですか?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("StayHandleQuestion"));
    question.setTextFormat(Qt::PlainText); // the handle came from the server
    const bool agreed = question.exec() == QMessageBox::Yes;
    if (Error)
        return;
    if (!agreed)
        return cancel();
    StayUserId = userId;
    StayHandle = handle;
    EnterStayMode(QStringLiteral("Send to ") + userId + QStringLiteral(" <<") + handle + QStringLiteral(">>"));
}
