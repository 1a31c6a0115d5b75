// The registry editor's command line on the registry files:
//   regedit [/s] file.reg        merges a REGEDIT4 file into the roots
//   regedit /e file.reg KEY      writes KEY and its subtree as a REGEDIT4 file
#include "platform/Registry.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

using namespace plat;

namespace {

void warn(const QString &text)
{
    std::fprintf(stderr, "regedit: %s\n", text.toLocal8Bit().constData());
}

void merge(RegKey &into, const RegKey &from)
{
    for (const QString &name : from.valueNames())
        into.writeValue(*from.value(name));
    for (const QString &name : from.subKeyNames())
        merge(into.createKey(name), *from.key(name));
}

// Touches a root's file only when the import has something for it.
void apply(RootKey root, const RegKey &keys, const QStringList &deleted)
{
    if (keys.valueNames().isEmpty() && keys.subKeyNames().isEmpty() && deleted.isEmpty())
        return;
    UpdateRegistry(root, [&](RegKey &tree) {
        for (const QString &path : deleted)
            tree.deleteKey(path);
        merge(tree, keys);
    });
}

int importFile(const QString &fileName, bool silent)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        warn(QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString()));
        return 1;
    }
    const Regedit4Import parsed = ParseRegedit4(file.readAll());
    for (const QString &problem : parsed.problems)
        warn(QStringLiteral("warning: %1: %2").arg(fileName, problem));
    apply(RootKey::CurrentUser, parsed.currentUser, parsed.deletedCurrentUser);
    apply(RootKey::LocalMachine, parsed.localMachine, parsed.deletedLocalMachine);
    if (!silent)
        std::printf("%s: imported\n", fileName.toLocal8Bit().constData());
    return 0;
}

int exportKey(const QString &fileName, const QString &fullPath)
{
    QStringList parts = fullPath.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    const auto root = parts.isEmpty() ? std::nullopt : RootKeyFromName(parts.takeFirst());
    if (!root) {
        warn(QStringLiteral("not a registry key: %1").arg(fullPath));
        return 1;
    }
    const RegistryRead read = LoadRegistry(*root);
    for (const QString &problem : read.problems)
        warn(QStringLiteral("warning: %1: %2").arg(RegistryFilePath(*root), problem));
    // The file names the keys with the case they are stored with.
    const RegKey *key = &read.root;
    QString path = RootKeyName(*root);
    for (const QString &part : parts) {
        if (!(key = key->key(part))) {
            warn(QStringLiteral("no such key: %1").arg(fullPath));
            return 1;
        }
        path += QLatin1Char('\\') + key->name();
    }
    const QByteArray text = ExportRegedit4(*key, path);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        warn(QStringLiteral("cannot write %1: %2").arg(fileName, file.errorString()));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto isSwitch = [&](const char *name) {
        return !args.isEmpty() && args.first().compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    try {
        if (isSwitch("/e") && args.size() == 3)
            return exportKey(args[1], args[2]);
        if (isSwitch("/s") && args.size() == 2)
            return importFile(args[1], true);
        if (!isSwitch("/s") && !isSwitch("/e") && args.size() == 1)
            return importFile(args[0], false);
    } catch (const RegistryError &e) {
        warn(QString::fromStdString(e.what()));
        return 1;
    }
    warn(QStringLiteral("usage: regedit [/s] file.reg | regedit /e file.reg KEY"));
    return 2;
}
