// The board and title lists as servers send them, honest and hostile: what
// is kept in the board table and the message index, and that a list that
// lies never writes outside the store or out of step.
#include "core/BRegistr.h"
#include "olc/BOlcList.h"
#include "platform/DayDate.h"
#include "platform/WinSock.h"
#include "support/FakeOlcServer.h"
#include "support/TempEnv.h"

#include <QDir>
#include <QDirIterator>

#include <gtest/gtest.h>
#include <netinet/in.h>

using namespace testsupport;

namespace {

// Connected sockets on loopback; the server's bytes are written at once and
// its end closed, so the client reads them and then the end of the stream.
plat::SOCKET ClientReading(const QByteArray &serverBytes)
{
    plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    plat::bind(listener, reinterpret_cast<sockaddr *>(&addr), len);
    plat::listen(listener, 1);
    plat::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    plat::SOCKET client = plat::socket(AF_INET, SOCK_STREAM, 0);
    plat::connect(client, reinterpret_cast<sockaddr *>(&addr), len);
    plat::SOCKET served = plat::accept(listener, nullptr, nullptr);
    plat::closesocket(listener);
    EXPECT_EQ(plat::send(served, serverBytes.constData(), int(serverBytes.size()), 0), serverBytes.size());
    plat::closesocket(served);
    return client;
}

OlcBoardLine Board(qint32 number, const QByteArray &key)
{
    OlcBoardLine b;
    b.number = number;
    b.key = key;
    b.name = key + " board";
    b.msgNum = 20;
    b.topMsg = 1;
    return b;
}

OlcTitleLine Title(qint32 number, const QByteArray &title = "hello")
{
    OlcTitleLine t;
    t.number = number;
    t.title = title;
    return t;
}

class OlcList : public TempEnvTest {
protected:
    void SetUp() override
    {
        OlcClientDirectory = env.file(QStringLiteral("OlcClient"));
        ProgramVersion = QStringLiteral("Ver.3.03.03031001R");
        server = olc::ServerFolder(QStringLiteral("SRV"));
    }

    // Receives a board list; false when the receive failed.
    bool receiveBoards(const QByteArray &bytes, std::vector<BoardRecord> &live, int version = 303,
                       const std::vector<BoardRecord> &saved = {})
    {
        const plat::SOCKET s = ClientReading(bytes);
        const bool ok = olc::ReceiveBoardList(s, version, server, saved, live);
        plat::closesocket(s);
        return ok;
    }

    // The index of board GEN (TopMsg 1), prepared.
    std::unique_ptr<plat::RecordFile> openIndex()
    {
        BoardRecord board;
        board.BoardKey = QStringLiteral("GEN");
        EXPECT_TRUE(olc::PrepareBoardFiles(server, board));
        auto index = std::make_unique<plat::RecordFile>(server.boardIndex(board.BoardKey), MessageRecord::Size);
        EXPECT_TRUE(index->open());
        return index;
    }

    bool receiveTitles(plat::RecordFile &index, olc::TitleSlots &titleSlots, const QByteArray &bytes,
                       std::int32_t &received)
    {
        const plat::SOCKET s = ClientReading(bytes);
        const bool ok = olc::ReceiveTitles(s, index, titleSlots, 1, received);
        plat::closesocket(s);
        return ok;
    }

    static std::vector<MessageRecord> Records(const plat::RecordFile &index)
    {
        std::vector<MessageRecord> records;
        QByteArray image;
        for (qint64 r = 1; index.read(r, image); ++r)
            records.push_back(MessageRecord::decode(image));
        return records;
    }

    olc::ServerFolder server{QString()};
};

TEST_F(OlcList, HostileBoardListsAreBoundedAndNeverLeaveTheStore)
{
    std::vector<OlcBoardLine> sixty;
    for (int i = 1; i <= 60; ++i)
        sixty.push_back(Board(i, "B" + QByteArray::number(i)));
    OlcBoardLine garbageDate = Board(2, "DATE");
    garbageDate.lastPost = "not a date";
    OlcBoardLine longKey = Board(1, "LONGKEY123");
    OlcBoardLine huge = Board(1, "HUGE");
    huge.msgNum = INT32_MAX;
    huge.topMsg = INT32_MAX;

    struct Case {
        const char *what;
        QByteArray bytes;
        bool ok;
        QStringList keys;
    };
    const std::vector<Case> cases = {
        {"sixty boards keep the first fifty", BoardListBytes(60, sixty, 303), true,
         [] { QStringList k; for (int i = 1; i <= 50; ++i) k << QStringLiteral("B%1").arg(i); return k; }()},
        {"a negative count is none", BoardListBytes(-5, {Board(1, "GEN")}, 303), true, {}},
        {"a number below 1 ends the list", BoardListBytes(3, {Board(1, "A"), Board(0, "B")}, 303), true, {"A"}},
        {"unsafe keys and the server's own names are dropped",
         BoardListBytes(6, {Board(1, "../x"), Board(2, ".."), Board(3, "a/b"), Board(4, "SRV"), Board(5, "OlcLink"),
                            Board(6, "OK")}, 303),
         true, {"OK"}},
        {"a key seen before is dropped", BoardListBytes(2, {Board(1, "DUP"), Board(2, "DUP")}, 303), true, {"DUP"}},
        {"a date that does not parse is 0 and the rest is read",
         BoardListBytes(2, {garbageDate, Board(3, "NEXT")}, 303), true, {"DATE", "NEXT"}},
        {"a key over 8 bytes is cut", BoardListBytes(1, {longKey}, 303), true, {"LONGKEY1"}},
        {"the end of the stream in a board fails",
         BoardListBytes(2, {Board(1, "A"), Board(2, "B")}, 303).chopped(6), false, {}},
        {"no last-post line from servers up to 210", BoardListBytes(1, {Board(1, "OLD")}, 210), true, {"OLD"}},
        {"extreme counts do not overflow", BoardListBytes(1, {huge}, 303), true, {"HUGE"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BoardRecord> live{BoardRecord{}, BoardRecord{}};
        const int version = QByteArray(c.what).contains("210") ? 210 : 303;
        ASSERT_EQ(receiveBoards(c.bytes, live, version), c.ok);
        if (!c.ok) {
            EXPECT_EQ(live.size(), 2u); // unchanged
            continue;
        }
        QStringList keys;
        for (size_t i = 1; i < live.size(); ++i)
            keys << live[i].BoardKey;
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(live[0].BoardName, QStringLiteral("Ver.3.03.03031001R"));
        for (const BoardRecord &board : live) {
            if (board.BoardKey == "DATE") {
                EXPECT_EQ(board.LastPost, 0);
            } else if (board.BoardKey == "NEXT") {
                EXPECT_GT(board.LastPost, 0);
            } else if (board.BoardKey == "HUGE") {
                EXPECT_EQ(board.ReadPtr, INT32_MAX);
            }
        }
        QString error;
        ASSERT_TRUE(olc::WriteBoardTable(server, live, &error)) << error.toStdString();
    }
    // Nothing was made outside the server folder.
    QStringList outside;
    for (QDirIterator it(env.path(), QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        if (!path.startsWith(server.path()) && !server.path().startsWith(path + "/") &&
            !path.startsWith(env.registryDir()) && !path.startsWith(env.runtimeDir()))
            outside << path;
    }
    EXPECT_EQ(outside, QStringList());
    EXPECT_FALSE(QFileInfo::exists(server.path() + "../x"));
}

TEST_F(OlcList, AKnownBoardKeepsItsOwnFieldsAndItsReadPointerNeverGoesBack)
{
    BoardRecord known = BoardRecord::decode({});
    known.BoardKey = QStringLiteral("GEN");
    known.BoardName = QStringLiteral("old name");
    known.BoardPassword = "\x10\x20";
    known.ReadPtr = 10;
    known.TextPriority = 1;
    known.TopBias = 3;
    known.Reserved[50] = 'r';
    BoardRecord gone = known;
    gone.BoardKey = QStringLiteral("GONE");

    OlcBoardLine gen = Board(4, "GEN");
    gen.name = "new name";
    gen.password = "*";
    gen.readOnly = "ON";
    gen.msgNum = 150;
    gen.topMsg = 1;
    gen.level = 0x102;
    OlcBoardLine fresh = Board(5, "NEW");
    fresh.msgNum = 100;
    fresh.topMsg = 31;
    std::vector<BoardRecord> live;
    ASSERT_TRUE(receiveBoards(BoardListBytes(2, {gen, fresh}, 303), live, 303, {BoardRecord{}, gone, known}));
    ASSERT_EQ(live.size(), 3u);

    BoardRecord expected = known;
    expected.BoardNumber = 4;
    expected.BoardName = QStringLiteral("new name");
    expected.HasPassword = 1;
    expected.ReadOnly = 1;
    expected.MsgNum = 150;
    expected.TopMsg = 1;
    expected.Level = 2;
    expected.LastPost = live[1].LastPost;
    expected.ReadPtr = 50; // the newest 100 of 150 are unread
    EXPECT_EQ(live[1], expected);
    EXPECT_EQ(live[2].ReadPtr, 30); // 100 messages: only raised to TopMsg - 1
    EXPECT_EQ(live[2].BoardPassword, QByteArray());

    EXPECT_EQ(olc::RaisedReadPtr(10, 100, 1), 10);
    EXPECT_EQ(olc::RaisedReadPtr(70, 150, 1), 70);
    EXPECT_EQ(olc::RaisedReadPtr(0, INT32_MAX, INT32_MAX), INT32_MAX);
    EXPECT_EQ(olc::RaisedReadPtr(5, -7, INT32_MIN), 5);
}

TEST_F(OlcList, HostileTitleListsStayInStepAndKeepWhatTheStoreKnows)
{
    auto index = openIndex();
    olc::TitleSlots titleSlots;
    ASSERT_TRUE(titleSlots.load(*index, 1));

    // A title downloaded before keeps its body and marks.
    MessageRecord downloaded;
    downloaded.Number = 5;
    downloaded.Title = QStringLiteral("old");
    downloaded.Start = 123;
    downloaded.Erased = 1;
    downloaded.LinkIndex = 4;
    downloaded.LinkHolder = 9;
    ASSERT_TRUE(titleSlots.store(*index, 5, downloaded));

    OlcTitleLine garbage = Title(7, "bad date");
    garbage.dateTime = "32/13/99 xx";
    garbage.address = "no address";
    OlcTitleLine file = Title(3, "a file");
    file.flags = 0x121;
    file.fileName = "../../etc/x";
    file.bytes = 42;
    const std::vector<OlcTitleLine> titles = {Title(9),   Title(0),   Title(-50),    Title(2001 + 1),
                                              Title(5, "new"), Title(4, ""), garbage, file};
    std::int32_t received = 0;
    ASSERT_TRUE(receiveTitles(*index, titleSlots, TitleListBytes(qint32(titles.size()), titles), received));
    EXPECT_EQ(received, 5); // 0, -50 and 2002 have no slot

    const std::vector<MessageRecord> records = Records(*index);
    std::vector<int> numbers;
    for (const MessageRecord &r : records)
        numbers.push_back(r.Number);
    EXPECT_EQ(numbers, (std::vector<int>{3, 4, 5, 7, 9}));
    EXPECT_EQ(records[0].Start, -1);
    EXPECT_EQ(records[0].Flags, 0x21);
    EXPECT_EQ(records[0].FileName, QStringLiteral("../../etc/x")); // kept as text, refused as a path
    EXPECT_TRUE(server.attachment(QStringLiteral("GEN"), 3, records[0].FileName).isEmpty());
    EXPECT_EQ(records[1].Title, QStringLiteral("<<Deleted>>"));
    EXPECT_EQ(records[1].Deleted, 1);
    EXPECT_EQ(records[2].Title, QStringLiteral("new"));
    EXPECT_EQ(records[2].Start, 123);
    EXPECT_EQ(records[2].Erased, 1);
    EXPECT_EQ(records[2].LinkIndex, 4);
    EXPECT_EQ(records[2].LinkHolder, 9);
    EXPECT_EQ(records[3].DateTime, 0);
    EXPECT_EQ(records[3].Address, 0u);
    EXPECT_GT(records[4].DateTime, 0);

    // A negative count is none; a list cut short fails without a half record.
    ASSERT_TRUE(receiveTitles(*index, titleSlots, TitleListBytes(-3, {}), received));
    EXPECT_EQ(received, 0);
    EXPECT_FALSE(receiveTitles(*index, titleSlots, TitleListBytes(1, {Title(6)}).chopped(3), received));
    EXPECT_EQ(Records(*index).size(), 5u);

    // The titles of a listing, in number order.
    std::vector<int> listed;
    for (const MessageRecord &r : olc::ReadTitles(*index, titleSlots, 1, 4, 6))
        listed.push_back(r.Number);
    EXPECT_EQ(listed, (std::vector<int>{4, 5, 7, 9}));

    BoardTitleCache cache;
    cache.ListPtr = 10;
    cache.FirstWanted = 4;
    EXPECT_EQ(olc::NewTitleCount(cache, 8, true), 2);
    EXPECT_EQ(olc::NewTitleCount(cache, 3, true), 0);
    EXPECT_EQ(olc::NewTitleCount(cache, 3, false), 3);
}

TEST_F(OlcList, ReplyTreesAndBoardTreesEndOnCyclesAndOrphans)
{
    auto index = openIndex();
    olc::TitleSlots titleSlots;
    ASSERT_TRUE(titleSlots.load(*index, 1));
    // 2 answers 1, 3 answers 2, 4 answers 1; 6 answers 7 (younger: a lie), 7 answers 6; 8 answers itself.
    for (auto [number, replyTo] : {std::pair{1, 0}, {2, 1}, {3, 2}, {4, 1}, {6, 7}, {7, 6}, {8, 8}}) {
        MessageRecord r;
        r.Number = number;
        r.ReplyTo = replyTo;
        r.Title = QStringLiteral("t%1").arg(number);
        ASSERT_TRUE(titleSlots.store(*index, number, r));
    }
    int selected = -1;
    auto tree = olc::BuildReplyTree(*index, titleSlots, 1, 3, selected);
    ASSERT_EQ(tree.size(), 4u);
    EXPECT_EQ(tree[0].Record.Number, 1);
    EXPECT_EQ(tree[selected].Record.Number, 3);
    EXPECT_EQ(tree[tree[selected].Parent].Record.Number, 2);
    EXPECT_EQ(tree[3].Record.Number, 4);
    EXPECT_EQ(tree[3].Parent, 0);

    tree = olc::BuildReplyTree(*index, titleSlots, 1, 7, selected);
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree[0].Record.Number, 6);
    EXPECT_EQ(tree[selected].Record.Number, 7);
    tree = olc::BuildReplyTree(*index, titleSlots, 1, 8, selected);
    EXPECT_EQ(tree.size(), 1u);
    EXPECT_TRUE(olc::BuildReplyTree(*index, titleSlots, 1, 5, selected).empty());

    std::vector<BoardRecord> boards(6);
    const std::pair<const char *, const char *> keys[] = {{"ROOT", ""}, {"CHILD", "ROOT"}, {"ORPHAN", "NONE"},
                                                          {"LOOP", "LOOP"}, {"DEEP", "CHILD"}};
    const int levels[] = {0, 1, 2, 1, 2};
    for (int b = 1; b <= 5; ++b) {
        boards[size_t(b)].BoardKey = QString::fromLatin1(keys[b - 1].first);
        boards[size_t(b)].ParentKey = QString::fromLatin1(keys[b - 1].second);
        boards[size_t(b)].Level = std::uint8_t(levels[b - 1]);
    }
    std::map<int, int> parents;
    for (const olc::BoardPlace &p : olc::PlaceBoards(boards))
        parents[p.Board] = p.Parent;
    EXPECT_EQ(parents, (std::map<int, int>{{1, 0}, {2, 1}, {3, 0}, {4, 0}, {5, 2}}));
}

} // namespace
