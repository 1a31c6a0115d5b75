// Archives arrive from peers as bytes of any kind: listing, testing and
// reading them never crash, an entry read to memory never overruns its
// buffer, and the LZH scanner that rewriting relies on stays within the bytes.
// The same bytes as the content of an LZH entry we write read back unchanged.
#include "platform/ArchiverLzh.h"
#include "platform/ArchiverReader.h"

#include <clocale>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The programs run in a UTF-8 locale (Qt sees to it); LZH names are
    // converted into it.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const plat::ArchiveSource source{{}, QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size))};
    for (const plat::ArchiveFormat format : {plat::ArchiveFormat::Lzh, plat::ArchiveFormat::Zip}) {
        std::vector<plat::ArchiveEntry> entries;
        if (plat::ListArchive(source, format, entries) == plat::ArchiverOk) {
            for (const plat::ArchiveEntry &entry : entries)
                (void)plat::IsSafeEntryName(entry.name);
        }
        (void)plat::TestArchive(source, format);
        unsigned char buffer[64];
        std::uint32_t written = 0;
        (void)plat::ExtractEntryToMemory(source, format, {}, buffer, sizeof buffer, &written);
        if (written > sizeof buffer)
            std::abort();
    }
    int readBack = 0;
    const plat::ArchiveSource written{{}, plat::LzhEntry("f", source.bytes, 0) + plat::LzhEndMark};
    const int read = plat::ReadArchiveEntries(written, plat::ArchiveFormat::Lzh,
                                              [&](const plat::ArchiveEntry &, const QByteArray &content) {
                                                  ++readBack;
                                                  return content == source.bytes ? 0 : 1;
                                              });
    if (read != plat::ArchiverOk || readBack != 1)
        std::abort();

    std::vector<plat::LzhRawEntry> raw;
    if (plat::ScanLzh(source.bytes, raw)) {
        for (const plat::LzhRawEntry &entry : raw) {
            if (entry.offset < 0 || entry.length <= 0 || entry.offset + entry.length > source.bytes.size())
                std::abort();
        }
    }
    return 0;
}
