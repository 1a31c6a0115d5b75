#pragma once
// The program's help: one HTML page beside the program in place of a help
// file ("Kalvex.hlp" is "Kalvex.html"). A window's help context is an anchor
// in that page ("#2200"); the page opens in the desktop's browser, never in
// the program itself. F1 anywhere asks for the help of what has the focus.
#include <QString>

#include <functional>

class QApplication;
class QObject;
class QWidget;

namespace plat {

// A widget (or window) that has a section of its own in the help page names
// its anchor in this dynamic property; F1 on it or on any of its children
// opens the help there.
constexpr char HelpContextProperty[] = "HelpContext";

// The page that stands for the help file: its name with ".html", in the
// program's folder unless the name has a folder of its own.
QString HelpPagePath(const QString &helpFile);

// Opens the help page at anchor (none: at its top) in the desktop's browser:
// the first program of $BROWSER that runs (colon-separated, "%s" standing
// for the address), else xdg-open. False when the page does not exist or no
// browser could be started.
bool OpenHelp(const QString &helpFile, const QString &anchor = QString());

// What to tell the user when OpenHelp failed: the page is missing, or no
// browser started.
QString HelpFailureText(const QString &helpFile);

// The help quits with the program: the browser is the desktop's and stays.
void CloseHelp();

// Calls onHelpKey with the widget that has the focus whenever F1 is pressed
// alone in any window of the application. The
// key goes no further. The returned filter belongs to app; deleting it ends
// the handling.
QObject *InstallHelpKey(QApplication &app, std::function<void(QWidget *)> onHelpKey);

} // namespace plat
