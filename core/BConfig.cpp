#include "core/BConfig.h"

#include "ui_BConfig.h"

TBConfigForm *BConfigForm = nullptr;

TBConfigForm::TBConfigForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBConfigForm>())
{
    ui->setupUi(this);
}

TBConfigForm::~TBConfigForm() = default;
