#pragma once
// The archiver libraries, in place of the platform's loadable archiver DLLs.
//
// "UNLHA32.DLL", "UNZIP32.DLL", "ZIP32J.DLL" and "LMZIP32.DLL" are built into
// the program: loading one by file name finds it in an in-process table, and
// its entries are found by name as a loaded library's would be. Which
// libraries are present can be changed (tests do), so callers that fall back
// from one library to another meet the same answers as on a machine where a
// library is missing.
//
// Texts crossing this boundary are null-terminated CP932 byte strings, as the
// archivers' callers build them; the libraries turn names into native paths.
#include <QString>

#include <cstdint>

class QObject;

namespace plat {

// A window the library reports progress to; null for none.
using ArchiverWindow = QObject *;
// An archive opened for enumeration; null when not opened.
using ArchiveHandle = void *;
// A loaded library; null when it could not be loaded.
struct ArchiverLibrary;
using ArchiverLibraryHandle = ArchiverLibrary *;

// Answers whether the extraction should stop (true) for one progress report.
using ArchiverProgressCallback = bool (*)(ArchiverWindow window, unsigned state, void *extractingInfo);

// The shapes of the entries, by the role the entry names share across the
// libraries ("Unlha", "UnZip" and "Zip" are command entries, and so on).
using ArchiverCommandEntry = int (*)(ArchiverWindow owner, const char *commandLine, char *output,
                                     std::uint32_t outputSize);
using ArchiverOpenEntry = ArchiveHandle (*)(ArchiverWindow window, const char *fileName, std::uint32_t mode);
using ArchiverCloseEntry = int (*)(ArchiveHandle archive);
using ArchiverFindFirstEntry = int (*)(ArchiveHandle archive, const char *wildcard, void *entryInfo);
using ArchiverFindNextEntry = int (*)(ArchiveHandle archive, void *entryInfo);
using ArchiverCheckEntry = int (*)(const char *fileName, int mode);
using ArchiverSetOwnerEntry = int (*)(ArchiverWindow window, ArchiverProgressCallback callback);
using ArchiverKillOwnerEntry = int (*)(ArchiverWindow window);
using ArchiverExtractMemEntry = int (*)(ArchiverWindow owner, const char *commandLine, unsigned char *buffer,
                                        std::uint32_t bufferSize, void *time, void *attributes,
                                        std::uint32_t *writtenSize);

// Loads a library by file name (compared without regard to case); null when
// no such library is present. Loading an already loaded library gives the
// same handle.
ArchiverLibraryHandle LoadArchiverLibrary(const QString &fileName);
void FreeArchiverLibrary(ArchiverLibraryHandle library);
// The named entry of a loaded library (names compared exactly); null when it
// has none. Cast to the entry's shape above.
void *GetArchiverEntry(ArchiverLibraryHandle library, const char *entryName);
// The library's file name as the platform reports it for the handle.
QString ArchiverLibraryFileName(ArchiverLibraryHandle library);

// Makes a library present or absent for later loads (all four are present
// at start). Loaded handles stay valid.
void SetArchiverLibraryPresent(const QString &fileName, bool present);

// The platform's search for a bare file name: the program's directory, the
// current directory, the system folders, then PATH. Empty when not found.
QString SearchFileName(const QString &bareName);

} // namespace plat
