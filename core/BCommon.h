#pragma once
// The activity log and the small text helpers shared by every subsystem.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <mutex>

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
// log file under LogLock. Callable from any thread; never throws. Control
// characters are shown escaped (EscapeControls), CR LF pairs excepted: text
// from a peer cannot start a line of its own nor reach a terminal as an
// escape sequence. A line that cannot be written to the file is counted;
// saving stays on, and the first line that can be written again is preceded
// by one that says how many were lost.
void WriteLog(int level, const QString &text);
// As WriteLog, memo only.
void ShowLog(int level, const QString &text);
void LogBanner(const QString &text);
void LogConnection(const QString &kind, const QString &address, const QString &name);

// Each control character (C0, DEL, C1) of text as "\x" and two upper-case
// hexadecimal digits ("\x0A", "\x1B"); with keepLineBreaks, CR LF pairs stay.
QString EscapeControls(const QString &text, bool keepLineBreaks = false);

// The length of the windows in which RateWindows counts: a second; a test seam.
extern std::atomic<int> RateWindowMs;

// Counts events per key in windows of RateWindowMs and admits at most
// perWindow of them in each. Keys whose window has passed are forgotten; while
// MaxKeys keys are counted, further keys share one overflow key, so a flood
// from forged sources cannot grow the table. Thread-safe.
class RateWindows {
public:
    static constexpr int MaxKeys = 4096;
    explicit RateWindows(int perWindow) : perWindow_(perWindow) {}

    struct Verdict {
        bool admitted = false;
        // Events of the key refused in its previous window, reported once by
        // the first event of the next window.
        qint64 refusedBefore = 0;
    };
    // note is kept with the key's window and handed back by Expire.
    Verdict Admit(const QString &key, int note = 0);

    struct Refused {
        QString key;
        qint64 count = 0;
        int note = 0;
    };
    // Forgets the windows that have passed, at most once per window length;
    // returns those that refused events.
    QList<Refused> Expire();

private:
    struct Window {
        qint64 start = 0;
        int admitted = 0;
        qint64 refused = 0;
        int note = 0;
    };
    QList<Refused> ExpireLocked(qint64 now);

    const int perWindow_;
    std::mutex mutex_;
    QHash<QString, Window> windows_;
    qint64 lastExpiry_ = 0;
};

// A line that peers can make the program repeat at will (a refused
// connection, an empty datagram, a remote message) goes through here: at most
// one line per kind and source each second reaches the log (WriteLog, or
// ShowLog when memoOnly). The lines held back are counted and reported as
// "... N more ... kind ; source" before the next line of that kind and
// source, or with the next summarized line of any kind once their second has
// passed.
void SummarizeLog(int level, const QString &kind, const QString &source, const QString &text, bool memoOnly = false);

// The memo that receives shown lines (the main window's LookupMemo); lines
// written before it is set, or from other threads, reach it in call order.
// With a null memo lines wait for the next one; once the memo set here has
// been destroyed, lines are dropped.
void SetLogMemo(QPlainTextEdit *memo);

// Appends text + CRLF to a log file under LogLock (CP932). False when the
// file cannot be opened or written, and then nothing of the line stays in the
// file; never truncates what was there.
bool AppendLogFileLine(const QString &path, const QString &text);

// The lines that start a log file: two empty lines, "Kalvex Log Start  << "
// date - time " >>" and an empty line. False when the file cannot be written.
bool AppendLogStartLines(const QString &path);

// Lines the log file has lost since it last could be written.
qint64 LostLogLines();

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
