#pragma once
// The archiver for LZH archives, over the library "UNLHA32.DLL".
//
// The library is loaded once per process, by the first archiver or the first
// call that needs it, and its entries are looked up by name on first use;
// both stay until FreeDLL. The system itself only unpacks (verb "x").
#include "archive/Archiver.h"

class TLha32 : public TArchiver {
public:
    // Loads the library; throws EArchiver when it is missing.
    TLha32();

    void LoadDLL() override;
    void FreeDLL() override;
    plat::ArchiveHandle OpenArchive(plat::ArchiverWindow window, const QString &fileName, int mode) override;
    int FindFirst(plat::ArchiveHandle archive, void *info, const QString &wildcard) override;
    int FindNext(plat::ArchiveHandle archive, void *info) override;
    int CloseArchive(plat::ArchiveHandle archive) override;
    int Unpack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
               const QString &destDir, const TFileList &files, bool useResponseFile, QByteArray &output) override;
    int Pack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
             const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output) override;
    int RemoveItem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &baseDir, const TFileList &files, bool useResponseFile,
                   QByteArray &output) override;
    int Update(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
               const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output) override;
    int MakeSFX(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                const QString &outputDir, QByteArray &output) override;
    int ExtractMem(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                   const QString &entryName, unsigned char *buffer, int bufferSize,
                   std::uint32_t *writtenSize) override;
    int CheckArchive(const QString &fileName, int mode, int flags) override;
    bool SetOwnerWindow(plat::ArchiverWindow window, plat::ArchiverProgressCallback callback) override;
    bool KillOwnerWindow(plat::ArchiverWindow window) override;

private:
    // Builds the command, stores it and runs it through "Unlha". The verbs
    // decide from the options' ResFileUsage whether a response file may be
    // used, by their own member use.
    int RunVerb(const QString &verb, TResFileUse use, plat::ArchiverWindow ownerWindow, const QString &archive,
                const TArchiverOptions &options, const QString &dir, const TFileList &files, QByteArray &output);
};

// The command line of an LHA verb: the verb, then every given switch, the
// user options, the quoted archive and directory, the file list and the user
// file list. While an owner window is registered, "-n1" is emitted whatever
// the options' n.
QString LhaCommandLine(const QString &verb, const QString &archive, const TArchiverOptions &options,
                       const QString &dir, const TFileList &files, bool useResponseFile, bool ownerWindowSet);

// Frees "UNLHA32.DLL" when it is loaded and forgets its entries.
void FreeLhaLibrary();

// Whether the library takes fileName for an LZH archive; false also when the
// library is missing.
bool IsLhaArchive(const QString &fileName);
