// The receive window: which TEL it shows and how (labels, text, RTF, HTML,
// pictures, files), broken records and counts, the reply record it builds,
// and closing with TELs still unread.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "core/ScrollImage.h"
#include "platform/ArchiverLibrary.h"
#include "platform/Cp932.h"
#include "platform/DayDate.h"
#include "platform/RecordFile.h"
#include "platform/WinMessages.h"
#include "support/Metafiles.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "tel/BRecvTel.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"
#include "ui_BRecvTel.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

HostRecord Peer(const QString &address, const QString &handle = QStringLiteral("Taro"))
{
    HostRecord peer;
    peer.IpAddress = address;
    peer.Handle = handle;
    peer.UserId = QStringLiteral("USER0001");
    peer.OlcpVersion = QStringLiteral("OLCP303L");
    return peer;
}

QByteArray JpegOf(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "JPG", 90));
    return bytes;
}

// Answers the next modal dialog of its kind once it is up.
template <typename Dialog = QMessageBox>
void AnswerModal(std::type_identity_t<std::function<void(Dialog *)>> answer)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (auto *box = qobject_cast<Dialog *>(QApplication::activeModalWidget())) {
            poll->deleteLater();
            answer(box);
        }
    });
    poll->start(5);
}

class RecvTel : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        main = testsupport::StartMainWindow(env);
        form = BRecvTelegramForm;
        ASSERT_NE(form, nullptr);
        ui = form->ui.get();
        mainUi = main->ui.get();
        mainUi->LockCheckBox->setChecked(true); // arriving TELs are only counted
    }
    void TearDown() override
    {
        delete form;
        delete main;
        qDeleteAll(sendWindows);
    }

    void storeText(const HostRecord &from, const QByteArray &body, std::uint8_t flags = 0,
                   const QString &title = QLatin1String(TelTitle::RecvText))
    {
        MessageRecord record;
        record.Title = title;
        record.Flags = flags;
        record.Bytes = body.size();
        ASSERT_TRUE(StoreTel(from, record, body));
    }
    void storeFile(const QString &name, const QByteArray &bytes)
    {
        env.writeFile(QStringLiteral("Telegram/") + name, bytes);
        MessageRecord record;
        record.Title = TelTitle::RecvFile(QStringLiteral("   1.000"));
        record.Flags = MessageRecord::FileFlag;
        record.Bytes = bytes.size();
        record.FileName = name;
        ASSERT_TRUE(StoreTel(Peer(QStringLiteral("192.168.10.5")), record, {}));
    }
    void storeSent(const QByteArray &body)
    {
        SentTel sent;
        sent.target = Peer(QStringLiteral("192.168.10.77"));
        sent.text = body;
        MessageRecord record;
        record.Title = TelTitle::SendText;
        record.Bytes = body.size();
        ASSERT_TRUE(LogSentTel(sent, record));
    }
    // Appends a record as it stands, bypassing StoreTel's checks.
    void appendRaw(const MessageRecord &record)
    {
        plat::RecordFile file(TelDataFile(), MessageRecord::Size);
        ASSERT_TRUE(file.open());
        ASSERT_GT(file.append(record.encode()), 0);
    }
    // Unchecking Lock opens the waiting TELs through the main window.
    void openThroughLock()
    {
        mainUi->LockCheckBox->click();
        ASSERT_TRUE(form->isVisible());
    }
    QString body() const { return ui->RecvRich->Rich()->toPlainText(); }
    qint64 recordCount() const
    {
        plat::RecordFile file(TelDataFile(), MessageRecord::Size);
        return file.open() ? file.count() : -1;
    }
    // A fake send window kind: the window shows at once and keeps the record it got.
    void fakeSendWindows()
    {
        TelSendWindowKind.CreateWindow = [this](const HostRecord &host) {
            sentTo.push_back(host);
            sendWindows.push_back(new QWidget);
            return sendWindows.back();
        };
        TelSendWindowKind.StartThread = [](QWidget *window, ConnectionStartReporter reporter) {
            window->show();
            reporter.Shown();
        };
        TelSendWindowKind.FirstControl = [](QWidget *window) { return window; };
    }

    TBLookupForm *main = nullptr;
    TBRecvTelegramForm *form = nullptr;
    Ui::TBRecvTelegramForm *ui = nullptr;
    Ui::TBLookupForm *mainUi = nullptr;
    std::vector<HostRecord> sentTo;
    std::vector<QWidget *> sendWindows;
};

TEST_F(RecvTel, ShowsUnreadTelsOldestFirstAndPassesOverSentOnes)
{
    // Created with the defaults, the window switches to its own HTML view and says so once.
    EXPECT_FALSE(UseWebBrowser);
    EXPECT_TRUE(UseHtmlControl);
    EXPECT_EQ(HtmlViewer, 1);
    int notices = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        notices += w->objectName() == QLatin1String("HtmlDisplayNotice") && w->isVisible();
    EXPECT_EQ(notices, 1);
    // A setting that already names the HTML control, or an outside viewer, stays as it is, untold.
    for (qint32 viewer : {1, 2}) {
        HtmlViewer = viewer;
        UseWebBrowser = true;
        TBRecvTelegramForm another;
        EXPECT_EQ(HtmlViewer, viewer);
        EXPECT_EQ(another.findChildren<QMessageBox *>().size(), 0);
    }
    HtmlViewer = 1;
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Ｋａｌｖｅｘ [ TEL Server ]"));
    EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(ui->NextButton->toolTip(), QStringLiteral("待機している次のTELを表示する"));

    // With Lock off, a stored TEL that is the only unread one pops the window up.
    mainUi->LockCheckBox->click();
    storeText(Peer(QStringLiteral("192.168.10.5")), plat::ToCp932(QStringLiteral("ひとつだけ")));
    ASSERT_TRUE(form->isVisible());
    EXPECT_EQ(body(), QStringLiteral("ひとつだけ"));
    EXPECT_EQ(ui->NumberLabel->text(), QStringLiteral("0"));
    // Save writes the text where the user says, and that folder becomes the text folder.
    QDir(env.path()).mkdir(QStringLiteral("saved"));
    const QString saved = env.file(QStringLiteral("saved/tel.txt"));
    AnswerModal<QFileDialog>([&](QFileDialog *dialog) {
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(saved);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    ui->SaveButton->click();
    EXPECT_EQ(env.readFile(QStringLiteral("saved/tel.txt")), plat::ToCp932(QStringLiteral("ひとつだけ\r\n")));
    EXPECT_EQ(TextDirectory, env.file(QStringLiteral("saved")));
    form->close();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(mainUi->LockCheckBox->isChecked());

    mainUi->LockCheckBox->setChecked(true);
    storeText(Peer(QStringLiteral("192.168.10.5")), plat::ToCp932(QStringLiteral("一通目です")));
    storeSent("sent one");
    storeText(Peer(QStringLiteral("192.168.10.6"), QStringLiteral("<b>Jiro</b>")), "second");
    storeSent("sent two");
    storeText(Peer(QStringLiteral("192.168.10.7")), "third");
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(WaitingTels, 3);

    openThroughLock();
    EXPECT_EQ(body(), QStringLiteral("一通目です"));
    EXPECT_EQ(ui->NumberLabel->text(), QStringLiteral("2"));
    EXPECT_TRUE(ui->NextButton->isEnabled());
    EXPECT_EQ(ui->HostNameLabel->text(), QStringLiteral("192.168.10.5"));
    EXPECT_EQ(ui->HandleLabel->text(), QStringLiteral("Taro"));
    EXPECT_EQ(ui->OlcpvLabel->text(), QStringLiteral("OLCP303L"));
    EXPECT_EQ(ui->BytesLabel->text(), QString::number(plat::ToCp932(QStringLiteral("一通目です")).size()));
    EXPECT_FALSE(ui->StayLabel->isVisibleTo(form));
    EXPECT_EQ(mainUi->RecvNumLabel->text(), QStringLiteral("[ 2 ]"));

    ui->NextButton->click();
    EXPECT_EQ(body(), QStringLiteral("second"));
    EXPECT_EQ(ui->HandleLabel->text(), QStringLiteral("<b>Jiro</b>")); // a peer's handle is plain text
    EXPECT_EQ(ui->HandleLabel->textFormat(), Qt::PlainText);
    EXPECT_EQ(ui->NumberLabel->text(), QStringLiteral("1"));
    ui->NextButton->click();
    EXPECT_EQ(body(), QStringLiteral("third"));
    EXPECT_EQ(ui->NumberLabel->text(), QStringLiteral("0"));
    EXPECT_FALSE(ui->NextButton->isEnabled());
    EXPECT_EQ(WaitingTels, 0);
    EXPECT_EQ(TelegPointer, recordCount());
    EXPECT_EQ(mainUi->RecvNumLabel->text(), QStringLiteral("[ 0 ]"));

    // A TEL arriving while the window is open is offered through Next.
    storeText(Peer(QStringLiteral("192.168.10.8")), "fourth");
    EXPECT_EQ(ui->NumberLabel->text(), QStringLiteral("1"));
    ASSERT_TRUE(ui->NextButton->isEnabled());
    ui->NextButton->click();
    EXPECT_EQ(body(), QStringLiteral("fourth"));
    EXPECT_EQ(TelegPointer, recordCount());
}

TEST_F(RecvTel, StayForwardAndSerialTelsAreMarkedAndAnsweredWithTheirReplyRecords)
{
    HostRecord known = Peer(QStringLiteral("192.168.10.5"), QStringLiteral("MyHandle"));
    known.UserId = QStringLiteral("MYID0001");
    known.Memo = QStringLiteral("Friend");
    known.TelPassword = "secretpw";
    known.OlcName = QStringLiteral("olcdir");
    LoadHostList();
    {
        plat::RecordFile hosts(HostListFile, HostRecord::Size);
        ASSERT_TRUE(hosts.open());
        const qint64 index = hosts.append(known.encode());
        ASSERT_GT(index, 0);
        HostListCount = int(index + 1);
    }
    fakeSendWindows();

    storeText(Peer(QStringLiteral("192.168.10.5")), "plain one");
    MessageRecord forwarded;
    forwarded.Title = QLatin1String(TelTitle::RecvText) + QLatin1String(TelTitle::ForwardTel);
    forwarded.Forwarded = 1;
    forwarded.Bytes = 3;
    ASSERT_TRUE(StoreTel(Peer(QStringLiteral("192.168.10.20"), QStringLiteral("First")), forwarded, "fwd"));
    MessageRecord stay;
    stay.Title = TelTitle::RecvStayText;
    stay.Flags = MessageRecord::StayFlag;
    stay.Handle = QStringLiteral("Hanako");
    stay.UserId = QStringLiteral("SENDER01");
    stay.DateTime = plat::ToDayDate(QDateTime(QDate(2026, 12, 1), QTime(9, 30, 15)));
    stay.Bytes = 4;
    HostRecord server = Peer(QStringLiteral("10.0.0.9"));
    server.UserId = QStringLiteral("FETCH001");
    ASSERT_TRUE(StoreTel(server, stay, "held"));
    MessageRecord serial;
    serial.Title = QLatin1String(TelTitle::RecvText) + QLatin1String(TelTitle::SerialChat);
    serial.Flags = MessageRecord::SerialFlag;
    serial.Channel = 3;
    serial.Bytes = 4;
    ASSERT_TRUE(StoreTel(Peer(QStringLiteral("0.0.0.0")), serial, "chat"));

    openThroughLock();
    ui->ReplyButton->click();
    ASSERT_EQ(sentTo.size(), 1u);
    const HostRecord &plain = sentTo[0];
    EXPECT_EQ(plain.HostListIndex, HostListCount - 1);
    EXPECT_EQ(plain.IpAddress, QStringLiteral("192.168.10.5"));
    EXPECT_EQ(plain.HostName, QStringLiteral("192.168.10.5"));
    EXPECT_EQ(plain.TelPassword, QByteArray("ZRA_VOLT"));
    EXPECT_EQ(plain.Handle, QStringLiteral("MyHandle [Reply]"));
    EXPECT_EQ(plain.UserId, QStringLiteral("MYID0001"));
    EXPECT_EQ(plain.Memo, QStringLiteral("Re: Taro"));
    EXPECT_EQ(plain.OlcName, QStringLiteral("olcdir"));
    EXPECT_EQ(plain.OlcpVersion, QStringLiteral("OLCP303L"));
    EXPECT_EQ(plain.ReplyFlag, 1);
    EXPECT_EQ(plain.SerialChannel, 0);
    EXPECT_EQ(plain.Channel, 0);
    // The target then becomes the main window's, with the host's own password, handle and memo.
    EXPECT_EQ(CurrentHost.TelPassword, QByteArray("secretpw"));
    EXPECT_EQ(CurrentHost.Handle, QStringLiteral("MyHandle"));
    EXPECT_EQ(CurrentHost.Memo, QStringLiteral("Friend"));
    EXPECT_EQ(CurrentHost.ReplyFlag, 1);
    EXPECT_EQ(mainUi->HostNameEdit->text(), QStringLiteral("192.168.10.5"));
    EXPECT_TRUE(mainUi->TelButton->isEnabled());
    EXPECT_TRUE(mainUi->LookupMemo->toPlainText().contains(QStringLiteral("Target Remote Host : [[ 192.168.10.5 ]]")));
    EXPECT_TRUE(form->isVisible()); // more TELs wait

    ui->NextButton->click();
    EXPECT_TRUE(ui->StayLabel->isVisibleTo(form));
    EXPECT_EQ(ui->StayLabel->text(), QStringLiteral("Forward TEL"));
    EXPECT_EQ(ui->HandleLabel->text(), QStringLiteral("First"));

    ui->NextButton->click();
    EXPECT_EQ(ui->StayLabel->text(), QStringLiteral("Stay TEL"));
    EXPECT_EQ(ui->HandleLabel->text(), QStringLiteral("SENDER01 <<Hanako>>"));
    EXPECT_EQ(ui->StumpLabel->text(), QStringLiteral("2026/12/01 09:30:15"));
    ui->ReplyButton->click();
    ASSERT_EQ(sentTo.size(), 2u);
    EXPECT_EQ(sentTo[1].HostListIndex, 0);
    EXPECT_EQ(sentTo[1].Handle, QStringLiteral(" [Reply]"));
    EXPECT_EQ(sentTo[1].UserId, QStringLiteral("FETCH001")); // the fetch ID
    EXPECT_EQ(sentTo[1].ReplyUserId, QStringLiteral("SENDER01"));
    EXPECT_EQ(sentTo[1].Memo, QStringLiteral("Re: Hanako"));
    EXPECT_EQ(sentTo[1].SerialChannel, 0);
    EXPECT_EQ(sentTo[1].Channel, 1);

    ui->NextButton->click();
    EXPECT_EQ(ui->StayLabel->text(), QStringLiteral("Serial TEL"));
    EXPECT_EQ(ui->HostNameLabel->text(), QStringLiteral("Server Machine Chat"));
    EXPECT_EQ(ui->OlcpvLabel->text(), QStringLiteral("CH # 3"));
    EXPECT_EQ(ui->HandleLabel->text(), QStringLiteral("USER0001 <<Taro>>"));
    EXPECT_FALSE(ui->NextButton->isEnabled());
    ui->ReplyButton->click();
    EXPECT_FALSE(form->isVisible()); // the last TEL: the window closes first
    ASSERT_EQ(sentTo.size(), 3u);
    EXPECT_EQ(sentTo[2].Handle, QStringLiteral("SysOp [Reply]"));
    EXPECT_EQ(sentTo[2].HostName, QStringLiteral("Server Machine Chat"));
    EXPECT_EQ(sentTo[2].SerialChannel, 3);
    EXPECT_EQ(sentTo[2].ReplyUserId, QStringLiteral("USER0001"));
}

TEST_F(RecvTel, BodiesShowAsRtfTextOrHtmlWithALocalOnlyHistory)
{
    const HostRecord peer = Peer(QStringLiteral("192.168.10.5"));
    storeText(peer, "{\\rtf1\\ansi\\ansicpg932{\\fonttbl{\\f0\\fcharset128 Gothic;}}\\f0 plain \\b bold\\b0  end\\par}",
              MessageRecord::RichFlag);
    storeText(peer, "<b>not bold</b>");
    const QByteArray page = plat::ToCp932(QStringLiteral("<html><body><p>日本語のページ</p><a href=\"second.html\">next</a>"
                                                         "<img src=\"http://example.invalid/x.png\"></body></html>"));
    storeText(peer, page, MessageRecord::HtmlFlag);
    storeText(peer, "<html><body><p>another page</p></body></html>", MessageRecord::HtmlFlag);
    storeText(peer, "<html><body><p>as text</p></body></html>", MessageRecord::HtmlFlag);
    openThroughLock();

    EXPECT_EQ(body(), QStringLiteral("plain bold end"));
    QTextCursor cursor(ui->RecvRich->Rich()->document());
    cursor.setPosition(body().indexOf(QStringLiteral("bold")) + 1);
    EXPECT_EQ(cursor.charFormat().fontWeight(), QFont::Bold);

    ui->NextButton->click();
    EXPECT_EQ(body(), QStringLiteral("<b>not bold</b>"));

    ui->NextButton->click();
    TRecvHtmlView *html = form->HtmlControl;
    ASSERT_TRUE(html->isVisible());
    EXPECT_FALSE(ui->RecvRich->isVisible());
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/Temp.html")), page);
    EXPECT_TRUE(html->toPlainText().contains(QStringLiteral("日本語のページ")));
    EXPECT_EQ(ui->SaveButton->text(), QStringLiteral("Back"));
    EXPECT_EQ(ui->SaveButton->toolTip(), QStringLiteral("ひとつ前のﾍﾟｰｼﾞに戻る"));
    EXPECT_EQ(form->History().size(), 1);

    // Local links are followed and kept for Back; remote ones are never loaded.
    env.writeFile(QStringLiteral("Temp/second.html"), "<html><body>second page</body></html>");
    html->setSource(QUrl(QStringLiteral("second.html")));
    EXPECT_TRUE(html->toPlainText().contains(QStringLiteral("second page")));
    html->setSource(QUrl(QStringLiteral("http://example.invalid/")));
    EXPECT_TRUE(html->toPlainText().contains(QStringLiteral("second page")));
    EXPECT_EQ(form->History().size(), 2);
    for (const char *picture : {"http://example.invalid/x.png", "file:///dev/zero"})
        EXPECT_FALSE(html->loadResource(QTextDocument::ImageResource, QUrl(QLatin1String(picture))).isValid()) << picture;
    ui->SaveButton->click();
    EXPECT_TRUE(html->toPlainText().contains(QStringLiteral("日本語のページ")));
    EXPECT_EQ(form->History().size(), 1);
    ui->SaveButton->click(); // one entry: Back does nothing
    EXPECT_EQ(form->History().size(), 1);
    for (int i = 0; i < 120; ++i)
        html->setSource(QUrl(i % 2 ? QStringLiteral("Temp.html") : QStringLiteral("second.html")));
    EXPECT_EQ(form->History().size(), TBRecvTelegramForm::HistorySize);

    // The next HTML TEL replaces Temp.html and is shown afresh.
    ui->NextButton->click();
    EXPECT_TRUE(html->toPlainText().contains(QStringLiteral("another page")));

    // With HTML going to an outside viewer, an HTML body shows as its text.
    HtmlViewer = 2;
    ui->NextButton->click();
    EXPECT_FALSE(html->isVisible());
    EXPECT_TRUE(body().contains(QStringLiteral("<p>as text</p>")));
    EXPECT_EQ(ui->SaveButton->text(), QStringLiteral("Save"));
}

// A click on a web or mail link of a page asks first and hands the address to
// the desktop's browser on Yes; other links do nothing, and the page stays.
TEST_F(RecvTel, ClickedWebAndMailLinksAskBeforeTheBrowserOpensThem)
{
    storeText(Peer(QStringLiteral("192.168.10.5")),
              "<p><a href=\"http://example.invalid/a\">web</a></p><p><a href=\"HTTPS://example.invalid/b?q=1\">secure</a>"
              "</p><p><a href=\"mailto:someone@example.invalid\">mail</a></p><p><a href=\"javascript:alert(1)\">script</a>"
              "</p>",
              MessageRecord::HtmlFlag);
    openThroughLock();
    TRecvHtmlView *html = form->HtmlControl;
    QList<QUrl> opened;
    html->OpenInBrowser = [&](const QUrl &url) { return opened.append(url), true; };
    const struct
    {
        const char *text, *address; // address nullptr: no question
        QMessageBox::StandardButton answer;
    } links[] = {{"web", "http://example.invalid/a", QMessageBox::Yes},
                 {"secure", "https://example.invalid/b?q=1", QMessageBox::No},
                 {"mail", "mailto:someone@example.invalid", QMessageBox::Yes},
                 {"script", nullptr, QMessageBox::No}};
    for (const auto &link : links) {
        SCOPED_TRACE(link.text);
        testsupport::ModalAnswers answers;
        answers.then(QStringLiteral("BrowserLinkQuestion"), [&](QWidget *dialog) {
            auto *box = static_cast<QMessageBox *>(dialog);
            EXPECT_EQ(box->text(), QStringLiteral("このリンクをブラウザで開きますか?\n") + QLatin1String(link.address));
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            box->button(link.answer)->click();
        });
        QTextCursor cursor = html->document()->find(QLatin1String(link.text));
        cursor.setPosition(cursor.selectionStart() + 1);
        QTest::mouseClick(html->viewport(), Qt::LeftButton, {}, html->cursorRect(cursor).center());
        EXPECT_EQ(answers.done(), link.address != nullptr);
        EXPECT_TRUE(html->toPlainText().contains(QStringLiteral("script"))); // the page stays
    }
    EXPECT_EQ(opened, (QList<QUrl>{QUrl(QStringLiteral("http://example.invalid/a")),
                                   QUrl(QStringLiteral("mailto:someone@example.invalid"))}));
}

TEST_F(RecvTel, FileTelsShowPicturesInsideAndOtherFilesOnlyByTheirNote)
{
    ViewingDirect = true;
    ImageViewer = true;
    UsingWindows95 = false;
    storeFile(QStringLiteral("photo.jpg"), JpegOf(64, 48));
    storeFile(QStringLiteral("data.xyz"), "no viewer for this");
    // A record naming a path opens no file, neither outside nor inside the TEL folder.
    env.writeFile(QStringLiteral("escape.jpg"), JpegOf(10, 10));
    env.writeFile(QStringLiteral("Telegram/escape.jpg"), JpegOf(20, 12));
    MessageRecord escape;
    escape.Number = int(recordCount());
    escape.Title = TelTitle::RecvFile(QStringLiteral("---"));
    escape.Flags = MessageRecord::FileFlag;
    escape.FileName = QStringLiteral("../escape.jpg");
    appendRaw(escape);
    storeFile(QStringLiteral("later.jpg"), JpegOf(30, 30));
    storeFile(QStringLiteral("drawing.wmf"), Wmf(Qt::red, 120, 80));
    storeFile(QStringLiteral("drawing.emf"), Emf(Qt::green, 90, 60));
    WaitingTels = 6;
    openThroughLock();

    ASSERT_TRUE(ui->RecvSImage->isVisible());
    EXPECT_FALSE(ui->RecvRich->isVisible());
    EXPECT_EQ(ui->RecvSImage->Picture().size(), QSize(64, 48));
    EXPECT_EQ(form->CurrentFile(), env.path() + QStringLiteral("/Telegram/photo.jpg"));
    EXPECT_EQ(ui->RecvStatusBar->currentMessage(), form->CurrentFile());
    EXPECT_TRUE(body().contains(QStringLiteral("【ファイル受信】 << photo.jpg >>")));

    ui->NextButton->click();
    EXPECT_TRUE(ui->RecvRich->isVisible());
    EXPECT_FALSE(ui->RecvSImage->isVisible());
    EXPECT_EQ(body(), QStringLiteral("\n【ファイル受信】 << data.xyz >>"));
    EXPECT_FALSE(ui->ViewButton->isEnabled());

    ui->NextButton->click();
    EXPECT_FALSE(ui->RecvSImage->isVisible());
    EXPECT_FALSE(ui->ViewButton->isEnabled());

    // Without ViewingDirect the picture waits for View; View also ends stay-on-top.
    ViewingDirect = false;
    ui->NextButton->click();
    EXPECT_FALSE(ui->RecvSImage->isVisible());
    ASSERT_TRUE(ui->ViewButton->isEnabled());
    const qint32 pointer = TelegPointer;
    ui->ViewButton->click();
    EXPECT_TRUE(ui->RecvSImage->isVisible());
    EXPECT_EQ(ui->RecvSImage->Picture().size(), QSize(30, 30));
    EXPECT_FALSE(ui->BehindButton->isEnabled());
    EXPECT_FALSE(form->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(TelegPointer, pointer); // showing it again was no new show

    // Metafiles are pictures too.
    ViewingDirect = true;
    for (const QSize size : {QSize(120, 80), QSize(90, 60)}) {
        ui->NextButton->click();
        ASSERT_TRUE(ui->RecvSImage->isVisible());
        EXPECT_NEAR(ui->RecvSImage->Picture().width(), size.width(), 1);
        EXPECT_NEAR(ui->RecvSImage->Picture().height(), size.height(), 1);
    }
}

TEST_F(RecvTel, AnHtmlPagePackedInAnArchiveShowsAsThePage)
{
    ViewingDirect = true;
    HtmlViewer = 1;
    // The page packed as a peer would send it: html_test.zip holding test.html.
    env.writeFile(QStringLiteral("src/test.html"), "<html><body><p>packed page</p></body></html>");
    const auto zip = reinterpret_cast<plat::ArchiverCommandEntry>(
        plat::GetArchiverEntry(plat::LoadArchiverLibrary(QStringLiteral("ZIP32J.DLL")), "Zip"));
    ASSERT_TRUE(zip);
    const QByteArray line = plat::ToCp932(QStringLiteral(" -q \"%1\" \"%2/\" \"test.html\" ")
                                              .arg(env.file(QStringLiteral("html_test.zip")), env.file(QStringLiteral("src"))));
    char output[256];
    ASSERT_EQ(zip(nullptr, line.constData(), output, sizeof output), 0);
    storeFile(QStringLiteral("html_test.zip"), env.readFile(QStringLiteral("html_test.zip")));
    // And one whose page would land outside the folder.
    storeFile(QStringLiteral("html_evil.zip"),
              env.readFile(QStringLiteral("html_test.zip")).replace("test.html", "../t.html"));
    WaitingTels = 2;
    openThroughLock();

    ASSERT_TRUE(form->HtmlControl->isVisible());
    EXPECT_TRUE(form->HtmlControl->toPlainText().contains(QStringLiteral("packed page")));
    EXPECT_EQ(form->CurrentFile(), TempDirectory + QStringLiteral("/test.html"));

    // Refused as unsafe: the window says so under the file's line.
    ui->NextButton->click();
    EXPECT_EQ(body(), QStringLiteral("\n【ファイル受信】 << html_evil.zip >>"
                                     "\n*** 安全でない名前を含むため、書庫を展開しませんでした"));
    EXPECT_FALSE(QFile::exists(TempDirectory + QStringLiteral("/../t.html")));
}

TEST_F(RecvTel, BrokenRecordsAndAWrongCountNeitherCrashNorPassTheEnd)
{
    storeText(Peer(QStringLiteral("192.168.10.5")), "good body");
    MessageRecord bad;
    bad.Title = TelTitle::RecvText;
    for (auto [start, bytes] : {std::pair{1000, 10}, {2, 100000}, {-5, 3}, {0, -1}}) {
        bad.Number = int(recordCount());
        bad.Start = start;
        bad.Bytes = bytes;
        appendRaw(bad);
    }
    QString error;
    ASSERT_TRUE(OpenTelLogFiles(&error));
    ASSERT_EQ(WaitingTels, 5);
    openThroughLock();
    EXPECT_EQ(body(), QStringLiteral("good body"));
    ui->NextButton->click();
    EXPECT_EQ(body(), QString());
    ui->NextButton->click();
    EXPECT_EQ(body(), QStringLiteral("od body")); // only what lies inside the file
    ui->NextButton->click();
    ui->NextButton->click();
    EXPECT_EQ(body(), QString());
    EXPECT_TRUE(mainUi->LookupMemo->toPlainText().contains(QStringLiteral("*** TEL Text Error : TEL ")));
    EXPECT_EQ(WaitingTels, 0);

    // A count that says more than the log holds: the pointer stops at the
    // end, nothing is unread any more, and no error box appears.
    for (qint32 pointer : {TelegPointer, qint32(recordCount() + 50)}) {
        TelegPointer = pointer;
        WaitingTels = 3;
        form->ShowTel();
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_EQ(TelegPointer, recordCount());
        EXPECT_EQ(WaitingTels, 0);
        EXPECT_EQ(ui->NumberLabel->text(), QStringLiteral("0"));
        EXPECT_EQ(mainUi->RecvNumLabel->text(), QStringLiteral("[ 0 ]"));
    }
}

TEST_F(RecvTel, ClosingWithUnreadTelsAsksAndNoLocksTheWindow)
{
    for (const char *text : {"one", "two", "three"})
        storeText(Peer(QStringLiteral("192.168.10.5")), text);
    openThroughLock();

    QString question;
    AnswerModal([&](QMessageBox *box) {
        question = box->text();
        box->button(QMessageBox::Yes)->click();
    });
    form->close();
    EXPECT_EQ(question, QStringLiteral("未読の着信TELが残っています. 表示しますか?"));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(body(), QStringLiteral("two"));

    ui->BehindButton->click();
    EXPECT_FALSE(form->windowFlags() & Qt::WindowStaysOnTopHint);
    AnswerModal([](QMessageBox *box) { box->button(QMessageBox::No)->click(); });
    ui->ExitButton->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(mainUi->LockCheckBox->isChecked());
    EXPECT_TRUE(mainUi->RecvNumLabel->isVisibleTo(main));
    // Back to staying on top, without a show that would count a TEL.
    EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(ui->BehindButton->isEnabled());
    EXPECT_EQ(WaitingTels, 1);

    openThroughLock();
    EXPECT_EQ(body(), QStringLiteral("three"));
    plat::SendWindowMessage(form, CloseWindowsMessage, 0, 0); // nothing unread: no question
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(mainUi->LockCheckBox->isChecked());
    EXPECT_FALSE(mainUi->RecvNumLabel->isVisibleTo(main));
}

} // namespace
