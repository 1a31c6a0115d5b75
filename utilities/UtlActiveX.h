#pragma once
// Installing and removing the HTML control: five files that ship beside the
// utilities program are copied into the system folder (plat::SystemDirectory)
// and two of them registered, or unregistered and deleted again.
//
// The control's libraries cannot be loaded on this platform, so their
// self-registration is done here in their place: registering a server writes
// the key HKEY_LOCAL_MACHINE\SOFTWARE\Classes\HtmlControl\<file> with the
// path of the file found as the library (default value), unregistering deletes
// that key. A server is found by its bare name as the platform would load it:
// in the system folder, else in the start folder.
#include <QString>
#include <QStringList>

#include <functional>

class HtmlControlInstaller {
public:
    // report receives every result line.
    HtmlControlInstaller(QString startFolder, QString systemFolder, std::function<void(const QString &)> report);

    // The five files, in the order every operation takes them.
    static const QStringList ControlFiles;
    // The two that are registered, in this order.
    static const QStringList ServerFiles;
    // The registry path (under HKEY_LOCAL_MACHINE) that holds the registrations.
    static const QString RegistrationKey;

    // Whether the start folder holds file; reports a missing one.
    bool CheckStartFile(const QString &file);
    // Each of the five checked, every missing one reported.
    bool CheckAllStartFiles();

    bool CopyToSystemDir(const QString &file);
    bool DeleteFromSystemDir(const QString &file);
    // Calls the server's "DllRegisterServer" (reg) or "DllUnregisterServer".
    bool CallServerEntry(const QString &file, bool reg);

    void InstallHtmlControl();
    // Unregisters the servers while their files are still in place (a server
    // already gone from the system folder is found in the start folder), then
    // deletes every file; a file missing from the system folder is reported and
    // the others are still removed. When a file in the system folder is newer
    // than the shipped copy, nothing is unregistered or deleted.
    void UninstallHtmlControl();

private:
    QString startPath(const QString &file) const;
    QString systemPath(const QString &file) const;
    // The system folder's copy is newer than the one in the start folder.
    bool newerThanShipped(const QString &file) const;

    const QString startFolder_, systemFolder_;
    const std::function<void(const QString &)> report_;
};
