#include "platform/RichText.h"

#include "platform/Cp932.h"
#include "platform/Iconv.h"

#include <QColor>
#include <QFontDatabase>
#include <QHash>
#include <QList>
#include <QMap>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

namespace plat {

namespace {

// ---------------------------------------------------------------- code pages

constexpr int kCharsetAnsi = 0;
constexpr int kCharsetSymbol = 2;
constexpr int kCharsetShiftJis = 128;
constexpr int kCodePageShiftJis = 932;

// The \fcharset a run's font had in the RTF it was read from, kept on the
// run so that it is written back with the same charset.
constexpr int kCharsetProperty = QTextFormat::UserProperty + 0x5243;

// The Windows code page of a font charset; -1 for the document's own
// (\ansicpg) code page, which is also what an unknown charset gets.
int CharsetCodePage(int charset)
{
    static const struct { int charset; int codePage; } table[] = {
        {kCharsetAnsi, 1252}, {77, 10000}, {kCharsetShiftJis, kCodePageShiftJis}, {129, 949}, {130, 1361},
        {134, 936}, {136, 950}, {161, 1253}, {162, 1254}, {163, 1258}, {177, 1255}, {178, 1256},
        {186, 1257}, {204, 1251}, {222, 874}, {238, 1250}, {255, 437}};
    for (const auto &entry : table) {
        if (entry.charset == charset)
            return entry.codePage;
    }
    return -1;
}

QByteArray IconvName(int codePage)
{
    if (codePage == 10000)
        return "MACINTOSH";
    if (codePage == 1361)
        return "JOHAB";
    return "CP" + QByteArray::number(codePage);
}

// Text bytes of Windows code pages. CP932 goes through the program's one
// codec; the others through iconv, each converter opened once and owned here
// (so a reader or writer shares nothing with other threads).
class CodePages
{
public:
    CodePages() = default;
    CodePages(const CodePages &) = delete;
    CodePages &operator=(const CodePages &) = delete;
    ~CodePages()
    {
        for (iconv_t cd : std::as_const(converters_)) {
            if (cd != kNone)
                iconv_close(cd);
        }
    }

    // Invalid bytes show as U+FFFD; a page iconv does not know reads as Latin-1.
    QString Decode(int codePage, const QByteArray &bytes)
    {
        if (codePage == kCodePageShiftJis)
            return FromCp932(bytes);
        iconv_t cd = Converter(codePage, false);
        if (cd == kNone)
            return QString::fromLatin1(bytes);
        // An invalid or cut sequence: one byte is replaced.
        return QString::fromUtf8(IconvAll(cd, bytes, [](const unsigned char *, size_t) {
            return std::pair<QByteArray, size_t>(QByteArray("\xEF\xBF\xBD"), 1);
        }));
    }

    // The bytes of one character in the code page, or empty when the page
    // cannot hold it exactly.
    QByteArray Encode(int codePage, QChar ch)
    {
        if (ch.isSurrogate())
            return {};
        const QString text(ch);
        QByteArray bytes;
        if (codePage == kCodePageShiftJis) {
            bytes = ToCp932(text);
        } else if (iconv_t cd = Converter(codePage, true); cd != kNone) {
            const QByteArray utf8 = text.toUtf8();
            char *in = const_cast<char *>(utf8.constData());
            size_t inLeft = static_cast<size_t>(utf8.size());
            char buffer[16];
            char *dst = buffer;
            size_t dstLeft = sizeof buffer;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1))
                bytes = QByteArray(buffer, static_cast<qsizetype>(dst - buffer));
        }
        return !bytes.isEmpty() && Decode(codePage, bytes) == text ? bytes : QByteArray();
    }

private:
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

    iconv_t Converter(int codePage, bool encode)
    {
        const int key = encode ? -codePage - 1 : codePage;
        const auto found = converters_.constFind(key);
        if (found != converters_.cend())
            return *found;
        const QByteArray page = IconvName(codePage);
        iconv_t cd = encode ? iconv_open(page.constData(), "UTF-8") : iconv_open("UTF-8", page.constData());
        converters_.insert(key, cd);
        return cd;
    }

    QHash<int, iconv_t> converters_;
};

// The characters of the Symbol font by byte, from 0x20; 0 where it has none.
constexpr char16_t kSymbolFont[224] = {
    u' ', u'!', 0x2200, u'#', 0x2203, u'%', u'&', 0x220B, u'(', u')', 0x2217, u'+', u',', 0x2212, u'.', u'/',
    u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7', u'8', u'9', u':', u';', u'<', u'=', u'>', u'?',
    0x2245, 0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399, 0x03D1, 0x039A, 0x039B, 0x039C, 0x039D, 0x039F,
    0x03A0, 0x0398, 0x03A1, 0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396, u'[', 0x2234, u']', 0x22A5, u'_',
    0x203E, 0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9, 0x03D5, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BF,
    0x03C0, 0x03B8, 0x03C1, 0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6, u'{', u'|', u'}', 0x223C, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0x20AC, 0x03D2, 0x2032, 0x2264, 0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194, 0x2190, 0x2191, 0x2192, 0x2193,
    0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022, 0x00F7, 0x2260, 0x2261, 0x2248, 0x2026, 0x23D0, 0x23AF, 0x21B5,
    0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205, 0x2229, 0x222A, 0x2283, 0x2287, 0x2284, 0x2282, 0x2286, 0x2208, 0x2209,
    0x2220, 0x2207, 0x00AE, 0x00A9, 0x2122, 0x220F, 0x221A, 0x22C5, 0x00AC, 0x2227, 0x2228, 0x21D4, 0x21D0, 0x21D1, 0x21D2, 0x21D3,
    0x25CA, 0x2329, 0x00AE, 0x00A9, 0x2122, 0x2211, 0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3, 0x23A7, 0x23A8, 0x23A9, 0x23AA,
    0, 0x232A, 0x222B, 0x2320, 0x23AE, 0x2321, 0x239E, 0x239F, 0x23A0, 0x23A4, 0x23A5, 0x23A6, 0x23AB, 0x23AC, 0x23AD, 0};

// A Symbol font character by its byte; 0 when the font has none there.
char16_t SymbolCharacter(unsigned char b)
{
    return b < 0x20 ? 0 : kSymbolFont[b - 0x20];
}

// ---------------------------------------------------------------- reading

// Groups nested deeper than this are read as if flat, so a hostile nesting
// costs neither stack nor memory.
constexpr int kMaxGroupDepth = 256;
constexpr int kDefaultHalfPoints = 24;

enum class Destination { Text, FontTable, ColorTable, Skip };

// The kind of text that follows: \loch low ANSI, \hich high ANSI, \dbch
// double-byte. Word processors give the fonts and formats of high and
// double-byte (Japanese) text as associated properties (\af, \ab, \ai, \afs).
enum class CharClass { Low, High, Double };

struct GroupState
{
    Destination dest = Destination::Text;
    int font = -1; // -1: the document's default font (\deff)
    int halfPoints = kDefaultHalfPoints;
    int color = 0;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    CharClass charClass = CharClass::Low;
    int highFont = -1;
    int doubleFont = -1;
    std::optional<bool> assocBold;
    std::optional<bool> assocItalic;
    int assocHalfPoints = 0; // 0: not given
    // After \rtlch the associated properties are those of right-to-left
    // text, which this view never shows; \ltrch ends that.
    bool rightToLeft = false;
    int unicodeSkip = 1;
    Qt::Alignment align = Qt::AlignLeft;

    void resetCharacter()
    {
        const GroupState fresh;
        font = fresh.font;
        halfPoints = fresh.halfPoints;
        color = fresh.color;
        bold = italic = underline = strike = false;
        charClass = fresh.charClass;
        highFont = doubleFont = -1;
        assocBold.reset();
        assocItalic.reset();
        assocHalfPoints = 0;
        rightToLeft = false;
    }

    bool associated() const { return charClass != CharClass::Low; }

    int runFont() const
    {
        if (charClass == CharClass::Double && doubleFont >= 0)
            return doubleFont;
        if (charClass == CharClass::High && highFont >= 0)
            return highFont;
        return font;
    }

    bool runBold() const { return associated() && assocBold ? *assocBold : bold; }
    bool runItalic() const { return associated() && assocItalic ? *assocItalic : italic; }
    int runHalfPoints() const { return associated() && assocHalfPoints > 0 ? assocHalfPoints : halfPoints; }
};

struct FontEntry
{
    QByteArray name;
    int charset = -1;
};

struct ControlWord
{
    QByteArray word;
    bool hasParam = false;
    int param = 0;
};

// Destinations whose contents are never shown.
bool IsSkippedDestination(const QByteArray &word)
{
    static const char *const skipped[] = {
        "info", "stylesheet", "pict", "object", "header", "headerl", "headerr", "headerf",
        "footer", "footerl", "footerr", "footerf", "footnote", "fldinst", "pn", "listtable",
        "listoverridetable", "revtbl", "rsidtbl", "generator", "xmlnstbl", "themedata",
        "colorschememapping", "latentstyles", "datastore", "filetbl", "nonshppict",
        "bkmkstart", "bkmkend", "template", "falt", "panose", "annotation", "atnid", "atnauthor"};
    return std::any_of(std::begin(skipped), std::end(skipped),
                       [&](const char *name) { return word == name; });
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int HalfPointsParam(const ControlWord &w)
{
    return w.param > 0 ? std::clamp(w.param, 2, 3276) : kDefaultHalfPoints;
}

class RtfReader
{
public:
    RtfReader(const QByteArray &rtf, QTextDocument &doc) : in_(rtf), cursor_(&doc) {}

    void Run()
    {
        while (pos_ < in_.size() && !finished_) {
            const char c = in_[pos_++];
            if (c == '{')
                OpenGroup();
            else if (c == '}')
                CloseGroup();
            else if (c == '\\')
                Escape();
            else if (c != '\r' && c != '\n')
                TextByte(c);
        }
        FlushText();
        // The last paragraph keeps its alignment even when no \par closes it.
        if (!parPending_)
            ApplyAlignment(paragraphAlign_);
    }

private:
    GroupState &State() { return stack_.back(); }

    void OpenGroup()
    {
        FlushText();
        unicodeSkipLeft_ = 0;
        if (stack_.size() >= static_cast<std::size_t>(kMaxGroupDepth))
            ++flatDepth_;
        else
            stack_.push_back(stack_.empty() ? GroupState() : State());
    }

    void CloseGroup()
    {
        FlushText();
        unicodeSkipLeft_ = 0;
        if (flatDepth_ > 0) {
            --flatDepth_;
            return;
        }
        if (stack_.empty())
            return;
        if (State().dest == Destination::FontTable)
            EndFontEntry();
        stack_.pop_back();
        // Whatever follows the document's closing brace is not part of it.
        finished_ = stack_.empty();
    }

    void Escape()
    {
        if (pos_ >= in_.size())
            return; // a backslash cut off at the end
        const char c = in_[pos_];
        if (IsLetter(c)) {
            Word(ReadControlWord());
            return;
        }
        ++pos_;
        switch (c) {
        case '\'':
            HexPair();
            break;
        case '\\':
        case '{':
        case '}':
            TextByte(c);
            break;
        case '*':
            SkipDestination();
            break;
        case '~':
            Character(0x00A0);
            break;
        case '_':
            Character(0x2011);
            break;
        case '\r':
        case '\n':
            Paragraph();
            break;
        default:
            break; // an unknown symbol, "\-" and "\|" show nothing
        }
    }

    ControlWord ReadControlWord()
    {
        ControlWord w;
        while (pos_ < in_.size() && IsLetter(in_[pos_])) {
            if (w.word.size() < 32)
                w.word.append(in_[pos_]);
            ++pos_;
        }
        bool negative = false;
        if (pos_ + 1 < in_.size() && in_[pos_] == '-' && in_[pos_ + 1] >= '0' && in_[pos_ + 1] <= '9') {
            negative = true;
            ++pos_;
        }
        long long value = 0;
        while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9') {
            w.hasParam = true;
            value = std::min<long long>(value * 10 + (in_[pos_] - '0'), INT_MAX);
            ++pos_;
        }
        w.param = static_cast<int>(negative ? -value : value);
        if (pos_ < in_.size() && in_[pos_] == ' ')
            ++pos_; // the delimiter belongs to the word
        return w;
    }

    void HexPair()
    {
        if (pos_ + 1 >= in_.size())
            return;
        const int hi = HexValue(in_[pos_]);
        const int lo = HexValue(in_[pos_ + 1]);
        if (hi < 0 || lo < 0)
            return; // a stray "\'" shows nothing; what follows is read as usual
        pos_ += 2;
        TextByte(static_cast<char>(hi * 16 + lo));
    }

    void SkipDestination()
    {
        // The outermost group is the document itself and is never skipped.
        if (stack_.size() > 1)
            State().dest = Destination::Skip;
    }

    void Word(const ControlWord &w)
    {
        if (w.word == "bin") {
            pos_ += std::min<qsizetype>(std::max(w.param, 0), in_.size() - pos_);
            return;
        }
        if (stack_.empty() || State().dest == Destination::Skip)
            return;
        if (State().dest != Destination::Text) {
            TableWord(w);
            return;
        }
        if (w.word != "u")
            FlushText();
        if (IsSkippedDestination(w.word)) {
            SkipDestination();
            return;
        }
        if (unicodeSkipLeft_ > 0 && w.word != "u") {
            --unicodeSkipLeft_;
            return;
        }
        if (!CharacterWord(w) && !AssociatedWord(w))
            TextWord(w);
    }

    void TableWord(const ControlWord &w)
    {
        GroupState &s = State();
        if (s.dest == Destination::FontTable) {
            if (w.word == "f")
                fontEntry_ = w.param;
            else if (w.word == "fcharset")
                fontCharset_ = w.param;
            else if (IsSkippedDestination(w.word))
                SkipDestination();
        } else if (w.word == "red") {
            colorEntry_.setRed(std::clamp(w.param, 0, 255));
            colorSet_ = true;
        } else if (w.word == "green") {
            colorEntry_.setGreen(std::clamp(w.param, 0, 255));
            colorSet_ = true;
        } else if (w.word == "blue") {
            colorEntry_.setBlue(std::clamp(w.param, 0, 255));
            colorSet_ = true;
        }
    }

    // Character formats; true when the word was one.
    bool CharacterWord(const ControlWord &w)
    {
        GroupState &s = State();
        const bool on = !w.hasParam || w.param != 0;
        const QByteArray &k = w.word;
        if (k == "f")
            s.font = w.param;
        else if (k == "fs")
            s.halfPoints = HalfPointsParam(w);
        else if (k == "cf")
            s.color = std::max(w.param, 0);
        else if (k == "b")
            s.bold = on;
        else if (k == "i")
            s.italic = on;
        else if (k == "strike")
            s.strike = on;
        else if (k == "ulnone")
            s.underline = false;
        else if (k.startsWith("ul") && k != "ulc")
            s.underline = on; // \uld, \ulw, \ulwave... are all an underline
        else if (k == "plain")
            s.resetCharacter();
        else
            return false;
        return true;
    }

    // The kind of text and its associated properties; true when the word was one.
    bool AssociatedWord(const ControlWord &w)
    {
        GroupState &s = State();
        const QByteArray &k = w.word;
        if (k == "loch" || k == "hich" || k == "dbch") {
            s.charClass = k == "loch" ? CharClass::Low : k == "hich" ? CharClass::High : CharClass::Double;
        } else if (k == "rtlch" || k == "ltrch") {
            s.rightToLeft = k == "rtlch";
        } else if (k == "af" || k == "ab" || k == "ai" || k == "afs") {
            if (!s.rightToLeft)
                SetAssociated(s, w);
        } else {
            return false;
        }
        return true;
    }

    static void SetAssociated(GroupState &s, const ControlWord &w)
    {
        const bool on = !w.hasParam || w.param != 0;
        if (w.word == "ab")
            s.assocBold = on;
        else if (w.word == "ai")
            s.assocItalic = on;
        else if (w.word == "afs")
            s.assocHalfPoints = HalfPointsParam(w);
        else if (s.charClass == CharClass::Double)
            s.doubleFont = w.param;
        else if (s.charClass == CharClass::High)
            s.highFont = w.param;
    }

    void TextWord(const ControlWord &w)
    {
        GroupState &s = State();
        const QByteArray &k = w.word;
        if (k == "fonttbl")
            s.dest = Destination::FontTable;
        else if (k == "colortbl")
            s.dest = Destination::ColorTable;
        else if (k == "ansicpg")
            codePage_ = w.param;
        else if (k == "deff")
            defaultFont_ = w.param;
        else if (k == "pard")
            s.align = Qt::AlignLeft;
        else if (k == "ql")
            s.align = Qt::AlignLeft;
        else if (k == "qc")
            s.align = Qt::AlignHCenter;
        else if (k == "qr")
            s.align = Qt::AlignRight;
        else if (k == "qj")
            s.align = Qt::AlignJustify;
        else if (k == "uc")
            s.unicodeSkip = std::max(w.param, 0);
        else if (k == "u" && w.hasParam)
            Unicode(w.param);
        else if (k == "par")
            Paragraph();
        else if (k == "cell" || k == "nestcell")
            ++pendingCells_;
        else if (k == "row" || k == "nestrow")
            EndRow();
        else
            SpecialCharacter(k);
    }

    void SpecialCharacter(const QByteArray &k)
    {
        static const struct { const char *word; char16_t ch; } table[] = {
            {"line", 0x2028}, {"tab", u'\t'}, {"emdash", 0x2014}, {"endash", 0x2013},
            {"bullet", 0x2022}, {"lquote", 0x2018}, {"rquote", 0x2019},
            {"ldblquote", 0x201C}, {"rdblquote", 0x201D}, {"emspace", 0x2003},
            {"enspace", 0x2002}};
        for (const auto &entry : table) {
            if (k == entry.word) {
                Character(entry.ch);
                return;
            }
        }
    }

    void Unicode(int n)
    {
        FlushBytes();
        char16_t ch = static_cast<char16_t>(n < 0 ? n + 65536 : n);
        // Symbol fonts put their characters at U+F020..U+F0FF.
        if (RunCharset() == kCharsetSymbol && ch >= 0xF020 && ch <= 0xF0FF)
            ch = SymbolCharacter(static_cast<unsigned char>(ch - 0xF000));
        Character(ch);
        unicodeSkipLeft_ = State().unicodeSkip;
    }

    // Text as the document may hold it: control characters and paragraph
    // marks that did not come as \par never split its paragraphs, and
    // U+FFFC and U+FDD0/U+FDD1 mark objects and frames inside a document.
    static void AppendShown(QString &text, char16_t ch)
    {
        if (ch == 0x2029)
            ch = 0x2028;
        if ((ch < 0x20 && ch != u'\t') || ch == 0xFFFC || ch == 0xFDD0 || ch == 0xFDD1)
            return;
        text.append(QChar(ch));
    }

    // One character of text.
    void Character(char16_t ch)
    {
        if (stack_.empty() || State().dest != Destination::Text)
            return;
        StartText();
        AppendShown(text_, ch);
    }

    void TextByte(char c)
    {
        if (stack_.empty())
            return;
        switch (State().dest) {
        case Destination::Skip:
            return;
        case Destination::FontTable:
            if (c == ';')
                EndFontEntry();
            else
                fontName_.append(c);
            return;
        case Destination::ColorTable:
            if (c == ';')
                EndColorEntry();
            return;
        case Destination::Text:
            break;
        }
        if (unicodeSkipLeft_ > 0) {
            --unicodeSkipLeft_;
            return;
        }
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
            return;
        StartText();
        bytes_.append(c);
    }

    // Table cells read as text separated by tabs: the tab of a cell end is
    // put in only when more text of the row follows.
    void StartText()
    {
        if (pendingCells_ == 0)
            return;
        FlushBytes();
        text_ += QString(pendingCells_, QLatin1Char('\t'));
        pendingCells_ = 0;
    }

    // A table row reads as one paragraph.
    void EndRow()
    {
        pendingCells_ = 0;
        Paragraph();
    }

    void EndFontEntry()
    {
        if (fontEntry_ >= 0)
            fonts_[fontEntry_] = FontEntry{fontName_.trimmed(), fontCharset_};
        fontEntry_ = -1;
        fontCharset_ = -1;
        fontName_.clear();
    }

    void EndColorEntry()
    {
        colors_.append(colorSet_ ? std::optional<QColor>(colorEntry_) : std::nullopt);
        colorEntry_ = QColor(0, 0, 0);
        colorSet_ = false;
    }

    const FontEntry *RunFontEntry() const
    {
        const int number = stack_.back().runFont();
        const auto font = fonts_.constFind(number >= 0 ? number : defaultFont_);
        return font == fonts_.cend() ? nullptr : &*font;
    }

    int RunCharset() const
    {
        const FontEntry *font = RunFontEntry();
        return font ? font->charset : -1;
    }

    // The code page of a font charset; a font without one, or with the
    // default charset, follows the document's code page, which for this
    // system's peers is CP932.
    int CodePage(int charset) const
    {
        const int page = CharsetCodePage(charset);
        return page > 0 ? page : codePage_ > 0 ? codePage_ : kCodePageShiftJis;
    }

    // Text bytes follow the charset of their font.
    QString Decode(const QByteArray &bytes)
    {
        const int charset = RunCharset();
        if (charset != kCharsetSymbol)
            return codePages_.Decode(CodePage(charset), bytes);
        QString text;
        for (char b : bytes) {
            if (const char16_t ch = SymbolCharacter(static_cast<unsigned char>(b)))
                text.append(QChar(ch));
        }
        return text;
    }

    void FlushBytes()
    {
        if (bytes_.isEmpty())
            return;
        // A code page may decode bytes to control characters too.
        for (QChar ch : Decode(bytes_))
            AppendShown(text_, ch.unicode());
        bytes_.clear();
    }

    QTextCharFormat CharFormat()
    {
        const GroupState &s = stack_.back();
        QTextCharFormat format;
        // Text of a Symbol font was read as the characters it shows, which
        // any font draws.
        const FontEntry *font = RunFontEntry();
        if (font && font->charset != kCharsetSymbol && !font->name.isEmpty()) {
            format.setFontFamilies({codePages_.Decode(CodePage(font->charset), font->name)});
            if (font->charset >= 0)
                format.setProperty(kCharsetProperty, font->charset);
        }
        format.setFontPointSize(s.runHalfPoints() / 2.0);
        format.setFontWeight(s.runBold() ? QFont::Bold : QFont::Normal);
        format.setFontItalic(s.runItalic());
        format.setFontUnderline(s.underline);
        format.setFontStrikeOut(s.strike);
        if (s.color > 0 && s.color < colors_.size() && colors_[s.color])
            format.setForeground(*colors_[s.color]);
        return format;
    }

    void FlushText()
    {
        FlushBytes();
        if (text_.isEmpty() || stack_.empty())
            return;
        StartPendingParagraph();
        cursor_.insertText(text_, CharFormat());
        paragraphAlign_ = State().align;
        text_.clear();
    }

    void StartPendingParagraph()
    {
        if (parPending_)
            cursor_.insertBlock();
        parPending_ = false;
    }

    // A \par ends its paragraph; the next one starts only when something
    // follows, so the \par a rich edit control writes after its last
    // paragraph adds no empty line.
    void Paragraph()
    {
        if (stack_.empty() || State().dest != Destination::Text)
            return;
        FlushText();
        StartPendingParagraph();
        ApplyAlignment(State().align);
        parPending_ = true;
    }

    void ApplyAlignment(Qt::Alignment align)
    {
        QTextBlockFormat format = cursor_.blockFormat();
        format.setAlignment(align);
        cursor_.setBlockFormat(format);
    }

    const QByteArray &in_;
    QTextCursor cursor_;
    CodePages codePages_;
    qsizetype pos_ = 0;
    bool finished_ = false;
    std::vector<GroupState> stack_;
    int flatDepth_ = 0;
    int unicodeSkipLeft_ = 0;
    int codePage_ = -1;
    int defaultFont_ = 0;
    QMap<int, FontEntry> fonts_;
    int fontEntry_ = -1;
    int fontCharset_ = -1;
    QByteArray fontName_;
    QList<std::optional<QColor>> colors_;
    QColor colorEntry_{0, 0, 0};
    bool colorSet_ = false;
    QByteArray bytes_;
    QString text_;
    bool parPending_ = false;
    int pendingCells_ = 0;
    Qt::Alignment paragraphAlign_ = Qt::AlignLeft;
};

// ---------------------------------------------------------------- writing

struct RunFormat
{
    int font = 0;
    int halfPoints = kDefaultHalfPoints;
    int color = 0;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
};

struct FontKey
{
    QString family;
    int charset = kCharsetShiftJis;
    bool operator==(const FontKey &other) const = default;
};

size_t qHash(const FontKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.family, key.charset);
}

QByteArray Hex(unsigned char b)
{
    static const char digits[] = "0123456789abcdef";
    return QByteArray("\\'") + digits[b >> 4] + digits[b & 15];
}

// RTF sizes are half points. A size given in pixels is converted at the
// 96 dots per inch of the peers' screens (13 pixels are 9.75 points).
int HalfPoints(qreal points, int pixels, int fallback)
{
    if (points > 0)
        return std::clamp(qRound(points * 2), 2, 3276);
    if (pixels > 0)
        return std::clamp(qRound(pixels * 72.0 / 96.0 * 2), 2, 3276);
    return fallback;
}

class RtfWriter
{
public:
    explicit RtfWriter(const QTextDocument &doc) : doc_(doc)
    {
        const QFont font = doc.defaultFont();
        defaultFamily_ = font.family();
        defaultHalfPoints_ = HalfPoints(font.pointSizeF(), font.pixelSize(), kDefaultHalfPoints);
        FontIndex({defaultFamily_, FamilyCharset(defaultFamily_)});
    }

    QByteArray Write()
    {
        QByteArray body = "\\viewkind4\\uc1\\pard";
        QByteArray align;
        RunFormat current;
        current.halfPoints = -1; // forces the first run to state its size
        for (QTextBlock block = doc_.begin(); block.isValid(); block = block.next()) {
            const QByteArray blockAlign = AlignmentWord(block.blockFormat().alignment());
            if (block != doc_.begin() && blockAlign != align)
                body += "\\pard";
            if (block == doc_.begin() || blockAlign != align)
                body += blockAlign + ' ';
            align = blockAlign;
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextFragment fragment = it.fragment();
                if (!fragment.isValid())
                    continue;
                const RunFormat next = Format(fragment.charFormat(), fragment.text());
                body += FormatChange(current, next);
                body += EscapeText(fragment.text(), CodePageOf(fonts_[next.font].charset));
            }
            body += "\\par\r\n";
        }
        return Header() + body + "}\r\n";
    }

private:
    static QByteArray AlignmentWord(Qt::Alignment align)
    {
        if (align & Qt::AlignHCenter)
            return "\\qc";
        if (align & Qt::AlignRight)
            return "\\qr";
        if (align & Qt::AlignJustify)
            return "\\qj";
        return {};
    }

    // A font of Japanese script is written as Shift-JIS (\fcharset128), any
    // other as Western (\fcharset0): by its name when that is Japanese, else
    // by what the installed font covers.
    int FamilyCharset(const QString &family)
    {
        const auto found = familyCharset_.constFind(family);
        if (found != familyCharset_.cend())
            return *found;
        const bool asciiName = std::all_of(family.cbegin(), family.cend(), [](QChar c) { return c.unicode() < 0x80; });
        const bool japanese = !asciiName || QFontDatabase::writingSystems(family).contains(QFontDatabase::Japanese);
        return familyCharset_[family] = japanese ? kCharsetShiftJis : kCharsetAnsi;
    }

    static int CodePageOf(int charset)
    {
        const int page = CharsetCodePage(charset);
        return page > 0 ? page : kCodePageShiftJis;
    }

    int FontIndex(const FontKey &key)
    {
        const auto found = fontIndex_.constFind(key);
        if (found != fontIndex_.cend())
            return *found;
        fonts_.append(key);
        return fontIndex_[key] = static_cast<int>(fonts_.size() - 1);
    }

    // Colour table entries count from 1: entry 0 is the text's own colour.
    int ColorIndex(const QColor &color)
    {
        const QRgb rgb = color.rgb();
        const auto found = colorIndex_.constFind(rgb);
        if (found != colorIndex_.cend())
            return *found;
        colors_.append(rgb);
        return colorIndex_[rgb] = static_cast<int>(colors_.size());
    }

    // Japanese text that the code page of its font cannot hold goes with the
    // font as Shift-JIS, as a rich edit control binds it to a Japanese font;
    // peers that read no \uN show it then too.
    bool NeedsShiftJis(const QString &text, int charset)
    {
        if (charset == kCharsetShiftJis)
            return false;
        const int page = CodePageOf(charset);
        return std::any_of(text.cbegin(), text.cend(), [&](QChar ch) {
            return ch.unicode() >= 0x80 && Pairs(ch, page).isEmpty() && !Pairs(ch, kCodePageShiftJis).isEmpty();
        });
    }

    RunFormat Format(const QTextCharFormat &cf, const QString &text)
    {
        RunFormat f;
        const QStringList families = cf.fontFamilies().toStringList();
        const QString family = families.isEmpty() || families.first().isEmpty() ? defaultFamily_ : families.first();
        // A charset the run was read with stays; a symbol charset never
        // comes back, as its text was read as the characters it shows.
        const int read = cf.hasProperty(kCharsetProperty) ? cf.intProperty(kCharsetProperty) : -1;
        const int charset = read >= 0 && read != kCharsetSymbol ? read : FamilyCharset(family);
        f.font = FontIndex({family, NeedsShiftJis(text, charset) ? kCharsetShiftJis : charset});
        f.halfPoints = HalfPoints(cf.fontPointSize(), cf.intProperty(QTextFormat::FontPixelSize), defaultHalfPoints_);
        if (cf.hasProperty(QTextFormat::ForegroundBrush) && cf.foreground().style() != Qt::NoBrush)
            f.color = ColorIndex(cf.foreground().color());
        f.bold = cf.fontWeight() >= QFont::DemiBold;
        f.italic = cf.fontItalic();
        f.underline = cf.fontUnderline();
        f.strike = cf.fontStrikeOut();
        return f;
    }

    static QByteArray FormatChange(RunFormat &current, const RunFormat &next)
    {
        QByteArray words;
        auto number = [&](const char *word, int from, int to) {
            if (from != to)
                words += QByteArray("\\") + word + QByteArray::number(to);
        };
        auto flag = [&](const char *word, const char *off, bool from, bool to) {
            if (from != to)
                words += QByteArray("\\") + (to ? word : off);
        };
        number("f", current.font, next.font);
        number("fs", current.halfPoints, next.halfPoints);
        number("cf", current.color, next.color);
        flag("b", "b0", current.bold, next.bold);
        flag("i", "i0", current.italic, next.italic);
        flag("ul", "ulnone", current.underline, next.underline);
        flag("strike", "strike0", current.strike, next.strike);
        current = next;
        return words.isEmpty() ? words : words + ' ';
    }

    // The bytes of one character in the font's code page as \'hh pairs, or
    // empty when the page cannot hold it exactly.
    QByteArray Pairs(QChar ch, int codePage)
    {
        const quint64 key = (static_cast<quint64>(codePage) << 16) | ch.unicode();
        const auto cached = pairs_.constFind(key);
        if (cached != pairs_.cend())
            return *cached;
        QByteArray pairs;
        for (char b : codePages_.Encode(codePage, ch))
            pairs += Hex(static_cast<unsigned char>(b));
        pairs_.insert(key, pairs);
        return pairs;
    }

    QByteArray EscapeText(const QString &text, int codePage)
    {
        QByteArray out;
        for (QChar ch : text) {
            const char16_t u = ch.unicode();
            if (u == '\\' || u == '{' || u == '}') {
                out += '\\';
                out += static_cast<char>(u);
            } else if (u == '\t') {
                out += "\\tab ";
            } else if (u == 0x2028 || u == 0x2029) {
                out += "\\line ";
            } else if (u < 0x20 || u == 0xFFFC) {
                // control characters and embedded objects have no text form
            } else if (u < 0x80) {
                out += static_cast<char>(u);
            } else {
                const QByteArray pairs = Pairs(ch, codePage);
                out += pairs.isEmpty() ? "\\u" + QByteArray::number(static_cast<qint16>(u)) + '?' : pairs;
            }
        }
        return out;
    }

    QByteArray Header()
    {
        QByteArray h = "{\\rtf1\\ansi\\ansicpg932\\deff0{\\fonttbl";
        for (qsizetype i = 0; i < fonts_.size(); ++i) {
            h += "{\\f" + QByteArray::number(i) + "\\fnil\\fcharset" + QByteArray::number(fonts_[i].charset) + ' ';
            h += EscapeFontName(fonts_[i].family, CodePageOf(fonts_[i].charset)) + ";}";
        }
        h += "}\r\n";
        if (!colors_.isEmpty()) {
            h += "{\\colortbl ;";
            for (QRgb rgb : colors_) {
                h += "\\red" + QByteArray::number(qRed(rgb)) + "\\green" + QByteArray::number(qGreen(rgb))
                    + "\\blue" + QByteArray::number(qBlue(rgb)) + ';';
            }
            h += "}\r\n";
        }
        return h;
    }

    // Every byte beyond ASCII goes as a \'hh pair: a trail byte of a
    // double-byte character may be "\\", "{" or "}". A font name holds no
    // braces, backslashes, ";" or characters its code page lacks.
    QByteArray EscapeFontName(const QString &name, int codePage)
    {
        QByteArray out;
        for (QChar ch : name) {
            const char16_t u = ch.unicode();
            if (u >= 0x80)
                out += Pairs(ch, codePage);
            else if (u >= 0x20 && u != '\\' && u != '{' && u != '}' && u != ';')
                out += static_cast<char>(u);
        }
        return out;
    }

    const QTextDocument &doc_;
    CodePages codePages_;
    QString defaultFamily_;
    int defaultHalfPoints_ = kDefaultHalfPoints;
    QList<FontKey> fonts_;
    QHash<FontKey, int> fontIndex_;
    QHash<QString, int> familyCharset_;
    QList<QRgb> colors_;
    QHash<QRgb, int> colorIndex_;
    QHash<quint64, QByteArray> pairs_;
};

} // namespace

bool ReadRtf(const QByteArray &rtf, QTextDocument &doc)
{
    if (!rtf.startsWith("{\\rtf"))
        return false;
    doc.clear();
    RtfReader(rtf, doc).Run();
    return true;
}

QByteArray WriteRtf(const QTextDocument &doc)
{
    return RtfWriter(doc).Write();
}

} // namespace plat
