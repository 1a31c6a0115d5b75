#pragma once
// The text editor window: edits the auto-reply message, and is the base of the TEL send
// and OLC post windows.
#include <QWidget>

#include <memory>

namespace Ui {
class TBEditorForm;
}

class TBEditorForm : public QWidget {
    Q_OBJECT
public:
    explicit TBEditorForm(QWidget *parent = nullptr);
    ~TBEditorForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBEditorForm> ui;
};

extern TBEditorForm *BEditorForm;
