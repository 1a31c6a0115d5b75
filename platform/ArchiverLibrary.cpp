#include "platform/ArchiverLibrary.h"

#include "platform/ArchiverCommandLine.h"
#include "platform/ArchiverInfo.h"
#include "platform/ArchiverPack.h"
#include "platform/ArchiverReader.h"
#include "platform/Cp932.h"
#include "platform/WinMessages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <array>
#include <cstring>
#include <mutex>
#include <set>

namespace plat {

struct ArchiverLibrary {
    QString fileName;
    QHash<QByteArray, void *> entries;
    bool present = true;
};

namespace {

// The four libraries; each command entry knows which one it belongs to.
enum Library { Unlha32, Unzip32, Zip32j, Lmzip32, LibraryCount };

const char *const LibraryFileNames[LibraryCount] = {"UNLHA32.DLL", "UNZIP32.DLL", "ZIP32J.DLL", "LMZIP32.DLL"};

// A progress window registered with a library, and its callback.
struct OwnerWindow {
    ArchiverWindow window = nullptr;
    ArchiverProgressCallback callback = nullptr;
};

std::mutex &TableMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::array<OwnerWindow, LibraryCount> &Owners()
{
    static std::array<OwnerWindow, LibraryCount> owners;
    return owners;
}

// An archive opened for enumeration.
struct OpenedArchive {
    std::vector<ArchiveEntry> entries;
    ArchiverNamePatterns wildcard;
    std::size_t next = 0;
};

std::set<void *> &OpenArchives()
{
    static std::set<void *> open;
    return open;
}

constexpr ArchiveFormat FormatOf(Library library)
{
    return library == Unlha32 ? ArchiveFormat::Lzh : ArchiveFormat::Zip;
}

// The ZIP libraries given names through the escaping of their callers, where
// "[" opens a set of characters; the others take names as they stand.
constexpr bool UsesCharacterClasses(Library library)
{
    return library == Unzip32 || library == Zip32j;
}

ArchiverProgress ProgressFor(Library library)
{
    OwnerWindow owner;
    {
        const std::lock_guard lock(TableMutex());
        owner = Owners()[library];
    }
    if (!owner.window)
        return {};
    return [owner](unsigned state, ArchiverExtractingInfo &info) {
        if (owner.callback)
            return owner.callback(owner.window, state, &info);
        // The report points into the extraction's own memory: it goes only
        // to a window that takes it before the send returns, on this thread.
        if (owner.window->thread() != QThread::currentThread())
            return false;
        static const uint message = RegisterWindowMessage(QStringLiteral("wm_arcextract"));
        return SendWindowMessage(owner.window, message, qintptr(state), reinterpret_cast<qintptr>(&info)) != 0;
    };
}

QString ResultText(int result)
{
    switch (result) {
    case ArchiverOk: return QStringLiteral("OK");
    case ArchiverErrorCommand: return QStringLiteral("コマンドラインが正しくありません。");
    case ArchiverErrorNoFile: return QStringLiteral("ファイルが見つかりません。");
    case ArchiverErrorFormat: return QStringLiteral("書庫が壊れているか、形式が違います。");
    case ArchiverErrorUnsafe: return QStringLiteral("展開先の外を指すか、リンクやデバイスの項目があるため展開しません。");
    case ArchiverErrorTooLarge: return QStringLiteral("書庫の項目数か大きさが上限を超えています。");
    case ArchiverErrorWrite: return QStringLiteral("ファイルを書き込めません。");
    case ArchiverErrorAborted: return QStringLiteral("中断しました。");
    case ArchiverErrorNoMatch: return QStringLiteral("該当する項目がありません。");
    case ArchiverErrorName: return QStringLiteral("CP932 で表せない名前のファイルは書庫に入れられません。");
    default: return QStringLiteral("エラー %1").arg(result);
    }
}

// Puts the result's text into the caller's output buffer, when there is one.
int Answer(int result, char *output, std::uint32_t outputSize)
{
    if (output && outputSize > 0) {
        const QByteArray text = CutCp932(ToCp932(ResultText(result)), int(std::min<std::uint32_t>(outputSize - 1, 0x7FFFFFFF)));
        std::memcpy(output, text.constData(), size_t(text.size()));
        output[text.size()] = '\0';
    }
    return result;
}

ArchiverNamePatterns Patterns(Library library, const ArchiverCommand &command)
{
    return {command.names, UsesCharacterClasses(library)};
}

int Extract(Library library, const ArchiverCommand &command, bool junkPaths)
{
    ArchiverExtraction extraction;
    extraction.source.path = ArchiverPath(command.archive);
    extraction.format = FormatOf(library);
    extraction.directory = ArchiverPath(command.directory);
    extraction.names = Patterns(library, command);
    extraction.junkPaths = junkPaths;
    extraction.progress = ProgressFor(library);
    return ExtractArchiveEntries(extraction);
}

int Pack(Library library, const ArchiverCommand &command, PackMode mode, bool recurse, bool junkPaths)
{
    ArchiverPacking packing;
    packing.archive = ArchiverPath(command.archive);
    packing.format = FormatOf(library);
    packing.mode = mode;
    packing.baseDirectory = ArchiverPath(command.directory);
    packing.names = Patterns(library, command);
    packing.recurse = recurse;
    packing.junkPaths = junkPaths;
    packing.store = command.number("0").has_value();
    return PackArchive(packing);
}

// "Unlha": x and e extract (e without folders), a u f d pack and delete.
int RunLha(Library, const ArchiverCommand &command)
{
    const QByteArray verb = command.verb.toLower();
    const bool recurse = command.number("r").value_or(0) > 0;
    const bool junkPaths = command.number("x").value_or(1) == 0;
    if (verb == "x" || verb == "e")
        return Extract(Unlha32, command, verb == "e" || junkPaths);
    if (verb == "a")
        return Pack(Unlha32, command, PackMode::Add, recurse, junkPaths);
    if (verb == "u")
        return Pack(Unlha32, command, PackMode::Update, recurse, junkPaths);
    if (verb == "f")
        return Pack(Unlha32, command, PackMode::Freshen, recurse, junkPaths);
    if (verb == "d")
        return Pack(Unlha32, command, PackMode::Delete, false, false);
    return ArchiverErrorCommand;
}

// "UnZip": the verb -x extracts (-j without folders).
int RunUnzip(Library library, const ArchiverCommand &command)
{
    if (command.verb != "-x")
        return ArchiverErrorCommand;
    return Extract(library, command, command.has("j"));
}

// "Zip": no verb adds, -d deletes, -f freshens, -u (also as a switch)
// updates; r recurses; -A (making a self-extracting archive usable) has
// nothing to do here, the reader finds the archive after any stub.
int RunZip(Library library, const ArchiverCommand &command)
{
    const QByteArray verb = command.verb;
    if (verb == "-A")
        return QFileInfo(ArchiverPath(command.archive)).isFile() ? int(ArchiverOk) : int(ArchiverErrorNoFile);
    if (!verb.isEmpty() && (!verb.startsWith('-') || verb.size() < 2))
        return ArchiverErrorCommand;
    const QByteArray letters = verb.mid(1);
    const bool recurse = letters.contains('r') || command.has("r");
    const bool junkPaths = command.has("j");
    if (letters.contains('d'))
        return Pack(library, command, PackMode::Delete, false, false);
    if (letters.contains('f'))
        return Pack(library, command, PackMode::Freshen, recurse, junkPaths);
    if (letters.contains('u') || command.has("u"))
        return Pack(library, command, PackMode::Update, recurse, junkPaths);
    if (letters.isEmpty() || letters == "r")
        return Pack(library, command, PackMode::Add, recurse, junkPaths);
    return ArchiverErrorCommand;
}

// A command entry: the line parsed, then run by the library's verbs.
template <Library L, int (*Run)(Library, const ArchiverCommand &)>
int Command(ArchiverWindow /*owner*/, const char *commandLine, char *output, std::uint32_t outputSize)
{
    ArchiverCommand command;
    int result = commandLine ? ParseArchiverCommand(QByteArray(commandLine), command) : int(ArchiverErrorCommand);
    if (result == ArchiverOk)
        result = Run(L, command);
    return Answer(result, output, outputSize);
}

template <Library L>
ArchiveHandle Open(ArchiverWindow /*window*/, const char *fileName, std::uint32_t /*mode*/)
{
    if (!fileName)
        return nullptr;
    auto opened = std::make_unique<OpenedArchive>();
    if (ListArchive({ArchiverPath(fileName), {}}, FormatOf(L), opened->entries) != ArchiverOk)
        return nullptr;
    const std::lock_guard lock(TableMutex());
    OpenArchives().insert(opened.get());
    return opened.release();
}

// The opened archive behind a handle; null for anything else.
OpenedArchive *Opened(ArchiveHandle handle)
{
    const std::lock_guard lock(TableMutex());
    return OpenArchives().count(handle) ? static_cast<OpenedArchive *>(handle) : nullptr;
}

int Close(ArchiveHandle handle)
{
    {
        const std::lock_guard lock(TableMutex());
        if (!OpenArchives().erase(handle))
            return ArchiverErrorHandle;
    }
    delete static_cast<OpenedArchive *>(handle);
    return ArchiverOk;
}

void Fill(const ArchiveEntry &entry, ArchiverEntryInfo &info)
{
    info = {};
    info.originalSize = std::uint32_t(std::clamp<qint64>(entry.size, 0, 0xFFFFFFFF));
    const QDateTime local = QDateTime::fromSecsSinceEpoch(entry.modified).toLocalTime();
    const QDate date = local.date();
    const QTime time = local.time();
    if (date.year() >= 1980 && date.year() < 2108) {
        info.date = std::uint16_t((date.year() - 1980) << 9 | date.month() << 5 | date.day());
        info.time = std::uint16_t(time.hour() << 11 | time.minute() << 5 | time.second() / 2);
    }
    info.attribute[0] = entry.kind;
    const QByteArray name = CutCp932(entry.storedName, ArchiverNameSize - 1);
    std::memcpy(info.fileName, name.constData(), size_t(name.size()));
}

int FindNext(ArchiveHandle handle, void *entryInfo)
{
    OpenedArchive *opened = Opened(handle);
    if (!opened)
        return ArchiverErrorHandle;
    while (opened->next < opened->entries.size()) {
        const ArchiveEntry &entry = opened->entries[opened->next++];
        if (!opened->wildcard.matches(entry.name))
            continue;
        if (entryInfo)
            Fill(entry, *static_cast<ArchiverEntryInfo *>(entryInfo));
        return ArchiverOk;
    }
    return ArchiverNoMoreEntries;
}

template <Library L>
int FindFirst(ArchiveHandle handle, const char *wildcard, void *entryInfo)
{
    OpenedArchive *opened = Opened(handle);
    if (!opened)
        return ArchiverErrorHandle;
    opened->next = 0;
    opened->wildcard = {};
    const QByteArray pattern(wildcard ? wildcard : "");
    if (!pattern.isEmpty() && pattern != "*" && pattern != "*.*")
        opened->wildcard = {{pattern}, UsesCharacterClasses(L)};
    return FindNext(handle, entryInfo);
}

template <Library L>
int Check(const char *fileName, int /*mode*/)
{
    return fileName && TestArchive({ArchiverPath(fileName), {}}, FormatOf(L)) == ArchiverOk ? 1 : 0;
}

template <Library L>
int SetOwner(ArchiverWindow window, ArchiverProgressCallback callback)
{
    const std::lock_guard lock(TableMutex());
    Owners()[L] = {window, callback};
    return 1;
}

template <Library L>
int KillOwner(ArchiverWindow window)
{
    const std::lock_guard lock(TableMutex());
    if (Owners()[L].window != window)
        return 0;
    Owners()[L] = {};
    return 1;
}

template <Library L>
int ExtractMem(ArchiverWindow /*owner*/, const char *commandLine, unsigned char *buffer, std::uint32_t bufferSize,
               void * /*time*/, void * /*attributes*/, std::uint32_t *writtenSize)
{
    if (writtenSize)
        *writtenSize = 0;
    ArchiverCommand command;
    if (!commandLine || ParseArchiverCommand(QByteArray(commandLine), command) != ArchiverOk)
        return ArchiverErrorCommand;
    return ExtractEntryToMemory({ArchiverPath(command.archive), {}}, FormatOf(L), Patterns(L, command), buffer,
                                bufferSize, writtenSize);
}

// The enumeration entries every library has, under its prefix.
template <Library L>
void AddReadingEntries(ArchiverLibrary &library, const QByteArray &prefix)
{
    library.entries.insert(prefix + "OpenArchive", reinterpret_cast<void *>(&Open<L>));
    library.entries.insert(prefix + "CloseArchive", reinterpret_cast<void *>(&Close));
    library.entries.insert(prefix + "FindFirst", reinterpret_cast<void *>(&FindFirst<L>));
    library.entries.insert(prefix + "FindNext", reinterpret_cast<void *>(&FindNext));
    library.entries.insert(prefix + "CheckArchive", reinterpret_cast<void *>(&Check<L>));
}

// Extraction, extraction to memory and progress windows.
template <Library L, int (*Run)(Library, const ArchiverCommand &)>
void AddExtractingEntries(ArchiverLibrary &library, const QByteArray &command, const QByteArray &prefix)
{
    library.entries.insert(command, reinterpret_cast<void *>(&Command<L, Run>));
    library.entries.insert(prefix + "ExtractMem", reinterpret_cast<void *>(&ExtractMem<L>));
    library.entries.insert(prefix + "SetOwnerWindowEx", reinterpret_cast<void *>(&SetOwner<L>));
    library.entries.insert(prefix + "KillOwnerWindowEx", reinterpret_cast<void *>(&KillOwner<L>));
}

std::array<ArchiverLibrary, LibraryCount> &Libraries()
{
    static std::array<ArchiverLibrary, LibraryCount> libraries = [] {
        std::array<ArchiverLibrary, LibraryCount> made;
        for (int i = 0; i < LibraryCount; ++i)
            made[i].fileName = QString::fromLatin1(LibraryFileNames[i]);
        AddReadingEntries<Unlha32>(made[Unlha32], "Unlha");
        AddExtractingEntries<Unlha32, RunLha>(made[Unlha32], "Unlha", "Unlha");
        AddReadingEntries<Unzip32>(made[Unzip32], "UnZip");
        AddExtractingEntries<Unzip32, RunUnzip>(made[Unzip32], "UnZip", "UnZip");
        // The creating library can look into what it made, and no more.
        AddReadingEntries<Zip32j>(made[Zip32j], "UnZip");
        made[Zip32j].entries.insert("Zip", reinterpret_cast<void *>(&Command<Zip32j, RunZip>));
        AddReadingEntries<Lmzip32>(made[Lmzip32], "Unzip");
        AddExtractingEntries<Lmzip32, RunUnzip>(made[Lmzip32], "Unzip", "Unzip");
        made[Lmzip32].entries.insert("Zip", reinterpret_cast<void *>(&Command<Lmzip32, RunZip>));
        return made;
    }();
    return libraries;
}

ArchiverLibrary *FindLibrary(const QString &fileName)
{
    for (ArchiverLibrary &library : Libraries()) {
        if (library.fileName.compare(fileName, Qt::CaseInsensitive) == 0)
            return &library;
    }
    return nullptr;
}

} // namespace

ArchiverLibraryHandle LoadArchiverLibrary(const QString &fileName)
{
    ArchiverLibrary *library = FindLibrary(fileName);
    const std::lock_guard lock(TableMutex());
    return library && library->present ? library : nullptr;
}

void FreeArchiverLibrary(ArchiverLibraryHandle /*library*/)
{
    // Built in: nothing to unload.
}

void *GetArchiverEntry(ArchiverLibraryHandle library, const char *entryName)
{
    if (!library || !entryName)
        return nullptr;
    return library->entries.value(QByteArray(entryName), nullptr);
}

QString ArchiverLibraryFileName(ArchiverLibraryHandle library)
{
    return library ? library->fileName : QString();
}

void SetArchiverLibraryPresent(const QString &fileName, bool present)
{
    ArchiverLibrary *library = FindLibrary(fileName);
    const std::lock_guard lock(TableMutex());
    if (library)
        library->present = present;
}

QString SearchFileName(const QString &bareName)
{
    if (bareName.isEmpty())
        return {};
    QStringList folders{QCoreApplication::applicationDirPath(), QDir::currentPath(),
                        QStringLiteral("/usr/local/share/kalvex"), QStringLiteral("/usr/share/kalvex")};
    folders += qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &folder : std::as_const(folders)) {
        const QFileInfo candidate(QDir(folder), bareName);
        if (!folder.isEmpty() && candidate.isFile())
            return candidate.absoluteFilePath();
    }
    return {};
}

} // namespace plat
