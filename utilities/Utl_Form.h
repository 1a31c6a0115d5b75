#pragma once
// The utilities program's window: registry key maintenance, key file conversion and the
// HTML control. Every result is a line in the report memo; every finished action ends
// with a separator line.
#include "utilities/UtlKeyFile.h"
#include "utilities/UtlRegistry.h"

#include <QWidget>

#include <memory>
#include <vector>

class QButtonGroup;

namespace Ui {
class TUtility_Form;
}

class TUtility_Form : public QWidget {
    Q_OBJECT
public:
    explicit TUtility_Form(QWidget *parent = nullptr);
    ~TUtility_Form() override;

    const std::unique_ptr<Ui::TUtility_Form> ui;

    // Folders noted when the window is first shown; the start folder holds
    // the HTML control's files and is where the file dialogs open.
    QString StartDirectory, WindowsDirectory, SystemDirectory;

    // F1: the help page at this window's section.
    void ShowHelp();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    enum Menu { NoMenu = -1, RegistryMenu, ConvertMenu, ActiveXMenu };
    enum ConvertPanelMode { FileMode, FolderMode };

    void FormShow();
    void MainMenuGroupClick(int item);
    void RegistryGroupClick(int item);
    void ActiveXGroupClick(int item);
    void ExeButtonClick();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void SubKeyListBoxClick();
    void ExitButtonClick();

    void AddLine(const QString &text);
    bool Ask(const QString &name, const QString &text);
    void FileError(const QString &text);
    QString ChooseFile(const QString &dialogName, bool save);

    void PrepareKeyList(bool forDeleting);
    void ShowKey(const utl::KeyListEntry &entry);
    void SaveKeyFile(const utl::KeyListEntry &entry, const plat::RegKey &key);
    void DeleteKeys(const std::vector<utl::KeyListEntry> &entries);
    void RestoreFromFile();
    bool RunRegistryEditor(const QString &fileName);

    void ShowConvertPanel(ConvertPanelMode mode, const QString &label, const QString &text);
    void AcceptConvertFile();
    void ConvertAndReset();

    void RunHtmlControlAction();
    void ClearChoice(QButtonGroup *group);

    QButtonGroup *MainMenuItems, *RegistryItems, *ActiveXItems;
    bool Shown = false;
    int MenuChoice = NoMenu, RegistryAction = -1, ActiveXAction = -1;
    ConvertPanelMode PanelMode = FileMode;
    QString ConvertInput;
    utl::ConvertOptions Options;
    std::vector<utl::KeyListEntry> KeyList;
};
