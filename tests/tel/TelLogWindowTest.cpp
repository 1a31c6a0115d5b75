// The TEL log window: paging, search, the reader view, erase and compaction
// of the pair in use while TELs arrive, changing to another pair, and records
// that point outside their files.
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "platform/DayDate.h"
#include "platform/PairReplace.h"
#include "platform/RecordFile.h"
#include "platform/WinSock.h"
#include "support/HeadPane.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "support/Wait.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"
#include "ui_BTelLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QPageSize>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QScopeGuard>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <limits>
#include <string_view>
#include <thread>

namespace {

const QDateTime BaseDay(QDate(2026, 1, 1), QTime(12, 0));

// A pair written record by record as the program would have stored it.
struct PairWriter {
    TelLogPair pair;
    QByteArray text;
    std::vector<QByteArray> images;

    explicit PairWriter(const TelLogPair &p) : pair(p) { images.push_back(MakeHeaderRecord(p.name).encode()); }

    MessageRecord &add(MessageRecord r, const QByteArray &body = {})
    {
        r.Number = qint32(images.size());
        if (!(r.Flags & MessageRecord::FileFlag)) {
            r.Start = qint32(text.size());
            r.Bytes = qint32(body.size());
            text += body;
        }
        images.push_back(r.encode());
        return last = r;
    }
    void addRaw(const MessageRecord &r) { images.push_back(r.encode()); }
    void write() const
    {
        QDir().mkpath(pair.folder);
        QFile data(pair.dataFile()), txt(pair.textFile());
        ASSERT_TRUE(data.open(QIODevice::WriteOnly) && txt.open(QIODevice::WriteOnly));
        for (const QByteArray &image : images)
            data.write(image);
        txt.write(text);
    }
    MessageRecord last;
};

MessageRecord TextTel(int i, bool received)
{
    MessageRecord r;
    r.Title = QLatin1String(received ? TelTitle::RecvText : TelTitle::SendText);
    r.Address = plat::inet_addr(QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256));
    r.Handle = QStringLiteral("H%1").arg(i);
    r.DateTime = plat::ToDayDate(BaseDay.addDays(i));
    return r;
}

MessageRecord FileTel(int i, const QString &name)
{
    MessageRecord r = TextTel(i, true);
    r.Title = TelTitle::RecvFile(QStringLiteral("   1.000"));
    r.Flags = MessageRecord::FileFlag;
    r.FileName = name;
    r.Bytes = 4;
    return r;
}

MessageRecord StayTel(int i)
{
    MessageRecord r = TextTel(i, true);
    r.Title = TelTitle::RecvStayText;
    r.Flags = MessageRecord::StayFlag;
    r.UserId = QStringLiteral("USER0001");
    return r;
}

QByteArray Body(int i)
{
    return QStringLiteral("body %1").arg(i).toLatin1();
}

class TelLogWindow : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        main = testsupport::StartMainWindow(env);
        main->ui->LockCheckBox->setChecked(true); // arriving TELs are only counted
        TelFollowUp = {};
        form = new TBTelLogForm();
        ui = form->ui.get();
    }
    void TearDown() override
    {
        delete form;
        delete main;
    }

    TelLogPair inUse() const { return {TelegDirectory, TelegFileName}; }
    QString cell(int row, int column) const { return ui->TelegGrid->item(row - 1, column)->text(); }
    QString status() const { return ui->RecvStatusBar->currentMessage(); }
    QString richText() const { return ui->TelLogRich->Memo()->toPlainText() + ui->TelLogRich->Rich()->toPlainText(); }
    void click(QPushButton *button)
    {
        ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void shiftClick(QPushButton *button)
    {
        testsupport::TapModifierAlone(form, Qt::Key_Shift);
        click(button);
    }
    void search(QRadioButton *option, const QString &text, bool up)
    {
        QTest::mouseClick(option, Qt::LeftButton);
        QTest::mouseClick(up ? ui->UpDirection : ui->DownDirection, Qt::LeftButton);
        QTest::keyClicks(ui->OptionEdit, text);
        click(ui->OKButton);
    }
    void changeTo(const QString &folder, const QString &name)
    {
        ui->FolderEdit->clear();
        QTest::keyClicks(ui->FolderEdit, folder);
        ui->FileEdit->clear();
        QTest::keyClicks(ui->FileEdit, name);
        click(ui->ChangeButton);
    }
    void compact()
    {
        testsupport::ModalAnswers answers;
        answers.then(QStringLiteral("CompactQuestion"), testsupport::PressButton(QMessageBox::Yes));
        click(ui->UpdateButton);
        EXPECT_TRUE(answers.done());
    }

    TBLookupForm *main = nullptr;
    TBTelLogForm *form = nullptr;
    Ui::TBTelLogForm *ui = nullptr;
};

// 250 TELs browsed, searched, read, marked, compacted while TELs arrive, then
// another pair taken and two refused.
TEST_F(TelLogWindow, BrowseSearchEraseCompactAndChange)
{
    PairWriter log(inUse());
    for (int i = 1; i <= 250; ++i) {
        if (i == 5 || i == 10 || i == 11) // 11 took the name that erased 10 frees
            log.add(FileTel(i, QStringLiteral("file%1.bin").arg(std::min(i, 10))));
        else if (i == 12 || i == 13)
            log.add(FileTel(i, QStringLiteral("pic%1.bmp").arg(i)));
        else if (i == 200)
            log.add(StayTel(i), Body(i));
        else
            log.add(TextTel(i, i % 3 != 0), Body(i));
    }
    log.write();
    env.writeFile(QStringLiteral("Telegram/file5.bin"), "gone");
    env.writeFile(QStringLiteral("Telegram/file10.bin"), "kept");
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    ASSERT_TRUE(picture.save(env.file(QStringLiteral("Telegram/pic12.bmp")), "BMP"));
    TelegPointer = 241;
    WaitingTels = 7; // the received ones of 241 .. 250

    form->show();
    ASSERT_EQ(form->Count(), 250);
    EXPECT_EQ(ui->TelegGrid->rowCount(), 200);
    EXPECT_EQ(cell(1, 0), QStringLiteral("00051"));
    EXPECT_EQ(form->CurrentRow(), 1);
    EXPECT_EQ(ui->TelegGrid->horizontalHeaderItem(7)->text(), QStringLiteral("FileName"));
    EXPECT_EQ(cell(150, 2), QStringLiteral("USER0001 : 10.0.0.200"));
    EXPECT_EQ(cell(150, 6), QStringLiteral("000000008"));

    // Paging: Last from row 1 goes to the page before, Shift+Next to the last row.
    click(ui->LastButton);
    EXPECT_EQ(form->FirstRecord(), 1);
    EXPECT_EQ(form->CurrentRow(), 50);
    shiftClick(ui->NextButton);
    EXPECT_EQ(form->FirstRecord(), 51);
    EXPECT_EQ(form->CurrentRow(), 200);
    click(ui->NextButton);
    EXPECT_EQ(status(), QStringLiteral("... Nothing More TEL ..."));
    form->GoToRecord(210);
    EXPECT_EQ(form->FirstRecord(), 51);
    EXPECT_EQ(form->CurrentRow(), 160);

    // Search by number, date both ways, address.
    search(ui->NumberOption, QStringLiteral("7"), false);
    EXPECT_EQ(form->FirstRecord() + form->CurrentRow() - 1, 7);
    search(ui->DateOption, plat::FormatShortDate(BaseDay.addDays(130)), false);
    EXPECT_EQ(form->FirstRecord() + form->CurrentRow() - 1, 130);
    search(ui->DateOption, plat::FormatShortDate(BaseDay.addDays(100)), true);
    EXPECT_EQ(form->FirstRecord() + form->CurrentRow() - 1, 99);
    search(ui->IpAddressOption, QStringLiteral("10.0.0.180"), false);
    EXPECT_EQ(form->FirstRecord() + form->CurrentRow() - 1, 180);
    search(ui->IpAddressOption, QStringLiteral("10.0.0.180 "), true);
    EXPECT_EQ(form->FirstRecord() + form->CurrentRow() - 1, 180);

    // The reader view follows Next; a Stay TEL shows its user; print to PDF.
    click(ui->SwitchButton);
    EXPECT_EQ(ui->SwitchButton->text(), QStringLiteral("List"));
    EXPECT_TRUE(richText().contains(QStringLiteral("Number   : 00180")));
    EXPECT_EQ(ui->TelLogRich->Rich()->toPlainText(), QStringLiteral("body 180"));
    EXPECT_TRUE(testsupport::HeadShowsAllLines(ui->TelLogRich));
    EXPECT_EQ(ui->UpdateButton->text(), QStringLiteral("Print"));
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(env.file(QStringLiteral("tel.pdf")));
    ui->TelLogRich->PrintTo(printer);
    EXPECT_GT(QFileInfo(printer.outputFileName()).size(), 0);
    form->GoToRecord(199);
    click(ui->NextButton);
    EXPECT_TRUE(richText().contains(QStringLiteral("User ID  : USER0001")));
    EXPECT_TRUE(richText().contains(QStringLiteral("IP Addr  : 10.0.0.200")));
    EXPECT_TRUE(richText().contains(QStringLiteral("Handle   : H200")));
    EXPECT_TRUE(testsupport::HeadShowsAllLines(ui->TelLogRich));
    click(ui->SwitchButton);

    // A received picture shows inside; one no longer there is said so.
    ImageViewer = ViewingDirect = true;
    form->GoToRecord(12);
    click(ui->SwitchButton);
    EXPECT_TRUE(richText().contains(QStringLiteral("File Name << pic12.bmp >>")));
    EXPECT_TRUE(ui->RecvSImage->isVisibleTo(form));
    EXPECT_EQ(status(), env.file(QStringLiteral("Telegram/pic12.bmp")));
    click(ui->NextButton);
    EXPECT_FALSE(ui->RecvSImage->isVisibleTo(form));
    EXPECT_EQ(status(), QStringLiteral("Deleted the File."));
    click(ui->SwitchButton);

    // Erase marks: toggled twice is no mark; 5 and 10 lie before the
    // pointer, 245 is unread, 246 is a sent one after the pointer.
    for (int n : {5, 6, 6, 10, 245, 246}) {
        form->GoToRecord(n);
        click(ui->EraseButton);
    }
    form->GoToRecord(6);
    EXPECT_EQ(cell(6, 1), QLatin1String(TelTitle::SendText));
    form->GoToRecord(245);
    EXPECT_EQ(cell(form->CurrentRow(), 1), QStringLiteral("<<Erased>>"));

    // TELs keep arriving while the pair is compacted: none is lost.
    std::atomic<int> stored{0};
    std::thread sender([&] {
        for (int i = 0; i < 20; ++i) {
            MessageRecord r;
            r.Title = TelTitle::RecvText;
            r.Bytes = 6;
            HostRecord peer;
            peer.IpAddress = QStringLiteral("192.168.9.9");
            peer.Handle = QStringLiteral("late%1").arg(i);
            stored += StoreTel(peer, r, "late!!") ? 1 : 0;
        }
    });
    compact();
    sender.join();
    ASSERT_EQ(stored, 20);
    QCoreApplication::processEvents();

    const auto tels = testsupport::StoredTels();
    ASSERT_EQ(tels.size(), 250u - 4 + 20);
    const QByteArray text = env.readFile(QStringLiteral("Telegram/Teleg000.txt"));
    qint64 offset = 0;
    int late = 0;
    for (size_t k = 0; k < tels.size(); ++k) {
        const MessageRecord &r = tels[k];
        EXPECT_EQ(r.Number, qint32(k + 1));
        EXPECT_NE(r.Handle, QStringLiteral("H245"));
        late += r.Handle.startsWith(QStringLiteral("late")) ? 1 : 0;
        if (r.Flags & MessageRecord::FileFlag)
            continue;
        EXPECT_EQ(r.Start, offset) << r.Number;
        const QByteArray expected = r.Handle.startsWith(QLatin1Char('H')) ? Body(r.Handle.mid(1).toInt()) : "late!!";
        EXPECT_EQ(text.mid(r.Start, r.Bytes), expected);
        offset += r.Bytes;
    }
    EXPECT_EQ(offset, text.size());
    EXPECT_EQ(late, 20);
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("Telegram/file5.bin"))));
    EXPECT_TRUE(QFile::exists(env.file(QStringLiteral("Telegram/file10.bin"))));
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("Telegram/Work$$$$.dat"))));
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("Telegram/Work$$$$.txt"))));
    EXPECT_EQ(TelegPointer, 241 - 2);
    EXPECT_EQ(WaitingTels, 7 + 20 - 1);
    EXPECT_EQ(main->ui->RecvNumLabel->text(), QStringLiteral("[ 26 ]"));
    EXPECT_GE(form->Count(), 250 - 4); // and the late TELs stored before it reloaded

    // Another pair: taken when its header names it, compacted without
    // touching the counters of the pair in use.
    const QString other = env.file(QStringLiteral("other"));
    PairWriter second({other, QStringLiteral("Teleg001")});
    for (int i = 1; i <= 3; ++i)
        second.add(TextTel(i, true), Body(i));
    second.write();
    changeTo(other + QStringLiteral("/"), QStringLiteral("Teleg001"));
    EXPECT_EQ(form->Pair().name, QStringLiteral("Teleg001"));
    EXPECT_EQ(form->Count(), 3);
    form->GoToRecord(1);
    click(ui->EraseButton);
    compact();
    EXPECT_EQ(form->Count(), 2);
    EXPECT_EQ(TelegPointer, 239);
    EXPECT_EQ(WaitingTels, 26);

    // Refused: a header naming another pair, a pair without its text file.
    PairWriter wrong({other, QStringLiteral("Wrong")});
    wrong.images[0] = MakeHeaderRecord(QStringLiteral("Teleg001")).encode();
    wrong.write();
    changeTo(other, QStringLiteral("Wrong"));
    EXPECT_EQ(form->Pair().name, QStringLiteral("Teleg001"));
    // The pair in use reached through a link to its folder is still the pair in use.
    ASSERT_TRUE(QFile::link(TelegDirectory, env.file(QStringLiteral("linked"))));
    changeTo(env.file(QStringLiteral("linked")), QStringLiteral("Teleg000"));
    EXPECT_TRUE(form->Pair().inUse());
    QFile::remove(other + QStringLiteral("/Teleg001.txt"));
    changeTo(other, QStringLiteral("Teleg001"));
    EXPECT_EQ(form->Pair().name, QStringLiteral("Teleg000"));
    EXPECT_EQ(ui->FileEdit->text(), QStringLiteral("Teleg000"));
    EXPECT_FALSE(ui->ChangeButton->isEnabled());
}

// Records that point outside the text file or name files outside the
// folder: an error line or a status text, bounded compaction, nothing
// outside the folder deleted.
TEST_F(TelLogWindow, HostileRecords)
{
    struct Case {
        const char *what;
        qint32 start, bytes;
        bool file;        // a received file TEL named fileName
        QString fileName;
        QString shown;    // in the reader view or the status bar
        qint32 keptBytes; // text bytes after compaction
    };
    const QString outside = QStringLiteral("lies outside");
    const QString badName = QStringLiteral("*** Bad File Name");
    const Case cases[] = {
        {"body inside", 0, 5, false, {}, QStringLiteral("HELLO"), 5},
        {"negative start", -5, 10, false, {}, outside, 5},
        {"past the end", 8, 10, false, {}, outside, 2},
        {"huge bytes", 0, std::numeric_limits<qint32>::max(), false, {}, outside, 10},
        {"start far beyond", 1 << 30, 5, false, {}, outside, 0},
        {"negative bytes", 2, -1, false, {}, outside, 0},
        {"parent folder", 0, 4, true, QStringLiteral("../sentinel.bin"), badName, 0},
        {"sub folder", 0, 4, true, QStringLiteral("sub/sentinel.bin"), badName, 0},
        {"dot dot", 0, 4, true, QStringLiteral(".."), badName, 0},
        {"empty", 0, 4, true, QString(), badName, 0},
        {"a folder", 0, 4, true, QStringLiteral("adir"), {}, 0},
    };
    PairWriter log(inUse());
    log.text = "HELLOWORLD";
    int n = 0;
    for (const Case &c : cases) {
        MessageRecord r = c.file ? FileTel(++n, c.fileName) : TextTel(++n, true);
        r.Start = c.start;
        r.Bytes = c.bytes;
        r.Number = n;
        log.addRaw(r);
    }
    log.write();
    env.writeFile(QStringLiteral("sentinel.bin"), "keep");
    env.writeFile(QStringLiteral("Telegram/sub/sentinel.bin"), "keep");
    QDir(env.file(QStringLiteral("Telegram"))).mkdir(QStringLiteral("adir"));

    form->show();
    ASSERT_EQ(form->Count(), qint64(std::size(cases)));
    for (int k = 1; k <= int(std::size(cases)); ++k) {
        const Case &c = cases[k - 1];
        SCOPED_TRACE(c.what);
        form->GoToRecord(k);
        click(ui->SwitchButton);
        EXPECT_TRUE(c.shown.isEmpty() || richText().contains(c.shown) || status().startsWith(c.shown))
            << richText().toStdString() << status().toStdString();
        if (c.shown == outside) {
            EXPECT_FALSE(ui->TelLogRich->Rich()->toPlainText().contains(QStringLiteral("HELLO")));
        }
        click(ui->SwitchButton);
        if (c.file)
            click(ui->EraseButton);
    }
    // A work file that cannot be written: the pair stays as it was.
    const QByteArray before = env.readFile(QStringLiteral("Telegram/Teleg000.dat"));
    QDir(env.file(QStringLiteral("Telegram"))).mkdir(QStringLiteral("Work$$$$.txt"));
    compact();
    EXPECT_TRUE(status().startsWith(QStringLiteral("*** Update Error"))) << status().toStdString();
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/Teleg000.dat")), before);
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/Teleg000.txt")), QByteArray("HELLOWORLD"));
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("Telegram/Work$$$$.dat"))));
    QDir(env.file(QStringLiteral("Telegram"))).rmdir(QStringLiteral("Work$$$$.txt"));
    // Renaming over the text file fails (and putting the old record file back
    // too): the pair is as it was, at the latest once it is opened again.
    for (const bool restoreFails : {false, true}) {
        const auto reset = qScopeGuard([] { plat::testing::PairReplaceStep = nullptr; });
        plat::testing::PairReplaceStep = [renames = 0, restoreFails](const char *step) mutable {
            return !(std::string_view(step) == "rename" && ++renames == 2) && !(restoreFails && std::string_view(step) == "restore");
        };
        compact();
        plat::testing::PairReplaceStep = nullptr;
        EXPECT_TRUE(status().startsWith(QStringLiteral("*** Update Error"))) << status().toStdString();
        QString error;
        EXPECT_TRUE(OpenTelLogFiles(&error)) << error.toStdString();
        EXPECT_EQ(env.readFile(QStringLiteral("Telegram/Teleg000.dat")), before);
        EXPECT_EQ(env.readFile(QStringLiteral("Telegram/Teleg000.txt")), QByteArray("HELLOWORLD"));
    }

    compact();
    const auto tels = testsupport::StoredTels();
    const QByteArray text = env.readFile(QStringLiteral("Telegram/Teleg000.txt"));
    qint64 offset = 0;
    for (const MessageRecord &r : tels) {
        EXPECT_EQ(r.Start, offset);
        offset += r.Bytes;
    }
    EXPECT_EQ(offset, text.size());
    std::vector<qint32> kept;
    for (const MessageRecord &r : tels)
        kept.push_back(r.Bytes);
    EXPECT_EQ(kept, (std::vector<qint32>{5, 5, 2, 10, 0, 0}));
    EXPECT_EQ(env.readFile(QStringLiteral("sentinel.bin")), "keep");
    EXPECT_EQ(env.readFile(QStringLiteral("Telegram/sub/sentinel.bin")), "keep");
    EXPECT_TRUE(QFileInfo(env.file(QStringLiteral("Telegram/adir"))).isDir());
}

} // namespace
