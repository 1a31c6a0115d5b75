#pragma once
// The small modal dialog that asks for a password.
#include <QByteArray>
#include <QChar>
#include <QDialog>
#include <QString>

#include <memory>

class TRichView;

namespace Ui {
class TBPasswordDlg;
}

// Takes at most 8 printable ASCII characters: passwords are 8-byte fields in
// the records and travel as plain bytes. As a name entry it takes any text of
// at most 8 CP932 bytes instead, and OK refuses a name that is no safe file
// name, since such names become folder and file names.
class TBPasswordDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxPasswordLength = 8;

    explicit TBPasswordDlg(QWidget *parent = nullptr);
    ~TBPasswordDlg() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBPasswordDlg> ui;

    // Switches the entry to a visible name of at most 8 CP932 bytes.
    void SetNameEntry();

    void accept() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool NameEntry = false;
};

// Trimming as every password entry does it: every character up to and
// including the blank (control characters too) counts as blank.
QString TrimBlanksAndControls(const QString &text);

// Why text cannot be a name that becomes a folder or file name (an OLC name,
// a user ID); empty when it can. The empty text is a valid entry (no name).
QString NameEntryProblem(const QString &text);

// Asks for such a name in a modal TBPasswordDlg (caption as ShowPasswordDialog
// gives it, text visible). With OK, name is the trimmed entry, safe as a file
// name or empty, and the function returns true.
bool ShowNameDialog(QWidget *owner, const QString &title, const QString &initialText, QString &name,
                    const QString &labelText);

// Asks for a password in a modal TBPasswordDlg owned by owner. The caption is
// title + " Dialog Box" ("Password" for an empty title); the edit starts with
// initialText and hides its text behind passwordChar (a null QChar shows it).
// With OK, result is the entry without leading and trailing blanks and
// control characters, as CP932 bytes, and the function returns true; with
// Cancel it is empty and the function returns false. With convert set, result
// is then passed through ConvertPassword (the empty text stays empty).
bool ShowPasswordDialog(QWidget *owner, const QString &title, const QString &initialText, QByteArray &result,
                        bool convert, const QString &labelText, QChar passwordChar);

// ---- showing, unpacking and copying files ---------------------------------------
//
// How a received or stored file is shown: in the program's own picture or HTML
// view, by the desktop's association, or by an application of the viewer list.
// A received file is only ever handed to a viewer as an argument: it is never
// executed and never marked executable.

// True for "127.0.0.1" and for the address texts of this machine's cards
// (LocalAddresses). Callable from any thread.
bool IsLocalAddress(const QString &address);

// By the file's extension, without regard to case: "htm"/"html"; "bmp"/"jpg"/"jpeg"/"wmf"/"emf".
bool IsHtmlFile(const QString &fileName);
bool IsImageFile(const QString &fileName);

// Decides how fileName is shown. True with an empty application: inside the
// program (a picture with ImageViewer on, HTML while HtmlViewer < 2), or by
// the desktop's association (UsingWindows95 on and one exists). True with an
// application: that viewer-list entry opens it. False: no way to show it.
bool FindViewer(const QString &fileName, QString &application);

// Opens fileName by association (UsingWindows95 on) or as the one argument of
// application. Never through a shell. A file that would run as a program
// (marked executable, a program, script or launcher by its name or content)
// is never handed to its association: that is refused and logged.
void OpenWithViewer(const QString &application, const QString &fileName);

// Starts file (a program, or a document by its association) with parameters
// as its one argument in directory, detached. A program name that this
// machine lacks hands the parameters' document to its association instead.
// Documents that would run as programs are refused as in OpenWithViewer.
// Documents are opened with xdg-open when there is one, else through the
// desktop integration. Non-zero (the process id, or 1 when the desktop
// integration took the document) on success, 0 on failure (logged).
qint64 OpenWithShell(const QString &file, const QString &parameters, const QString &directory);

// Above 32 when a program is associated with file, else an error code of at
// most 32 (2: file not found, 31: no association, also for a file that would
// run as a program).
int FindAssociatedProgram(const QString &file, const QString &directory);

// Unpacks every entry of the archive into TempDirectory. 0 on success, else
// the archiver's error number (its message is logged).
int ExtractArchive(QWidget *window, const QString &archivePath);

// For a ZIP or LZH archive that carries an HTML page (title beginning
// "html:" or file name beginning "html_", either case): unpacks it and
// replaces path by its start page in TempDirectory when one exists. path
// stays as it was otherwise. An archive refused as unsafe says so in
// fileNote, the view that shows the file's line: the reason would otherwise
// be in the activity log alone. The unpacking's result (ExtractArchive); 0
// also when path is no such archive.
int ResolveHtmlArchive(QWidget *window, TRichView *fileNote, const QString &title, const QString &fileName,
                       QString &path);

// "OLCP://" host "/" access key "/" board key "/" board key 2 "/" number "/".
struct OlcpUrl {
    quint32 Address = 0;  // IPv4, network byte order
    QString AccessKey;    // at most 8 characters each
    QString BoardKey;
    QString BoardKey2;
    qint32 Number = 0;
};
// True only when every field has its closing "/".
bool ParseOlcpUrl(const QString &text, OlcpUrl &url);

// Copies one file; with failIfExists an existing destination is kept (false).
bool CopyFileTo(const QString &source, const QString &destination, bool failIfExists);
// Copies the files and folders inside sourceDir into destDir (created when
// missing), asking (Yes/No, owned by window) before replacing a file; a file
// the user keeps counts as done. True when every copy succeeded.
bool CopyDirectoryFiles(QWidget *window, const QString &sourceDir, const QString &destDir);

// Restarts (or powers off) the machine by force through the system's login
// manager. errorText is empty on success, else says what failed. The main
// window's reboot action calls it through RebootMachine, which tests replace.
enum class ExitWindowsFlags { Reboot, PowerOff };
void ExitWindowsWithPrivilege(ExitWindowsFlags flags, QString &errorText);
