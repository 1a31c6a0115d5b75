#include "platform/Help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace plat {

bool OpenHelp(const QString &helpFile)
{
    const QFileInfo help(QDir(QCoreApplication::applicationDirPath()), helpFile);
    const QFileInfo page(help.dir(), help.completeBaseName() + QStringLiteral(".html"));
    if (!page.isFile())
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(page.absoluteFilePath()));
}

void CloseHelp()
{
}

} // namespace plat
