#pragma once
// The host list window: shows and edits the host list and picks the main window's target.
#include <QWidget>

#include <memory>

namespace Ui {
class TBHostListForm;
}

class TBHostListForm : public QWidget {
    Q_OBJECT
public:
    explicit TBHostListForm(QWidget *parent = nullptr);
    ~TBHostListForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBHostListForm> ui;
};

extern TBHostListForm *BHostListForm;
