#pragma once
// Qt's own dialogs and buttons (the file dialogs, Yes and No, OK and Cancel)
// in Japanese, as the rest of the programs read: Qt's translation of its
// standard texts, installed with Qt (qtbase_ja.qm among Qt's translations).
// The programs' own texts are not translated; they are Japanese already.
class QApplication;

namespace plat {

// Installs Qt's Japanese translation of its own texts into app. False when
// it is not installed: Qt's texts then stay English.
bool InstallQtTranslation(QApplication &app);

} // namespace plat
