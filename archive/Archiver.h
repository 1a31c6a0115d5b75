#pragma once
// The driver of one outside archiver library.
//
// A TArchiver loads its library when it is constructed (and throws EArchiver
// when it cannot), builds a command line for each operation from a
// TArchiverOptions, keeps it in CommandLine, hands it to the library's
// command entry and returns the library's result: 0 is success, anything
// else is the library's own error code, handed on untouched. Libraries stay
// loaded for the whole process; destroying an archiver unloads nothing.
//
// EArchiver is the one exception of the archive layer; it carries the
// message shown to the user. EFileError is a file the layer itself reads or
// writes (a response file, the parts of a self-extracting archive).
#include "archive/FILTERS.h"
#include "platform/ArchiverLibrary.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <stdexcept>

class EArchiver : public std::runtime_error {
public:
    explicit EArchiver(const QString &message);
    QString Message() const { return message_; }

private:
    QString message_;
};

class EFileError : public std::runtime_error {
public:
    explicit EFileError(const QString &message);
    QString Message() const { return message_; }

private:
    QString message_;
};

// The CP932 bytes the libraries take for a command line or a response file.
// Throws EArchiver when a character has no CP932 form: it would reach the
// library as "?", a wildcard, and name other files.
QByteArray LibraryText(const QString &text);

// The named entry of a loaded library. Throws EArchiver naming the library's
// file and the entry when it has none.
void *GetEntryOrRaise(plat::ArchiverLibraryHandle library, const char *entryName);

// The pieces every archiver's command line ends with: the quoted archive
// name and the quoted directory (neither passes the name filter) ...
void AddArchiveAndDirectory(TCmdOpt &cmd, const QString &archive, const QString &dir);
// ... then the names, inline or through the options' response file when one
// is named and useResponseFile allows it, then the options' UserFileList.
void AddFileList(TCmdOpt &cmd, const TArchiverOptions &options, bool useResponseFile, const TFileList &items);

class TArchiver {
public:
    TArchiver(const TArchiver &) = delete;
    TArchiver &operator=(const TArchiver &) = delete;
    virtual ~TArchiver() = default;

    // The command line of the last command operation.
    QString CommandLine;
    // The window registered with the library for progress; null when none.
    plat::ArchiverWindow OwnerWindow = nullptr;

    virtual void LoadDLL();
    virtual void FreeDLL();
    // Entry enumeration; an archiver without it opens nothing.
    virtual plat::ArchiveHandle OpenArchive(plat::ArchiverWindow window, const QString &fileName, int mode);
    virtual int FindFirst(plat::ArchiveHandle archive, void *info, const QString &wildcard);
    virtual int FindNext(plat::ArchiveHandle archive, void *info);
    virtual int CloseArchive(plat::ArchiveHandle archive);

    // The command operations. output is the buffer the library writes its
    // text into; its size at the call is the buffer size (none when empty).
    virtual int Unpack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                       const QString &destDir, const TFileList &files, bool useResponseFile,
                       QByteArray &output) = 0;
    virtual int Pack(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                     const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output);
    virtual int RemoveItem(plat::ArchiverWindow ownerWindow, const QString &archive,
                           const TArchiverOptions &options, const QString &baseDir, const TFileList &files,
                           bool useResponseFile, QByteArray &output);
    virtual int Update(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                       const QString &baseDir, const TFileList &files, bool useResponseFile, QByteArray &output);
    virtual int MakeSFX(plat::ArchiverWindow ownerWindow, const QString &archive, const TArchiverOptions &options,
                        const QString &outputDir, QByteArray &output);
    virtual int ExtractMem(plat::ArchiverWindow ownerWindow, const QString &archive,
                           const TArchiverOptions &options, const QString &entryName, unsigned char *buffer,
                           int bufferSize, std::uint32_t *writtenSize);
    // The library's answer, non-zero for a valid archive.
    virtual int CheckArchive(const QString &fileName, int mode, int flags);
    virtual bool SetOwnerWindow(plat::ArchiverWindow window, plat::ArchiverProgressCallback callback);
    virtual bool KillOwnerWindow(plat::ArchiverWindow window);

protected:
    // Derived constructors call LoadDLL, so that no archiver exists without
    // its library.
    TArchiver() = default;

    // Stores commandLine in CommandLine, then looks up the command entry
    // (which may throw) and calls it with the output buffer.
    int RunCommand(plat::ArchiverCommandEntry (*commandEntry)(), plat::ArchiverWindow ownerWindow,
                   const QString &commandLine, QByteArray &output);
    // Hands CommandLine to an extract-to-memory entry.
    int RunExtractMem(plat::ArchiverExtractMemEntry extract, plat::ArchiverWindow ownerWindow,
                      unsigned char *buffer, int bufferSize, std::uint32_t *writtenSize) const;
};
