// Registry files and imported key files are text a user (or anything) may
// have written: parsing never crashes, and what parsed survives a write and a
// second read unchanged.
#include "platform/Registry.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const plat::Regedit4Import first =
        plat::ParseRegedit4(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    const QByteArray written = plat::ExportRegedit4(first.currentUser, QStringLiteral("HKEY_CURRENT_USER"));
    const plat::Regedit4Import second = plat::ParseRegedit4(written);
    if (!second.problems.isEmpty() || !(second.currentUser == first.currentUser))
        std::abort();
    return 0;
}
