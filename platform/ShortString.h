#pragma once
// Fixed-capacity strings with a leading length byte, as records and files hold
// them: capacity bytes of CP932 text after one length byte.
#include <QByteArray>
#include <QString>

namespace plat {

// Bytes of a short string of the given capacity (length byte + capacity bytes):
// the text is cut on a character boundary and the rest is filled with zeros.
QByteArray EncodeShortString(const QString &text, int capacity);
QByteArray EncodeShortBytes(const QByteArray &bytes, int capacity);

// Reads a short string of the given capacity from data (which must hold at
// least capacity + 1 bytes from offset). A length byte larger than the
// capacity is clamped to it.
QByteArray DecodeShortBytes(const char *data, int capacity);
QString DecodeShortString(const char *data, int capacity);

} // namespace plat
