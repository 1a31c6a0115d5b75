#include "olc/BOlcLog.h"

#include "ui_BOlcLog.h"

TBOlcLogForm *BOlcLogForm = nullptr;

TBOlcLogForm::TBOlcLogForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBOlcLogForm>())
{
    ui->setupUi(this);
}

TBOlcLogForm::~TBOlcLogForm() = default;
