#pragma once
// For fuzz targets and tests only, never set by the programs: with SkipSyncs
// set, SyncFile (and so every flush of the data files) returns at once, so a
// target that stores thousands of inputs a second does not wait for the disk.
// What was written is the same; only its durability across a machine crash
// is given up.
#include <atomic>

namespace plat::testing {

extern std::atomic<bool> SkipSyncs;

} // namespace plat::testing
