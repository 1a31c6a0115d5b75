#pragma once
// Key files: one product key with its subtree saved as REGEDIT4 text (CP932,
// CRLF), restored by the registry editor, and rewritten for another main
// folder or the other registry root.
//
// The file names the product root on its own line before the key, so that
// both the registry editor and the converter see which root it was saved from:
//   REGEDIT4 / empty / [HKEY_CURRENT_USER\Software\ZK] / empty / [...\Kalvex] ...
#include "platform/Registry.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace utl {

// The file's text for key, a subkey of the product key under root.
QByteArray KeyFileText(plat::RootKey root, const plat::RegKey &key);

// Writes bytes as the file path (mode 0600), replacing it atomically. Throws
// std::runtime_error with the file's error text when it cannot be written.
void WriteWholeFile(const QString &path, const QByteArray &bytes);

// Up to count first lines of a file's first 4 KiB, without their line ends;
// nothing when the file cannot be read.
std::optional<QStringList> ReadFirstLines(const QString &path, int count);

// The root a file was saved from, by its first and third lines; nothing when
// the file is no key file of the product.
std::optional<plat::RootKey> KeyFileRoot(const QStringList &firstLines);

struct ConvertOptions {
    std::optional<QString> newMainFolder; // every folder setting moves below it
    bool toLocalMachine = false;          // HKEY_CURRENT_USER -> HKEY_LOCAL_MACHINE
    bool toCurrentUser = false;           // HKEY_CURRENT_USER <- HKEY_LOCAL_MACHINE
};

// One line of a key file (without its line end) with the options applied.
QString ConvertLine(const QString &line, const ConvertOptions &options);

// The output of converting input: beside it, named with "_New" before the
// extension ("keys.reg" gives "keys_New.reg").
QString ConvertedFileName(const QString &input);

// Converts input line by line into output. Either the whole output is written
// or none of it: throws std::runtime_error with the reason on failure, also
// for a new main folder that CP932 cannot hold (the file would name another).
void ConvertRegFile(const QString &input, const QString &output, const ConvertOptions &options);

} // namespace utl
