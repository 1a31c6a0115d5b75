#include "core/BViewlst.h"

#include <QStandardPaths>
#include <QStringList>

std::array<ViewerEntry, ViewerTableSize> ViewerTable;
int ViewerCount = 1;

void ClearViewerTable()
{
    ViewerTable.fill(ViewerEntry{});
    ViewerCount = 1;
}

namespace {

// The first of the programs found on the search path, "" when none is.
QString findFirstProgram(const QStringList &programs)
{
    for (const QString &program : programs) {
        const QString path = QStandardPaths::findExecutable(program);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

void addDefaultViewer(const QString &extension, const QString &application, QStringList &extensions)
{
    ViewerTable[ViewerCount] = ViewerEntry{extension, application, ViewerLoaded};
    ++ViewerCount;
    extensions.append(extension);
}

} // namespace

QString CreateDefaultViewers()
{
    ClearViewerTable();
    QStringList extensions;
    const QString soundPlayer =
        findFirstProgram({QStringLiteral("paplay"), QStringLiteral("aplay"), QStringLiteral("play")});
    if (!soundPlayer.isEmpty()) {
        addDefaultViewer(QStringLiteral("wav"), soundPlayer, extensions);
        addDefaultViewer(QStringLiteral("snd"), soundPlayer, extensions);
    }
    const QString videoPlayer =
        findFirstProgram({QStringLiteral("mpv"), QStringLiteral("vlc"), QStringLiteral("totem"),
                          QStringLiteral("mplayer"), QStringLiteral("ffplay")});
    if (!videoPlayer.isEmpty()) {
        addDefaultViewer(QStringLiteral("avi"), videoPlayer, extensions);
        addDefaultViewer(QStringLiteral("mpg"), videoPlayer, extensions);
    }
    return extensions.join(QLatin1Char(','));
}
