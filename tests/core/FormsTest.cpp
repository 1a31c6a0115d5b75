// The windows built from their form descriptions: titles, the main window's
// components with their captions, hints and initial states, and the filter
// that exposes object names to assistive tools.
#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QTranslator>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>

#include <gtest/gtest.h>

#include "core/BAppli.h"
#include "core/BConfig.h"
#include "core/BEditor.h"
#include "core/BFinger.h"
#include "core/BFolder.h"
#include "core/BHostlst.h"
#include "olc/BOlcLog.h"
#include "platform/ObjectNameFilter.h"
#include "platform/QtTranslation.h"
#include "tel/BAccLst.h"
#include "tel/BRecvTel.h"
#include "tel/BTelLog.h"
#include "ui_BLookup.h"

namespace {

template <class Form>
QWidget *Make(QWidget *owner)
{
    return new Form(owner);
}

TEST(FormsTest, EveryWindowHasItsClassNameAndTitle)
{
    struct Window {
        QWidget *(*make)(QWidget *);
        const char *name;
        QString title;
        bool dialog = false;
    };
    const Window windows[] = {
        {Make<TBFingerForm>, "TBFingerForm", "Ｋａｌｖｅｘ [ Finger ]"},
        {Make<TBHostListForm>, "TBHostListForm", "Ｋａｌｖｅｘ [ Host List ]"},
        {Make<TBConfigForm>, "TBConfigForm", "Ｋａｌｖｅｘ [ Configuration ]"},
        {Make<TBFolderDlg>, "TBFolderDlg", "Folder Dialog Box", true},
        {Make<TBAppliDlg>, "TBAppliDlg", "Application Dialog Box", true},
        {Make<TBEditorForm>, "TBEditorForm", "Ｋａｌｖｅｘ [ Richtext Editor ]"},
        {Make<TBAccountListForm>, "TBAccountListForm", "Ｋａｌｖｅｘ [ Account List ]"},
        {Make<TBRecvTelegramForm>, "TBRecvTelegramForm", "Ｋａｌｖｅｘ [ TEL Server ]"},
        {Make<TBTelLogForm>, "TBTelLogForm", "Ｋａｌｖｅｘ [ TEL Log ]"},
        {Make<TBOlcLogForm>, "TBOlcLogForm", "Ｋａｌｖｅｘ [ OLC Log ]"},
    };
    QWidget owner;
    for (const Window &w : windows) {
        // Owned by another window, a form must still be a window of its own.
        QWidget *form = w.make(&owner);
        EXPECT_EQ(form->objectName(), w.name);
        EXPECT_EQ(form->windowTitle(), w.title) << w.name;
        EXPECT_TRUE(form->isWindow()) << w.name;
        EXPECT_EQ(form->parentWidget(), &owner) << w.name;
        EXPECT_EQ(form->inherits("QDialog"), w.dialog) << w.name;
    }
}

TEST(FormsTest, MainWindowHasEveryComponentInItsInitialState)
{
    QWidget window;
    Ui::TBLookupForm ui;
    ui.setupUi(&window);
    EXPECT_EQ(window.objectName(), "TBLookupForm");
    EXPECT_EQ(window.windowTitle(), "Ｋａｌｖｅｘ [ Lookup ] : Main Window");
    EXPECT_EQ(window.size(), QSize(550, 450));

    struct Component {
        const char *name;
        const char *kind;
        QString caption; // null: the component has no caption of its own
        QString hint;
        bool enabled = true;
        bool hidden = false;
    };
    const Component components[] = {
        {"TopPanel", "QFrame", {}, {}},
        {"LookupLabel1", "QLabel", "Kalvex - Light", {}},
        {"LookupLabel2", "QLabel", "Lookup", {}},
        {"PromptLabel", "QLabel", "Input Host Name / IP Address", {}},
        {"VersionLabel", "QLabel", "Blocking version", {}},
        {"NumberLabel", "QLabel", "Ver.3.03.03031001", {}},
        {"OlcpvLabel", "QLabel", "OLCP303L", {}},
        {"RecvNumLabel", "QLabel", "[ 0 ]", "待機中のTEL数です.ｸﾘｯｸすると表示されます", true, true},
        {"SaveCheckBox", "QCheckBox", "Save Log", "ﾁｪｯｸするとﾛｸﾞをﾌｧｲﾙに保存します", false},
        {"AutoreplyCheckBox", "QCheckBox", "Auto Reply", "ﾁｪｯｸすると自動返信ﾓｰﾄﾞになります"},
        {"LockCheckBox", "QCheckBox", "Lock", "ﾁｪｯｸすると受信ｳｨﾝﾄﾞｳをﾛｯｸします"},
        {"HostNameEdit", "QLineEdit", {}, "ﾀｰｹﾞｯﾄ･ﾘﾓｰﾄ･ﾎｽﾄのﾎｽﾄﾈｰﾑかIPｱﾄﾞﾚｽを入力します"},
        {"LookupButton", "QPushButton", "Lookup", {}},
        {"ClearButton", "QPushButton", "Clear", {}},
        {"HostListButton", "QPushButton", "HostList", {}},
        {"ConfigButton", "QPushButton", "Config", {}},
        {"AccListButton", "QPushButton", "AccList", {}},
        {"TelButton", "QPushButton", "TEL", {}, false},
        {"OlcButton", "QPushButton", "OLC", {}, false},
        {"AccountButton", "QPushButton", "Account", {}, false},
        {"OriginButton", "QPushButton", "Origin", "Kalvexの原点のﾒﾆｭｰです", false},
        {"QueryButton", "QPushButton", "Query", {}, true, true},
        {"EditorButton", "QPushButton", "Editor", {}},
        {"HelpButton", "QPushButton", "Help", {}},
        {"ExitButton", "QPushButton", "Exit", "Kalvex を終わります"},
        {"X_Button", "QPushButton", "X", {}, true, true},
        {"LookupMemo", "QPlainTextEdit", {}, {}},
        {"BottomPanel", "QFrame", {}, {}},
        {"L_StatusBar", "QStatusBar", {}, {}},
        {"BottomPanel2", "QFrame", {}, {}},
    };
    for (const Component &c : components) {
        SCOPED_TRACE(c.name);
        const auto found = window.findChildren<QWidget *>(c.name);
        ASSERT_EQ(found.size(), 1);
        QWidget *w = found.first();
        EXPECT_TRUE(w->inherits(c.kind));
        if (!c.caption.isNull()) {
            if (auto *label = qobject_cast<QLabel *>(w))
                EXPECT_EQ(label->text(), c.caption);
            else
                EXPECT_EQ(qobject_cast<QAbstractButton *>(w)->text(), c.caption);
        }
        EXPECT_EQ(w->toolTip(), c.hint);
        EXPECT_EQ(w->isEnabled(), c.enabled);
        EXPECT_EQ(w->isHidden(), c.hidden);
    }
    EXPECT_EQ(ui.PromptLabel->buddy(), ui.HostNameEdit);
    EXPECT_TRUE(ui.LookupMemo->isReadOnly());
    // Timer, menu and save dialog are made by the window's code, not by the form.
    EXPECT_EQ(window.findChild<QObject *>("AutoCloseTimer"), nullptr);
    EXPECT_EQ(window.findChild<QObject *>("PopupMenu"), nullptr);
    EXPECT_EQ(window.findChild<QObject *>("SaveDialog"), nullptr);
}

TEST(FormsTest, ObjectNameFilterExposesNamesAsDescriptions)
{
    static const bool installed = [] {
        plat::InstallObjectNameFilter(*qApp);
        return true;
    }();
    ASSERT_TRUE(installed);

    QWidget window;
    window.setObjectName("Window");
    auto *named = new QLineEdit(&window);
    named->setObjectName("HostNameEdit");
    named->setAccessibleName("Host name");
    auto *described = new QLabel(&window);
    described->setObjectName("PromptLabel");
    described->setAccessibleDescription("kept");
    auto *unnamed = new QLabel(&window);
    window.show();

    EXPECT_EQ(window.accessibleDescription(), "Window");
    EXPECT_EQ(named->accessibleDescription(), "HostNameEdit");
    EXPECT_EQ(named->accessibleName(), "Host name");
    EXPECT_EQ(described->accessibleDescription(), "kept");
    EXPECT_TRUE(unnamed->accessibleDescription().isEmpty());

    // A widget shown later, and named only after it was polished, still gets its name.
    auto *late = new QLabel(&window);
    late->ensurePolished();
    late->setObjectName("RecvNumLabel");
    late->show();
    EXPECT_EQ(late->accessibleDescription(), "RecvNumLabel");
}

// Qt's own dialogs read Japanese, as the programs install Qt's translation.
TEST(FormsTest, QtsOwnDialogsSpeakJapanese)
{
    ASSERT_TRUE(plat::InstallQtTranslation(*qApp));
    QMessageBox box(QMessageBox::Warning, QString(), QStringLiteral("?"), QMessageBox::Yes | QMessageBox::No);
    QFileDialog files;
    files.setOption(QFileDialog::DontUseNativeDialog);
    const auto label = [&files](const char *name) { return files.findChild<QLabel *>(QLatin1String(name))->text(); };
    const QDialogButtonBox *buttons = files.findChild<QDialogButtonBox *>();
    EXPECT_EQ(box.button(QMessageBox::Yes)->text(), QStringLiteral("はい(&Y)"));
    EXPECT_EQ(box.button(QMessageBox::No)->text(), QStringLiteral("いいえ(&N)"));
    EXPECT_EQ(label("lookInLabel"), QStringLiteral("アドレス:"));
    EXPECT_EQ(label("fileNameLabel"), QStringLiteral("ファイル名(&N):"));
    EXPECT_EQ(buttons->button(QDialogButtonBox::Open)->text(), QStringLiteral("開く(&O)"));
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));
    // Other tests see Qt's texts as they were.
    delete qApp->findChild<QTranslator *>();
}

} // namespace
