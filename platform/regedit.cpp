// The registry editor's command line on the registry files:
//   regedit [/s] file.reg        merges a REGEDIT4 file into the roots
//   regedit /e file.reg KEY      writes KEY and its subtree as a REGEDIT4 file
//
// Without /s and on a desktop (an X11 or Wayland display), the editor first
// asks whether to merge the file, as a registry editor started from a window
// does. KALVEX_REGEDIT_ANSWER ("yes" or "no") answers that question instead,
// for scripts; started without a display the command merges at once.
#include "platform/Registry.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSaveFile>

#include <cstdio>
#include <memory>

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

bool OnDesktop()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform == "offscreen" || platform == "minimal")
        return false;
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// Asks on the desktop whether to merge fileName.
bool UserWantsImport(const QString &fileName)
{
    QMessageBox question(QMessageBox::Question, QStringLiteral("Registry Editor"),
                         QFileInfo(fileName).fileName() +
                             QStringLiteral(" に含まれている情報をレジストリに追加しますか?"),
                         QMessageBox::Yes | QMessageBox::No);
    question.setObjectName(QStringLiteral("RegeditQuestion"));
    return question.exec() == QMessageBox::Yes;
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
    const bool answered = qEnvironmentVariableIsSet("KALVEX_REGEDIT_ANSWER");
    const bool asking = !answered && OnDesktop();
    const std::unique_ptr<QCoreApplication> app =
        asking ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    const QStringList args = app->arguments().mid(1);
    const auto isSwitch = [&](const char *name) {
        return !args.isEmpty() && args.first().compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    try {
        if (isSwitch("/e") && args.size() == 3)
            return exportKey(args[1], args[2]);
        if (isSwitch("/s") && args.size() == 2)
            return importFile(args[1], true);
        if (!isSwitch("/s") && !isSwitch("/e") && args.size() == 1) {
            const bool wanted = answered ? qgetenv("KALVEX_REGEDIT_ANSWER").compare("yes", Qt::CaseInsensitive) == 0
                                         : !asking || UserWantsImport(args[0]);
            return wanted ? importFile(args[0], false) : 1;
        }
    } catch (const RegistryError &e) {
        warn(QString::fromStdString(e.what()));
        return 1;
    }
    warn(QStringLiteral("usage: regedit [/s] file.reg | regedit /e file.reg KEY"));
    return 2;
}
