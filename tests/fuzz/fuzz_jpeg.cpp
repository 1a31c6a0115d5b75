// JPEG pictures come from peers and may be anything. The system's libjpeg is
// not instrumented, so the fuzzer cannot steer through it; our own size check
// therefore also gets the first 8 bytes directly as a width and a height, and
// the whole input goes through the decoder for our error and limit handling.
#include "core/ScrollImage.h"

#include <QtEndian>

#include <cstdint>
#include <cstdlib>

namespace {

// A picture the decoder lets through must pass the size check again.
void CheckSize(long long width, long long height)
{
    QString reason;
    const bool allowed = PictureSizeAllowed(width, height, &reason);
    if (allowed == !reason.isEmpty())
        std::abort();
    if (allowed && (width < 1 || height < 1 || width > 30000 || height > 30000 || width * height > 100'000'000))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size >= 8)
        CheckSize(qFromLittleEndian<qint32>(data), qFromLittleEndian<qint32>(data + 4));
    QImage image;
    QString error;
    if (DecodeJpeg(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)), image, &error)) {
        if (image.isNull() || !PictureSizeAllowed(image.width(), image.height(), nullptr))
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }
    return 0;
}
