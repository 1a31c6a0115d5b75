#include "olc/BOlcPost.h"

#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/MessageRecord.h"
#include "core/RichView.h"
#include "olc/BOlcRead.h"
#include "olc/BPostTrd.h"
#include "olc/OlcStore.h"
#include "platform/Cp932.h"
#include "platform/RecordFile.h"
#include "tel/BTelServ.h"
#include "ui_BEditor.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <mutex>

namespace {

constexpr int WindowHeight = 320;
constexpr int WindowStep = 20;
constexpr int MaxPostTextBytes = MaxBufBytes - 1; // the text buffer keeps its terminating zero
constexpr int MaxFileNameBytes = 80;
constexpr int MaxTitleBytes = 80;
constexpr int ReplyDigits = 5;
constexpr qint32 ReplyModulus = 100000;

qint32 WaitingTelsNow()
{
    std::lock_guard lock(WaitingTelsLock);
    return WaitingTels;
}

QString ReplyText(qint32 number)
{
    // Zero-padded to five digits, never cut: a number above 99999 shows whole.
    return number >= 1 ? QString::number(number).rightJustified(ReplyDigits, QLatin1Char('0')) : QStringLiteral("-----");
}

// A title goes out as one line: a title pasted with line breaks into the
// one-line field, or taken from the text, ends at its first CR or LF.
QString FirstLine(const QString &text)
{
    const auto lineBreak = std::find_if(text.begin(), text.end(), [](QChar c) {
        return c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar::LineSeparator ||
               c == QChar::ParagraphSeparator;
    });
    return text.left(lineBreak - text.begin());
}

bool IsEnter(const QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<const QKeyEvent *>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

ConnectionStartResult StartOlcPoster(const HostRecord &host, const OlcChannelParam &param,
                                     const std::shared_ptr<OlcClientHooks> &client, QPushButton *opener)
{
    const std::uint8_t clientChannel = host.Channel;
    const std::weak_ptr<OlcClientHooks> hooks = client;
    QPointer<QPushButton> button(opener);
    const ConnectionWindowKind kind{
        QStringLiteral("OLC post window"), 4,
        [=](const HostRecord &onChannel) -> QWidget * {
            HostRecord copy = onChannel;
            copy.OwnChannel = onChannel.Channel;
            copy.Channel = clientChannel;
            return new TBOlcPostForm(copy, param, hooks, button);
        },
        [=](QWidget *window, ConnectionStartReporter reporter) {
            QPointer<TBOlcPostForm> poster(static_cast<TBOlcPostForm *>(window));
            new TBOlcPostThread(
                poster->Target(), param.ServerChannel, hooks,
                [poster](plat::SOCKET s, const HostRecord &h) { return poster && poster->StartConversation(s, h); },
                std::move(reporter));
        },
        [](QWidget *window) -> QWidget * { return static_cast<TBOlcPostForm *>(window)->TitleEdit; }};
    if (button)
        button->setEnabled(false);
    HostRecord target = host;
    const ConnectionStartResult result = StartConnectionWindow(kind, target, client->ClientStatusBar());
    // A start that failed leaves no window to give the button back.
    if (result != ConnectionStartResult::Shown && button)
        button->setEnabled(true);
    return result;
}

TBOlcPostForm::TBOlcPostForm(const HostRecord &host, const OlcChannelParam &param,
                             std::weak_ptr<OlcClientHooks> client, QPushButton *opener, QWidget *parent)
    : TBEditorForm(parent), ConnectionWindowState(this),
      TitleLabel(new QLabel(ui->TopPanel)), TitleEdit(new QLineEdit(ui->TopPanel)),
      ReplyLabel(new QLabel(ui->TopPanel)), ReplyEdit(new QLineEdit(ui->TopPanel)), Host(host), Channel(param),
      Client(std::move(client)), Opener(opener)
{
    setObjectName(QStringLiteral("TBOlcPostForm"));
    setWindowTitle(QStringLiteral("Ｋａｌｖｅｘ [ OLC Post ]"));
    setAttribute(Qt::WA_DeleteOnClose); // released after the close, never under a pending call
    TitleLabel->setObjectName(QStringLiteral("TitleLabel"));
    TitleLabel->setText(QStringLiteral("Title"));
    TitleLabel->setBuddy(TitleEdit);
    TitleEdit->setObjectName(QStringLiteral("TitleEdit"));
    ReplyLabel->setObjectName(QStringLiteral("ReplyLabel"));
    ReplyLabel->setText(QStringLiteral("Reply"));
    ReplyLabel->setBuddy(ReplyEdit);
    ReplyEdit->setObjectName(QStringLiteral("ReplyEdit"));
    const int row = ui->TopLayout->rowCount();
    ui->TopLayout->addWidget(TitleLabel, row, 0);
    ui->TopLayout->addWidget(TitleEdit, row, 1, 1, 5);
    ui->TopLayout->addWidget(ReplyLabel, row, 6);
    ui->TopLayout->addWidget(ReplyEdit, row, 7);
    WatchChildren();

    ui->TelegramLabel->setText(QStringLiteral("OLC Post Window"));
    ui->SendButton->setText(QStringLiteral("Send"));
    ui->FileButton->show();
    ui->BottomPanel1->show();
    for (QWidget *w : std::initializer_list<QWidget *>{ui->RepeatCheckBox, ui->HostNameLabel, ui->WaitngLabel,
                                                        ui->NumberLabel, ui->MmLabel, ui->MemoLabel, ui->ChannelLabel,
                                                        ui->ChNumLabel, ui->OlcpvLabel})
        w->show();
    ShowTransfer(false);
    connect(ui->FileButton, &QPushButton::clicked, this, &TBOlcPostForm::FileButtonClick);
}

TBOlcPostForm::~TBOlcPostForm() = default;

bool TBOlcPostForm::StartConversation(plat::SOCKET s, const HostRecord &host)
{
    if (Closed || CloseRequested)
        return false;
    Host = host;
    Socket = s;
    Started = OwnsChannel = true;
    show();
    // A window whose board refused closes as it is first activated.
    QTimer::singleShot(0, this, [this] {
        if (Error)
            CloseWhenIdle();
    });
    return true;
}

// ---- window life -------------------------------------------------------------

bool TBOlcPostForm::event(QEvent *event)
{
    return HandleConnectionMessage(event, ui->NumberLabel, Host.Channel) || TBEditorForm::event(event);
}

void TBOlcPostForm::closeEvent(QCloseEvent *event)
{
    if (ConversationDecidesClose(event))
        return;
    Closed = true;
    TBEditorForm::closeEvent(event);
}

void TBOlcPostForm::FormShow()
{
    if (!Started) {
        setGeometry(0, 0, 0, 0);
        return;
    }
    Conversation conversation(*this);
    ServerVersion = PeerVersionNumber(Host.OlcpVersion);
    const int offset = (Host.OwnChannel + 2) * WindowStep;
    move(MainPosition.Left + offset, MainPosition.Top + offset);
    resize(MainPosition.Width, WindowHeight);
    if (const auto client = Client.lock()) {
        client->ChangePosterCount(Channel.ClientBoardKey(), 1);
        Counted = true;
    }
    Error = Refused = false;
    ui->LoadButton->setText(QStringLiteral("Load"));
    LatestFlag = false;

    ui->ToLabel->setText(QStringLiteral("To"));
    ui->ChNumLabel->setText(QString::number(Host.OwnChannel));
    ui->HostNameLabel->setText(Host.HostName);
    ui->MemoLabel->setText(Host.Memo);
    ui->NumberLabel->setText(QString::number(WaitingTelsNow()));
    ui->OlcpvLabel->setText(Host.OlcpVersion);
    ReplyEdit->setText(ReplyText(Channel.MessageNumber));

    ui->RepeatCheckBox->setChecked(RepeatTransmit);
    ui->PlainCheckBox->setChecked(PlainTransmit);
    ui->SendRich->SetPlainText(PlainTransmit);
    ui->SendRich->PopupQuote = QuotationMark;
    ui->SendRich->SetInputMode(true);
    ui->SendRich->Clear();
    TitleEdit->clear();
    TitleEdit->setFocus();
    ui->SendStatusBar->clearMessage();

    if (OpenBoard() && BEditorForm && BEditorForm->isVisible())
        ui->SendRich->LoadFromBuffer(BEditorForm->ui->SendRich->SaveToBuffer());
    if (Opener)
        Opener->setEnabled(true);
}

// "POST" with the board key and password; the third answer says whether the
// board takes posts.
bool TBOlcPostForm::OpenBoard()
{
    const auto refuse = [this](const QString &text) {
        if (const auto client = Client.lock())
            client->ShowClientStatus(text);
        Error = true;
        return false;
    };
    QString reply;
    if (!Step(SendRecvString(Socket, QStringLiteral("POST\r") + Channel.BoardKey + QLatin1Char('\r'), reply)))
        return false;
    if (reply != QLatin1String("ACK"))
        return refuse(QStringLiteral("... Board-Key Not Found ! ..."));
    QByteArray answer;
    if (!Step(SendRecvString(Socket, Channel.BoardPassword + '\r', answer)))
        return false;
    if (answer != "ACK")
        return refuse(QStringLiteral("... Board Password Disagreement ! ..."));
    if (!Step(RecvString(Socket, answer)))
        return false;
    if (answer == "ACK")
        return true;
    Refused = true;
    return refuse(answer == "NAK" ? QStringLiteral("... Board Full ! ...") : QStringLiteral("... Read Only Board! ..."));
}

void TBOlcPostForm::FormClose()
{
    if (Socket != plat::INVALID_SOCKET && !Error)
        SendString(Socket, "OFF\r");
    if (const auto client = Client.lock(); client && Counted)
        client->ChangePosterCount(Channel.ClientBoardKey(), -1);
    Counted = false;
    BreakConnection();
    ui->SendRich->SetInputMode(false);
    if (OwnsChannel)
        ChannelStates[static_cast<size_t>(Host.OwnChannel)] = 0;
    OwnsChannel = false;
}

// ---- posting -------------------------------------------------------------------

bool TBOlcPostForm::Announce(const char *command)
{
    QString answer;
    if (!Step(SendRecvString(Socket, QString::fromLatin1(command), answer)))
        return false;
    if (answer != QLatin1String("ACK")) {
        ui->SendRich->Clear();
        ShowStatusText(answer == QLatin1String("NAK") ? QStringLiteral("ボードが満杯になりました! 登録できません")
                                                      : QStringLiteral("このボードは書き込み禁止です!"));
        Refused = true;
        return false;
    }
    return Step(SendInteger(Socket, Channel.MessageNumber));
}

bool TBOlcPostForm::SendPostText()
{
    if (Error || Refused)
        return false;
    const QString text = ui->SendRich->Rich()->toPlainText();
    if (text.isEmpty())
        return true;
    // Below 207 a server takes the window's plain text, from there on the editor's own export.
    const QByteArray body = ServerVersion < RichTextVersion
                                ? plat::ToCp932(QString(text).replace(QLatin1Char('\n'), QStringLiteral("\r\n")))
                                : ui->SendRich->SaveToBuffer();
    if (body.size() > MaxPostTextBytes) {
        ShowStatusText(TooLongText(body.size()));
        return false;
    }
    const QString title = TitleEdit->text().isEmpty() ? text : TitleEdit->text();
    return Announce("TEXT\r") && Step(SendTitle(title) && SendBuf(Socket, body, int(body.size())));
}

bool TBOlcPostForm::SendPostFile()
{
    if (Error || Refused)
        return false;
    QString folder;
    const QString path = ChooseFile(QStringLiteral("OpenDialogF"), QFileDialog::AcceptOpen, SendDirectory, QString(),
                                    {QStringLiteral("すべてのﾌｧｲﾙ (*)")}, folder);
    if (path.isEmpty()) {
        // Nothing to post: the window goes, as after a post with Repeat mode off.
        CloseWhenIdle();
        return false;
    }
    SendDirectory = folder;
    const QString name = QFileInfo(path).fileName();
    if (plat::ToCp932(name).size() > MaxFileNameBytes) {
        ShowStatusText(QStringLiteral("*** File Name over 80 Bytes ***"));
        return false;
    }
    // The name is a line of the exchange and the file's name on the server: never cut.
    if (FirstLine(name) != name) {
        ShowStatusText(QStringLiteral("*** File Name with a Line Break ***"));
        return false;
    }
    if (!Announce("FILE\r"))
        return false;
    if (TitleEdit->text().isEmpty())
        TitleEdit->setText(name);
    if (!Step(SendTitle(TitleEdit->text()) && SendString(Socket, name + QLatin1Char('\r'))))
        return false;
    ShowTransfer(true);
    const TransferProgress progress{ui->SpeedLabel, ui->SendBar};
    qint64 size = -1;
    const bool sent = SendFileProgress(Socket, path, 0, &progress, size);
    ShowTransfer(false);
    return Step(sent);
}

bool TBOlcPostForm::SendTitle(const QString &title)
{
    return SendString(Socket, plat::CutCp932(plat::ToCp932(FirstLine(title)), MaxTitleBytes) + '\r');
}

void TBOlcPostForm::ShowTransfer(bool shown)
{
    for (QWidget *w : std::initializer_list<QWidget *>{ui->BpsLabel, ui->SpeedLabel, ui->SendBar})
        w->setVisible(shown);
    ReplyLabel->setVisible(!shown);
    ReplyEdit->setVisible(!shown);
}

// After a post: a refused board, or a post refused here before anything
// went out, keeps the window with its text; a failed exchange closes it and
// says so in the client window (a close alone would look like a success with
// Repeat mode off); otherwise Repeat mode decides.
void TBOlcPostForm::AfterPost(bool ok)
{
    if (Refused)
        return;
    if (Error) {
        if (const auto client = Client.lock())
            client->ShowClientStatus(QStringLiteral("Post Failure !"));
        return CloseWhenIdle();
    }
    if (!ok)
        return;
    if (!RepeatTransmit)
        return CloseWhenIdle();
    ClearForNext(); // before the status: an edit of the text clears it
    ShowStatusText(QStringLiteral("Success Transmit"));
}

void TBOlcPostForm::ClearForNext()
{
    ui->SendRich->Clear();
    TitleEdit->clear();
    TitleEdit->setFocus();
}

// ---- buttons and fields ----------------------------------------------------------

void TBOlcPostForm::SendButtonClick()
{
    if (Busy)
        return;
    Conversation conversation(*this);
    if (ui->SendRich->Rich()->toPlainText().isEmpty())
        return CloseWhenIdle();
    SaveLastSentText();
    AfterPost(SendPostText());
}

void TBOlcPostForm::FileButtonClick()
{
    if (Busy)
        return;
    Conversation conversation(*this);
    if (!ui->SendRich->Rich()->toPlainText().isEmpty()) {
        SaveLastSentText();
        if (!SendPostText())
            return AfterPost(false);
        // The text has gone: whatever becomes of the file, it is not sent again.
        ui->SendRich->Clear();
    }
    AfterPost(SendPostFile());
}

void TBOlcPostForm::CancelButtonClick()
{
    ShowStatusText(QStringLiteral("Cancelled Text"));
    ClearForNext();
}

void TBOlcPostForm::ExitButtonClick()
{
    close();
}

void TBOlcPostForm::RepeatCheckBoxClick()
{
    TBEditorForm::RepeatCheckBoxClick();
    TitleEdit->setFocus();
}

bool TBOlcPostForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == TitleEdit && IsEnter(event) && !TitleEdit->text().isEmpty()) {
        ui->SendRich->SetFocus();
        return true;
    }
    if (watched == ReplyEdit && (IsEnter(event) || event->type() == QEvent::FocusOut)) {
        ShowReplyTitle();
        if (event->type() == QEvent::KeyPress)
            return true;
    }
    return TBEditorForm::eventFilter(watched, event);
}

// Typing the last five digits of a message number picks the newest message
// of the board that ends in them.
void TBOlcPostForm::ShowReplyTitle()
{
    bool number = false;
    const qint32 n = ReplyEdit->text().trimmed().toInt(&number);
    if (!number || n < 1) {
        Channel.MessageNumber = 0;
    } else {
        plat::RecordFile index(olc::ServerFolder(Host.OlcName).boardIndex(Channel.BoardKey), MessageRecord::Size);
        QByteArray image;
        for (qint64 r = index.open() ? index.count() - 1 : 0; r >= 1; --r) {
            if (!index.read(r, image))
                break;
            const qint32 found = MessageRecord::decode(image).Number;
            if (found % ReplyModulus == n) {
                Channel.MessageNumber = found;
                break;
            }
        }
    }
    ReplyEdit->setText(ReplyText(Channel.MessageNumber));
}
