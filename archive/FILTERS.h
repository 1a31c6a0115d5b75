#pragma once
// Archiver options and the command lines built from them.
//
// Every archive operation reaches its archiver library as one command-line
// text. TArchiverOptions holds the switches an archiver may emit, TCmdOpt
// turns values into the blank-separated, double-quoted pieces of that text,
// and a file list names the archive entries an operation works on, inline or
// through a response file. Which switches an archiver emits, and in which
// order, is up to the archiver (LHA32, ZIP32).
//
// Command lines are built as QString and become CP932 bytes only where they
// are handed to a library, so a double-byte character whose second byte has
// the code of "\" or "[" is one character here and never mistaken for them.
// Directories end in "/", the path delimiter of this platform.
#include <QByteArray>
#include <QFlags>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <variant>
#include <vector>

class QObject;

// A string switch that is not given holds exactly one NUL character.
QString UnsetMarker();
bool IsUnset(const QString &value);

enum TPackFilter { pfArchiver, pfComponent };

enum TResFileUse { ruOnPack = 1, ruOnUnpack = 2, ruOnRemoveItem = 4, ruOnUpdate = 8 };
Q_DECLARE_FLAGS(TResFileUsage, TResFileUse)
Q_DECLARE_OPERATORS_FOR_FLAGS(TResFileUsage)

// The switches of an archive operation. A numeric switch that is not given
// is -1, a string switch the unset marker. Copying copies every property.
class TArchiverOptions {
public:
    using Shortint = std::int8_t;

    TArchiverOptions() { Reset(); }

    // Every switch back to "not given", the lists and names emptied, the
    // response file allowed for packing, unpacking and removing.
    void Reset();

    Shortint a, c, e, f, h, i, l, m, n, o, p, r, s, t, u;
    QString w;
    Shortint x, y, z;
    Shortint jc, jd, je, jf, jh, ji, jm, jn;
    QString jo, job;
    Shortint jp, jr, jss, jw;
    QStringList jx;
    Shortint jyc, jyd, jyk, jyn, jyo;
    QString jz;
    Shortint ga, gd, ge, gf, gj, gm, gn, go, gp;
    QString gr;
    Shortint gs, gu, gw;
    QString UserOptions;
    QString UserFileList;
    TPackFilter PackFilter;
    QString ResFileName;
    TResFileUsage ResFileUsage;
};

// One item of a file list. The kinds that name entries: 8-bit strings (short
// strings as well) and null-terminated 8-bit strings in CP932, wide strings,
// a pointer to a null-terminated array of null-terminated 8-bit strings (a
// null pointer names nothing), a string list object, any other object (names
// nothing) and a variant (an array names each element). Numbers, Booleans
// and characters name nothing.
using TFileListItem = std::variant<QByteArray, const char *, QString, const char *const *, const QStringList *,
                                   const QObject *, QVariant, int, bool, QChar, double>;
using TFileList = std::vector<TFileListItem>;

// The file list that names no entry, so that a command works on all of them.
inline const TFileList NoFileNames{static_cast<const char *const *>(nullptr)};

// Builds a command line piece by piece; each piece goes after a blank.
class TCmdOpt {
public:
    QString Text;
    // Applied to every entry name (not to the archive or the directory).
    std::function<QString(const QString &)> NameFilter;

    // A blank and the piece, also when the piece is empty.
    void Add(const QString &piece);
    // "-", the switch and the value in decimal; nothing for -1.
    void AddInt(const QString &switchName, int value);
    // The switch and value in one pair of double quotes; nothing for the unset
    // marker. An empty switch quotes the value alone; a switch beginning with
    // a blank is emitted without it and without the "-". A value holding a
    // double quote would end the quoting early and pass the rest as switches:
    // it throws EArchiver instead.
    void AddQuoted(const QString &switchName, const QString &value);
    // As AddQuoted, with the directory ending in "/"; nothing for an empty or
    // unset directory.
    void AddDir(const QString &switchName, const QString &dir);
    // An entry name, through NameFilter, quoted. A name ending in a path
    // delimiter names the entries of that folder and goes as "folder/*":
    // alone it would read as the command's directory.
    void AddName(const QString &switchName, const QString &name);
    // Every name the items carry, in order.
    void AddList(const QString &switchName, const TFileList &items);
    // Writes every name the items carry into fileName, one quoted name per
    // CR LF line, and adds the quoted "@" + fileName. Throws EFileError when
    // the file cannot be written; the file is left in place afterwards.
    void WriteResponseFile(const TFileList &items, const QString &fileName);

private:
    // An entry name as the command line carries it (see AddName).
    QString CommandName(const QString &name) const;
};

// The entry names a file list carries, in order.
QStringList FileListNames(const TFileList &items);
