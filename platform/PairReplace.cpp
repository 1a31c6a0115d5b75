#include "platform/PairReplace.h"

#include "platform/RecordFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

std::function<bool(const char *step)> testing::PairReplaceStep;

// What the intent file holds. Works are file names beside the intent,
// targets paths relative to its folder; the identities are inode numbers
// (0 until commit), of the work file and of the old target.
struct PairReplace::Intent {
    enum class State { Writing, Committed, Undoing } state = State::Writing;
    struct Entry {
        QString work, target;
        quint64 workId = 0, oldId = 0;
    };
    std::vector<Entry> entries;
};

namespace {

using Intent = PairReplace::Intent;
using State = Intent::State;

constexpr char Header[] = "kalvex pair replace";
constexpr const char *StateNames[] = {"writing", "committed", "undoing"};

bool Step(const char *name)
{
    if (testing::PairReplaceStep && !testing::PairReplaceStep(name)) {
        errno = EIO;
        return false;
    }
    return true;
}

QByteArray Native(const QString &path)
{
    return QFile::encodeName(path);
}

QString ErrnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The regular file's inode number; 0 when there is none.
quint64 Identity(const QString &path)
{
    struct stat st {};
    return ::lstat(Native(path).constData(), &st) == 0 && S_ISREG(st.st_mode) ? quint64(st.st_ino) : 0;
}

void Unlink(const QString &path)
{
    ::unlink(Native(path).constData());
}

// Where an intent's files lie.
struct Places {
    explicit Places(const QString &intentFile)
        : intent(intentFile), folder(QDir::cleanPath(QFileInfo(intentFile).absolutePath())),
          base(QFileInfo(intentFile).completeBaseName())
    {
    }
    QString temp() const { return intent + QStringLiteral(".new"); }
    QString work(const Intent::Entry &e) const { return folder + QLatin1Char('/') + e.work; }
    QString backup(const Intent::Entry &e) const { return work(e) + QStringLiteral(".old"); }
    QString target(const Intent::Entry &e) const { return folder + QLatin1Char('/') + e.target; }

    // A work file beside the intent under its base name; a target inside its folder.
    bool valid(const Intent::Entry &e) const
    {
        const QString workPrefix = base + QLatin1Char('.');
        if (e.work.contains(QLatin1Char('/')) || !e.work.startsWith(workPrefix) || e.work.size() == workPrefix.size() ||
            e.work == QFileInfo(intent).fileName() || e.work == QFileInfo(temp()).fileName())
            return false;
        const QStringList parts = e.target.split(QLatin1Char('/'));
        for (const QString &part : parts)
            if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
                return false;
        return true;
    }

    void syncFolders(const Intent &intent) const
    {
        QSet<QString> folders{folder};
        for (const Intent::Entry &e : intent.entries)
            folders.insert(QFileInfo(target(e)).path());
        for (const QString &f : folders)
            SyncFolder(f);
    }

    const QString intent, folder, base;
};

QByteArray Encode(const Intent &intent)
{
    QByteArray text = QByteArray(Header) + "\nstate " + StateNames[int(intent.state)] + '\n';
    for (const Intent::Entry &e : intent.entries)
        text += "file " + Native(e.work).toPercentEncoding() + ' ' + Native(e.target).toPercentEncoding() + ' ' +
                QByteArray::number(e.workId) + ' ' + QByteArray::number(e.oldId) + '\n';
    return text + "end\n";
}

// False for anything this mechanism does not write.
bool Decode(const QByteArray &text, const Places &places, Intent &intent)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4 || lines[0] != Header || !lines[1].startsWith("state ") || lines[lines.size() - 2] != "end" ||
        !lines.back().isEmpty())
        return false;
    const auto state = std::find(std::begin(StateNames), std::end(StateNames), lines[1].mid(6));
    if (state == std::end(StateNames))
        return false;
    intent.state = State(state - std::begin(StateNames));
    for (qsizetype i = 2; i < lines.size() - 2; ++i) {
        const QList<QByteArray> fields = lines[i].split(' ');
        bool workOk = false, oldOk = false;
        if (fields.size() != 5 || fields[0] != "file")
            return false;
        Intent::Entry e{QFile::decodeName(QByteArray::fromPercentEncoding(fields[1])),
                        QFile::decodeName(QByteArray::fromPercentEncoding(fields[2])), fields[3].toULongLong(&workOk),
                        fields[4].toULongLong(&oldOk)};
        if (!workOk || !oldOk || !places.valid(e))
            return false;
        intent.entries.push_back(e);
    }
    return true;
}

// Replaces the intent file whole: written aside, flushed, renamed over.
bool WriteIntent(const Places &places, const Intent &intent)
{
    const QByteArray temp = Native(places.temp());
    const QByteArray text = Encode(intent);
    ::unlink(temp.constData());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == ssize_t(text.size()) && SyncFile(fd);
    if (fd >= 0)
        ::close(fd);
    written = written && Step("intent") && ::rename(temp.constData(), Native(places.intent).constData()) == 0;
    if (!written)
        ::unlink(temp.constData());
    SyncFolder(places.folder);
    return written;
}

// The renames still pending, each only of the work file recorded; false at
// the first one that cannot be done.
bool Complete(const Places &places, const Intent &intent, QString *reason)
{
    for (const Intent::Entry &e : intent.entries) {
        if (Identity(places.work(e)) == e.workId) {
            if (!Step("rename") || ::rename(Native(places.work(e)).constData(), Native(places.target(e)).constData()) != 0) {
                *reason = QStringLiteral("cannot rename ") + places.work(e) + QStringLiteral(" to ") + places.target(e) +
                          QStringLiteral(" : ") + ErrnoText();
                return false;
            }
        } else if (Identity(places.target(e)) != e.workId) {
            *reason = places.work(e) + QStringLiteral(" is gone");
            return false;
        }
    }
    places.syncFolders(intent);
    return true;
}

// Every kept old file back over its target.
bool Restore(const Places &places, const Intent &intent, QString *reason)
{
    for (const Intent::Entry &e : intent.entries) {
        if (e.oldId == 0 || Identity(places.backup(e)) != e.oldId)
            continue; // put back already, or never replaced
        if (!Step("restore") || ::rename(Native(places.backup(e)).constData(), Native(places.target(e)).constData()) != 0) {
            *reason = QStringLiteral("cannot put back ") + places.target(e) + QStringLiteral(" : ") + ErrnoText();
            return false;
        }
    }
    places.syncFolders(intent);
    return true;
}

// The work files, the kept old files, and last the intent that names them.
void Clean(const Places &places, const Intent &intent)
{
    if (!Step("clean"))
        return;
    for (const Intent::Entry &e : intent.entries) {
        Unlink(places.work(e));
        Unlink(places.backup(e)); // a hard link to the target itself when put back in place
    }
    SyncFolder(places.folder);
    Unlink(places.temp());
    Unlink(places.intent);
    SyncFolder(places.folder);
}

enum class Outcome { New, Old, Pending };

// Brings the targets to their new files when the intent is committed and
// every rename can be done, else to their old ones.
Outcome Settle(const Places &places, Intent &intent, QString *reason)
{
    if (intent.state == State::Committed && !Complete(places, intent, reason)) {
        intent.state = State::Undoing;
        WriteIntent(places, intent); // a kill from here on puts the old files back
    }
    if (intent.state == State::Undoing && !Restore(places, intent, reason))
        return Outcome::Pending;
    Clean(places, intent);
    return intent.state == State::Committed ? Outcome::New : Outcome::Old;
}

bool Fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

} // namespace

bool FinishPairReplace(const QString &intentFile, QString *error)
{
    const Places places(intentFile);
    QFile file(intentFile);
    // A folder of that name, or no intent: nothing is pending.
    if (QFileInfo(intentFile).isSymLink() || !QFileInfo(intentFile).isFile() || !file.open(QIODevice::ReadOnly)) {
        Unlink(places.temp());
        return true;
    }
    Intent intent;
    if (!Decode(file.read(1 << 20), places, intent)) {
        // Not written by this mechanism: it names nothing to be done.
        Unlink(places.temp());
        Unlink(intentFile);
        return true;
    }
    QString reason;
    if (Settle(places, intent, &reason) == Outcome::Pending)
        return Fail(error, reason + QStringLiteral(" (pending in ") + intentFile + u')');
    return true;
}

PairReplace::PairReplace(QString intentFile) : intentFile_(std::move(intentFile)) {}

PairReplace::~PairReplace()
{
    if (settled_ || !intent_)
        return;
    for (const auto &work : works_)
        work->close();
    Clean(Places(intentFile_), *intent_);
}

QFile *PairReplace::stage(const QString &target, const QString &work, QString *error)
{
    const Places places(intentFile_);
    if (settled_) {
        Fail(error, QStringLiteral("replacement already done : ") + intentFile_);
        return nullptr;
    }
    if (!intent_) {
        if (!FinishPairReplace(intentFile_, error))
            return nullptr;
        intent_ = std::make_unique<Intent>();
    }
    const Intent::Entry entry{QFileInfo(work).fileName(),
                              QDir(places.folder).relativeFilePath(QDir::cleanPath(QFileInfo(target).absoluteFilePath()))};
    if (QDir::cleanPath(QFileInfo(work).absolutePath()) != places.folder || !places.valid(entry)) {
        Fail(error, QStringLiteral("cannot replace ") + target + QStringLiteral(" by ") + work);
        return nullptr;
    }
    intent_->entries.push_back(entry);
    if (!WriteIntent(places, *intent_)) {
        intent_->entries.pop_back();
        Fail(error, QStringLiteral("cannot write ") + intentFile_ + QStringLiteral(" : ") + ErrnoText());
        return nullptr;
    }
    // A work file nobody's intent names is stale: replaced, never followed.
    const QString path = places.work(entry);
    Unlink(path);
    struct stat old {};
    const mode_t mode = ::stat(Native(target).constData(), &old) == 0 ? old.st_mode & 07777 : 0600;
    const int fd =
        Step("create") ? ::open(Native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    auto file = std::make_unique<QFile>(path);
    if (fd < 0 || ::fchmod(fd, mode) != 0 || !file->open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        Fail(error, QStringLiteral("cannot create ") + path + QStringLiteral(" : ") + ErrnoText());
        if (fd >= 0 && !file->isOpen())
            ::close(fd);
        return nullptr;
    }
    works_.push_back(std::move(file));
    return works_.back().get();
}

bool PairReplace::commit(QString *error)
{
    if (!intent_ || settled_)
        return Fail(error, QStringLiteral("nothing to replace : ") + intentFile_);
    const Places places(intentFile_);
    for (const auto &work : works_) {
        if (!work->flush() || !SyncFile(work->handle()))
            return Fail(error, work->fileName() + QStringLiteral(" : ") + work->errorString());
        work->close();
    }
    for (Intent::Entry &e : intent_->entries) {
        Unlink(places.backup(e));
        if (!Step("link") || ::link(Native(places.target(e)).constData(), Native(places.backup(e)).constData()) != 0)
            return Fail(error, QStringLiteral("cannot keep ") + places.target(e) + QStringLiteral(" : ") + ErrnoText());
        e.oldId = Identity(places.backup(e));
        e.workId = Identity(places.work(e));
    }
    SyncFolder(places.folder);
    intent_->state = State::Committed;
    if (!WriteIntent(places, *intent_)) {
        intent_->state = State::Writing;
        return Fail(error, QStringLiteral("cannot write ") + intentFile_ + QStringLiteral(" : ") + ErrnoText());
    }
    settled_ = true;
    QString reason;
    switch (Settle(places, *intent_, &reason)) {
    case Outcome::New:
        return true;
    case Outcome::Old:
        return Fail(error, reason);
    case Outcome::Pending:
        break;
    }
    return Fail(error, reason + QStringLiteral(" (pending in ") + intentFile_ + u')');
}

} // namespace plat
