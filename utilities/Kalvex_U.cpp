#include <QApplication>

#include "platform/ObjectNameFilter.h"
#include "utilities/Utl_Form.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    plat::InstallObjectNameFilter(app);
    TUtility_Form form;
    form.show();
    return app.exec();
}
