// The utilities window at work, one flow per menu: showing and saving a
// product key, deleting keys, restoring a saved file through the registry
// editor, converting a saved file, and installing and removing the HTML
// control.
#include "utilities/UtlActiveX.h"
#include "utilities/UtlKeyFile.h"
#include "utilities/Utl_Form.h"

#include "platform/Registry.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "ui_Utl_Form.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using plat::RootKey;
using namespace utl;
using testsupport::ChooseFile;
using testsupport::ModalAnswers;
using testsupport::PressButton;

const QByteArray Twelve = QByteArray::fromHex("000102030405060708090a0b");
// A key file holds the settings store, passwords included: for its owner only.
constexpr QFile::Permissions OthersMayRead = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;

class UtilityFormTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        qputenv("KALVEX_WINDOWS_DIR", QFile::encodeName(env.file(QStringLiteral("windows"))));
        form = std::make_unique<TUtility_Form>();
        ui = form->ui.get();
        form->show();
        form->StartDirectory = env.file(QStringLiteral("start"));
        QDir().mkpath(form->StartDirectory);
    }

    // The main program's key under HKEY_CURRENT_USER, and one more product
    // key under each root.
    static void WriteProductKeys()
    {
        plat::UpdateRegistry(RootKey::CurrentUser, [](plat::RegKey &root) {
            plat::RegKey &kalvex = root.createKey(QStringLiteral("Software\\ZK\\Kalvex"));
            kalvex.writeString(QStringLiteral("Note \"own\""), QStringLiteral("key's own value"));
            plat::RegKey &dir = kalvex.createKey(QStringLiteral("Directory"));
            dir.writeString(QStringLiteral("MainDirectory"), QStringLiteral("C:\\\\Kalvex"));
            dir.writeString(QStringLiteral("TelegDirectory"), QStringLiteral("/home/u/Kalvex/Telegram"));
            dir.writeDWord(QStringLiteral("TimeOutValue"), 3600000);
            dir.writeString(QString(), QStringLiteral("default"));
            kalvex.createKey(QStringLiteral("Position\\Deeper")).writeBinary(QStringLiteral("AVeryLongValueNameOf25Chr"), Twelve);
            root.createKey(QStringLiteral("Software\\ZK\\Other"));
        });
        plat::UpdateRegistry(RootKey::LocalMachine, [](plat::RegKey &root) {
            root.createKey(QStringLiteral("SOFTWARE\\ZK\\Machine")).writeDWord(QStringLiteral("X"), 1);
        });
    }

    void Choose(QAbstractButton *menu, QAbstractButton *action = nullptr)
    {
        menu->click();
        if (action)
            action->click();
    }

    QStringList ListItems() const
    {
        QStringList items;
        for (int i = 0; i < ui->SubKeyListBox->count(); ++i)
            items << ui->SubKeyListBox->item(i)->text();
        return items;
    }

    // Chooses the listed keys from the keyboard (each made current, then
    // Space) and presses the list's OK while answers runs.
    void PickKeys(const QStringList &names, ModalAnswers &answers)
    {
        QListWidget *list = ui->SubKeyListBox;
        EXPECT_FALSE(ui->Button4->isEnabled());
        for (const QString &name : names) {
            list->setCurrentItem(list->findItems(name, Qt::MatchExactly).constFirst(), QItemSelectionModel::NoUpdate);
            QTest::keyClick(list, Qt::Key_Space);
        }
        EXPECT_TRUE(ui->Button4->isEnabled());
        ui->Button4->click();
        EXPECT_TRUE(answers.done());
    }

    // Shows HKEY_CURRENT_USER's main key and saves it as file.
    void ShowAndSave(const QString &file)
    {
        Choose(ui->MainRegistryItem, ui->RegistryShowItem);
        ui->ExeButton->click();
        ModalAnswers answers;
        answers.then(QStringLiteral("SaveQuestion"), PressButton(QMessageBox::Yes))
            .then(QStringLiteral("SaveDialog1"), ChooseFile(file));
        PickKeys({QStringLiteral("HKEY_CURRENT_USER\\Software\\ZK\\Kalvex")}, answers);
    }

    QString Memo() const { return ui->ResponseMemo->toPlainText(); }

    std::unique_ptr<TUtility_Form> form;
    Ui::TUtility_Form *ui = nullptr;
};

TEST_F(UtilityFormTest, ShowsListsAndSavesAKeyWithEveryValue)
{
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Kalvex Utilities"));
    EXPECT_TRUE(Memo().contains(QStringLiteral("System  Directory : ") + env.file(QStringLiteral("windows/system32"))));
    EXPECT_EQ(ui->ResponseMemo->textCursor().position(), 0); // the welcome text is read from its top
    EXPECT_FALSE(ui->ExeButton->isEnabled());
    WriteProductKeys();
    // A line of the store that cannot be read is missing from what is shown and saved: said in the memo.
    QFile store(plat::RegistryFilePath(RootKey::CurrentUser));
    ASSERT_TRUE(store.open(QIODevice::Append));
    store.write("[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex\\Position]\r\n\"Unread\"=bogus:1\r\n");
    store.close();
    const QString file = env.file(QStringLiteral("keys.reg"));
    ShowAndSave(file);

    EXPECT_EQ(ListItems(), (QStringList{QStringLiteral("HKEY_CURRENT_USER\\Software\\ZK\\Kalvex"),
                                        QStringLiteral("HKEY_CURRENT_USER\\Software\\ZK\\Other"),
                                        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK\\Machine")}));
    const QString memo = Memo();
    EXPECT_TRUE(memo.contains(QStringLiteral("\n[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex\\Directory]\n")));
    EXPECT_TRUE(memo.contains(QStringLiteral("TimeOutValue        : dword:0036ee80\n")));
    EXPECT_TRUE(memo.contains(QStringLiteral("AVeryLongValueNameOf: hex:00,01,02,03,04,05,06,07,08,09,0a,0b\n")));
    EXPECT_TRUE(memo.contains(QStringLiteral("Save FileName : ") + file + QStringLiteral("\nKalvex 関連キーをセーブしました")));
    EXPECT_EQ(memo.count(QStringLiteral("*** Registry : ") + plat::RegistryFilePath(RootKey::CurrentUser) +
                         QStringLiteral(" : line ")),
              2) // listed, then shown
        << memo.toStdString();
    EXPECT_FALSE(QFileInfo(file).permissions() & OthersMayRead);

    const QByteArray saved = env.readFile(QStringLiteral("keys.reg"));
    EXPECT_TRUE(saved.startsWith("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK]\r\n\r\n"
                                 "[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex]\r\n\"Note \\\"own\\\"\"=\"key's own value\"\r\n\r\n"
                                 "[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex\\Directory]\r\n"
                                 "\"MainDirectory\"=\"C:\\\\\\\\Kalvex\"\r\n"))
        << saved.constData();
    EXPECT_TRUE(saved.contains("\r\n\"TimeOutValue\"=dword:0036ee80\r\n@=\"default\"\r\n\r\n"));
    EXPECT_TRUE(saved.contains("[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex\\Position\\Deeper]\r\n"
                               "\"AVeryLongValueNameOf25Chr\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b\r\n"));
    EXPECT_FALSE(saved.contains("Other"));
}

TEST_F(UtilityFormTest, SaveDeleteRestoreAndSaveAgainGiveTheSameFile)
{
    WriteProductKeys();
    ShowAndSave(env.file(QStringLiteral("first.reg")));

    // The delete list holds each root before its keys; the root takes its keys with it.
    Choose(ui->MainRegistryItem, ui->RegistryDeleteItem);
    ui->ExeButton->click();
    EXPECT_EQ(ListItems().first(), QStringLiteral("HKEY_CURRENT_USER\\Software\\ZK"));
    EXPECT_EQ(ListItems().at(3), QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK"));
    ModalAnswers deleting;
    deleting.then(QStringLiteral("DeleteQuestion"), PressButton(QMessageBox::Yes));
    PickKeys({QStringLiteral("HKEY_CURRENT_USER\\Software\\ZK"), QStringLiteral("HKEY_CURRENT_USER\\Software\\ZK\\Kalvex")},
             deleting);
    EXPECT_TRUE(Memo().contains(QStringLiteral("HKEY_CURRENT_USER\\Software\\ZKをレジストリから削除しました\n"
                                               "HKEY_CURRENT_USER\\Software\\ZK\\Kalvexはすでにレジトスリに存在せしません")));
    EXPECT_FALSE(plat::LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Software\\ZK")));
    EXPECT_TRUE(plat::LoadRegistry(RootKey::LocalMachine).root.key(QStringLiteral("SOFTWARE\\ZK\\Machine")));

    Choose(ui->MainRegistryItem, ui->RegistryRestoreItem);
    ModalAnswers restoring;
    restoring.then(QStringLiteral("RestoreQuestion"), PressButton(QMessageBox::Yes))
        .then(QStringLiteral("OpenDialog1"), ChooseFile(env.file(QStringLiteral("first.reg"))))
        .then(QStringLiteral("RestoreKeyQuestion"), [](QWidget *box) {
            EXPECT_TRUE(static_cast<QMessageBox *>(box)->text().startsWith(
                QStringLiteral("ｻﾌﾞｷｰ [HKEY_CURRENT_USER\\Software\\ZK\\Kalvex] をﾘｽﾄｱします.")));
            PressButton(QMessageBox::Yes)(box);
        });
    ui->ExeButton->click();
    EXPECT_TRUE(restoring.done());
    EXPECT_TRUE(Memo().contains(QStringLiteral("リストアに \"RegEdit.exe\" を実行しました")));
    // The editor imports on its own.
    ASSERT_TRUE(testsupport::WaitUntil(
        [] { return plat::LoadRegistry(RootKey::CurrentUser).root.key(QStringLiteral("Software\\ZK")) != nullptr; }));

    ShowAndSave(env.file(QStringLiteral("second.reg")));
    EXPECT_EQ(env.readFile(QStringLiteral("second.reg")), env.readFile(QStringLiteral("first.reg")));
}

TEST_F(UtilityFormTest, ConvertsASavedFileForAnotherRootAndMainFolder)
{
    const QByteArray input = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK]\r\n\r\n"
                             "[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex]\r\n\r\n"
                             "[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex\\Directory]\r\n"
                             "\"MainDirectory\"=\"C:\\\\Old\"\r\n\"TelegDirectory\"=\"/old/Telegram\"\r\n"
                             "\"StayDirectory\"=\"x\"\r\n\"Path\"=\"HKEY_CURRENT_USER\\\\Software\\\\ZK\"\r\n"
                             "\"LogFileName\"=\"\x83\x65\x83\x58\x83\x67.log\"\r\n\r\n";
    env.writeFile(QStringLiteral("keys.reg"), input);
    env.writeFile(QStringLiteral("bad.reg"), "REGEDIT5\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK]\r\n");

    ui->MainConvertItem->click();
    EXPECT_EQ(ui->FileLabel->text(), QStringLiteral("変換する元のレジストリ保存ファイル名 :"));
    ui->FileEdit->setText(env.file(QStringLiteral("bad.reg")));
    ui->Button1->click();
    EXPECT_EQ(ui->FileEdit->text(), QStringLiteral("レジストリ保存ファイルとして不適切"));

    ui->FileEdit->setText(env.file(QStringLiteral("keys.reg")));
    ui->Button1->click();
    ASSERT_TRUE(ui->ConvertGroupBox->isVisible());
    EXPECT_TRUE(ui->CheckBox2->isEnabled());
    EXPECT_FALSE(ui->CheckBox3->isEnabled());
    ui->CheckBox1->setChecked(true);
    ui->CheckBox2->setChecked(true);
    ui->ExeButton->click();
    ASSERT_TRUE(ui->ConvertPanel->isVisible());
    EXPECT_EQ(ui->FileLabel->text(), QStringLiteral("新しい Kalvex Main Directory :"));
    ui->FileEdit->setText(QStringLiteral("/new/café/"));
    ui->Button1->click();
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("keys_New.reg"))));
    EXPECT_TRUE(Memo().contains(QStringLiteral("ファイル変換ができませんでした : /new/café/ : Shift-JIS")));

    ui->MainConvertItem->click();
    ui->FileEdit->setText(env.file(QStringLiteral("keys.reg")));
    ui->Button1->click();
    ui->CheckBox1->setChecked(true);
    ui->CheckBox2->setChecked(true);
    ui->ExeButton->click();
    ui->FileEdit->setText(QStringLiteral("/new/main/"));
    ui->Button1->click();

    EXPECT_EQ(env.readFile(QStringLiteral("keys_New.reg")),
              QByteArray("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK]\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK\\Kalvex]\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK\\Kalvex\\Directory]\r\n"
                         "\"MainDirectory\"=\"/new/main\"\r\n\"TelegDirectory\"=\"/new/main/Telegram\"\r\n"
                         "\"StayDirectory\"=\"/new/main/StayTel\"\r\n\"Path\"=\"HKEY_CURRENT_USER\\\\Software\\\\ZK\"\r\n"
                         "\"LogFileName\"=\"\x83\x65\x83\x58\x83\x67.log\"\r\n\r\n"));
    EXPECT_TRUE(Memo().contains(QStringLiteral("ファイル変換とセーブが完了しました\n----------")));
    EXPECT_FALSE(QFileInfo(env.file(QStringLiteral("keys_New.reg"))).permissions() & OthersMayRead);
    EXPECT_FALSE(ui->ConvertGroupBox->isVisible());

    // An input gone before the convert leaves no output and says so.
    ui->MainConvertItem->click();
    ui->FileEdit->setText(env.file(QStringLiteral("keys.reg")));
    ui->Button1->click();
    QFile::remove(env.file(QStringLiteral("keys_New.reg")));
    QFile::remove(env.file(QStringLiteral("keys.reg")));
    ui->ExeButton->click();
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("keys_New.reg"))));
    EXPECT_TRUE(Memo().contains(QStringLiteral("ファイル変換ができませんでした")));
}

TEST_F(UtilityFormTest, InstallsAndRemovesTheHtmlControl)
{
    const QString start = form->StartDirectory, system = form->SystemDirectory;
    const auto registered = [] {
        const plat::RegistryRead read = plat::LoadRegistry(RootKey::LocalMachine);
        const plat::RegKey *key = read.root.key(HtmlControlInstaller::RegistrationKey);
        return key ? key->subKeyNames() : QStringList();
    };
    const QStringList files = HtmlControlInstaller::ControlFiles;
    for (const QString &file : files.mid(0, 4))
        env.writeFile(QStringLiteral("start/") + file, file.toLatin1());

    ModalAnswers missing;
    missing.then(QStringLiteral("MissingFilesBox"), PressButton(QMessageBox::Ok));
    ui->MainActiveXItem->click();
    EXPECT_TRUE(missing.done());
    EXPECT_TRUE(Memo().contains(QStringLiteral("NMW3VWN.dll : ファイルが起動ディレクトリにありません\n----------")));
    EXPECT_FALSE(ui->ActiveXGroup->isVisible());

    env.writeFile(QStringLiteral("start/NMW3VWN.dll"), "x");
    Choose(ui->MainActiveXItem, ui->ActiveXInstallItem);
    ui->ExeButton->click();
    EXPECT_TRUE(Memo().contains(QStringLiteral("NMW3VWN.dll : ファイルをコピーしました\n"
                                               "NMOCOD.dll : DllRegisterServer に成功しました\n"
                                               "HTML.ocx : DllRegisterServer に成功しました\n----------")));
    EXPECT_EQ(registered(), (QStringList{QStringLiteral("HTML.ocx"), QStringLiteral("NMOCOD.dll")}));
    Choose(ui->MainActiveXItem, ui->ActiveXInstallItem);
    ui->ExeButton->click();
    EXPECT_EQ(Memo().count(QStringLiteral("ファイルがすでに存在します")), 5);

    // A newer control in the system folder belongs to someone else: nothing is removed.
    QFile newer(system + QStringLiteral("/HTML.ocx"));
    ASSERT_TRUE(newer.open(QIODevice::ReadWrite));
    newer.setFileTime(QDateTime::currentDateTime().addDays(1), QFileDevice::FileModificationTime);
    newer.close();
    ModalAnswers uninstall;
    uninstall.then(QStringLiteral("UninstallQuestion"), PressButton(QMessageBox::Yes));
    Choose(ui->MainActiveXItem, ui->ActiveXUninstallItem);
    ui->ExeButton->click();
    EXPECT_TRUE(Memo().contains(QStringLiteral("HTML.ocx : インストールしたファイルより新しいので削除しません\n"
                                               "レジストリからの登録抹消を打ち切ります")));
    EXPECT_EQ(QDir(system).entryList(QDir::Files).size(), 5);
    EXPECT_EQ(registered().size(), 2);

    QFile::remove(system + QStringLiteral("/HTML.ocx"));
    QFile::copy(start + QStringLiteral("/HTML.ocx"), system + QStringLiteral("/HTML.ocx"));
    QFile(system + QStringLiteral("/HTML.ocx")).setPermissions(QFile::ReadOwner);
    newer.setFileName(system + QStringLiteral("/HTML.ocx"));
    ASSERT_TRUE(newer.open(QIODevice::ReadOnly));
    newer.setFileTime(QFileInfo(start + QStringLiteral("/HTML.ocx")).lastModified(), QFileDevice::FileModificationTime);
    newer.close();
    // A file already gone from the system folder does not keep the others.
    QFile::remove(system + QStringLiteral("/NMW3VWN.dll"));
    uninstall.then(QStringLiteral("UninstallQuestion"), PressButton(QMessageBox::Yes));
    Choose(ui->MainActiveXItem, ui->ActiveXUninstallItem);
    ui->ExeButton->click();
    EXPECT_TRUE(Memo().contains(QStringLiteral("NMOCOD.dll : DllUnregisterServer に成功しました\n"
                                               "HTML.ocx : DllUnregisterServer に成功しました\n"
                                               "HTML.ocx : ファイルを削除できません\n"
                                               "NMOCOD.dll : ファイルを削除しました")));
    EXPECT_TRUE(Memo().contains(QStringLiteral("NMW3VWN.dll : システムディレクトリに見当たりません")));
    EXPECT_EQ(QDir(system).entryList(QDir::Files), QStringList{QStringLiteral("HTML.ocx")});
    EXPECT_TRUE(registered().isEmpty());
}

// Files offered for converting: only a product key file of either root is
// taken, by its first and third lines exactly.
TEST(KeyFileTest, TakesOnlyProductKeyFiles)
{
    const testsupport::TempFolder folder;
    const struct {
        QByteArray text;
        std::optional<RootKey> root;
    } cases[] = {
        {"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK]\r\n", RootKey::CurrentUser},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK\\Kalvex]", RootKey::LocalMachine},
        {"", std::nullopt},
        {"REGEDIT4\r\n", std::nullopt},
        {"regedit4\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK]\r\n", std::nullopt},
        {"REGEDIT4 \r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK]\r\n", std::nullopt},
        {"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\ZK\\Kalvex]\r\n", std::nullopt},
        {"REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\ZK]\r\n", std::nullopt},
        {QByteArray("\xff\xfe\0\x81\r\n\x82", 6), std::nullopt},
    };
    for (const auto &c : cases) {
        folder.writeFile(QStringLiteral("in.reg"), c.text);
        const std::optional<QStringList> lines = ReadFirstLines(folder.file(QStringLiteral("in.reg")), 3);
        ASSERT_TRUE(lines);
        EXPECT_EQ(KeyFileRoot(*lines), c.root) << c.text.constData();
    }
    EXPECT_FALSE(ReadFirstLines(folder.path(), 3)); // a folder is no file
    // A file without line breaks is not read whole.
    folder.writeFile(QStringLiteral("in.reg"), QByteArray(1 << 20, 'R'));
    const std::optional<QStringList> endless = ReadFirstLines(folder.file(QStringLiteral("in.reg")), 5);
    ASSERT_TRUE(endless);
    EXPECT_EQ(*endless, QStringList{QString(4096, QLatin1Char('R'))});
}

TEST(KeyFileTest, ConvertsOnlyFolderSettingsAndKeyLines)
{
    const ConvertOptions both{.newMainFolder = QStringLiteral("/a\"b/"), .toLocalMachine = true};
    const struct {
        QString line, converted;
    } cases[] = {
        {R"("LogDirectory"="C:\\Kalvex")", R"("LogDirectory"="/a\"b")"},
        {R"("TempDirectory"="")", R"("TempDirectory"="/a\"b/Temp")"},
        {R"("TelegFileName"="Teleg000")", R"("TelegFileName"="Teleg000")"},
        {R"("Old=TextDirectory"=dword:00000001)", R"("Old=TextDirectory"="/a\"b")"},
        {R"("Path"="HKEY_CURRENT_USER\\Software\\ZK")", R"("Path"="HKEY_CURRENT_USER\\Software\\ZK")"},
        {R"([HKEY_CURRENT_USER\Software\ZK\Kalvex])", R"([HKEY_LOCAL_MACHINE\SOFTWARE\ZK\Kalvex])"},
        {R"([HKEY_LOCAL_MACHINE\SOFTWARE\ZK])", R"([HKEY_LOCAL_MACHINE\SOFTWARE\ZK])"},
        {QString(), QString()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ConvertLine(c.line, both), c.converted) << c.line.toStdString();
    EXPECT_EQ(ConvertedFileName(QStringLiteral("/d/keys.v1.reg")), QStringLiteral("/d/keys.v1_New.reg"));
    EXPECT_EQ(ConvertedFileName(QStringLiteral("/d/keys")), QStringLiteral("/d/keys_New"));
}

} // namespace
