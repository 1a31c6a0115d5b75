#include "OlcChildWindows.h"

#include "MainWindow.h"
#include "Wait.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "olc/BOlcPost.h"
#include "olc/BOlcRead.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"

#include <QApplication>

namespace testsupport {

MessageRecord OlcTitle(qint32 number, const QString &title, std::uint8_t flags, qint32 bytes, const QString &fileName)
{
    MessageRecord r;
    r.Number = number;
    r.Title = title;
    r.Flags = flags;
    r.Start = -1;
    r.Bytes = bytes;
    r.FileName = fileName;
    r.Deleted = title == QLatin1String("<<Deleted>>");
    return r;
}

OlcMessage OlcText(qint32 number, const QByteArray &body, bool file)
{
    OlcMessage m;
    m.number = number;
    m.body = body;
    m.file = file;
    return m;
}

void OlcChildTest::SetUp()
{
    main = StartMainWindow(env);
    OlcClientDirectory = env.file(QStringLiteral("OlcClient"));
    folder = olc::ServerFolder(QStringLiteral("SRV"));
    ChannelStates[0] = 2; // the OLC client window's channel
    host.IpAddress = QStringLiteral("127.0.0.1");
    host.HostName = QStringLiteral("olc host");
    host.Memo = QStringLiteral("メモ");
    host.Handle = QStringLiteral("me");
    host.UserId = QStringLiteral("MYUSERID");
    host.OlcName = QStringLiteral("SRV");
    host.Channel = 0;
    BoardRecord board;
    board.BoardKey = QStringLiteral("BRD1");
    board.BoardName = QStringLiteral("Board One");
    ASSERT_TRUE(olc::PrepareBoardFiles(folder, board));
    client = std::make_shared<FakeOlcClient>();
    param.ServerChannel = 7;
    param.BoardKey = QStringLiteral("BRD1");
    param.BoardPassword = "BPW";
    param.LinkKey = QStringLiteral("BRD1");
}

void OlcChildTest::TearDown()
{
    const auto windows = [] {
        QList<QWidget *> found;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (qobject_cast<TBOlcReadForm *>(w) || qobject_cast<TBOlcPostForm *>(w))
                found.append(w);
        }
        return found;
    };
    for (QWidget *w : windows())
        w->close();
    EXPECT_TRUE(WaitUntil([&] { return windows().isEmpty() && plat::FreeOnTerminateThread::Running() == 0; }));
    delete main;
}

void OlcChildTest::addTitles(const QString &path, const std::vector<MessageRecord> &titles)
{
    plat::RecordFile index(path, MessageRecord::Size);
    ASSERT_TRUE(index.open());
    for (const MessageRecord &r : titles)
        ASSERT_GT(index.append(r.encode()), 0);
}

MessageRecord OlcChildTest::record(const QString &path, qint64 r)
{
    plat::RecordFile index(path, MessageRecord::Size);
    QByteArray image;
    EXPECT_TRUE(index.open() && index.read(r, image)) << path.toStdString() << ' ' << r;
    return MessageRecord::decode(image);
}

OlcServerScript OlcChildTest::script(std::vector<OlcReadBoard> boards, const QByteArray &version)
{
    OlcServerScript s;
    s.version = version;
    s.readBoards = std::move(boards);
    return s;
}

} // namespace testsupport
