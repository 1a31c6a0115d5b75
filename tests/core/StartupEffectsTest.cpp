// What loading the settings brings about at start-up: log banner and version
// lines, folders, the TEL log pair and its unread TELs, auto-reply mode.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/HostRecord.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/MessageRecord.h"
#include "platform/RecordFile.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"
#include "tel/BRecvTel.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>

using testsupport::TempEnvTest;

namespace {

// Hands every widget that is being shown to seen.
struct ShowSpy : QObject {
    std::function<void(QObject *)> seen;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            seen(watched);
        return false;
    }
};

class StartupEffectsTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        LoadIniFile(env.path());
        // Every message box that start-up shows is noted and answered.
        connect = QObject::connect(&boxWatcher, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown << box->text();
                box->accept();
            }
        });
        boxWatcher.start(5);
    }
    void TearDown() override
    {
        delete form;
        QObject::disconnect(connect);
    }
    void start()
    {
        form = new TBLookupForm();
        LoadSettings();
    }
    void storeDirectory(const char *name, const QString &value)
    {
        plat::UpdateRegistry(plat::RootKey::CurrentUser, [&](plat::RegKey &root) {
            root.createKey(QStringLiteral("Software\\ZK\\Kalvex\\Directory")).writeString(QLatin1String(name), value);
        });
    }
    QString memo() const { return form->ui->LookupMemo->toPlainText(); }
    // A TEL log pair with the given titles after its header record.
    void writeTelLog(const QStringList &titles)
    {
        QDir().mkpath(env.file(QStringLiteral("Telegram")));
        plat::RecordFile file(env.file(QStringLiteral("Telegram/Teleg000.dat")), 400);
        ASSERT_TRUE(file.create());
        MessageRecord record;
        file.append(record.encode());
        for (const QString &title : titles) {
            record.Title = title;
            file.append(record.encode());
        }
    }

    TBLookupForm *form = nullptr;
    QTimer boxWatcher;
    QMetaObject::Connection connect;
    QStringList shown;
};

TEST_F(StartupEffectsTest, FirstStartMakesTheFoldersAndAnEmptyTelLog)
{
    start();
    for (const char *folder : {"Telegram", "Temp", "OlcClient", "AccClient"})
        EXPECT_TRUE(QDir(env.file(QLatin1String(folder))).exists()) << folder;
    const QByteArray dat = env.readFile(QStringLiteral("Telegram/Teleg000.dat"));
    ASSERT_EQ(dat.size(), 400);
    const MessageRecord header = MessageRecord::decode(dat);
    EXPECT_EQ(header.Number, 0);
    EXPECT_EQ(header.Title, QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd")));
    EXPECT_EQ(header.Handle, QStringLiteral("Ver.3.03.03031001R"));
    EXPECT_EQ(header.FileName, QStringLiteral("Teleg000"));
    EXPECT_TRUE(QFile::exists(env.file(QStringLiteral("Telegram/Teleg000.txt"))));
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/Teleg000.txt")).size(), 0);
    EXPECT_EQ(WaitingTels, 0);
    EXPECT_EQ(AutoReplyRichFile, env.file(QStringLiteral("Temp/AutoRep_Rich.txt")));
    EXPECT_TRUE(memo().contains(QStringLiteral("Kalvex Installed : Ver.3.03.03031001R")));
    EXPECT_TRUE(memo().contains(QStringLiteral("Server OS   = ")));
    EXPECT_TRUE(shown.isEmpty());
}

TEST_F(StartupEffectsTest, UnreadTelsLockTheReceiveWindowAndSaySo)
{
    writeTelLog({QStringLiteral("Recv  <<Text>>"), QStringLiteral("Send  <<Text>>"), QStringLiteral("Recv  <<File>> ; ")});
    start();
    EXPECT_EQ(WaitingTels, 2);
    EXPECT_EQ(TelegPointer, 1);
    EXPECT_EQ(form->ui->RecvNumLabel->text(), QStringLiteral("[ 2 ]"));
    EXPECT_FALSE(form->ui->RecvNumLabel->isHidden());
    EXPECT_TRUE(form->ui->LockCheckBox->isChecked());
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("未処理の着信TELがありますので自動的にﾛｯｸﾓｰﾄﾞになります.")));
}

TEST_F(StartupEffectsTest, ParameterEKeepsTheLockMessageAway)
{
    writeTelLog({QStringLiteral("Recv  <<Text>>")});
    StartParameter('E') = QStringLiteral("1");
    start();
    EXPECT_TRUE(form->ui->LockCheckBox->isChecked());
    EXPECT_TRUE(shown.isEmpty());
}

TEST_F(StartupEffectsTest, VersionLinesAndTheOldVersionWarning)
{
    storeDirectory("Version", QStringLiteral("Ver.3.02.00000000R"));
    storeDirectory("ReqVersionUp", QStringLiteral("1"));
    start();
    EXPECT_TRUE(memo().contains(QStringLiteral("Version Renewal : Ver.3.02.00000000R --> Ver.3.03.03031001R")));
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("お使いのﾊﾞｰｼﾞｮﾝはかなり古くなりました.")));
    EXPECT_FALSE(ReqVersionUp);
}

TEST_F(StartupEffectsTest, ParameterDKeepsTheWarningAwayAndClearsTheFlag)
{
    storeDirectory("Version", QStringLiteral("Ver.3.03.03031001R"));
    storeDirectory("ReqVersionUp", QStringLiteral("1"));
    StartParameter('D') = QStringLiteral("1");
    start();
    EXPECT_TRUE(shown.isEmpty());
    const plat::RegistryRead read = plat::LoadRegistry(plat::RootKey::CurrentUser);
    EXPECT_EQ(read.root.key(QStringLiteral("Software\\ZK\\Kalvex\\Directory"))->readString(QStringLiteral("ReqVersionUp")),
              QStringLiteral("0"));
}

TEST_F(StartupEffectsTest, ParameterFStartsAutoReplyWithItsFile)
{
    env.writeFile(QStringLiteral("reply.txt"), "away");
    StartParameter('F') = QStringLiteral("1reply.txt");
    start();
    EXPECT_EQ(AutoReplyFile, env.file(QStringLiteral("reply.txt")));
    EXPECT_TRUE(form->ui->AutoreplyCheckBox->isChecked());
    EXPECT_EQ(form->ui->AutoreplyCheckBox->text(), QStringLiteral("Auto Reply"));
    EXPECT_TRUE(form->ui->LockCheckBox->isChecked());

    delete form;
    StartParameter('F') = QStringLiteral("1missing.txt"); // ignored silently; the mode still starts
    start();
    EXPECT_TRUE(AutoReplyFile.value().isEmpty());
    EXPECT_TRUE(form->ui->AutoreplyCheckBox->isChecked());
}

TEST_F(StartupEffectsTest, ATempFolderThatCannotBeMadeFallsBack)
{
    env.writeFile(QStringLiteral("file"), "x");
    storeDirectory("TempDirectory", env.file(QStringLiteral("file/Temp")));
    start();
    EXPECT_EQ(TempDirectory, env.file(QStringLiteral("Temp")));
    EXPECT_FALSE(form->HasClosed());
}

TEST_F(StartupEffectsTest, AFolderThatCannotBeMadeEndsStartUpInOrder)
{
    env.writeFile(QStringLiteral("file"), "x");
    storeDirectory("TelegDirectory", env.file(QStringLiteral("file/Telegram")));
    start();
    EXPECT_TRUE(form->HasClosed());
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("*** Folder Error : ")));
    EXPECT_TRUE(memo().contains(QStringLiteral("***** Kalvex Close *****")));
}

TEST_F(StartupEffectsTest, MaintenanceModeLogsTheRenewalFromQZAndHeadersKeepTheVersionLabel)
{
    storeDirectory("Version", QStringLiteral("QZ"));
    start();
    EXPECT_TRUE(memo().contains(QStringLiteral("Version Renewal : QZ --> Ver.3.03.03031001R")));
    EXPECT_EQ(ProgramVersion, QStringLiteral("QZ"));
    // Header records written from now on still carry the label's text.
    EXPECT_EQ(HeaderVersionText(), QStringLiteral("Ver.3.03.03031001R"));
    EXPECT_EQ(MakeHeaderRecord(QStringLiteral("Teleg001")).Handle, QStringLiteral("Ver.3.03.03031001R"));
    QFile::remove(env.file(QStringLiteral("Kalvex.lst")));
    LoadHostList();
    const QByteArray list = env.readFile(QStringLiteral("Kalvex.lst"));
    ASSERT_GE(list.size(), 400);
    EXPECT_EQ(HostRecord::decode(list.left(400)).HostName, QStringLiteral("Ver.3.03.03031001R"));
}

// Relative folders in the settings lie in the main directory (a relative
// main directory in the program's folder), wherever the program was started.
TEST_F(StartupEffectsTest, RelativeFoldersResolveAgainstTheMainDirectory)
{
    StartParameter('B') = QStringLiteral("1"); // the stored main directory, without asking
    storeDirectory("MainDirectory", QStringLiteral("data"));
    storeDirectory("LogDirectory", QStringLiteral("logs/../log"));
    storeDirectory("TempDirectory", env.file(QStringLiteral("abs")));
    storeDirectory("ListDirectory", QString());
    storeDirectory("ArrivalChime", QStringLiteral("chime.wav"));
    start();
    const QString main = env.file(QStringLiteral("data"));
    EXPECT_EQ(MainDirectory, main);
    EXPECT_EQ(LogDirectory, main + QStringLiteral("/log"));
    EXPECT_EQ(TempDirectory, env.file(QStringLiteral("abs")));
    EXPECT_EQ(ListDirectory, main);
    EXPECT_EQ(ArrivalChime, main + QStringLiteral("/chime.wav"));
    EXPECT_TRUE(QFile::exists(main + QStringLiteral("/Telegram/Teleg000.dat")));
}

// The settings keep the outer rectangle: the frame goes there, and saving
// gives back what was read.
TEST_F(StartupEffectsTest, TheMainWindowsFrameGoesWhereTheSettingsSay)
{
    plat::UpdateRegistry(plat::RootKey::CurrentUser, [&](plat::RegKey &root) {
        plat::RegKey &position = root.createKey(QStringLiteral("Software\\ZK\\Kalvex\\Position"));
        for (auto [name, value] : {std::pair{"MainLeft", 30}, {"MainTop", 0}, {"MainWidth", 600}, {"MainHeight", 420}})
            position.writeDWord(QLatin1String(name), quint32(value));
    });
    start();
    EXPECT_EQ(form->frameGeometry(), QRect(30, 0, 600, 420));
    MainPosition = MainWindowPosition();
    SaveSettings();
    EXPECT_EQ(QRect(MainPosition.Left, MainPosition.Top, MainPosition.Width, MainPosition.Height), QRect(30, 0, 600, 420));
}

// The notice about the HTML display that the first start gives comes up over
// the main window, not hidden under it.
TEST_F(StartupEffectsTest, TheFirstStartNoticeShowsAfterTheMainWindow)
{
    delete BRecvTelegramForm;
    BRecvTelegramForm = nullptr;
    QStringList shownWhileMainWindowShows;
    ShowSpy spy;
    spy.seen = [&](QObject *w) { shownWhileMainWindowShows << w->objectName() + (form && form->isVisible() ? "+" : ""); };
    qApp->installEventFilter(&spy);
    start();
    qApp->removeEventFilter(&spy);
    EXPECT_TRUE(shownWhileMainWindowShows.contains(QStringLiteral("HtmlDisplayNotice+"))) << shownWhileMainWindowShows.join(' ').toStdString();
}

} // namespace
