// OLC post windows against the fake OLC server on port 8011: texts and files
// byte-exact on the wire (plain text below 207, rich text from there on),
// the reply number picked from the board's index, boards and servers that
// refuse, and an Exit in the middle of a file.
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/MessageRecord.h"
#include "core/RichView.h"
#include "olc/BOlcPost.h"
#include "platform/Cp932.h"
#include "support/Modals.h"
#include "support/OlcChildWindows.h"
#include "support/Wait.h"
#include "ui_BEditor.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class OlcPostTest : public OlcChildTest {
protected:
    void SetUp() override
    {
        OlcChildTest::SetUp();
        RepeatTransmit = false;
        PlainTransmit = false;
        std::vector<MessageRecord> titles;
        for (qint32 number : {123, 100123, 200})
            titles.push_back(OlcTitle(number, QStringLiteral("t")));
        addTitles(folder.boardIndex(QStringLiteral("BRD1")), titles);
    }
    static QList<TBOlcPostForm *> posters()
    {
        QList<TBOlcPostForm *> found;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *p = qobject_cast<TBOlcPostForm *>(w))
                found.append(p);
        }
        return found;
    }
    TBOlcPostForm *start()
    {
        const ConnectionStartResult result = StartOlcPoster(host, param, client, &postButton);
        EXPECT_TRUE(postButton.isEnabled());
        return result == ConnectionStartResult::Shown && !posters().isEmpty() ? posters().front() : nullptr;
    }
    static void type(TBOlcPostForm *w, const QString &text) { w->ui->SendRich->Rich()->insertPlainText(text); }
    static bool gone(TBOlcPostForm *w)
    {
        QPointer<TBOlcPostForm> window(w);
        return WaitUntil([&] { return !window; });
    }

    QPushButton postButton;
};

TEST_F(OlcPostTest, TextsAndFilesReachTheServerByteExactPlainBelow207AndRichFromThere)
{
    const QString text = QStringLiteral("最初の行がタイトル\n本文です");
    env.writeFile(QStringLiteral("send/photo.jpg"), QByteArray(30000, 'J'));
    for (const QByteArray &version : {QByteArray("OLCP206"), QByteArray("OLCP303")}) {
        RepeatTransmit = version == "OLCP303";
        FakeOlcServer server(script({{"BRD1", "BPW", {}}}, version));
        TBOlcPostForm *w = start();
        ASSERT_TRUE(w) << version.constData();
        EXPECT_EQ(ChannelStates[1], 4);
        EXPECT_EQ(client->posters[QStringLiteral("BRD1")], 1);
        EXPECT_EQ(w->ui->ChNumLabel->text(), QStringLiteral("1"));
        EXPECT_EQ(w->ReplyEdit->text(), QStringLiteral("-----"));
        EXPECT_EQ(w->focusWidget(), w->TitleEdit);

        // The last five digits pick the newest title that ends in them.
        w->ReplyEdit->setFocus();
        w->ReplyEdit->setText(QStringLiteral("123"));
        QTest::keyClick(w->ReplyEdit, Qt::Key_Return);
        EXPECT_EQ(w->ReplyEdit->text(), QStringLiteral("100123"));
        EXPECT_EQ(w->ReplyNumber(), 100123);
        w->ReplyEdit->setText(QStringLiteral("555"));
        QTest::keyClick(w->ReplyEdit, Qt::Key_Return);
        EXPECT_EQ(w->ReplyNumber(), 100123);

        type(w, text);
        if (version == "OLCP303") // pasted into the one-line field with its line breaks
            w->TitleEdit->setText(QStringLiteral("最初の行がタイトル\r\n二行目"));
        const QByteArray body = version == "OLCP206" ? plat::ToCp932(QString(text).replace('\n', "\r\n"))
                                                     : w->ui->SendRich->SaveToBuffer();
        QTest::mouseClick(w->ui->SendButton, Qt::LeftButton);
        if (version == "OLCP206") {
            ASSERT_TRUE(gone(w));
        } else {
            EXPECT_EQ(w->ui->SendStatusBar->currentMessage(), QStringLiteral("Success Transmit"));
            ModalAnswers answers;
            answers.then(QStringLiteral("OpenDialogF"), ChooseFile(env.file(QStringLiteral("send/photo.jpg"))));
            QTest::mouseClick(w->ui->FileButton, Qt::LeftButton);
            EXPECT_TRUE(answers.done());
            EXPECT_EQ(SendDirectory, env.file(QStringLiteral("send")));
            // Nothing chosen for the next file: the window goes.
            answers.then(QStringLiteral("OpenDialogF"), [](QWidget *dialog) { static_cast<QDialog *>(dialog)->reject(); });
            QTest::mouseClick(w->ui->FileButton, Qt::LeftButton);
            EXPECT_TRUE(answers.done());
            ASSERT_TRUE(gone(w));
        }
        server.peer().wait();
        const QList<OlcPost> posts = server.posts();
        ASSERT_EQ(posts.size(), version == "OLCP206" ? 1 : 2);
        EXPECT_EQ(posts[0].kind, "TEXT");
        EXPECT_EQ(posts[0].replyTo, 100123);
        EXPECT_EQ(posts[0].title, plat::ToCp932(QStringLiteral("最初の行がタイトル")));
        EXPECT_EQ(posts[0].body, body);
        if (posts.size() == 2) {
            EXPECT_EQ(posts[1].kind, "FILE");
            EXPECT_EQ(posts[1].title, "photo.jpg");
            EXPECT_EQ(posts[1].fileName, "photo.jpg");
            EXPECT_EQ(posts[1].body, QByteArray(30000, 'J'));
        }
        EXPECT_EQ(server.commands().back(), "OFF");
        EXPECT_EQ(ChannelStates[1], 0);
        EXPECT_EQ(client->posters[QStringLiteral("BRD1")], 0);
    }
}

// Boards and servers that refuse: where it is said, whether the window stays,
// and what went out.
TEST_F(OlcPostTest, RefusalsAreSaidWhereTheyBelongAndSendNothingMore)
{
    struct Case {
        const char *name;
        QByteArray handshake = "ACK", key = "BRD1", postAnswer = "ACK", textAnswer = "ACK";
        QString text = QStringLiteral("hello");
        QString file;
        QString clientStatus;
        QString windowStatus;      // the window stays open with it
        QList<QByteArray> commands;
    };
    const QString longName = QString(81, QLatin1Char('n')), twoLines = QStringLiteral("two\rlines.txt");
    env.writeFile(longName, "x");
    env.writeFile(twoLines, "x");
    const std::vector<Case> cases = {
        {"busy server", "CAN", "BRD1", "ACK", "ACK", {}, {}, QStringLiteral("... Target OLC Server Busy ! ..."), {}, {}},
        {"no OLC", "NO", "BRD1", "ACK", "ACK", {}, {}, QStringLiteral("... On-Line Community not serviced ! ..."), {}, {}},
        {"unknown board", "ACK", "NONE", "ACK", "ACK", {}, {}, QStringLiteral("... Board-Key Not Found ! ..."), {},
         {"POST NONE"}},
        {"full board", "ACK", "BRD1", "NAK", "ACK", {}, {}, QStringLiteral("... Board Full ! ..."), {},
         {"POST BRD1 BPW"}},
        {"read-only board", "ACK", "BRD1", "R/O", "ACK", {}, {}, QStringLiteral("... Read Only Board! ..."), {},
         {"POST BRD1 BPW"}},
        {"text refused: full", "ACK", "BRD1", "ACK", "NAK", QStringLiteral("hello"), {}, {},
         QStringLiteral("ボードが満杯になりました! 登録できません"), {"POST BRD1 BPW", "TEXT", "OFF"}},
        {"text refused: read-only", "ACK", "BRD1", "ACK", "R/O", QStringLiteral("hello"), {}, {},
         QStringLiteral("このボードは書き込み禁止です!"), {"POST BRD1 BPW", "TEXT", "OFF"}},
        {"text over 65535 bytes", "ACK", "BRD1", "ACK", "ACK", QString(70000, QLatin1Char('a')), {}, {},
         QStringLiteral("*** Text too long : "), {"POST BRD1 BPW", "OFF"}},
        {"file name over 80 bytes", "ACK", "BRD1", "ACK", "ACK", {}, env.file(longName), {},
         QStringLiteral("*** File Name over 80 Bytes ***"), {"POST BRD1 BPW", "OFF"}},
        {"file name with a line break", "ACK", "BRD1", "ACK", "ACK", {}, env.file(twoLines), {},
         QStringLiteral("*** File Name with a Line Break ***"), {"POST BRD1 BPW", "OFF"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OlcServerScript s = script({{"BRD1", "BPW", {}}});
        s.answer = c.handshake;
        s.readBoards[0].postAnswer = c.postAnswer;
        s.readBoards[0].textAnswer = c.textAnswer;
        param.BoardKey = QString::fromLatin1(c.key);
        client->statuses.clear();
        FakeOlcServer server(s);
        const ConnectionStartResult result = StartOlcPoster(host, param, client, &postButton);
        EXPECT_TRUE(postButton.isEnabled());
        if (c.handshake != "ACK") {
            EXPECT_EQ(result, ConnectionStartResult::Failed);
        } else {
            ASSERT_EQ(result, ConnectionStartResult::Shown);
            TBOlcPostForm *w = posters().front();
            if (!c.windowStatus.isEmpty()) {
                type(w, c.text);
                ModalAnswers answers;
                if (!c.file.isEmpty())
                    answers.then(QStringLiteral("OpenDialogF"), ChooseFile(c.file));
                QTest::mouseClick(c.file.isEmpty() ? w->ui->SendButton : w->ui->FileButton, Qt::LeftButton);
                EXPECT_TRUE(w->ui->SendStatusBar->currentMessage().startsWith(c.windowStatus))
                    << w->ui->SendStatusBar->currentMessage().toStdString();
                ASSERT_FALSE(posters().isEmpty());
                w->close();
            }
            ASSERT_TRUE(gone(w));
        }
        server.peer().wait();
        WaitUntil([&] { return c.clientStatus.isEmpty() || !client->statuses.isEmpty(); });
        EXPECT_EQ(client->statuses, c.clientStatus.isEmpty() ? QStringList() : QStringList{c.clientStatus});
        EXPECT_EQ(server.commands(), c.commands);
        EXPECT_TRUE(server.posts().isEmpty());
        EXPECT_EQ(ChannelStates[1], 0);
    }
}

TEST_F(OlcPostTest, ExitDuringAFileEndsTheTransferAndSendsNoOffIntoIt)
{
    env.writeFile(QStringLiteral("big.bin"), QByteArray(8 * 1024 * 1024, 'B'));
    OlcReadBoard board{"BRD1", "BPW", {}};
    board.slowFile = true;
    FakeOlcServer server(script({board}));
    TBOlcPostForm *w = start();
    ASSERT_TRUE(w);
    QPointer<TBOlcPostForm> window(w);
    QTimer exit;
    QObject::connect(&exit, &QTimer::timeout, [&] {
        if (window && window->ui->SendBar->isVisible() && window->ui->SendBar->value() > 0)
            QTest::mouseClick(window->ui->ExitButton, Qt::LeftButton);
    });
    exit.start(5);
    ModalAnswers answers;
    answers.then(QStringLiteral("OpenDialogF"), ChooseFile(env.file(QStringLiteral("big.bin"))));
    QTest::mouseClick(w->ui->FileButton, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !window; }));
    server.peer().wait();
    // The transfer had begun, and nothing followed its bytes.
    EXPECT_GT(server.peer().received().size(), 1024);
    EXPECT_FALSE(server.peer().received().endsWith("OFF\r"));
    EXPECT_EQ(client->statuses, QStringList{QStringLiteral("Post Failure !")});
    EXPECT_EQ(ChannelStates[1], 0);
    EXPECT_EQ(client->posters[QStringLiteral("BRD1")], 0);
}

} // namespace
