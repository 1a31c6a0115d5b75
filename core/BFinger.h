#pragma once
// The finger client window: asks the target host's finger service who is logged on.
#include <QWidget>

#include <memory>

namespace Ui {
class TBFingerForm;
}

class TBFingerForm : public QWidget {
    Q_OBJECT
public:
    explicit TBFingerForm(QWidget *parent = nullptr);
    ~TBFingerForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBFingerForm> ui;
};

extern TBFingerForm *BFingerForm;
