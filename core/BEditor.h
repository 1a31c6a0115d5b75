#pragma once
// The text editor window: edits the auto-reply message, and is the base of the TEL send
// and OLC post windows, which share its components, its Repeat and Plain modes, Load and
// Save, the "Latest" recall of the last sent text and dropped files, and replace the
// virtual handlers below.
#include <QByteArray>
#include <QFileDialog>
#include <QStringList>
#include <QWidget>

#include <memory>

class QCloseEvent;
class QKeyEvent;
class QShowEvent;

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

    // Loads a file into the body, RTF or plain by its content (plain mode shows RTF as its
    // text). A file that cannot be read is reported to the user: false.
    bool LoadBodyFromFile(const QString &fileName);
    // Takes the first of the dropped files into the body; the others are ignored.
    void WMDropFiles(const QStringList &fileNames);
    // Appends the auto-reply message to the TEL log pair as a sent text TEL to 0.0.0.0
    // with the handle "【Auto Reply】", dated now. False (logged) when it could not be stored.
    static bool LogAutoReplyMessage(const QByteArray &body);

    // The status text of the window (SendStatusBar), shown also where the bar is hidden.
    void ShowStatusText(const QString &text);
    // The status text that refuses a body of bytes bytes, over the 64 KiB a buffer carries.
    static QString TooLongText(qint64 bytes);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

    // Handlers that the heirs replace.
    virtual void FormShow();
    virtual void FormClose();
    virtual void FormKeyDown(const QKeyEvent *event);
    virtual void ExitButtonClick();
    virtual void CancelButtonClick();
    virtual void SendButtonClick();
    virtual void RepeatCheckBoxClick();

    void LoadButtonClick();
    void SaveButtonClick();
    void SendRichChange();
    void PlainCheckBoxClick();

    // Applies PlainTransmit to the body and to ToLabel's mode text.
    void ShowPlainMode();
    // Saves the body to LastSentTextFile as rich text, for "Latest".
    void SaveLastSentText();
    // Runs the program's own (non-native) file dialog named dialogName in folder with
    // proposed as the file name; the chosen file, empty when cancelled. endFolder is the
    // folder the dialog ended in.
    QString ChooseFile(const QString &dialogName, QFileDialog::AcceptMode mode, const QString &folder,
                       const QString &proposed, const QStringList &filters, QString &endFolder);
    // Load and Save: text, rich text, all files.
    static QStringList TextFileFilters();
    // Replaces the file's contents in one step; false with the reason in error.
    static bool WriteWholeFile(const QString &path, const QByteArray &bytes, QString *error);
    // Watches the keys and drops of every child, as the window sees keys first; heirs
    // that add components call it again.
    void WatchChildren();

    // Load reads "Latest": the next press recalls the last sent text.
    bool LatestFlag = false;
    // The auto-reply message was saved while the window was open.
    bool SavedFlag = false;

private:
    void FormCreate();
    void ConnectHandlers();
    bool SaveAutoReplyFiles(const QByteArray &body);
};

extern TBEditorForm *BEditorForm;
