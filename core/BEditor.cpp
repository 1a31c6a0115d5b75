#include "core/BEditor.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/RichView.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/ModifierKey.h"
#include "tel/BTelLog.h"
#include "ui_BEditor.h"
#include "ui_BLookup.h"

#include <QCloseEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QSaveFile>
#include <QShowEvent>
#include <QTextEdit>
#include <QUrl>

TBEditorForm *BEditorForm = nullptr;

namespace {

constexpr char AutoReplyHandle[] = "【Auto Reply】";
constexpr char NoAddress[] = "0.0.0.0";
constexpr int BottomPanelHeight = 38;
constexpr int EditorHeight = 320;
constexpr int EditorOffset = 30;

// The local files among dropped URLs, in drop order.
QStringList DroppedFiles(const QMimeData *data)
{
    QStringList files;
    if (!data)
        return files;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            files.append(url.toLocalFile());
    }
    return files;
}

// The body's lines, each ended by CR LF, as CP932: the plain form of a message file.
QByteArray PlainLines(const QString &text)
{
    QString out;
    if (!text.isEmpty()) {
        for (const QString &line : text.split(QLatin1Char('\n')))
            out += line + QStringLiteral("\r\n");
    }
    return plat::ToCp932(out);
}

} // namespace

TBEditorForm::TBEditorForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBEditorForm>())
{
    ui->setupUi(this);
    ConnectHandlers();
    FormCreate();
}

TBEditorForm::~TBEditorForm() = default;

void TBEditorForm::FormCreate()
{
    setAcceptDrops(true);
    ui->SendRich->SetHeadHeight(85);
    ui->SendRich->PopupQuote = QStringLiteral(">>");
    ui->SendRich->SetInputMode(true);
    ui->BottomPanel->setFixedHeight(BottomPanelHeight);
    WatchChildren();
}

void TBEditorForm::ConnectHandlers()
{
    connect(ui->ExitButton, &QPushButton::clicked, this, [this] { ExitButtonClick(); });
    connect(ui->CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });
    connect(ui->SendButton, &QPushButton::clicked, this, [this] { SendButtonClick(); });
    connect(ui->LoadButton, &QPushButton::clicked, this, &TBEditorForm::LoadButtonClick);
    connect(ui->SaveButton, &QPushButton::clicked, this, &TBEditorForm::SaveButtonClick);
    connect(ui->RepeatCheckBox, &QCheckBox::clicked, this, [this] { RepeatCheckBoxClick(); });
    connect(ui->PlainCheckBox, &QCheckBox::clicked, this, &TBEditorForm::PlainCheckBoxClick);
    connect(ui->SendRich, &TRichView::OnChange, this, &TBEditorForm::SendRichChange);
}

void TBEditorForm::WatchChildren()
{
    installEventFilter(this);
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
}

// The window sees every key first (the "Latest" offer), and takes dropped files
// wherever they land, the body included.
bool TBEditorForm::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
        FormKeyDown(static_cast<QKeyEvent *>(event));
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (drag->mimeData()->hasUrls()) {
            drag->acceptProposedAction();
            return true;
        }
        break;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QStringList files = DroppedFiles(drop->mimeData());
        if (!files.isEmpty()) {
            drop->acceptProposedAction();
            WMDropFiles(files);
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TBEditorForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TBEditorForm::closeEvent(QCloseEvent *event)
{
    FormClose();
    event->accept();
}

// ---- the auto-reply editor ---------------------------------------------------

void TBEditorForm::FormShow()
{
    move(MainPosition.Left + EditorOffset, MainPosition.Top + EditorOffset);
    resize(MainPosition.Width, EditorHeight);
    LatestFlag = false;
    SavedFlag = false;
    ui->FileButton->hide();
    ui->BottomPanel1->hide();
    ui->SendButton->setText(QStringLiteral("AutoRep"));
    ui->LoadButton->setText(QStringLiteral("Load"));
    ui->PlainCheckBox->setChecked(PlainTransmit);
    ShowPlainMode();
    ui->SendRich->PopupQuote = QuotationMark;
    // Opened from the "Auto Reply" box (which it disables meanwhile): the
    // current message is edited.
    if (BLookupForm && !BLookupForm->ui->AutoreplyCheckBox->isEnabled() && QFileInfo::exists(AutoReplyRichFile))
        LoadBodyFromFile(AutoReplyRichFile);
    ui->SendRich->SetFocus();
}

void TBEditorForm::FormClose()
{
    if (BLookupForm) {
        QCheckBox *autoReply = BLookupForm->ui->AutoreplyCheckBox;
        if (!autoReply->isEnabled()) {
            if (!SavedFlag) {
                WriteLog(ZERO, QStringLiteral("... AutoReply Message Canceled ..."));
                autoReply->setChecked(false);
            }
            autoReply->setEnabled(true);
        }
    }
    ui->SendRich->Clear();
    setWindowState(Qt::WindowNoState);
    if (BLookupForm)
        BLookupForm->ui->HostNameEdit->setFocus();
}

// Saves the message as the two auto-reply files, logs it and turns auto reply on.
void TBEditorForm::SendButtonClick()
{
    if (ui->SendRich->Rich()->toPlainText().isEmpty()) {
        close();
        return;
    }
    const QByteArray body = ui->SendRich->SaveToBuffer();
    // A longer message would not fit the buffer of a reply: refused, never cut.
    if (body.size() > MaxBufBytes) {
        ShowStatusText(TooLongText(body.size()));
        return;
    }
    if (!SaveAutoReplyFiles(body))
        return;
    AutoReplyFile = QString(); // an explicitly configured reply file no longer applies
    SavedFlag = true;
    const QDateTime now = QDateTime::currentDateTime();
    LogBanner(QStringLiteral("AutoReply message  ") + plat::FormatShortDate(now) + QLatin1Char(' ') +
              plat::FormatLongTime(now) + QStringLiteral("  ") + QString::number(body.size()) + QStringLiteral("Bytes"));
    LogAutoReplyMessage(body);
    if (BLookupForm) {
        BLookupForm->ui->AutoreplyCheckBox->setChecked(true);
        BLookupForm->ui->LockCheckBox->setChecked(true);
    }
    close();
}

// The rich file holds the body as the buffer carries it (RTF, or plain text in
// Plain mode), the plain file its lines.
bool TBEditorForm::SaveAutoReplyFiles(const QByteArray &body)
{
    for (const auto &[path, bytes] : {std::pair{AutoReplyRichFile, body},
                                      std::pair{AutoReplyPlainFile, PlainLines(ui->SendRich->Rich()->toPlainText())}}) {
        QString error;
        if (!WriteWholeFile(path, bytes, &error)) {
            QMessageBox::critical(this, windowTitle(), error);
            return false;
        }
    }
    return true;
}

bool TBEditorForm::LogAutoReplyMessage(const QByteArray &body)
{
    SentTel sent;
    sent.target.IpAddress = QLatin1String(NoAddress);
    sent.target.Memo = QString::fromUtf8(AutoReplyHandle);
    sent.text = body;
    sent.localMode = true; // the banner is the editor's own
    MessageRecord record;
    record.Title = QLatin1String(TelTitle::SendText);
    record.Bytes = static_cast<qint32>(body.size());
    return LogSentTel(sent, record);
}

// ---- shared by every editor ----------------------------------------------------

void TBEditorForm::FormKeyDown(const QKeyEvent *event)
{
    if (plat::ArmingModifier(*event) != Qt::ShiftModifier || !QFileInfo::exists(LastSentTextFile))
        return;
    const QTextEdit *body = ui->SendRich->Rich();
    if (body->hasFocus() && !body->toPlainText().isEmpty())
        return;
    LatestFlag = true;
    ui->LoadButton->setText(QStringLiteral("Latest"));
}

void TBEditorForm::ExitButtonClick()
{
    close();
}

void TBEditorForm::CancelButtonClick()
{
    ui->SendRich->Clear();
    ui->SendRich->SetFocus();
}

void TBEditorForm::RepeatCheckBoxClick()
{
    RepeatTransmit = ui->RepeatCheckBox->isChecked();
    ui->SendRich->SetFocus();
}

void TBEditorForm::PlainCheckBoxClick()
{
    PlainTransmit = ui->PlainCheckBox->isChecked();
    ShowPlainMode();
    ui->SendRich->SetFocus();
}

void TBEditorForm::ShowPlainMode()
{
    ui->ToLabel->setText(PlainTransmit ? QStringLiteral("Plaintext Editor") : QStringLiteral("Richtext Editor"));
    ui->SendRich->SetPlainText(PlainTransmit);
}

void TBEditorForm::SendRichChange()
{
    ui->SendStatusBar->clearMessage();
}

void TBEditorForm::LoadButtonClick()
{
    ui->SendStatusBar->clearMessage();
    if (LatestFlag) {
        LoadBodyFromFile(LastSentTextFile);
        LatestFlag = false;
        ui->LoadButton->setText(QStringLiteral("Load"));
        ui->SendRich->SetFocus();
        return;
    }
    QString folder;
    const QString name = ChooseFile(QStringLiteral("OpenDialog"), QFileDialog::AcceptOpen, TextDirectory,
                                    LastEditFile, TextFileFilters(), folder);
    if (name.isEmpty())
        return;
    ui->SendRich->Clear();
    LoadBodyFromFile(name);
    TextDirectory = folder;
}

void TBEditorForm::SaveButtonClick()
{
    ui->SendStatusBar->clearMessage();
    QString folder;
    const QString name = ChooseFile(QStringLiteral("SaveDialog"), QFileDialog::AcceptSave, TextDirectory,
                                    LastEditFile, TextFileFilters(), folder);
    if (name.isEmpty())
        return;
    if (!ui->SendRich->SaveToFile(name)) {
        QMessageBox::critical(this, windowTitle(), QStringLiteral("Cannot create file \"%1\".").arg(name));
        return;
    }
    LastEditFile = QFileInfo(name).fileName();
    TextDirectory = folder;
}

QStringList TBEditorForm::TextFileFilters()
{
    return {QStringLiteral("Text Files (*.txt)"), QStringLiteral("RichText Files (*.rtf)"),
            QStringLiteral("すべてのﾌｧｲﾙ (*)")};
}

QString TBEditorForm::ChooseFile(const QString &dialogName, QFileDialog::AcceptMode mode, const QString &folder,
                                 const QString &proposed, const QStringList &filters, QString &endFolder)
{
    QFileDialog dialog(this, QString(), folder);
    dialog.setObjectName(dialogName);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    if (mode == QFileDialog::AcceptSave)
        dialog.setDefaultSuffix(QStringLiteral("txt"));
    if (!proposed.isEmpty())
        dialog.selectFile(proposed);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    endFolder = dialog.directory().absolutePath();
    return dialog.selectedFiles().constFirst();
}

bool TBEditorForm::LoadBodyFromFile(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageBox::critical(this, windowTitle(),
                              QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, file.errorString()));
        return false;
    }
    ui->SendRich->LoadFromBuffer(file.readAll());
    return true;
}

void TBEditorForm::WMDropFiles(const QStringList &fileNames)
{
    if (fileNames.isEmpty())
        return;
    ui->SendRich->Clear();
    LoadBodyFromFile(fileNames.constFirst());
}

void TBEditorForm::SaveLastSentText()
{
    QString error;
    if (!WriteWholeFile(LastSentTextFile, ui->SendRich->SaveToBuffer(), &error))
        WriteLog(ALPHA, QStringLiteral("*** ") + error + QStringLiteral(" ***"));
}

bool TBEditorForm::WriteWholeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString());
    return false;
}

void TBEditorForm::ShowStatusText(const QString &text)
{
    ui->BottomPanel1->show();
    ui->SendStatusBar->showMessage(text);
}

QString TBEditorForm::TooLongText(qint64 bytes)
{
    return QStringLiteral("*** Text too long : %1 Bytes (at most %2 Bytes) ***").arg(bytes).arg(MaxBufBytes);
}
