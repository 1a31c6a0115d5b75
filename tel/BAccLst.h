#pragma once
// The account list window: the user's accounts, presence announcements and member lists.
#include <QWidget>

#include <memory>

namespace Ui {
class TBAccountListForm;
}

class TBAccountListForm : public QWidget {
    Q_OBJECT
public:
    explicit TBAccountListForm(QWidget *parent = nullptr);
    ~TBAccountListForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBAccountListForm> ui;
};

extern TBAccountListForm *BAccountListForm;
