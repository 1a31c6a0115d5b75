#include "tel/BTelLog.h"

#include "ui_BTelLog.h"

TBTelLogForm *BTelLogForm = nullptr;

TBTelLogForm::TBTelLogForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBTelLogForm>())
{
    ui->setupUi(this);
}

TBTelLogForm::~TBTelLogForm() = default;
