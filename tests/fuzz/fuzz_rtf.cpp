// RTF comes from peers and may be anything: reading never crashes, and what
// was read writes out and reads back to the same text.
#include "platform/RichText.h"

#include <QGuiApplication>
#include <QTextDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Fonts in a text document need a GUI application; offscreen needs no display.
    static int argc = 1;
    static char name[] = "fuzz_rtf";
    static char *argv[] = {name, nullptr};
    static QGuiApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    (void)app;

    QTextDocument first;
    if (!plat::ReadRtf(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)), first))
        return 0;
    QTextDocument second;
    if (!plat::ReadRtf(plat::WriteRtf(first), second) || second.toPlainText() != first.toPlainText())
        std::abort();
    return 0;
}
