// The maintenance commands of the OLC log window on the files of one server's
// local store, and the menu handlers that ask for them.
#include "olc/BOlcLogMnt.h"

#include "olc/BOlcLog.h"

#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "core/MessageRecord.h"
#include "platform/DayDate.h"
#include "platform/PairReplace.h"
#include "platform/RecordFile.h"
#include "platform/ShortString.h"
#include "platform/WinSock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QHash>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <set>
#include <unistd.h>
#include <vector>

QHash<QString, int> OlcOpenServerFolders;

namespace {

namespace O = MessageRecordOffset;
namespace C = MessageRecordCapacity;
constexpr int RecordSize = MessageRecord::Size;
// Bodies are copied in pieces of at most this many bytes.
constexpr qint64 CopyPiece = 65536;

bool Fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

QString FolderKey(const QString &serverFolder)
{
    return QDir::cleanPath(QFileInfo(serverFolder).absoluteFilePath());
}

// One stored record as its 400 bytes: maintenance changes single fields and
// writes everything else back exactly as it was read.
struct Image {
    QByteArray bytes;

    qint32 get(int offset) const { return qFromLittleEndian<qint32>(bytes.constData() + offset); }
    void set(int offset, qint32 value) { qToLittleEndian<qint32>(value, bytes.data() + offset); }
    std::uint8_t byte(int offset) const { return std::uint8_t(bytes.at(offset)); }
    void setByte(int offset, std::uint8_t value) { bytes[offset] = char(value); }
    QByteArray raw(int offset, int capacity) const { return plat::DecodeShortBytes(bytes.constData() + offset, capacity); }
    QString text(int offset, int capacity) const { return plat::DecodeShortString(bytes.constData() + offset, capacity); }
    bool isFile() const { return byte(O::Flags) & MessageRecord::FileFlag; }
    bool erased() const { return byte(O::Erased) != 0; }
};

// Every whole record of a record file; a trailing partial record is ignored.
bool ReadImages(const QString &path, std::vector<Image> &images, QString *error)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return Fail(error, QStringLiteral("cannot open ") + path);
    const QByteArray all = file.readAll();
    if (file.error() != QFile::NoError)
        return Fail(error, path + QStringLiteral(" : ") + file.errorString());
    images.clear();
    for (qsizetype k = 0; k + RecordSize <= all.size(); k += RecordSize)
        images.push_back(Image{all.mid(k, RecordSize)});
    return true;
}

bool OpenForReading(QFile &file, QString *error)
{
    if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly))
        return Fail(error, QStringLiteral("cannot open ") + file.fileName());
    return true;
}

bool WriteAll(QFile &file, const QByteArray &bytes, QString *error)
{
    if (file.write(bytes) != bytes.size())
        return Fail(error, file.fileName() + QStringLiteral(" : ") + file.errorString());
    return true;
}

// Copies bodies from a text file to the end of a work text file, checked
// against the text file's size, and points their records at the new place.
class BodyPacker {
public:
    BodyPacker(QFile &from, QFile &to) : from_(from), to_(to), size_(from.size()) {}

    // The body that a record's Start and Bytes give, when it lies inside the file.
    bool body(const Image &r, QByteArray &bytes, QString *error)
    {
        const qint64 start = r.get(O::Start), length = r.get(O::Bytes);
        if (start < 0 || length < 0 || start + length > size_)
            return Fail(error, QStringLiteral("message %1 lies outside ").arg(r.get(O::Number)) + from_.fileName());
        if (!from_.seek(start))
            return Fail(error, from_.fileName() + QStringLiteral(" : ") + from_.errorString());
        bytes.clear();
        while (bytes.size() < length) {
            const QByteArray piece = from_.read(std::min<qint64>(length - bytes.size(), CopyPiece));
            if (piece.isEmpty())
                return Fail(error, QStringLiteral("short read : ") + from_.fileName());
            bytes += piece;
        }
        return true;
    }

    bool copy(Image &r, QString *error)
    {
        QByteArray bytes;
        if (!body(r, bytes, error))
            return false;
        if (offset_ + bytes.size() > std::numeric_limits<qint32>::max())
            return Fail(error, to_.fileName() + QStringLiteral(" is full"));
        if (!WriteAll(to_, bytes, error))
            return false;
        r.set(O::Start, qint32(offset_));
        offset_ += bytes.size();
        return true;
    }

private:
    QFile &from_, &to_;
    const qint64 size_;
    qint64 offset_ = 0;
};

// Removes files of the store: only regular files directly inside their
// expected folder; an empty path (an unsafe name) is skipped.
void RemoveStoreFiles(const QString &folder, const QStringList &paths)
{
    const QString inside = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!path.isEmpty() && info.isFile() && !info.isSymLink() && QDir::cleanPath(info.absolutePath()) == inside)
            QFile::remove(path);
    }
}

QString AttachmentOf(const OlcMaintenanceBoard &board, const Image &r)
{
    return board.server.attachment(board.key, r.get(O::Number), r.text(O::FileName, C::FileName));
}

QString LinkAttachmentOf(const olc::ServerFolder &server, const Image &r)
{
    return server.linkAttachment(r.text(O::AuxText2, C::AuxText2), r.get(O::LinkHolder), r.get(O::ReplyTo),
                                 r.text(O::FileName, C::FileName));
}

// Maintenance runs only on a store no client or reader window writes meanwhile.
bool CheckServer(const olc::ServerFolder &server, QString *error)
{
    if (!server.valid())
        return Fail(error, QStringLiteral("no local store for this host"));
    if (OlcServerFolderInUse(server.path()))
        return Fail(error, QStringLiteral("an OLC window of this server is open"));
    return true;
}

bool CheckBoard(const OlcMaintenanceBoard &board, QString *error)
{
    if (!CheckServer(board.server, error))
        return false;
    if (!board.server.usableBoardKey(board.key))
        return Fail(error, QStringLiteral("board key collides with the store's files : ") + EscapeControls(board.key));
    return true;
}

bool WriteImages(QFile &file, const std::vector<Image> &images, QString *error)
{
    for (const Image &image : images)
        if (!WriteAll(file, image.bytes, error))
            return false;
    return true;
}

// ---- flat log -----------------------------------------------------------------------

QByteArray Line(const char *label, const QByteArray &value)
{
    return QByteArray(label) + value + "\r\n";
}

QByteArray Latin(const QString &text)
{
    return text.toLatin1();
}

// One message as the flat log keeps it; body is the text body of a
// downloaded text message.
QByteArray FlatLogEntry(const Image &r, const QByteArray &body)
{
    const QDateTime when = plat::FromDayDate(qFromLittleEndian<double>(r.bytes.constData() + O::DateTime));
    quint32 address;
    std::memcpy(&address, r.bytes.constData() + O::Address, sizeof address);
    QByteArray entry = "\r\n\r\n" + QByteArray(50, '=') + "\r\n";
    entry += Line("Number   : ", Latin(IntToZeroStr(r.get(O::Number), 5)));
    entry += Line("Title    : ", r.raw(O::Title, C::Title));
    entry += Line("IP Addr  : ", Latin(plat::inet_ntoa(address)));
    entry += Line("Handle   : ", r.raw(O::Handle, C::Handle));
    entry += Line("User ID  : ", r.raw(O::UserId, C::UserId));
    entry += Line("DateTime : ", Latin(plat::FormatShortDate(when) + QLatin1Char(' ') + plat::FormatLongTime(when)));
    entry += Line("Bytes    : ", Latin(IntToZeroStr(r.get(O::Bytes), 9)));
    entry += QByteArray(50, '-') + "\r\n\r\n";
    if (r.byte(O::Deleted))
        entry += "<<Deleted>>\r\n";
    else if (r.get(O::Start) < 0)
        entry += "<<Not Downloaded>>\r\n";
    else if (r.isFile())
        entry += Line("FileName : ", r.raw(O::FileName, C::FileName));
    else
        entry += body;
    entry += "\r\n" + QByteArray(30, '-') + "<< End of Message >>\r\n";
    return entry;
}

// Appends to the flat log, creating it when missing, and makes it durable;
// a failure takes back what was appended, and a log it created.
class FlatLogAppend {
public:
    explicit FlatLogAppend(QString path) : path_(std::move(path)) {}
    ~FlatLogAppend()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool append(const QByteArray &bytes, QString *error)
    {
        const QFileInfo info(path_);
        if (info.exists() && (!info.isFile() || info.isSymLink()))
            return Fail(error, path_ + QStringLiteral(" is no regular file"));
        created_ = !info.exists();
        fd_ = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return Fail(error, QStringLiteral("cannot open ") + path_);
        oldSize_ = ::lseek(fd_, 0, SEEK_END);
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
            if (n <= 0) {
                takeBack();
                return Fail(error, QStringLiteral("cannot write ") + path_);
            }
            done += n;
        }
        if (!plat::SyncFile(fd_)) {
            takeBack();
            return Fail(error, QStringLiteral("cannot write ") + path_);
        }
        return true;
    }

    void takeBack()
    {
        if (created_)
            ::unlink(QFile::encodeName(path_).constData());
        else if (fd_ >= 0 && oldSize_ >= 0 && ::ftruncate(fd_, oldSize_) == 0)
            plat::SyncFile(fd_);
    }

private:
    const QString path_;
    int fd_ = -1;
    off_t oldSize_ = -1;
    bool created_ = false;
};

// ---- link store -----------------------------------------------------------------------

// Rebuilds the link index in memory: the link records still reached from
// their holder messages, in the order their holders are met, with the
// pointers to them renumbered. Records already taken and holders already
// handled are remembered here, never marked in the files, and the holders'
// new pointers are only collected: nothing is written before the new link
// files are complete.
class LinkCompactor {
public:
    LinkCompactor(const olc::ServerFolder &server, const std::vector<Image> &links, BodyPacker &bodies)
        : server_(server), links_(links), bodies_(bodies), taken_(links.size(), false)
    {
    }

    // Holders are taken in the order of their first link record that stays
    // (neither deleted nor erase-marked); then the holders of only dropped
    // records, whose pointers become 0.
    bool run(QString *error)
    {
        for (const bool live : {true, false}) {
            for (size_t i = 1; i < links_.size(); ++i) {
                if (taken_[i] || (live && Dropped(links_[i])))
                    continue;
                const Holder holder{links_[i].text(O::AuxText2, C::AuxText2), links_[i].get(O::LinkHolder)};
                if (handled_.insert(holder).second && !keepChain(holder, error))
                    return false;
            }
        }
        return true;
    }

    // The new link index: the old header and the kept records.
    std::vector<Image> kept;
    // Per board key, the holder records (index in the board's index) whose
    // LinkIndex changes, with their new value.
    std::map<QString, std::map<qint64, qint32>> holderUpdates;
    std::map<QString, std::vector<Image>> boards;

private:
    using Holder = std::pair<QString, qint32>;

    bool keepChain(const Holder &holder, QString *error)
    {
        std::vector<Image> *board = loadBoard(holder.first);
        if (!board)
            return true; // its records are dropped
        qint64 at = -1;
        for (size_t r = 1; r < board->size() && at < 0; ++r)
            if ((*board)[r].get(O::Number) == holder.second)
                at = qint64(r);
        if (at < 0)
            return true;
        const qint32 p = (*board)[at].get(O::LinkIndex);
        if (p <= 0)
            return true;
        qint32 next = 0;
        if (!follow(holder, p, next, error))
            return false;
        if (next != p)
            holderUpdates[holder.first][at] = next;
        // The chain: each kept record points to the next kept one.
        for (qint32 q = links_[p].get(O::LinkIndex); next > 0 && q > 0;) {
            // By position: taking the next record may move the kept ones.
            const size_t last = kept.size() - 1;
            qint32 position = 0;
            if (!follow(holder, q, position, error))
                return false;
            kept[last].set(O::LinkIndex, position);
            if (position == 0)
                break;
            q = links_[q].get(O::LinkIndex);
        }
        return true;
    }

    // A link record that carries the server's Deleted mark or the erase mark.
    static bool Dropped(const Image &link) { return link.byte(O::Deleted) || link.erased(); }

    // Takes link record p for the holder when it is one of its own, neither
    // dropped nor taken already: its new position, else 0 (a pointer to it
    // becomes 0).
    bool follow(const Holder &holder, qint32 p, qint32 &position, QString *error)
    {
        position = 0;
        if (p <= 0 || size_t(p) >= links_.size() || taken_[p])
            return true;
        const Image &link = links_[p];
        if (link.text(O::AuxText2, C::AuxText2) != holder.first || link.get(O::LinkHolder) != holder.second ||
            Dropped(link))
            return true;
        Image copy = link;
        if (!copy.isFile() && copy.get(O::Start) >= 0 && !bodies_.copy(copy, error))
            return false;
        taken_[p] = true;
        position = qint32(kept.size());
        kept.push_back(copy);
        return true;
    }

    // The holder board's index, read once; null when the key names no board
    // of its own or its index cannot be read.
    std::vector<Image> *loadBoard(const QString &key)
    {
        auto found = boards.find(key);
        if (found == boards.end()) {
            std::vector<Image> images;
            if (!ReadImages(server_.boardIndex(key), images, nullptr))
                images.clear();
            found = boards.emplace(key, std::move(images)).first;
        }
        return found->second.empty() ? nullptr : &found->second;
    }

    const olc::ServerFolder &server_;
    const std::vector<Image> &links_;
    BodyPacker &bodies_;
    std::vector<bool> taken_;
    std::set<Holder> handled_;
};

// Link attachment files that no kept record names: every entry of the link
// folder except the link text file.
void RemoveOrphans(const olc::ServerFolder &server, const std::vector<Image> &kept)
{
    QSet<QString> named;
    for (size_t r = 1; r < kept.size(); ++r)
        named.insert(QFileInfo(LinkAttachmentOf(server, kept[r])).fileName());
    QStringList orphans;
    const QDir linkFolder(server.linkFolder());
    const QString textName = QFileInfo(server.linkText()).fileName();
    for (const QString &name : linkFolder.entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (name.compare(textName, Qt::CaseInsensitive) != 0 && !named.contains(name))
            orphans << linkFolder.filePath(name);
    RemoveStoreFiles(linkFolder.path(), orphans);
}

} // namespace

// ---- open server folders --------------------------------------------------------------

void OlcServerFolderOpened(const QString &serverFolder)
{
    ++OlcOpenServerFolders[FolderKey(serverFolder)];
}

void OlcServerFolderClosed(const QString &serverFolder)
{
    const auto found = OlcOpenServerFolders.find(FolderKey(serverFolder));
    if (found != OlcOpenServerFolders.end() && --found.value() <= 0)
        OlcOpenServerFolders.erase(found);
}

bool OlcServerFolderInUse(const QString &serverFolder)
{
    return OlcOpenServerFolders.contains(FolderKey(serverFolder));
}

// An index and its text file taken for a rewrite: the records read, the old
// text open for reading, and the work files that replace both, and any other
// file staged with them, all or nothing on commit.
struct PairRewrite {
    explicit PairRewrite(const olc::ServerFolder &server) : rewrite(server.workIntent()) {}

    std::vector<Image> records;
    QFile text;
    plat::PairReplace rewrite;
    QFile *workIndex = nullptr;
    QFile *workText = nullptr;

    bool open(const QString &indexPath, const QString &textPath, const olc::ServerFolder &server, QString *error)
    {
        text.setFileName(textPath);
        if (!ReadImages(indexPath, records, error) || !OpenForReading(text, error))
            return false;
        workIndex = rewrite.stage(indexPath, server.workIndex(), error);
        workText = workIndex ? rewrite.stage(textPath, server.workText(), error) : nullptr;
        return workText != nullptr;
    }
};

// ---- the commands -----------------------------------------------------------------------

void FinishOlcStoreRewrites()
{
    const QDir root(OlcClientDirectory);
    for (const QString &name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const olc::ServerFolder server(name);
        QString error;
        if (server.valid() && !plat::FinishPairReplace(server.workIntent(), &error))
            WriteLog(ALPHA, QStringLiteral("*** OLC Log Update Error : ") + error);
    }
}

bool CompactOlcBoard(const OlcMaintenanceBoard &board, QString *error)
{
    if (!CheckBoard(board, error))
        return false;
    PairRewrite pair(board.server);
    if (!pair.open(board.server.boardIndex(board.key), board.server.boardText(board.key), board.server, error))
        return false;
    BodyPacker bodies(pair.text, *pair.workText);
    QStringList attachments;
    for (size_t i = 1; i < pair.records.size(); ++i) {
        Image &r = pair.records[i];
        if (r.erased()) {
            r.setByte(O::Erased, 0);
            r.set(O::Start, -1);
            if (r.isFile())
                attachments << AttachmentOf(board, r);
        } else if (!r.isFile() && r.get(O::Start) >= 0 && !bodies.copy(r, error)) {
            return false;
        }
    }
    if (!WriteImages(*pair.workIndex, pair.records, error) || !pair.rewrite.commit(error))
        return false;
    RemoveStoreFiles(board.server.boardFolder(board.key), attachments);
    return true;
}

qint32 OlcFlatLogCount(const OlcMaintenanceBoard &board)
{
    plat::RecordFile index(board.server.boardIndex(board.key), RecordSize);
    QByteArray first;
    if (!index.open() || !index.read(1, first))
        return 0;
    const qint64 older = qint64(board.topMsg) - MessageRecord::decode(first).Number;
    return qint32(std::clamp<qint64>(older, 0, std::numeric_limits<qint32>::max()));
}

bool FlatLogOlcBoard(const OlcMaintenanceBoard &board, QString *error)
{
    if (!CheckBoard(board, error))
        return false;
    if (OlcFlatLogCount(board) <= 0)
        return true;
    PairRewrite pair(board.server);
    if (!pair.open(board.server.boardIndex(board.key), board.server.boardText(board.key), board.server, error) ||
        !WriteAll(*pair.workIndex, MakeHeaderRecord(board.name).encode(), error))
        return false;
    BodyPacker bodies(pair.text, *pair.workText);
    QByteArray log;
    QStringList attachments;
    for (size_t i = 1; i < pair.records.size(); ++i) {
        Image &r = pair.records[i];
        const bool downloaded = !r.byte(O::Deleted) && r.get(O::Start) >= 0;
        if (r.get(O::Number) < board.topMsg) {
            QByteArray body;
            if (downloaded && !r.isFile() && !bodies.body(r, body, error))
                return false;
            log += FlatLogEntry(r, body);
            if (downloaded && r.isFile())
                attachments << AttachmentOf(board, r);
            continue;
        }
        if (!r.isFile() && r.get(O::Start) >= 0 && !bodies.copy(r, error))
            return false;
        if (!WriteAll(*pair.workIndex, r.bytes, error))
            return false;
    }
    FlatLogAppend flatLog(board.server.flatLog(board.key));
    if (!flatLog.append(log, error))
        return false;
    if (!pair.rewrite.commit(error)) {
        flatLog.takeBack();
        return false;
    }
    RemoveStoreFiles(board.server.boardFolder(board.key), attachments);
    return true;
}

bool CompactOlcLinks(const olc::ServerFolder &server, QString *error)
{
    if (!CheckServer(server, error))
        return false;
    if (!QFileInfo(server.linkFolder()).isDir())
        return true;
    PairRewrite pair(server);
    if (!pair.open(server.linkIndex(), server.linkText(), server, error))
        return false;
    if (pair.records.empty())
        return Fail(error, server.linkIndex() + QStringLiteral(" has no header"));
    BodyPacker bodies(pair.text, *pair.workText);
    LinkCompactor compactor(server, pair.records, bodies);
    compactor.kept.push_back(pair.records.front());
    if (!compactor.run(error) || !WriteImages(*pair.workIndex, compactor.kept, error))
        return false;
    // The holders' new pointers, each board through a work file of its own.
    int n = 0;
    for (const auto &[key, updates] : compactor.holderUpdates) {
        std::vector<Image> &board = compactor.boards[key];
        for (const auto &[at, linkIndex] : updates)
            board[at].set(O::LinkIndex, linkIndex);
        const QString workPath = server.workIndex() + QLatin1Char('.') + IntToZeroStr(++n, 3);
        QFile *work = pair.rewrite.stage(server.boardIndex(key), workPath, error);
        if (!work || !WriteImages(*work, board, error))
            return false;
    }
    if (!pair.rewrite.commit(error))
        return false;
    RemoveOrphans(server, compactor.kept);
    return true;
}

// ---- the menu's commands ----------------------------------------------------------------

OlcMaintenanceBoard TBOlcLogForm::MaintenanceBoard() const
{
    const BoardRecord *board = CurrentBoardRecord();
    return board ? OlcMaintenanceBoard{Server, board->BoardKey, board->BoardName, board->TopMsg} : OlcMaintenanceBoard{};
}

bool TBOlcLogForm::AskYesNo(const QString &name, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setObjectName(name);
    return box.exec() == QMessageBox::Yes;
}

// A command that failed left the store as it was: the reason goes to an
// error box, the status bar and the log.
bool TBOlcLogForm::RunMaintenance(const std::function<bool(QString *)> &command)
{
    QString error;
    if (command(&error))
        return true;
    WriteLog(ALPHA, QStringLiteral("*** OLC Log Update Error : ") + error);
    Status(QStringLiteral("*** Update Error : ") + error);
    QMessageBox box(QMessageBox::Critical, windowTitle(), error, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("UpdateError"));
    box.exec();
    return false;
}

void TBOlcLogForm::CurrentBoardClick()
{
    if (!HasMessageIndex ||
        !AskYesNo(QStringLiteral("CurrentBoardQuestion"), QStringLiteral("実行すると,現在のﾎﾞｰﾄﾞの消去ﾏｰｸをつけられたﾒｯｾｰｼﾞはﾌｫﾙﾀﾞの中から物理的にも削除され未読あつかいとなります.\r\nよろしいですか?")))
        return;
    const OlcMaintenanceBoard board = MaintenanceBoard();
    if (RunMaintenance([&](QString *error) { return CompactOlcBoard(board, error); }) && Shown != View::Boards &&
        Shown != View::BoardTree)
        ShowMessages();
}

void TBOlcLogForm::LinkMessageClick()
{
    if (!QFileInfo(Server.linkFolder()).isDir() ||
        !AskYesNo(QStringLiteral("LinkMessageQuestion"), QStringLiteral("ﾘﾝｸ･ﾒｯｾｰｼﾞのﾒﾝﾃﾅﾝｽを行ないます.消去ﾏｰｸのついたﾘﾝｸ･ﾒｯｾｰｼﾞ,あるいはﾘﾝｸ関係に不整合がある場合,関連するﾘﾝｸ･ﾃﾞｰﾀは物理的に削除されます.\r\nよろしいですか?")))
        return;
    if (!RunMaintenance([&](QString *error) { return CompactOlcLinks(Server, error); }))
        return;
    // Link records moved: a link message on show is left, the messages' pointers are read afresh.
    if (LinkView)
        ReturnFromLink();
    if (HasMessageIndex && !Records.empty()) {
        const int row = MessageRow;
        LoadMessages();
        SelectMessageRow(row);
    }
}

void TBOlcLogForm::FlatLogClick()
{
    const OlcMaintenanceBoard board = MaintenanceBoard();
    const qint32 older = HasMessageIndex ? OlcFlatLogCount(board) : 0;
    if (older <= 0)
        return;
    const QString question = QStringLiteral("ｻｰﾊﾞ側の現在の先頭ﾒｯｾｰｼﾞより古い ") + QString::number(older) + QStringLiteral("ｹ のﾒｯｾｰｼﾞをﾌﾗｯﾄ･ﾛｸﾞ･ﾌｧｲﾙ化して一括削除します.\r\nよろしいですか?");
    if (!AskYesNo(QStringLiteral("FlatLogQuestion"), question))
        return;
    if (!RunMaintenance([&](QString *error) { return FlatLogOlcBoard(board, error); }))
        return;
    if (Shown != View::Boards && Shown != View::BoardTree)
        ShowMessages();
    FlatLogItem->setEnabled(false);
}
