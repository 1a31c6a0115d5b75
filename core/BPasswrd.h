#pragma once
// The small modal dialog that asks for a password.
#include <QByteArray>
#include <QChar>
#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class TBPasswordDlg;
}

// Takes at most 8 printable ASCII characters: passwords are 8-byte fields in
// the records and travel as plain bytes.
class TBPasswordDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxPasswordLength = 8;

    explicit TBPasswordDlg(QWidget *parent = nullptr);
    ~TBPasswordDlg() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBPasswordDlg> ui;

protected:
    void showEvent(QShowEvent *event) override;
};

// Asks for a password in a modal TBPasswordDlg owned by owner. The caption is
// title + " Dialog Box" ("Password" for an empty title); the edit starts with
// initialText and hides its text behind passwordChar (a null QChar shows it).
// With OK, result is the entry without leading and trailing blanks and
// control characters, as CP932 bytes, and the function returns true; with
// Cancel it is empty and the function returns false. With convert set, result
// is then passed through ConvertPassword (the empty text stays empty).
bool ShowPasswordDialog(QWidget *owner, const QString &title, const QString &initialText, QByteArray &result,
                        bool convert, const QString &labelText, QChar passwordChar);
