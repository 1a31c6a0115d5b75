// Start parameters from Kalvex.ini and the command line, and the registry
// settings as the main window loads and saves them.
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "ui_BLookup.h"
#include "core/BRegistr.h"
#include "core/BViewlst.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QPushButton>

using testsupport::TempEnvTest;

namespace {

const QString kKey = QStringLiteral("Software\\ZK\\Kalvex");

class StartParametersTest : public TempEnvTest {
protected:
    void writeIni(const QByteArray &text) { env.writeFile(QStringLiteral("Kalvex.ini"), text); }
};

TEST_F(StartParametersTest, NoIniFileLeavesDefaults)
{
    LoadIniFile(env.path() + QStringLiteral("/"));
    EXPECT_EQ(ProgramDirectory, env.path());
    EXPECT_EQ(RegistryChoice, 0);
    for (const QString &slot : StartParameters)
        EXPECT_TRUE(slot.isEmpty());
}

TEST_F(StartParametersTest, IniSectionsAreReadWithoutRegardToCase)
{
    writeIni("[registry]\r\nKalvex=2\r\n[Parameter]\r\ng=2\r\nA = 1\r\nHH=5\r\nH=600\r\n; F=1\r\n[Other]\r\nB=1\r\n");
    LoadIniFile(env.path());
    EXPECT_EQ(RegistryChoice, 2);
    EXPECT_EQ(StartParameter('G'), QStringLiteral("2"));
    EXPECT_EQ(StartParameter('A'), QStringLiteral("1"));
    EXPECT_EQ(StartParameter('H'), QStringLiteral("600")); // "HH" never matches
    EXPECT_TRUE(StartParameter('B').isEmpty());           // another section
    EXPECT_TRUE(StartParameter('F').isEmpty());           // a comment
}

TEST_F(StartParametersTest, MalformedIniFileGivesDefaults)
{
    writeIni(QByteArray("\x00\xff[Registry\r\nKalvex=abc\r\n=\r\n[Parameter]\r\n\x81\r\n==1\r\n", 40));
    LoadIniFile(env.path());
    EXPECT_EQ(RegistryChoice, 0);
    writeIni("[Registry]\r\nKalvex=513\r\n");
    LoadIniFile(env.path());
    EXPECT_EQ(RegistryChoice, 0);
}

TEST_F(StartParametersTest, CommandLineOverridesTheIniFile)
{
    writeIni("[Parameter]\r\nG=1\r\nF=1reply.txt\r\n");
    LoadIniFile(env.path());
    ParseCommandLine({QStringLiteral("-h600"), QStringLiteral("/G"), QStringLiteral("-Z5"), QStringLiteral("file.txt"),
                      QStringLiteral("-"), QStringLiteral("-d1"), QStringLiteral("/D2")});
    EXPECT_EQ(StartParameter('H'), QStringLiteral("600"));
    EXPECT_TRUE(StartParameter('G').isEmpty()); // "/G" empties what the file set
    EXPECT_EQ(StartParameter('F'), QStringLiteral("1reply.txt"));
    EXPECT_EQ(StartParameter('D'), QStringLiteral("2")); // the later switch wins
}

// Loading with a main window; message boxes are kept away by start parameter A
// and the main-directory question is answered by the test.
class SettingsTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        LoadIniFile(env.path());
        StartParameter('A') = QStringLiteral("1");
        asked = 0;
        AskMainDirectoryChange = [this] {
            ++asked;
            return answer;
        };
        form = new TBLookupForm();
    }
    void TearDown() override
    {
        delete form;
    }

    void store(const std::function<void(plat::RegKey &)> &edit, plat::RootKey root = plat::RootKey::CurrentUser)
    {
        plat::UpdateRegistry(root, [&](plat::RegKey &r) { edit(r.createKey(kKey)); });
    }
    plat::RegKey stored(plat::RootKey root = plat::RootKey::CurrentUser)
    {
        const plat::RegistryRead read = plat::LoadRegistry(root);
        const plat::RegKey *k = read.root.key(kKey);
        return k ? *k : plat::RegKey();
    }

    TBLookupForm *form = nullptr;
    int asked = 0;
    bool answer = false;
};

TEST_F(SettingsTest, FirstStartWritesEverySetting)
{
    LoadSettings();
    const plat::RegKey key = stored();
    EXPECT_EQ(key.subKeyNames(), (QStringList{"Account", "Directory", "OLC", "Position", "Security", "Viewer"}));
    const plat::RegKey *dir = key.key(QStringLiteral("Directory"));
    ASSERT_TRUE(dir);
    for (const char *name : {"Version", "MainDirectory", "LogDirectory", "TextDirectory", "SendDirectory", "TelegDirectory",
                             "StayDirectory", "TempDirectory", "TelegFileName", "ListDirectory", "ListFileName",
                             "LogFileName", "LastEditFile", "LogLebel", "QuotationMark", "ArrivalChime", "CustomEditor",
                             "ReqVersionUp", "RepeatTransmit", "PlainTransmit"})
        EXPECT_TRUE(dir->readString(QLatin1String(name))) << name;
    EXPECT_EQ(dir->readString(QStringLiteral("Version")), QStringLiteral("Ver.3.03.03031001R"));
    EXPECT_EQ(dir->readString(QStringLiteral("MainDirectory")), env.path());
    EXPECT_EQ(dir->readString(QStringLiteral("TelegDirectory")), env.path() + QStringLiteral("/Telegram"));
    EXPECT_EQ(dir->readDWord(QStringLiteral("TelegPointer")), 1u);
    EXPECT_EQ(dir->readDWord(QStringLiteral("TimeOutValue")), 3600000u);
    EXPECT_EQ(key.key(QStringLiteral("Security"))->readString(QStringLiteral("Version")), QStringLiteral("OLCP303L"));
    EXPECT_EQ(key.key(QStringLiteral("Viewer"))->readDWord(QStringLiteral("ViewingDirect")), 1u);
    EXPECT_EQ(key.key(QStringLiteral("Account"))->readDWord(QStringLiteral("ClientInterval")), 10u);
    EXPECT_EQ(key.key(QStringLiteral("OLC"))->readString(QStringLiteral("OlcDirectory")), env.path());
    for (const char *name : {"MainTop", "MainLeft", "MainHeight", "MainWidth", "MainState"})
        EXPECT_TRUE(key.key(QStringLiteral("Position"))->readDWord(QLatin1String(name))) << name;
    EXPECT_EQ(ProgramVersion, QStringLiteral("Ver.3.03.03031001R"));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(asked, 0);
}

TEST_F(SettingsTest, StoredMainDirectoryIsKeptOrReplacedAsAnswered)
{
    const QString other = env.file(QStringLiteral("Other"));
    store([&](plat::RegKey &k) {
        plat::RegKey &dir = k.createKey(QStringLiteral("Directory"));
        dir.writeString(QStringLiteral("MainDirectory"), other);
        dir.writeString(QStringLiteral("LogDirectory"), QStringLiteral("/var/tmp/logs"));
    });
    StartParameter('A').clear();
    answer = false; // keep the stored one
    ReadSettings();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(MainDirectory, other);
    EXPECT_EQ(TelegDirectory, other + QStringLiteral("/Telegram"));
    EXPECT_EQ(AccClientDirectory, other + QStringLiteral("/AccClient"));
    EXPECT_EQ(LogDirectory, QStringLiteral("/var/tmp/logs"));

    StartParameter('B') = QStringLiteral("2"); // take the program folder without asking
    ReadSettings();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(MainDirectory, env.path());
    EXPECT_EQ(StayDirectory, env.path() + QStringLiteral("/StayTel"));
    EXPECT_EQ(LogDirectory, QStringLiteral("/var/tmp/logs")); // a stored folder still wins

    // Paths are case-sensitive here: a folder that differs in case is another folder.
    StartParameter('B').clear();
    store([&](plat::RegKey &k) {
        k.createKey(QStringLiteral("Directory")).writeString(QStringLiteral("MainDirectory"), env.path().toUpper());
    });
    answer = true;
    ReadSettings();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(MainDirectory, env.path());
}

TEST_F(SettingsTest, OddValuesAreCorrectedOrIgnored)
{
    store([](plat::RegKey &k) {
        plat::RegKey &dir = k.createKey(QStringLiteral("Directory"));
        dir.writeString(QStringLiteral("LogLebel"), QStringLiteral("beta"));
        dir.writeString(QStringLiteral("TelegPointer"), QStringLiteral("7")); // wrong type
        dir.writeDWord(QStringLiteral("ReqVersionUp"), 1);                    // wrong type
        dir.writeString(QStringLiteral("PlainTransmit"), QStringLiteral("yes"));
        dir.writeString(QStringLiteral("RepeatTransmit"), QStringLiteral("1"));
        dir.writeString(QStringLiteral("IPAddress"), QStringLiteral("10.0.0.1"));
        plat::RegKey &pos = k.createKey(QStringLiteral("Position"));
        pos.writeDWord(QStringLiteral("MainTop"), static_cast<quint32>(-200));
        pos.writeDWord(QStringLiteral("MainLeft"), 100000);
        pos.writeDWord(QStringLiteral("MainHeight"), 0);
        pos.writeDWord(QStringLiteral("MainWidth"), 0);
        pos.writeDWord(QStringLiteral("MainState"), 7);
    });
    ReadSettings();
    EXPECT_EQ(LogLebelNumber, 1);
    EXPECT_TRUE(LogLebel.isEmpty());
    EXPECT_EQ(TelegPointer, 1);
    EXPECT_FALSE(ReqVersionUp);
    EXPECT_FALSE(PlainTransmit);
    EXPECT_TRUE(RepeatTransmit);
    EXPECT_EQ(MainPosition.Top, 0);
    EXPECT_EQ(MainPosition.Left, 0);
    EXPECT_EQ(MainPosition.Height, 450);
    EXPECT_EQ(MainPosition.Width, 550);
    EXPECT_EQ(MainPosition.State, WindowState::Normal);
    SaveSettings();
    const plat::RegKey key = stored();
    EXPECT_FALSE(key.key(QStringLiteral("Directory"))->hasValue(QStringLiteral("IPAddress")));
    EXPECT_EQ(key.key(QStringLiteral("Directory"))->readString(QStringLiteral("LogLebel")), QString());
    EXPECT_EQ(key.key(QStringLiteral("Directory"))->readDWord(QStringLiteral("TelegPointer")), 1u);
}

TEST_F(SettingsTest, OldPasswordsAreReadAsStoredAndWrittenBackEncoded)
{
    store([](plat::RegKey &k) {
        k.createKey(QStringLiteral("Security")).writeString(QStringLiteral("TELPW"), QStringLiteral("secret"));
    });
    LoadSettings();
    EXPECT_FALSE(PasswordsEncoded);
    EXPECT_EQ(TELPW, QByteArray("secret"));
    const plat::RegKey key = stored();
    const plat::RegKey *security = key.key(QStringLiteral("Security"));
    EXPECT_EQ(security->readString(QStringLiteral("Version")), QStringLiteral("OLCP303L"));
    EXPECT_NE(security->readString(QStringLiteral("TELPW")), QStringLiteral("secret"));

    TELPW = QByteArray();
    ReadSettings();
    EXPECT_TRUE(PasswordsEncoded);
    EXPECT_EQ(TELPW, QByteArray("secret"));
}

TEST_F(SettingsTest, ViewerRowsFollowTheirStates)
{
    store([](plat::RegKey &k) {
        plat::RegKey &viewer = k.createKey(QStringLiteral("Viewer"));
        viewer.writeString(QStringLiteral("ViewerList"), QStringLiteral("wav,txt,doc"));
        viewer.writeString(QStringLiteral("wav"), QStringLiteral("/usr/bin/aplay"));
        viewer.writeString(QStringLiteral("TXT"), QStringLiteral("/usr/bin/less"));
        viewer.writeString(QStringLiteral("doc"), QStringLiteral("/usr/bin/doc"));
        viewer.writeDWord(QStringLiteral("ImageViewer"), 1);
        viewer.writeDWord(QStringLiteral("HtmlViewer"), 2);
    });
    LoadSettings();
    ASSERT_EQ(ViewerCount, 4);
    EXPECT_EQ(ViewerTable[2].Application, QStringLiteral("/usr/bin/less"));
    EXPECT_FALSE(ImageViewer);
    EXPECT_EQ(HtmlViewer, 2);

    ViewerTable[3].State = ViewerDeleted; // doc
    ViewerTable[4] = {QStringLiteral("mid"), QString(), ViewerAddedDeleted};
    ViewerCount = 5;
    SaveSettings();
    const plat::RegKey key = stored();
    const plat::RegKey *viewer = key.key(QStringLiteral("Viewer"));
    EXPECT_EQ(viewer->readString(QStringLiteral("ViewerList")), QStringLiteral("wav,txt"));
    EXPECT_FALSE(viewer->hasValue(QStringLiteral("doc")));
    EXPECT_FALSE(viewer->hasValue(QStringLiteral("mid")));
    EXPECT_EQ(viewer->readString(QStringLiteral("wav")), QStringLiteral("/usr/bin/aplay"));
    EXPECT_EQ(viewer->readDWord(QStringLiteral("ImageViewer")), 1u);
}

TEST_F(SettingsTest, MaintenanceModeKeepsTheStoredVersion)
{
    store([](plat::RegKey &k) {
        k.createKey(QStringLiteral("Directory")).writeString(QStringLiteral("Version"), QStringLiteral("QZ"));
    });
    LoadSettings();
    EXPECT_EQ(ProgramVersion, QStringLiteral("QZ"));
    EXPECT_FALSE(form->ui->X_Button->isHidden());
    SaveSettings();
    EXPECT_EQ(stored().key(QStringLiteral("Directory"))->readString(QStringLiteral("Version")), QStringLiteral("QZ"));
}

TEST_F(SettingsTest, WindowStateComesFromTheRegistryOrStartParameterG)
{
    store([](plat::RegKey &k) { k.createKey(QStringLiteral("Position")).writeDWord(QStringLiteral("MainState"), 1); });
    LoadSettings();
    EXPECT_TRUE(form->windowState() & Qt::WindowMaximized);
    form->setWindowState(Qt::WindowMinimized);
    SaveSettings();
    EXPECT_EQ(stored().key(QStringLiteral("Position"))->readDWord(QStringLiteral("MainState")), 2u);

    // G "2" starts maximized and leaves the saved state alone.
    delete form;
    LoadIniFile(env.path());
    StartParameter('A') = QStringLiteral("1");
    StartParameter('G') = QStringLiteral("2");
    form = new TBLookupForm();
    LoadSettings();
    EXPECT_TRUE(form->windowState() & Qt::WindowMaximized);
    form->setWindowState(Qt::WindowNoState);
    SaveSettings();
    EXPECT_EQ(stored().key(QStringLiteral("Position"))->readDWord(QStringLiteral("MainState")), 2u);
}

TEST_F(SettingsTest, RegistryChoiceTwoUsesTheLocalMachineRoot)
{
    RegistryChoice = 2;
    LoadSettings();
    EXPECT_EQ(RegistryPathText, QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\ZK\\Kalvex"));
    EXPECT_TRUE(plat::LoadRegistry(plat::RootKey::LocalMachine).root.key(QStringLiteral("SOFTWARE\\ZK\\Kalvex\\Directory")));
    EXPECT_FALSE(plat::LoadRegistry(plat::RootKey::CurrentUser).root.key(kKey));
}

} // namespace
