// The OLC local store: the board record's byte image, the file names a
// server's names may (not) become, the board table's writes and the ordered
// message index.
#include "core/BRegistr.h"
#include "olc/OlcStore.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "support/TempEnv.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

class OlcStore : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        OlcClientDirectory = env.file(QStringLiteral("OlcClient"));
        ProgramVersion = QStringLiteral("Ver.3.03.03031001R");
    }

    static BoardRecord Board(const QString &key, int readPtr)
    {
        BoardRecord board = BoardRecord::decode({});
        board.BoardKey = key;
        board.BoardName = key + QStringLiteral(" board");
        board.ReadPtr = readPtr;
        return board;
    }

    static MessageRecord Title(int number)
    {
        MessageRecord title;
        title.Number = number;
        title.Title = QStringLiteral("title %1").arg(number);
        title.Start = -1;
        return title;
    }

    // The message numbers of records 1.. of an index, in file order.
    static std::vector<int> Numbers(const plat::RecordFile &index)
    {
        std::vector<int> numbers;
        QByteArray image;
        for (qint64 r = 1; index.read(r, image); ++r)
            numbers.push_back(MessageRecord::decode(image).Number);
        return numbers;
    }
};

TEST_F(OlcStore, BoardRecordIsTheExactByteImageAndKeepsReservedBytes)
{
    QByteArray image(BoardRecord::Size, '\0');
    auto put32 = [&](int offset, qint32 value) { qToLittleEndian<qint32>(value, image.data() + offset); };
    image[0] = 3;
    image.replace(1, 3, "GEN");
    image[9] = 5;
    image.replace(10, 5, "Games");
    image[90] = 2;
    image.replace(91, 2, "\x81\x40");
    image[99] = 1;
    put32(100, 42);
    put32(104, 150);
    put32(108, 7);
    image[112] = 2;
    image[113] = 1;
    image[114] = 1;
    image[115] = 60; // length byte past the capacity: clamped to 8
    image.replace(116, 8, "PARENTKY");
    put32(124, 9);
    image[130] = 'r';
    put32(132, 5);
    qToLittleEndian<double>(46000.5, image.data() + 144);
    image[239] = 'z';

    const BoardRecord board = BoardRecord::decode(image);
    EXPECT_EQ(board.BoardKey, QStringLiteral("GEN"));
    EXPECT_EQ(board.BoardName, QStringLiteral("Games"));
    EXPECT_EQ(board.BoardPassword, QByteArray("\x81\x40"));
    EXPECT_EQ(board.ReadOnly, 1);
    EXPECT_EQ(board.ReadPtr, 42);
    EXPECT_EQ(board.MsgNum, 150);
    EXPECT_EQ(board.TopMsg, 7);
    EXPECT_EQ(board.Level, 2);
    EXPECT_EQ(board.TextPriority, 1);
    EXPECT_EQ(board.HasPassword, 1);
    EXPECT_EQ(board.ParentKey, QStringLiteral("PARENTKY"));
    EXPECT_EQ(board.BoardNumber, 9);
    EXPECT_EQ(board.TopBias, 5);
    EXPECT_EQ(board.LastPost, 46000.5);

    image[115] = 8; // what writing the clamped string gives back
    EXPECT_EQ(board.encode(), image);
    EXPECT_EQ(BoardRecord::decode(image.left(100)).encode().mid(100), QByteArray(140, '\0'));
}

TEST_F(OlcStore, NamesFromTheServerBecomePathsOnlyInsideTheServerFolder)
{
    const olc::ServerFolder server(QStringLiteral("SRV"));
    const QString root = QDir::cleanPath(OlcClientDirectory) + QStringLiteral("/SRV/");
    ASSERT_EQ(server.path(), root);
    EXPECT_EQ(server.boardTable(), root + "SRV.dat");
    EXPECT_EQ(server.boardIndex("GEN"), root + "GEN.dat");
    EXPECT_EQ(server.boardFolder("GEN"), root + "GEN/");
    EXPECT_EQ(server.boardText("GEN"), root + "GEN/GEN.txt");
    EXPECT_EQ(server.flatLog("GEN"), root + "GEN/GEN.log");
    EXPECT_EQ(server.attachment("GEN", 12, "a b.zip"), root + "GEN/00012_a b.zip");
    EXPECT_EQ(server.attachment("GEN", 123456, "x"), root + "GEN/123456_x");
    EXPECT_EQ(server.linkIndex(), root + "OlcLink.dat");
    EXPECT_EQ(server.linkFolder(), root + "OlcLink/");
    EXPECT_EQ(server.linkText(), root + "OlcLink/OlcLink.txt");
    EXPECT_EQ(server.linkAttachment("GEN", 3, 2, "p.jpg"), root + "OlcLink/GEN_00003_002_p.jpg");
    EXPECT_EQ(server.workIndex(), root + "Work$$$$.dat");
    EXPECT_EQ(server.workText(), root + "Work$$$$.txt");

    struct Hostile {
        const char *key;
        const char *fileName;
    };
    const Hostile refused[] = {
        {"", "ok.txt"},      {".", "ok.txt"},       {"..", "ok.txt"},   {"../x", "ok.txt"},  {"a/b", "ok.txt"},
        {"a\\b", "ok.txt"},  {"C:", "ok.txt"},      {"a\nb", "ok.txt"}, {"SRV", "ok.txt"},   {"OlcLink", "ok.txt"},
        {"Work$$$$", "ok.txt"}, {"GEN", ""},        {"GEN", ".."},      {"GEN", "../../e"},  {"GEN", "/etc/passwd"},
        {"GEN", "a\x01"},
    };
    for (const Hostile &h : refused) {
        const QString key = QString::fromLatin1(h.key), name = QString::fromLatin1(h.fileName);
        SCOPED_TRACE(key.toStdString() + " / " + name.toStdString());
        const bool keyBad = !server.usableBoardKey(key);
        if (keyBad) {
            EXPECT_TRUE(server.boardIndex(key).isEmpty());
            EXPECT_TRUE(server.boardFolder(key).isEmpty());
            EXPECT_TRUE(server.boardText(key).isEmpty());
            EXPECT_TRUE(server.flatLog(key).isEmpty());
        }
        EXPECT_TRUE(server.attachment(key, 1, name).isEmpty());
        if (key != "SRV" && key != "OlcLink" && key != "Work$$$$") {
            EXPECT_TRUE(server.linkAttachment(key, 1, 1, name).isEmpty());
        }
    }
    EXPECT_TRUE(server.attachment("GEN", -1, "x").isEmpty());
    EXPECT_FALSE(olc::ServerFolder(QStringLiteral("..")).valid());
    EXPECT_TRUE(olc::ServerFolder(QStringLiteral("../up")).boardTable().isEmpty());
}

TEST_F(OlcStore, BoardTableWritesKeepTheHeaderAndCutAfterTheBoards)
{
    const olc::ServerFolder server(QStringLiteral("SRV"));
    std::vector<BoardRecord> none;
    ASSERT_TRUE(olc::LoadBoardTable(server.boardTable(), none)); // no table yet: no records, no error
    EXPECT_TRUE(none.empty());

    BoardRecord known = Board("GEN", 30);
    known.Reserved[20] = 'k';
    const std::vector<BoardRecord> table = {olc::MakeBoardHeader(), known, Board("CHAT", 4), Board("../x", 1)};
    QString error;
    ASSERT_TRUE(olc::WriteBoardTable(server, table, &error)) << error.toStdString();
    EXPECT_TRUE(QDir(server.boardFolder("GEN")).exists());
    EXPECT_TRUE(QDir(server.boardFolder("CHAT")).exists());
    EXPECT_FALSE(QDir(server.path() + "../x").exists());

    std::vector<BoardRecord> loaded;
    ASSERT_TRUE(olc::LoadBoardTable(server.boardTable(), loaded));
    ASSERT_EQ(loaded.size(), 4u);
    EXPECT_EQ(loaded[0].BoardKey, plat::FormatShortDate(QDateTime::currentDateTime()).left(8));
    EXPECT_EQ(loaded[0].BoardName, QStringLiteral("Ver.3.03.03031001R"));
    EXPECT_EQ(loaded[1], known);

    // A later save writes the boards after the old header and drops the rest.
    QFile file(server.boardTable());
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.write("OLDHEAD!");
    file.close();
    known.ReadPtr = 31;
    ASSERT_TRUE(olc::SaveBoardTable(server.boardTable(), {Board("ignored", 0), known}, &error));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.size(), 2 * BoardRecord::Size);
    EXPECT_TRUE(bytes.startsWith("OLDHEAD!"));
    EXPECT_EQ(bytes.mid(BoardRecord::Size), known.encode());

    EXPECT_FALSE(olc::SaveBoardTable(server.path() + "missing.dat", {known}, &error));
}

TEST_F(OlcStore, TitlesAreStoredInNumberOrderWithTheirSlots)
{
    const olc::ServerFolder server(QStringLiteral("SRV"));
    const BoardRecord board = Board("GEN", 0);
    ASSERT_TRUE(olc::PrepareBoardFiles(server, board));
    EXPECT_EQ(QFileInfo(server.boardIndex("GEN")).size(), MessageRecord::Size);
    EXPECT_EQ(QFileInfo(server.boardText("GEN")).size(), 0);
    plat::RecordFile index(server.boardIndex("GEN"), MessageRecord::Size);
    ASSERT_TRUE(index.open());
    QByteArray header;
    ASSERT_TRUE(index.read(0, header));
    EXPECT_EQ(MessageRecord::decode(header).FileName, QStringLiteral("GEN board"));

    const int topMsg = 101;
    olc::TitleSlots titleSlots;
    ASSERT_TRUE(titleSlots.load(index, topMsg));
    for (int number : {105, 110, 102, 107, 101, 110}) {
        MessageRecord title = Title(number);
        ASSERT_TRUE(titleSlots.store(index, olc::TitleSlots::SlotOf(number, topMsg), title));
    }
    EXPECT_EQ(Numbers(index), (std::vector<int>{101, 102, 105, 107, 110}));
    EXPECT_EQ(titleSlots.NextRecord, 6);
    EXPECT_EQ(titleSlots.LastSlot, 10);

    // Rebuilt from the file, the map points where the insertions left it.
    olc::TitleSlots reloaded;
    ASSERT_TRUE(reloaded.load(index, topMsg));
    EXPECT_EQ(reloaded.Slot, titleSlots.Slot);
    EXPECT_EQ(reloaded.NextRecord, titleSlots.NextRecord);
    EXPECT_EQ(reloaded.LastSlot, titleSlots.LastSlot);

    // Numbers outside the slot range have no slot and are never written.
    EXPECT_EQ(olc::TitleSlots::SlotOf(topMsg - 1, topMsg), -1);
    EXPECT_EQ(olc::TitleSlots::SlotOf(topMsg + olc::MaxSlot, topMsg), -1);
    EXPECT_EQ(olc::TitleSlots::SlotOf(INT32_MAX, INT32_MIN), -1);
    EXPECT_FALSE(titleSlots.store(index, -1, Title(1)));
    EXPECT_EQ(index.count(), 6);

    // A second preparation keeps what is there.
    ASSERT_TRUE(olc::PrepareBoardFiles(server, board));
    EXPECT_EQ(index.count(), 6);
}

} // namespace
