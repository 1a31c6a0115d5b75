// RTF read into and written from the rich edit's document: what peers' rich
// edit controls write, what we write back, and hostile input.
#include "platform/Cp932.h"
#include "platform/RichText.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <functional>

using namespace plat;

namespace {

struct Run
{
    QString text;
    QTextCharFormat format;
};

// The document's runs of text, one list per paragraph.
QList<QList<Run>> Runs(const QTextDocument &doc)
{
    QList<QList<Run>> paragraphs;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QList<Run> runs;
        for (auto it = block.begin(); !it.atEnd(); ++it)
            runs.append({it.fragment().text(), it.fragment().charFormat()});
        paragraphs.append(runs);
    }
    return paragraphs;
}

QString Family(const QTextCharFormat &f)
{
    const QStringList families = f.fontFamilies().toStringList();
    return families.isEmpty() ? QString() : families.first();
}

QTextCharFormat Format(const QString &family, qreal points, const QColor &color = QColor())
{
    QTextCharFormat f;
    f.setFontFamilies({family});
    f.setFontPointSize(points);
    if (color.isValid())
        f.setForeground(color);
    return f;
}

QTextDocument *Read(const QByteArray &rtf, QTextDocument &doc)
{
    EXPECT_TRUE(ReadRtf(rtf, doc));
    return &doc;
}

} // namespace

TEST(RichText, RoundTripKeepsTextFormatsAndAlignment)
{
    const QString gothic = QStringLiteral("ＭＳ Ｐゴシック");
    const QString soft = QStringLiteral("ソフト表示"); // 0x5C trail bytes
    QTextDocument doc;
    QTextCursor c(&doc);
    QTextCharFormat plain = Format(gothic, 9);
    c.insertText(QStringLiteral("こんにちは ﾊﾝｶｸ {a\\b} "), plain);
    QTextCharFormat bold = Format(QStringLiteral("Arial"), 14, QColor(255, 0, 0));
    bold.setFontWeight(QFont::Bold);
    c.insertText(QStringLiteral("太字"), bold);
    QTextCharFormat mixed = Format(soft, 10.5, QColor(0, 128, 255));
    mixed.setFontItalic(true);
    mixed.setFontUnderline(true);
    mixed.setFontStrikeOut(true);
    c.insertText(QStringLiteral("斜めソ表\té😀"), mixed);
    QTextBlockFormat centred;
    centred.setAlignment(Qt::AlignHCenter);
    c.insertBlock(centred);
    c.insertText(QStringLiteral("中央"), plain);
    QTextBlockFormat right;
    right.setAlignment(Qt::AlignRight);
    c.insertBlock(right);
    c.insertText(QStringLiteral("右"), bold);
    c.insertBlock(QTextBlockFormat());

    const QByteArray rtf = WriteRtf(doc);
    EXPECT_TRUE(rtf.startsWith("{\\rtf1\\ansi\\ansicpg932\\deff0{\\fonttbl{\\f0\\fnil\\fcharset"));
    EXPECT_TRUE(rtf.contains("\\fcharset128 Arial;}"));
    EXPECT_TRUE(rtf.contains("\\fcharset128 \\'82\\'6c\\'82\\'72 \\'82\\'6f\\'83\\'53\\'83\\'56\\'83\\'62\\'83\\'4e;}"));
    EXPECT_TRUE(rtf.contains("{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green128\\blue255;}"));
    EXPECT_TRUE(rtf.contains("\\'82\\'b1\\'82\\'f1")); // こん as CP932 pairs
    EXPECT_TRUE(rtf.contains("\\'ca\\'dd\\'b6\\'b8")); // half-width ﾊﾝｶｸ stays single-byte
    EXPECT_TRUE(rtf.contains("\\{a\\\\b\\}"));
    EXPECT_TRUE(rtf.contains("\\u233?"));
    EXPECT_TRUE(rtf.contains("\\u-10179?\\u-8704?"));
    EXPECT_TRUE(rtf.trimmed().endsWith("\\par\r\n}"));
    for (char b : rtf)
        EXPECT_LT(static_cast<unsigned char>(b), 0x80);

    QTextDocument back;
    Read(rtf, back);
    EXPECT_EQ(back.toPlainText(), doc.toPlainText());
    const auto want = Runs(doc);
    const auto got = Runs(back);
    ASSERT_EQ(got.size(), want.size());
    for (qsizetype p = 0; p < want.size(); ++p) {
        ASSERT_EQ(got[p].size(), want[p].size()) << p;
        for (qsizetype r = 0; r < want[p].size(); ++r) {
            const QTextCharFormat &w = want[p][r].format;
            const QTextCharFormat &g = got[p][r].format;
            EXPECT_EQ(got[p][r].text, want[p][r].text);
            EXPECT_EQ(Family(g), Family(w));
            EXPECT_DOUBLE_EQ(g.fontPointSize(), w.fontPointSize());
            EXPECT_EQ(g.fontWeight(), w.fontWeight() == QFont::Bold ? QFont::Bold : QFont::Normal);
            EXPECT_EQ(g.fontItalic(), w.fontItalic());
            EXPECT_EQ(g.fontUnderline(), w.fontUnderline());
            EXPECT_EQ(g.fontStrikeOut(), w.fontStrikeOut());
            EXPECT_EQ(g.hasProperty(QTextFormat::ForegroundBrush), w.hasProperty(QTextFormat::ForegroundBrush));
            if (w.hasProperty(QTextFormat::ForegroundBrush)) {
                EXPECT_EQ(g.foreground().color(), w.foreground().color());
            }
        }
    }
    EXPECT_EQ(back.findBlockByNumber(0).blockFormat().alignment(), Qt::AlignLeft);
    EXPECT_EQ(back.findBlockByNumber(1).blockFormat().alignment(), Qt::AlignHCenter);
    EXPECT_EQ(back.findBlockByNumber(2).blockFormat().alignment(), Qt::AlignRight);
    EXPECT_EQ(back.findBlockByNumber(3).blockFormat().alignment(), Qt::AlignLeft);
}

TEST(RichText, ReadsWhatAWindowsRichEditWrites)
{
    const QByteArray rtf =
        "{\\rtf1\\ansi\\ansicpg932\\deff0\\deflang1033\\deflangfe1041{\\fonttbl{\\f0\\fnil\\fcharset128 "
        "\\'82\\'6c\\'82\\'72 \\'82\\'6f\\'83\\'53\\'83\\'56\\'83\\'62\\'83\\'4e;}"
        "{\\f1\\fswiss\\fcharset0 Arial;}}\r\n"
        "{\\colortbl ;\\red255\\green0\\blue0;}\r\n"
        "{\\*\\generator Editor 1.0;}\\viewkind4\\uc1\\pard\\lang1041\\f0\\fs18\\'82\\'b1\\'82\\'f1"
        "\\cf1\\b bold\\cf0\\b0\\par\r\n"
        "\\pard\\qc\\i\\f1\\fs24 caf\\'e9\\i0\\line x\\tab y\\par\r\n"
        "\\pard\\qr\\ul\\f0 \\u12354?\\ulnone  \\strike s\\strike0\\par\r\n}\r\n";
    QTextDocument doc;
    Read(rtf, doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("こんbold\ncafé\nx\ty\nあ s"));
    const auto runs = Runs(doc);
    ASSERT_EQ(runs.size(), 3);
    ASSERT_EQ(runs[0].size(), 2);
    const QString gothic = QStringLiteral("ＭＳ Ｐゴシック");
    EXPECT_EQ(Family(runs[0][0].format), gothic);
    EXPECT_DOUBLE_EQ(runs[0][0].format.fontPointSize(), 9);
    EXPECT_FALSE(runs[0][0].format.hasProperty(QTextFormat::ForegroundBrush));
    EXPECT_EQ(runs[0][1].text, QStringLiteral("bold"));
    EXPECT_EQ(runs[0][1].format.fontWeight(), QFont::Bold);
    EXPECT_EQ(runs[0][1].format.foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(Family(runs[1][0].format), QStringLiteral("Arial"));
    EXPECT_TRUE(runs[1][0].format.fontItalic());
    EXPECT_EQ(doc.findBlockByNumber(1).blockFormat().alignment(), Qt::AlignHCenter);
    EXPECT_EQ(doc.findBlockByNumber(2).blockFormat().alignment(), Qt::AlignRight);
    EXPECT_TRUE(runs[2][0].format.fontUnderline());
    EXPECT_FALSE(runs[2].last().format.fontUnderline());
    EXPECT_TRUE(runs[2].last().format.fontStrikeOut());
}

TEST(RichText, DecodesUnicodeEscapesAndSkipCounts)
{
    QTextDocument doc;
    // \uc2 skips a CP932 pair as its two bytes; \uc0 skips nothing; \plain
    // drops character formats; a group keeps its own \uc.
    Read("{\\rtf1\\ansi\\ansicpg932{\\fonttbl{\\f0\\fcharset128 X;}}"
         "\\uc2\\u-25682\\'91\\'4e{\\uc0\\u26412}\\u26412 ?\?!\\b\\plain \\u20154?\\u-3\\'3f}",
         doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("鮮本本!人\uFFFD"));
    EXPECT_EQ(Runs(doc)[0].last().format.fontWeight(), QFont::Normal);
}

TEST(RichText, SkipsDestinationsAndBinaryData)
{
    QTextDocument doc;
    Read("{\\rtf1{\\info{\\title secret}}{\\stylesheet{\\s0 Normal;}}{\\*\\unknown hidden}"
         "a{\\pict\\wmetafile8 0102}b\\bin3 {}}c{\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt shown}}\\par}",
         doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("abcshown"));
}

TEST(RichText, RefusesWhatIsNotRtf)
{
    QTextDocument doc;
    doc.setPlainText(QStringLiteral("keep"));
    EXPECT_FALSE(ReadRtf("plain text", doc));
    EXPECT_FALSE(ReadRtf(" {\\rtf1 x}", doc));
    EXPECT_FALSE(ReadRtf(QByteArray(), doc));
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("keep"));
}

TEST(RichText, MalformedInputShowsWhatItCan)
{
    QTextDocument doc;
    // Unbalanced braces: a missing close shows everything, extra closes end the document.
    Read("{\\rtf1 one{\\b two{\\i three", doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("onetwothree"));
    Read("{\\rtf1 one}}}two{", doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("one"));

    // 10,000 nested groups are read flat beyond the depth limit.
    const QByteArray deep = "{\\rtf1 " + QByteArray(10000, '{') + "x\\b y" + QByteArray(10000, '}') + "z}";
    Read(deep, doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("xyz"));

    // A \bin longer than the input skips to its end.
    Read("{\\rtf1 a\\bin999999999 bcd}", doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("a"));
    Read("{\\rtf1 a\\bin-5 b}", doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("ab"));

    // Stray and truncated escapes are ignored.
    Read("{\\rtf1 a\\'zzb\\u c\\'8", doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("azzbc8"));
    Read("{\\rtf1 a\\", doc);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("a"));
    Read("{\\rtf1 \\fs99999999999999999999 \\cf-7 \\u99999999999 ?x\\'82}", doc);
    EXPECT_EQ(doc.toPlainText().right(2), QStringLiteral("x\uFFFD"));

    // Random bytes after the header never crash, and what was read writes
    // out and reads back to the same text.
    QByteArray noise = "{\\rtf1\\ansi\\ansicpg932 ";
    quint32 seed = 12345;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245u + 12345u;
        noise.append(static_cast<char>(seed >> 16));
    }
    Read(noise, doc);
    QTextDocument again;
    Read(WriteRtf(doc), again);
    EXPECT_EQ(again.toPlainText(), doc.toPlainText());
}

TEST(RichText, WritesEmptyAndMultiParagraphDocumentsThatReadBack)
{
    for (const QString &text : {QString(), QStringLiteral("a\n"), QStringLiteral("\n\nb"), QStringLiteral("x\u2028y")}) {
        QTextDocument doc;
        QTextCursor(&doc).insertText(text);
        QTextDocument back;
        Read(WriteRtf(doc), back);
        EXPECT_EQ(back.toPlainText(), doc.toPlainText()) << text.toStdString();
        EXPECT_EQ(back.blockCount(), doc.blockCount()) << text.toStdString();
    }
}

// Documents as a Windows rich edit control and a word processor write them
// read as a person expects, and write out and read back the same.
TEST(RichText, DocumentsFromWindowsPeersReadAndWriteBack)
{
    const QByteArray mincho = "{\\f1\\fcharset128 \\'82\\'6c\\'82\\'72 \\'96\\'be\\'92\\'a9;}";
    const struct
    {
        const char *name;
        QByteArray rtf;
        QString text;
        std::function<void(const QTextDocument &, const QList<QList<::Run>> &)> check;
    } cases[] = {
        {"bullets, Symbol, a table and an unclosed last paragraph",
         "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0\\fcharset0 Arial;}{\\f2\\fcharset2 Symbol;}}\\pard{\\pntext\\f2\\'B7"
         "\\tab}{\\*\\pn\\pnlvlblt\\pnf2{\\pntxtb\\'B7}}\\f0\\fs20 One\\par{\\pntext\\f2\\'B7\\tab}{\\f2 ab\\'b3\\u-3913?}"
         "\\par\\trowd\\cellx2000\\cellx4000\\pard\\intbl A\\cell B\\cell\\row\\intbl\\cell D\\cell\\row\\pard\\qc End}",
         QStringLiteral("•\tOne\n•\tαβ≥•\nA\tB\n\tD\nEnd"),
         [](const QTextDocument &doc, const QList<QList<::Run>> &runs) {
             EXPECT_EQ(Family(runs[0].last().format), QStringLiteral("Arial"));
             EXPECT_DOUBLE_EQ(runs[0].last().format.fontPointSize(), 10);
             EXPECT_EQ(doc.lastBlock().blockFormat().alignment(), Qt::AlignHCenter);
         }},
        {"CP1252 quotes and euro in a CP932 document",
         "{\\rtf1\\ansi\\ansicpg932{\\fonttbl{\\f0\\fcharset0 Arial;}" + mincho +
             "}\\f0 \\'93Q\\'94 \\'80 5\\'85 caf\\'e9 \\f1 \\'95\\'5c\\par}",
         QStringLiteral("“Q” € 5… café 表"),
         [](const QTextDocument &, const QList<QList<::Run>> &runs) {
             EXPECT_EQ(Family(runs[0].last().format), QStringLiteral("ＭＳ 明朝"));
         }},
        {"bold and sized Japanese text of a word processor",
         "{\\rtf1\\ansi\\ansicpg932\\uc2\\deff0{\\fonttbl{\\f0\\froman\\fcharset0 Times New Roman;}" + mincho +
             "}\\pard\\plain\\qj \\rtlch\\fcs1 \\af0\\afs24\\ab \\ltrch\\fcs0 \\fs21\\loch\\af0\\hich\\af0\\dbch\\af1 "
             "{\\rtlch\\fcs1 \\af0 \\ltrch\\fcs0 \\loch\\f0 Plain }{\\rtlch\\fcs1 \\ab\\afs32 \\ltrch\\fcs0 "
             "\\dbch\\af1\\ab\\afs32 \\'91\\'e5\\'82\\'ab\\'82\\'a2}{\\dbch\\af1\\ai \\'95\\'b6\\'8e\\'9a}\\par }",
         QStringLiteral("Plain 大きい文字"),
         [](const QTextDocument &doc, const QList<QList<::Run>> &runs) {
             ASSERT_EQ(runs[0].size(), 3);
             EXPECT_EQ(Family(runs[0][1].format), QStringLiteral("ＭＳ 明朝"));
             EXPECT_EQ(runs[0][1].format.fontWeight(), QFont::Bold);
             EXPECT_DOUBLE_EQ(runs[0][1].format.fontPointSize(), 16);
             EXPECT_EQ(runs[0][2].format.fontWeight(), QFont::Normal); // \ab and \afs of \rtlch
             EXPECT_DOUBLE_EQ(runs[0][2].format.fontPointSize(), 10.5);
             EXPECT_TRUE(runs[0][2].format.fontItalic());
             EXPECT_EQ(doc.begin().blockFormat().alignment(), Qt::AlignJustify);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTextDocument doc, back;
        Read(c.rtf, doc);
        Read(WriteRtf(doc), back);
        for (const QTextDocument *read : {&doc, &back}) {
            EXPECT_EQ(read->toPlainText(), c.text);
            c.check(*read, Runs(*read));
        }
    }
}

// Latin fonts go as \fcharset0 with CP1252 text, Japanese ones as
// \fcharset128; Japanese text in a Latin font goes with it as Shift-JIS.
// Pixel sizes go in points: 13 pixels are \fs20.
TEST(RichText, WritesFontsWithTheirCharsetAndSizesInPoints)
{
    QTextDocument doc;
    QFont start(QStringLiteral("ＭＳ 明朝"));
    start.setPixelSize(13);
    doc.setDefaultFont(start);
    QTextCursor c(&doc);
    c.insertText(QStringLiteral("既 "));
    c.insertText(QStringLiteral("“€” ŵ"), Format(QStringLiteral("Times New Roman"), 12));
    c.insertText(QStringLiteral("日"), Format(QStringLiteral("Times New Roman"), 14));
    const QByteArray rtf = WriteRtf(doc);
    EXPECT_TRUE(rtf.contains("{\\f0\\fnil\\fcharset128 \\'82\\'6c\\'82\\'72 \\'96\\'be\\'92\\'a9;}"));
    EXPECT_TRUE(rtf.contains("{\\f1\\fnil\\fcharset0 Times New Roman;}{\\f2\\fnil\\fcharset128 Times New Roman;}"));
    EXPECT_TRUE(rtf.contains("\\fs20 \\'8a\\'f9 \\f1\\fs24 \\'93\\'80\\'94 \\u373?\\f2\\fs28 \\'93\\'fa")) << rtf.toStdString();
}

// Hostile charsets, code pages and tables: never a crash, the text shows.
TEST(RichText, HostileCharsetsAndTablesShowWhatTheyCan)
{
    const struct
    {
        QByteArray rtf;
        QString text;
    } cases[] = {
        {"{\\rtf1\\ansicpg1251{\\fonttbl{\\f0 C;}{\\f1\\fcharset1 A;}}\\f0\\'cf\\'f0\\f1\\'e8}", QStringLiteral("При")},
        {"{\\rtf1\\ansicpg99999{\\fonttbl{\\f0\\fcharset999 X;}}\\'41\\'e9}", QStringLiteral("A\u00e9")},
        {"{\\rtf1{\\fonttbl{\\f0\\fcharset2 Symbol;}}\\'80\\'ff\\'f0\\'01\\u-3968?x}", QStringLiteral("ξ")},
        {"{\\rtf1{\\fonttbl{\\f0\\fcharset134 S;}}\\'c4\\'e3\\'c4}", QStringLiteral("你\uFFFD")},
        {"{\\rtf1\\ansicpg930 \\'27\\'2d\\'81}", QStringLiteral("ｱ")}, // EBCDIC ESC and ENQ are dropped
        {"{\\rtf1 a\\cell\\cell\\cell b\\row\\row\\cell}", QStringLiteral("a\t\t\tb\n")},
        {"{\\rtf1 \\dbch\\af2147483647\\afs-9\\ab-1 x\\hich\\af-3 y\\loch\\af99 z}", QStringLiteral("xyz")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rtf.toStdString());
        QTextDocument doc, back;
        Read(c.rtf, doc);
        EXPECT_EQ(doc.toPlainText(), c.text);
        Read(WriteRtf(doc), back);
        EXPECT_EQ(back.toPlainText(), doc.toPlainText());
    }
}
