#pragma once
// The TEL log window: browses a TEL log pair offline.
#include <QWidget>

#include <memory>

namespace Ui {
class TBTelLogForm;
}

class TBTelLogForm : public QWidget {
    Q_OBJECT
public:
    explicit TBTelLogForm(QWidget *parent = nullptr);
    ~TBTelLogForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBTelLogForm> ui;
};

extern TBTelLogForm *BTelLogForm;
