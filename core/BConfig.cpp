#include "core/BConfig.h"

#include "core/BCommon.h"
#include "core/BFolder.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BViewlst.h"
#include "core/MessageRecord.h"
#include "platform/DayDate.h"
#include "platform/ModifierKey.h"
#include "platform/RecordFile.h"
#include "tel/AccountRecord.h"
#include "tel/BTelLog.h"
#include "ui_BConfig.h"
#include "ui_BLookup.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QRegularExpressionValidator>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

TBConfigForm *BConfigForm = nullptr;

namespace {

constexpr char RootFailedText[] = "ﾙｰﾄﾃﾞｨﾚｸﾄﾘ の変更はできませんでした.";
constexpr char TelFolderFailedText[] = "TELﾛｸﾞ用ﾃﾞｨﾚｸﾄﾘ の変更はできませんでした.";
constexpr const char *LogLevelNames[] = {"ZERO", "ALPHA", "BETA", "GAMMA", "DELTA"};

// The boxes carry names, so that the user's answers can be scripted in tests.
void Inform(QWidget *owner, const char *name, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, owner);
    box.setObjectName(QLatin1String(name));
    box.exec();
}

bool AskYesNo(QWidget *owner, const char *name, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QString(), text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setObjectName(QLatin1String(name));
    return box.exec() == QMessageBox::Yes;
}

bool IsWaveFile(const QFileInfo &file)
{
    return file.isFile() && file.suffix().toLower() == QLatin1String("wav");
}

bool IsExistingFile(const QFileInfo &file)
{
    return file.isFile();
}

// Chosen in the dialog, the editor must be a program: programs here carry no ".exe".
bool IsProgramFile(const QFileInfo &file)
{
    return file.isFile() && file.isExecutable();
}

// The window's open dialog: one existing file.
void PrepareOpenDialog(QFileDialog &dialog)
{
    dialog.setObjectName(QStringLiteral("OpenDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
}

QString WithoutTrailingSeparator(QString folder)
{
    if (folder.size() > 1 && (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'))))
        folder.chop(1);
    return folder;
}

// The one path of a folder whatever way it is written (links, "..", relative
// to the main folder), also of one that does not exist yet.
QString CanonicalFolder(const QString &folder)
{
    const QFileInfo info(ResolveSettingPath(folder));
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

bool SameFolder(const QString &a, const QString &b)
{
    return CanonicalFolder(a) == CanonicalFolder(b);
}

bool InsideFolder(const QString &folder, const QString &outer)
{
    const QString inner = CanonicalFolder(folder), base = CanonicalFolder(outer);
    return inner == base || inner.startsWith(base + QLatin1Char('/'));
}

// Holds every lock of the TEL log pair in use, in their order: no TEL is
// between its body and its record, and no append runs, while the pair's
// files or bindings change.
struct TelLogLocks {
    std::unique_lock<std::shared_mutex> gate{TelStoreGate};
    std::lock_guard<std::recursive_mutex> text{TelTextLock};
    std::lock_guard<std::recursive_mutex> data{TelDataLock};
};

// Copies the pair in use into folder: both files to work copies first, then
// renamed over the targets, so a failed copy leaves no part behind. A file
// of the pair that does not exist yet has nothing to copy.
bool CopyTelLogPair(const TelLogPair &from, const TelLogPair &to)
{
    const QStringList sources{from.dataFile(), from.textFile()}, targets{to.dataFile(), to.textFile()};
    QStringList works;
    bool copied = true;
    for (int i = 0; i < sources.size() && copied; ++i) {
        if (!QFileInfo::exists(sources[i]))
            continue;
        works.append(targets[i] + QStringLiteral(".$$$"));
        // The copy is as private as the log it copies.
        copied = CopyFileTo(sources[i], works.last(), false) &&
                 QFile::setPermissions(works.last(), QFileInfo(sources[i]).permissions());
    }
    for (int i = 0, w = 0; i < sources.size() && copied; ++i) {
        if (QFileInfo::exists(sources[i]))
            copied = std::rename(QFile::encodeName(works[w++]).constData(), QFile::encodeName(targets[i]).constData()) == 0;
    }
    for (const QString &work : works)
        QFile::remove(work);
    return copied;
}

} // namespace

bool EnsureFolder(const QString &folder)
{
    const QString path = ResolveSettingPath(folder);
    return QFileInfo(path).isDir() || QDir().mkdir(path);
}

bool CheckTelLogPair(const QString &folder, const QString &name)
{
    const TelLogPair pair{ResolveSettingPath(folder), name};
    plat::RecordFile data(pair.dataFile(), MessageRecord::Size);
    QByteArray header;
    if (data.open() && data.read(0, header))
        return MessageRecord::decode(header).FileName == name && QFile(pair.textFile()).open(QIODevice::ReadOnly);
    data.close();
    if (QFileInfo::exists(pair.dataFile()) || QFileInfo::exists(pair.textFile()))
        return false;
    MessageRecord record = MakeHeaderRecord(name);
    const QDateTime now = QDateTime::currentDateTime();
    record.Title = plat::FormatShortDate(now) + QLatin1Char(' ') + plat::FormatLongTime(now);
    const bool created = data.create() && data.append(record.encode()) == 0 && data.sync() &&
                         plat::EnsureFileExists(pair.textFile());
    if (!created) {
        data.close();
        QFile::remove(pair.dataFile());
        QFile::remove(pair.textFile());
    }
    return created;
}

QByteArray StoredPasswordForm(const QByteArray &typed)
{
    return ConvertPassword(typed.toUpper());
}

QString PlainPassword(const QByteArray &stored)
{
    return QString::fromLatin1(ConvertPassword(stored));
}

bool PasswordMatches(const QByteArray &typed, const QByteArray &stored)
{
    return StoredPasswordForm(typed) == stored || ConvertPassword(typed) == stored;
}

TBConfigForm::TBConfigForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBConfigForm>())
{
    ui->setupUi(this);
    AddPasswordField(ui->SelfPWEdit, ui->SelfPWLabel,
                     {MySelfPW, "前のｵｰﾅｰ･ﾊﾟｽﾜｰﾄﾞ (8文字以内)", "新しいｵｰﾅｰ･ﾊﾟｽﾜｰﾄﾞ (8文字以内)"});
    AddPasswordField(ui->TelPWEdit, ui->TelPWLabel,
                     {TELPW, "前のTEL･ﾊﾟｽﾜｰﾄﾞ (8文字以内)", "新しいTEL･ﾊﾟｽﾜｰﾄﾞ (8文字以内)"});
    AddPasswordField(ui->OlcPWEdit, ui->OlcPWLabel,
                     {OLCPW, "前のOLC･ﾊﾟｽﾜｰﾄﾞ (8文字以内)", "新しいOLC･ﾊﾟｽﾜｰﾄﾞ (8文字以内)"});
    Fields.push_back({ui->ArrivalChimeEdit, ui->ArrivalChimeLabel,
                      [this] { FileSettingExit(ui->ArrivalChimeEdit, ArrivalChime, IsWaveFile); },
                      [this] {
                          ChooseFileSetting(ui->ArrivalChimeEdit, ArrivalChime, QStringLiteral("Wave files (*.WAV *.wav)"),
                                            IsWaveFile);
                      }});
    Fields.push_back({ui->EditorEdit, ui->EditorLabel,
                      [this] { FileSettingExit(ui->EditorEdit, CustomEditor, IsExistingFile); },
                      [this] { ChooseFileSetting(ui->EditorEdit, CustomEditor, QStringLiteral("Exe files (*)"), IsProgramFile); }});
    Fields.push_back({ui->TelegDirEdit, ui->TelegDirLabel,
                      [this] { MoveTelLogFolder(ui->TelegDirEdit->text(), true); },
                      [this] { ChooseTelLogFolder(); }});
    Fields.push_back({ui->TelegFileEdit, ui->TelegFileLabel, [this] { TelegFileExit(); },
                      [this] { ChooseTelLogFiles(); }});
    Fields.push_back({ui->OlcDirEdit, ui->OlcDirLabel, [this] { RootFolderExit(RootKind::Olc); },
                      [this] { ChooseRootFolder(RootKind::Olc); }});
    Fields.push_back({ui->AccDirEdit, ui->AccDirLabel, [this] { RootFolderExit(RootKind::Account); },
                      [this] { ChooseRootFolder(RootKind::Account); }});
    Fields.push_back({ui->LogLevelEdit, ui->LogLevelLabel, [this] { LogLevelExit(); }, {}});
    // The window sees every key first (the Ctrl prefill) and the fields' and
    // labels' focus, key and mouse events.
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
    connect(ui->ExitButton, &QPushButton::clicked, this, &QWidget::close);
}

TBConfigForm::~TBConfigForm() = default;

void TBConfigForm::AddPasswordField(QLineEdit *edit, QLabel *label, PasswordSetting password)
{
    // Passwords are 8-byte fields that travel as plain bytes: printable ASCII only.
    edit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[\\x20-\\x7E]{0,%1}").arg(TBPasswordDlg::MaxPasswordLength)), edit));
    Fields.push_back({edit, label, [this, edit, &setting = password.setting] { PasswordExit(edit, setting); },
                      [this, edit, password] { ChangePassword(edit, password); }});
}

const TBConfigForm::Field *TBConfigForm::FindField(const QObject *object) const
{
    for (const Field &field : Fields) {
        if (field.edit == object || field.label == object)
            return &field;
    }
    return nullptr;
}

void TBConfigForm::FieldExit(QLineEdit *edit)
{
    const Field *field = FindField(edit);
    if (!field || InHandler || !edit->isEnabled())
        return;
    InHandler = true;
    field->exit();
    InHandler = false;
}

void TBConfigForm::FieldDblClick(QLineEdit *edit)
{
    const Field *field = FindField(edit);
    if (!field || !field->dblClick || InHandler || !edit->isEnabled())
        return;
    InHandler = true;
    field->dblClick();
    InHandler = false;
}

bool TBConfigForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (plat::ArmingModifier(*key) == Qt::ControlModifier)
            Prefill = true;
        const Field *field = FindField(watched);
        if (field && watched == field->edit && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            FieldExit(field->edit);
            return true;
        }
    } else if (event->type() == QEvent::FocusOut) {
        // Leaving the field; the window losing the focus to a dialog is no leaving.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (const Field *field = FindField(watched);
            field && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            FieldExit(field->edit);
    } else if (event->type() == QEvent::MouseButtonDblClick) {
        if (const Field *field = FindField(watched)) {
            FieldDblClick(field->edit);
            return true;
        }
    } else if (event->type() == QEvent::MouseButtonRelease &&
               (watched == ui->ViewerEdit || watched == ui->ViewerLabel)) {
        ShowViewerList();
    }
    return QWidget::eventFilter(watched, event);
}

void TBConfigForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    if (BLookupForm)
        move(BLookupForm->pos() + QPoint(60, 60));
    for (auto [edit, setting] : {std::pair{ui->SelfPWEdit, &MySelfPW}, {ui->TelPWEdit, &TELPW}, {ui->OlcPWEdit, &OLCPW}}) {
        edit->setText(PlainPassword(*setting));
        edit->setReadOnly(!setting->value().isEmpty());
    }
    ui->MainDirLabel->setText(QStringLiteral("Main Folder : ") + MainDirectory);
    ui->RegistryLabel->setText(QStringLiteral("Registry    : ") + RegistryPathText);
    ui->HostNameLabel->setText(QStringLiteral("Host Name   : ") + LocalHostName);
    ui->IpAddressLabel->setText(QStringLiteral("IP Address  : ") + LocalAddresses.join(QStringLiteral(" ; ")));
    ShowSettings();
    ui->ViewerEdit->setText(ViewerSettingText());
    // The OLC password is shown but cannot be changed in this edition.
    ui->OlcPWLabel->setEnabled(false);
    ui->OlcPWEdit->setEnabled(false);
    const bool maintenance = ProgramVersion == QLatin1String(MaintenanceVersion);
    ui->LogLevelLabel->setVisible(maintenance);
    ui->LogLevelEdit->setVisible(maintenance);
    ui->LogLevelEdit->setText(QString::number(LogLebelNumber));
    Prefill = false;
    if (ViewerListForm)
        ViewerListForm->deleteLater();
    ViewerListForm = new TBViewerListForm(this);
    // The form's height was measured in another platform's fonts: here the
    // window is as tall as the fields that show need, and never taller.
    MaxHeight = std::max(FormHeight, HeightForAllFields());
    setMaximumHeight(QWIDGETSIZE_MAX);
    resize(width(), MaxHeight);
    setMaximumHeight(MaxHeight);
}

int TBConfigForm::HeightForAllFields()
{
    // Fields shown or hidden just now count only once their layout is redone.
    ui->FieldPanel->layout()->activate();
    const QMargins margins = layout()->contentsMargins();
    return margins.top() + ui->TopPanel->sizeHint().height() + layout()->spacing() +
           2 * ui->ScrollBox->frameWidth() + ui->FieldPanel->sizeHint().height() + margins.bottom();
}

void TBConfigForm::ShowSettings()
{
    ui->ArrivalChimeEdit->setText(ArrivalChime);
    ui->EditorEdit->setText(CustomEditor);
    ui->TelegDirEdit->setText(TelegDirectory);
    ui->TelegFileEdit->setText(TelegFileName);
    ui->OlcDirEdit->setText(OlcDirectory);
    ui->AccDirEdit->setText(AccountDirectory);
}

void TBConfigForm::closeEvent(QCloseEvent *event)
{
    SaveSettingsReported();
    setWindowState(Qt::WindowNoState);
    if (BLookupForm)
        BLookupForm->ui->HostNameEdit->setFocus();
    QWidget::closeEvent(event);
}

// ---- passwords ----------------------------------------------------------------

void TBConfigForm::PasswordExit(QLineEdit *edit, plat::Synchronized<QByteArray> &setting)
{
    if (edit->isReadOnly())
        return;
    // Trimmed as the password dialogs trim what they ask: a password kept with
    // a blank at an end could never be given again.
    if (edit->hasAcceptableInput())
        setting = StoredPasswordForm(TrimBlanksAndControls(edit->text()).toLatin1());
    edit->setText(PlainPassword(setting));
    SaveSettingsReported();
}

void TBConfigForm::ChangePassword(QLineEdit *edit, const PasswordSetting &password)
{
    QByteArray answer;
    const bool oldMatches =
        password.setting.value().isEmpty() ||
        (ShowPasswordDialog(this, QString(), Prefill ? PlainPassword(password.setting) : QString(), answer, false,
                            QString::fromUtf8(password.oldLabel), QChar()) &&
         PasswordMatches(answer, password.setting));
    if (oldMatches && ShowPasswordDialog(this, QString(), QString(), answer, false,
                                         QString::fromUtf8(password.newLabel), QChar())) {
        password.setting = StoredPasswordForm(answer);
        SaveSettingsReported();
        edit->setText(PlainPassword(password.setting));
    }
    Prefill = false;
}

// ---- chime and editor -----------------------------------------------------------

void TBConfigForm::FileSettingExit(QLineEdit *edit, plat::Synchronized<QString> &setting, FileCheck accepts)
{
    const QString text = edit->text();
    if (text.isEmpty())
        setting = QString();
    else if (accepts(QFileInfo(ResolveSettingPath(text))))
        setting = text;
    edit->setText(setting);
    SaveSettingsReported();
}

void TBConfigForm::ChooseFileSetting(QLineEdit *edit, plat::Synchronized<QString> &setting, const QString &filter,
                                     FileCheck accepts)
{
    const QString path = setting;
    const QFileInfo current(ResolveSettingPath(path));
    QFileDialog dialog(this, QString(), path.isEmpty() ? MainDirectory : current.absolutePath(), filter);
    PrepareOpenDialog(dialog);
    if (!path.isEmpty())
        dialog.selectFile(current.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QFileInfo chosen(dialog.selectedFiles().first());
    if (!accepts(chosen))
        return;
    setting = dialog.directory().absolutePath() + QLatin1Char('/') + chosen.fileName();
    SaveSettingsReported();
    edit->setText(setting);
}

// ---- the TEL log ----------------------------------------------------------------

void TBConfigForm::MoveTelLogFolder(QString folder, bool fromField)
{
    folder = WithoutTrailingSeparator(folder);
    const bool moving = !folder.isEmpty() && (!fromField || EnsureFolder(folder)) && !SameFolder(folder, TelegDirectory);
    if (moving) {
        const TelLogPair to{ResolveSettingPath(folder), TelegFileName};
        const bool targetHasPair = QFileInfo::exists(to.dataFile()) || QFileInfo::exists(to.textFile());
        // The question comes before the locks: TEL receivers must not wait for the user.
        if (!targetHasPair ||
            AskYesNo(this, "OverwriteQuestion",
                     folder + QStringLiteral(" には ") + TelegFileName +
                         QStringLiteral(" の TELﾛｸﾞ ﾌｧｲﾙ が既にあります.\r\n上書きしてもよろしいですか?"))) {
            bool copied;
            {
                TelLogLocks locks;
                copied = CopyTelLogPair(TelLogPair{ResolveSettingPath(TelegDirectory), TelegFileName}, to);
                if (copied)
                    TelegDirectory = folder;
            }
            if (copied)
                SaveSettingsReported();
            else
                Inform(this, "MoveFailed", QString::fromUtf8(TelFolderFailedText));
        }
    }
    ui->TelegDirEdit->setText(TelegDirectory);
}

void TBConfigForm::ChooseTelLogFolder()
{
    TBFolderDlg dialog(this);
    dialog.SetFolder(ResolveSettingPath(TelegDirectory));
    if (dialog.exec() == QDialog::Accepted)
        MoveTelLogFolder(dialog.Folder(), false);
}

void TBConfigForm::UseTelLogPair(const QString &folder, const QString &name)
{
    if (!name.isEmpty() && SafeBaseName(name) == name && CheckTelLogPair(folder, name)) {
        {
            TelLogLocks locks;
            TelegDirectory = folder;
            TelegFileName = name;
        }
        SaveSettingsReported();
    }
    ui->TelegDirEdit->setText(TelegDirectory);
    ui->TelegFileEdit->setText(TelegFileName);
}

void TBConfigForm::TelegFileExit()
{
    UseTelLogPair(TelegDirectory, QFileInfo(ui->TelegFileEdit->text()).completeBaseName());
}

void TBConfigForm::ChooseTelLogFiles()
{
    QFileDialog dialog(this, QString(), ResolveSettingPath(TelegDirectory),
                       QStringLiteral("Telegram files (*.DAT *.TXT *.dat *.txt)"));
    PrepareOpenDialog(dialog);
    dialog.selectFile(TelegFileName + QStringLiteral(".dat"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        UseTelLogPair(WithoutTrailingSeparator(dialog.directory().absolutePath()),
                      QFileInfo(dialog.selectedFiles().first()).completeBaseName());
}

// ---- the OLC and account root folders ----------------------------------------------

namespace {

struct RootFolder {
    QString &setting;
    QString &clientDirectory;
    const char *subfolder;
    const char *subfolders;
};

} // namespace

void TBConfigForm::RootFolderExit(RootKind kind)
{
    QLineEdit *edit = kind == RootKind::Olc ? ui->OlcDirEdit : ui->AccDirEdit;
    const QString &setting = kind == RootKind::Olc ? OlcDirectory : AccountDirectory;
    if (edit->text() != setting)
        MoveRootFolder(kind, edit->text(), true);
}

void TBConfigForm::ChooseRootFolder(RootKind kind)
{
    TBFolderDlg dialog(this);
    dialog.SetFolder(ResolveSettingPath(kind == RootKind::Olc ? OlcDirectory : AccountDirectory));
    MoveRootFolder(kind, dialog.exec() == QDialog::Accepted ? dialog.Folder() : QString(), false);
}

bool TBConfigForm::CopyRootFolder(RootKind kind, const QString &folder, bool fromField)
{
    const RootFolder root = kind == RootKind::Olc
                                ? RootFolder{OlcDirectory, OlcClientDirectory, "OlcClient", "\\OlcServer および \\OlcClient"}
                                : RootFolder{AccountDirectory, AccClientDirectory, "AccClient",
                                             "\\AccServer および \\AccClient"};
    if (folder.isEmpty() || (fromField && !EnsureFolder(folder)) || SameFolder(folder, root.setting))
        return false;
    const QString question = root.setting + QStringLiteral(" の中の ｻﾌﾞ･ﾌｫﾙﾀﾞ ") + QString::fromUtf8(root.subfolders) +
                             QStringLiteral(" とその中の ﾌｧｲﾙ をすべて ") + QStringLiteral(" ｻﾌﾞ･ﾌｫﾙﾀﾞ ごと ") + folder +
                             QStringLiteral(" に ｺﾋﾟｰ します.\r\n") + QStringLiteral("よろしいですか?");
    if (!AskYesNo(this, "CopyQuestion", question))
        return false;
    const QString subfolder = QLatin1Char('/') + QLatin1String(root.subfolder);
    const QString from = ResolveSettingPath(root.setting) + subfolder, to = ResolveSettingPath(folder) + subfolder;
    // A copy into its own subtree would never end; refused before anything is made.
    if (InsideFolder(to, from) || !EnsureFolder(to) || !CopyDirectoryFiles(this, from, to))
        return false;
    Inform(this, "CopyDone", QStringLiteral("ｺﾋﾟｰ はすべて完了しました.\r\n") + root.setting +
                     QStringLiteral(" の中の ｻﾌﾞ･ﾌｫﾙﾀﾞ と ﾌｧｲﾙ はすべてそのまま残っています.\r\n") +
                     QStringLiteral("必要なら手作業でそれらを削除してください."));
    root.setting = folder;
    root.clientDirectory = folder + subfolder;
    if (kind == RootKind::Account)
        BindAccountListFile(); // the list's changes go to the copy from now on
    SaveSettingsReported();
    return true;
}

void TBConfigForm::MoveRootFolder(RootKind kind, QString folder, bool fromField)
{
    if (!CopyRootFolder(kind, WithoutTrailingSeparator(folder), fromField))
        Inform(this, "RootFailed", QString::fromUtf8(RootFailedText));
    ui->OlcDirEdit->setText(OlcDirectory);
    ui->AccDirEdit->setText(AccountDirectory);
}

// ---- log level and viewer list ------------------------------------------------------

void TBConfigForm::LogLevelExit()
{
    const QString text = ui->LogLevelEdit->text();
    const int level = text.isEmpty() ? -1 : text.front().unicode() - '0';
    if (level >= ZERO && level <= DELTA) {
        LogLebelNumber = level;
        LogLebel = QLatin1String(LogLevelNames[level]);
    } else {
        LogLebelNumber = ALPHA;
        LogLebel.clear();
    }
    ui->LogLevelEdit->setText(QString::number(LogLebelNumber));
    SaveSettingsReported();
}

void TBConfigForm::ShowViewerList()
{
    if (!ViewerListForm)
        return;
    ViewerListForm->show();
    ViewerListForm->raise();
    ViewerListForm->activateWindow();
}
