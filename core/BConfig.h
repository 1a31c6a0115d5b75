#pragma once
// The configuration window: folders, passwords, chime, editor and viewer
// settings. Every change goes into the settings globals and, for almost every
// field, into the registry at once.
#include "platform/Synchronized.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QFileInfo;
class QLabel;
class QLineEdit;
class TBViewerListForm;

namespace Ui {
class TBConfigForm;
}

// Makes sure a folder exists: true when it is there or could be created (the
// last level only).
bool EnsureFolder(const QString &folder);

// Whether the TEL log pair name + ".dat" / ".txt" in folder can be used: an
// existing pair whose header names it, or, when neither file exists, a new
// pair created with its header record.
bool CheckTelLogPair(const QString &folder, const QString &name);

// The form in which the settings keep a password typed as plain text: upper
// case, then ConvertPassword; and the plain text shown for such a form.
QByteArray StoredPasswordForm(const QByteArray &typed);
QString PlainPassword(const QByteArray &stored);
// Whether a typed password opens a stored one: typed in either case, since
// passwords are kept upper-cased; or exactly as a stored form kept before
// that holds it.
bool PasswordMatches(const QByteArray &typed, const QByteArray &stored);

class TBConfigForm : public QWidget {
    Q_OBJECT
public:
    explicit TBConfigForm(QWidget *parent = nullptr);
    ~TBConfigForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBConfigForm> ui;

    // The viewer list window that "Viewer Setting" opens, made at each showing.
    QPointer<TBViewerListForm> ViewerListForm;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Field {
        QLineEdit *edit;
        QLabel *label;
        std::function<void()> exit;
        std::function<void()> dblClick;
    };
    struct PasswordSetting {
        plat::Synchronized<QByteArray> &setting;
        const char *oldLabel;
        const char *newLabel;
    };
    enum class RootKind { Olc, Account };

    const Field *FindField(const QObject *object) const;
    // What leaving the field or Enter in it does, and its double-click.
    void FieldExit(QLineEdit *edit);
    void FieldDblClick(QLineEdit *edit);
    // The TEL log folder moves to folder (from the field: made when missing).
    void MoveTelLogFolder(QString folder, bool fromField);
    void AddPasswordField(QLineEdit *edit, QLabel *label, PasswordSetting password);
    void PasswordExit(QLineEdit *edit, plat::Synchronized<QByteArray> &setting);
    void ChangePassword(QLineEdit *edit, const PasswordSetting &password);
    using FileCheck = bool (*)(const QFileInfo &file);
    void FileSettingExit(QLineEdit *edit, plat::Synchronized<QString> &setting, FileCheck accepts);
    void ChooseFileSetting(QLineEdit *edit, plat::Synchronized<QString> &setting, const QString &filter,
                           FileCheck accepts);
    void TelegFileExit();
    void ChooseTelLogFiles();
    void UseTelLogPair(const QString &folder, const QString &name);
    void ChooseTelLogFolder();
    void RootFolderExit(RootKind kind);
    void ChooseRootFolder(RootKind kind);
    void MoveRootFolder(RootKind kind, QString folder, bool fromField);
    bool CopyRootFolder(RootKind kind, const QString &folder, bool fromField);
    void LogLevelExit();
    void ShowViewerList();
    void ShowSettings();

    std::vector<Field> Fields;
    bool Prefill = false;   // Ctrl was pressed: the old-password dialog starts filled
    // The window height at which the scroll box shows every field that is shown.
    int HeightForAllFields();

    static constexpr int FormHeight = 402; // the least height, as the form has it
    int MaxHeight = FormHeight;            // the window never grows taller
    bool InHandler = false; // a handler's own dialogs take the focus from its field
};

extern TBConfigForm *BConfigForm;
