#pragma once
// Start parameters (Kalvex.ini and the command line) and the registry settings
// of the main program: one global per setting, named after its registry value.
#include "platform/Registry.h"
#include "platform/Synchronized.h"

#include <QRect>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

// ---- start parameters ------------------------------------------------------

extern QString ProgramDirectory;             // folder of the program, no trailing "/"
extern quintptr ApplicationHandle;           // sent with "Kalvex Open"
extern std::uint8_t RegistryChoice;          // [Registry] Kalvex: 1 current user, 2 local machine
constexpr int StartParameterCount = 11;      // slots A..K
extern std::array<QString, StartParameterCount> StartParameters;

// The slot of a letter 'A'..'K'.
QString &StartParameter(char letter);
bool StartParameterIsOne(char letter); // the slot's text is exactly "1"

// Reads Kalvex.ini in the program's folder (the folder is an argument so tests
// can use their own).
void LoadIniFile(const QString &programDirectory);
void ParseCommandLine(const QStringList &arguments); // without the program name

// ---- registry settings -----------------------------------------------------
//
// The settings are written on the GUI thread. Those that server and client
// threads read as well (the TEL log pair, the passwords, the chime, the
// auto-reply file and the editor that the configuration window edits beside
// them) are plat::Synchronized: a thread reads a copy, never the global
// while the GUI thread writes it.

extern plat::RootKey RegistryRootKey;
extern QString RegistryKeyPath;   // prefix + "Kalvex"
extern QString RegistryPathText;  // root name + "\" + RegistryKeyPath

extern QString ProgramVersion;    // version label + "R", or "QZ" in maintenance mode
extern QString StoredVersion;     // Directory\Version as found at start-up ("" when none)
// The version text that header records carry (host list, TEL log and the
// other stores): the version label's text with its "R", in maintenance mode too.
QString HeaderVersionText();
constexpr const char *MaintenanceVersion = "QZ";
constexpr const char *OlcpVersionText = "OLCP303L";

// Directory
extern QString MainDirectory, LogDirectory, TextDirectory, SendDirectory, ListDirectory, TempDirectory,
    StayDirectory;
// The folder and base name of the TEL log pair.
extern plat::Synchronized<QString> TelegDirectory, TelegFileName;
extern QString LogFileName, ListFileName, LastEditFile;
extern QString LogLebel;
extern QString QuotationMark;
extern plat::Synchronized<QString> ArrivalChime, CustomEditor;
extern qint32 TelegPointer;
// Set by server and client threads when a much newer peer was seen.
extern std::atomic<bool> ReqVersionUp;
extern bool RepeatTransmit, PlainTransmit;
extern qint32 TimeOutValue;

// Security: passwords in their ConvertPassword form (raw bytes).
extern bool PasswordsEncoded;
extern plat::Synchronized<QByteArray> MySelfPW, TELPW, OLCPW;

// Viewer
extern bool ImageViewer;
extern qint32 HtmlViewer;
extern bool UsingWindows95, ViewingDirect;
extern bool UseWebBrowser, UseHtmlControl;

// Position
enum class WindowState { Normal = 0, Maximized = 1, Minimized = 2 };
struct MainWindowPosition {
    int Top = 0, Left = 0, Height = 450, Width = 550;
    WindowState State = WindowState::Normal;
};
extern MainWindowPosition MainPosition;

// OLC and Account
extern QString OlcDirectory, OlcClientDirectory;
extern QString AccountDirectory, AccClientDirectory;
// Read by the UDP server thread.
extern std::atomic<bool> ClientTimer;
extern qint32 ClientInterval;

// Work files in the TempDirectory, and the file that answers in auto-reply
// mode in place of the two message files (start parameter F).
extern QString AutoReplyRichFile, AutoReplyPlainFile, LastSentTextFile;
extern plat::Synchronized<QString> AutoReplyFile;

// The startup sound of the desktop's sound scheme ("" when none).
QString GetStartupSoundFile();

// Asks whether the program's folder becomes the main directory in place of the
// one stored in the registry; true for yes. A message box unless replaced (tests).
extern std::function<bool()> AskMainDirectoryChange;

// A path from the settings as the program uses it: a relative one lies in
// the MainDirectory. The program never changes its current folder, so a
// relative path must never reach a file call unresolved.
QString ResolveSettingPath(const QString &path);

// Reads every setting from the registry (creating the key on the first start),
// then brings the windows and the log file into the state they describe.
void LoadSettings();
// The reading part of LoadSettings alone.
void ReadSettings();
// Writes every setting back. Throws plat::RegistryError when the registry
// cannot be written.
void SaveSettings();
// SaveSettings for start-up and close: a registry error is logged at level 1
// and shown, and false returned.
bool SaveSettingsReported();
