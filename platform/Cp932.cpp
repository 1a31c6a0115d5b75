#include "platform/Cp932.h"

#include "platform/Iconv.h"

#include <mutex>

namespace plat {
namespace {

// iconv descriptors are not thread-safe: one pair, each under its own lock.
struct Converter {
    iconv_t cd;
    std::mutex lock;
    Converter(const char *to, const char *from) : cd(iconv_open(to, from)) {}
    ~Converter()
    {
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
};

Converter &encoder()
{
    static Converter c("CP932", "UTF-8");
    return c;
}

Converter &decoder()
{
    static Converter c("UTF-8", "CP932");
    return c;
}

// Runs the converter over input under its lock (IconvAll).
template <typename OnInvalid>
QByteArray convert(Converter &conv, const QByteArray &input, OnInvalid onInvalid)
{
    std::lock_guard guard(conv.lock);
    return IconvAll(conv.cd, input, onInvalid);
}

} // namespace

QByteArray ToCp932(const QString &text)
{
    return convert(encoder(), text.toUtf8(), [](const unsigned char *p, size_t left) {
        // Skip one whole UTF-8 character.
        size_t len = 1;
        if (p[0] >= 0xF0)
            len = 4;
        else if (p[0] >= 0xE0)
            len = 3;
        else if (p[0] >= 0xC0)
            len = 2;
        return std::pair<QByteArray, size_t>(QByteArray("?"), std::min(len, left));
    });
}

bool FitsCp932(const QString &text)
{
    return FromCp932(ToCp932(text)) == text;
}

QString FromCp932(const QByteArray &bytes)
{
    QByteArray utf8 = convert(decoder(), bytes, [](const unsigned char *p, size_t left) {
        size_t skip = (IsCp932LeadByte(p[0]) && left >= 2 && p[1] >= 0x40) ? 2 : 1;
        return std::pair<QByteArray, size_t>(QByteArray("\xEF\xBF\xBD"), skip);
    });
    return QString::fromUtf8(utf8);
}

QByteArray CutCp932(const QByteArray &bytes, int maxBytes)
{
    if (maxBytes <= 0)
        return {};
    if (bytes.size() <= maxBytes)
        return bytes;
    int i = 0;
    while (i < maxBytes) {
        int step = IsCp932LeadByte(static_cast<unsigned char>(bytes[i])) ? 2 : 1;
        if (i + step > maxBytes)
            break;
        i += step;
    }
    return bytes.left(i);
}

QString CutText(const QByteArray &bytes, int maxBytes)
{
    return FromCp932(CutCp932(bytes, maxBytes));
}

QString CutText(const QString &text, int maxBytes)
{
    return CutText(ToCp932(text), maxBytes);
}

} // namespace plat
