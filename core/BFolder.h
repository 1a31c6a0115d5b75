#pragma once
// The folder dialog of the configuration window: picks a folder. Its drive
// box and folder list are shared with the application dialog.
#include <QDialog>
#include <QString>

#include <memory>

class QComboBox;
class QTreeView;

namespace Ui {
class TBFolderDlg;
}

// Fills driveBox with the file system roots and lets dirBox browse the
// folders of the chosen one.
void SetUpFolderList(QComboBox *driveBox, QTreeView *dirBox);
// Selects folder in a list set up by SetUpFolderList and shows it.
void SetListFolder(QTreeView *dirBox, const QString &folder);
// The selected folder with one trailing separator removed ("" when none is
// selected; a root keeps its "/").
QString ListFolder(const QTreeView *dirBox);

class TBFolderDlg : public QDialog {
    Q_OBJECT
public:
    explicit TBFolderDlg(QWidget *parent = nullptr);
    ~TBFolderDlg() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBFolderDlg> ui;

    void SetFolder(const QString &folder);
    QString Folder() const;
};

extern TBFolderDlg *BFolderDlg;
