// Metafiles come from peers and may be anything: every input goes to both
// metafile decoders (each refuses the other's kind in its record walk), which
// never crash, refuse with a reason, and draw only pictures of allowed size.
#include "OffscreenApp.h"
#include "core/ScrollImage.h"

#include <cstdint>
#include <cstdlib>

namespace {

void Decode(bool (*decode)(const QByteArray &, QImage &, QString *), const QByteArray &bytes)
{
    QImage image;
    QString error;
    if (decode(bytes, image, &error)) {
        if (image.isNull() || !PictureSizeAllowed(image.width(), image.height(), nullptr))
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    EnsureOffscreenApp();
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    Decode(DecodeWmf, bytes);
    Decode(DecodeEmf, bytes);
    return 0;
}
