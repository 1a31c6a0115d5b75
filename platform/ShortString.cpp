#include "platform/ShortString.h"

#include "platform/Cp932.h"

#include <algorithm>

namespace plat {

QByteArray EncodeShortBytes(const QByteArray &bytes, int capacity)
{
    capacity = std::clamp(capacity, 0, 255);
    QByteArray text = CutCp932(bytes, capacity);
    QByteArray out(capacity + 1, '\0');
    out[0] = static_cast<char>(text.size());
    std::copy(text.begin(), text.end(), out.begin() + 1);
    return out;
}

QByteArray EncodeShortString(const QString &text, int capacity)
{
    return EncodeShortBytes(ToCp932(text), capacity);
}

QByteArray DecodeShortBytes(const char *data, int capacity)
{
    int length = std::min<int>(static_cast<unsigned char>(data[0]), capacity);
    return QByteArray(data + 1, length);
}

QString DecodeShortString(const char *data, int capacity)
{
    return FromCp932(DecodeShortBytes(data, capacity));
}

} // namespace plat
