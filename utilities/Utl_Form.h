#pragma once
// The utilities program's window: registry key maintenance, key file conversion and the
// HTML control.
#include <QWidget>

#include <memory>

namespace Ui {
class TUtility_Form;
}

class TUtility_Form : public QWidget {
    Q_OBJECT
public:
    explicit TUtility_Form(QWidget *parent = nullptr);
    ~TUtility_Form() override;

private:
    const std::unique_ptr<Ui::TUtility_Form> ui;
};
