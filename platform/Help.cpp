#include "platform/Help.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QWidget>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace plat {

namespace {

// $BROWSER lists browsers to try in order; an entry without "%s" gets the
// address as its last argument.
bool StartBrowserFromEnvironment(const QString &address)
{
    const QString browsers = qEnvironmentVariable("BROWSER");
    for (const QString &entry : browsers.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        QStringList words = QProcess::splitCommand(entry);
        if (words.isEmpty())
            continue;
        const QString program = words.takeFirst();
        if (QStandardPaths::findExecutable(program).isEmpty() && !QFileInfo(program).isExecutable())
            continue;
        bool placed = false;
        for (QString &word : words) {
            if (word.contains(QLatin1String("%s"))) {
                word.replace(QLatin1String("%s"), address);
                placed = true;
            }
        }
        if (!placed)
            words.append(address);
        if (QProcess::startDetached(program, words))
            return true;
    }
    return false;
}

class HelpKeyFilter final : public QObject {
public:
    HelpKeyFilter(QObject *parent, std::function<void(QWidget *)> onHelpKey)
        : QObject(parent), OnHelpKey(std::move(onHelpKey))
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
            return false;
        const auto *key = static_cast<const QKeyEvent *>(event);
        if (key->key() != Qt::Key_F1 || key->modifiers() != Qt::NoModifier)
            return false;
        // A key goes to the widget that has the focus in the active window.
        auto *target = qobject_cast<QWidget *>(watched);
        OnHelpKey(target);
        return true;
    }

private:
    const std::function<void(QWidget *)> OnHelpKey;
};

} // namespace

QString HelpPagePath(const QString &helpFile)
{
    const QFileInfo help(QDir(QCoreApplication::applicationDirPath()), helpFile);
    return QFileInfo(help.dir(), help.completeBaseName() + QStringLiteral(".html")).absoluteFilePath();
}

QString HelpFailureText(const QString &helpFile)
{
    const QString page = HelpPagePath(helpFile);
    return QFileInfo(page).isFile() ? QStringLiteral("*** Help : no browser could be started ***")
                                    : QStringLiteral("*** Help File not Found : ") + page + QStringLiteral(" ***");
}

bool OpenHelp(const QString &helpFile, const QString &anchor)
{
    const QString page = HelpPagePath(helpFile);
    if (!QFileInfo(page).isFile())
        return false;
    QUrl url = QUrl::fromLocalFile(page);
    if (!anchor.isEmpty())
        url.setFragment(anchor);
    const QString address = url.toString(QUrl::FullyEncoded);
    if (StartBrowserFromEnvironment(address))
        return true;
    if (!QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty())
        return QProcess::startDetached(QStringLiteral("xdg-open"), {address});
    return QDesktopServices::openUrl(url);
}

void CloseHelp()
{
}

QObject *InstallHelpKey(QApplication &app, std::function<void(QWidget *)> onHelpKey)
{
    auto *filter = new HelpKeyFilter(&app, std::move(onHelpKey));
    app.installEventFilter(filter);
    return filter;
}

} // namespace plat
