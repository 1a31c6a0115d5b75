#pragma once
// What the built-in archiver libraries answer besides 0 (success): their
// error codes, the entry-information record that FindFirst/FindNext fill and
// the extracting-information record a progress report points to.
#include <cstdint>

namespace plat {

// Return codes of the command, ExtractMem and FindFirst/FindNext entries.
enum ArchiverResult : int {
    ArchiverOk = 0,
    ArchiverNoMoreEntries = -1,    // FindFirst/FindNext: nothing (more) matches
    ArchiverErrorCommand = 0x8002, // command line not understood (verb, switch, missing archive name,
                                   // a delete that names no entry)
    ArchiverErrorNoFile = 0x8003,  // archive or response file cannot be read, or nothing to pack
    ArchiverErrorFormat = 0x8004,  // not an archive of the library's kind, damaged or truncated
    ArchiverErrorUnsafe = 0x8005,  // an entry would leave the folder, or is a link or device
    ArchiverErrorTooLarge = 0x8006, // over the entry count or total size limit
    ArchiverErrorWrite = 0x8007,   // output cannot be written
    ArchiverErrorAborted = 0x8008, // the owner window asked to stop
    ArchiverErrorNoMatch = 0x8009, // no entry matches the names given
    ArchiverErrorBuffer = 0x800A,  // ExtractMem: the entry does not fit the buffer (the buffer holds its start)
    ArchiverErrorHandle = 0x800B,  // not an archive handle from OpenArchive
    ArchiverErrorName = 0x800C,    // a file to pack has a name that CP932 cannot hold
};

// Limits for one archive; beyond them it is refused whole.
inline constexpr int ArchiverMaxEntries = 10000;
inline constexpr std::int64_t ArchiverMaxTotalSize = std::int64_t(512) * 1024 * 1024;

inline constexpr int ArchiverNameSize = 513;

// One entry of an opened archive, filled by FindFirst/FindNext.
struct ArchiverEntryInfo {
    std::uint32_t originalSize;   // bytes once extracted (0xFFFFFFFF when larger)
    std::uint16_t date;           // modification date and time, in local DOS form:
    std::uint16_t time;           //   date = (year-1980)<<9 | month<<5 | day, time = hour<<11 | minute<<5 | second/2
    char attribute[8];            // "d" for a folder, "-" for a file, "l" link, "c" other kinds; NUL-terminated
    char fileName[ArchiverNameSize]; // the name as stored (CP932 bytes, "/" between folders), NUL-terminated
};

// Progress states (the wParam of "wm_arcextract", the state of a callback).
enum ArchiverProgressState : unsigned {
    ArchiverExtractBegin = 0,  // an entry starts
    ArchiverExtractInProcess = 1, // a piece of it was written
    ArchiverExtractEnd = 2,    // the whole command is done
};

// What a progress report points to (the lParam of "wm_arcextract", the
// extractingInfo of a callback); valid during the report only. A window
// registered without a callback gets reports only while the extraction runs
// on its thread (a posted report would point to memory gone by then).
struct ArchiverExtractingInfo {
    std::uint32_t fileSize;  // the entry's size
    std::uint32_t writeSize; // bytes of it written so far
    char sourceFileName[ArchiverNameSize]; // the entry's name as stored (CP932)
    char destFileName[1024];               // where it goes (UTF-8 path); empty for ExtractMem
};

} // namespace plat
