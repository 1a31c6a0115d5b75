// JPEG pictures come from peers and may be anything: decoding never crashes,
// never exits, and a picture that decodes has the sides the limits allow.
#include "core/ScrollImage.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QImage image;
    QString error;
    if (DecodeJpeg(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)), image, &error)) {
        if (image.isNull() || image.width() > 30000 || image.height() > 30000)
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }
    return 0;
}
