#pragma once
// The activity log and the small text helpers shared by every subsystem.
#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

class QPlainTextEdit;

// Log levels; a line is shown when its level is at most LogLebelNumber.
enum LogLevel : int { ZERO = 0, ALPHA = 1, BETA = 2, GAMMA = 3, DELTA = 4 };

// The configured level (LogLebel setting) as a number; 1 for an unknown name.
extern std::atomic<int> LogLebelNumber;

// Mirrors the main window's "Save Log" check box: lines also go to the log
// file (LogDirectory + "/" + LogFileName) while it is set.
extern std::atomic<bool> LogToFile;

// The system's descriptor of the log file as last opened (-1 before).
extern std::atomic<int> LastLogFileHandle;

// The level number of a LogLebel name ("ZERO".."DELTA", exact case); -1 when unknown.
int LogLevelFromName(const QString &name);

// Adds a shown line to the memo and, while LogToFile is set, appends it to the
// log file under LogLock. Callable from any thread; never throws. A log file
// that cannot be written turns LogToFile off and says so once in the memo.
void WriteLog(int level, const QString &text);
// As WriteLog, memo only.
void ShowLog(int level, const QString &text);
void LogBanner(const QString &text);
void LogConnection(const QString &kind, const QString &address, const QString &name);

// The memo that receives shown lines (the main window's LookupMemo); lines
// written before it is set, or from other threads, reach it in call order.
// With a null memo lines wait for the next one; once the memo set here has
// been destroyed, lines are dropped.
void SetLogMemo(QPlainTextEdit *memo);

// Appends text + CRLF to a log file under LogLock (CP932). False when the
// file cannot be opened or written; never truncates an existing file.
bool AppendLogFileLine(const QString &path, const QString &text);

// The lines that start a log file: two empty lines, "Kalvex Log Start  << "
// date - time " >>" and an empty line. False when the file cannot be written.
bool AppendLogStartLines(const QString &path);

// Signals of the log for the main window (emitted on the GUI thread).
class LogNotifier : public QObject {
    Q_OBJECT
public:
    static LogNotifier &instance();
signals:
    // The log file could not be written and LogToFile went off.
    void logFileFailed();
};

int VersionNumber(const QString &text);
// A file name that came from a peer, a server or a record, checked for use
// as a plain name in a folder of ours: the name itself when it is safe, else
// empty. Refused are "", "." and "..", a "/" or "\" character (a CP932 trail
// byte 0x5C belongs to its character and is none), a drive prefix ("C:"),
// control characters, text that is no CP932, and more than the 80 bytes of a
// record's FileName. Dots elsewhere are fine ("v1..2.txt").
QString SafeBaseName(const QString &name);
// The version number in characters 5 to 7 of an OLCP version line ("OLCP303L" -> 303).
int PeerVersionNumber(const QString &versionLine);
QString ZeroPad(const QString &text, int width);
QString IntToZeroStr(qint64 number, int width);
// Works on the CP932 form of the text, so widths are byte widths.
QString PadString(const QString &text, int width, bool padAfter);
// Days since 1899-12-30; the current date and time when the text does not parse.
double ParseDateText(const QString &text);

// Password transforms work on raw bytes (the converted form is not text).
QByteArray ConvertPassword(const QByteArray &password);
QByteArray HexEncode(const QByteArray &bytes);
QByteArray HexDecode(const QByteArray &text);
// The registry form of a hex-encoded password: 40 or more hexadecimal digits.
// Only the first 16 characters fit its header; an empty text stays empty.
QByteArray EncodeStoredPassword(const QByteArray &text);
// An empty result for a text whose header does not read.
QByteArray DecodeStoredPassword(const QByteArray &text);

// The viewer table's comma list of extensions. Parsing appends one loaded
// entry per non-empty item while the table has room; building joins the
// lower-cased extensions, without the deleted ones when skipDeleted is set.
void ParseViewerList(const QString &list);
QString BuildViewerList(bool skipDeleted);
