#pragma once
// The application dialog of the viewer list: picks a program file.
#include <QDialog>

#include <memory>

namespace Ui {
class TBAppliDlg;
}

class TBAppliDlg : public QDialog {
    Q_OBJECT
public:
    explicit TBAppliDlg(QWidget *parent = nullptr);
    ~TBAppliDlg() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBAppliDlg> ui;
};

extern TBAppliDlg *BAppliDlg;
