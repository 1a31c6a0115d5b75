#include "platform/SystemFolders.h"

#include <QDir>

namespace plat {

QString WindowsDirectory()
{
    const QString dir = qEnvironmentVariable("KALVEX_WINDOWS_DIR");
    if (!dir.isEmpty())
        return QDir::cleanPath(dir);
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty())
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(data + QStringLiteral("/kalvex-windows"));
}

QString SystemDirectory()
{
    return WindowsDirectory() + QStringLiteral("/system32");
}

} // namespace plat
