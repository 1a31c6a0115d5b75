#include "core/BRegistr.h"

QString ProgramDirectory;
quintptr ApplicationHandle = 0;
std::uint8_t RegistryChoice = 0;
std::array<QString, StartParameterCount> StartParameters;

plat::RootKey RegistryRootKey = plat::RootKey::CurrentUser;
QString RegistryKeyPath = QStringLiteral("Software\\ZK\\");
QString RegistryPathText;

QString ProgramVersion;
QString StoredVersion;

QString MainDirectory, LogDirectory, TextDirectory, SendDirectory, TelegDirectory, ListDirectory,
    TempDirectory, StayDirectory;
QString LogFileName = QStringLiteral("Kalvex.log");
QString TelegFileName = QStringLiteral("Teleg000");
QString ListFileName = QStringLiteral("Kalvex.lst");
QString LastEditFile = QStringLiteral("Recent.txt");
QString LogLebel;
QString QuotationMark = QStringLiteral(">>");
QString ArrivalChime, CustomEditor;
qint32 TelegPointer = 1;
bool ReqVersionUp = false, RepeatTransmit = false, PlainTransmit = false;
qint32 TimeOutValue = 3600000;

bool PasswordsEncoded = false;
QByteArray MySelfPW, TELPW, OLCPW;

bool ImageViewer = true;
qint32 HtmlViewer = 0;
bool UsingWindows95 = false, ViewingDirect = true;
bool UseWebBrowser = true, UseHtmlControl = false;

MainWindowPosition MainPosition;

QString OlcDirectory, OlcClientDirectory;
QString AccountDirectory, AccClientDirectory;
bool ClientTimer = true;
qint32 ClientInterval = 10;
