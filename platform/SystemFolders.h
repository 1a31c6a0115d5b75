#pragma once
// The Windows folder and its system folder, as the programs know them: plain
// folders of our own, since shared libraries are not installed there on this
// platform. $KALVEX_WINDOWS_DIR names the Windows folder when set (tests set
// it); else it is $XDG_DATA_HOME/kalvex-windows (~/.local/share/kalvex-windows).
// The system folder is its subfolder "system32". Neither is created here.
#include <QString>

namespace plat {

QString WindowsDirectory();
QString SystemDirectory();

} // namespace plat
