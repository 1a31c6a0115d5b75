#include "archive/ZIP32.h"

#include "platform/Cp932.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <vector>

namespace {

// The libraries and their entries, shared by every TZip32 of the process.
enum ZipLibrary { Unzip32, Zip32j, Lmzip32, ZipLibraryCount };
constexpr const char *ZipLibraryNames[ZipLibraryCount] = {"UNZIP32.DLL", "ZIP32J.DLL", "LMZIP32.DLL"};
plat::ArchiverLibraryHandle ZipLibraries[ZipLibraryCount] = {};

bool Loaded(ZipLibrary library)
{
    return ZipLibraries[library] != nullptr;
}

enum ZipEntry {
    ZipCommand,
    UnZipCommand,
    UnZipOpenArchive,
    UnZipCloseArchive,
    UnZipFindFirst,
    UnZipFindNext,
    UnZipExtractMem,
    UnZipCheckArchive,
    UnZipSetOwnerWindowEx,
    UnZipKillOwnerWindowEx,
    ZipEntryCount
};
void *ZipEntries[ZipEntryCount] = {};

// Where an entry is looked for: the libraries in order; whether the call
// loads the libraries first; the message when none of the libraries is
// loaded (else a missing entry is reported by name); whether only the first
// library counts, reported as a missing entry of that library.
struct EntryRule {
    const char *name;
    std::vector<ZipLibrary> libraries;
    bool loadFirst;
    const char *noLibrary;
    bool firstOnly;
};
const EntryRule EntryRules[ZipEntryCount] = {
    {"Zip", {Zip32j, Lmzip32}, true, "ZIP 形式書庫の作成には ZIP32J.DLL または LMZIP32.DLL が必要です。", false},
    {"UnZip", {Unzip32, Lmzip32}, true, "ZIP 形式書庫の解凍には UNZIP32.DLL または LMZIP32.DLL が必要です。", false},
    {"UnZipOpenArchive", {Lmzip32, Zip32j, Unzip32}, true, nullptr, false},
    {"UnZipCloseArchive", {Lmzip32, Zip32j, Unzip32}, true, nullptr, false},
    {"UnZipFindFirst", {Lmzip32, Zip32j, Unzip32}, true, nullptr, false},
    {"UnZipFindNext", {Lmzip32, Zip32j, Unzip32}, false, nullptr, false},
    {"UnZipExtractMem", {Unzip32, Lmzip32, Zip32j}, false, nullptr, false},
    {"UnZipCheckArchive", {Unzip32, Lmzip32, Zip32j}, true, nullptr, false},
    {"UnZipSetOwnerWindowEx", {Unzip32}, false, nullptr, true},
    {"UnZipKillOwnerWindowEx", {Unzip32}, false, nullptr, true},
};

void LoadZipLibraries()
{
    for (int library = 0; library < ZipLibraryCount; ++library) {
        if (!ZipLibraries[library])
            ZipLibraries[library] = plat::LoadArchiverLibrary(QLatin1String(ZipLibraryNames[library]));
    }
    if (std::none_of(std::begin(ZipLibraries), std::end(ZipLibraries), [](auto handle) { return handle; }))
        throw EArchiver(QStringLiteral("ZIP 形式書庫を解凍するには UNZIP32.DLL が、作成するには ZIP32J.DLL が必要です。"));
}

// The entry in one library, or null. "LMZIP32.DLL" spells the extraction
// entries "Unzip...".
void *TryGetEntry(ZipLibrary library, const char *name)
{
    if (!Loaded(library))
        return nullptr;
    QByteArray entryName(name);
    if (library == Lmzip32 && entryName.size() > 2 && entryName[2] == 'Z')
        entryName[2] = 'z';
    try {
        return GetEntryOrRaise(ZipLibraries[library], entryName.constData());
    } catch (const EArchiver &) {
        return nullptr;
    }
}

void *FindZipEntry(const char *name, const std::vector<ZipLibrary> &libraries)
{
    for (ZipLibrary library : libraries) {
        if (void *entry = TryGetEntry(library, name))
            return entry;
    }
    throw EArchiver(QLatin1String(name) + QStringLiteral(" のエントリが見つかりません。"));
}

template <typename Shape>
Shape Entry(ZipEntry entry)
{
    const EntryRule &rule = EntryRules[entry];
    if (rule.loadFirst)
        LoadZipLibraries();
    void *&cached = ZipEntries[entry];
    if (!cached) {
        if (rule.noLibrary && std::none_of(rule.libraries.begin(), rule.libraries.end(), Loaded))
            throw EArchiver(QString::fromUtf8(rule.noLibrary));
        cached = rule.firstOnly ? GetEntryOrRaise(ZipLibraries[*rule.libraries.begin()], rule.name)
                                : FindZipEntry(rule.name, rule.libraries);
    }
    return reinterpret_cast<Shape>(cached);
}

plat::ArchiverCommandEntry ZipEntryPoint()
{
    return Entry<plat::ArchiverCommandEntry>(ZipCommand);
}

plat::ArchiverCommandEntry UnZipEntryPoint()
{
    return Entry<plat::ArchiverCommandEntry>(UnZipCommand);
}

plat::ArchiveHandle OpenZipArchive(plat::ArchiverWindow window, const QString &fileName, int mode)
{
    const QByteArray name = plat::ToCp932(QFileInfo(fileName).absoluteFilePath());
    return Entry<plat::ArchiverOpenEntry>(UnZipOpenArchive)(window, name.constData(),
                                                            static_cast<std::uint32_t>(mode));
}

int CloseZipArchive(plat::ArchiveHandle archive)
{
    return Entry<plat::ArchiverCloseEntry>(UnZipCloseArchive)(archive);
}

TCmdOpt EscapingCommand()
{
    TCmdOpt cmd;
    cmd.NameFilter = EscapeZipName;
    return cmd;
}

// fileName with its extension (from the last "." of the name part) replaced.
QString ChangeFileExt(const QString &fileName, const QString &extension)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > fileName.lastIndexOf(QLatin1Char('/'));
    return (hasExtension ? fileName.left(dot) : fileName) + extension;
}

QString FileErrorText(const char *what, const QFileDevice &file)
{
    return QStringLiteral("%1 \"%2\". %3").arg(QLatin1String(what), file.fileName(), file.errorString());
}

void OpenForReading(QFile &file)
{
    if (!file.open(QIODevice::ReadOnly))
        throw EFileError(FileErrorText("Cannot open file", file));
}

void CopyInto(QFile &source, QFileDevice &target)
{
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(1 << 16);
        if (chunk.isEmpty() && source.error() != QFile::NoError)
            throw EFileError(FileErrorText("Cannot read file", source));
        if (target.write(chunk) != chunk.size())
            throw EFileError(FileErrorText("Cannot write file", target));
    }
}

bool SameFile(const QString &one, const QString &other)
{
    const QString canonical = QFileInfo(one).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(other).canonicalFilePath();
}

} // namespace

QString EscapeZipName(const QString &name)
{
    QString escaped;
    escaped.reserve(name.size());
    for (const QChar c : name) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1Char('/');
        else if (c == QLatin1Char('['))
            escaped += QStringLiteral("[[]");
        else
            escaped += c;
    }
    return escaped;
}

QString JoinPath(const QString &dir, const QString &name)
{
    if (dir.isEmpty())
        return name;
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

QString ZipExtractCommand(const QString &verb, const QString &archive, const TArchiverOptions &options,
                          const QString &dir, const TFileList &files, bool useResponseFile, bool ownerWindowSet)
{
    TCmdOpt cmd = EscapingCommand();
    if (options.c == 1)
        cmd.Add(QStringLiteral("-o"));
    if (options.n > 0 || ownerWindowSet)
        cmd.Add(QStringLiteral("--i"));
    if (options.x == 0)
        cmd.Add(QStringLiteral("-j"));
    cmd.Add(options.UserOptions);
    AddArchiveAndDirectory(cmd, archive, dir);
    AddFileList(cmd, options, useResponseFile, files);
    return verb + cmd.Text;
}

QString ZipPackCommand(const QString &verb, const QString &archive, const TArchiverOptions &options,
                       const QString &dir, const TFileList &files, bool useResponseFile)
{
    TCmdOpt cmd = EscapingCommand();
    const std::initializer_list<std::pair<bool, const char *>> switches = {
        {options.a > 0, "-S"},  {options.a < 2, "-D"},   {options.l > 0, "-v"}, {options.n > 0, "-q"},
        {options.r > 0, "-r"},  {options.n > 0, "-o"},   {options.u > 0, "-u"}, {options.x == 0, "-j"},
        {options.jc > 0, "-FF"}, {options.ji > 0, "-k"},
    };
    for (const auto &[given, piece] : switches) {
        if (given)
            cmd.Add(QLatin1String(piece));
    }
    cmd.AddInt(QString(), options.jm);
    if (options.gd > 0)
        cmd.Add(QStringLiteral("-J"));
    cmd.Add(options.UserOptions);
    AddArchiveAndDirectory(cmd, archive, dir);
    AddFileList(cmd, options, useResponseFile, files);
    return verb + cmd.Text;
}

QString ZipRefreshCommand(const QString &verb, const QString &archive, const TArchiverOptions &options,
                          const QString &dir, const TFileList &files, bool useResponseFile)
{
    TCmdOpt cmd;
    if (options.c == 1)
        cmd.Add(QStringLiteral("-o"));
    if (options.x == 0)
        cmd.Add(QStringLiteral("-j"));
    cmd.Add(options.UserOptions);
    AddArchiveAndDirectory(cmd, archive, dir);
    AddFileList(cmd, options, useResponseFile, files);
    return verb + cmd.Text;
}

void FreeZipLibraries()
{
    for (ZipLibrary library : {Unzip32, Lmzip32, Zip32j}) {
        if (ZipLibraries[library])
            plat::FreeArchiverLibrary(ZipLibraries[library]);
        ZipLibraries[library] = nullptr;
    }
    std::fill(std::begin(ZipEntries), std::end(ZipEntries), nullptr);
}

bool IsZipArchive(const QString &fileName)
{
    try {
        LoadZipLibraries();
        const plat::ArchiveHandle archive = OpenZipArchive(nullptr, fileName, 0x800002);
        if (archive)
            CloseZipArchive(archive);
        return archive != nullptr;
    } catch (const EArchiver &) {
        return false;
    }
}

TZip32::TZip32()
{
    LoadDLL();
}

void TZip32::LoadDLL()
{
    LoadZipLibraries();
}

void TZip32::FreeDLL()
{
    FreeZipLibraries();
}

plat::ArchiveHandle TZip32::OpenArchive(plat::ArchiverWindow window, const QString &fileName, int mode)
{
    return OpenZipArchive(window, fileName, mode);
}

int TZip32::FindFirst(plat::ArchiveHandle archive, void *info, const QString &wildcard)
{
    const QByteArray pattern = plat::ToCp932(wildcard);
    return Entry<plat::ArchiverFindFirstEntry>(UnZipFindFirst)(archive, pattern.constData(), info);
}

int TZip32::FindNext(plat::ArchiveHandle archive, void *info)
{
    return Entry<plat::ArchiverFindNextEntry>(UnZipFindNext)(archive, info);
}

int TZip32::CloseArchive(plat::ArchiveHandle archive)
{
    return CloseZipArchive(archive);
}

int TZip32::Unpack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &destDir, const TFileList &files, bool useResponseFile, QByteArray &output)
{
    const QString commandLine = ZipExtractCommand(QStringLiteral("-x"), archive, options, destDir, files,
                                                  useResponseFile, OwnerWindow != nullptr);
    return RunCommand(&UnZipEntryPoint, ownerWindow, commandLine, output);
}

int TZip32::Pack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                 const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output)
{
    if (Loaded(Zip32j)) {
        return RunCommand(&ZipEntryPoint, ownerWindow,
                          ZipPackCommand(QString(), archive, options, baseDir, files, useResponseFile), output);
    }
    if (!Loaded(Lmzip32))
        throw EArchiver(QStringLiteral("ZIP 形式書庫の作成には ZIP32J.DLL または LMZIP32.DLL が必要です。"));

    // "LMZIP32.DLL" refreshes an existing archive; the archive must hold
    // exactly the files named, so it is built afresh under a name of its own
    // and only then takes the old archive's place: a failed build leaves the
    // old archive as it was.
    QTemporaryFile building(QFileInfo(archive).absolutePath() + QStringLiteral("/XXXXXX.zip"));
    if (!building.open())
        throw EFileError(FileErrorText("Cannot create file", building));
    building.close();
    QFile::remove(building.fileName());
    const int result =
        RunCommand(&ZipEntryPoint, ownerWindow,
                   ZipRefreshCommand(QStringLiteral("-ru"), building.fileName(), options, QString(), files,
                                     useResponseFile),
                   output);
    if (result == 0 && std::rename(QFile::encodeName(building.fileName()).constData(),
                                   QFile::encodeName(archive).constData()) != 0)
        throw EFileError(QStringLiteral("Cannot create file \"%1\".").arg(archive));
    return result;
}

int TZip32::RemoveItem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                       const QString &, const TFileList &files, bool useResponseFile, QByteArray &output)
{
    return RunCommand(&ZipEntryPoint, ownerWindow,
                      ZipPackCommand(QStringLiteral("-d"), archive, options, QString(), files, useResponseFile),
                      output);
}

int TZip32::Update(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output)
{
    return RunCommand(&ZipEntryPoint, ownerWindow,
                      ZipPackCommand(QStringLiteral("-f"), archive, options, baseDir, files, useResponseFile),
                      output);
}

int TZip32::MakeSFX(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                    const QString &outputDir, QByteArray &output)
{
    if (!Loaded(Zip32j))
        throw EArchiver(QStringLiteral("ZIP 形式書庫からの自己解凍書庫作成には ZIP32J.DLL が必要です。"));
    const bool win32 = options.gw > 0;
    const QString stubName = plat::SearchFileName(win32 ? QStringLiteral("sfx32gui.dat") : QStringLiteral("sfx16.dat"));
    if (stubName.isEmpty()) {
        throw EArchiver(win32 ? QStringLiteral("zip 書庫からのWin32自己解凍書庫の作成には sfx32gui.dat が必要です。")
                              : QStringLiteral("zip 書庫からのDOS自己解凍書庫の作成には sfx16.dat が必要です。"));
    }
    QString outputName = ChangeFileExt(archive, QStringLiteral(".EXE"));
    if (!outputDir.isEmpty())
        outputName = JoinPath(outputDir, QFileInfo(outputName).fileName());

    QFile archiveFile(archive), stubFile(stubName);
    // The output replaces an older one only once it is whole.
    QSaveFile outputFile(outputName);
    OpenForReading(archiveFile);
    // Replacing the output must never replace what is being read.
    if (SameFile(outputName, archive) || SameFile(outputName, stubName))
        throw EFileError(QStringLiteral("Cannot create file \"%1\". It is being read.").arg(outputName));
    if (!outputFile.open(QIODevice::WriteOnly))
        throw EFileError(FileErrorText("Cannot create file", outputFile));
    OpenForReading(stubFile);
    CopyInto(stubFile, outputFile);
    CopyInto(archiveFile, outputFile);
    if (!outputFile.commit())
        throw EFileError(FileErrorText("Cannot write file", outputFile));

    // Quoted: a blank in the path would end the name.
    TCmdOpt cmd;
    cmd.AddQuoted(QString(), outputName);
    return RunCommand(&ZipEntryPoint, ownerWindow, QStringLiteral("-A") + cmd.Text, output);
}

int TZip32::ExtractMem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                       const QString &entryName, unsigned char *buffer, int bufferSize, std::uint32_t *writtenSize)
{
    CommandLine =
        ZipExtractCommand(QString(), archive, options, QString(), {entryName}, false, OwnerWindow != nullptr);
    return RunExtractMem(Entry<plat::ArchiverExtractMemEntry>(UnZipExtractMem), ownerWindow, buffer, bufferSize,
                         writtenSize);
}

int TZip32::CheckArchive(const QString &fileName, int mode, int)
{
    const QByteArray name = plat::ToCp932(fileName);
    return Entry<plat::ArchiverCheckEntry>(UnZipCheckArchive)(name.constData(), mode);
}

bool TZip32::SetOwnerWindow(plat::ArchiverWindow window, plat::ArchiverProgressCallback callback)
{
    Entry<plat::ArchiverSetOwnerEntry>(UnZipSetOwnerWindowEx)(window, callback);
    OwnerWindow = window;
    return true;
}

bool TZip32::KillOwnerWindow(plat::ArchiverWindow window)
{
    Entry<plat::ArchiverKillOwnerEntry>(UnZipKillOwnerWindowEx)(window);
    OwnerWindow = nullptr;
    return true;
}
