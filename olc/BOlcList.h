#pragma once
// The board list and the title lists of the OLC client: the wire steps of the
// BOARD, ENTER, TITLE and REENT exchanges, and what the client keeps per board
// while it is logged on. No widgets here: the client window (olc/BOlcCli.h)
// shows what these functions leave in the records and the index.
//
// Everything a server sends is bounded before it is used: at most 50 boards
// are kept (the rest are read and dropped), boards whose key could not name
// their files are dropped, titles whose number has no slot are read and
// skipped, so the stream stays in step; counts below 0 count as 0, dates that
// do not parse are 0, and pointer arithmetic cannot overflow.
#include "olc/OlcStore.h"
#include "platform/WinSock.h"

#include <QString>

#include <cstdint>
#include <vector>

// What the client keeps per board it has opened within a logon.
struct BoardTitleCache {
    std::uint8_t ReaderCount = 0;    // open reader windows of this board
    std::uint8_t PosterCount = 0;    // open post windows of this board
    std::int32_t SelectedNumber = 0; // the title last selected in the list
    std::int32_t OpenedNumber = 0;   // the title last opened (reply target of a post)
    std::int32_t ListPtr = 0;        // read pointer in force for this listing
    std::int32_t FirstWanted = 0;    // what ENTER asks for: ListPtr - TopBias, at least TopMsg - 1
    std::int32_t LastListed = 0;     // ListPtr + titles listed since
    olc::TitleSlots Slots;
    std::int32_t TopMsg = 0;         // the board's TopMsg when the slots were built
    bool AtEnd = false;              // the last title is selected: Read asks for more
    bool Entered = false;            // the last ENTER was accepted
    std::int32_t RowCount = 0;       // title rows of the list
    std::int32_t SelectedRow = 0;
};

namespace olc {

// The server's "deleted" title; an empty title arrives as this.
inline constexpr char DeletedTitle[] = "<<Deleted>>";

// Receives the board list after "BOARD\r" and merges it with saved (the
// table as read from the file, header first): a known key keeps its whole
// saved record under the fields the server reports, a new key starts
// zero-filled, and the read pointer never goes back (at most the newest 100
// messages count as unread). live becomes the header plus the boards kept.
// False when a receive failed; live is then unchanged.
bool ReceiveBoardList(plat::SOCKET s, int serverVersion, const ServerFolder &server,
                      const std::vector<BoardRecord> &saved, std::vector<BoardRecord> &live);

// The read pointer after a board list: at least TopMsg - 1, and at least
// TopMsg - 1 + MsgNum - 100 when the board holds more than 100 messages.
std::int32_t RaisedReadPtr(std::int32_t readPtr, std::int32_t msgNum, std::int32_t topMsg);

// The ListPtr, FirstWanted and LastListed of a board opened now.
void StartListing(BoardTitleCache &cache, const BoardRecord &board);

// Receives a title list (after ENTER's "ACK" or TITLE) into the board's index:
// a number already there keeps its record's Start, Erased and link fields,
// a new one is inserted in number order with Start -1. received is the
// number of titles stored. False when a receive or an index write failed.
bool ReceiveTitles(plat::SOCKET s, plat::RecordFile &index, TitleSlots &titleSlots, std::int32_t topMsg,
                   std::int32_t &received);

// How many titles of a listing count as new: after ENTER (firstEntry) the
// titles before the read pointer do not. Never below 0.
std::int32_t NewTitleCount(const BoardTitleCache &cache, std::int32_t received, bool firstEntry);

// The stored titles of the numbers first .. first + count - 1 in number order
// (those the index holds), read from the index.
std::vector<MessageRecord> ReadTitles(const plat::RecordFile &index, const TitleSlots &titleSlots, std::int32_t topMsg,
                                      qint64 first, qint64 count);

// The index record of a number; 0 when the index does not hold it.
std::int32_t RecordOfNumber(const TitleSlots &titleSlots, std::int32_t topMsg, qint64 number);

// One node of the reply tree of a title.
struct ReplyNode {
    MessageRecord Record;
    int Parent = -1; // index into the tree's nodes; -1 for the root
};
// The reply tree around the title number: climbs to the oldest ancestor the
// index holds (each parent older than its child and not before topMsg, so a
// cycle ends the climb), then adds every later title that answers a node.
// selected is the node of the title itself (-1 when it is not stored).
std::vector<ReplyNode> BuildReplyTree(const plat::RecordFile &index, const TitleSlots &titleSlots, std::int32_t topMsg,
                                      std::int32_t number, int &selected);

// Where each board of the board tree goes (boards[0] is the header), in the
// order the nodes are added: level by level, under the board of its
// ParentKey; a board whose parent is not placed before it goes to the top.
struct BoardPlace {
    int Board = 0;
    int Parent = 0; // a board index; 0 = top level
};
std::vector<BoardPlace> PlaceBoards(const std::vector<BoardRecord> &boards);

} // namespace olc
