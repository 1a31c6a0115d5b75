#include "core/BEditor.h"

#include "ui_BEditor.h"

TBEditorForm *BEditorForm = nullptr;

TBEditorForm::TBEditorForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBEditorForm>())
{
    ui->setupUi(this);
}

TBEditorForm::~TBEditorForm() = default;
