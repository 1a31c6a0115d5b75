#include "core/BCommon.h"

#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BViewlst.h"
#include "core/MessageRecord.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/WinMessages.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>

std::atomic<int> LogLebelNumber{ALPHA};
std::atomic<bool> LogToFile{false};
std::atomic<int> LastLogFileHandle{-1};

namespace {

// The memo keeps this many lines; older ones scroll away. Lines waiting for a
// memo are capped the same way, since the memo could not hold more anyway.
constexpr int MemoLineLimit = 5000;

// Lines on their way to the memo. Any thread appends; only the GUI thread
// takes them out and touches the memo, one line at a time, so the memo sees
// the lines in call order even when appending a line re-enters the log.
struct MemoQueue {
    std::mutex mutex;
    std::deque<QString> pending;
    bool flushPosted = false;
    // GUI thread only.
    bool attached = false;
    QPointer<QPlainTextEdit> memo;
};

MemoQueue &memoQueue()
{
    static MemoQueue queue;
    return queue;
}

// Moves the waiting lines into the memo (GUI thread). Without a memo they keep
// waiting; a memo that has been destroyed drops them.
void flushMemo()
{
    MemoQueue &q = memoQueue();
    for (;;) {
        QString line;
        {
            std::lock_guard lock(q.mutex);
            if (!q.attached || q.pending.empty()) {
                q.flushPosted = false;
                return;
            }
            if (!q.memo) {
                q.pending.clear();
                q.flushPosted = false;
                return;
            }
            line = std::move(q.pending.front());
            q.pending.pop_front();
        }
        q.memo->appendPlainText(line);
    }
}

void addMemoLine(const QString &text)
{
    MemoQueue &q = memoQueue();
    const bool gui = plat::IsGuiThread();
    bool post = false;
    {
        std::lock_guard lock(q.mutex);
        // The memo breaks lines itself; a CR left in would show as a stray mark.
        q.pending.push_back(QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")));
        if (q.pending.size() > static_cast<size_t>(MemoLineLimit))
            q.pending.pop_front();
        if (!gui && !q.flushPosted && QCoreApplication::instance())
            q.flushPosted = post = true;
    }
    if (gui)
        flushMemo();
    else if (post)
        plat::PostToGuiThread(&flushMemo);
}

// Lines lost since the log file could last be written, and the file the memo
// last said so of; guarded by LogLock.
qint64 lostLogLines = 0;
QString failedLogPath;

// A line that cannot be written is counted, and saving stays on: a disk that
// was full for a moment must not end the log. The memo says so once per file
// until that file can be written again, and the first line written again
// says how many were lost, in the same append.
void writeLogFile(const QString &text)
{
    std::lock_guard lock(LogLock);
    const QString path = LogDirectory + QLatin1Char('/') + LogFileName;
    const QString lost = QStringLiteral("*** Log File Error : %1 lines lost ***").arg(lostLogLines);
    if (AppendLogFileLine(path, lostLogLines > 0 ? lost + QStringLiteral("\r\n") + text : text)) {
        lostLogLines = 0;
        if (path == failedLogPath)
            failedLogPath.clear();
        return;
    }
    ++lostLogLines;
    if (path != failedLogPath) {
        failedLogPath = path;
        addMemoLine(QStringLiteral("*** Log File Error : ") + path + QStringLiteral(" : lines are lost ***"));
    }
}

QString repeated(char c, int count)
{
    return QString(count, QLatin1Char(c));
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

constexpr char HexDigits[] = "0123456789ABCDEF";

char randomHexDigit()
{
    return HexDigits[QRandomGenerator::global()->bounded(16)];
}

// The header holds L - 1 in one hexadecimal digit.
constexpr int StoredPasswordMaxLength = 16;
constexpr int StoredPasswordHeaderLength = 4;
constexpr int StoredPasswordMinLength = 40;

} // namespace

int LogLevelFromName(const QString &name)
{
    static const QStringList names = {QStringLiteral("ZERO"), QStringLiteral("ALPHA"), QStringLiteral("BETA"),
                                      QStringLiteral("GAMMA"), QStringLiteral("DELTA")};
    return names.indexOf(name);
}

void WriteLog(int level, const QString &text)
{
    try {
        if (level > LogLebelNumber)
            return;
        const QString line = EscapeControls(text, true);
        addMemoLine(line);
        if (LogToFile)
            writeLogFile(line);
    } catch (...) {
        // The log is the last resort for reporting trouble; it must not add any.
    }
}

void ShowLog(int level, const QString &text)
{
    try {
        if (level <= LogLebelNumber)
            addMemoLine(EscapeControls(text, true));
    } catch (...) {
    }
}

// The three lines of a banner go out in one call, so banners written by
// several threads at once never mix their lines.
void LogBanner(const QString &text)
{
    const QString stars = repeated('*', 35);
    WriteLog(ZERO, QStringLiteral("\r\n") + stars + QStringLiteral("\r\n") + text + QStringLiteral("\r\n") + stars +
                       QStringLiteral("\r\n"));
}

void LogConnection(const QString &kind, const QString &address, const QString &name)
{
    const QString hyphens = repeated('-', 35);
    WriteLog(ZERO, QStringLiteral("\r\n") + hyphens + QStringLiteral("\r\n") + kind + QStringLiteral(" to    [[ ") +
                       address + QStringLiteral(" ]]  ") + name + QStringLiteral("\r\n") + hyphens);
}

void SetLogMemo(QPlainTextEdit *memo)
{
    MemoQueue &q = memoQueue();
    {
        std::lock_guard lock(q.mutex);
        q.memo = memo;
        q.attached = memo != nullptr;
    }
    if (memo)
        memo->setMaximumBlockCount(MemoLineLimit);
    flushMemo();
}

bool AppendLogFileLine(const QString &path, const QString &text)
{
    const QByteArray line = plat::ToCp932(text) + QByteArrayLiteral("\r\n");
    std::lock_guard lock(LogLock);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    LastLogFileHandle = file.handle();
    const qint64 before = file.size();
    if (file.write(line) == line.size() && file.flush())
        return true;
    // A full disk may take part of the line: that part goes again, so the
    // next line does not continue a cut one.
    if (!file.isSequential())
        file.resize(before);
    return false;
}

qint64 LostLogLines()
{
    std::lock_guard lock(LogLock);
    return lostLogLines;
}

QString EscapeControls(const QString &text, bool keepLineBreaks)
{
    QString escaped;
    escaped.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.category() != QChar::Other_Control) {
            escaped.append(c);
            continue;
        }
        if (keepLineBreaks && c == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n')) {
            escaped.append(QLatin1String("\r\n"));
            ++i;
            continue;
        }
        escaped.append(QStringLiteral("\\x") + QString::number(c.unicode(), 16).rightJustified(2, QLatin1Char('0')).toUpper());
    }
    return escaped;
}

std::atomic<int> RateWindowMs{1000};

namespace {

qint64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Shared by the keys that find the table full.
const QString OverflowKey = QStringLiteral("(many sources)");

} // namespace

RateWindows::Verdict RateWindows::Admit(const QString &key, int note)
{
    const qint64 now = NowMs();
    std::lock_guard lock(mutex_);
    auto it = windows_.find(key);
    if (it == windows_.end()) {
        // The refused counts of such a crowd go unreported.
        if (windows_.size() >= MaxKeys && now - lastExpiry_ >= RateWindowMs)
            ExpireLocked(now);
        const QString &slot = windows_.size() < MaxKeys ? key : OverflowKey;
        it = windows_.find(slot);
        if (it == windows_.end())
            it = windows_.insert(slot, Window{now, 0, 0, note});
    }
    Verdict verdict;
    if (now - it->start >= RateWindowMs) {
        verdict.refusedBefore = it->refused;
        *it = Window{now, 0, 0, note};
    }
    verdict.admitted = it->admitted < perWindow_;
    if (verdict.admitted)
        ++it->admitted;
    else
        ++it->refused;
    return verdict;
}

QList<RateWindows::Refused> RateWindows::Expire()
{
    const qint64 now = NowMs();
    std::lock_guard lock(mutex_);
    if (now - lastExpiry_ < RateWindowMs)
        return {};
    return ExpireLocked(now);
}

QList<RateWindows::Refused> RateWindows::ExpireLocked(qint64 now)
{
    lastExpiry_ = now;
    QList<Refused> refused;
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (now - it->start < RateWindowMs) {
            ++it;
            continue;
        }
        if (it->refused > 0)
            refused.append(Refused{it.key(), it->refused, it->note});
        it = windows_.erase(it);
    }
    return refused;
}

namespace {

// A summarized line's level and sink travel with its window as one note.
constexpr int MemoOnlyNote = 0x100;

void writeLine(int note, const QString &text)
{
    const int level = note & 0xFF;
    (note & MemoOnlyNote) ? ShowLog(level, text) : WriteLog(level, text);
}

void writeMore(int note, const QString &key, qint64 count)
{
    writeLine(note, QStringLiteral("... %1 more ... ").arg(count) + key);
}

} // namespace

void SummarizeLog(int level, const QString &kind, const QString &source, const QString &text, bool memoOnly)
{
    if (level > LogLebelNumber)
        return;
    static RateWindows windows(1);
    for (const RateWindows::Refused &expired : windows.Expire())
        writeMore(expired.note, expired.key, expired.count);
    const int note = (level & 0xFF) | (memoOnly ? MemoOnlyNote : 0);
    const QString key = kind + QStringLiteral(" ; ") + source;
    const RateWindows::Verdict verdict = windows.Admit(key, note);
    if (verdict.refusedBefore > 0)
        writeMore(note, key, verdict.refusedBefore);
    if (verdict.admitted)
        writeLine(note, text);
}

bool AppendLogStartLines(const QString &path)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString started = QStringLiteral("Kalvex Log Start  << ") + plat::FormatShortDate(now) + QStringLiteral(" - ") +
                            plat::FormatLongTime(now) + QStringLiteral(" >>");
    return AppendLogFileLine(path, QStringLiteral("\r\n\r\n") + started + QStringLiteral("\r\n"));
}

QString SafeBaseName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return {};
    // Decoded text: a CP932 trail byte 0x5C is part of its character here and
    // no longer reads as "\".
    const bool separatorOrControl = std::any_of(name.cbegin(), name.cend(), [](QChar c) {
        return c == u'/' || c == u'\\' || c.unicode() < 0x20 || c.unicode() == 0x7F;
    });
    const bool drivePrefix = name.size() >= 2 && name[1] == u':' && name[0].isLetter() && name[0].unicode() < 0x80;
    // Text that is no CP932 could not be kept in a record as it is named on disk.
    const QByteArray bytes = plat::ToCp932(name);
    if (separatorOrControl || drivePrefix || plat::FromCp932(bytes) != name ||
        bytes.size() > MessageRecordCapacity::FileName)
        return {};
    return name;
}

int PeerVersionNumber(const QString &versionLine)
{
    return VersionNumber(versionLine.mid(4, 3));
}

int VersionNumber(const QString &text)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    return ok ? number : 0;
}

QString ZeroPad(const QString &text, int width)
{
    if (width <= 0)
        return {};
    if (text.size() < width)
        return repeated('0', width - text.size()) + text;
    return text.right(width);
}

QString IntToZeroStr(qint64 number, int width)
{
    return ZeroPad(QString::number(number), width);
}

QString PadString(const QString &text, int width, bool padAfter)
{
    if (width <= 0)
        return {};
    const QByteArray bytes = plat::ToCp932(text);
    if (bytes.size() < width) {
        const QByteArray blanks(width - bytes.size(), ' ');
        return plat::FromCp932(padAfter ? bytes + blanks : blanks + bytes);
    }
    // A double-byte character that would be split by the cut gives way to a blank.
    QByteArray cut = plat::CutCp932(bytes, width);
    cut.append(width - cut.size(), ' ');
    return plat::FromCp932(cut);
}

double ParseDateText(const QString &text)
{
    QString dateText = text;
    if (dateText.indexOf(QLatin1Char('/')) == 2 && dateText.startsWith(QLatin1Char('9')))
        dateText.prepend(QStringLiteral("19"));
    QDateTime parsed;
    if (!plat::ParseShortDate(dateText, parsed))
        return plat::DayDateNow();
    return plat::ToDayDate(parsed);
}

QByteArray ConvertPassword(const QByteArray &password)
{
    QByteArray converted = password;
    for (int i = 0; i < converted.size(); ++i)
        converted[i] = static_cast<char>(static_cast<unsigned char>(converted[i]) ^ ((142 - i) & 0xFF));
    return converted;
}

QByteArray HexEncode(const QByteArray &bytes)
{
    return bytes.toHex().toUpper();
}

QByteArray HexDecode(const QByteArray &text)
{
    QByteArray bytes;
    bytes.reserve(text.size() / 2);
    for (int i = 0; i + 1 < text.size(); i += 2) {
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        bytes.append(high < 0 || low < 0 ? '\0' : static_cast<char>(high * 16 + low));
    }
    return bytes;
}

QByteArray EncodeStoredPassword(const QByteArray &text)
{
    // The header has room for 16 characters (8 password bytes in hex form).
    const QByteArray body = text.left(StoredPasswordMaxLength);
    if (body.isEmpty())
        return {};
    const char lengthDigit = HexDigits[body.size() - 1];
    QByteArray stored;
    const char first = randomHexDigit();
    stored.append(first);
    if (hexDigitValue(first) % 2 == 1) {
        stored.append(lengthDigit);
        stored.append(randomHexDigit());
        stored.append(randomHexDigit());
    } else {
        stored.append(randomHexDigit());
        stored.append(lengthDigit);
        stored.append(randomHexDigit());
    }
    for (char c : body) {
        stored.append(randomHexDigit());
        stored.append(c);
    }
    while (stored.size() < StoredPasswordMinLength)
        stored.append(randomHexDigit());
    return stored;
}

QByteArray DecodeStoredPassword(const QByteArray &text)
{
    // The stored text comes from a registry file that may have been edited:
    // a header that does not read gives an empty password.
    if (text.size() <= StoredPasswordHeaderLength)
        return {};
    const int first = hexDigitValue(text[0]);
    if (first < 0)
        return {};
    const int lengthDigit = hexDigitValue(text[first % 2 == 1 ? 1 : 2]);
    if (lengthDigit < 0)
        return {};
    const int length = lengthDigit + 1;
    QByteArray body;
    for (int i = StoredPasswordHeaderLength + 1; i < text.size() && body.size() < length; i += 2)
        body.append(text[i]);
    return body;
}

void ParseViewerList(const QString &list)
{
    for (const QString &item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (ViewerCount >= ViewerTableSize)
            return; // the table is full: further items are dropped
        ViewerTable[ViewerCount] = ViewerEntry{item, QString(), ViewerLoaded};
        ++ViewerCount;
    }
}

QString BuildViewerList(bool skipDeleted)
{
    QStringList extensions;
    const int count = qBound(1, ViewerCount, ViewerTableSize);
    for (int i = 1; i < count; ++i) {
        const ViewerEntry &entry = ViewerTable[i];
        if (skipDeleted && entry.State > ViewerAdded)
            continue;
        extensions.append(entry.Extension.toLower());
    }
    return extensions.join(QLatin1Char(','));
}
