#include "core/BHostlst.h"

#include "ui_BHostlst.h"

TBHostListForm *BHostListForm = nullptr;

TBHostListForm::TBHostListForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBHostListForm>())
{
    ui->setupUi(this);
}

TBHostListForm::~TBHostListForm() = default;
