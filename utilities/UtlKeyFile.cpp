#include "utilities/UtlKeyFile.h"

#include "utilities/UtlRegistry.h"

#include "platform/Cp932.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <stdexcept>

using plat::RegKey;
using plat::RootKey;

namespace utl {
namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toStdString());
}

// Splits text into lines without their CR LF (or bare LF) ends.
QList<QByteArray> byteLines(const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // after the final line end
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

QByteArray readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(path + QStringLiteral(": ") + file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        fail(path + QStringLiteral(": ") + file.errorString());
    return bytes;
}

// A folder as a key file holds it: native separators, no trailing one, and
// backslashes and quotation marks escaped as inside a quoted value.
QString escapedFolder(const QString &folder)
{
    QString text = QDir::toNativeSeparators(QDir::cleanPath(folder));
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return text;
}

// The subfolder that a folder setting keeps below the main folder.
QString subfolder(const QString &line)
{
    if (line.startsWith(QLatin1String("\"TelegD")))
        return QStringLiteral("/Telegram");
    if (line.startsWith(QLatin1String("\"StayD")))
        return QStringLiteral("/StayTel");
    if (line.startsWith(QLatin1String("\"TempD")))
        return QStringLiteral("/Temp");
    return {};
}

// Replaces the first from by to in a key line; value lines stay as they are.
QString swapRoot(const QString &line, const QString &from, const QString &to)
{
    if (!line.startsWith(QLatin1Char('[')))
        return line;
    const qsizetype at = line.indexOf(from, 0, Qt::CaseInsensitive);
    return at < 0 ? line : QString(line).replace(at, from.size(), to);
}

} // namespace

QByteArray KeyFileText(RootKey root, const RegKey &key)
{
    // A product key holding only this key gives the root's line, then the key.
    RegKey product;
    product.createKey(key.name()) = key;
    return plat::ExportRegedit4(product, ProductRootText(root));
}

void WriteWholeFile(const QString &path, const QByteArray &bytes)
{
    // A key file holds the settings store, passwords included: for its owner only.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit())
        fail(path + QStringLiteral(": ") + file.errorString());
}

std::optional<QStringList> ReadFirstLines(const QString &path, int count)
{
    // The lines asked for are short: a few KiB hold them, and a file without
    // line breaks is not read whole.
    constexpr qint64 HeadBytes = 4096;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(HeadBytes);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    QStringList lines;
    for (const QByteArray &line : byteLines(head).mid(0, count))
        lines << plat::FromCp932(line);
    return lines;
}

std::optional<RootKey> KeyFileRoot(const QStringList &firstLines)
{
    if (firstLines.size() < 3 || firstLines[0] != QLatin1String("REGEDIT4"))
        return std::nullopt;
    for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
        if (firstLines[2] == QLatin1Char('[') + ProductRootText(root) + QLatin1Char(']'))
            return root;
    }
    return std::nullopt;
}

QString ConvertLine(const QString &line, const ConvertOptions &options)
{
    QString out = line;
    const QLatin1String folderSetting("Directory\"=");
    if (const qsizetype at = out.indexOf(folderSetting); options.newMainFolder && at >= 0) {
        // The name and its "=" stay; the data becomes the new folder as text.
        out = out.left(at + folderSetting.size()) + QLatin1Char('"')
            + escapedFolder(*options.newMainFolder + subfolder(out)) + QLatin1Char('"');
    }
    const QString user = ProductRootText(RootKey::CurrentUser);
    const QString machine = ProductRootText(RootKey::LocalMachine);
    if (options.toLocalMachine)
        out = swapRoot(out, user, machine);
    if (options.toCurrentUser)
        out = swapRoot(out, machine, user);
    return out;
}

QString ConvertedFileName(const QString &input)
{
    const QFileInfo info(input);
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    return info.dir().filePath(info.completeBaseName() + QStringLiteral("_New") + suffix);
}

void ConvertRegFile(const QString &input, const QString &output, const ConvertOptions &options)
{
    if (options.newMainFolder && !plat::FitsCp932(*options.newMainFolder))
        fail(*options.newMainFolder + QStringLiteral(" : Shift-JIS で表せない文字を含むフォルダは指定できません"));
    QByteArray out;
    for (const QByteArray &line : byteLines(readWholeFile(input))) {
        // A line the options leave alone is copied byte for byte.
        const QString text = plat::FromCp932(line);
        const QString converted = ConvertLine(text, options);
        out += (converted == text ? line : plat::ToCp932(converted)) + "\r\n";
    }
    WriteWholeFile(output, out);
}

} // namespace utl
