#include "platform/RichText.h"

#include "platform/Cp932.h"

#include <QColor>
#include <QHash>
#include <QList>
#include <QMap>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

namespace plat {

namespace {

// ---------------------------------------------------------------- reading

// Groups nested deeper than this are read as if flat, so a hostile nesting
// costs neither stack nor memory.
constexpr int kMaxGroupDepth = 256;
constexpr int kDefaultHalfPoints = 24;
constexpr int kCharsetAnsi = 0;
constexpr int kCharsetShiftJis = 128;

enum class Destination { Text, FontTable, ColorTable, Skip };

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
    int unicodeSkip = 1;
    Qt::Alignment align = Qt::AlignLeft;

    void resetCharacter()
    {
        font = -1;
        halfPoints = kDefaultHalfPoints;
        color = 0;
        bold = italic = underline = strike = false;
    }
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
        if (!parPending_)
            ApplyAlignment();
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

    void TextWord(const ControlWord &w)
    {
        GroupState &s = State();
        const bool on = !w.hasParam || w.param != 0;
        const QByteArray &k = w.word;
        if (k == "fonttbl")
            s.dest = Destination::FontTable;
        else if (k == "colortbl")
            s.dest = Destination::ColorTable;
        else if (k == "ansicpg")
            codePage_ = w.param;
        else if (k == "deff")
            defaultFont_ = w.param;
        else if (k == "f")
            s.font = w.param;
        else if (k == "fs")
            s.halfPoints = w.param > 0 ? std::clamp(w.param, 2, 3276) : kDefaultHalfPoints;
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
        Character(static_cast<char16_t>(n < 0 ? n + 65536 : n));
        unicodeSkipLeft_ = State().unicodeSkip;
    }

    // One character of text; control characters and paragraph marks that did
    // not come as \par never split the document's paragraphs.
    void Character(char16_t ch)
    {
        if (stack_.empty() || State().dest != Destination::Text)
            return;
        if (ch == 0x2029)
            ch = 0x2028;
        // U+FFFC and U+FDD0/U+FDD1 mark objects and frames inside a document.
        if ((ch < 0x20 && ch != u'\t') || ch == 0xFFFC || ch == 0xFDD0 || ch == 0xFDD1)
            return;
        FlushBytes();
        text_.append(QChar(ch));
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
        bytes_.append(c);
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

    int FontNumber() const { return stack_.back().font >= 0 ? stack_.back().font : defaultFont_; }

    // Text bytes follow the charset of their font; a font without one follows
    // the document's code page, which for this system's peers is CP932.
    QString Decode(const QByteArray &bytes) const
    {
        const auto font = fonts_.constFind(FontNumber());
        const int charset = font == fonts_.cend() ? -1 : font->charset;
        const bool shiftJis = charset == kCharsetShiftJis
            || (charset != kCharsetAnsi && (codePage_ == 932 || codePage_ < 0));
        return shiftJis ? FromCp932(bytes) : QString::fromLatin1(bytes);
    }

    void FlushBytes()
    {
        if (bytes_.isEmpty())
            return;
        text_ += Decode(bytes_);
        bytes_.clear();
    }

    QTextCharFormat CharFormat() const
    {
        const GroupState &s = stack_.back();
        QTextCharFormat format;
        const auto font = fonts_.constFind(FontNumber());
        if (font != fonts_.cend() && !font->name.isEmpty())
            format.setFontFamilies({FromCp932(font->name)});
        format.setFontPointSize(s.halfPoints / 2.0);
        format.setFontWeight(s.bold ? QFont::Bold : QFont::Normal);
        format.setFontItalic(s.italic);
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
        ApplyAlignment();
        parPending_ = true;
    }

    void ApplyAlignment()
    {
        if (stack_.empty())
            return;
        QTextBlockFormat format = cursor_.blockFormat();
        format.setAlignment(State().align);
        cursor_.setBlockFormat(format);
    }

    const QByteArray &in_;
    QTextCursor cursor_;
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

QByteArray Hex(unsigned char b)
{
    static const char digits[] = "0123456789abcdef";
    return QByteArray("\\'") + digits[b >> 4] + digits[b & 15];
}

class RtfWriter
{
public:
    explicit RtfWriter(const QTextDocument &doc) : doc_(doc)
    {
        defaultFamily_ = doc.defaultFont().family();
        const qreal points = doc.defaultFont().pointSizeF();
        defaultHalfPoints_ = points > 0 ? qRound(points * 2) : kDefaultHalfPoints;
        FontIndex(defaultFamily_);
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
                body += FormatChange(current, Format(fragment.charFormat()));
                body += EscapeText(fragment.text());
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

    int FontIndex(const QString &family)
    {
        const auto found = fontIndex_.constFind(family);
        if (found != fontIndex_.cend())
            return *found;
        fonts_.append(family);
        return fontIndex_[family] = static_cast<int>(fonts_.size() - 1);
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

    RunFormat Format(const QTextCharFormat &cf)
    {
        RunFormat f;
        const QStringList families = cf.fontFamilies().toStringList();
        f.font = FontIndex(families.isEmpty() || families.first().isEmpty() ? defaultFamily_ : families.first());
        const qreal points = cf.fontPointSize();
        f.halfPoints = points > 0 ? std::clamp(qRound(points * 2), 2, 3276) : defaultHalfPoints_;
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

    // CP932 bytes of one character as \'hh pairs, or empty when CP932 cannot
    // hold it exactly.
    QByteArray Cp932Pairs(QChar ch)
    {
        const auto cached = cp932_.constFind(ch.unicode());
        if (cached != cp932_.cend())
            return *cached;
        QByteArray pairs;
        if (!ch.isSurrogate()) {
            const QByteArray bytes = ToCp932(QString(ch));
            if (FromCp932(bytes) == QString(ch)) {
                for (char b : bytes)
                    pairs += Hex(static_cast<unsigned char>(b));
            }
        }
        cp932_.insert(ch.unicode(), pairs);
        return pairs;
    }

    QByteArray EscapeText(const QString &text)
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
                const QByteArray pairs = Cp932Pairs(ch);
                out += pairs.isEmpty() ? "\\u" + QByteArray::number(static_cast<qint16>(u)) + '?' : pairs;
            }
        }
        return out;
    }

    QByteArray Header()
    {
        QByteArray h = "{\\rtf1\\ansi\\ansicpg932\\deff0{\\fonttbl";
        for (qsizetype i = 0; i < fonts_.size(); ++i) {
            h += "{\\f" + QByteArray::number(i) + "\\fnil\\fcharset128 ";
            h += EscapeFontName(fonts_[i]) + ";}";
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

    // Both bytes of a double-byte character go as \'hh pairs: a trail byte
    // may be "\\", "{" or "}".
    static QByteArray EscapeFontName(const QString &name)
    {
        const QByteArray bytes = ToCp932(name);
        QByteArray out;
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            const auto u = static_cast<unsigned char>(bytes[i]);
            if (IsCp932LeadByte(u) && i + 1 < bytes.size()) {
                out += Hex(u) + Hex(static_cast<unsigned char>(bytes[++i]));
            } else if (u >= 0x80) {
                out += Hex(u);
            } else if (u >= 0x20 && u != '\\' && u != '{' && u != '}' && u != ';') {
                out += static_cast<char>(u); // a font name cannot hold the others
            }
        }
        return out;
    }

    const QTextDocument &doc_;
    QString defaultFamily_;
    int defaultHalfPoints_ = kDefaultHalfPoints;
    QStringList fonts_;
    QHash<QString, int> fontIndex_;
    QList<QRgb> colors_;
    QHash<QRgb, int> colorIndex_;
    QHash<char16_t, QByteArray> cp932_;
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
