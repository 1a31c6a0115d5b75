#pragma once
// The program's help: an HTML page beside the program in place of a help file.
#include <QString>

namespace plat {

// Opens the page that stands for the help file ("Kalvex.hlp" -> "Kalvex.html",
// in the program's folder unless the name has a folder of its own) in the
// desktop's browser. False when there is no such page or it cannot be shown.
bool OpenHelp(const QString &helpFile);

// The help quits with the program: the browser is the desktop's and stays.
void CloseHelp();

} // namespace plat
