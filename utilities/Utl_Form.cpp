#include "utilities/Utl_Form.h"

#include "utilities/UtlActiveX.h"

#include "platform/Help.h"
#include "platform/SystemFolders.h"
#include "ui_Utl_Form.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMessageBox>
#include <QProcess>

#include <stdexcept>

using namespace utl;

namespace {

using Widgets = std::initializer_list<QWidget *>;

const QString Separator = QStringLiteral("----------\r\n");
const QString DeleteCaption = QStringLiteral("削除");

const QString WelcomeText = QStringLiteral(
    "Kalvex Utilities へようこそ.\n"
    "Main Menu を選び, 続くメニューを選んで\n"
    "[実行] を押してください.\n"
    "\n"
    "Kalvex Registry :\n"
    "  Kalvex のレジストリキーを表示してファイルに\n"
    "  保存する, ファイルからリストアする, 削除する.\n"
    "Registry File Convert :\n"
    "  保存したレジストリファイルを新しい\n"
    "  Kalvex Main Directory 用, または別のルートキー\n"
    "  用に変換し, 名前に _New を付けて保存する.\n"
    "HTML ActiveX Control :\n"
    "  HTML ActiveX コントロールをインストール,\n"
    "  アンインストールする. システムの Web ブラウザ\n"
    "  コントロールがない環境でのみ必要です.\n"
    "\n"
    "実行の前に, Kalvex を含むすべての\n"
    "アプリケーションを終了してください.\n");

QButtonGroup *radioGroup(QObject *owner, std::initializer_list<QAbstractButton *> items)
{
    auto *group = new QButtonGroup(owner);
    int id = 0;
    for (QAbstractButton *item : items)
        group->addButton(item, id++);
    return group;
}

} // namespace

TUtility_Form::TUtility_Form(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TUtility_Form>())
{
    ui->setupUi(this);
    // The window starts at the top left corner. Placed before it is first
    // shown, the position is the program's own, which the window manager keeps.
    move(0, 0);
    // The report lines up padded names: a fixed-pitch font keeps them in columns.
    ui->ResponseMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    ui->ResponseMemo->setPlainText(WelcomeText);
    MainMenuItems = radioGroup(this, {ui->MainRegistryItem, ui->MainConvertItem, ui->MainActiveXItem});
    RegistryItems = radioGroup(this, {ui->RegistryShowItem, ui->RegistryRestoreItem, ui->RegistryDeleteItem});
    ActiveXItems = radioGroup(this, {ui->ActiveXInstallItem, ui->ActiveXUninstallItem});
    connect(MainMenuItems, &QButtonGroup::idClicked, this, &TUtility_Form::MainMenuGroupClick);
    connect(RegistryItems, &QButtonGroup::idClicked, this, &TUtility_Form::RegistryGroupClick);
    connect(ActiveXItems, &QButtonGroup::idClicked, this, &TUtility_Form::ActiveXGroupClick);
    connect(ui->ExeButton, &QPushButton::clicked, this, &TUtility_Form::ExeButtonClick);
    connect(ui->ExitButton, &QPushButton::clicked, this, &TUtility_Form::ExitButtonClick);
    connect(ui->Button1, &QPushButton::clicked, this, &TUtility_Form::Button1Click);
    connect(ui->Button2, &QPushButton::clicked, this, &TUtility_Form::Button2Click);
    connect(ui->Button3, &QPushButton::clicked, this, &TUtility_Form::Button3Click);
    connect(ui->Button4, &QPushButton::clicked, this, &TUtility_Form::Button4Click);
    connect(ui->Button5, &QPushButton::clicked, ui->ListBoxPanel, &QWidget::hide);
    // A key chosen by click, arrow keys or Space: whatever selects it.
    connect(ui->SubKeyListBox, &QListWidget::itemSelectionChanged, this, &TUtility_Form::SubKeyListBoxClick);
}

TUtility_Form::~TUtility_Form() = default;

void TUtility_Form::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!Shown) {
        Shown = true;
        FormShow();
    }
}

void TUtility_Form::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int w = width() - 38, h = height();
    for (QWidget *widget : Widgets{ui->RegistryGroup, ui->ActiveXGroup, ui->ConvertGroupBox, ui->ConvertPanel})
        widget->resize(w, widget->height());
    ui->ListBoxPanel->resize(w, h - 306);
    ui->ResponseMemo->resize(w, h - ui->ResponseMemo->y() - 8);
}

void TUtility_Form::FormShow()
{
    ui->ExeButton->setEnabled(false);
    for (QWidget *widget :
         Widgets{ui->RegistryGroup, ui->ActiveXGroup, ui->ConvertGroupBox, ui->ConvertPanel, ui->ListBoxPanel})
        widget->hide();
    for (QButtonGroup *group : {MainMenuItems, RegistryItems, ActiveXItems})
        ClearChoice(group);
    StartDirectory = QDir::currentPath();
    WindowsDirectory = plat::WindowsDirectory();
    SystemDirectory = plat::SystemDirectory();
    AddLine(QStringLiteral("Windows Directory : ") + WindowsDirectory);
    AddLine(QStringLiteral("System  Directory : ") + SystemDirectory);
    AddLine(QStringLiteral("Current Directory : ") + StartDirectory);
    AddLine(Separator);
    // The welcome text is read from its beginning; later reports follow the newest line.
    ui->ResponseMemo->moveCursor(QTextCursor::Start);
}

void TUtility_Form::ShowHelp()
{
    const QString helpFile = QStringLiteral("Kalvex.hlp");
    if (!plat::OpenHelp(helpFile, QLatin1String(metaObject()->className())))
        AddLine(plat::HelpFailureText(helpFile));
}

void TUtility_Form::ClearChoice(QButtonGroup *group)
{
    group->setExclusive(false);
    for (QAbstractButton *item : group->buttons())
        item->setChecked(false);
    group->setExclusive(true);
}

// A memo line may hold line breaks of its own; each becomes a line.
void TUtility_Form::AddLine(const QString &text)
{
    QString lines = text;
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    ui->ResponseMemo->appendPlainText(lines);
    ui->ResponseMemo->moveCursor(QTextCursor::End);
}

// The boxes carry names, so that what answers them can tell them apart.
bool TUtility_Form::Ask(const QString &name, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, windowTitle(), QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(name);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

void TUtility_Form::FileError(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, windowTitle(), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("FileErrorBox"));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// A file chosen in the open or save dialog, starting in the start folder with
// no name proposed; empty when none.
QString TUtility_Form::ChooseFile(const QString &dialogName, bool save)
{
    QFileDialog dialog(this, QString(), StartDirectory);
    dialog.setObjectName(dialogName);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Registry Files (*.reg)"), QStringLiteral("すべてのﾌｧｲﾙ (*)")});
    dialog.setDefaultSuffix(QStringLiteral("reg"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

void TUtility_Form::MainMenuGroupClick(int item)
{
    ui->RegistryGroup->hide();
    ui->ActiveXGroup->hide();
    ui->ConvertPanel->hide();
    ui->ConvertGroupBox->hide();
    MenuChoice = NoMenu;
    switch (item) {
    case RegistryMenu:
        MenuChoice = RegistryMenu;
        ClearChoice(RegistryItems);
        ui->RegistryGroup->show();
        break;
    case ConvertMenu:
        MenuChoice = ConvertMenu;
        ShowConvertPanel(FileMode, QStringLiteral("変換する元のレジストリ保存ファイル名 :"), QString());
        break;
    case ActiveXMenu:
        if (HtmlControlInstaller(StartDirectory, SystemDirectory, [this](const QString &line) { AddLine(line); })
                .CheckAllStartFiles()) {
            MenuChoice = ActiveXMenu;
            ClearChoice(ActiveXItems);
            ui->ActiveXGroup->show();
        } else {
            AddLine(Separator);
            QMessageBox box(QMessageBox::Warning, windowTitle(),
                            QStringLiteral("このﾒﾆｭｰの実行に必要なﾌｧｲﾙが起動ﾃﾞｨﾚｸﾄﾘに存在しません.\n"
                                           "ない場合には Kalvex-Utilities の書庫ﾌｧｲﾙ \"Kalvez_U.zip\" "
                                           "をﾀﾞｳﾝﾛｰﾄﾞして解凍し,起動ﾃﾞｨﾚｸﾄﾘにｺﾋﾟｰしてください"),
                            QMessageBox::Ok, this);
            box.setObjectName(QStringLiteral("MissingFilesBox"));
            box.exec();
        }
        break;
    }
    ui->ListBoxPanel->hide();
    ui->ResponseMemo->show();
    ui->ExeButton->setEnabled(false);
}

void TUtility_Form::RegistryGroupClick(int item)
{
    RegistryAction = item;
    ui->ExeButton->setEnabled(true);
}

void TUtility_Form::ActiveXGroupClick(int item)
{
    ActiveXAction = item;
    ui->ExeButton->setEnabled(true);
}

void TUtility_Form::ExeButtonClick()
{
    switch (MenuChoice) {
    case RegistryMenu:
        if (RegistryAction == 0)
            PrepareKeyList(false);
        else if (RegistryAction == 1)
            RestoreFromFile();
        else if (RegistryAction == 2)
            PrepareKeyList(true);
        AddLine(Separator);
        break;
    case ConvertMenu:
        if (ui->CheckBox1->isChecked()) {
            // The new main folder is asked for first; the panel's OK converts.
            ui->CheckBox1->setChecked(false);
            ui->ConvertGroupBox->hide();
            ShowConvertPanel(FolderMode, QStringLiteral("新しい Kalvex Main Directory :"), StartDirectory);
        } else {
            Options.newMainFolder.reset();
            ConvertAndReset();
        }
        break;
    case ActiveXMenu:
        RunHtmlControlAction();
        AddLine(Separator);
        break;
    }
    ClearChoice(RegistryItems);
    ClearChoice(ActiveXItems);
    RegistryAction = ActiveXAction = -1;
    ui->ExeButton->setEnabled(false);
}

void TUtility_Form::SubKeyListBoxClick()
{
    if (!ui->SubKeyListBox->selectedItems().isEmpty())
        ui->Button4->setEnabled(true);
}

void TUtility_Form::ExitButtonClick()
{
    close();
}

// ---- registry keys ----------------------------------------------------------

void TUtility_Form::PrepareKeyList(bool forDeleting)
{
    ui->SubKeyListBox->clear();
    QStringList unread;
    try {
        KeyList = ListProductKeys(forDeleting, unread);
    } catch (const plat::RegistryError &e) {
        KeyList.clear();
        AddLine(QString::fromStdString(e.what()));
    }
    for (const QString &line : unread)
        AddLine(line);
    for (const KeyListEntry &entry : KeyList)
        ui->SubKeyListBox->addItem(entry.shownName);
    ui->SubKeyListBox->setSelectionMode(forDeleting ? QAbstractItemView::MultiSelection
                                                    : QAbstractItemView::SingleSelection);
    ui->Button4->setText(forDeleting ? DeleteCaption : QStringLiteral("表示/保存"));
    ui->ListBoxLabel->setText(KeyList.empty() ? QStringLiteral("関連キーはありません")
                                              : QStringLiteral("キーを選択してください"));
    ui->Button4->setEnabled(false);
    ui->ListBoxPanel->show();
}

void TUtility_Form::Button4Click()
{
    ui->ListBoxPanel->hide();
    std::vector<KeyListEntry> chosen;
    for (size_t i = 0; i < KeyList.size(); ++i) {
        if (ui->SubKeyListBox->item(int(i))->isSelected())
            chosen.push_back(KeyList[i]);
    }
    if (chosen.empty())
        return;
    if (ui->Button4->text() == DeleteCaption)
        DeleteKeys(chosen);
    else
        ShowKey(chosen.front());
}

void TUtility_Form::ShowKey(const KeyListEntry &entry)
{
    std::optional<plat::RegKey> key;
    QStringList unread;
    try {
        key = ReadEntryKey(entry, unread);
    } catch (const plat::RegistryError &e) {
        AddLine(QString::fromStdString(e.what()));
        return;
    }
    for (const QString &line : unread)
        AddLine(line);
    if (!key) {
        AddLine(entry.shownName + QStringLiteral("はすでにレジトスリに存在せしません"));
        return;
    }
    for (const QString &line : ShowKeyValues(ReadSubKeyValues(*key, entry.shownName)))
        AddLine(line);
    if (Ask(QStringLiteral("SaveQuestion"), QStringLiteral("いま表示したKalvex関連ｷｰをﾌｧｲﾙに保存しますか?")))
        SaveKeyFile(entry, *key);
    AddLine(Separator);
}

void TUtility_Form::SaveKeyFile(const KeyListEntry &entry, const plat::RegKey &key)
{
    const QString fileName = ChooseFile(QStringLiteral("SaveDialog1"), true);
    if (fileName.isEmpty())
        return;
    AddLine(QStringLiteral("Save FileName : ") + fileName);
    try {
        WriteWholeFile(fileName, KeyFileText(entry.root, key));
    } catch (const std::runtime_error &e) {
        FileError(QString::fromStdString(e.what()));
        return;
    }
    AddLine(QStringLiteral("Kalvex 関連キーをセーブしました"));
}

void TUtility_Form::DeleteKeys(const std::vector<KeyListEntry> &entries)
{
    if (!Ask(QStringLiteral("DeleteQuestion"),
             QStringLiteral("選択されたKalvex関連ｷｰをすべて削除します.\r\n"
                            "ﾚｼﾞｽﾄﾘをｾｰﾌﾞしていない場合削除すると復活不可能になります.\r\n"
                            "よろしいですか?")))
        return;
    for (const KeyListEntry &entry : entries)
        AddLine(DeleteProductKey(entry));
    AddLine(Separator);
}

void TUtility_Form::RestoreFromFile()
{
    if (!Ask(QStringLiteral("RestoreQuestion"),
             QStringLiteral("ﾘｽﾄｱを実行すると,すでにKalvex関連ｷｰがある場合上書きされることになります.\r\n"
                            "よろしいですか?")))
        return;
    const QString fileName = ChooseFile(QStringLiteral("OpenDialog1"), false);
    if (fileName.isEmpty())
        return;
    AddLine(QStringLiteral("Restore FileName : ") + fileName);
    const std::optional<QStringList> lines = ReadFirstLines(fileName, 5);
    if (!lines) {
        FileError(fileName + QStringLiteral(": cannot be read"));
        return;
    }
    const QString key = lines->size() >= 5 ? lines->at(4) : QString();
    if (!Ask(QStringLiteral("RestoreKeyQuestion"),
             QStringLiteral("ｻﾌﾞｷｰ ") + key + QStringLiteral(" をﾘｽﾄｱします.\r\nよろしいですか?")))
        return;
    AddLine(RunRegistryEditor(fileName) ? QStringLiteral("リストアに \"RegEdit.exe\" を実行しました")
                                        : QStringLiteral("RegEdit.exe を実行できませんでした"));
}

// Hands the file to the registry editor beside this program, started
// directly (never through a shell) in the file's folder; the editor imports
// it on its own, after its own question. True when the editor started.
bool TUtility_Form::RunRegistryEditor(const QString &fileName)
{
    const QFileInfo file(fileName);
    return QProcess::startDetached(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("regedit")),
                                   {file.fileName()}, file.absolutePath());
}

// ---- converting a key file ----------------------------------------------------

void TUtility_Form::ShowConvertPanel(ConvertPanelMode mode, const QString &label, const QString &text)
{
    PanelMode = mode;
    ui->FileLabel->setText(label);
    ui->FileEdit->setText(text);
    ui->ConvertPanel->show();
}

void TUtility_Form::Button1Click()
{
    if (PanelMode == FileMode) {
        AcceptConvertFile();
        return;
    }
    Options.newMainFolder = ui->FileEdit->text();
    ui->CheckBox1->setChecked(true);
    ConvertAndReset();
}

void TUtility_Form::AcceptConvertFile()
{
    const QString fileName = ui->FileEdit->text();
    const std::optional<QStringList> lines = ReadFirstLines(fileName, 3);
    const std::optional<plat::RootKey> root = lines ? KeyFileRoot(*lines) : std::nullopt;
    if (!root) {
        ui->FileEdit->setText(QStringLiteral("レジストリ保存ファイルとして不適切"));
        return;
    }
    ConvertInput = fileName;
    ui->CheckBox1->setEnabled(true);
    ui->CheckBox2->setEnabled(*root == plat::RootKey::CurrentUser);
    ui->CheckBox3->setEnabled(*root == plat::RootKey::LocalMachine);
    ui->ConvertPanel->hide();
    ui->ConvertGroupBox->show();
    ui->ExeButton->setEnabled(true);
}

void TUtility_Form::Button2Click()
{
    ClearChoice(MainMenuItems);
    MenuChoice = NoMenu;
    ui->ConvertPanel->hide();
    ui->ExeButton->setEnabled(false);
}

void TUtility_Form::Button3Click()
{
    if (PanelMode == FileMode) {
        const QString fileName = ChooseFile(QStringLiteral("OpenDialog1"), false);
        if (!fileName.isEmpty())
            ui->FileEdit->setText(fileName);
        return;
    }
    QFileDialog dialog(this, QString(), StartDirectory);
    dialog.setObjectName(QStringLiteral("FolderDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ui->FileEdit->setText(QDir::toNativeSeparators(dialog.selectedFiles().constFirst()));
}

void TUtility_Form::ConvertAndReset()
{
    Options.toLocalMachine = ui->CheckBox2->isEnabled() && ui->CheckBox2->isChecked();
    Options.toCurrentUser = ui->CheckBox3->isEnabled() && ui->CheckBox3->isChecked();
    const QString output = ConvertedFileName(ConvertInput);
    AddLine(QStringLiteral("Convert FileName : ") + output);
    try {
        ConvertRegFile(ConvertInput, output, Options);
        AddLine(QStringLiteral("ファイル変換とセーブが完了しました"));
    } catch (const std::runtime_error &e) {
        AddLine(QStringLiteral("ファイル変換ができませんでした : ") + QString::fromStdString(e.what()));
    }
    for (QCheckBox *box : {ui->CheckBox1, ui->CheckBox2, ui->CheckBox3})
        box->setChecked(false);
    ClearChoice(MainMenuItems);
    MenuChoice = NoMenu;
    ui->ConvertGroupBox->hide();
    ui->ConvertPanel->hide();
    AddLine(Separator);
}

// ---- the HTML control -----------------------------------------------------------

void TUtility_Form::RunHtmlControlAction()
{
    HtmlControlInstaller installer(StartDirectory, SystemDirectory, [this](const QString &line) { AddLine(line); });
    if (ActiveXAction == 0) {
        installer.InstallHtmlControl();
    } else if (ActiveXAction == 1
               && Ask(QStringLiteral("UninstallQuestion"),
                      QStringLiteral("ｱﾝｲﾝｽﾄｰﾙすると他のｱﾌﾟﾘｹｰｼｮﾝが正しく動作しなくなる可能性があります.\r\n"
                                     "その場合にはこのﾕｰﾃｲﾘﾃｨでｲﾝｽﾄｰﾙし直してみてください.\r\n"
                                     "よろしいですか?"))) {
        installer.UninstallHtmlControl();
    }
}
