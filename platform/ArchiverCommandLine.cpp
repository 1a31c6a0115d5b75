#include "platform/ArchiverCommandLine.h"

#include "platform/ArchiverInfo.h"
#include "platform/Cp932.h"

#include <QFile>

namespace plat {

namespace {

// A response file is a list of names; anything larger is not one.
constexpr qint64 MaxResponseFileSize = 4 * 1024 * 1024;

// A lead byte followed by a byte that can end a double-byte character.
bool StartsDoubleByte(const QByteArray &text, qsizetype i)
{
    if (i + 1 >= text.size() || !IsCp932LeadByte(static_cast<unsigned char>(text[i])))
        return false;
    const auto trail = static_cast<unsigned char>(text[i + 1]);
    return trail >= 0x40 && trail <= 0xFC && trail != 0x7F;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int AppendResponseFile(const QByteArray &fileName, QList<QByteArray> &names)
{
    QFile file(ArchiverPath(fileName));
    if (fileName.isEmpty() || !file.open(QIODevice::ReadOnly) || file.size() > MaxResponseFileSize)
        return ArchiverErrorNoFile;
    names += SplitArchiverWords(file.readAll());
    return ArchiverOk;
}

} // namespace

bool ArchiverCommand::has(const char *name) const
{
    const QByteArray wanted = QByteArray("-") + name;
    return switches.contains(wanted);
}

std::optional<int> ArchiverCommand::number(const char *name) const
{
    const QByteArray prefix = QByteArray("-") + name;
    for (const QByteArray &word : switches) {
        if (!word.startsWith(prefix))
            continue;
        const QByteArray rest = word.mid(prefix.size());
        if (rest.isEmpty())
            return 1;
        bool ok = false;
        const int value = rest.toInt(&ok);
        if (ok)
            return value;
    }
    return std::nullopt;
}

QList<QByteArray> SplitArchiverWords(const QByteArray &text)
{
    QList<QByteArray> words;
    QByteArray word;
    bool inWord = false;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0')
            break;
        if (!quoted && IsBlank(c)) {
            if (inWord)
                words.append(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '"') {
            quoted = !quoted;
        } else if (StartsDoubleByte(text, i)) {
            word += c;
            word += text[++i];
        } else {
            word += c;
        }
    }
    if (inWord)
        words.append(word);
    return words;
}

int ParseArchiverCommand(const QByteArray &line, ArchiverCommand &command)
{
    command = {};
    QList<QByteArray> words = SplitArchiverWords(line);
    if (!line.isEmpty() && !IsBlank(line.front()) && !words.isEmpty())
        command.verb = words.takeFirst();
    bool haveArchive = false;
    for (const QByteArray &word : std::as_const(words)) {
        if (!haveArchive) {
            if (word.startsWith('-')) {
                command.switches.append(word);
            } else {
                command.archive = word;
                haveArchive = true;
            }
        } else if (word.startsWith('@')) {
            if (const int result = AppendResponseFile(word.mid(1), command.names))
                return result;
        } else if (command.directory.isEmpty() && command.names.isEmpty() && EndsWithPathDelimiter(word)) {
            command.directory = word;
        } else {
            command.names.append(word);
        }
    }
    return haveArchive && !command.archive.isEmpty() ? int(ArchiverOk) : int(ArchiverErrorCommand);
}

bool EndsWithPathDelimiter(const QByteArray &word)
{
    bool last = false;
    for (qsizetype i = 0; i < word.size(); ++i) {
        if (StartsDoubleByte(word, i)) {
            last = false;
            ++i;
        } else {
            last = word[i] == '\\' || word[i] == '/';
        }
    }
    return last;
}

QString ArchiverPath(const QByteArray &name)
{
    return FromCp932(name).replace(QLatin1Char('\\'), QLatin1Char('/'));
}

} // namespace plat
