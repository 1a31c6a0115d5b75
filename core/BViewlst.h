#pragma once
// The viewer table: which application opens a file, by its extension.
#include <QString>

#include <array>
#include <cstdint>

enum ViewerState : std::uint8_t {
    ViewerLoaded = 0,
    ViewerChanged = 1,
    ViewerAdded = 2,
    ViewerDeleted = 3,
    ViewerAddedDeleted = 4,
};

struct ViewerEntry {
    QString Extension;   // lower case, without the dot
    QString Application; // full path; empty for a deleted entry
    std::uint8_t State = ViewerLoaded;
};

// Entry 0 stands for the grid's title row; at most 30 viewers fit.
constexpr int ViewerTableSize = 31;
extern std::array<ViewerEntry, ViewerTableSize> ViewerTable;
extern int ViewerCount; // entries in use, entry 0 included

// Empties the table (ViewerCount 1).
void ClearViewerTable();

// Fills the table with the default viewers of this machine for the first start
// and returns their comma list of extensions.
QString CreateDefaultViewers();
