// RTF comes from peers and may be anything: reading never crashes, and what
// was read writes out and reads back to the same text.
#include "OffscreenApp.h"
#include "platform/RichText.h"

#include <QTextDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    EnsureOffscreenApp();
    QTextDocument first;
    if (!plat::ReadRtf(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)), first))
        return 0;
    QTextDocument second;
    if (!plat::ReadRtf(plat::WriteRtf(first), second) || second.toPlainText() != first.toPlainText())
        std::abort();
    return 0;
}
