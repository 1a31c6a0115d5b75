#include "core/BFinger.h"

#include "ui_BFinger.h"

TBFingerForm *BFingerForm = nullptr;

TBFingerForm::TBFingerForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBFingerForm>())
{
    ui->setupUi(this);
}

TBFingerForm::~TBFingerForm() = default;
