#include "tel/BRecvTel.h"

#include "ui_BRecvTel.h"

TBRecvTelegramForm *BRecvTelegramForm = nullptr;

TBRecvTelegramForm::TBRecvTelegramForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBRecvTelegramForm>())
{
    ui->setupUi(this);
}

TBRecvTelegramForm::~TBRecvTelegramForm() = default;
