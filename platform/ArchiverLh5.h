#pragma once
// The "-lh5-" method of LZH archives: LZ77 over an 8 KiB window with matches
// of 3 to 256 bytes, the literals, lengths and distances coded by Huffman
// tables sent ahead of each block.
#include <QByteArray>

namespace plat {

// The data compressed as a "-lh5-" entry holds it.
QByteArray CompressLh5(const QByteArray &data);

} // namespace plat
