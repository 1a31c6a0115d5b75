#include "platform/QtTranslation.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace plat {

bool InstallQtTranslation(QApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (translator->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

} // namespace plat
