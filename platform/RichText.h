#pragma once
// RTF as the rich edit control exchanges it with peers, read into and written
// from a QTextDocument (the model of QTextEdit).
#include <QByteArray>

class QTextDocument;

namespace plat {

// Replaces the contents of doc with the RTF in rtf and returns true. Returns
// false, leaving doc untouched, when the bytes do not start with "{\rtf".
// Text bytes are decoded by the charset of their font (\ansicpg for a font
// without one), Symbol fonts as the characters they show; table cells read
// as tab-separated text, rows as paragraphs.
// Malformed RTF (unbalanced braces, deep nesting, a huge \bin, stray or cut
// escapes) shows what can be shown; time and memory stay bounded by its size.
bool ReadRtf(const QByteArray &rtf, QTextDocument &doc);

// The document as RTF with \ansicpg932: fonts (Japanese ones \fcharset128,
// others \fcharset0), colours, sizes in points, bold, italic, underline,
// strike and paragraph alignment. Text goes in the code page of its font;
// characters that page cannot hold are written as \uN.
QByteArray WriteRtf(const QTextDocument &doc);

} // namespace plat
