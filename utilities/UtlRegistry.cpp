#include "utilities/UtlRegistry.h"

#include "platform/Cp932.h"

using plat::RegKey;
using plat::RegType;
using plat::RegValue;
using plat::RootKey;

namespace utl {
namespace {

QString productPath(RootKey root)
{
    return root == RootKey::CurrentUser ? QStringLiteral("Software\\ZK") : QStringLiteral("SOFTWARE\\ZK");
}

QString dataText(const RegValue &value)
{
    switch (value.type) {
    case RegType::String:
        return QLatin1Char('"') + value.text + QLatin1Char('"');
    case RegType::DWord:
        return QStringLiteral("dword:%1").arg(value.number, 8, 16, QLatin1Char('0'));
    case RegType::Binary:
        return QStringLiteral("hex:") + QString::fromLatin1(value.binary.toHex(','));
    case RegType::MultiString:
        // Each string ends with a NUL, the list with one more, as stored.
        return QStringLiteral("hex(7):")
            + QString::fromLatin1(plat::ToCp932(value.strings.join(QChar(0)) + QString(2, QChar(0))).toHex(','));
    }
    return {};
}

int kindOf(RegType type)
{
    return type == RegType::String ? 0 : type == RegType::DWord ? 1 : 2;
}

void collect(const RegKey &key, const QString &fullName, bool withOwnValues, std::vector<ShownKey> &table)
{
    if (withOwnValues) {
        ShownKey shown{fullName, {}};
        for (const QString &name : key.valueNames()) {
            const RegValue &value = *key.value(name);
            shown.values.push_back({name, kindOf(value.type), dataText(value)});
        }
        table.push_back(std::move(shown));
    }
    for (const QString &name : key.subKeyNames())
        collect(*key.key(name), fullName + QLatin1Char('\\') + name, true, table);
}

// Reads a root's file, adding a report line for each line of it that could not be read.
plat::RegistryRead loadReporting(RootKey root, QStringList &unread)
{
    plat::RegistryRead read = plat::LoadRegistry(root);
    for (const QString &problem : read.problems)
        unread << QStringLiteral("*** Registry : ") + plat::RegistryFilePath(root) + QStringLiteral(" : ") + problem;
    return read;
}

} // namespace

QString ProductRootText(RootKey root)
{
    return plat::RootKeyName(root) + QLatin1Char('\\') + productPath(root);
}

std::vector<KeyListEntry> ListProductKeys(bool withRoots, QStringList &unread)
{
    std::vector<KeyListEntry> list;
    for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
        const plat::RegistryRead read = loadReporting(root, unread);
        const RegKey *product = read.root.key(productPath(root));
        if (!product)
            continue;
        const QString rootText = ProductRootText(root);
        if (withRoots)
            list.push_back({root, productPath(root), rootText});
        for (const QString &name : product->subKeyNames()) {
            list.push_back({root, productPath(root) + QLatin1Char('\\') + name, rootText + QLatin1Char('\\') + name});
        }
    }
    return list;
}

std::optional<RegKey> ReadEntryKey(const KeyListEntry &entry, QStringList &unread)
{
    const plat::RegistryRead read = loadReporting(entry.root, unread);
    const RegKey *key = read.root.key(entry.keyPath);
    if (!key)
        return std::nullopt;
    return *key;
}

std::vector<ShownKey> ReadSubKeyValues(const RegKey &key, const QString &shownName)
{
    std::vector<ShownKey> table;
    collect(key, shownName, !key.valueNames().isEmpty(), table);
    return table;
}

QStringList ShowKeyValues(const std::vector<ShownKey> &table)
{
    QStringList lines;
    for (const ShownKey &key : table) {
        lines << QStringLiteral("\r\n[") + key.fullName + QStringLiteral("]\r\n");
        for (const ShownValue &value : key.values) {
            const QString name = value.name.isEmpty() ? QStringLiteral("@") : value.name;
            lines << PadString(name, 20) + QStringLiteral(": ") + value.data;
        }
        lines << QString();
    }
    return lines;
}

QString PadString(const QString &text, int width, bool padBefore)
{
    // Widths count CP932 bytes, as a fixed-pitch report lines them up.
    const QByteArray bytes = plat::CutCp932(plat::ToCp932(text), width);
    const QByteArray blanks(width - bytes.size(), ' ');
    return plat::FromCp932(padBefore ? blanks + bytes : bytes + blanks);
}

QString DeleteProductKey(const KeyListEntry &entry)
{
    bool existed = false;
    try {
        plat::UpdateRegistry(entry.root, [&](RegKey &root) {
            existed = root.deleteKey(entry.keyPath);
        });
    } catch (const plat::RegistryError &) {
        return entry.shownName + QStringLiteral("をレジストリから削除できませんでした");
    }
    return entry.shownName
        + (existed ? QStringLiteral("をレジストリから削除しました") : QStringLiteral("はすでにレジトスリに存在せしません"));
}

} // namespace utl
