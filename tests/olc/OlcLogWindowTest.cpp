// The OLC log window on a prepared store: opened from the main window with
// Shift+OLC, boards as grid and tree, messages as grid and reply tree, the
// message, picture and link views, erase marks, printing, the compaction of
// the current board from the menu, and stores with missing or short files.
#include "OlcLogStores.h"
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "core/ScrollImage.h"
#include "olc/BOlcLog.h"
#include "support/HeadPane.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "ui_BLookup.h"
#include "ui_BOlcLog.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace olctest;

namespace {

const QString B1 = QStringLiteral("B1");

class OlcLogWindow : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        main = testsupport::StartMainWindow(env);
        BOlcLogForm = form = new TBOlcLogForm();
        ui = form->ui.get();
        store = std::make_unique<StoreBuilder>(env.file(QStringLiteral("OlcClient")), QStringLiteral("NET1"));
    }
    void TearDown() override
    {
        delete form;
        delete main;
    }

    // Shift+OLC in the main window with the host of the store as its target.
    void openFromMainWindow()
    {
        CurrentHost.HostName = QStringLiteral("host1");
        CurrentHost.Memo = QStringLiteral("memo of host1");
        CurrentHost.OlcName = QStringLiteral("NET1");
        CurrentHost.Handle = QStringLiteral("me");
        testsupport::TapModifierAlone(main, Qt::Key_Shift);
        QTest::mouseClick(main->ui->OlcButton, Qt::LeftButton);
        ASSERT_TRUE(form->isVisible());
    }
    QString cell(QTableWidget *grid, int row, int column) const { return grid->item(row - 1, column)->text(); }
    QString status() const { return ui->OlcStatusBar->currentMessage(); }
    static QString text(TRichView *view) { return view->Memo()->toPlainText() + view->Rich()->toPlainText(); }
    void click(QPushButton *button)
    {
        ASSERT_TRUE(button->isVisible() && button->isEnabled()) << button->objectName().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void read(int row)
    {
        ui->MsgsGrid->setCurrentCell(row - 1, 1);
        click(ui->ReadButton);
        ASSERT_EQ(form->CurrentView(), TBOlcLogForm::View::Message);
    }
    void backToTitles() { click(ui->ReadButton); }

    TBLookupForm *main = nullptr;
    TBOlcLogForm *form = nullptr;
    Ui::TBOlcLogForm *ui = nullptr;
    std::unique_ptr<StoreBuilder> store;
};

MessageRecord Holder(qint32 number, qint32 linkIndex)
{
    MessageRecord m = StoreBuilder::Message(number, QStringLiteral("OLCP://10.0.0.9/ACC/LB/LB2/7/"));
    m.Flags = MessageRecord::LinkFlag;
    m.LinkIndex = linkIndex;
    return m;
}

TEST_F(OlcLogWindow, BrowseReadLinksEraseAndCompactTheCurrentBoard)
{
    store->board(B1, QStringLiteral("Main Board"), 1);
    store->board(QStringLiteral("B2"), QStringLiteral("Sub Board"), 1, false);
    store->board(QStringLiteral("B3"), QStringLiteral("Third Board"), 1);
    store->boards[1].HasPassword = 1;
    store->boards[2].Level = 1;
    store->boards[2].ParentKey = B1;
    ASSERT_TRUE(olc::WriteBoardTable(store->server, store->boards));
    store->text(B1, StoreBuilder::Message(1), "first body");
    MessageRecord reply = StoreBuilder::Message(2);
    reply.ReplyTo = 1;
    store->text(B1, reply, "second");
    MessageRecord deleted = StoreBuilder::Message(3, QStringLiteral("<<Deleted>>"));
    deleted.Deleted = 1;
    deleted.Address = 0;
    store->index(store->server.boardIndex(B1), deleted);
    MessageRecord serial = StoreBuilder::Message(4);
    serial.Address = 0;
    store->index(store->server.boardIndex(B1), serial);
    store->text(B1, Holder(5, 1), "holder body");
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QByteArray bmp;
    {
        QBuffer buffer(&bmp);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "BMP");
    }
    store->file(B1, StoreBuilder::Message(6), QStringLiteral("pic.bmp"), bmp);
    store->text(B1, Holder(7, 2), "other board's link");
    store->text(B1, Holder(8, 50), "link past the end");
    store->text(B1, Holder(9, 0), "link not fetched");
    MessageRecord cut = store->text(B1, StoreBuilder::Message(10), "cut");
    cut.Number = 11;
    cut.Bytes = 5000; // runs past the end of the text file
    store->index(store->server.boardIndex(B1), cut);
    store->linkStore();
    store->link(B1, 5, 0, "link text");
    store->link(QStringLiteral("B3"), 7, 0, "elsewhere");

    openFromMainWindow();
    EXPECT_EQ(ui->HostNameLabel->text(), QStringLiteral("host1"));
    EXPECT_EQ(ui->MemoLabel->text(), QStringLiteral("memo of host1"));

    // Boards: grid and tree, Last and Next wrap around on the grid.
    ASSERT_EQ(ui->BoardGrid->rowCount(), 3);
    EXPECT_EQ(cell(ui->BoardGrid, 1, 0), QStringLiteral("  1"));
    EXPECT_EQ(cell(ui->BoardGrid, 1, 3), QStringLiteral("SET"));
    EXPECT_EQ(cell(ui->BoardGrid, 2, 8), B1);
    EXPECT_EQ(cell(ui->BoardGrid, 3, 7), QStringLiteral("00001"));
    ASSERT_EQ(ui->BoardTree->topLevelItemCount(), 2);
    EXPECT_EQ(ui->BoardTree->topLevelItem(0)->child(0)->text(0), QStringLiteral("Sub Board"));
    EXPECT_EQ(ui->BrdNameLabel->text(), QStringLiteral("Main Board"));
    EXPECT_EQ(ui->SwitchButton->text(), QStringLiteral("Msgs"));
    click(ui->LastButton);
    EXPECT_EQ(form->CurrentBoard(), 3);
    click(ui->NextButton);
    EXPECT_EQ(form->CurrentBoard(), 1);
    click(ui->ReadButton);
    EXPECT_EQ(ui->ReadButton->text(), QStringLiteral("Grid"));
    EXPECT_TRUE(ui->BoardTree->isVisible());
    click(ui->NextButton);
    EXPECT_EQ(form->CurrentBoard(), 2);
    EXPECT_EQ(ui->BrdNameLabel->text(), QStringLiteral("Sub Board"));
    EXPECT_FALSE(form->CurrentBoardItem->isEnabled());
    click(ui->SwitchButton); // no message index: the board view stays
    EXPECT_EQ(ui->SwitchButton->text(), QStringLiteral("Msgs"));
    click(ui->ReadButton);
    EXPECT_EQ(ui->ReadButton->text(), QStringLiteral("Tree"));
    ui->BoardGrid->setCurrentCell(0, 1);
    EXPECT_TRUE(form->CurrentBoardItem->isEnabled());
    EXPECT_FALSE(form->FlatLogItem->isEnabled());

    // Messages.
    click(ui->SwitchButton);
    EXPECT_EQ(ui->SwitchButton->text(), QStringLiteral("Board"));
    EXPECT_EQ(ui->ReadButton->text(), QStringLiteral("Read"));
    EXPECT_EQ(ui->UtlButton->text(), QStringLiteral("ReTree"));
    ASSERT_EQ(ui->MsgsGrid->rowCount(), 11);
    EXPECT_EQ(form->CurrentMessageRow(), 11);
    struct Cell {
        int row, column;
        QString text;
    };
    for (const Cell &c : std::vector<Cell>{{2, 6, QStringLiteral("00001")}, {3, 2, QStringLiteral("<<Deleted>>")},
                                           {3, 7, {}}, {4, 3, {}}, {4, 7, QStringLiteral("Serial")},
                                           {4, 11, QStringLiteral("-")}, {5, 5, QStringLiteral("*")},
                                           {6, 4, QStringLiteral("*")}, {6, 12, IntToZeroStr(bmp.size(), 9)},
                                           {1, 10, QStringLiteral("2026/03/04 05:06:07")}})
        EXPECT_EQ(cell(ui->MsgsGrid, c.row, c.column), c.text) << c.row << "," << c.column;

    read(1);
    EXPECT_TRUE(text(ui->ClientRichView).contains(QStringLiteral("Number   : 00001")));
    EXPECT_TRUE(testsupport::HeadShowsAllLines(ui->ClientRichView));
    EXPECT_TRUE(text(ui->ClientRichView).contains(QStringLiteral("IP Addr  : 10.1.2.1")));
    EXPECT_EQ(ui->ClientRichView->Rich()->toPlainText(), QStringLiteral("first body"));
    EXPECT_EQ(ui->UpdateButton->text(), QStringLiteral("Print"));
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(env.file(QStringLiteral("olc.pdf")));
    ui->ClientRichView->PrintTo(printer);
    EXPECT_GT(QFileInfo(printer.outputFileName()).size(), 0);
    click(ui->EraseButton);
    EXPECT_EQ(cell(ui->MsgsGrid, 1, 3), QStringLiteral("E"));
    EXPECT_EQ(Records(store->server.boardIndex(B1))[1].Erased, 1);
    click(ui->NextButton);
    EXPECT_TRUE(text(ui->ClientRichView).contains(QStringLiteral("Reply To : 00001")));
    click(ui->EraseButton);
    click(ui->EraseButton);
    EXPECT_EQ(cell(ui->MsgsGrid, 2, 3), QStringLiteral("*"));
    EXPECT_EQ(Records(store->server.boardIndex(B1))[2].Erased, 0);
    click(ui->NextButton);
    EXPECT_TRUE(text(ui->ClientRichView).contains(QStringLiteral("Handle   : -")));
    click(ui->NextButton);
    EXPECT_EQ(status(), QStringLiteral("Not Downloaded."));

    // The link message of row 5, its erase mark, and the way back.
    click(ui->NextButton);
    EXPECT_EQ(ui->UtlButton->text(), QStringLiteral("Link"));
    click(ui->UtlButton);
    EXPECT_TRUE(ui->LinkRichView->isVisible());
    EXPECT_EQ(ui->ExitButton->text(), QStringLiteral("Return"));
    EXPECT_FALSE(ui->NextButton->isVisible());
    EXPECT_TRUE(text(ui->LinkRichView).contains(QStringLiteral("Link Server : 10.0.0.9")));
    EXPECT_TRUE(text(ui->LinkRichView).contains(QStringLiteral("Link Board  : LB")));
    EXPECT_EQ(ui->LinkRichView->Rich()->toPlainText(), QStringLiteral("link text"));
    EXPECT_TRUE(testsupport::HeadShowsAllLines(ui->LinkRichView));
    // Row 5 holds a link, so "Link" is offered here too; a failed one returns to row 5 all the same.
    click(ui->UtlButton);
    EXPECT_EQ(status(), QStringLiteral("Link Message Not Downloaded."));
    click(ui->ExitButton);
    EXPECT_TRUE(form->isVisible() && ui->ClientRichView->isVisible());
    backToTitles();
    read(5);
    click(ui->UtlButton);
    click(ui->EraseButton);
    EXPECT_EQ(status(), QStringLiteral("Erase marked."));
    EXPECT_EQ(Records(store->server.linkIndex())[1].Erased, 1);
    click(ui->ExitButton);
    EXPECT_EQ(ui->ExitButton->text(), QStringLiteral("Exit"));
    EXPECT_TRUE(ui->ClientRichView->isVisible());
    EXPECT_EQ(form->LinkRecordIndex(), 0);

    // A picture attachment, shown inside.
    ImageViewer = true;
    ViewingDirect = true;
    click(ui->NextButton);
    EXPECT_TRUE(ui->RecvSImage->isVisible());
    EXPECT_EQ(status(), store->server.attachment(B1, 6, QStringLiteral("pic.bmp")));

    // Links that cannot be followed.
    for (const auto &[row, expected] : std::vector<std::pair<int, QString>>{
             {7, QStringLiteral("Link Message Data Failure.")},
             {8, QStringLiteral("Link Message Data Failure.")},
             {9, QStringLiteral("Link Message Not Downloaded.")}}) {
        backToTitles();
        read(row);
        click(ui->UtlButton);
        EXPECT_EQ(status(), expected) << row;
        EXPECT_FALSE(ui->UtlButton->isVisible());
        EXPECT_EQ(form->LinkRecordIndex(), 0);
    }
    // A reader stores the link of row 9 now: "Link" finds it.
    const QString index = store->server.boardIndex(B1);
    store->link(B1, 9, 0, "fetched since");
    MessageRecord holder = Records(index)[9];
    holder.LinkIndex = 3;
    {
        plat::RecordFile file(index, MessageRecord::Size);
        ASSERT_TRUE(file.open() && file.write(9, holder.encode()));
    }
    backToTitles();
    read(9);
    click(ui->UtlButton);
    EXPECT_EQ(ui->LinkRichView->Rich()->toPlainText(), QStringLiteral("fetched since"));
    click(ui->ExitButton);
    // A body running past its file shows what is there.
    backToTitles();
    read(11);
    EXPECT_EQ(ui->ClientRichView->Rich()->toPlainText(), QStringLiteral("cut"));
    click(ui->NextButton);
    EXPECT_EQ(status(), QStringLiteral("... Nothing More Message ..."));

    // The reply tree of message 2: message 1 is its root.
    backToTitles();
    ui->MsgsGrid->setCurrentCell(1, 1);
    click(ui->UtlButton);
    EXPECT_EQ(ui->UtlButton->text(), QStringLiteral("AllTtls"));
    ASSERT_EQ(ui->ReplyTree->topLevelItemCount(), 1);
    QTreeWidgetItem *root = ui->ReplyTree->topLevelItem(0);
    EXPECT_EQ(root->text(0), QStringLiteral("[00001] Title 1"));
    ASSERT_EQ(root->childCount(), 1);
    EXPECT_EQ(ui->ReplyTree->currentItem(), root->child(0));
    click(ui->LastButton);
    EXPECT_EQ(form->CurrentMessageRow(), 1);
    click(ui->UtlButton);
    EXPECT_TRUE(ui->MsgsGrid->isVisible());

    // Current Board: refused while message 11 runs past the text file, done
    // once it is erase-marked; the erased messages lose their bodies.
    const auto compact = [&](bool fails) {
        testsupport::ModalAnswers answers;
        answers.then(QStringLiteral("CurrentBoardQuestion"), testsupport::PressButton(QMessageBox::Yes));
        if (fails)
            answers.then(QStringLiteral("UpdateError"), testsupport::PressButton(QMessageBox::Ok));
        form->CurrentBoardItem->trigger();
        EXPECT_TRUE(answers.done());
    };
    const auto before = Snapshot(store->server.path());
    compact(true);
    EXPECT_TRUE(status().startsWith(QStringLiteral("*** Update Error : "))) << status().toStdString();
    EXPECT_EQ(Snapshot(store->server.path()), before);
    read(11);
    click(ui->EraseButton);
    backToTitles();
    compact(false);
    EXPECT_EQ(cell(ui->MsgsGrid, 1, 3), QString());
    EXPECT_EQ(cell(ui->MsgsGrid, 11, 3), QString());
    EXPECT_EQ(form->Messages()[0].Start, -1);
    EXPECT_EQ(Bytes(store->server.boardText(B1)), QByteArray("secondholder bodyother board's linklink past the endlink not fetchedcut"));

    // Messages 2 and 3 changed places since the listing: Erase finds 2 by its number.
    const std::vector<MessageRecord> records = Records(index);
    plat::RecordFile file(index, MessageRecord::Size);
    ASSERT_TRUE(file.open() && file.write(2, records[3].encode()) && file.write(3, records[2].encode()));
    read(2);
    click(ui->EraseButton);
    EXPECT_EQ(Records(index)[3].Erased, 1);
}

// A host without a board table shows no boards and no message box; a board
// whose index holds only its header is an empty board.
TEST_F(OlcLogWindow, MissingTableAndHeaderOnlyIndexShowEmptyLists)
{
    openFromMainWindow();
    EXPECT_EQ(ui->BoardGrid->rowCount(), 0);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    click(ui->SwitchButton);
    EXPECT_EQ(ui->SwitchButton->text(), QStringLiteral("Msgs"));
    form->close();

    store->board(QStringLiteral("EMPTY"), QStringLiteral("Empty"), 50);
    openFromMainWindow();
    ASSERT_EQ(ui->BoardGrid->rowCount(), 1);
    EXPECT_FALSE(form->FlatLogItem->isEnabled());
    click(ui->SwitchButton);
    EXPECT_EQ(ui->SwitchButton->text(), QStringLiteral("Board"));
    EXPECT_EQ(ui->MsgsGrid->rowCount(), 0);
    click(ui->ReadButton);
    EXPECT_EQ(form->CurrentView(), TBOlcLogForm::View::Titles);
    click(ui->NextButton);
    EXPECT_EQ(form->CurrentMessageRow(), 0);
}

} // namespace
