#pragma once
// The local store of the On-Line Community client: one folder per OLC server
// with the board table, per board a message index and a body file, the link
// store shared by the server's boards, and the temporaries of compaction.
//
// What the store promises: records are exact byte images (little-endian,
// packed, short strings clamped on reading); a name that came from a server
// (board key, file name, link key) becomes a path only when it is a safe base
// name, and every path stays inside its server folder, so a hostile server can
// never make the client write elsewhere; the board table is rewritten through
// a temporary file renamed over the old one, so a failed save keeps the old
// table. These functions hold no window state: the client, reader, poster and
// log windows share them, all on the GUI thread.
#include "core/MessageRecord.h"
#include "platform/RecordFile.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

// One board of the board table (240 bytes). Record 0 of the table is the
// header: BoardKey holds the date the table was written (cut to 8 bytes) and
// BoardName the program's version text.
struct BoardRecord {
    static constexpr int Size = 240;

    QString BoardKey;           // names the board's files
    QString BoardName;
    QByteArray BoardPassword;   // upper-cased, in its ConvertPassword form; empty when none
    std::uint8_t ReadOnly = 0;
    std::int32_t ReadPtr = 0;   // the last message the user has read
    std::int32_t MsgNum = 0;
    std::int32_t TopMsg = 0;    // the oldest message still on the server
    std::uint8_t Level = 0;     // depth in the board tree
    std::uint8_t TextPriority = 0;
    std::uint8_t HasPassword = 0;
    QString ParentKey;
    std::int32_t BoardNumber = 0; // what ENTER and REENT send
    std::int32_t TopBias = 0;
    double LastPost = 0;        // days since 1899-12-30; 0 when unknown
    // The reserved bytes (128-131, 136-143, 152-239) as they were read, so a
    // record read and written again keeps all 240 bytes.
    QByteArray Reserved;

    QByteArray encode() const;
    // A shorter buffer is read as if zero-filled.
    static BoardRecord decode(const QByteArray &bytes);

    bool operator==(const BoardRecord &) const = default;
};

namespace BoardRecordOffset {
constexpr int BoardKey = 0, BoardName = 9, BoardPassword = 90, ReadOnly = 99, ReadPtr = 100, MsgNum = 104,
              TopMsg = 108, Level = 112, TextPriority = 113, HasPassword = 114, ParentKey = 115,
              BoardNumber = 124, TopBias = 132, LastPost = 144;
}

namespace BoardRecordCapacity {
constexpr int BoardKey = 8, BoardName = 80, BoardPassword = 8, ParentKey = 8;
}

namespace olc {

// The board table has room for the header and 50 boards.
constexpr int MaxBoards = 50;
// A board's title slots: slot k holds the message TopMsg - 1 + k.
constexpr int MaxSlot = 2000;

// The header record of a board table written now.
BoardRecord MakeBoardHeader();

// The file names of one server's store. Every function returns an empty text
// when a name in it is unsafe; callers treat that as "no such file".
class ServerFolder {
public:
    // The folder of the OLC server olcName below OlcClientDirectory.
    explicit ServerFolder(const QString &olcName);

    bool valid() const { return !folder_.isEmpty(); }
    const QString &olcName() const { return olcName_; }
    // The folder, ending in "/".
    const QString &path() const { return folder_; }

    // True when key can name a board's files: a safe base name that does not
    // take the name of the server's other files (the board table, the link
    // store, the compaction temporaries).
    bool usableBoardKey(const QString &key) const;

    QString boardTable() const;                         // <OLC>.dat
    QString boardIndex(const QString &key) const;       // <BoardKey>.dat
    QString boardFolder(const QString &key) const;      // <BoardKey>/
    QString boardText(const QString &key) const;        // <BoardKey>/<BoardKey>.txt
    QString flatLog(const QString &key) const;          // <BoardKey>/<BoardKey>.log
    // <BoardKey>/NNNNN_<FileName>
    QString attachment(const QString &key, qint64 number, const QString &fileName) const;
    QString linkIndex() const;                          // OlcLink.dat
    QString linkFolder() const;                         // OlcLink/
    QString linkText() const;                           // OlcLink/OlcLink.txt
    // OlcLink/<LinkKey>_<NNNNN>_<DDD>_<FileName>
    QString linkAttachment(const QString &linkKey, qint64 number, int depth, const QString &fileName) const;
    QString workIndex() const;                          // Work$$$$.dat
    QString workText() const;                           // Work$$$$.txt
    // The intent file of a rewrite of the store's files (plat::PairReplace).
    QString workIntent() const;                         // Work$$$$.job

private:
    QString inside(const QString &relative) const;

    QString olcName_;
    QString folder_;
};

// Reads every record of the board table (the header first), at most the
// header and MaxBoards boards. A missing table reads as no records and is no
// error; false with error set when the file cannot be read.
bool LoadBoardTable(const QString &path, std::vector<BoardRecord> &records, QString *error = nullptr);

// Writes boards[1..] as records 1..n of the existing table and cuts the file
// after them; record 0 stays as it is in the file (boards[0] is not used).
bool SaveBoardTable(const QString &path, const std::vector<BoardRecord> &boards, QString *error = nullptr);

// Writes the whole table anew (records[0] is the header), creating the server
// folder when it is missing, then makes sure every board's folder exists.
bool WriteBoardTable(const ServerFolder &server, const std::vector<BoardRecord> &records,
                     QString *error = nullptr);

// Makes a board's index and body file ready: a rewrite of the store that a
// kill cut short is finished first; a missing index is created with its
// header record (FileName = the board's name), a missing body file is
// created empty (with its board folder).
bool PrepareBoardFiles(const ServerFolder &server, const BoardRecord &board, QString *error = nullptr);

// Makes the link store ready (after finishing a rewrite as above): the link
// folder, the link index with its header record (FileName "Link Access
// Data") and an empty OlcLink.txt, each created only when it is missing.
bool PrepareLinkStore(const ServerFolder &server, QString *error = nullptr);

// The index record of message number: the record at hint when it holds that
// number (the usual case), else the one found by a search of the whole
// index. 0 when no record holds it.
qint64 FindRecordOfNumber(const plat::RecordFile &index, qint64 number, qint64 hint);

// Records where a downloaded body lies: writes Start and Bytes of record
// index, and nothing else of it, once the record still holds message number
// (an index rewritten meanwhile keeps its records). False when it does not
// or the file cannot be written.
bool StoreBodyPlace(plat::RecordFile &index, qint64 record, qint64 number, std::int32_t start, std::int32_t bytes);

// The map from message number to index record of one board.
struct TitleSlots {
    std::array<std::int32_t, MaxSlot + 1> Slot{}; // index record of TopMsg - 1 + k; 0 = none
    std::int32_t NextRecord = 1;                  // records in the index, header included
    std::int32_t LastSlot = 0;                    // highest k in use

    // The slot of a message number, -1 when it lies outside 1..MaxSlot.
    static int SlotOf(qint64 number, qint64 topMsg);

    // Builds the map from records 1.. of the index.
    bool load(const plat::RecordFile &index, qint64 topMsg);
    // Writes the record of a message into the index: over its record when its
    // slot is in use, else inserted in number order (records after it move one
    // place on, their slots follow). k must come from SlotOf.
    bool store(plat::RecordFile &index, int k, const MessageRecord &record);
};

} // namespace olc
