#pragma once
// The archiver for ZIP archives and self-extracting ZIP archives.
//
// It works over up to three libraries: "UNZIP32.DLL" extracts, "ZIP32J.DLL"
// creates, "LMZIP32.DLL" does both and stands in for whichever of the two is
// missing. Each entry is taken from the first library, in a fixed order per
// entry, that is loaded and has it. Entry names in a command line pass
// EscapeZipName; the archive and the directory do not. The system itself
// only unpacks (verb "-x").
#include "archive/Archiver.h"

class TZip32 : public TArchiver {
public:
    // Loads the libraries; throws EArchiver when none of the three is present.
    TZip32();

    void LoadDLL() override;
    void FreeDLL() override;
    plat::ArchiveHandle OpenArchive(plat::ArchiverWindow window, const QString &fileName, int mode) override;
    int FindFirst(plat::ArchiveHandle archive, void *info, const QString &wildcard) override;
    int FindNext(plat::ArchiveHandle archive, void *info) override;
    int CloseArchive(plat::ArchiveHandle archive) override;
    int Unpack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
               const QString &destDir, const TFileList &files, bool useResponseFile, QByteArray &output) override;
    // Through "ZIP32J.DLL" when it is loaded, else through "LMZIP32.DLL",
    // which builds a new archive into a temporary file that replaces the old
    // archive only once it was built.
    int Pack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
             const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output) override;
    int RemoveItem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &baseDir, const TFileList &files, bool useResponseFile,
                   QByteArray &output) override;
    int Update(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
               const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output) override;
    // Joins the stub and the archive into the archive's name with ".EXE"
    // (in outputDir when given) and has "ZIP32J.DLL" adjust it.
    int MakeSFX(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                const QString &outputDir, QByteArray &output) override;
    int ExtractMem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &entryName, unsigned char *buffer, int bufferSize,
                   std::uint32_t *writtenSize) override;
    int CheckArchive(const QString &fileName, int mode, int flags) override;
    bool SetOwnerWindow(plat::ArchiverWindow window, plat::ArchiverProgressCallback callback) override;
    bool KillOwnerWindow(plat::ArchiverWindow window) override;
};

// The command lines of the ZIP verbs: the verb followed by the switches, the
// user options, the archive and directory, the file list and the user file
// list. Extraction commands (unpack, extract to memory):
QString ZipExtractCommand(const QString &verb, const QString &archive, const TArchiverOptions &options,
                          const QString &dir, const TFileList &files, bool useResponseFile, bool ownerWindowSet);
// Commands that write the archive through "ZIP32J.DLL" (pack, remove, update):
QString ZipPackCommand(const QString &verb, const QString &archive, const TArchiverOptions &options,
                       const QString &dir, const TFileList &files, bool useResponseFile);
// Packing through "LMZIP32.DLL", whose names are not escaped:
QString ZipRefreshCommand(const QString &verb, const QString &archive, const TArchiverOptions &options,
                          const QString &dir, const TFileList &files, bool useResponseFile);

// An entry name as the ZIP libraries take it: "\" becomes "/" and "[" becomes
// "[[]" (a bracket opens a wildcard class for them).
QString EscapeZipName(const QString &name);
// name in dir, joined with "/" unless dir is empty or already ends in one.
QString JoinPath(const QString &dir, const QString &name);

// Frees the ZIP libraries that are loaded and forgets their entries.
void FreeZipLibraries();

// Whether a ZIP library opens fileName as an archive; false also when none is
// present.
bool IsZipArchive(const QString &fileName);
