#include "archive/LHA32.h"

#include "platform/Cp932.h"

#include <QFileInfo>

#include <algorithm>
#include <initializer_list>

namespace {

// The library and its entries, shared by every TLha32 of the process.
plat::ArchiverLibraryHandle LhaLibrary = nullptr;

enum LhaEntry {
    UnlhaCommand,
    UnlhaOpenArchive,
    UnlhaCloseArchive,
    UnlhaFindFirst,
    UnlhaFindNext,
    UnlhaCheckArchive,
    UnlhaSetOwnerWindowEx,
    UnlhaKillOwnerWindowEx,
    UnlhaExtractMem,
    LhaEntryCount
};
constexpr const char *LhaEntryNames[LhaEntryCount] = {
    "Unlha",         "UnlhaOpenArchive",      "UnlhaCloseArchive",      "UnlhaFindFirst",
    "UnlhaFindNext", "UnlhaCheckArchive",     "UnlhaSetOwnerWindowEx",  "UnlhaKillOwnerWindowEx",
    "UnlhaExtractMem"};
void *LhaEntries[LhaEntryCount] = {};

void LoadLhaLibrary()
{
    if (LhaLibrary)
        return;
    LhaLibrary = plat::LoadArchiverLibrary(QStringLiteral("UNLHA32.DLL"));
    if (!LhaLibrary)
        throw EArchiver(QStringLiteral("Lha 形式書庫を扱うには UNLHA32.DLL が 必要です。"));
}

// Entries that the library's first users call load it; the others are only
// reached through an archiver, whose construction loaded it.
enum class Load { First, AlreadyLoaded };

template <typename Shape>
Shape Entry(LhaEntry entry, Load load)
{
    if (load == Load::First)
        LoadLhaLibrary();
    void *&cached = LhaEntries[entry];
    if (!cached)
        cached = GetEntryOrRaise(LhaLibrary, LhaEntryNames[entry]);
    return reinterpret_cast<Shape>(cached);
}

plat::ArchiverCommandEntry CommandEntry()
{
    return Entry<plat::ArchiverCommandEntry>(UnlhaCommand, Load::First);
}

plat::ArchiveHandle OpenLhaArchive(plat::ArchiverWindow window, const QString &fileName, int mode)
{
    const QByteArray name = plat::ToCp932(QFileInfo(fileName).absoluteFilePath());
    return Entry<plat::ArchiverOpenEntry>(UnlhaOpenArchive, Load::First)(window, name.constData(),
                                                                         static_cast<std::uint32_t>(mode));
}

int CloseLhaArchive(plat::ArchiveHandle archive)
{
    return Entry<plat::ArchiverCloseEntry>(UnlhaCloseArchive, Load::First)(archive);
}

int CheckLhaArchive(const QString &fileName, int mode)
{
    const QByteArray name = plat::ToCp932(fileName);
    return Entry<plat::ArchiverCheckEntry>(UnlhaCheckArchive, Load::First)(name.constData(), mode);
}

// The numeric switches, in the order the library's command line has them.
using Options = TArchiverOptions;
struct NumberSwitch {
    const char *name;
    Options::Shortint Options::*value;
};

void AddNumbers(TCmdOpt &cmd, const Options &options, std::initializer_list<NumberSwitch> switches)
{
    for (const NumberSwitch &number : switches)
        cmd.AddInt(QLatin1String(number.name), options.*number.value);
}

} // namespace

QString LhaCommandLine(const QString &verb, const QString &archive, const TArchiverOptions &options,
                       const QString &dir, const TFileList &files, bool useResponseFile, bool ownerWindowSet)
{
    TCmdOpt cmd;
    cmd.Add(QStringLiteral("-+"));
    AddNumbers(cmd, options,
               {{"a", &Options::a}, {"c", &Options::c}, {"e", &Options::e}, {"f", &Options::f},
                {"h", &Options::h}, {"i", &Options::i}, {"l", &Options::l}, {"m", &Options::m}});
    // The library reports progress to an owner window only in this mode.
    cmd.AddInt(QStringLiteral("n"), ownerWindowSet ? 1 : options.n);
    AddNumbers(cmd, options,
               {{"o", &Options::o}, {"p", &Options::p}, {"r", &Options::r}, {"s", &Options::s},
                {"t", &Options::t}, {"u", &Options::u}});
    cmd.AddDir(QStringLiteral("w"), options.w);
    AddNumbers(cmd, options,
               {{"x", &Options::x}, {"y", &Options::y}, {"z", &Options::z}, {"jc", &Options::jc},
                {"jd", &Options::jd}, {"je", &Options::je}, {"jf", &Options::jf}, {"jh", &Options::jh},
                {"ji", &Options::ji}, {"jm", &Options::jm}, {"jn", &Options::jn}});
    cmd.AddQuoted(QStringLiteral("jo"), options.jo);
    cmd.AddQuoted(QStringLiteral("job"), options.job);
    AddNumbers(cmd, options,
               {{"jp", &Options::jp}, {"jr", &Options::jr}, {"jss", &Options::jss}, {"jw", &Options::jw}});
    cmd.AddList(QStringLiteral("jx"), {&options.jx});
    AddNumbers(cmd, options,
               {{"jyc", &Options::jyc}, {"jyd", &Options::jyd}, {"jyk", &Options::jyk}, {"jyn", &Options::jyn},
                {"jyo", &Options::jyo}});
    cmd.AddQuoted(QStringLiteral("jz"), options.jz);
    AddNumbers(cmd, options,
               {{"ga", &Options::ga}, {"gd", &Options::gd}, {"ge", &Options::ge}, {"gf", &Options::gf},
                {"gj", &Options::gj}, {"gm", &Options::gm}, {"gn", &Options::gn}, {"go", &Options::go},
                {"gp", &Options::gp}});
    cmd.AddQuoted(QStringLiteral("gr"), options.gr);
    AddNumbers(cmd, options, {{"gs", &Options::gs}, {"gu", &Options::gu}, {"gw", &Options::gw}});
    cmd.Add(options.UserOptions);
    AddArchiveAndDirectory(cmd, archive, dir);
    AddFileList(cmd, options, useResponseFile, files);
    return verb + cmd.Text;
}

void FreeLhaLibrary()
{
    std::fill(std::begin(LhaEntries), std::end(LhaEntries), nullptr);
    if (LhaLibrary)
        plat::FreeArchiverLibrary(LhaLibrary);
    LhaLibrary = nullptr;
}

bool IsLhaArchive(const QString &fileName)
{
    try {
        LoadLhaLibrary();
        const QString name = QFileInfo(fileName).absoluteFilePath();
        if (CheckLhaArchive(name, 16) == 0)
            return false;
        const plat::ArchiveHandle archive = OpenLhaArchive(nullptr, name, 0x800002);
        CloseLhaArchive(archive);
        return archive != nullptr;
    } catch (const EArchiver &) {
        return false;
    }
}

TLha32::TLha32()
{
    LoadDLL();
}

void TLha32::LoadDLL()
{
    LoadLhaLibrary();
}

void TLha32::FreeDLL()
{
    FreeLhaLibrary();
}

plat::ArchiveHandle TLha32::OpenArchive(plat::ArchiverWindow window, const QString &fileName, int mode)
{
    return OpenLhaArchive(window, fileName, mode);
}

int TLha32::FindFirst(plat::ArchiveHandle archive, void *info, const QString &wildcard)
{
    const QByteArray pattern = plat::ToCp932(wildcard);
    return Entry<plat::ArchiverFindFirstEntry>(UnlhaFindFirst, Load::First)(archive, pattern.constData(), info);
}

int TLha32::FindNext(plat::ArchiveHandle archive, void *info)
{
    return Entry<plat::ArchiverFindNextEntry>(UnlhaFindNext, Load::AlreadyLoaded)(archive, info);
}

int TLha32::CloseArchive(plat::ArchiveHandle archive)
{
    return CloseLhaArchive(archive);
}

int TLha32::RunVerb(const QString &verb, TResFileUse use, plat::ArchiverWindow ownerWindow, const QString &archive,
                    const TArchiverOptions &options, const QString &dir, const TFileList &files,
                    QByteArray &output)
{
    const QString commandLine = LhaCommandLine(verb, archive, options, dir, files,
                                               options.ResFileUsage.testFlag(use), OwnerWindow != nullptr);
    return RunCommand(&CommandEntry, ownerWindow, commandLine, output);
}

int TLha32::Unpack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &destDir, const TFileList &files, bool, QByteArray &output)
{
    return RunVerb(QStringLiteral("x"), ruOnUnpack, ownerWindow, archive, options, destDir, files, output);
}

int TLha32::Pack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                 const QString &baseDir, const TFileList &files, bool, QByteArray &output)
{
    return RunVerb(QStringLiteral("u"), ruOnPack, ownerWindow, archive, options, baseDir, files, output);
}

int TLha32::RemoveItem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                       const QString &, const TFileList &files, bool, QByteArray &output)
{
    return RunVerb(QStringLiteral("d"), ruOnRemoveItem, ownerWindow, archive, options, QString(), files, output);
}

int TLha32::Update(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &baseDir, const TFileList &files, bool, QByteArray &output)
{
    return RunVerb(QStringLiteral("f"), ruOnUpdate, ownerWindow, archive, options, baseDir, files, output);
}

int TLha32::MakeSFX(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                    const QString &outputDir, QByteArray &output)
{
    const QString commandLine =
        LhaCommandLine(QStringLiteral("s"), archive, options, outputDir, NoFileNames, false, OwnerWindow != nullptr);
    return RunCommand(&CommandEntry, ownerWindow, commandLine, output);
}

int TLha32::ExtractMem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                       const QString &entryName, unsigned char *buffer, int bufferSize, std::uint32_t *writtenSize)
{
    CommandLine = LhaCommandLine(QString(), archive, options, QString(), {entryName}, false, OwnerWindow != nullptr);
    return RunExtractMem(Entry<plat::ArchiverExtractMemEntry>(UnlhaExtractMem, Load::AlreadyLoaded), ownerWindow,
                         buffer, bufferSize, writtenSize);
}

int TLha32::CheckArchive(const QString &fileName, int mode, int flags)
{
    return CheckLhaArchive(fileName, mode + flags);
}

bool TLha32::SetOwnerWindow(plat::ArchiverWindow window, plat::ArchiverProgressCallback callback)
{
    const int answer = Entry<plat::ArchiverSetOwnerEntry>(UnlhaSetOwnerWindowEx, Load::AlreadyLoaded)(window, callback);
    OwnerWindow = window;
    return answer != 0;
}

bool TLha32::KillOwnerWindow(plat::ArchiverWindow window)
{
    const int answer = Entry<plat::ArchiverKillOwnerEntry>(UnlhaKillOwnerWindowEx, Load::AlreadyLoaded)(window);
    OwnerWindow = nullptr;
    return answer != 0;
}
