#pragma once
// The receive window: shows received TELs one at a time, oldest unread first.
#include <QWidget>

#include <memory>

namespace Ui {
class TBRecvTelegramForm;
}

class TBRecvTelegramForm : public QWidget {
    Q_OBJECT
public:
    explicit TBRecvTelegramForm(QWidget *parent = nullptr);
    ~TBRecvTelegramForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBRecvTelegramForm> ui;
};

extern TBRecvTelegramForm *BRecvTelegramForm;
