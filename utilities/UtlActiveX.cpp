#include "utilities/UtlActiveX.h"

#include "platform/Registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

const QStringList HtmlControlInstaller::ControlFiles = {
    QStringLiteral("HTML.ocx"), QStringLiteral("NMOCOD.dll"), QStringLiteral("NMORENU.dll"),
    QStringLiteral("NMSCKN.dll"), QStringLiteral("NMW3VWN.dll")};
const QStringList HtmlControlInstaller::ServerFiles = {QStringLiteral("NMOCOD.dll"), QStringLiteral("HTML.ocx")};
const QString HtmlControlInstaller::RegistrationKey = QStringLiteral("SOFTWARE\\Classes\\HtmlControl");

namespace {

const QString NewerText = QStringLiteral(" : インストールしたファイルより新しいので削除しません");

// A file without its owner's write permission is read-only: like the system
// it stands in for, it is neither replaced nor deleted.
bool readOnly(const QString &path)
{
    return !QFileInfo(path).permission(QFile::WriteOwner);
}

// Copies source over target through a temporary file, keeping the source's
// modification time so a later install sees the copies as equal.
bool copyKeepingTime(const QString &source, const QString &target)
{
    const QString temporary = target + QStringLiteral(".copying");
    QFile::remove(temporary);
    if (!QFile::copy(source, temporary))
        return false;
    QFile copy(temporary);
    const bool ok = copy.open(QIODevice::ReadWrite)
        && copy.setFileTime(QFileInfo(source).lastModified(), QFileDevice::FileModificationTime);
    copy.close();
    if (!ok || !QFile::setPermissions(temporary, QFileInfo(source).permissions() | QFile::WriteOwner)
        || std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}

} // namespace

HtmlControlInstaller::HtmlControlInstaller(QString startFolder, QString systemFolder,
                                           std::function<void(const QString &)> report)
    : startFolder_(std::move(startFolder)), systemFolder_(std::move(systemFolder)), report_(std::move(report))
{
}

QString HtmlControlInstaller::startPath(const QString &file) const
{
    return QDir(startFolder_).filePath(file);
}

QString HtmlControlInstaller::systemPath(const QString &file) const
{
    return QDir(systemFolder_).filePath(file);
}

bool HtmlControlInstaller::CheckStartFile(const QString &file)
{
    if (QFileInfo(startPath(file)).isFile())
        return true;
    report_(file + QStringLiteral(" : ファイルが起動ディレクトリにありません"));
    return false;
}

bool HtmlControlInstaller::CheckAllStartFiles()
{
    bool all = true;
    for (const QString &file : ControlFiles)
        all = CheckStartFile(file) && all;
    return all;
}

bool HtmlControlInstaller::CopyToSystemDir(const QString &file)
{
    if (!CheckStartFile(file))
        return false;
    const QFileInfo source(startPath(file)), target(systemPath(file));
    if (target.exists() && target.lastModified() >= source.lastModified()) {
        report_(file + QStringLiteral(" : ファイルがすでに存在します"));
        return true;
    }
    const bool copied = (!target.exists() || !readOnly(target.filePath())) && QDir().mkpath(systemFolder_)
        && copyKeepingTime(source.filePath(), target.filePath());
    report_(file + (copied ? QStringLiteral(" : ファイルをコピーしました") : QStringLiteral(" : ファイルのコピーができません")));
    return copied;
}

bool HtmlControlInstaller::newerThanShipped(const QString &file) const
{
    const QFileInfo installed(systemPath(file)), original(startPath(file));
    return installed.exists() && original.exists() && installed.lastModified() > original.lastModified();
}

bool HtmlControlInstaller::DeleteFromSystemDir(const QString &file)
{
    if (!QFileInfo::exists(systemPath(file))) {
        report_(file + QStringLiteral(" : システムディレクトリに見当たりません"));
        return false;
    }
    if (newerThanShipped(file)) {
        report_(file + NewerText);
        return false;
    }
    const bool deleted = !readOnly(systemPath(file)) && QFile::remove(systemPath(file));
    report_(file + (deleted ? QStringLiteral(" : ファイルを削除しました") : QStringLiteral(" : ファイルを削除できません")));
    return deleted;
}

bool HtmlControlInstaller::CallServerEntry(const QString &file, bool reg)
{
    const QString entry = reg ? QStringLiteral("DllRegisterServer") : QStringLiteral("DllUnregisterServer");
    QString library = systemPath(file);
    if (!QFileInfo(library).isFile())
        library = startPath(file);
    if (!QFileInfo(library).isReadable()) {
        report_(file + QStringLiteral(" : ロードに失敗"));
        return false;
    }
    const QString key = RegistrationKey + QLatin1Char('\\') + file;
    try {
        plat::UpdateRegistry(plat::RootKey::LocalMachine, [&](plat::RegKey &root) {
            if (reg)
                root.createKey(key).writeString(QString(), QFileInfo(library).absoluteFilePath());
            else
                root.deleteKey(key);
        });
    } catch (const plat::RegistryError &) {
        report_(file + QStringLiteral(" : ") + entry + QStringLiteral(" に失敗しました"));
        return false;
    }
    report_(file + QStringLiteral(" : ") + entry + QStringLiteral(" に成功しました"));
    return true;
}

void HtmlControlInstaller::InstallHtmlControl()
{
    bool all = true;
    for (const QString &file : ControlFiles)
        all = CopyToSystemDir(file) && all;
    if (!all) {
        report_(QStringLiteral("レジストリへの登録を打ち切ります"));
        return;
    }
    for (const QString &file : ServerFiles)
        CallServerEntry(file, true);
}

void HtmlControlInstaller::UninstallHtmlControl()
{
    // A file newer than the shipped copy came with another installation that
    // still uses the control: nothing is unregistered or deleted. A file that
    // is already gone does not stop the others.
    bool newer = false;
    for (const QString &file : ControlFiles) {
        if (newerThanShipped(file)) {
            report_(file + NewerText);
            newer = true;
        }
    }
    if (newer) {
        report_(QStringLiteral("レジストリからの登録抹消を打ち切ります"));
        return;
    }
    for (const QString &file : ServerFiles)
        CallServerEntry(file, false);
    for (const QString &file : ControlFiles)
        DeleteFromSystemDir(file);
}
