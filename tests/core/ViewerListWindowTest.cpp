// The viewer list window at work: entering, changing, deleting and dragging
// viewers with their states, the options, the full list and the text that
// closing leaves in the configuration window; and the entries it refuses.
#include "core/BAppli.h"
#include "core/BCommon.h"
#include "core/BConfig.h"
#include "core/BRegistr.h"
#include "core/BViewlst.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "ui_BConfig.h"
#include "ui_BViewlst.h"

#include <QHeaderView>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using testsupport::ModalAnswers;
using testsupport::PressButton;

class ViewerListWindowTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override
    {
        BConfigForm = &config;
        ClearViewerTable();
        ParseViewerList(QStringLiteral("wav,avi"));
        ViewerTable[1].Application = QStringLiteral("/usr/bin/player");
        ViewerTable[2].Application = QStringLiteral("/usr/bin/movie");
        ImageViewer = UsingWindows95 = false;
        HtmlViewer = 2;
    }
    void TearDown() override { BConfigForm = nullptr; }

    void Enter(const QString &extension, const QString &application)
    {
        ui->ClearButton->click();
        ui->ExtEdit->setText(extension);
        ui->AppliEdit->setText(application);
        ui->EnterButton->click();
    }
    QString Cell(int row, int column) const { return ui->ViewerListGrid->item(row - 1, column)->text(); }

    TBConfigForm config;
    TBViewerListForm form{&config};
    Ui::TBViewerListForm *ui = form.ui.get();
};

TEST_F(ViewerListWindowTest, EntriesChangeWithTheirStates)
{
    ASSERT_EQ(ViewerCount, 3);
    form.show();
    EXPECT_EQ(ui->ViewerListGrid->rowCount(), 2);
    EXPECT_EQ(Cell(2, 1), QStringLiteral("/usr/bin/movie"));
    // Each column shows its title and values whole; short ones all fit in the grid.
    QTableWidget *grid = ui->ViewerListGrid;
    const auto columnsWhole = [grid] {
        const QAbstractItemView *cells = grid;
        for (int column = 0; column < 2; ++column) {
            if (grid->columnWidth(column) <
                std::max(cells->sizeHintForColumn(column), grid->horizontalHeader()->sectionSizeHint(column)))
                return false;
        }
        return true;
    };
    EXPECT_TRUE(columnsWhole());
    EXPECT_LE(grid->columnViewportPosition(1) + grid->columnWidth(1), grid->viewport()->width());

    // A new extension in capitals is added in lower case; Enter in the
    // application field enters it too.
    ui->ExtEdit->setText(QStringLiteral("TXT"));
    ui->AppliEdit->setText(QStringLiteral("/usr/bin/pager"));
    QTest::keyClick(ui->AppliEdit, Qt::Key_Return);
    ASSERT_EQ(ViewerCount, 4);
    EXPECT_EQ(ViewerTable[3].Extension, QStringLiteral("txt"));
    EXPECT_EQ(ViewerTable[3].State, ViewerAdded);
    EXPECT_TRUE(ui->ExtEdit->isReadOnly());

    // Entering a loaded extension again changes it in place; a long path shows whole.
    Enter(QStringLiteral("wav"), QStringLiteral("/usr/bin/other") + QString(120, QLatin1Char('x')));
    EXPECT_TRUE(columnsWhole());
    Enter(QStringLiteral("wav"), QStringLiteral("/usr/bin/other"));
    EXPECT_EQ(ViewerCount, 4);
    EXPECT_EQ(ViewerTable[1].Application, QStringLiteral("/usr/bin/other"));
    EXPECT_EQ(ViewerTable[1].State, ViewerChanged);

    // Deleting an added entry, then entering it again.
    ui->ViewerListGrid->selectRow(2);
    ui->DeleteButton->click();
    EXPECT_EQ(ViewerTable[3].State, ViewerAddedDeleted);
    EXPECT_EQ(Cell(3, 1), QStringLiteral("<Deleted>"));
    Enter(QStringLiteral("txt"), QStringLiteral("/usr/bin/pager"));
    EXPECT_EQ(ViewerTable[3].State, ViewerAdded);

    // A click on a row fills the edits.
    ui->ViewerListGrid->selectRow(1);
    form.GridClick();
    EXPECT_EQ(ui->ExtEdit->text(), QStringLiteral("avi"));
    EXPECT_EQ(ui->AppliEdit->text(), QStringLiteral("/usr/bin/movie"));

    // Dragging row 3 to row 1 shifts the others down; states stay.
    form.GridRowMoved(3, 1);
    EXPECT_EQ(ViewerTable[1].Extension, QStringLiteral("txt"));
    EXPECT_EQ(ViewerTable[2].Extension, QStringLiteral("wav"));
    EXPECT_EQ(ViewerTable[3].Extension, QStringLiteral("avi"));
    EXPECT_EQ(ViewerTable[2].State, ViewerChanged);
    EXPECT_EQ(Cell(1, 0), QStringLiteral("txt"));

    // The application dialog fills the application field.
    ModalAnswers refer;
    refer.then(QStringLiteral("TBAppliDlg"), [&](QWidget *dialog) {
        auto *appli = static_cast<TBAppliDlg *>(dialog);
        env.writeFile(QStringLiteral("viewer"), "#!");
        appli->SetFolder(env.path());
        appli->SelectFile(QStringLiteral("viewer"));
        appli->accept();
    });
    ui->ReferenceButton->click();
    EXPECT_TRUE(refer.done());
    EXPECT_EQ(ui->AppliEdit->text(), env.file(QStringLiteral("viewer")));

    // Windows' associations switch the list off.
    ui->Windows95CheckBox->setChecked(true);
    EXPECT_TRUE(UsingWindows95);
    EXPECT_FALSE(ui->ViewerListGrid->isEnabled());
    EXPECT_FALSE(ui->EnterButton->isEnabled());
    ui->Windows95CheckBox->setChecked(false);

    // Closing leaves the registered extensions, the deleted one left out.
    ui->ViewerListGrid->selectRow(2);
    ui->DeleteButton->click();
    form.close();
    EXPECT_EQ(config.ui->ViewerEdit->text(), QStringLiteral("txt,wav"));
    ImageViewer = true;
    form.show();
    form.close();
    EXPECT_EQ(config.ui->ViewerEdit->text(), QStringLiteral("Using Internal Image / HTML Viewer"));
}

TEST_F(ViewerListWindowTest, AFullListWarnsAndTakesNoMore)
{
    ClearViewerTable();
    form.show();
    for (int i = 1; i < ViewerTableSize; ++i)
        Enter(QStringLiteral("e%1").arg(i), QStringLiteral("/usr/bin/app"));
    ASSERT_EQ(ViewerCount, ViewerTableSize);

    ModalAnswers full;
    full.then(QStringLiteral("ListFull"), PressButton(QMessageBox::Ok))
        .then(QStringLiteral("ListFull"), PressButton(QMessageBox::Ok));
    Enter(QStringLiteral("one-more"), QStringLiteral("/usr/bin/app"));
    EXPECT_EQ(ViewerCount, ViewerTableSize);
    EXPECT_EQ(ui->ViewerListGrid->rowCount(), ViewerTableSize - 1);
    form.close();
    form.show();
    EXPECT_TRUE(full.done());
}

// Entries the list refuses: nothing changes in the table.
TEST_F(ViewerListWindowTest, RefusedEntriesLeaveTheTable)
{
    form.show();
    const struct {
        QString extension, application;
    } refused[] = {
        {QStringLiteral("a,b"), QStringLiteral("/usr/bin/app")},
        {QStringLiteral("a b"), QStringLiteral("/usr/bin/app")},
        {QStringLiteral("tab\t"), QStringLiteral("/usr/bin/app")},
        {QStringLiteral("new\n"), QStringLiteral("/usr/bin/app")},
        {QString(), QStringLiteral("/usr/bin/app")},
        {QStringLiteral("doc"), QString()},
    };
    for (const auto &entry : refused) {
        Enter(entry.extension, entry.application);
        EXPECT_EQ(ViewerCount, 3) << entry.extension.toStdString();
    }
    // Delete without an entry row selected does nothing.
    ui->ViewerListGrid->clearSelection();
    ui->DeleteButton->click();
    EXPECT_EQ(ViewerTable[1].State, ViewerLoaded);
    EXPECT_EQ(ViewerTable[2].State, ViewerLoaded);
    EXPECT_EQ(BuildViewerList(true), QStringLiteral("wav,avi"));
}

} // namespace
