#pragma once
// Making and changing archives for the built-in archiver libraries.
//
// The archive is always written anew into a temporary file beside it that is
// renamed over it at the end, so a failure leaves the old archive as it was.
// ZIP archives are written by libarchive (entries of the old archive are read
// and written again); LZH archives by our own writer (entries of the old
// archive are copied as they are).
#include "platform/ArchiverReader.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace plat {

enum class PackMode {
    Add,     // add the files, replacing entries of the same name
    Update,  // add files that are new or newer than their entries
    Freshen, // replace only entries that have a newer file
    Delete,  // remove the entries named
};

struct ArchiverPacking {
    QString archive;
    ArchiveFormat format = ArchiveFormat::Zip;
    PackMode mode = PackMode::Add;
    QString baseDirectory;      // names are relative to it; empty: as given
    ArchiverNamePatterns names; // files to pack, or entries to delete
    bool recurse = false;       // a folder named brings the files below it
    bool junkPaths = false;     // entries are named by the file name alone
    bool store = false;         // ZIP: store instead of deflate
};

// 0 or an ArchiverResult code.
int PackArchive(const ArchiverPacking &packing);

} // namespace plat
