#pragma once
// The one codec between the GUI's QString and the CP932 (Windows Shift-JIS)
// bytes that every file, record and network text of the system holds.
#include <QByteArray>
#include <QString>

namespace plat {

// QString -> CP932 bytes. A character that CP932 cannot hold becomes "?".
QByteArray ToCp932(const QString &text);

// True when CP932 holds every character of text: it comes back unchanged
// from CP932, so a name or a setting written in CP932 is the one the user gave.
bool FitsCp932(const QString &text);

// CP932 bytes -> QString. An invalid byte sequence shows as U+FFFD and never fails.
QString FromCp932(const QByteArray &bytes);

// True for a byte that starts a double-byte CP932 character.
constexpr bool IsCp932LeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Cuts CP932 bytes to at most maxBytes without leaving half a character.
QByteArray CutCp932(const QByteArray &bytes, int maxBytes);

// Text as a field of maxBytes CP932 bytes holds it: cut on a character
// boundary. From CP932 bytes, or from text.
QString CutText(const QByteArray &bytes, int maxBytes);
QString CutText(const QString &text, int maxBytes);

} // namespace plat
