// The configuration window at work: fields saved to the registry at once,
// password changes, moving the TEL log folder, choosing TEL log files, moving
// the root folders; and the entries that it refuses.
#include "core/BCommon.h"
#include "core/BConfig.h"
#include "core/BFolder.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BViewlst.h"
#include "core/MessageRecord.h"
#include "platform/RecordFile.h"
#include "platform/Registry.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "tel/AccountRecord.h"
#include "tel/BTelLog.h"
#include "ui_BConfig.h"
#include "ui_BFolder.h"
#include "ui_BPasswrd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QScrollBar>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <functional>

namespace {

using testsupport::EnterPassword;
using testsupport::ModalAnswers;
using testsupport::PressButton;

class ConfigWindowTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        main = testsupport::StartMainWindow(env);
        BConfigForm = form = new TBConfigForm();
        ui = form->ui.get();
        form->show();
    }
    void TearDown() override
    {
        BConfigForm = nullptr;
        delete form;
        delete main;
    }

    static void Enter(QLineEdit *edit, const QString &text)
    {
        edit->setText(text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    void Reshow()
    {
        form->close();
        form->show();
    }
    // A value as the registry holds it now.
    static QString Stored(const char *section, const char *name)
    {
        const plat::RegKey root = plat::LoadRegistry(RegistryRootKey).root;
        const plat::RegKey *key = root.key(RegistryKeyPath + QLatin1Char('\\') + QLatin1String(section));
        return key ? key->readString(QLatin1String(name)).value_or(QStringLiteral("<none>")) : QStringLiteral("<none>");
    }
    QString Folder(const QString &name) const
    {
        QDir().mkpath(env.file(name));
        return env.file(name);
    }
    static bool StoreTextTel(const QByteArray &body)
    {
        HostRecord peer;
        peer.IpAddress = QStringLiteral("192.168.0.5");
        MessageRecord record;
        record.Title = QLatin1String(TelTitle::RecvText);
        record.Bytes = int(body.size());
        return StoreTel(peer, record, body);
    }

    TBLookupForm *main = nullptr;
    TBConfigForm *form = nullptr;
    Ui::TBConfigForm *ui = nullptr;
};

TEST_F(ConfigWindowTest, EveryFieldIsSavedAtOnce)
{
    // Every field shows without scrolling.
    QScrollBar *scroll = ui->ScrollBox->verticalScrollBar();
    EXPECT_EQ(scroll->maximum(), 0);
    env.writeFile(QStringLiteral("bell.WAV"), "RIFF");
    env.writeFile(QStringLiteral("edit"), "#!");

    Enter(ui->ArrivalChimeEdit, env.file(QStringLiteral("bell.WAV")));
    EXPECT_EQ(ArrivalChime, env.file(QStringLiteral("bell.WAV")));
    EXPECT_EQ(Stored("Directory", "ArrivalChime"), ArrivalChime);
    Enter(ui->ArrivalChimeEdit, QString());
    EXPECT_EQ(Stored("Directory", "ArrivalChime"), QString());

    // Chosen in the open dialog, the chime must be a wave file and the editor a program.
    QFile::setPermissions(env.file(QStringLiteral("edit")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ModalAnswers chosen;
    chosen.then(QStringLiteral("OpenDialog"), testsupport::ChooseFile(env.file(QStringLiteral("bell.WAV"))))
        .then(QStringLiteral("OpenDialog"), testsupport::ChooseFile(env.file(QStringLiteral("edit"))));
    QTest::mouseDClick(ui->ArrivalChimeLabel, Qt::LeftButton);
    QTest::mouseDClick(ui->EditorEdit, Qt::LeftButton);
    EXPECT_TRUE(chosen.done());
    EXPECT_EQ(Stored("Directory", "ArrivalChime"), env.file(QStringLiteral("bell.WAV")));
    EXPECT_EQ(Stored("Directory", "CustomEditor"), env.file(QStringLiteral("edit")));

    // A TEL password typed in lower case is kept upper-cased, in its transformed form.
    ui->TelPWEdit->setFocus();
    QTest::keyClicks(ui->TelPWEdit, QStringLiteral("abc"));
    QTest::keyClick(ui->TelPWEdit, Qt::Key_Return);
    EXPECT_EQ(TELPW, ConvertPassword("ABC"));
    TELPW = QByteArray();
    ReadSettings();
    EXPECT_EQ(TELPW, ConvertPassword("ABC"));
    Reshow();
    EXPECT_EQ(ui->TelPWEdit->text(), QStringLiteral("ABC"));
    EXPECT_TRUE(ui->TelPWEdit->isReadOnly());
    EXPECT_FALSE(ui->OlcPWEdit->isEnabled());

    // The log level shows in maintenance mode only.
    EXPECT_TRUE(ui->LogLevelEdit->isHidden());
    ProgramVersion = QLatin1String(MaintenanceVersion);
    Reshow();
    ASSERT_FALSE(ui->LogLevelEdit->isHidden());
    EXPECT_EQ(scroll->maximum(), 0);
    Enter(ui->LogLevelEdit, QStringLiteral("3x"));
    EXPECT_EQ(LogLebelNumber, GAMMA);
    EXPECT_EQ(Stored("Directory", "LogLebel"), QStringLiteral("GAMMA"));
    Enter(ui->LogLevelEdit, QStringLiteral("9"));
    EXPECT_EQ(LogLebelNumber, ALPHA);
    EXPECT_EQ(Stored("Directory", "LogLebel"), QString());

    // Never taller than at its showing, nor lower than the form's 402 pixels;
    // the viewer field opens the viewer list.
    const int shown = form->height();
    EXPECT_GE(shown, 402);
    form->resize(form->width(), shown + 100);
    EXPECT_EQ(form->height(), shown);
    QTest::mouseClick(ui->ViewerEdit, Qt::LeftButton);
    ASSERT_TRUE(form->ViewerListForm);
    EXPECT_TRUE(form->ViewerListForm->isVisible());
}

TEST_F(ConfigWindowTest, PasswordsChangeThroughTheirDialogs)
{
    ModalAnswers first;
    first.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("secret1")));
    QTest::mouseDClick(ui->SelfPWLabel, Qt::LeftButton);
    EXPECT_TRUE(first.done());
    EXPECT_EQ(MySelfPW, ConvertPassword("SECRET1"));
    EXPECT_EQ(ui->SelfPWEdit->text(), QStringLiteral("SECRET1"));

    // The old password matches in either case; a wrong one stops the change.
    ModalAnswers change;
    change.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("Secret1")))
        .then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("new")))
        .then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("wrong")));
    QTest::mouseDClick(ui->SelfPWEdit, Qt::LeftButton);
    EXPECT_EQ(MySelfPW, ConvertPassword("NEW"));
    QTest::mouseDClick(ui->SelfPWEdit, Qt::LeftButton);
    EXPECT_TRUE(change.done());
    EXPECT_EQ(MySelfPW, ConvertPassword("NEW"));
    MySelfPW = QByteArray();
    ReadSettings();
    EXPECT_EQ(MySelfPW, ConvertPassword("NEW"));

    // A form stored in lower case before is still opened by itself.
    MySelfPW = ConvertPassword("legacy");
    ModalAnswers legacy;
    legacy.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("legacy")))
        .then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("new")));
    QTest::mouseDClick(ui->SelfPWEdit, Qt::LeftButton);
    EXPECT_TRUE(legacy.done());
    EXPECT_EQ(MySelfPW, ConvertPassword("NEW"));

    // Ctrl held in the window fills the old-password dialog, once.
    QString prefilled = QStringLiteral("<not asked>");
    ModalAnswers prefill;
    prefill.then(QStringLiteral("TBPasswordDlg"), [&](QWidget *dialog) {
        auto *password = static_cast<TBPasswordDlg *>(dialog);
        prefilled = password->ui->Password->text();
        password->ui->CancelBtn->click();
    });
    testsupport::TapModifierAlone(ui->SelfPWEdit, Qt::Key_Control);
    QTest::mouseDClick(ui->SelfPWEdit, Qt::LeftButton);
    EXPECT_EQ(prefilled, QStringLiteral("NEW"));

    // Blanks at the ends are trimmed in the field as in the dialogs, so a
    // password typed with them can be changed afterwards.
    Enter(ui->TelPWEdit, QStringLiteral(" tel "));
    EXPECT_EQ(TELPW, ConvertPassword("TEL"));
    ModalAnswers blanks;
    blanks.then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral(" tel ")))
        .then(QStringLiteral("TBPasswordDlg"), EnterPassword(QStringLiteral("next")));
    QTest::mouseDClick(ui->TelPWEdit, Qt::LeftButton);
    EXPECT_TRUE(blanks.done());
    EXPECT_EQ(TELPW, ConvertPassword("NEXT"));
}

TEST_F(ConfigWindowTest, TelLogFolderMovesWithItsPair)
{
    ASSERT_TRUE(OpenTelLogFiles(nullptr));
    ASSERT_TRUE(StoreTextTel("first TEL"));
    const QString old = TelegDirectory;
    const QByteArray oldData = env.readFile(QStringLiteral("Telegram/Teleg000.dat"));
    const QByteArray oldText = env.readFile(QStringLiteral("Telegram/Teleg000.txt"));

    // The same folder by another path changes nothing.
    QFile::link(old, env.file(QStringLiteral("alias")));
    for (const QString &same : {old + QStringLiteral("/../Telegram/"), env.file(QStringLiteral("alias"))}) {
        Enter(ui->TelegDirEdit, same);
        EXPECT_EQ(TelegDirectory, old);
        EXPECT_EQ(ui->TelegDirEdit->text(), old);
    }

    // A pair already there is kept unless the user agrees.
    const QString moved = Folder(QStringLiteral("Moved"));
    env.writeFile(QStringLiteral("Moved/Teleg000.dat"), "theirs");
    ModalAnswers keep;
    keep.then(QStringLiteral("OverwriteQuestion"), PressButton(QMessageBox::No));
    Enter(ui->TelegDirEdit, moved);
    EXPECT_TRUE(keep.done());
    EXPECT_EQ(TelegDirectory, old);

    // A failed copy keeps the old folder and leaves no part of a copy.
    QDir().mkpath(moved + QStringLiteral("/Teleg000.txt.$$$"));
    ModalAnswers failing;
    failing.then(QStringLiteral("OverwriteQuestion"), PressButton(QMessageBox::Yes))
        .then(QStringLiteral("MoveFailed"), PressButton(QMessageBox::Ok));
    Enter(ui->TelegDirEdit, moved);
    EXPECT_TRUE(failing.done());
    EXPECT_EQ(TelegDirectory, old);
    EXPECT_EQ(env.readFile(QStringLiteral("Moved/Teleg000.dat")), QByteArray("theirs"));
    EXPECT_FALSE(QFileInfo::exists(moved + QStringLiteral("/Teleg000.dat.$$$")));

    QDir().rmdir(moved + QStringLiteral("/Teleg000.txt.$$$"));
    ModalAnswers agree;
    agree.then(QStringLiteral("OverwriteQuestion"), PressButton(QMessageBox::Yes));
    Enter(ui->TelegDirEdit, moved + QLatin1Char('/'));
    EXPECT_TRUE(agree.done());
    EXPECT_EQ(TelegDirectory, moved);
    EXPECT_EQ(Stored("Directory", "TelegDirectory"), moved);
    EXPECT_EQ(env.readFile(QStringLiteral("Moved/Teleg000.dat")), oldData);
    EXPECT_EQ(env.readFile(QStringLiteral("Moved/Teleg000.txt")), oldText);
    EXPECT_EQ(QFile(moved + QStringLiteral("/Teleg000.dat")).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);

    // The next TEL lands in the new pair; the old one stays as it was.
    ASSERT_TRUE(StoreTextTel("second TEL"));
    EXPECT_EQ(testsupport::StoredTels().size(), 2u);
    EXPECT_EQ(env.readFile(QStringLiteral("Moved/Teleg000.txt")), oldText + "second TEL");
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/Teleg000.dat")), oldData);
}

TEST_F(ConfigWindowTest, TelLogFilesAreChosenByName)
{
    Enter(ui->TelegFileEdit, QStringLiteral("Teleg001.dat"));
    EXPECT_EQ(TelegFileName, QStringLiteral("Teleg001"));
    EXPECT_EQ(Stored("Directory", "TelegFileName"), QStringLiteral("Teleg001"));
    plat::RecordFile data(TelDataFile(), MessageRecord::Size);
    QByteArray image;
    ASSERT_TRUE(data.open() && data.read(0, image));
    const MessageRecord header = MessageRecord::decode(image);
    EXPECT_EQ(header.FileName, QStringLiteral("Teleg001"));
    EXPECT_EQ(header.Handle, HeaderVersionText());
    EXPECT_EQ(header.Title.size(), QStringLiteral("yyyy/MM/dd hh:mm:ss").size());
    EXPECT_EQ(QFile(TelTextFile()).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);

    // A pair whose header names another pair, or half a pair, is refused
    // without a file being made.
    QFile::copy(TelDataFile(), TelegDirectory + QStringLiteral("/Other.dat"));
    env.writeFile(QStringLiteral("Telegram/Other.txt"), "");
    env.writeFile(QStringLiteral("Telegram/Lone.dat"), "short");
    for (const char *name : {"Other", "Lone"}) {
        Enter(ui->TelegFileEdit, QLatin1String(name));
        EXPECT_EQ(TelegFileName, QStringLiteral("Teleg001")) << name;
        EXPECT_EQ(ui->TelegFileEdit->text(), QStringLiteral("Teleg001"));
    }
    EXPECT_FALSE(QFileInfo::exists(TelegDirectory + QStringLiteral("/Lone.txt")));
}

TEST_F(ConfigWindowTest, RootFoldersAreCopiedAfterTheQuestion)
{
    env.writeFile(QStringLiteral("OlcClient/board/msg.dat"), "message");
    const QString newOlc = Folder(QStringLiteral("NewOlc"));
    ModalAnswers copy;
    copy.then(QStringLiteral("CopyQuestion"), PressButton(QMessageBox::Yes))
        .then(QStringLiteral("CopyDone"), PressButton(QMessageBox::Ok));
    Enter(ui->OlcDirEdit, newOlc);
    EXPECT_TRUE(copy.done());
    EXPECT_EQ(OlcDirectory, newOlc);
    EXPECT_EQ(OlcClientDirectory, newOlc + QStringLiteral("/OlcClient"));
    EXPECT_EQ(Stored("OLC", "OlcDirectory"), newOlc);
    EXPECT_EQ(env.readFile(QStringLiteral("NewOlc/OlcClient/board/msg.dat")), QByteArray("message"));
    EXPECT_TRUE(QFileInfo::exists(env.file(QStringLiteral("OlcClient/board/msg.dat"))));

    // The same folder typed again changes nothing and says nothing; chosen
    // in the folder dialog it is refused with the message.
    Enter(ui->OlcDirEdit, newOlc);
    ModalAnswers same;
    same.then(QStringLiteral("TBFolderDlg"), [&](QWidget *dialog) {
            auto *folders = static_cast<TBFolderDlg *>(dialog);
            // The list shows the folder it starts in.
            QTreeView *list = folders->ui->DirBox;
            EXPECT_TRUE(testsupport::WaitUntil([list] {
                return list->viewport()->rect().intersects(list->visualRect(list->currentIndex()));
            }));
            folders->SetFolder(newOlc);
            folders->accept();
        })
        .then(QStringLiteral("RootFailed"), PressButton(QMessageBox::Ok));
    QTest::mouseDClick(ui->OlcDirLabel, Qt::LeftButton);
    EXPECT_TRUE(same.done());
    EXPECT_EQ(OlcDirectory, newOlc);

    // An account root inside its own client folder is refused before anything is made.
    const QString own = Folder(QStringLiteral("AccClient/inner"));
    ModalAnswers inside;
    inside.then(QStringLiteral("CopyQuestion"), PressButton(QMessageBox::Yes))
        .then(QStringLiteral("RootFailed"), PressButton(QMessageBox::Ok));
    Enter(ui->AccDirEdit, own);
    EXPECT_TRUE(inside.done());
    EXPECT_EQ(AccountDirectory, env.path());
    EXPECT_FALSE(QFileInfo::exists(own + QStringLiteral("/AccClient")));

    // An empty client folder is copied as it is.
    QDir(env.file(QStringLiteral("AccClient"))).removeRecursively();
    QDir().mkpath(env.file(QStringLiteral("AccClient")));
    ModalAnswers empty;
    empty.then(QStringLiteral("CopyQuestion"), PressButton(QMessageBox::Yes))
        .then(QStringLiteral("CopyDone"), PressButton(QMessageBox::Ok));
    Enter(ui->AccDirEdit, env.file(QStringLiteral("NewAcc")));
    EXPECT_TRUE(empty.done());
    EXPECT_EQ(AccClientDirectory, env.file(QStringLiteral("NewAcc/AccClient")));
    EXPECT_TRUE(QFileInfo(AccClientDirectory).isDir());
    EXPECT_EQ(AccountListFile, AccClientDirectory + QStringLiteral("/Account.lst"));
}

// Entries that a field refuses: the setting keeps its value and the field shows it.
TEST_F(ConfigWindowTest, RefusedEntriesKeepTheSetting)
{
    QDir().mkpath(env.file(QStringLiteral("folder.wav")));
    env.writeFile(QStringLiteral("bell.mp3"), "ID3");
    struct Case {
        QLineEdit *edit;
        QString text;
        std::function<QString()> setting;
    };
    const auto telPassword = [] { return QString::fromLatin1(TELPW.value().toHex()); };
    const std::vector<Case> cases{
        {ui->TelPWEdit, QStringLiteral("ａｂｃ"), telPassword},
        {ui->TelPWEdit, QStringLiteral("pass\tword"), telPassword},
        {ui->TelPWEdit, QStringLiteral("a\rb"), telPassword},
        {ui->TelPWEdit, QStringLiteral("ab\x01"), telPassword},
        {ui->ArrivalChimeEdit, env.file(QStringLiteral("missing.wav")), [] { return ArrivalChime.value(); }},
        {ui->ArrivalChimeEdit, env.file(QStringLiteral("bell.mp3")), [] { return ArrivalChime.value(); }},
        {ui->ArrivalChimeEdit, env.file(QStringLiteral("folder.wav")), [] { return ArrivalChime.value(); }},
        {ui->EditorEdit, env.file(QStringLiteral("missing")), [] { return CustomEditor.value(); }},
        {ui->TelegFileEdit, QString(), [] { return TelegFileName.value(); }},
        {ui->TelegFileEdit, QStringLiteral("bad\x01name"), [] { return TelegFileName.value(); }},
        {ui->TelegDirEdit, QString(), [] { return TelegDirectory.value(); }},
    };
    for (const Case &c : cases) {
        const QString before = c.setting();
        Enter(c.edit, c.text);
        EXPECT_EQ(c.setting(), before) << c.edit->objectName().toStdString() << " " << c.text.toStdString();
    }
    EXPECT_EQ(ui->TelPWEdit->text(), QString());
}

} // namespace
