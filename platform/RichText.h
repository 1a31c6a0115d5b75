#pragma once
// RTF as the rich edit control exchanges it with peers, read into and written
// from a QTextDocument (the model of QTextEdit).
#include <QByteArray>

class QTextDocument;

namespace plat {

// Replaces the contents of doc with the RTF in rtf and returns true. Returns
// false, leaving doc untouched, when the bytes do not start with "{\rtf".
// Malformed RTF (unbalanced braces, deep nesting, a huge \bin, stray or cut
// escapes) shows what can be shown; time and memory stay bounded by its size.
bool ReadRtf(const QByteArray &rtf, QTextDocument &doc);

// The document as RTF in CP932 (\ansicpg932, fonts with \fcharset128):
// fonts, colours, sizes, bold, italic, underline, strike and paragraph
// alignment. Characters CP932 cannot hold are written as \uN.
QByteArray WriteRtf(const QTextDocument &doc);

} // namespace plat
