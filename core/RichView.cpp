#include "core/RichView.h"

#include "core/BRegistr.h"
#include "platform/Cp932.h"
#include "platform/RichText.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QPrintDialog>
#include <QPrinter>
#include <QSplitter>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QtMath>

namespace {

// The font both parts start with: Mincho of 13 pixels, held as the 10 points
// that RTF sizes are given in, so the body never holds a size in pixels.
QFont StartFont()
{
    QFont font(QStringLiteral("ＭＳ 明朝"));
    font.setPointSize(10);
    return font;
}

// The header's labels are padded with blanks ("Number   :") to line up their
// values: they need a fixed-pitch font.
QFont HeadFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSize(StartFont().pointSize());
    return font;
}

// An empty body document in the start font.
std::unique_ptr<QTextDocument> NewBody()
{
    auto doc = std::make_unique<QTextDocument>();
    doc->setDefaultFont(StartFont());
    return doc;
}

// The colours the font choice offers: the sixteen basic colours.
const std::array<std::pair<const char *, QRgb>, 16> kTextColors{{
    {"黒", 0x000000}, {"ﾏﾙｰﾝ", 0x800000}, {"緑", 0x008000}, {"ｵﾘｰﾌﾞ", 0x808000},
    {"ﾈｲﾋﾞｰ", 0x000080}, {"紫", 0x800080}, {"ﾃｨｰﾙ", 0x008080}, {"灰色", 0x808080},
    {"銀", 0xC0C0C0}, {"赤", 0xFF0000}, {"ﾗｲﾑ", 0x00FF00}, {"黄", 0xFFFF00},
    {"青", 0x0000FF}, {"ﾌｭｰｼｬ", 0xFF00FF}, {"水色", 0x00FFFF}, {"白", 0xFFFFFF}}};

// The font choice of the view: Qt's font dialog, which has no colour, with
// the text colour beside it.
class FontColorDialog : public QDialog
{
public:
    FontColorDialog(const QFont &font, const QColor &color, QWidget *parent) : QDialog(parent)
    {
        setObjectName(QStringLiteral("FontDialog"));
        setWindowTitle(QStringLiteral("ﾌｫﾝﾄの指定"));
        fonts_ = new QFontDialog(font, this);
        fonts_->setObjectName(QStringLiteral("FontChooser"));
        fonts_->setOptions(QFontDialog::DontUseNativeDialog | QFontDialog::NoButtons);
        fonts_->setWindowFlags(Qt::Widget);
        colors_ = new QComboBox(this);
        colors_->setObjectName(QStringLiteral("ColorBox"));
        for (const auto &[name, rgb] : kTextColors)
            AddColor(QString::fromUtf8(name), QColor(rgb));
        const QColor start = color.isValid() ? color : QColor(Qt::black);
        if (colors_->findData(start) < 0)
            AddColor(start.name(), start);
        colors_->setCurrentIndex(colors_->findData(start));
        auto *label = new QLabel(QStringLiteral("色(&C):"), this);
        label->setBuddy(colors_);
        auto *colorColumn = new QVBoxLayout;
        colorColumn->addWidget(label);
        colorColumn->addWidget(colors_);
        colorColumn->addStretch();
        auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        auto *choices = new QHBoxLayout;
        choices->addWidget(fonts_, 1);
        choices->addLayout(colorColumn);
        auto *layout = new QVBoxLayout(this);
        layout->addLayout(choices);
        layout->addWidget(buttons);
    }

    QFont SelectedFont() const { return fonts_->currentFont(); }
    QColor SelectedColor() const { return colors_->currentData().value<QColor>(); }

private:
    void AddColor(const QString &name, const QColor &color)
    {
        QPixmap swatch(16, 16);
        swatch.fill(color);
        colors_->addItem(QIcon(swatch), name, color);
    }

    QFontDialog *fonts_ = nullptr;
    QComboBox *colors_ = nullptr;
};

// Text as the edit controls hold it: one LF between lines, whatever the source used.
QString ToLf(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// The lines of an edit control's text; an empty text has none.
QStringList Lines(const QString &text)
{
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

const QString kHeadSeparator = QStringLiteral("\r\n") + QString(50, QLatin1Char('-')) + QStringLiteral("\r\n");

} // namespace

TRichView::TRichView(QWidget *parent) : QWidget(parent)
{
    PopupQuote = QuotationMark.isEmpty() ? QStringLiteral(">>") : QuotationMark;
    BuildMenu();

    memo_ = new QPlainTextEdit(this);
    memo_->setObjectName(QStringLiteral("Memo"));
    memo_->setFont(HeadFont());
    memo_->setReadOnly(true);
    memo_->setLineWrapMode(QPlainTextEdit::NoWrap);

    rich_ = new QTextEdit(this);
    rich_->setObjectName(QStringLiteral("Rich"));
    rich_->setReadOnly(true);
    rich_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    rich_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    rich_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(rich_, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        UpdateMenu();
        menu_->popup(rich_->mapToGlobal(pos));
    });
    connect(rich_, &QTextEdit::textChanged, this, [this] { emit OnChange(this); });
    ResetBodyFormat();

    splitter_ = new QSplitter(Qt::Vertical, this);
    splitter_->setObjectName(QStringLiteral("Splitter"));
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(memo_);
    splitter_->addWidget(rich_);
    splitter_->setStretchFactor(1, 1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter_);

    SetHeadHeight(100);
    resize(200, 200);
    setToolTip(QStringLiteral("ﾘｯﾁﾃｷｽﾄ操作は[f･1]でﾍﾙﾌﾟを!"));
}

TRichView::~TRichView() = default;

QAction *TRichView::AddItem(Item item, const QString &caption, bool visible)
{
    QAction *action = caption == QLatin1String("-") ? menu_->addSeparator() : menu_->addAction(caption);
    action->setVisible(visible);
    items_[item] = action;
    return action;
}

void TRichView::BuildMenu()
{
    menu_ = new QMenu(this);
    menu_->setObjectName(QStringLiteral("PopupMenu"));
    connect(AddItem(UndoItem, QStringLiteral("元に戻す"), false), &QAction::triggered, this, [this] { rich_->undo(); });
    AddItem(UndoSep, QStringLiteral("-"), false);
    connect(AddItem(CutItem, QStringLiteral("切り取り"), false), &QAction::triggered, this, [this] { rich_->cut(); });
    connect(AddItem(CopyItem, QStringLiteral("単純にｺﾋﾟｰ"), true), &QAction::triggered, this, [this] { rich_->copy(); });
    connect(AddItem(QuoteItem, QStringLiteral("引用符つきｺﾋﾟｰ"), true), &QAction::triggered, this, &TRichView::CopyQuoted);
    connect(AddItem(PasteItem, QStringLiteral("貼り付け"), false), &QAction::triggered, this, [this] { rich_->paste(); });
    connect(AddItem(DeleteItem, QStringLiteral("削除"), false), &QAction::triggered, this,
            [this] { rich_->textCursor().removeSelectedText(); });
    AddItem(EditSep, QStringLiteral("-"), true);
    connect(AddItem(SelectAllItem, QStringLiteral("すべて選択"), true), &QAction::triggered, this,
            [this] { rich_->selectAll(); });
    AddItem(ModeSep, QStringLiteral("-"), true);
    QAction *plain = AddItem(PlainItem, QStringLiteral("書式なしﾃｷｽﾄ表示"), true);
    plain->setCheckable(true);
    connect(plain, &QAction::triggered, this, &TRichView::SetPlainText);
    QAction *richOutput = AddItem(RichOutputItem, QStringLiteral("書式つきで印刷/保存"), true);
    richOutput->setCheckable(true);
    connect(richOutput, &QAction::triggered, this, &TRichView::SetRichOutput);
    AddItem(FontSep1, QStringLiteral("-"), false);
    connect(AddItem(FontItem, QStringLiteral("ﾌｫﾝﾄの指定"), false), &QAction::triggered, this, &TRichView::ChooseFont);
    AddItem(FontSep2, QStringLiteral("-"), false);

    // The alignment items carry the paragraph alignment value as their tag.
    auto *group = new QActionGroup(this);
    const std::array<std::pair<Item, int>, 3> tags{{{LeftItem, 0}, {CenterItem, 2}, {RightItem, 1}}};
    const std::array<QString, 3> captions{QStringLiteral("左寄せ"), QStringLiteral("中央寄せ"), QStringLiteral("右寄せ")};
    for (size_t i = 0; i < tags.size(); ++i) {
        QAction *action = AddItem(tags[i].first, captions[i], false);
        action->setCheckable(true);
        action->setData(tags[i].second);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, tag = tags[i].second] { SetAlignment(tag); });
    }
    items_[LeftItem]->setChecked(true);
}

void TRichView::ResetBodyFormat()
{
    QTextCharFormat format;
    format.setFont(StartFont());
    format.setForeground(Qt::black);
    rich_->document()->setDefaultFont(StartFont());
    rich_->setCurrentCharFormat(format);
    QTextCursor cursor(rich_->document());
    QTextBlockFormat block;
    block.setAlignment(Qt::AlignLeft);
    cursor.setBlockFormat(block);
}

void TRichView::Clear()
{
    richBody_.reset();
    memo_->clear();
    memo_->setMinimumHeight(0);
    rich_->clear();
    ResetBodyFormat();
}

void TRichView::AddHead(const QString &text)
{
    memo_->setPlainText(memo_->toPlainText() + ToLf(text));
    FitHead();
}

// Gives the header the height of all its lines (and of a scroll bar when a line
// is wider than the view), so that no line hides below the body.
void TRichView::FitHead()
{
    // Each line laid out as the pane lays it out: a line with Japanese text is
    // as high as the fallback font that draws it.
    int height = 0;
    int widest = 0;
    for (const QString &line : Lines(memo_->toPlainText())) {
        QTextLayout layout(line, memo_->font());
        layout.beginLayout();
        QTextLine laid = layout.createLine();
        laid.setLineWidth(1e6);
        laid.setLeadingIncluded(true);
        layout.endLayout();
        height += qCeil(laid.height());
        widest = qMax(widest, qCeil(laid.naturalTextWidth()));
    }
    const int margins = 2 * (memo_->frameWidth() + qCeil(memo_->document()->documentMargin()));
    int needed = height + margins + 1; // the view counts a line touching its edge as hidden
    if (widest + margins > memo_->width())
        needed += memo_->horizontalScrollBar()->sizeHint().height();
    memo_->setMinimumHeight(needed);
    if (splitter_->sizes().value(0) < needed)
        splitter_->setSizes({needed, qMax(1, splitter_->height() - needed)});
}

void TRichView::AddText(const QString &text)
{
    // The formatted body kept in plain mode gets the text too, so it still
    // matches what is shown.
    for (QTextDocument *doc : {rich_->document(), richBody_.get()}) {
        if (!doc)
            continue;
        QTextCursor cursor(doc);
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(ToLf(text));
    }
}

void TRichView::LoadFromBuffer(const QByteArray &bytes)
{
    richBody_.reset();
    if (!plain_ && plat::ReadRtf(bytes, *rich_->document()))
        return;
    auto parsed = NewBody();
    if (!plat::ReadRtf(bytes, *parsed)) {
        ShowPlain(ToLf(plat::FromCp932(bytes)));
        return;
    }
    ShowPlain(parsed->toPlainText());
    richBody_ = std::move(parsed);
}

void TRichView::ShowPlain(const QString &text)
{
    rich_->clear();
    ResetBodyFormat();
    QTextCursor(rich_->document()).insertText(text);
}

QByteArray TRichView::SaveToBuffer() const
{
    if (!plain_)
        return plat::WriteRtf(*rich_->document());
    return plat::ToCp932(rich_->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
}

QString TRichView::PlainOutput() const
{
    QString out;
    const QString head = memo_->toPlainText();
    if (!head.isEmpty()) {
        for (const QString &line : Lines(head))
            out += line + QStringLiteral("\r\n");
        out += kHeadSeparator + QStringLiteral("\r\n");
    }
    for (const QString &line : Lines(rich_->toPlainText()))
        out += line + QStringLiteral("\r\n");
    return out;
}

bool TRichView::SaveToFile(const QString &fileName) const
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray bytes = richOutput_ ? plat::WriteRtf(*rich_->document()) : plat::ToCp932(PlainOutput());
    return file.write(bytes) == bytes.size() && file.flush();
}

void TRichView::Print()
{
    QPrinter printer;
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() == QDialog::Accepted)
        PrintTo(printer);
}

void TRichView::PrintTo(QPrinter &printer) const
{
    if (richOutput_) {
        rich_->document()->print(&printer);
        return;
    }
    QTextDocument text;
    text.setDefaultFont(StartFont());
    text.setPlainText(ToLf(PlainOutput()));
    text.print(&printer);
}

void TRichView::HideHead()
{
    memo_->hide();
}

void TRichView::SetPlainText(bool plain)
{
    items_[PlainItem]->setChecked(plain);
    if (plain && !plain_) {
        // What is shown is what a plain save writes; the formatted body is
        // kept for the return to formatted display.
        richBody_.reset(rich_->document()->clone());
        ShowPlain(richBody_->toPlainText());
    } else if (!plain && plain_) {
        ShowKeptRichBody();
    }
    plain_ = plain;
    if (plain)
        SetRichOutput(false);
    rich_->setAcceptRichText(!plain);
    items_[RichOutputItem]->setEnabled(!plain);
}

void TRichView::ShowKeptRichBody()
{
    // Text edited in plain mode has no formats to go back to: it stays as it is.
    if (richBody_ && richBody_->toPlainText() == rich_->toPlainText()) {
        rich_->clear();
        ResetBodyFormat();
        QTextCursor(rich_->document()).insertFragment(QTextDocumentFragment(richBody_.get()));
    }
    richBody_.reset();
}

void TRichView::SetRichOutput(bool on)
{
    richOutput_ = on;
    items_[RichOutputItem]->setChecked(on);
}

void TRichView::SetFocus()
{
    rich_->setFocus();
}

void TRichView::SetHeadHeight(int height)
{
    headHeight_ = height;
    splitter_->setSizes({height, qMax(1, splitter_->height() - height)});
}

void TRichView::SetInputMode(bool input)
{
    inputMode_ = input;
    memo_->setReadOnly(!input);
    rich_->setReadOnly(!input);
    memo_->setVisible(!input);
    for (Item item : {UndoItem, UndoSep, CutItem, PasteItem, DeleteItem, FontSep1, FontItem, FontSep2, LeftItem,
                      CenterItem, RightItem})
        items_[item]->setVisible(input);
}

void TRichView::UpdateMenu()
{
    const bool selected = rich_->textCursor().hasSelection();
    items_[SelectAllItem]->setEnabled(!selected);
    for (Item item : {CutItem, CopyItem, QuoteItem, DeleteItem})
        items_[item]->setEnabled(selected);
}

QString TRichView::QuoteLines(const QString &text, const QString &mark)
{
    QString out;
    out.reserve(text.size() + mark.size() * (text.count(QLatin1Char('\n')) + text.count(QLatin1Char('\r')) + 1));
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && text[end] != QLatin1Char('\r') && text[end] != QLatin1Char('\n'))
            ++end;
        if (end < text.size()) {
            const bool crlf = text[end] == QLatin1Char('\r') && end + 1 < text.size() && text[end + 1] == QLatin1Char('\n');
            end += crlf ? 2 : 1;
        }
        out += mark;
        out += QStringView(text).mid(start, end - start);
        start = end;
    }
    return out;
}

void TRichView::CopyQuoted()
{
    // The edit control separates paragraphs and soft lines with its own characters.
    QString selected = rich_->textCursor().selectedText();
    selected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    selected.replace(QChar::LineSeparator, QLatin1Char('\n'));
    QApplication::clipboard()->setText(QuoteLines(selected, PopupQuote));
}

void TRichView::ChooseFont()
{
    const QTextCharFormat current = rich_->currentCharFormat();
    const QColor color = current.hasProperty(QTextFormat::ForegroundBrush) ? current.foreground().color() : QColor();
    FontColorDialog dialog(current.font(), color, this);
    if (dialog.exec() == QDialog::Accepted)
        ApplyFont(dialog.SelectedFont(), dialog.SelectedColor());
    rich_->setFocus();
}

void TRichView::ApplyFont(const QFont &font, const QColor &color)
{
    QTextCharFormat format;
    format.setFont(font);
    if (color.isValid())
        format.setForeground(color);
    QTextCursor cursor = rich_->textCursor();
    if (cursor.hasSelection())
        cursor.mergeCharFormat(format);
    else
        rich_->mergeCurrentCharFormat(format);
}

void TRichView::SetAlignment(int tag)
{
    static const Qt::Alignment kAlignments[] = {Qt::AlignLeft, Qt::AlignRight, Qt::AlignHCenter};
    if (tag < 0 || tag > 2)
        return;
    rich_->setAlignment(kAlignments[tag]);
    for (Item item : {LeftItem, CenterItem, RightItem})
        items_[item]->setChecked(items_[item]->data().toInt() == tag);
}
