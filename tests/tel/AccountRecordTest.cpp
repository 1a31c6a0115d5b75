// The account record and Account.lst as bytes, the record's line form
// against a scripted server (including lines no server should send), and the
// rebuilding of Account.lst from the account files.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "platform/Cp932.h"
#include "support/FakePeer.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "tel/AccountRecord.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testsupport;

namespace {

class AccountRecordTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        SetLogMemo(&memo);
        LogLebelNumber = ALPHA;
        AccountListFile = AccClientDirectory + QStringLiteral("/Account.lst");
    }
    void TearDown() override
    {
        if (s != plat::INVALID_SOCKET)
            plat::closesocket(s);
        delete form;
    }
    // Connects s to a server that sends lines and then hangs up.
    std::unique_ptr<FakePeer> serverSending(const QByteArray &lines)
    {
        if (s != plat::INVALID_SOCKET)
            plat::closesocket(s);
        auto peer = FakePeer::listen([lines](FakePeer &p) { p.sendRaw(lines); });
        int error = 0;
        s = ConnectServer(SOCK_STREAM, QStringLiteral("olcp"), QStringLiteral("tcp"), error,
                          QStringLiteral("127.0.0.1"), peer->port());
        EXPECT_NE(s, plat::INVALID_SOCKET);
        return peer;
    }

    TBLookupForm *form = nullptr;
    QPlainTextEdit memo;
    plat::SOCKET s = plat::INVALID_SOCKET;
};

TEST_F(AccountRecordTest, TheRecordAndTheListEntryAreExactByteImages)
{
    AccountRecord r;
    r.UserId = QStringLiteral("U0000001");
    r.Level = 'C';
    for (const AccountFieldSpec &f : AccountFields) {
        if (f.Capacity > 0)
            r.Text(f.Letter) = QByteArray(f.Capacity + 5, f.Letter); // cut to its capacity
    }
    r.Sex = 2;
    r.Age = 200;
    r.Os = 5;
    const QByteArray image = r.encode();
    ASSERT_EQ(image.size(), 1024);
    EXPECT_EQ(image.left(9), QByteArray("\x08U0000001"));
    EXPECT_EQ(image[9], 'C');
    for (const AccountFieldSpec &f : AccountFields) {
        if (f.Capacity == 0)
            continue;
        EXPECT_EQ(quint8(image[f.Offset]), f.Capacity) << f.Letter;
        EXPECT_EQ(image.mid(f.Offset + 1, f.Capacity), QByteArray(f.Capacity, f.Letter)) << f.Letter;
    }
    EXPECT_EQ(quint8(image[395]), 2);
    EXPECT_EQ(quint8(image[396]), 200);
    EXPECT_EQ(quint8(image[414]), 5);
    EXPECT_EQ(image.mid(578), QByteArray(446, '\0'));
    AccountRecord cut = r;
    for (const AccountFieldSpec &f : AccountFields)
        if (f.Capacity > 0)
            cut.Text(f.Letter).truncate(f.Capacity);
    EXPECT_EQ(AccountRecord::decode(image), cut);
    // A length byte past its field is clamped; a short image reads as zero-filled.
    QByteArray bad = image;
    bad[0] = char(200);
    EXPECT_EQ(AccountRecord::decode(bad).UserId, QStringLiteral("U0000001"));
    EXPECT_EQ(AccountRecord::decode(image.left(12)).Text('A'), QByteArray(1, 'A') + QByteArray(47, '\0'));

    AccountListRecord e;
    e.IpAddress = QStringLiteral("10.0.0.1");
    e.HostName = QStringLiteral("ﾎｽﾄ");
    e.OlcpVersion = QStringLiteral("OLCP303");
    e.UserId = r.UserId;
    e.Password = ConvertPassword("ABCDE");
    e.Handle = QStringLiteral("me");
    e.NoPresence = 1;
    const QByteArray entry = e.encode();
    ASSERT_EQ(entry.size(), 127);
    EXPECT_EQ(entry.left(9), QByteArray("\x08" "10.0.0.1"));
    EXPECT_EQ(entry.mid(17, 7), QByteArray("\x03") + plat::ToCp932(QStringLiteral("ﾎｽﾄ")) + QByteArray(3, '\0'));
    EXPECT_EQ(entry.mid(66, 8), QByteArray("\x07OLCP303"));
    EXPECT_EQ(entry.mid(75, 9), QByteArray("\x08U0000001"));
    EXPECT_EQ(entry.mid(84, 6), QByteArray("\x05") + ConvertPassword("ABCDE"));
    EXPECT_EQ(entry.mid(93, 3), QByteArray("\x02me"));
    EXPECT_EQ(entry[126], '\x01');
    EXPECT_EQ(AccountListRecord::decode(entry), e);
    const QByteArray header = AccountListHeader();
    EXPECT_EQ(header.mid(75, 17), QByteArray("\x07" "Account\0\x04List\0\0\0\0", 17));
    EXPECT_TRUE(HasAccountListSignature(header));
    QByteArray other = header;
    other.replace(84, 5, "\x04XXXX"); // only the signature counts
    EXPECT_TRUE(HasAccountListSignature(other));
    other[76] = 'a';
    EXPECT_FALSE(HasAccountListSignature(other));
}

// What a server may send after the record lines, and lines it should not.
TEST_F(AccountRecordTest, ReceivedLinesAndVerdictsAreStoredOnlyAsFarAsTheyAreSound)
{
    struct Case {
        const char *name;
        QByteArray fields;
        QByteArray lines;
        bool received;
        QList<std::pair<char, QByteArray>> texts; // expected text fields
        std::array<int, 3> codes;                 // J, K, M
        AccountVerdict verdict;
        QString userId;
        char level;
    };
    const QByteArray sixty(60, 'x');
    const Case cases[] = {
        {"NEW skipped once", "A", "NEW\rBob\rU1\rC\r", true, {{'A', "Bob"}}, {0, 0, 0}, AccountVerdict::Saved, "U1", 'C'},
        {"order of the list", "PA", "a\rp\rU2\rDx\r", true, {{'A', "a"}, {'P', "p"}}, {0, 0, 0}, AccountVerdict::Saved,
         "U2", 'D'},
        {"codes not numbers or out of range", "JKM", "abc\r300\r-1\rNAK\r", true, {}, {0, 0, 0}, AccountVerdict::Refused,
         "", 0},
        {"codes in range", "JKM", "2\r255\r7\rNAK\r", true, {}, {2, 255, 7}, AccountVerdict::Refused, "", 0},
        {"text cut to its field", "A", sixty + "\rU3\rA\r", true, {{'A', QByteArray(48, 'x')}}, {0, 0, 0},
         AccountVerdict::Saved, "U3", 'A'},
        {"long user ID cut", "", "ABCDEFGHIJ\rB\r", true, {}, {0, 0, 0}, AccountVerdict::Saved, "ABCDEFGH", 'B'},
        {"empty access letter", "", "U4\r\r", true, {}, {0, 0, 0}, AccountVerdict::Saved, "U4", 0},
        {"user ID with a separator", "", "../x\rZ\r", true, {}, {0, 0, 0}, AccountVerdict::Refused, "", 0},
        {"user ID \"..\"", "", "..\rZ\r", true, {}, {0, 0, 0}, AccountVerdict::Refused, "", 0},
        {"user ID with a backslash", "", "a\\b\rZ\r", true, {}, {0, 0, 0}, AccountVerdict::Refused, "", 0},
        {"user ID with an escape", "", "a\x1b[2J\rZ\r", true, {}, {0, 0, 0}, AccountVerdict::Refused, "", 0},
        {"hang-up inside the record", "ABC", "one\rtwo\r", false, {{'A', "one"}, {'B', "two"}, {'C', "old"}}, {0, 0, 0},
         AccountVerdict::Failed, "", 0},
        {"hang-up before the access letter", "", "U5\r", true, {}, {0, 0, 0}, AccountVerdict::Failed, "", 0},
        {"line without its CR", "A", "endless", false, {{'A', "old"}}, {0, 0, 0}, AccountVerdict::Failed, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = serverSending(c.lines);
        AccountRecord r;
        r.Text('A') = r.Text('C') = "old";
        EXPECT_EQ(RecvRecord(s, QString::fromLatin1(c.fields), r), c.received);
        for (const auto &[letter, text] : c.texts)
            EXPECT_EQ(r.Text(letter), text) << letter;
        EXPECT_EQ(r.Sex, c.codes[0]);
        EXPECT_EQ(r.Age, c.codes[1]);
        EXPECT_EQ(r.Os, c.codes[2]);
        if (!c.received)
            continue;
        EXPECT_EQ(RecvAccountVerdict(s, r), c.verdict);
        EXPECT_EQ(r.UserId, c.userId);
        EXPECT_EQ(r.Level, c.level);
    }
}

TEST_F(AccountRecordTest, ARebuildListsEachAccountPerHostAndDeletesOnlyMisnamedWholeFiles)
{
    LoadHostList();
    HostRecord a, b, c;
    a.IpAddress = QStringLiteral("10.0.0.1");
    a.HostName = QStringLiteral("one");
    a.OlcpVersion = QStringLiteral("OLCP303");
    a.UserId = QStringLiteral("ALICE");
    b = a;
    b.IpAddress = QStringLiteral("10.0.0.2");
    c = a;
    c.IpAddress = QStringLiteral("10.0.0.3");
    c.UserId = QStringLiteral("OTHER");
    for (const HostRecord &h : {a, b, c})
        ASSERT_GT(AppendHostRecord(h), 0);

    AccountRecord alice, bob, liar;
    alice.UserId = QStringLiteral("ALICE");
    alice.Text('C') = "al";
    alice.Text('D') = ConvertPassword("PASS1");
    bob.UserId = QStringLiteral("BOB");
    liar.UserId = QStringLiteral("LIAR");
    for (const AccountRecord &r : {alice, bob, liar})
        ASSERT_TRUE(WriteAccountFile(r));
    const QString dir = AccClientDirectory + QLatin1Char('/');
    ASSERT_TRUE(QFile::rename(dir + "LIAR.acc", dir + "NOTLIAR.acc"));
    env.writeFile(QDir(env.path()).relativeFilePath(dir + "SHORT.acc"), QByteArray(1000, '\0'));

    ASSERT_TRUE(RebuildAccountListFile());
    const auto entries = ReadAccountEntries();
    ASSERT_TRUE(entries);
    QStringList seen;
    for (const AccountListRecord &e : *entries)
        seen.append(e.UserId + '@' + e.IpAddress);
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"ALICE@10.0.0.1", "ALICE@10.0.0.2", "BOB@"}));
    EXPECT_EQ(AccountListCount, 4);
    for (const AccountListRecord &e : *entries) {
        if (e.UserId == QLatin1String("ALICE")) {
            EXPECT_EQ(e.Password, ConvertPassword("PASS1"));
            EXPECT_EQ(e.Handle, QStringLiteral("al"));
            EXPECT_EQ(e.OlcpVersion, QStringLiteral("OLCP303"));
        }
    }
    EXPECT_FALSE(QFile::exists(dir + "NOTLIAR.acc"));
    EXPECT_TRUE(QFile::exists(dir + "SHORT.acc"));
    EXPECT_TRUE(memo.toPlainText().contains(QStringLiteral("SHORT.acc")));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(AccountListFile).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // An unsafe user ID names no file.
    EXPECT_EQ(AccountFilePath(QStringLiteral("../x")), QString());
}

} // namespace
