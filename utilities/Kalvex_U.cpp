#include <QApplication>

#include "platform/Help.h"
#include "platform/ObjectNameFilter.h"
#include "utilities/Utl_Form.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    plat::InstallObjectNameFilter(app);
    TUtility_Form form;
    plat::InstallHelpKey(app, [&form](QWidget *) { form.ShowHelp(); }); // F1 anywhere in the window
    form.show();
    return app.exec();
}
