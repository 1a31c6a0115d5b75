// A user of the program in the test process (10.77.0.1) sends TELs from the
// main window to Kalvex_L on host B (10.77.0.2) of a NetLab: looks B up,
// presses TEL, types Japanese text and presses Send; then a rich text, and a
// 10 MiB file. B stores each exactly as it went out, and this side's TEL log
// holds the sent records.
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/MessageRecord.h"
#include "core/RichView.h"
#include "platform/Cp932.h"
#include "platform/FreeOnTerminateThread.h"
#include "platform/RecordFile.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/NetLab.h"
#include "support/ProgramProcess.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "tel/BSendTel.h"
#include "tel/BTelLog.h"
#include "ui_BEditor.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QThread>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class SendAcrossHosts : public TempEnvTest {
protected:
    void SetUp() override
    {
        runningB = kalvexB.start();
        ASSERT_TRUE(kalvexB.waitUntilUp());
        ASSERT_TRUE(WaitForTcpServer(b.address()));
        form = StartMainWindow(env);
        ui = form->ui.get();
        RepeatTransmit = false;
    }
    void TearDown() override
    {
        if (TBSendTelegramForm *w = ShownSendWindow())
            w->close();
        EXPECT_TRUE(WaitUntil([] { return !ShownSendWindow() && plat::FreeOnTerminateThread::Running() == 0; }));
        delete form;
        if (runningB && runningB->state() == QProcess::Running)
            ProgramProcess::terminate(*runningB);
    }

    // As a user does it: B's address into the host name field, Enter for the
    // lookup, then TEL. The send window once it shows.
    TBSendTelegramForm *openSendWindow()
    {
        ui->HostNameEdit->clear();
        QTest::keyClicks(ui->HostNameEdit, b.address());
        QTest::keyClick(ui->HostNameEdit, Qt::Key_Return);
        if (!WaitUntil([this] { return ui->TelButton->isEnabled(); }))
            return nullptr;
        QTest::mouseClick(ui->TelButton, Qt::LeftButton);
        return ShownSendWindow();
    }
    // Presses a button that ends the window's conversation (Repeat mode off)
    // and waits until the window is gone.
    static bool pressAndWaitClosed(TBSendTelegramForm *w, QPushButton *button)
    {
        QPointer<TBSendTelegramForm> window(w);
        QTest::mouseClick(button, Qt::LeftButton);
        return WaitUntil([&] { return !window; }, 60000);
    }
    bool waitStoredByB(size_t count) const
    {
        return WaitUntil([&] { return kalvexB.storedTels().size() >= count; });
    }
    static QByteArray sentBody(const MessageRecord &r) { return plat::ReadFileAt(TelTextFile(), r.Start, r.Bytes); }

    NetLab lab;
    NetHost &b = lab.addHost();
    ProgramProcess kalvexB{b};
    std::unique_ptr<QProcess> runningB;
    TBLookupForm *form = nullptr;
    Ui::TBLookupForm *ui = nullptr;
};

TEST_F(SendAcrossHosts, TextRichTextAndAFileArriveAsSentAndAreLoggedOnBothSides)
{
    // Japanese text typed into the editor.
    TBSendTelegramForm *w = openSendWindow();
    ASSERT_TRUE(w);
    const QString japanese = QStringLiteral("こんにちは、表示のテストです ｶﾙﾍﾞｸｽ");
    TypeText(w->ui->SendRich->Rich(), japanese);
    ASSERT_TRUE(pressAndWaitClosed(w, w->ui->SendButton));
    ASSERT_TRUE(waitStoredByB(1));

    // Rich text: a bold red word in a plain line.
    w = openSendWindow();
    ASSERT_TRUE(w);
    QTextEdit *editor = w->ui->SendRich->Rich();
    editor->insertPlainText(QStringLiteral("重要: "));
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    bold.setForeground(Qt::red);
    editor->textCursor().insertText(QStringLiteral("至急"), bold);
    ASSERT_TRUE(pressAndWaitClosed(w, w->ui->SendButton));
    ASSERT_TRUE(waitStoredByB(2));

    // A 10 MiB file, chosen in the file dialog.
    QByteArray contents(10 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(8011).fillRange(reinterpret_cast<quint32 *>(contents.data()), contents.size() / 4);
    env.writeFile(QStringLiteral("大きな資料.bin"), contents);
    w = openSendWindow();
    ASSERT_TRUE(w);
    ModalAnswers answers;
    answers.then(QStringLiteral("OpenDialogF"), ChooseFile(env.file(QStringLiteral("大きな資料.bin"))));
    ASSERT_TRUE(pressAndWaitClosed(w, w->ui->FileButton));
    EXPECT_TRUE(answers.done());
    ASSERT_TRUE(waitStoredByB(3));

    const std::vector<MessageRecord> sent = StoredTels();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].Title, QStringLiteral("Send  <<Text>>"));
    EXPECT_EQ(sent[1].Title, QStringLiteral("Send  <<Text>>"));
    EXPECT_TRUE(sent[2].Title.startsWith(QStringLiteral("Send  <<File>> ; "))) << sent[2].Title.toStdString();
    EXPECT_EQ(sent[2].FileName, QStringLiteral("大きな資料.bin"));

    const std::vector<MessageRecord> received = kalvexB.storedTels();
    ASSERT_EQ(received.size(), 3u);
    for (const MessageRecord &r : received)
        EXPECT_EQ(r.Address, plat::inet_addr(NetLab::ownAddress()));

    // B is a peer of version 303: the texts go as RTF, byte for byte as sent.
    EXPECT_EQ(received[0].Title, QStringLiteral("Recv  <<Text>>"));
    const QByteArray first = kalvexB.storedText(received[0]);
    EXPECT_EQ(first, sentBody(sent[0]));
    EXPECT_TRUE(first.startsWith("{\\rtf"));
    TRichView view;
    view.LoadFromBuffer(first);
    EXPECT_EQ(view.Rich()->toPlainText(), japanese);

    EXPECT_EQ(received[1].Title, QStringLiteral("Recv  <<Text>>"));
    const QByteArray second = kalvexB.storedText(received[1]);
    EXPECT_EQ(second, sentBody(sent[1]));
    view.LoadFromBuffer(second);
    EXPECT_EQ(view.Rich()->toPlainText(), QStringLiteral("重要: 至急"));
    bool foundBold = false;
    for (auto it = view.Rich()->document()->begin().begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (fragment.text().contains(QStringLiteral("至急"))) {
            foundBold = fragment.charFormat().fontWeight() >= QFont::Bold &&
                        fragment.charFormat().foreground().color() == QColor(Qt::red);
        }
    }
    EXPECT_TRUE(foundBold) << second.toStdString();

    // The file arrives whole, with the rate in the record's title.
    EXPECT_TRUE(received[2].Title.startsWith(QStringLiteral("Recv  <<File>> ; ")));
    EXPECT_TRUE(received[2].Title.endsWith(QStringLiteral("KBytes/s")));
    EXPECT_EQ(received[2].FileName, QStringLiteral("大きな資料.bin"));
    EXPECT_EQ(b.folder().readFile(QStringLiteral("Telegram/大きな資料.bin")), contents);
}

} // namespace
