#pragma once
// Maintenance of one OLC server's local store, run from the OLC log window:
// compaction of a board (bodies and attachment files of erase-marked
// messages go, the messages stay listed as not downloaded), compaction of
// the link store (link records that are deleted, erase-marked, unreachable
// or inconsistent go, the rest are renumbered and orphan attachment files
// deleted) and the flat log (messages older than the server's oldest kept
// one are appended as text to the board's .log file and leave the board).
//
// Every command reads the files it rewrites, writes their new contents to
// work files in the server folder and replaces the old ones by them all or
// nothing, also across a kill (plat::PairReplace, its intent file
// ServerFolder::workIntent; the store's opens and start-up finish what a
// kill left). On any failure the store is left byte-identical and no work
// file remains; false comes back with the reason.
#include "olc/OlcStore.h"

#include <QHash>
#include <QString>

// The folders that open client and reader windows work on. Maintenance
// refuses to run on a server folder while a window of it is open: those
// windows write the same files. A window calls OlcServerFolderOpened with its
// server folder when it starts using the store and OlcServerFolderClosed once
// when it closes; opening twice needs closing twice. GUI thread.
void OlcServerFolderOpened(const QString &serverFolder);
void OlcServerFolderClosed(const QString &serverFolder);
bool OlcServerFolderInUse(const QString &serverFolder);
// The open server folders (cleaned absolute paths) and how often each is open.
extern QHash<QString, int> OlcOpenServerFolders;

// A board of the store as the maintenance commands need it.
struct OlcMaintenanceBoard {
    olc::ServerFolder server{QString()};
    QString key;          // its BoardKey
    QString name;         // its BoardName (header of a new index)
    qint32 topMsg = 0;    // its TopMsg: the oldest message the server keeps
};

// The board commands refuse a board whose key the store cannot use as a
// board's own file names (olc::ServerFolder::usableBoardKey).

// Board compaction: every erase-marked message loses its mark and its body
// (Start -1) and a file message its attachment file; the other bodies are
// packed in record order.
bool CompactOlcBoard(const OlcMaintenanceBoard &board, QString *error);

// The messages of the board older than topMsg (0 for an empty board).
qint32 OlcFlatLogCount(const OlcMaintenanceBoard &board);
// Appends the messages older than topMsg to the board's flat log, removes
// them with their attachment files from the board and gives the index a new
// header. True with nothing changed when no message is older.
bool FlatLogOlcBoard(const OlcMaintenanceBoard &board, QString *error);

// Link store compaction. True with nothing changed when the server has no
// link folder.
bool CompactOlcLinks(const olc::ServerFolder &server, QString *error);

// At start-up: finishes, in every server folder of the OLC client folder, a
// command that a kill cut short, and removes its work files. What stays
// pending is written to the activity log.
void FinishOlcStoreRewrites();
