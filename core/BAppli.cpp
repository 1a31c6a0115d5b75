#include "core/BAppli.h"

#include "ui_BAppli.h"

TBAppliDlg *BAppliDlg = nullptr;

TBAppliDlg::TBAppliDlg(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::TBAppliDlg>())
{
    ui->setupUi(this);
}

TBAppliDlg::~TBAppliDlg() = default;
