#include "core/BRegistr.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "ui_BLookup.h"
#include "core/BViewlst.h"
#include "platform/Cp932.h"

#include "platform/DayDate.h"
#include "olc/BOlcLogMnt.h"
#include "tel/BRecvTel.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include <variant>

QString ProgramDirectory;
quintptr ApplicationHandle = 0;
std::uint8_t RegistryChoice = 0;
std::array<QString, StartParameterCount> StartParameters;

plat::RootKey RegistryRootKey = plat::RootKey::CurrentUser;
QString RegistryKeyPath = QStringLiteral("Software\\ZK\\");
QString RegistryPathText;

QString ProgramVersion;
namespace {
// The version label's text with its "R", whatever mode the program runs in.
QString VersionLabelText;
} // namespace
QString StoredVersion;

QString MainDirectory, LogDirectory, TextDirectory, SendDirectory, ListDirectory, TempDirectory, StayDirectory;
plat::Synchronized<QString> TelegDirectory, TelegFileName;
QString LogFileName, ListFileName, LastEditFile;
QString LogLebel;
QString QuotationMark;
plat::Synchronized<QString> ArrivalChime, CustomEditor;
qint32 TelegPointer = 1;
std::atomic<bool> ReqVersionUp{false};
bool RepeatTransmit = false, PlainTransmit = false;
qint32 TimeOutValue = 3600000;

bool PasswordsEncoded = false;
plat::Synchronized<QByteArray> MySelfPW, TELPW, OLCPW;

bool ImageViewer = true;
qint32 HtmlViewer = 0;
bool UsingWindows95 = false, ViewingDirect = true;
bool UseWebBrowser = true, UseHtmlControl = false;

MainWindowPosition MainPosition;

QString OlcDirectory, OlcClientDirectory;
QString AccountDirectory, AccClientDirectory;
std::atomic<bool> ClientTimer{true};
qint32 ClientInterval = 10;

QString AutoReplyRichFile, AutoReplyPlainFile, LastSentTextFile;
plat::Synchronized<QString> AutoReplyFile;

std::function<bool()> AskMainDirectoryChange = [] {
    const QString text = QStringLiteral("ﾚｼﾞｽﾄﾘに登録されたﾒｲﾝ･ﾃﾞｨﾚｸﾄﾘと,現在起動したﾃﾞｨﾚｸﾄﾘとが異なっています.\n"
                                        "ﾒｲﾝ･ﾃﾞｨﾚｸﾄﾘを現在起動したﾃﾞｨﾚｸﾄﾘに変更しますか?");
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, BLookupForm);
    return box.exec() == QMessageBox::Yes;
};

namespace {

const QStringList kSubKeys = {QStringLiteral("Directory"), QStringLiteral("Security"), QStringLiteral("Viewer"),
                              QStringLiteral("Position"), QStringLiteral("OLC"), QStringLiteral("Account")};

// ---- start parameters ------------------------------------------------------

// name=value lines of one [section] of an ini file; names are trimmed, the
// section matched without regard to case.
QList<QPair<QString, QString>> ReadIniSection(const QByteArray &file, const QString &section)
{
    QList<QPair<QString, QString>> lines;
    bool inSection = false;
    for (const QByteArray &raw : file.split('\n')) {
        const QString line = plat::FromCp932(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            const int end = line.indexOf(QLatin1Char(']'));
            inSection = end > 0 && line.mid(1, end - 1).trimmed().compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (inSection && eq > 0 && !line.startsWith(QLatin1Char(';')))
            lines.append({line.left(eq).trimmed(), line.mid(eq + 1).trimmed()});
    }
    return lines;
}

int SlotOfLetter(QChar letter)
{
    const char16_t c = letter.toUpper().unicode();
    return (c >= u'A' && c <= u'K') ? c - u'A' : -1;
}

// ---- reading the registry --------------------------------------------------

QString JoinPath(const QString &folder, const QString &name)
{
    return folder + QLatin1Char('/') + name;
}

void DeriveFolders(const QString &main)
{
    MainDirectory = main;
    LogDirectory = TextDirectory = SendDirectory = ListDirectory = main;
    OlcDirectory = AccountDirectory = main;
    TelegDirectory = JoinPath(main, QStringLiteral("Telegram"));
    TempDirectory = JoinPath(main, QStringLiteral("Temp"));
    StayDirectory = JoinPath(main, QStringLiteral("StayTel"));
    OlcClientDirectory = JoinPath(OlcDirectory, QStringLiteral("OlcClient"));
    AccClientDirectory = JoinPath(AccountDirectory, QStringLiteral("AccClient"));
}

void SetDefaults()
{
    DeriveFolders(ProgramDirectory);
    LogFileName = QStringLiteral("Kalvex.log");
    TelegFileName = QStringLiteral("Teleg000");
    ListFileName = QStringLiteral("Kalvex.lst");
    LastEditFile = QStringLiteral("Recent.txt");
    LogLebel.clear();
    LogLebelNumber = ALPHA;
    QuotationMark = QStringLiteral(">>");
    ArrivalChime = GetStartupSoundFile();
    CustomEditor = QString();
    TelegPointer = 1;
    ReqVersionUp = false;
    RepeatTransmit = PlainTransmit = false;
    TimeOutValue = 3600000;
    StoredVersion.clear();
    PasswordsEncoded = false;
    MySelfPW = QByteArray();
    TELPW = QByteArray();
    OLCPW = QByteArray();
    ImageViewer = true;
    HtmlViewer = 0;
    UsingWindows95 = false;
    ViewingDirect = true;
    UseWebBrowser = true;
    UseHtmlControl = false;
    ClearViewerTable();
    MainPosition = MainWindowPosition();
    ClientTimer = true;
    ClientInterval = 10;
}

void ChooseRegistryRoot()
{
    if (RegistryChoice == 2) {
        RegistryRootKey = plat::RootKey::LocalMachine;
        RegistryKeyPath = QStringLiteral("SOFTWARE\\ZK\\");
    } else {
        RegistryChoice = 1;
        RegistryRootKey = plat::RootKey::CurrentUser;
        RegistryKeyPath = QStringLiteral("Software\\ZK\\");
    }
    RegistryKeyPath += QStringLiteral("Kalvex");
    RegistryPathText = plat::RootKeyName(RegistryRootKey) + QLatin1Char('\\') + RegistryKeyPath;
}

// Typed reads into a setting: a missing value, or one of another type, keeps the default.
template <typename Setting> // QString or plat::Synchronized<QString>
void ReadString(const plat::RegKey &key, const char *name, Setting &setting)
{
    if (auto v = key.readString(QLatin1String(name)))
        setting = *v;
}

void ReadInteger(const plat::RegKey &key, const char *name, qint32 &setting)
{
    if (auto v = key.readDWord(QLatin1String(name)))
        setting = static_cast<qint32>(*v);
}

void ReadFlagText(const plat::RegKey &key, const char *name, bool &setting)
{
    if (auto v = key.readString(QLatin1String(name)))
        setting = *v == QLatin1String("1");
}

// The string values of the Directory subkey besides MainDirectory, in the
// order they are written.
using StringSetting = std::variant<QString *, plat::Synchronized<QString> *>;
const std::array<std::pair<const char *, StringSetting>, 15> &DirectoryStrings()
{
    static const std::array<std::pair<const char *, StringSetting>, 15> strings = {{
        {"LogDirectory", &LogDirectory},   {"TextDirectory", &TextDirectory}, {"SendDirectory", &SendDirectory},
        {"TelegDirectory", &TelegDirectory}, {"StayDirectory", &StayDirectory}, {"TempDirectory", &TempDirectory},
        {"TelegFileName", &TelegFileName}, {"ListDirectory", &ListDirectory}, {"ListFileName", &ListFileName},
        {"LogFileName", &LogFileName},     {"LastEditFile", &LastEditFile},   {"LogLebel", &LogLebel},
        {"QuotationMark", &QuotationMark}, {"ArrivalChime", &ArrivalChime},   {"CustomEditor", &CustomEditor},
    }};
    return strings;
}

// Decides whether a stored main directory other than the program's folder
// stays in force: by start parameter A or B, else by asking the user.
bool KeepStoredMainDirectory()
{
    if (StartParameterIsOne('A') || StartParameterIsOne('B'))
        return true;
    if (StartParameter('B') == QLatin1String("2"))
        return false;
    return !AskMainDirectoryChange();
}

void ReadDirectory(const plat::RegKey &key)
{
    ReadString(key, "Version", StoredVersion);
    // Paths on Linux are case-sensitive: the stored folder is compared exactly.
    // A relative main directory lies in the program's folder.
    const auto stored = key.readString(QStringLiteral("MainDirectory"));
    const QString main = stored && !stored->isEmpty() ? QDir::cleanPath(QDir(ProgramDirectory).filePath(*stored)) : QString();
    if (!main.isEmpty() && main != ProgramDirectory && KeepStoredMainDirectory())
        DeriveFolders(main);
    for (const auto &entry : DirectoryStrings())
        std::visit([&key, name = entry.first](auto *s) { ReadString(key, name, *s); }, entry.second);
    const int level = LogLevelFromName(LogLebel);
    LogLebelNumber = level < 0 ? ALPHA : level;
    if (level < 0)
        LogLebel.clear();
    ReadInteger(key, "TelegPointer", TelegPointer);
    bool newerPeerSeen = false;
    ReadFlagText(key, "ReqVersionUp", newerPeerSeen);
    ReqVersionUp = newerPeerSeen;
    ReadFlagText(key, "RepeatTransmit", RepeatTransmit);
    ReadFlagText(key, "PlainTransmit", PlainTransmit);
    ReadInteger(key, "TimeOutValue", TimeOutValue);
}

QByteArray ReadPassword(const plat::RegKey &key, const char *name)
{
    const auto stored = key.readString(QLatin1String(name));
    if (!stored)
        return {};
    const QByteArray bytes = plat::ToCp932(*stored);
    return PasswordsEncoded ? HexDecode(DecodeStoredPassword(bytes)) : bytes;
}

void ReadSecurity(const plat::RegKey &key)
{
    PasswordsEncoded = key.hasValue(QStringLiteral("Version"));
    MySelfPW = ReadPassword(key, "MySelfPW");
    TELPW = ReadPassword(key, "TELPW");
    OLCPW = ReadPassword(key, "OLCPW");
}

void ReadViewer(const plat::RegKey &key)
{
    qint32 number = 0;
    ReadInteger(key, "ImageViewer", number);
    ImageViewer = number != 1;
    ReadInteger(key, "HtmlViewer", HtmlViewer);
    number = 0;
    ReadInteger(key, "UsingWindows95", number);
    UsingWindows95 = number == 1;
    number = 1;
    ReadInteger(key, "ViewingDirect", number);
    ViewingDirect = number != 0;
    if (auto list = key.readString(QStringLiteral("ViewerList"))) {
        ParseViewerList(*list);
        for (int row = 1; row < ViewerCount; ++row) {
            if (auto application = key.readString(ViewerTable[row].Extension))
                ViewerTable[row].Application = *application;
        }
    }
}

// A saved position that would put the window where it cannot be seen is reset.
void ReadPosition(const plat::RegKey &key)
{
    qint32 top = 0, left = 0, height = 450, width = 550, state = 0;
    ReadInteger(key, "MainTop", top);
    ReadInteger(key, "MainLeft", left);
    ReadInteger(key, "MainHeight", height);
    ReadInteger(key, "MainWidth", width);
    ReadInteger(key, "MainState", state);
    QRect screen(0, 0, 1024, 768);
    if (QScreen *primary = QGuiApplication::primaryScreen())
        screen = primary->virtualGeometry();
    MainPosition.Top = (top < screen.top() || top > screen.bottom()) ? 0 : top;
    MainPosition.Left = (left < screen.left() || left > screen.right()) ? 0 : left;
    MainPosition.Height = height <= 0 ? 450 : height;
    MainPosition.Width = width <= 0 ? 550 : width;
    MainPosition.State = (state >= 0 && state <= 2) ? static_cast<WindowState>(state) : WindowState::Normal;
}

void ReadOlc(const plat::RegKey &key)
{
    if (auto folder = key.readString(QStringLiteral("OlcDirectory"))) {
        OlcDirectory = *folder;
        OlcClientDirectory = JoinPath(OlcDirectory, QStringLiteral("OlcClient"));
    }
}

void ReadAccount(const plat::RegKey &key)
{
    if (auto folder = key.readString(QStringLiteral("AccountDirectory"))) {
        AccountDirectory = *folder;
        AccClientDirectory = JoinPath(AccountDirectory, QStringLiteral("AccClient"));
    }
    if (auto timer = key.readDWord(QStringLiteral("ClientTimer")))
        ClientTimer = *timer != 0;
    ReadInteger(key, "ClientInterval", ClientInterval);
}

void ReadSettingsKey(const plat::RegKey &settings)
{
    static const plat::RegKey empty;
    auto subKey = [&](int i) -> const plat::RegKey & {
        const plat::RegKey *k = settings.key(kSubKeys[i]);
        return k ? *k : empty;
    };
    ReadDirectory(subKey(0));
    ReadSecurity(subKey(1));
    ReadViewer(subKey(2));
    ReadPosition(subKey(3));
    ReadOlc(subKey(4));
    ReadAccount(subKey(5));
}

// Every path setting becomes absolute as it is read, so that the current
// folder never decides where the program's files lie.
void ResolveSettingPaths()
{
    for (QString *folder : {&LogDirectory, &TextDirectory, &SendDirectory, &ListDirectory, &TempDirectory,
                            &StayDirectory, &OlcDirectory, &OlcClientDirectory, &AccountDirectory, &AccClientDirectory})
        *folder = ResolveSettingPath(*folder);
    TelegDirectory = ResolveSettingPath(TelegDirectory);
    if (!ArrivalChime.value().isEmpty())
        ArrivalChime = ResolveSettingPath(ArrivalChime);
}

// ---- writing ---------------------------------------------------------------

QString FlagText(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

QString StoredPassword(const QByteArray &password)
{
    return QString::fromLatin1(EncodeStoredPassword(HexEncode(password)));
}

void WriteDirectory(plat::RegKey &key)
{
    if (ProgramVersion != QLatin1String(MaintenanceVersion))
        key.writeString(QStringLiteral("Version"), ProgramVersion);
    key.writeString(QStringLiteral("MainDirectory"), MainDirectory);
    for (const auto &entry : DirectoryStrings())
        std::visit([&key, name = entry.first](auto *s) { key.writeString(QLatin1String(name), *s); }, entry.second);
    key.writeDWord(QStringLiteral("TelegPointer"), static_cast<quint32>(TelegPointer));
    key.writeString(QStringLiteral("ReqVersionUp"), FlagText(ReqVersionUp));
    key.writeString(QStringLiteral("RepeatTransmit"), FlagText(RepeatTransmit));
    key.writeString(QStringLiteral("PlainTransmit"), FlagText(PlainTransmit));
    key.writeDWord(QStringLiteral("TimeOutValue"), static_cast<quint32>(TimeOutValue));
}

void WriteSecurity(plat::RegKey &key)
{
    key.writeString(QStringLiteral("Version"), QLatin1String(OlcpVersionText));
    key.writeString(QStringLiteral("MySelfPW"), StoredPassword(MySelfPW));
    key.writeString(QStringLiteral("TELPW"), StoredPassword(TELPW));
    key.writeString(QStringLiteral("OLCPW"), StoredPassword(OLCPW));
}

void WriteViewer(plat::RegKey &key)
{
    key.writeDWord(QStringLiteral("ImageViewer"), ImageViewer ? 0 : 1);
    key.writeDWord(QStringLiteral("HtmlViewer"), static_cast<quint32>(HtmlViewer));
    key.writeDWord(QStringLiteral("UsingWindows95"), UsingWindows95 ? 1 : 0);
    key.writeDWord(QStringLiteral("ViewingDirect"), ViewingDirect ? 1 : 0);
    key.writeString(QStringLiteral("ViewerList"), BuildViewerList(true));
    for (int row = 1; row < ViewerCount; ++row) {
        const ViewerEntry &entry = ViewerTable[row];
        if (entry.State <= ViewerAdded)
            key.writeString(entry.Extension, entry.Application);
        else if (entry.State == ViewerDeleted)
            key.deleteValue(entry.Extension);
    }
}

void WritePosition(plat::RegKey &key)
{
    key.writeDWord(QStringLiteral("MainTop"), static_cast<quint32>(MainPosition.Top));
    key.writeDWord(QStringLiteral("MainLeft"), static_cast<quint32>(MainPosition.Left));
    key.writeDWord(QStringLiteral("MainHeight"), static_cast<quint32>(MainPosition.Height));
    key.writeDWord(QStringLiteral("MainWidth"), static_cast<quint32>(MainPosition.Width));
    key.writeDWord(QStringLiteral("MainState"), static_cast<quint32>(MainPosition.State));
}

// The main window's outer rectangle in its normal state (so a maximized
// window comes back with its old size when restored) and, when asked, its state.
void StoreMainPosition(bool withState)
{
    const QRect outer = BLookupForm->OuterNormalRect();
    MainPosition.Top = outer.top();
    MainPosition.Left = outer.left();
    MainPosition.Height = outer.height();
    MainPosition.Width = outer.width();
    if (withState) {
        MainPosition.State = BLookupForm->isMinimized()   ? WindowState::Minimized
                             : BLookupForm->isMaximized() ? WindowState::Maximized
                                                          : WindowState::Normal;
    }
}

} // namespace

QString &StartParameter(char letter)
{
    return StartParameters[static_cast<size_t>(letter - 'A')];
}

bool StartParameterIsOne(char letter)
{
    return StartParameter(letter) == QLatin1String("1");
}

void LoadIniFile(const QString &programDirectory)
{
    ApplicationHandle = static_cast<quintptr>(QCoreApplication::applicationPid());
    StartParameters.fill(QString());
    RegistryChoice = 0;
    ProgramDirectory = programDirectory;
    while (ProgramDirectory.size() > 1 && ProgramDirectory.endsWith(QLatin1Char('/')))
        ProgramDirectory.chop(1);

    QFile ini(JoinPath(ProgramDirectory, QStringLiteral("Kalvex.ini")));
    if (!ini.open(QIODevice::ReadOnly))
        return;
    const QByteArray content = ini.read(1 << 20); // an ini file is small; never read a huge one whole
    for (const auto &[name, value] : ReadIniSection(content, QStringLiteral("Registry"))) {
        if (name.compare(QLatin1String("Kalvex"), Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const int choice = value.toInt(&ok);
            RegistryChoice = (ok && choice >= 0 && choice <= 255) ? static_cast<std::uint8_t>(choice) : 0;
        }
    }
    const auto parameters = ReadIniSection(content, QStringLiteral("Parameter"));
    for (int slot = 0; slot < StartParameterCount; ++slot) {
        for (const auto &[name, value] : parameters) {
            if (name.size() == 1 && SlotOfLetter(name[0]) == slot) {
                StartParameters[static_cast<size_t>(slot)] = value;
                break;
            }
        }
    }
}

void ParseCommandLine(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (!argument.startsWith(QLatin1Char('-')) && !argument.startsWith(QLatin1Char('/')))
            continue;
        const QString rest = argument.mid(1);
        if (rest.isEmpty())
            continue;
        const int slot = SlotOfLetter(rest[0]);
        if (slot >= 0)
            StartParameters[static_cast<size_t>(slot)] = rest.mid(1);
    }
}

QString HeaderVersionText()
{
    return ProgramVersion == QLatin1String(MaintenanceVersion) ? VersionLabelText : ProgramVersion;
}

QString ResolveSettingPath(const QString &path)
{
    return QDir::cleanPath(QDir(MainDirectory).filePath(path));
}

QString GetStartupSoundFile()
{
    try {
        const plat::RegistryRead read = plat::LoadRegistry(plat::RootKey::CurrentUser);
        const plat::RegKey *key = read.root.key(QStringLiteral("AppEvents\\Schemes\\Apps\\.Default\\SystemStart\\.Default"));
        if (key)
            return key->readString(QString()).value_or(QString());
    } catch (const plat::RegistryError &) {
    }
    return {};
}

namespace {

// A registry write at start-up or close: an error is logged at level 1 and
// shown, and the program goes on with the settings it has.
bool RegistryWriteReported(const std::function<void()> &write)
{
    try {
        write();
        return true;
    } catch (const plat::RegistryError &e) {
        const QString text = QStringLiteral("*** Registry Write Error : ") + QString::fromUtf8(e.what());
        WriteLog(ALPHA, text);
        QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text, QMessageBox::Ok, BLookupForm);
        box.exec();
        return false;
    }
}

} // namespace

// The registry is read once; a value that the system no longer uses is removed.
void ReadSettings()
{
    QLabel *label = BLookupForm->ui->NumberLabel;
    if (!label->text().endsWith(QLatin1Char('R')))
        label->setText(label->text() + QLatin1Char('R'));
    ProgramVersion = VersionLabelText = label->text();
    SetDefaults();
    ChooseRegistryRoot();

    plat::RegistryRead read;
    try {
        read = plat::LoadRegistry(RegistryRootKey);
    } catch (const plat::RegistryError &e) {
        WriteLog(ALPHA, QStringLiteral("*** Registry Error : ") + QString::fromUtf8(e.what()));
    }
    for (const QString &problem : read.problems)
        WriteLog(ALPHA, QStringLiteral("*** Registry : ") + plat::RegistryFilePath(RegistryRootKey) +
                            QStringLiteral(" : ") + problem);

    const plat::RegKey *settings = read.root.key(RegistryKeyPath);
    if (!settings) {
        CreateDefaultViewers();
        RegistryWriteReported([] {
            plat::UpdateRegistry(RegistryRootKey, [](plat::RegKey &root) {
                plat::RegKey &created = root.createKey(RegistryKeyPath);
                for (const QString &sub : kSubKeys)
                    created.createKey(sub);
            });
        });
        return;
    }
    ReadSettingsKey(*settings);
    ResolveSettingPaths();
    const plat::RegKey *directory = settings->key(QStringLiteral("Directory"));
    if (directory && directory->hasValue(QStringLiteral("IPAddress"))) {
        RegistryWriteReported([] {
            plat::UpdateRegistry(RegistryRootKey, [](plat::RegKey &root) {
                root.createKey(RegistryKeyPath + QStringLiteral("\\Directory")).deleteValue(QStringLiteral("IPAddress"));
            });
        });
    }
}

namespace {

// A plain message box without an icon, as start-up tells the user things.
void ShowMessage(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, BLookupForm);
    box.exec();
}

QString NowText()
{
    const QDateTime now = QDateTime::currentDateTime();
    return plat::FormatShortDate(now) + QStringLiteral(" - ") + plat::FormatLongTime(now);
}

// The log file gets its start banner; a file that cannot be appended to is
// reported and the log stays on screen only.
void StartLogFile()
{
    const QString path = JoinPath(LogDirectory, LogFileName);
    const bool ok = AppendLogStartLines(path);
    BLookupForm->ui->LookupMemo->clear();
    WriteLog(ZERO, QStringLiteral("\r\n=========="));
    WriteLog(ZERO, QStringLiteral("| Kalvex |    ") + NowText());
    WriteLog(ZERO, QStringLiteral("==========\r\n"));
    if (!ok) {
        WriteLog(ALPHA, QStringLiteral("*** Log File Error : ") + path);
        return;
    }
    // Checked while still disabled, so its click handler asks for no file.
    QCheckBox *save = BLookupForm->ui->SaveCheckBox;
    save->setChecked(true);
    save->setEnabled(true);
    LogToFile = true;
}

void LogVersionLines()
{
    if (StoredVersion.isEmpty()) {
        WriteLog(ZERO, QStringLiteral("Kalvex Installed : ") + ProgramVersion + QStringLiteral("\r\n"));
        return;
    }
    if (StoredVersion != ProgramVersion)
        WriteLog(ZERO, QStringLiteral("Version Renewal : ") + StoredVersion + QStringLiteral(" --> ") + ProgramVersion +
                           QStringLiteral("\r\n"));
    if (ReqVersionUp && !StartParameterIsOne('A') && !StartParameterIsOne('D')) {
        ShowMessage(QStringLiteral("お使いのﾊﾞｰｼﾞｮﾝはかなり古くなりました. できるだけ早くﾊﾞｰｼﾞｮﾝｱｯﾌﾟしてください."));
    }
    ReqVersionUp = false;
}

void LogHandles()
{
    WriteLog(ALPHA, QStringLiteral("Kalvex Application Handle = ") + QString::number(ApplicationHandle));
    WriteLog(ALPHA, QStringLiteral("Lookup Form Handle        = ") + QString::number(BLookupForm->winId()));
    WriteLog(BETA, QStringLiteral("Recv TEL Form Handle      = ") + QString::number(BRecvTelegramForm->winId()));
    WriteLog(BETA, QLatin1Char('"') + LogFileName + QStringLiteral("\" Handle    = ") + QString::number(LastLogFileHandle));
}

// A folder the program needs, created with its whole path when missing. When
// that fails start-up cannot go on: the user is told, and the program closes
// in order.
bool EnsureFolder(const QString &folder)
{
    if (QDir(folder).exists() || QDir().mkpath(folder))
        return true;
    const QString text = QStringLiteral("*** Folder Error : ") + folder + QStringLiteral(" : cannot be created");
    WriteLog(ALPHA, text);
    ShowMessage(text + QStringLiteral("\nKalvex ends."));
    BLookupForm->ExitButtonClick();
    return false;
}

// The unread TELs found at start-up lock the receive window.
void ShowWaitingTels()
{
    BLookupForm->ui->RecvNumLabel->setText(QStringLiteral("[ %1 ]").arg(WaitingTels));
    BLookupForm->ui->RecvNumLabel->setVisible(true);
    BLookupForm->ui->LockCheckBox->setChecked(true);
    if (!StartParameterIsOne('A') && !StartParameterIsOne('E'))
        ShowMessage(QStringLiteral("未処理の着信TELがありますので自動的にﾛｯｸﾓｰﾄﾞになります.\n"
                                   "Lock ﾁｪｯｸ を解除しすべて読了処理するようにしてください."));
}

bool OpenTelLog()
{
    QString error;
    if (!OpenTelLogFiles(&error)) {
        const QString text = QStringLiteral("*** TEL Log File Error : ") + error;
        WriteLog(ALPHA, text);
        ShowMessage(text + QStringLiteral("\nKalvex ends."));
        BLookupForm->ExitButtonClick();
        return false;
    }
    if (WaitingTels > 0)
        ShowWaitingTels();
    return true;
}

// The work folder; a stored one that cannot be made falls back to the main directory's.
bool PrepareTempFolder()
{
    if (!QDir(TempDirectory).exists() && !QDir().mkpath(TempDirectory)) {
        WriteLog(ALPHA, QStringLiteral("*** Temp Folder Error : ") + TempDirectory);
        TempDirectory = JoinPath(MainDirectory, QStringLiteral("Temp"));
        if (!EnsureFolder(TempDirectory))
            return false;
    }
    AutoReplyRichFile = JoinPath(TempDirectory, QStringLiteral("AutoRep_Rich.txt"));
    AutoReplyPlainFile = JoinPath(TempDirectory, QStringLiteral("AutoRep_Plain.txt"));
    LastSentTextFile = JoinPath(TempDirectory, QStringLiteral("Temp$$$$.txt"));
    return true;
}

// Start parameter F: auto-reply mode with the receive lock on, answering with
// the file it names (when that exists) or the two message files.
void StartAutoReply()
{
    AutoReplyFile = QString();
    const QString f = StartParameter('F');
    if (!f.startsWith(QLatin1Char('1')))
        return;
    QString name = f.mid(1);
    if (!name.isEmpty() && !name.contains(QLatin1Char('/')))
        name = JoinPath(MainDirectory, name);
    if (!name.isEmpty() && QFileInfo(name).isFile())
        AutoReplyFile = name;
    // Without a caption the check box's own handler leaves the editor closed.
    QCheckBox *autoReply = BLookupForm->ui->AutoreplyCheckBox;
    autoReply->setText(QString());
    autoReply->setChecked(true);
    BLookupForm->ui->LockCheckBox->setChecked(true);
    autoReply->setText(QStringLiteral("Auto Reply"));
}

QString ServerOsText()
{
    return QSysInfo::prettyProductName() + QStringLiteral(" (") + QSysInfo::kernelType() + QLatin1Char(' ') +
           QSysInfo::kernelVersion() + QLatin1Char(')');
}

// What loading the settings brings about, in order: the windows, the log
// file with its banner and version lines, the data folders and the TEL log,
// auto-reply mode, maintenance mode, and the first save. A step that cannot
// be done closes the program and the rest is skipped.
void ApplyStartupEffects()
{
    WaitingTels = -1;
    // The main window shows first, so that what the receive window tells the
    // user as it is created comes up above it.
    BLookupForm->FormShow();
    if (!BRecvTelegramForm)
        BRecvTelegramForm = new TBRecvTelegramForm();
    StartLogFile();
    LogVersionLines();
    if (BLookupForm->HasClosed()) // the Exit button during the version warning
        return;
    LogHandles();
    for (const QString &folder : {OlcClientDirectory, AccClientDirectory, TelegDirectory.value()}) {
        if (!EnsureFolder(folder))
            return;
    }
    FinishOlcStoreRewrites();
    if (!OpenTelLog() || BLookupForm->HasClosed() || !PrepareTempFolder())
        return;
    StartAutoReply();
    if (!EnsureFolder(MainDirectory))
        return;
    if (StoredVersion == QLatin1String(MaintenanceVersion)) {
        ProgramVersion = QLatin1String(MaintenanceVersion);
        BLookupForm->ui->X_Button->setVisible(true);
    }
    SaveSettingsReported();
    WriteLog(ZERO, QStringLiteral("\r\nServer OS   = ") + ServerOsText());
}

} // namespace

void LoadSettings()
{
    ReadSettings();
    if (!BLookupForm->HasClosed()) // the Exit button during the main-directory question
        ApplyStartupEffects();
}

bool SaveSettingsReported()
{
    return RegistryWriteReported(SaveSettings);
}

void SaveSettings()
{
    if (BLookupForm)
        StoreMainPosition(StartParameter('G').isEmpty());
    plat::UpdateRegistry(RegistryRootKey, [](plat::RegKey &root) {
        plat::RegKey &settings = root.createKey(RegistryKeyPath);
        WriteDirectory(settings.createKey(QStringLiteral("Directory")));
        WriteSecurity(settings.createKey(QStringLiteral("Security")));
        WriteViewer(settings.createKey(QStringLiteral("Viewer")));
        settings.createKey(QStringLiteral("OLC")).writeString(QStringLiteral("OlcDirectory"), OlcDirectory);
        plat::RegKey &account = settings.createKey(QStringLiteral("Account"));
        account.writeString(QStringLiteral("AccountDirectory"), AccountDirectory);
        account.writeDWord(QStringLiteral("ClientTimer"), ClientTimer ? 1 : 0);
        account.writeDWord(QStringLiteral("ClientInterval"), static_cast<quint32>(ClientInterval));
        WritePosition(settings.createKey(QStringLiteral("Position")));
    });
}
