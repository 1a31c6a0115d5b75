// The OLC log maintenance commands on prepared stores: board compaction,
// flat log and link store compaction, and damaged stores that every command
// must leave exactly as they were.
#include "OlcLogStores.h"
#include "core/BCommon.h"
#include "core/BRegistr.h"
#include "olc/BOlcLogMnt.h"
#include "platform/PairReplace.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>
#include <string_view>

using namespace olctest;

namespace {

class OlcLogMaintenance : public testsupport::TempEnvTest {
protected:
    StoreBuilder store{env.file(QStringLiteral("OlcClient")), QStringLiteral("NET1")};

    OlcMaintenanceBoard board(const QString &key) const
    {
        for (const BoardRecord &b : store.boards)
            if (b.BoardKey == key)
                return {store.server, key, b.BoardName, b.TopMsg};
        return {store.server, key, {}, 0};
    }
    bool noWorkFiles() const
    {
        return QDir(store.server.path()).entryList({QStringLiteral("Work$$$$*")}, QDir::AllEntries).isEmpty();
    }
};

TEST_F(OlcLogMaintenance, BoardCompactionDropsErasedBodiesAndAttachmentsAndPacksTheRest)
{
    store.board(QStringLiteral("B1"), QStringLiteral("First"), 1);
    const QString key = QStringLiteral("B1");
    MessageRecord m1 = store.text(key, StoreBuilder::Message(1), "alpha");
    MessageRecord erasedText = StoreBuilder::Message(2);
    erasedText.Erased = 1;
    erasedText = store.text(key, erasedText, "beta-body");
    MessageRecord erasedFile = StoreBuilder::Message(3);
    erasedFile.Erased = 1;
    erasedFile = store.file(key, erasedFile, QStringLiteral("gone.bin"), "GONE");
    const MessageRecord keptFile = store.file(key, StoreBuilder::Message(4), QStringLiteral("kept.bin"), "KEPT");
    const MessageRecord notDownloaded = store.index(store.server.boardIndex(key), StoreBuilder::Message(5));
    MessageRecord m6 = store.text(key, StoreBuilder::Message(6), "gamma");
    const MessageRecord header = Records(store.server.boardIndex(key)).front();

    QString error;
    ASSERT_TRUE(CompactOlcBoard(board(key), &error)) << error.toStdString();

    // Same records, same numbers; the erased ones are not downloaded any more.
    erasedText.Erased = 0;
    erasedText.Start = -1;
    erasedFile.Erased = 0;
    erasedFile.Start = -1;
    m6.Start = 5;
    const std::vector<MessageRecord> expected{header, m1, erasedText, erasedFile, keptFile, notDownloaded, m6};
    EXPECT_EQ(Records(store.server.boardIndex(key)), expected);
    EXPECT_EQ(Bytes(store.server.boardText(key)), QByteArray("alphagamma"));
    EXPECT_FALSE(QFileInfo::exists(store.server.attachment(key, 3, QStringLiteral("gone.bin"))));
    EXPECT_EQ(Bytes(store.server.attachment(key, 4, QStringLiteral("kept.bin"))), QByteArray("KEPT"));
    EXPECT_TRUE(noWorkFiles());

    // Nothing erase-marked: both files are written again with the same bytes.
    const auto before = Snapshot(store.server.path());
    ASSERT_TRUE(CompactOlcBoard(board(key), &error)) << error.toStdString();
    EXPECT_EQ(Snapshot(store.server.path()), before);
}

TEST_F(OlcLogMaintenance, FlatLogAppendsOldMessagesAndLeavesTheRestWithANewHeader)
{
    const QString key = QStringLiteral("OLD");
    store.board(key, QStringLiteral("Old Board"), 5);
    store.text(key, StoreBuilder::Message(1, QStringLiteral("Hello")), "old body\r\nline 2");
    MessageRecord deleted = StoreBuilder::Message(2, QStringLiteral("<<Deleted>>"));
    deleted.Deleted = 1;
    deleted.Address = 0;
    store.index(store.server.boardIndex(key), deleted);
    store.file(key, StoreBuilder::Message(3), QStringLiteral("pic.jpg"), "JPEG");
    store.index(store.server.boardIndex(key), StoreBuilder::Message(4));
    MessageRecord kept = store.text(key, StoreBuilder::Message(5), "kept");
    const MessageRecord notDownloaded = store.index(store.server.boardIndex(key), StoreBuilder::Message(6));
    StoreBuilder::write(store.server.flatLog(key), "earlier\r\n");
    ASSERT_EQ(OlcFlatLogCount(board(key)), 4);

    QString error;
    ASSERT_TRUE(FlatLogOlcBoard(board(key), &error)) << error.toStdString();

    const QByteArray rule = QByteArray(50, '=');
    const QByteArray dash = QByteArray(50, '-');
    const QByteArray end = "\r\n" + QByteArray(30, '-') + "<< End of Message >>\r\n";
    const auto head = [&](const char *number, const char *title, const char *address, const char *handle,
                          const char *user, const char *bytes) {
        return "\r\n\r\n" + rule + "\r\nNumber   : " + number + "\r\nTitle    : " + title + "\r\nIP Addr  : " + address +
               "\r\nHandle   : " + handle + "\r\nUser ID  : " + user + "\r\nDateTime : 2026/03/04 05:06:07\r\nBytes    : " +
               bytes + "\r\n" + dash + "\r\n\r\n";
    };
    const QByteArray expectedLog =
        "earlier\r\n" + head("00001", "Hello", "10.1.2.1", "Handle1", "USER1", "000000016") + "old body\r\nline 2" + end +
        head("00002", "<<Deleted>>", "0.0.0.0", "Handle2", "USER2", "000000000") + "<<Deleted>>\r\n" + end +
        head("00003", "Title 3", "10.1.2.3", "Handle3", "USER3", "000000004") + "FileName : pic.jpg\r\n" + end +
        head("00004", "Title 4", "10.1.2.4", "Handle4", "USER4", "000000000") + "<<Not Downloaded>>\r\n" + end;
    EXPECT_EQ(Bytes(store.server.flatLog(key)), expectedLog);

    kept.Start = 0;
    const std::vector<MessageRecord> records = Records(store.server.boardIndex(key));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], MakeHeaderRecord(QStringLiteral("Old Board")));
    EXPECT_EQ(records[1], kept);
    EXPECT_EQ(records[2], notDownloaded);
    EXPECT_EQ(Bytes(store.server.boardText(key)), QByteArray("kept"));
    EXPECT_FALSE(QFileInfo::exists(store.server.attachment(key, 3, QStringLiteral("pic.jpg"))));
    EXPECT_TRUE(noWorkFiles());

    // Nothing older any more: a second run changes nothing.
    const auto before = Snapshot(store.server.path());
    EXPECT_EQ(OlcFlatLogCount(board(key)), 0);
    ASSERT_TRUE(FlatLogOlcBoard(board(key), &error));
    EXPECT_EQ(Snapshot(store.server.path()), before);
}

// Holder messages in board B1: 10 holds a chain of two links (the second
// pointing past the end), 11 an erase-marked link, 13 a file link, 14 a link
// the server deleted, which comes first but is no holder's first kept one;
// message 12 is gone, and board B2 has no index. A stale copy of 10's link
// lies after the current one.
TEST_F(OlcLogMaintenance, LinkCompactionKeepsTheCurrentChainsAndRenumbersTheirHolders)
{
    const QString key = QStringLiteral("B1");
    store.board(key, QStringLiteral("Links"), 1);
    store.linkStore();
    MessageRecord deleted = StoreBuilder::Message(914);     // 1
    deleted.AuxText2 = key;
    deleted.LinkHolder = 14;
    deleted.Deleted = 1;
    store.index(store.server.linkIndex(), deleted);
    MessageRecord current = store.link(key, 10, 3, "L2");   // 2
    MessageRecord chained = store.link(key, 10, 99, "L3");  // 3
    store.link(key, 11, 0, "erased", true);                 // 4
    store.link(key, 12, 0, "orphan");                       // 5
    store.link(QStringLiteral("B2"), 20, 0, "no board");    // 6
    MessageRecord fileLink = StoreBuilder::Message(913);    // 7
    fileLink.Flags = MessageRecord::FileFlag;
    fileLink.AuxText2 = key;
    fileLink.LinkHolder = 13;
    fileLink.ReplyTo = 1;
    fileLink.FileName = QStringLiteral("pic.png");
    fileLink.Start = 0;
    store.index(store.server.linkIndex(), fileLink);
    store.link(key, 10, 0, "stale-8");                      // 8
    const QString keptAttachment = store.server.linkAttachment(key, 13, 1, QStringLiteral("pic.png"));
    StoreBuilder::write(keptAttachment, "PNG");
    StoreBuilder::write(store.server.linkAttachment(key, 12, 1, QStringLiteral("x.png")), "X");
    StoreBuilder::write(store.server.linkFolder() + QStringLiteral("OLCLINK.TXT.bak"), "junk");

    std::vector<MessageRecord> holders;
    for (const auto &[number, linkIndex] : std::vector<std::pair<int, int>>{{10, 2}, {11, 4}, {13, 7}, {14, 1}}) {
        MessageRecord m = StoreBuilder::Message(number);
        m.Flags = MessageRecord::LinkFlag;
        m.LinkIndex = linkIndex;
        holders.push_back(store.text(key, m, "holder"));
    }
    const MessageRecord header = Records(store.server.linkIndex()).front();

    QString error;
    ASSERT_TRUE(CompactOlcLinks(store.server, &error)) << error.toStdString();

    current.LinkIndex = 2;
    current.Start = 0;
    chained.LinkIndex = 0; // its next record does not exist
    chained.Start = 2;
    const std::vector<MessageRecord> expected{header, current, chained, fileLink};
    EXPECT_EQ(Records(store.server.linkIndex()), expected);
    EXPECT_EQ(Bytes(store.server.linkText()), QByteArray("L2L3"));

    holders[0].LinkIndex = 1;
    holders[1].LinkIndex = 0;
    holders[2].LinkIndex = 3;
    holders[3].LinkIndex = 0;
    const std::vector<MessageRecord> boardRecords = Records(store.server.boardIndex(key));
    EXPECT_EQ(std::vector<MessageRecord>(boardRecords.begin() + 1, boardRecords.end()), holders);

    EXPECT_EQ(QDir(store.server.linkFolder()).entryList(QDir::Files),
              QStringList({QFileInfo(keptAttachment).fileName(), QStringLiteral("OlcLink.txt")}));
    EXPECT_TRUE(noWorkFiles());
}

enum class Command { Compact, FlatLog, Links };

struct Damage {
    const char *name;
    Command command;
    std::function<void(StoreBuilder &)> apply;
};

void Truncate(const QString &path, qint64 size)
{
    QFile file(path);
    ASSERT_TRUE(file.resize(size));
}

const QString Key = QStringLiteral("B1");

// The second rename of a rewrite (the text file's) fails, and with restores
// the putting back of the files renamed already.
void FailSecondRename(bool restores)
{
    plat::testing::PairReplaceStep = [renames = 0, restores](const char *step) mutable {
        return !(std::string_view(step) == "rename" && ++renames == 2) && !(restores && std::string_view(step) == "restore");
    };
}

// A board B1 whose messages 1 and 2 are older than TopMsg 3, message 2
// erase-marked, and a link store holding one link of message 3.
void Prepare(StoreBuilder &store)
{
    store.board(Key, QStringLiteral("Board"), 3);
    store.text(Key, StoreBuilder::Message(1), "one");
    MessageRecord erased = StoreBuilder::Message(2);
    erased.Erased = 1;
    store.text(Key, erased, "two");
    MessageRecord holder = StoreBuilder::Message(3);
    holder.LinkIndex = 1;
    store.text(Key, holder, "three-body");
    store.linkStore();
    store.link(Key, 3, 0, "link body");
}

TEST_F(OlcLogMaintenance, DamagedStoresAreLeftExactlyAsTheyWere)
{
    const std::vector<Damage> damages{
        {"board text file cut short", Command::Compact, [](StoreBuilder &s) { Truncate(s.server.boardText(Key), 8); }},
        {"board text file cut short", Command::FlatLog, [](StoreBuilder &s) { Truncate(s.server.boardText(Key), 2); }},
        {"link text file cut short", Command::Links, [](StoreBuilder &s) { Truncate(s.server.linkText(), 4); }},
        {"board text file missing", Command::Compact, [](StoreBuilder &s) { QFile::remove(s.server.boardText(Key)); }},
        {"negative body length", Command::Compact,
         [](StoreBuilder &s) {
             MessageRecord bad = StoreBuilder::Message(7);
             bad.Start = 0;
             bad.Bytes = -5;
             s.index(s.server.boardIndex(Key), bad);
         }},
        {"link index without header", Command::Links, [](StoreBuilder &s) { Truncate(s.server.linkIndex(), 0); }},
        {"work file taken by a folder", Command::Compact, [](StoreBuilder &s) { QDir().mkpath(s.server.workText()); }},
        {"flat log taken by a folder", Command::FlatLog, [](StoreBuilder &s) { QDir().mkpath(s.server.flatLog(Key)); }},
        {"server folder open in a client window", Command::Links,
         [](StoreBuilder &s) { OlcServerFolderOpened(s.server.path()); }},
        {"server folder open in a reader window", Command::Compact,
         [](StoreBuilder &s) { OlcServerFolderOpened(s.server.path()); }},
        {"text file cannot be renamed over", Command::Compact, [](StoreBuilder &) { FailSecondRename(false); }},
        {"text file cannot be renamed over", Command::FlatLog, [](StoreBuilder &) { FailSecondRename(false); }},
        {"text file cannot be renamed over", Command::Links, [](StoreBuilder &) { FailSecondRename(false); }},
        {"index cannot be put back until the next open", Command::Compact,
         [](StoreBuilder &) { FailSecondRename(true); }},
    };
    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.name);
        testsupport::TempFolder folder;
        StoreBuilder s(folder.file(QStringLiteral("OlcClient")), QStringLiteral("NET1"));
        Prepare(s);
        damage.apply(s);
        const auto before = Snapshot(s.server.path());
        QString error;
        const OlcMaintenanceBoard b{s.server, Key, QStringLiteral("Board"), 3};
        const bool done = damage.command == Command::Compact   ? CompactOlcBoard(b, &error)
                          : damage.command == Command::FlatLog ? FlatLogOlcBoard(b, &error)
                                                               : CompactOlcLinks(s.server, &error);
        plat::testing::PairReplaceStep = nullptr;
        EXPECT_FALSE(done);
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(olc::PrepareLinkStore(s.server)); // opened again as the reader window does
        EXPECT_EQ(Snapshot(s.server.path()), before);
        OlcServerFolderClosed(s.server.path());
    }
}

// Boards whose key would name the store's own files, and stores with no
// link folder or an index of its header only, are refused or left alone.
TEST_F(OlcLogMaintenance, KeysThatNameStoreFilesAreRefusedAndEmptyStoresAreLeftAlone)
{
    store.board(QStringLiteral("EMPTY"), QStringLiteral("Empty"), 9);
    const auto before = Snapshot(store.server.path());
    QString error;
    for (const QString &key : {QStringLiteral("OlcLink"), QStringLiteral("NET1"), QStringLiteral("Work$$$$"),
                               QStringLiteral(".."), QStringLiteral("a/b")}) {
        EXPECT_FALSE(CompactOlcBoard({store.server, key, {}, 9}, &error)) << key.toStdString();
        EXPECT_FALSE(FlatLogOlcBoard({store.server, key, {}, 9}, &error)) << key.toStdString();
    }
    EXPECT_EQ(OlcFlatLogCount(board(QStringLiteral("EMPTY"))), 0);
    EXPECT_TRUE(FlatLogOlcBoard(board(QStringLiteral("EMPTY")), &error));
    EXPECT_TRUE(CompactOlcLinks(store.server, &error));
    EXPECT_EQ(Snapshot(store.server.path()), before);
}

} // namespace
