#pragma once
// The OLC log window: browses the local message store of one OLC server offline.
#include <QWidget>

#include <memory>

namespace Ui {
class TBOlcLogForm;
}

class TBOlcLogForm : public QWidget {
    Q_OBJECT
public:
    explicit TBOlcLogForm(QWidget *parent = nullptr);
    ~TBOlcLogForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBOlcLogForm> ui;
};

extern TBOlcLogForm *BOlcLogForm;
