#pragma once
// The application dialog of the viewer list: picks a program file, with the
// folder dialog's drive box and folder list and a file list beside them.
#include <QDialog>
#include <QString>

#include <memory>

class QFileSystemModel;

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

    void SetFolder(const QString &folder);
    QString Folder() const;
    // Selects a file of the shown folder by name.
    void SelectFile(const QString &name);
    // The name of the selected file, "" when none is.
    QString FileName() const;

private:
    QFileSystemModel *Files = nullptr;
};

extern TBAppliDlg *BAppliDlg;
