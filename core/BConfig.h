#pragma once
// The configuration window: folders, passwords, chime, editor and viewer settings.
#include <QWidget>

#include <memory>

namespace Ui {
class TBConfigForm;
}

class TBConfigForm : public QWidget {
    Q_OBJECT
public:
    explicit TBConfigForm(QWidget *parent = nullptr);
    ~TBConfigForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBConfigForm> ui;
};

extern TBConfigForm *BConfigForm;
