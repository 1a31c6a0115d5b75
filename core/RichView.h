#pragma once
// The message view of the message windows: a small plain header memo above a
// body that holds formatted (RTF) or plain text, with a pop-up menu for copying,
// quoting, plain/formatted display, font and alignment.
#include <QByteArray>
#include <QColor>
#include <QString>
#include <QWidget>

#include <array>
#include <memory>

class QAction;
class QFont;
class QMenu;
class QPlainTextEdit;
class QPrinter;
class QSplitter;
class QTextDocument;
class QTextEdit;

class TRichView : public QWidget {
    Q_OBJECT
public:
    explicit TRichView(QWidget *parent = nullptr);
    ~TRichView() override;

    // The header memo ("Memo") and the body ("Rich"); windows read them directly.
    QPlainTextEdit *Memo() const { return memo_; }
    QTextEdit *Rich() const { return rich_; }
    QMenu *PopupMenu() const { return menu_; }

    // Empties header and body and resets the body's font and paragraph format.
    void Clear();
    // Appends text as is to the header / the body (callers bring their own line ends).
    // The header, in a fixed-pitch font, grows to show all its lines.
    void AddHead(const QString &text);
    void AddText(const QString &text);

    // Loads the body from RTF or from plain CP932 bytes, decided by the content.
    // In plain mode RTF shows as its plain text, and formatted once plain mode ends.
    void LoadFromBuffer(const QByteArray &bytes);
    // The body as RTF, or as CP932 plain text (CR LF line ends) in plain mode.
    QByteArray SaveToBuffer() const;
    // With RichOutput the body as RTF; otherwise the header lines, a separator
    // and the body lines as CP932 text. Returns false when the file cannot be written.
    bool SaveToFile(const QString &fileName) const;
    // Shows the print dialog and prints when the user confirms.
    void Print();
    // Prints to an already set-up printer: formatted with RichOutput, else as
    // the plain text that SaveToFile would write.
    void PrintTo(QPrinter &printer) const;

    void HideHead();
    // Plain mode shows and saves the body as plain text; ending it shows the
    // formatted body again, unless its text was edited meanwhile.
    void SetPlainText(bool plain);
    bool PlainText() const { return plain_; }
    void SetFocus();

    int HeadHeight() const { return headHeight_; }
    void SetHeadHeight(int height);
    bool InputMode() const { return inputMode_; }
    void SetInputMode(bool input);
    bool RichOutput() const { return richOutput_; }
    // Mark put before every line by the quoting copy.
    QString PopupQuote;

    // Enables the selection items by whether the body has a selection; runs
    // before the pop-up menu opens.
    void UpdateMenu();
    // Copies the selection with PopupQuote before each of its lines.
    void CopyQuoted();
    // Applies a font, and a colour when one is given, to the selection, or
    // to the format of what is typed next when nothing is selected.
    void ApplyFont(const QFont &font, const QColor &color = QColor());
    // Sets the current paragraph's alignment: 0 left, 1 right, 2 centre.
    void SetAlignment(int tag);

    // Puts mark before every line of text. A line ends at CR LF, a lone CR or a
    // lone LF and keeps its own ending; an empty piece after the last line end gets no mark.
    static QString QuoteLines(const QString &text, const QString &mark);

signals:
    // Raised with the view itself whenever the body's text changes.
    void OnChange(TRichView *sender);

private:
    enum Item {
        UndoItem, UndoSep, CutItem, CopyItem, QuoteItem, PasteItem, DeleteItem, EditSep,
        SelectAllItem, ModeSep, PlainItem, RichOutputItem, FontSep1, FontItem, FontSep2,
        LeftItem, CenterItem, RightItem, ItemCount
    };

    void BuildMenu();
    QAction *AddItem(Item item, const QString &caption, bool visible);
    void ChooseFont();
    void SetRichOutput(bool on);
    void ResetBodyFormat();
    // Replaces the body with unformatted text in the start font.
    void ShowPlain(const QString &text);
    // Ends plain mode: shows the kept formatted body again.
    void ShowKeptRichBody();
    // Header lines, separator and body lines, each ended by CR LF.
    QString PlainOutput() const;
    void FitHead();

    QMenu *menu_ = nullptr;
    std::array<QAction *, ItemCount> items_{};
    QSplitter *splitter_ = nullptr;
    QPlainTextEdit *memo_ = nullptr;
    QTextEdit *rich_ = nullptr;
    int headHeight_ = 100;
    bool richOutput_ = false;
    bool inputMode_ = false;
    bool plain_ = false;
    // The formatted body while plain mode shows its text.
    std::unique_ptr<QTextDocument> richBody_;
};
