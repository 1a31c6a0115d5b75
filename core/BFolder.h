#pragma once
// The folder dialog of the configuration window: picks a folder.
#include <QDialog>

#include <memory>

namespace Ui {
class TBFolderDlg;
}

class TBFolderDlg : public QDialog {
    Q_OBJECT
public:
    explicit TBFolderDlg(QWidget *parent = nullptr);
    ~TBFolderDlg() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBFolderDlg> ui;
};

extern TBFolderDlg *BFolderDlg;
