// Where the platform brings no archiver libraries, every library is missing:
// the archivers report so, and nothing is unpacked. The linker takes this
// only where the platform layer has no implementation of its own
// (archive/CMakeLists.txt).
#include "platform/ArchiverLibrary.h"

namespace plat {

ArchiverLibraryHandle LoadArchiverLibrary(const QString &)
{
    return nullptr;
}

void FreeArchiverLibrary(ArchiverLibraryHandle) {}

void *GetArchiverEntry(ArchiverLibraryHandle, const char *)
{
    return nullptr;
}

QString ArchiverLibraryFileName(ArchiverLibraryHandle)
{
    return {};
}

void SetArchiverLibraryPresent(const QString &, bool) {}

QString SearchFileName(const QString &)
{
    return {};
}

} // namespace plat
