// The message view: buffers and files in RTF and CP932, plain mode, quoting copy,
// the pop-up menu's states, and printing.
#include "core/RichView.h"
#include "platform/Cp932.h"
#include "platform/RichText.h"

#include "support/HeadPane.h"
#include "support/Modals.h"
#include "support/TempEnv.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <gtest/gtest.h>

namespace {

class RichViewTest : public testsupport::TempEnvTest {
protected:
    TRichView view;

    QAction *Item(const QString &caption) const
    {
        for (QAction *action : view.PopupMenu()->actions())
            if (action->text() == caption)
                return action;
        ADD_FAILURE() << "no menu item " << caption.toStdString();
        return nullptr;
    }

    void Select(int from, int to)
    {
        QTextCursor cursor(view.Rich()->document());
        cursor.setPosition(from);
        cursor.setPosition(to, QTextCursor::KeepAnchor);
        view.Rich()->setTextCursor(cursor);
    }
};

// RTF with a bold Japanese word, as a peer would send it.
QByteArray BoldJapaneseRtf()
{
    QTextDocument doc;
    QTextCursor cursor(&doc);
    cursor.insertText(QStringLiteral("通常の行\n"));
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    cursor.insertText(QStringLiteral("太字の行"), bold);
    return plat::WriteRtf(doc);
}

bool LastBlockIsBold(const QTextDocument &doc)
{
    QTextCursor cursor(doc.lastBlock());
    cursor.movePosition(QTextCursor::NextCharacter);
    return cursor.charFormat().fontWeight() == QFont::Bold;
}

TEST_F(RichViewTest, RtfBufferRoundTripKeepsTextAndFormat)
{
    view.LoadFromBuffer(BoldJapaneseRtf());
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("通常の行\n太字の行"));
    EXPECT_TRUE(LastBlockIsBold(*view.Rich()->document()));

    const QByteArray saved = view.SaveToBuffer();
    ASSERT_TRUE(saved.startsWith("{\\rtf"));
    TRichView other;
    other.LoadFromBuffer(saved);
    EXPECT_EQ(other.Rich()->toPlainText(), QStringLiteral("通常の行\n太字の行"));
    EXPECT_TRUE(LastBlockIsBold(*other.Rich()->document()));
}

TEST_F(RichViewTest, PlainCp932BufferRoundTrip)
{
    const QByteArray bytes = plat::ToCp932(QStringLiteral("こんにちは\r\nﾊﾝｶｸと全角の２行目\r\n\r\n末尾"));
    view.SetPlainText(true);
    view.LoadFromBuffer(bytes);
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("こんにちは\nﾊﾝｶｸと全角の２行目\n\n末尾"));
    EXPECT_EQ(view.SaveToBuffer(), bytes);

    // Lone CR and lone LF line ends read as line breaks too.
    view.LoadFromBuffer(plat::ToCp932(QStringLiteral("一\r二\n三")));
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("一\n二\n三"));

    view.Clear();
    EXPECT_TRUE(view.SaveToBuffer().isEmpty());
}

TEST_F(RichViewTest, PlainBytesInRichModeShowAsTextAndSaveAsRtf)
{
    view.LoadFromBuffer(plat::ToCp932(QStringLiteral("日本語の本文")));
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("日本語の本文"));
    QTextDocument back;
    ASSERT_TRUE(plat::ReadRtf(view.SaveToBuffer(), back));
    EXPECT_EQ(back.toPlainText(), QStringLiteral("日本語の本文"));
}

TEST_F(RichViewTest, PlainModeShowsRtfAsItsText)
{
    view.SetPlainText(true);
    view.LoadFromBuffer(BoldJapaneseRtf());
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("通常の行\n太字の行"));
    EXPECT_FALSE(LastBlockIsBold(*view.Rich()->document()));
    EXPECT_EQ(view.SaveToBuffer(), plat::ToCp932(QStringLiteral("通常の行\r\n太字の行")));

    // Switching a formatted body to plain drops its formatting on screen as well.
    TRichView rich;
    rich.LoadFromBuffer(BoldJapaneseRtf());
    rich.SetPlainText(true);
    EXPECT_FALSE(LastBlockIsBold(*rich.Rich()->document()));
    EXPECT_TRUE(Item(QStringLiteral("書式なしﾃｷｽﾄ表示"))->isChecked());
}

TEST(RichViewQuote, SplitsOnEveryKindOfLineEnd)
{
    const QString mark = QStringLiteral(">>");
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("一行"), mark), QStringLiteral(">>一行"));
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("a\r\nb"), mark), QStringLiteral(">>a\r\n>>b"));
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("a\rb"), mark), QStringLiteral(">>a\r>>b"));
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("a\nb"), mark), QStringLiteral(">>a\n>>b"));
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("a\n\rb\r\n\nc"), mark),
              QStringLiteral(">>a\n>>\r>>b\r\n>>\n>>c"));
    // A selection ending with a line break gets no mark after it.
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("a\r\n"), mark), QStringLiteral(">>a\r\n"));
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("a\r"), mark), QStringLiteral(">>a\r"));
    EXPECT_EQ(TRichView::QuoteLines(QString(), mark), QString());
    EXPECT_EQ(TRichView::QuoteLines(QStringLiteral("一\r\n二\r\n三\r\n"), QStringLiteral("> ")),
              QStringLiteral("> 一\r\n> 二\r\n> 三\r\n"));
}

TEST_F(RichViewTest, QuoteCopyTakesOnlyTheSelection)
{
    view.AddText(QStringLiteral("最初の行\n二行目\n三行目"));
    view.PopupQuote = QStringLiteral("> ");
    Select(2, 8); // from inside the first line into the second
    view.CopyQuoted();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("> の行\n> 二行目"));

    Select(0, 5); // the first line and its break
    view.CopyQuoted();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("> 最初の行\n"));
}

TEST_F(RichViewTest, MenuEnablesSelectionItemsBySelection)
{
    const QStringList selectionItems{QStringLiteral("切り取り"), QStringLiteral("単純にｺﾋﾟｰ"),
                                     QStringLiteral("引用符つきｺﾋﾟｰ"), QStringLiteral("削除")};
    view.SetInputMode(true); // cut and delete are only shown in an editor
    view.AddText(QStringLiteral("本文"));
    view.UpdateMenu();
    EXPECT_TRUE(Item(QStringLiteral("すべて選択"))->isEnabled());
    for (const QString &caption : selectionItems)
        EXPECT_FALSE(Item(caption)->isEnabled()) << caption.toStdString();

    Select(0, 1);
    view.UpdateMenu();
    EXPECT_FALSE(Item(QStringLiteral("すべて選択"))->isEnabled());
    for (const QString &caption : selectionItems)
        EXPECT_TRUE(Item(caption)->isEnabled()) << caption.toStdString();
}

TEST_F(RichViewTest, PlainModeTurnsFormattedOutputOff)
{
    QAction *richOutput = Item(QStringLiteral("書式つきで印刷/保存"));
    richOutput->trigger();
    EXPECT_TRUE(view.RichOutput());

    Item(QStringLiteral("書式なしﾃｷｽﾄ表示"))->trigger();
    EXPECT_TRUE(view.PlainText());
    EXPECT_FALSE(view.RichOutput());
    EXPECT_FALSE(richOutput->isChecked());
    EXPECT_FALSE(richOutput->isEnabled());

    view.SetPlainText(false);
    EXPECT_FALSE(Item(QStringLiteral("書式なしﾃｷｽﾄ表示"))->isChecked());
    EXPECT_TRUE(richOutput->isEnabled());
    EXPECT_FALSE(richOutput->isChecked());
}

TEST_F(RichViewTest, HeaderHidesForHideHeadAndInputMode)
{
    EXPECT_EQ(view.Memo()->objectName(), QStringLiteral("Memo"));
    EXPECT_EQ(view.Rich()->objectName(), QStringLiteral("Rich"));
    EXPECT_FALSE(view.Memo()->isHidden());
    EXPECT_FALSE(Item(QStringLiteral("貼り付け"))->isVisible());
    view.HideHead();
    EXPECT_TRUE(view.Memo()->isHidden());

    TRichView editor;
    editor.SetHeadHeight(50);
    editor.SetInputMode(true);
    EXPECT_TRUE(editor.Memo()->isHidden());
    EXPECT_FALSE(editor.Rich()->isReadOnly());
    for (QAction *action : editor.PopupMenu()->actions())
        EXPECT_TRUE(action->isVisible()) << action->text().toStdString();
}

TEST_F(RichViewTest, HeaderShowsEveryLineLinedUpInASmallView)
{
    view.SetHeadHeight(40);
    view.show();
    view.AddHead(QStringLiteral("Number   : 00012\r\nTitle    : お知らせ\r\nIP Addr  : 192.168.1.20\r\n"
                                "Handle   : 山田\r\nUser ID  : yamada\r\nDateTime : 2026/12/09 10:00:00\r\n"
                                "Bytes    : 1024\r\n") + QString(50, QLatin1Char('-')) +
                 QStringLiteral("\r\nUser ID  : a-user-id-long-enough-to-need-a-horizontal-scroll-bar"));
    EXPECT_TRUE(testsupport::HeadShowsAllLines(&view));
    // A shorter header afterwards holds on to no more than its own lines.
    const int nineLines = view.Memo()->minimumHeight();
    view.Clear();
    view.AddHead(QStringLiteral("Number   : 1"));
    EXPECT_LT(view.Memo()->minimumHeight(), nineLines / 2);
    EXPECT_TRUE(testsupport::HeadShowsAllLines(&view));
}

TEST_F(RichViewTest, PlainFileHasHeaderSeparatorAndBody)
{
    view.AddHead(QStringLiteral("差出人 : 山田\r\n日時 : 今日"));
    view.AddText(QStringLiteral("本文一\r\n本文二"));
    ASSERT_TRUE(view.SaveToFile(env.file("plain.txt")));
    const QString separator = QStringLiteral("\r\n") + QString(50, QLatin1Char('-')) + QStringLiteral("\r\n");
    EXPECT_EQ(env.readFile("plain.txt"),
              plat::ToCp932(QStringLiteral("差出人 : 山田\r\n日時 : 今日\r\n") + separator +
                            QStringLiteral("\r\n本文一\r\n本文二\r\n")));

    view.Memo()->clear();
    ASSERT_TRUE(view.SaveToFile(env.file("body.txt")));
    EXPECT_EQ(env.readFile("body.txt"), plat::ToCp932(QStringLiteral("本文一\r\n本文二\r\n")));

    EXPECT_FALSE(view.SaveToFile(env.file("no/such/folder/x.txt")));
}

TEST_F(RichViewTest, FormattedOutputWritesRtfFileAndPrints)
{
    view.LoadFromBuffer(BoldJapaneseRtf());
    Item(QStringLiteral("書式つきで印刷/保存"))->trigger();
    ASSERT_TRUE(view.SaveToFile(env.file("rich.rtf")));
    QTextDocument back;
    ASSERT_TRUE(plat::ReadRtf(env.readFile("rich.rtf"), back));
    EXPECT_EQ(back.toPlainText(), QStringLiteral("通常の行\n太字の行"));

    for (bool formatted : {true, false}) {
        view.SetPlainText(!formatted);
        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(env.file("print.pdf"));
        view.PrintTo(printer);
        EXPECT_TRUE(env.readFile("print.pdf").startsWith("%PDF")) << formatted;
        QFile::remove(env.file("print.pdf"));
    }
}

TEST_F(RichViewTest, AlignmentAndFontApplyToTheBody)
{
    view.SetInputMode(true);
    view.AddText(QStringLiteral("中央の行"));
    Item(QStringLiteral("中央寄せ"))->trigger();
    EXPECT_EQ(view.Rich()->document()->firstBlock().blockFormat().alignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignHCenter);
    EXPECT_TRUE(Item(QStringLiteral("中央寄せ"))->isChecked());
    view.SetAlignment(1);
    EXPECT_TRUE(Item(QStringLiteral("右寄せ"))->isChecked());
    EXPECT_FALSE(Item(QStringLiteral("左寄せ"))->isChecked());

    QFont big(QStringLiteral("Serif"));
    big.setPointSize(30);
    Select(0, 2);
    view.ApplyFont(big);
    QTextCursor cursor(view.Rich()->document());
    cursor.setPosition(1);
    EXPECT_EQ(cursor.charFormat().font().pointSize(), 30);
    cursor.setPosition(3);
    EXPECT_NE(cursor.charFormat().font().pointSize(), 30);

    view.Clear();
    EXPECT_TRUE(view.Rich()->toPlainText().isEmpty());
    EXPECT_EQ(view.Rich()->document()->firstBlock().blockFormat().alignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignLeft);
}

} // namespace

// Text made red through the font choice and bold goes out in points (the
// start font is 10 points, \fs20), and plain mode only changes how the body is
// shown and saved: turning it off shows the formats again, unless the text
// was edited meanwhile.
TEST_F(RichViewTest, RedTextFromTheFontChoiceSurvivesPlainModeAndSavesInPoints)
{
    auto chooseColor = [](const QString &from, const QString &to) {
        return [from, to](QWidget *dialog) {
            auto *colors = dialog->findChild<QComboBox *>(QStringLiteral("ColorBox"));
            EXPECT_EQ(colors->currentText(), from);
            colors->setCurrentIndex(colors->findText(to));
            static_cast<QDialog *>(dialog)->accept();
        };
    };
    view.SetInputMode(true);
    view.AddText(QStringLiteral("普通 赤太字"));
    Select(3, 6);
    testsupport::ModalAnswers answers;
    answers.then(QStringLiteral("FontDialog"), chooseColor(QStringLiteral("黒"), QStringLiteral("赤")));
    Item(QStringLiteral("ﾌｫﾝﾄの指定"))->trigger();
    view.Rich()->setFontWeight(QFont::Bold);
    view.SetAlignment(2);
    const QByteArray rich = view.SaveToBuffer();
    EXPECT_TRUE(rich.contains("{\\colortbl ;\\red255\\green0\\blue0;}")) << rich.toStdString();
    EXPECT_TRUE(rich.contains("\\qc \\fs20 \\'95\\'81\\'92\\'ca ")) << rich.toStdString();
    EXPECT_TRUE(rich.contains("\\cf1\\b \\'90\\'d4\\'91\\'be\\'8e\\'9a")) << rich.toStdString();

    // With nothing selected the choice sets what is typed next.
    view.Rich()->moveCursor(QTextCursor::End);
    answers.then(QStringLiteral("FontDialog"), chooseColor(QStringLiteral("赤"), QStringLiteral("青")));
    Item(QStringLiteral("ﾌｫﾝﾄの指定"))->trigger();
    EXPECT_TRUE(answers.done());
    EXPECT_EQ(view.Rich()->currentCharFormat().foreground().color(), QColor(Qt::blue));

    QAction *plain = Item(QStringLiteral("書式なしﾃｷｽﾄ表示"));
    plain->trigger();
    EXPECT_EQ(view.SaveToBuffer(), plat::ToCp932(QStringLiteral("普通 赤太字")));
    plain->trigger();
    EXPECT_EQ(view.SaveToBuffer(), rich);

    // A body loaded in plain mode shows formatted once plain mode ends, with
    // the text appended meanwhile.
    view.SetPlainText(true);
    view.LoadFromBuffer(rich);
    view.AddText(QStringLiteral("\n追記"));
    view.SetPlainText(false);
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("普通 赤太字\n追記"));
    EXPECT_TRUE(view.SaveToBuffer().contains("\\cf1\\b "));

    view.SetPlainText(true);
    QTextCursor(view.Rich()->document()).insertText(QStringLiteral("新"));
    view.SetPlainText(false);
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("新普通 赤太字\n追記"));
    EXPECT_FALSE(view.SaveToBuffer().contains("\\b "));
}
