// The main program: runs once per machine, brings the windows, settings and
// servers up in a fixed order, and runs the message loop until the main
// window closes.
#include "core/BAppli.h"
#include "core/BConfig.h"
#include "core/BEditor.h"
#include "core/BFinger.h"
#include "core/BFolder.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "olc/BOlcLog.h"
#include "platform/Help.h"
#include "platform/NamedMutex.h"
#include "platform/ObjectNameFilter.h"
#include "platform/QtTranslation.h"
#include "platform/TerminationSignal.h"
#include "platform/WinMessages.h"
#include "tel/BAccLst.h"
#include "tel/BTelLog.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {

// The windows that the application object owns, created hidden in this order.
void CreateStartupWindows()
{
    new TBLookupForm();
    BFingerForm = new TBFingerForm();
    BHostListForm = new TBHostListForm();
    BConfigForm = new TBConfigForm();
    BFolderDlg = new TBFolderDlg();
    BAppliDlg = new TBAppliDlg();
    BEditorForm = new TBEditorForm();
    BAccountListForm = new TBAccountListForm();
}

void FreeStartupWindows()
{
    delete BAccountListForm;
    delete BEditorForm;
    delete BAppliDlg;
    delete BFolderDlg;
    delete BConfigForm;
    delete BHostListForm;
    delete BFingerForm;
    delete BLookupForm;
}

int ProgramMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    plat::InstallQtTranslation(app); // also for the message of a second instance
    plat::NamedMutex mutex(QStringLiteral("OLCP Kalvex Mutex"));
    if (mutex.alreadyExists()) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Ｋａｌｖｅｘ"), QStringLiteral("すでに起動しています"),
                        QMessageBox::Ok);
        fprintf(stderr, "Kalvex_L: %s\n", "すでに起動しています");
        box.exec();
        return 0;
    }
    StartingUp = 1;
    QApplication::setApplicationName(QStringLiteral("Ｋａｌｖｅｘ"));
    QApplication::setQuitOnLastWindowClosed(false); // the main window's close ends the program
    plat::InstallObjectNameFilter(app);
    plat::InstallHelpKey(app, ShowHelp); // F1 in any window

    LoadIniFile(QApplication::applicationDirPath());
    ParseCommandLine(QApplication::arguments().mid(1));
    CreateStartupWindows();
    plat::OnTerminationSignal([] {
        if (BLookupForm)
            BLookupForm->ExitButtonClick();
    });
    LoadSettings();
    if (!BLookupForm->HasClosed()) {
        BOlcLogForm = new TBOlcLogForm();
        BTelLogForm = new TBTelLogForm();
        StartTcpServer();
        // The account answers that the UDP server takes go to the account list window.
        BAccountListForm->InstallSeams();
        StartUdpServer();
        LoadHostList();
        BAccountListForm->InitAccountList();
    }
    StartingUp = 0;
    // The Exit button, a termination signal or a failed start-up step may have
    // closed the program already.
    int rc = 0;
    if (!BLookupForm->HasClosed()) {
        plat::PostBroadcastMessage(QStringLiteral("Kalvex Open"), static_cast<qintptr>(ApplicationHandle), 0);
        rc = QApplication::exec();
    }
    FreeStartupWindows();
    mutex.release();
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    return ProgramMain(argc, argv);
}
