#include "core/BFolder.h"

#include "ui_BFolder.h"

TBFolderDlg *BFolderDlg = nullptr;

TBFolderDlg::TBFolderDlg(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::TBFolderDlg>())
{
    ui->setupUi(this);
}

TBFolderDlg::~TBFolderDlg() = default;
