// The account list's presence over UDP port 8011 against a fake account
// server on another address: ENTITY passes and their answers, the versions
// they bring, the presence list and a TEL to a member, Off, Delete, Restruct
// and QUIT.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BUdpServ.h"
#include "platform/Cp932.h"
#include "platform/FreeOnTerminateThread.h"
#include "support/FakeAccountServer.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "tel/AccountRecord.h"
#include "tel/BAccLst.h"
#include "tel/BSendTel.h"
#include "ui_BAccLst.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <sched.h>

using namespace testsupport;

namespace {

constexpr const char *ProgramAddress = "127.0.0.1";
constexpr const char *ServerAddress = "127.0.0.2";
enum { ReplyColumn = 1, FlagColumn = 2, VersionColumn = 5, IdColumn = 6 };

class AccountPresenceTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        LoadHostList();
        ASSERT_TRUE(StartUdpServerOn(ProgramAddress));
        // ALICE and DAVE on a server of version 303, BOB on one of 209, CAROL on none.
        for (auto [id, version] : {std::pair{"ALICE", "OLCP303"}, {"BOB", "OLCP209"}, {"DAVE", "OLCP303"}}) {
            HostRecord h;
            h.IpAddress = QLatin1String(ServerAddress);
            h.HostName = QStringLiteral("server");
            h.OlcpVersion = QLatin1String(version);
            h.UserId = QLatin1String(id);
            hostIndex[id] = AppendHostRecord(h);
            ASSERT_GT(hostIndex[id], 0);
        }
        for (const char *id : {"ALICE", "BOB", "CAROL", "DAVE"}) {
            AccountRecord r;
            r.UserId = QLatin1String(id);
            r.Text('C') = QByteArray(id).toLower();
            r.Text('D') = ConvertPassword(QByteArray(id) + "PW");
            ASSERT_TRUE(WriteAccountFile(r));
        }
        AccountListFile = AccClientDirectory + QStringLiteral("/Account.lst");
        ASSERT_TRUE(RebuildAccountListFile());
        ClientTimer = true;
        ClientInterval = 7;
        list = new TBAccountListForm();
        list->InstallSeams();
        list->InitAccountList();
        list->show();
        grid = list->ui->AccountListGrid;
        header = stampOldHeader();
    }
    void TearDown() override
    {
        delete list;
        delete form;
    }

    int rowOf(const char *id) const
    {
        for (int row = 0; row < grid->rowCount(); ++row)
            if (grid->item(row, IdColumn)->text() == QLatin1String(id))
                return row;
        return -1;
    }
    QString cell(const char *id, int column) const { return grid->item(rowOf(id), column)->text(); }
    QStringList sentTo(const FakeAccountUdp &server, const QByteArray &command) const
    {
        QStringList ids;
        for (const auto &d : server.received(command))
            ids.append(QString::fromLatin1(d.text.split('\r').value(2)));
        ids.sort();
        return ids;
    }
    // Record 0 of Account.lst; one made on another day, written in its place.
    static QByteArray listHeader()
    {
        QFile file(AccountListFile);
        return file.open(QIODevice::ReadOnly) ? file.read(127) : QByteArray();
    }
    static QByteArray stampOldHeader()
    {
        QFile file(AccountListFile);
        const QByteArray old = AccountListHeader().replace(1, 10, "1999/12/31");
        return file.open(QIODevice::ReadWrite) && file.write(old) == old.size() ? old : QByteArray();
    }
    static QByteArray announcement(const QByteArray &command, const QByteArray &id)
    {
        return "OLCP303L\r" + command + '\r' + id + '\r' + ConvertPassword(id + "PW") + '\r' + id.toLower() + '\r';
    }

    TBLookupForm *form = nullptr;
    TBAccountListForm *list = nullptr;
    QTableWidget *grid = nullptr;
    std::map<std::string, int> hostIndex;
    QByteArray header;
};

TEST_F(AccountPresenceTest, PassesAnswersPresenceATelToAMemberOffDeleteRestructAndQuit)
{
    FakeAccountUdp server(ServerAddress);
    server.answerEntity("ACK", "OLCP304");
    server.setMembers({{"127.0.0.1", "ZED", "zed", "12:34:56"}});
    EXPECT_EQ(list->EntityTimer->interval(), 3000);
    EXPECT_TRUE(list->EntityTimer->isActive());
    list->EntityTimer->stop(); // the passes run when the test says
    ASSERT_EQ(grid->rowCount(), 4);
    EXPECT_EQ(cell("CAROL", 0), QString()); // no server: not valid
    EXPECT_EQ(cell("ALICE", 0), QStringLiteral("Valid"));

    // DAVE opts out; the flag reaches Account.lst.
    grid->selectRow(rowOf("DAVE"));
    QTest::mouseClick(list->ui->OffButton, Qt::LeftButton);
    EXPECT_EQ(cell("DAVE", FlagColumn), QStringLiteral("OFF"));
    EXPECT_EQ(list->ui->OffButton->text(), QStringLiteral("On"));
    EXPECT_EQ(ReadAccountEntries()->at(rowOf("DAVE")).NoPresence, 1);
    EXPECT_EQ(listHeader(), header);

    // Off and Delete act on a selected row only.
    grid->setCurrentCell(-1, -1);
    QTest::mouseClick(list->ui->OffButton, Qt::LeftButton);
    QTest::mouseClick(list->ui->DeleteButton, Qt::LeftButton);
    EXPECT_EQ(ReadAccountEntries()->size(), 4);

    // ACKs that no ENTITY of this pass awaits (forged, repeated, in other versions) are dropped.
    const auto forgeAcks = [&] {
        for (int i = 0; i < 100; ++i)
            server.send((i % 2 ? "OLCP305" : "OLCP306") + QByteArray("\rACK\rALICE\r"), ProgramAddress);
        const qsizetype replies = server.received("REPLY").size();
        server.send("OLCP303\rQUERY\r\r", ProgramAddress); // answered once those are handled
        ASSERT_TRUE(WaitUntil([&] { return server.received("REPLY").size() > replies; }));
        QCoreApplication::processEvents();
    };
    forgeAcks();
    EXPECT_EQ(cell("ALICE", ReplyColumn), QString());

    // A pass reaches ALICE alone: BOB's server is below 210, CAROL has none, DAVE is off.
    list->EntityTimerTimer();
    EXPECT_EQ(list->EntityTimer->interval(), 7 * 60000);
    ASSERT_TRUE(WaitUntil([&] { return cell("ALICE", ReplyColumn) == QLatin1String("ACK"); }, 5000));
    forgeAcks();
    EXPECT_EQ(sentTo(server, "ENTITY"), QStringList{"ALICE"});
    const auto entity = server.received("ENTITY").first();
    EXPECT_EQ(entity.text, announcement("ENTITY", "ALICE"));
    EXPECT_EQ(entity.size, DatagramBytes);
    // The answer's version reaches the grid, Account.lst and the host list.
    EXPECT_EQ(cell("ALICE", VersionColumn), QStringLiteral("OLCP304"));
    EXPECT_EQ(ReadAccountEntries()->at(rowOf("ALICE")).OlcpVersion, QStringLiteral("OLCP304"));
    HostRecord host;
    ASSERT_TRUE(ReadHostRecord(hostIndex["ALICE"], host));
    EXPECT_EQ(host.OlcpVersion, QStringLiteral("OLCP304"));
    EXPECT_EQ(listHeader(), header);
    // An answered row is not announced again; "Entity" does nothing with the timer off.
    list->EntityTimerTimer();
    list->ui->ClientTimerCheckBox->click();
    EXPECT_FALSE(list->EntityTimer->isActive());
    EXPECT_EQ(cell("ALICE", ReplyColumn), QString());
    QTest::mouseClick(list->ui->EntityButton, Qt::LeftButton);
    list->ui->ClientTimerCheckBox->click();
    EXPECT_EQ(list->EntityTimer->interval(), 1000);
    EXPECT_TRUE(list->EntityTimer->isActive());

    // Shift alone arms "Entity" for a pass soon, until the window is shown again.
    TapModifierAlone(list, Qt::Key_Shift);
    for (int interval : {100, 100, 5000}) {
        if (interval == 5000) {
            list->hide();
            list->show();
        }
        list->EntityTimer->setInterval(5000);
        QTest::mouseClick(list->ui->EntityButton, Qt::LeftButton); // no row selected: no ENTITY
        EXPECT_EQ(list->EntityTimer->interval(), interval);
    }

    // After a rebuild every valid server is reached, whatever its version.
    QTest::mouseClick(list->ui->RestructButton, Qt::LeftButton);
    list->EntityTimer->stop();
    EXPECT_NE(listHeader(), header); // a rebuilt list is a new list
    header = stampOldHeader();
    list->EntityTimerTimer();
    ASSERT_TRUE(WaitUntil([&] { return cell("BOB", ReplyColumn) == QLatin1String("ACK") &&
                                       cell("DAVE", ReplyColumn) == QLatin1String("ACK"); }, 5000));
    EXPECT_EQ(sentTo(server, "ENTITY"), (QStringList{"ALICE", "ALICE", "BOB", "DAVE"}));

    // Presence at ALICE's server: the members it names, however soon, and one from a stranger that is dropped.
    grid->selectRow(rowOf("ALICE"));
    ASSERT_TRUE(list->ui->PresenceButton->isEnabled());
    // Every thread on one processor: the server's answer is handled before the click returns.
    const auto pin = [](const cpu_set_t &cpus) {
        for (const QString &thread : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            sched_setaffinity(thread.toInt(), sizeof cpus, &cpus);
    };
    cpu_set_t all, one;
    sched_getaffinity(0, sizeof all, &all);
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    pin(one);
    QTest::mouseClick(list->ui->PresenceButton, Qt::LeftButton);
    pin(all);
    EXPECT_TRUE(list->PresenceView());
    EXPECT_EQ(list->ui->TitleLabel->text(), QStringLiteral("Presence List Window"));
    EXPECT_EQ(list->property("HelpContext").toString(), QStringLiteral("4103"));
    EXPECT_EQ(list->ui->ServerAddressLabel->text(), QLatin1String(ServerAddress));
    FakeAccountUdp stranger("127.0.0.3");
    stranger.send("OLCP303\rMEMBER\r10.9.9.9\rEVE\reve\r0\r", ProgramAddress);
    QTableWidget *members = list->ui->PresenceListGrid;
    ASSERT_TRUE(WaitUntil([&] { return members->rowCount() == 1; }, 5000));
    EXPECT_EQ(sentTo(server, "PRESENCE"), QStringList{"DUMMY"});
    EXPECT_EQ(members->item(0, 2)->text(), QStringLiteral("ZED"));
    EXPECT_EQ(members->item(0, 4)->text(), QStringLiteral("12:34:56"));
    EXPECT_EQ(members->currentRow(), 0);
    EXPECT_EQ(CurrentHost.IpAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(CurrentHost.Memo, QStringLiteral("ZED : zed"));
    EXPECT_EQ(CurrentHost.UserId, QStringLiteral("ALICE"));
    EXPECT_EQ(CurrentHost.Handle, QStringLiteral("alice"));

    // A TEL to the member carries the user's own account on that server.
    QByteArray login;
    auto peer = FakePeer::listen(
        [&](FakePeer &p) {
            login = ReadOlcpLogin(p, "OLCP303L").userId;
            p.sendLine("ACK\rACK\r");
            p.expectLine();
        },
        8011);
    QTest::mouseClick(list->ui->EntityButton, Qt::LeftButton);
    TBSendTelegramForm *tel = ShownSendWindow();
    ASSERT_TRUE(tel);
    QPointer<TBSendTelegramForm> telWindow(tel);
    tel->close();
    ASSERT_TRUE(WaitUntil([&] { return !telWindow; }));
    peer->wait();
    EXPECT_EQ(login, "ALICE");
    QTest::mouseClick(list->ui->PresenceButton, Qt::LeftButton); // back to the accounts
    EXPECT_FALSE(list->PresenceView());

    // Deleting BOB says QUIT to his server, removes his file and his user ID in the host list.
    grid->selectRow(rowOf("BOB"));
    ModalAnswers answers;
    answers.then(QStringLiteral("DeleteQuestion"), PressButton(QMessageBox::Yes));
    QTest::mouseClick(list->ui->DeleteButton, Qt::LeftButton);
    EXPECT_TRUE(answers.done());
    EXPECT_EQ(rowOf("BOB"), -1);
    EXPECT_EQ(ReadAccountEntries()->size(), 3);
    EXPECT_FALSE(QFile::exists(AccountFilePath(QStringLiteral("BOB"))));
    EXPECT_EQ(listHeader(), header);
    ASSERT_TRUE(ReadHostRecord(hostIndex["BOB"], host));
    EXPECT_EQ(host.UserId, QString());
    ASSERT_TRUE(WaitUntil([&] { return sentTo(server, "QUIT") == QStringList{"BOB"}; }, 5000));

    // At exit every acknowledged server hears QUIT.
    list->SendQuitToAccounts();
    ASSERT_TRUE(WaitUntil([&] { return sentTo(server, "QUIT").size() == 3; }, 5000));
    EXPECT_EQ(sentTo(server, "QUIT"), (QStringList{"ALICE", "BOB", "DAVE"}));
    EXPECT_EQ(server.received("QUIT").first().text, announcement("QUIT", "BOB"));
}

TEST_F(AccountPresenceTest, IntervalsAreKeptSaneAndAnUnreadableListIsRebuilt)
{
    for (auto [text, minutes] : {std::pair{"0", 10}, {"abc", 10}, {"-3", 10}, {"999999999", 999999999}, {"3", 3}}) {
        list->ui->ClientIntervalEdit->setText(QLatin1String(text));
        emit list->ui->ClientIntervalEdit->editingFinished();
        EXPECT_EQ(ClientInterval, minutes) << text;
        EXPECT_EQ(list->ui->ClientIntervalEdit->text(), QString::number(minutes));
    }
    EXPECT_EQ(TBAccountListForm::PassInterval(0), 10 * 60000);
    EXPECT_EQ(TBAccountListForm::PassInterval(1000000), INT_MAX); // no overflow

    // A list with a wrong signature is logged and rebuilt; one with anything after it loads as it is.
    QFile file(AccountListFile);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.seek(76);
    file.write("X");
    file.close();
    list->LoadAccountList();
    EXPECT_EQ(grid->rowCount(), 4);
    QCoreApplication::processEvents();
    EXPECT_TRUE(form->ui->LookupMemo->toPlainText().contains(QStringLiteral("Account List File : Data Error !")));
    const auto entries = ReadAccountEntries();
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 4);

    // A dragged row moves its entry, and its answer with it.
    header = stampOldHeader();
    grid->item(0, ReplyColumn)->setText(QStringLiteral("ACK"));
    const QString first = grid->item(0, IdColumn)->text();
    grid->verticalHeader()->moveSection(0, 2);
    EXPECT_EQ(ReadAccountEntries()->at(2).UserId, first);
    EXPECT_EQ(grid->item(2, IdColumn)->text(), first);
    EXPECT_EQ(grid->item(2, ReplyColumn)->text(), QStringLiteral("ACK"));
    EXPECT_EQ(grid->currentRow(), 2);
    EXPECT_EQ(listHeader(), header);
}

} // namespace
