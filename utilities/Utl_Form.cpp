#include "utilities/Utl_Form.h"

#include "ui_Utl_Form.h"

TUtility_Form::TUtility_Form(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TUtility_Form>())
{
    ui->setupUi(this);
}

TUtility_Form::~TUtility_Form() = default;
