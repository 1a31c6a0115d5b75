// Texts from peers and files are CP932 bytes of any kind: decoding never
// crashes, and cutting never leaves half a character.
#include "platform/Cp932.h"
#include "platform/ShortString.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString text = plat::FromCp932(bytes);
    const QByteArray encoded = plat::ToCp932(text);
    for (int limit : {0, 1, 2, 7, 80, 255}) {
        const QByteArray cut = plat::CutCp932(encoded, limit);
        if (cut.size() > limit || plat::ToCp932(plat::FromCp932(cut)) != cut)
            std::abort();
    }
    if (size > 0) {
        const QByteArray record = plat::EncodeShortBytes(bytes, data[0]);
        (void)plat::DecodeShortString(record.constData(), data[0]);
    }
    return 0;
}
