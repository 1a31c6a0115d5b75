#pragma once
// The command lines the archiver libraries are handed, split into their parts.
//
// A command line is CP932 bytes. Blanks separate words; a double quote
// switches quoting on and off (quotes do not end a word); a backslash is an
// ordinary character, and a double-byte character whose second byte is 0x5C
// stays whole. A line that does not start with a blank starts with its verb.
// Words starting with "-" before the archive name are switches; after the
// archive name, the first word ending in a path delimiter is the directory
// and the rest are entry or file names, where "@file" stands for the names
// listed in a response file.
#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace plat {

struct ArchiverCommand {
    QByteArray verb;
    QList<QByteArray> switches;
    QByteArray archive;
    QByteArray directory;
    QList<QByteArray> names;

    // The switch "-<name>" given alone (true) or absent (false).
    bool has(const char *name) const;
    // The number of "-<name><number>"; nullopt when the switch is absent,
    // 1 when it is given without a number.
    std::optional<int> number(const char *name) const;
};

// The words of a text, quotes removed.
QList<QByteArray> SplitArchiverWords(const QByteArray &text);

// Splits a command line; 0 or an ArchiverResult code (a line without an
// archive name, a response file that cannot be read).
int ParseArchiverCommand(const QByteArray &line, ArchiverCommand &command);

// True when the word's last whole character is "\" or "/".
bool EndsWithPathDelimiter(const QByteArray &word);

// A name from a command line as a native path: CP932 decoded, "\" as "/".
QString ArchiverPath(const QByteArray &name);

} // namespace plat
