#pragma once
// The receive window: shows received TELs one at a time, oldest unread first,
// and lets the user reply, go on to the next unread TEL, save the text, open
// an attached file and push the window behind others.
#include "core/HostRecord.h"
#include "core/MessageRecord.h"

#include <QString>
#include <QStringList>
#include <QTextBrowser>
#include <QWidget>

#include <functional>
#include <memory>

class QAction;
class QFileDialog;
class QMenu;
class TRichView;

// A received file TEL's file as the windows that show TELs open it: its path
// in folder (the record's name must be a safe base name), an HTML archive
// replaced by its start page, and the viewer found for it. False when no
// viewer takes it (or the name is not safe): then only its note line shows.
// fileNote is the view that shows the file's line (see ResolveHtmlArchive).
bool FindReceivedFileViewer(QWidget *window, TRichView *fileNote, const MessageRecord &record, const QString &folder,
                            QString &path, QString &application);

namespace Ui {
class TBRecvTelegramForm;
}

// The window's HTML view: shows local HTML files only. Pages from peers are
// untrusted, so nothing but local files is ever loaded (no remote pages, no
// remote pictures) and no script runs; a click on an http, https or mailto
// link offers to open it in the desktop's browser, other links do nothing.
// A page without a UTF-8 mark or declaration is read as CP932, the program's
// own encoding.
class TRecvHtmlView : public QTextBrowser {
    Q_OBJECT
public:
    explicit TRecvHtmlView(QWidget *parent = nullptr);
    // The view of a window that shows TELs, hidden, placed after another
    // component of the window's layout, with the program's HTML base font;
    // onRetrieve is called with every URL the history takes.
    static TRecvHtmlView *InsertAfter(QWidget *component, std::function<void(const QUrl &)> onRetrieve);

    // The largest file the view reads (a page or a picture).
    static constexpr qint64 MaxResourceBytes = 32 * 1024 * 1024;

    // At most this many URLs are kept for Back.
    static constexpr int HistorySize = 100;

    // Called with every URL the history takes.
    std::function<void(const QUrl &)> OnRetrieve;
    // Opens a link the user chose to open in the desktop's browser.
    std::function<bool(const QUrl &)> OpenInBrowser;

    QVariant loadResource(int type, const QUrl &name) override;

    // Shows a local file; the history starts again with it. A file shown
    // already is read afresh (Temp.html holds a new page).
    void ShowFile(const QString &path);
    // Returns to the previous page of the history, when there is one.
    void Back();
    // The URLs retrieved since ShowFile, up to HistorySize, the last on show.
    const QStringList &History() const { return HistoryUrls; }

protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override;

private:
    // Asks the user whether to open a clicked link in the browser, and does.
    void OfferBrowser(const QUrl &url);

    QStringList HistoryUrls;
    bool HistoryMove = false;
};

class TBRecvTelegramForm : public QWidget {
    Q_OBJECT
public:
    explicit TBRecvTelegramForm(QWidget *parent = nullptr);
    ~TBRecvTelegramForm() override;

    // The window's components: public, because other windows fill and read them directly.
    const std::unique_ptr<Ui::TBRecvTelegramForm> ui;
    QMenu *const ScreenPopup;
    QAction *const FullScreen;
    // The HTML display, created with the window (FormCreate).
    TRecvHtmlView *HtmlControl = nullptr;

    // Shows the next unread TEL (FormShow and Next).
    void ShowTel();

    // The TEL on show, the host record the last Reply built, the file on show
    // (attachment or Temp.html) and the HTML view's history.
    const MessageRecord &CurrentRecord() const { return Record; }
    const HostRecord &ReplyRecord() const { return Reply; }
    const QString &CurrentFile() const { return File; }
    const QStringList &History() const { return HtmlControl->History(); }

    static constexpr int HistorySize = TRecvHtmlView::HistorySize;

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void ConnectHandlers();

    void ReplyButtonClick();
    void NextButtonClick();
    void ExitButtonClick();
    void SaveButtonClick();
    void ViewButtonClick();
    void BehindButtonClick();
    void FullScreenClick();

    bool ReadNextReceived();
    void ShowLabels();
    void ShowTextBody();
    void ShowFileTel();
    void CountShown();
    void FocusFirstButton();

    void ShowPane(QWidget *pane);
    void ShowRichPane();
    void ShowHtmlInside();
    void ShowImageInside();
    void ShowFileInside();
    void SetStayOnTop(bool on);
    void BuildReplyRecord(int hostIndex, const HostRecord &found);

    MessageRecord Record;
    QString SenderAddress;
    bool Stay = false, Serial = false, ServerChat = false, Forwarded = false;
    HostRecord Reply;
    QString File, Viewer;
    bool ReshowGuard = false;
    QFileDialog *SaveDialog = nullptr;
};

extern TBRecvTelegramForm *BRecvTelegramForm;

// Writes an HTML body to path (TempDirectory + "/Temp.html"), replacing the
// last one; a failure is logged: false.
bool WriteTempHtml(const QString &path, const QByteArray &body);

// Shows BRecvTelegramForm in front (what follows a stored TEL when Lock is off).
void ShowReceiveWindow();
