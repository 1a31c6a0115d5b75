#include "tel/BAccLst.h"

#include "ui_BAccLst.h"

TBAccountListForm *BAccountListForm = nullptr;

TBAccountListForm::TBAccountListForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBAccountListForm>())
{
    ui->setupUi(this);
}

TBAccountListForm::~TBAccountListForm() = default;
