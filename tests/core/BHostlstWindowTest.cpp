// The host list window at work: adding and updating hosts, dragging a row,
// the per-host option dialogs, forward and select; and the names and
// passwords that its dialogs refuse.
#include "core/BCommon.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "platform/RecordFile.h"
#include "platform/ShortString.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "ui_BHostlst.h"
#include "ui_BLookup.h"
#include "ui_BPasswrd.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using testsupport::EnterPassword;
using testsupport::ModalAnswers;
using testsupport::PressButton;

// Enters text that keys cannot type (Japanese) into the password dialog, as
// an input method would, and confirms it.
ModalAnswers::Answer EnterText(const QString &text)
{
    return [text](QWidget *dialog) {
        auto *password = static_cast<TBPasswordDlg *>(dialog);
        password->ui->Password->insert(text);
        password->ui->OKBtn->click();
    };
}

class HostListWindowTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        main = testsupport::StartMainWindow(env);
        BHostListForm = form = new TBHostListForm();
        ui = form->ui.get();
        LocalAddresses.clear(); // a list of the header only
        LoadHostList();
    }
    void TearDown() override
    {
        BHostListForm = nullptr;
        delete form;
        delete main;
        CurrentHost = ForwardHost = HostRecord{};
    }

    // As after a lookup: the main window puts the address in, the window shows.
    void AddHost(const QString &address, const QString &name, const QString &memo)
    {
        form->close();
        ui->IpAddrEdit->setText(address);
        form->show();
        ui->HostNameEdit->setText(name);
        ui->MemoEdit->setText(memo);
        QTest::keyClick(ui->MemoEdit, Qt::Key_Return);
    }
    static std::vector<HostRecord> Stored()
    {
        plat::RecordFile file(HostListFile, HostRecord::Size);
        std::vector<HostRecord> hosts;
        QByteArray image;
        for (qint64 i = 1; file.open() && file.read(i, image); ++i)
            hosts.push_back(HostRecord::decode(image));
        return hosts;
    }
    QString cell(int row, int column) const { return ui->HostListGrid->item(row - 1, column)->text(); }
    void onRow(int row, const char *menuItem, ModalAnswers::Answer answer)
    {
        ModalAnswers answers;
        answers.then(QStringLiteral("TBPasswordDlg"), std::move(answer));
        ui->HostListGrid->selectRow(row - 1);
        form->PWPopupMenu->findChild<QAction *>(QLatin1String(menuItem))->trigger();
        EXPECT_TRUE(answers.done()) << menuItem;
    }

    TBLookupForm *main = nullptr;
    TBHostListForm *form = nullptr;
    Ui::TBHostListForm *ui = nullptr;
};

TEST_F(HostListWindowTest, HostsAreAddedMovedEditedForwardedAndSelected)
{
    for (int i = 1; i <= 5; ++i)
        AddHost(QStringLiteral("192.0.2.%1").arg(i), i == 2 ? QString() : QStringLiteral("host%1").arg(i),
                QStringLiteral("memo"));
    // A second Enter updates the host just added.
    ui->MemoEdit->setText(QStringLiteral("fifth"));
    QTest::keyClick(ui->MemoEdit, Qt::Key_Return);
    ASSERT_EQ(HostListCount, 6);
    EXPECT_EQ(ui->AddButton->text(), QStringLiteral("Update"));
    EXPECT_EQ(Stored().back().Memo, QStringLiteral("fifth"));

    // Dragging row 5 to row 2 reorders the file.
    ui->HostListGrid->verticalHeader()->moveSection(4, 1);
    QStringList order;
    for (const HostRecord &host : Stored())
        order << host.IpAddress.section(QLatin1Char('.'), 3);
    EXPECT_EQ(order, QStringList({"1", "5", "2", "3", "4"}));
    EXPECT_EQ(cell(2, 3), QStringLiteral("192.0.2.5"));
    EXPECT_EQ(ui->MemoEdit->text(), QStringLiteral("fifth"));

    // The edits follow a row chosen by the keys as by a click: Update then
    // writes the host that the edits show.
    const QRect firstRow = ui->HostListGrid->visualRect(ui->HostListGrid->model()->index(0, 4));
    QTest::mouseClick(ui->HostListGrid->viewport(), Qt::LeftButton, {}, firstRow.center());
    EXPECT_EQ(ui->IpAddrEdit->text(), QStringLiteral("192.0.2.1"));
    QTest::keyClick(ui->HostListGrid, Qt::Key_Down);
    EXPECT_EQ(ui->IpAddrEdit->text(), QStringLiteral("192.0.2.5"));
    EXPECT_EQ(ui->HostListGrid->currentRow(), 1);
    ui->MemoEdit->setText(QStringLiteral("fifth host"));
    QTest::keyClick(ui->MemoEdit, Qt::Key_Return);
    EXPECT_EQ(Stored()[0].IpAddress, QStringLiteral("192.0.2.1"));
    EXPECT_EQ(Stored()[1].Memo, QStringLiteral("fifth host"));

    // Row 2's OLC name gets its folder and board table; its user ID brings
    // the account file's handle; its passwords are stored converted.
    onRow(2, "OlcName", EnterText(QStringLiteral("日本")));
    const QString olcFolder = OlcClientDirectory + QStringLiteral("/日本");
    plat::RecordFile table(olcFolder + QStringLiteral("/日本.dat"), 240);
    QByteArray header;
    ASSERT_TRUE(table.open() && table.read(0, header) && table.count() == 1);
    EXPECT_EQ(plat::DecodeShortString(header.constData() + 9, 80), HeaderVersionText());
    EXPECT_EQ(cell(2, 0), QStringLiteral("SET"));

    QByteArray account(1024, '\0');
    account.replace(108, 33, plat::EncodeShortString(QStringLiteral("はなこ"), 32));
    QDir().mkpath(AccClientDirectory);
    QFile accountFile(AccClientDirectory + QStringLiteral("/U0001.acc"));
    ASSERT_TRUE(accountFile.open(QIODevice::WriteOnly) && accountFile.write(account) == account.size());
    accountFile.close();
    onRow(2, "UserID", EnterPassword(QStringLiteral("U0001")));
    onRow(2, "TelPWMenu", EnterPassword(QStringLiteral("secret")));
    onRow(2, "OlcpVersion", EnterPassword(QStringLiteral("OLCP209L")));
    HostRecord second = Stored()[1];
    EXPECT_EQ(second.OlcName, QStringLiteral("日本"));
    EXPECT_EQ(second.UserId, QStringLiteral("U0001"));
    EXPECT_EQ(second.Handle, QStringLiteral("はなこ"));
    EXPECT_EQ(second.TelPassword, ConvertPassword("secret"));
    EXPECT_EQ(cell(2, 1), QStringLiteral("SET"));
    EXPECT_EQ(cell(2, 7), QStringLiteral("OLCP209L"));
    EXPECT_EQ(second.IpAddress, QStringLiteral("192.0.2.5")); // the other fields stay

    // A second host choosing the same OLC name shares it only when asked.
    ModalAnswers share;
    share.then(QStringLiteral("TBPasswordDlg"), EnterText(QStringLiteral("日本")))
        .then(QStringLiteral("ShareQuestion"), PressButton(QMessageBox::No));
    ui->HostListGrid->selectRow(3);
    form->PWPopupMenu->findChild<QAction *>(QStringLiteral("OlcName"))->trigger();
    EXPECT_TRUE(share.done());
    EXPECT_TRUE(Stored()[3].OlcName.isEmpty());

    // Forward to the 209 host; a host of an unknown version cannot be one.
    ui->HostListGrid->selectRow(1);
    ui->ForwardButton->click();
    EXPECT_EQ(ForwardHost.IpAddress, QStringLiteral("192.0.2.5"));
    EXPECT_EQ(main->ui->AutoreplyCheckBox->text(), QStringLiteral("Forward"));
    EXPECT_EQ(main->ui->AutoreplyCheckBox->palette().color(QPalette::WindowText), QColor(255, 0, 255));
    EXPECT_TRUE(main->ui->AutoreplyCheckBox->isChecked() && main->ui->LockCheckBox->isChecked());
    EXPECT_EQ(ui->ForwardIpLabel->text(), QStringLiteral("host5"));
    ui->HostListGrid->selectRow(0);
    ui->ForwardButton->click();
    EXPECT_FALSE(main->ui->AutoreplyCheckBox->isChecked());
    EXPECT_TRUE(ForwardHost.IpAddress.isEmpty());

    // Selecting the nameless host makes its address the target's name.
    ui->HostListGrid->selectRow(2);
    ui->SelectButton->click();
    EXPECT_EQ(CurrentHost.IpAddress, QStringLiteral("192.0.2.2"));
    EXPECT_EQ(CurrentHost.HostName, QStringLiteral("192.0.2.2"));
    EXPECT_EQ(CurrentHost.HostListIndex, 3);
    EXPECT_EQ(main->ui->HostNameEdit->text(), QStringLiteral("192.0.2.2"));
    EXPECT_FALSE(form->isVisible());

    // Deleting the first host moves the rest up; the header stays.
    form->show();
    ModalAnswers deletion;
    deletion.then(QStringLiteral("DeleteQuestion"), PressButton(QMessageBox::Yes));
    ui->HostListGrid->selectRow(0);
    ui->DeleteButton->click();
    ASSERT_EQ(HostListCount, 5);
    EXPECT_EQ(Stored().front().IpAddress, QStringLiteral("192.0.2.5"));
    EXPECT_EQ(ui->HostListGrid->rowCount(), 4);
    EXPECT_EQ(CountListRecords(HostListFile), 5);
    // Nothing is selected now: Update writes no host until a row is chosen.
    const QByteArray afterDelete = env.readFile(ListFileName);
    ASSERT_EQ(afterDelete.size(), 5 * HostRecord::Size);
    ui->AddButton->click();
    EXPECT_EQ(env.readFile(ListFileName), afterDelete);

    // A version that a server thread records shows in the grid as well.
    CheckOlcpVersion(0, QStringLiteral("192.0.2.3"), QStringLiteral("OLCP303L"));
    QCoreApplication::processEvents();
    EXPECT_EQ(cell(3, 7), QStringLiteral("OLCP303L"));

    // Save writes a copy and names it for the next start; the list in use stays.
    const QString inUse = HostListFile;
    ModalAnswers save;
    save.then(QStringLiteral("SaveDialog"), testsupport::ChooseFile(env.file(QStringLiteral("copy.lst"))));
    ui->SaveButton->click();
    QFile original(inUse);
    ASSERT_TRUE(save.done() && original.open(QIODevice::ReadOnly));
    EXPECT_EQ(env.readFile(QStringLiteral("copy.lst")), original.readAll());
    EXPECT_EQ(ListFileName, QStringLiteral("copy.lst"));
    EXPECT_EQ(HostListFile, inUse);

    // A file that is no host list is not loaded.
    env.writeFile(QStringLiteral("other.lst"), QByteArray(2 * HostRecord::Size, 'x'));
    ModalAnswers load;
    load.then(QStringLiteral("OpenDialog"), testsupport::ChooseFile(env.file(QStringLiteral("other.lst"))));
    ui->LoadButton->click();
    EXPECT_TRUE(load.done());
    EXPECT_EQ(HostListFile, inUse);
    EXPECT_EQ(ui->HostListGrid->rowCount(), 4);

    // Loading a list selects no host either.
    ui->HostListGrid->selectRow(1);
    const QByteArray copy = env.readFile(QStringLiteral("copy.lst"));
    ModalAnswers loadCopy;
    loadCopy.then(QStringLiteral("OpenDialog"), testsupport::ChooseFile(env.file(QStringLiteral("copy.lst"))));
    ui->LoadButton->click();
    ASSERT_TRUE(loadCopy.done());
    EXPECT_EQ(HostListFile, env.file(QStringLiteral("copy.lst")));
    ui->AddButton->click();
    EXPECT_EQ(env.readFile(QStringLiteral("copy.lst")), copy);
}

// Names become folder and file names; passwords travel as plain bytes.
TEST(PasswordDialogEntry, RefusesUnsafeNamesAndOddPasswords)
{
    const struct {
        const char *text;
        bool name;
        bool accepted;
    } cases[] = {
        {"日本", true, true},       {"表示", true, true}, // a CP932 trail byte 0x5C is no separator
        {"ABCD1234", true, true},   {"日本語日本", true, false}, {"..", true, false},
        {".", true, false},         {"a/b", true, false},         {"a\\b", true, false},
        {"C:x", true, false},       {"a\tb", true, false},        {"\xF0\x9F\x92\xA3", true, false},
        {"pass wd", false, true},   {"ﾊﾟｽ", false, false},        {"123456789", false, false},
        {"a\x01z", false, false},
    };
    for (const auto &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        TBPasswordDlg dialog;
        bool accepted = false;
        if (c.name) {
            dialog.SetNameEntry();
            dialog.ui->Password->setText(text);
            ModalAnswers refusal;
            refusal.then(QStringLiteral("NameRefusal"), PressButton(QMessageBox::Ok));
            dialog.accept();
            accepted = dialog.result() == QDialog::Accepted;
            EXPECT_EQ(refusal.done(), !accepted) << c.text;
        } else {
            QString typed = text;
            int position = 0;
            accepted = dialog.ui->Password->validator()->validate(typed, position) == QValidator::Acceptable;
        }
        EXPECT_EQ(accepted, c.accepted) << c.text;
    }
}

} // namespace
