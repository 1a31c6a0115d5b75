#include "core/BFinger.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/Cp932.h"
#include "platform/Help.h"
#include "ui_BFinger.h"
#include "ui_BLookup.h"

#include <QDeadlineTimer>
#include <QKeyEvent>

#include <sys/socket.h>

TBFingerForm *BFingerForm = nullptr;

namespace {

// An answer's bytes as lines joined by CR LF, whatever line ends the server
// used, with control characters escaped: a server's text can neither forge
// log lines nor reach a terminal reading the log as escape sequences. Tabs,
// which do neither and which finger servers use for columns, stay.
QString AnswerText(const QByteArray &bytes)
{
    QStringList lines = plat::FromCp932(bytes).split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        QStringList columns = line.split(QLatin1Char('\t'));
        for (QString &column : columns)
            column = EscapeControls(column);
        line = columns.join(QLatin1Char('\t'));
    }
    return lines.join(QStringLiteral("\r\n"));
}

} // namespace

TBFingerForm::TBFingerForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBFingerForm>())
{
    ui->setupUi(this);
    ui->UserNameEdit->installEventFilter(this);
    connect(ui->FingerButton, &QPushButton::clicked, this, &TBFingerForm::FingerQuery);
    connect(ui->ExitButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->HelpButton, &QPushButton::clicked, this, [this] {
        plat::OpenHelp(ApplicationHelpFile);
        if (ui->UserNameEdit->isEnabled())
            ui->UserNameEdit->setFocus();
    });
}

TBFingerForm::~TBFingerForm() = default;

void TBFingerForm::SetTarget(const HostRecord &host)
{
    Host = host;
    ui->HostNameLabel->setText(Host.HostName);
    for (QWidget *w : std::initializer_list<QWidget *>{ui->PromptLabel, ui->UserNameEdit, ui->FingerButton})
        w->setEnabled(true);
}

void TBFingerForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    if (BLookupForm)
        move(BLookupForm->pos() + QPoint(20, 20));
    ui->FingerMemo->clear();
    ui->UserNameEdit->clear();
    ui->UserNameEdit->setFocus();
}

void TBFingerForm::closeEvent(QCloseEvent *event)
{
    BreakQuery();
    setWindowState(Qt::WindowNoState);
    if (BLookupForm)
        BLookupForm->ui->HostNameEdit->setFocus();
    QWidget::closeEvent(event);
}

bool TBFingerForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->UserNameEdit && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            FingerQuery();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool TBFingerForm::FingerConnect()
{
    int error = 0;
    // Socket holds the connecting socket too: a close breaks off a connect
    // to a host that does not answer.
    Socket = ConnectServer(SOCK_STREAM, QStringLiteral("finger"), QString(), error, Host.IpAddress, 79, &Socket);
    if (Socket != plat::INVALID_SOCKET)
        return true;
    for (QWidget *w : std::initializer_list<QWidget *>{ui->PromptLabel, ui->UserNameEdit, ui->FingerButton})
        w->setEnabled(false);
    return false;
}

void TBFingerForm::FingerWrite(int level, const QString &text)
{
    if (level > LogLebelNumber)
        return;
    QString shown = text;
    ui->FingerMemo->appendPlainText(shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    if (LogToFile)
        AppendLogFileLine(LogDirectory + QLatin1Char('/') + LogFileName, text);
}

void TBFingerForm::BreakQuery()
{
    if (Socket == plat::INVALID_SOCKET)
        return;
    plat::closesocket(Socket);
    Socket = plat::INVALID_SOCKET;
}

void TBFingerForm::FingerQuery()
{
    // The blocking calls below let events in: a second Enter or click meanwhile is ignored.
    if (Querying)
        return;
    const QString user = ui->UserNameEdit->text();
    const QByteArray userName = plat::ToCp932(user);
    if (userName.size() > MaxFingerUserName) {
        // Said whatever the log level: the name stays to be shortened.
        FingerWrite(ZERO, QStringLiteral("*** User name too long (%1 bytes at most) ***").arg(MaxFingerUserName));
        return;
    }
    // After a failed connect the name stays for the next try.
    Querying = true;
    if (FingerConnect()) {
        const QString name = user.isEmpty() ? user : user + QLatin1Char('@') + Host.HostName;
        FingerWrite(ZERO, QString(27, QLatin1Char('=')));
        FingerWrite(ZERO, QStringLiteral("Login name \"") + EscapeControls(name) + QLatin1Char('"'));
        FingerWrite(ZERO, QString(27, QLatin1Char('-')));
        QueryOn(userName);
        BreakQuery();
        ui->UserNameEdit->clear();
        ui->UserNameEdit->setFocus();
    }
    Querying = false;
}

void TBFingerForm::QueryOn(const QByteArray &userName)
{
    const QByteArray line = userName + "\r\n";
    if (plat::send(Socket, line.constData(), int(line.size()), 0) == plat::SOCKET_ERROR) {
        FingerWrite(ALPHA, QStringLiteral("*** send *** Error code = ") + QString::number(plat::WSAGetLastError()));
        return;
    }
    // The whole answer gets TimeOutValue (0: no limit): a server that trickles
    // cannot hold the window.
    plat::SetReceiveDeadline(Socket, TimeOutValue > 0 ? QDeadlineTimer(TimeOutValue)
                                                      : QDeadlineTimer(QDeadlineTimer::Forever));
    QByteArray buffer(FingerBufferSize, '\0');
    int received = 0;
    while (received < FingerBufferSize) {
        int n = plat::recv(Socket, buffer.data() + received, FingerBufferSize - received, 0);
        if (n == plat::SOCKET_ERROR) {
            FingerWrite(ALPHA, QStringLiteral("*** recv *** Error code = ") + QString::number(plat::WSAGetLastError()));
            n = 0;
        }
        if (n == 0)
            break;
        FingerWrite(DELTA, AnswerText(buffer.mid(received, n)));
        received += n;
    }
    // What arrived, up to a NUL byte, and never past the buffer.
    QByteArray answer = buffer.left(received);
    if (const qsizetype nul = answer.indexOf('\0'); nul >= 0)
        answer.truncate(nul);
    FingerWrite(ZERO, AnswerText(answer));
}
