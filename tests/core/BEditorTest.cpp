// The editor window: the auto-reply message saved into its two files and the
// TEL log and switched on, or cancelled; "Latest", Load, Save and dropped
// files, in rich and in plain mode.
#include "core/BCommon.h"
#include "core/BEditor.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "platform/Cp932.h"
#include "platform/RecordFile.h"
#include "support/MainWindow.h"
#include "support/Modals.h"
#include "support/TempEnv.h"
#include "support/Typing.h"
#include "tel/BTelLog.h"
#include "ui_BEditor.h"
#include "ui_BLookup.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QUrl>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class EditorTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        form = StartMainWindow(env);
        main = form->ui.get();
        BEditorForm = new TBEditorForm();
        ui = BEditorForm->ui.get();
        PlainTransmit = false;
    }
    void TearDown() override
    {
        delete BEditorForm;
        BEditorForm = nullptr;
        delete form;
    }
    void type(const QString &text) { ui->SendRich->Rich()->insertPlainText(text); }
    QString body() const { return ui->SendRich->Rich()->toPlainText(); }
    QString memo() const { return main->LookupMemo->toPlainText(); }
    void pressShift() { testsupport::TapModifierAlone(ui->SendRich->Rich(), Qt::Key_Shift); }
    static QByteArray bodyOf(const MessageRecord &r) { return plat::ReadFileAt(TelTextFile(), r.Start, r.Bytes); }

    TBLookupForm *form = nullptr;
    Ui::TBLookupForm *main = nullptr;
    Ui::TBEditorForm *ui = nullptr;
};

TEST_F(EditorTest, TheAutoReplyMessageIsSavedLoggedAndSwitchedOnThenEditedAgainAndRefusedOverSixtyFourKiB)
{
    ASSERT_GE(plat::AppendToFile(TelTextFile(), "xyz"), 0); // an earlier body
    AutoReplyFile = env.file(QStringLiteral("configured.txt"));
    main->AutoreplyCheckBox->click();
    ASSERT_TRUE(BEditorForm->isVisible());
    EXPECT_FALSE(main->AutoreplyCheckBox->isEnabled());
    EXPECT_EQ(ui->SendButton->text(), QStringLiteral("AutoRep"));
    EXPECT_EQ(ui->ToLabel->text(), QStringLiteral("Richtext Editor"));
    EXPECT_FALSE(ui->FileButton->isVisible());
    EXPECT_FALSE(ui->BottomPanel1->isVisible());

    type(QStringLiteral("ただいま留守にしています\nBack soon"));
    const QByteArray rtf = ui->SendRich->SaveToBuffer();
    ASSERT_TRUE(rtf.startsWith("{\\rtf"));
    ui->SendButton->click();
    EXPECT_FALSE(BEditorForm->isVisible());
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/AutoRep_Rich.txt")), rtf);
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/AutoRep_Plain.txt")),
              plat::ToCp932(QStringLiteral("ただいま留守にしています\r\nBack soon\r\n")));
    EXPECT_TRUE(AutoReplyFile.value().isEmpty());
    EXPECT_TRUE(main->AutoreplyCheckBox->isChecked());
    EXPECT_TRUE(main->AutoreplyCheckBox->isEnabled());
    EXPECT_TRUE(main->LockCheckBox->isChecked());
    EXPECT_TRUE(memo().contains(QStringLiteral("AutoReply message  ")));
    EXPECT_TRUE(memo().contains(QStringLiteral("  %1Bytes").arg(rtf.size())));

    auto tels = StoredTels();
    ASSERT_EQ(tels.size(), 1u);
    EXPECT_EQ(tels[0].Number, 1);
    EXPECT_EQ(tels[0].Start, 3);
    EXPECT_EQ(tels[0].Bytes, rtf.size());
    EXPECT_EQ(tels[0].Title, QStringLiteral("Send  <<Text>>"));
    EXPECT_EQ(tels[0].Flags, 0);
    EXPECT_EQ(tels[0].Address, 0u);
    EXPECT_EQ(tels[0].Handle, QStringLiteral("【Auto Reply】"));
    EXPECT_EQ(bodyOf(tels[0]), rtf);

    // Opened from the check box again: the current message is edited, here in Plain mode.
    main->AutoreplyCheckBox->click();
    main->AutoreplyCheckBox->click();
    ASSERT_TRUE(BEditorForm->isVisible());
    EXPECT_EQ(body(), QStringLiteral("ただいま留守にしています\nBack soon"));
    ui->PlainCheckBox->click();
    EXPECT_TRUE(PlainTransmit);
    EXPECT_EQ(ui->ToLabel->text(), QStringLiteral("Plaintext Editor"));
    type(QStringLiteral("!"));
    ui->SendButton->click();
    const QByteArray plain = plat::ToCp932(QStringLiteral("ただいま留守にしています\r\nBack soon!"));
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/AutoRep_Rich.txt")), plain);
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/AutoRep_Plain.txt")), plain + "\r\n");
    tels = StoredTels();
    ASSERT_EQ(tels.size(), 2u);
    EXPECT_EQ(tels[1].Number, 2);
    EXPECT_EQ(tels[1].Start, 3 + rtf.size());
    EXPECT_EQ(bodyOf(tels[1]), plain);

    // A message that would not fit a reply is refused, never cut; closing then cancels.
    main->AutoreplyCheckBox->click();
    main->AutoreplyCheckBox->click();
    ui->SendRich->Clear();
    type(QString(70000, QLatin1Char('a')));
    ui->SendButton->click();
    EXPECT_TRUE(BEditorForm->isVisible());
    EXPECT_EQ(ui->SendStatusBar->currentMessage(),
              QStringLiteral("*** Text too long : 70000 Bytes (at most 65536 Bytes) ***"));
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/AutoRep_Rich.txt")), plain);
    EXPECT_EQ(StoredTels().size(), 2u);
    ui->ExitButton->click();
    EXPECT_FALSE(main->AutoreplyCheckBox->isChecked());
    EXPECT_TRUE(main->AutoreplyCheckBox->isEnabled());
}

TEST_F(EditorTest, AnEmptyAutoReplyMessageClosesTheEditorAndCancelsAutoReply)
{
    main->AutoreplyCheckBox->click();
    ASSERT_TRUE(BEditorForm->isVisible());
    ui->SendButton->click();
    EXPECT_FALSE(BEditorForm->isVisible());
    EXPECT_TRUE(memo().contains(QStringLiteral("... AutoReply Message Canceled ...")));
    EXPECT_FALSE(main->AutoreplyCheckBox->isChecked());
    EXPECT_TRUE(main->AutoreplyCheckBox->isEnabled());
    EXPECT_FALSE(main->LockCheckBox->isChecked());
    EXPECT_TRUE(StoredTels().empty());
    EXPECT_FALSE(QFile::exists(AutoReplyRichFile));
}

TEST_F(EditorTest, LatestLoadSaveAndDroppedFilesFillTheBodyAndPlainModeShowsRtfAsText)
{
    TRichView last;
    last.SetInputMode(true);
    last.Rich()->insertPlainText(QStringLiteral("前回の本文"));
    env.writeFile(QStringLiteral("Temp/Temp$$$$.txt"), last.SaveToBuffer());
    main->EditorButton->click();
    ASSERT_TRUE(BEditorForm->isVisible());
    BEditorForm->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(BEditorForm));

    // Shift offers the last sent text, except while the body is being written.
    type(QStringLiteral("typing"));
    ui->SendRich->SetFocus();
    pressShift();
    EXPECT_EQ(ui->LoadButton->text(), QStringLiteral("Load"));
    ui->SendRich->Clear();
    pressShift();
    EXPECT_EQ(ui->LoadButton->text(), QStringLiteral("Latest"));
    ui->LoadButton->click();
    EXPECT_EQ(body(), QStringLiteral("前回の本文"));
    EXPECT_EQ(ui->LoadButton->text(), QStringLiteral("Load"));

    ui->PlainCheckBox->click();
    ui->SendRich->Clear();
    pressShift();
    ui->LoadButton->click();
    EXPECT_TRUE(ui->SendRich->PlainText());
    EXPECT_EQ(body(), QStringLiteral("前回の本文"));

    env.writeFile(QStringLiteral("texts/load.txt"), plat::ToCp932(QStringLiteral("読み込み\r\n二行目")));
    {
        ModalAnswers answers;
        answers.then(QStringLiteral("OpenDialog"), ChooseFile(env.file(QStringLiteral("texts/load.txt"))));
        ui->LoadButton->click();
        EXPECT_TRUE(answers.done());
    }
    EXPECT_EQ(body(), QStringLiteral("読み込み\n二行目"));
    EXPECT_EQ(TextDirectory, env.file(QStringLiteral("texts")));
    {
        ModalAnswers answers;
        answers.then(QStringLiteral("SaveDialog"), ChooseFile(env.file(QStringLiteral("texts/saved.txt"))));
        ui->SaveButton->click();
        EXPECT_TRUE(answers.done());
    }
    EXPECT_EQ(env.readFile(QStringLiteral("texts/saved.txt")), plat::ToCp932(QStringLiteral("読み込み\r\n二行目\r\n")));
    EXPECT_EQ(LastEditFile, QStringLiteral("saved.txt"));

    // Of three dropped files only the first is taken.
    QList<QUrl> urls;
    for (const char *name : {"a.txt", "b.txt", "c.txt"}) {
        env.writeFile(QLatin1String(name), QByteArray("dropped ") + name);
        urls.append(QUrl::fromLocalFile(env.file(QLatin1String(name))));
    }
    QMimeData data;
    data.setUrls(urls);
    QWidget *target = ui->SendRich->Rich()->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_EQ(body(), QStringLiteral("dropped a.txt"));
    BEditorForm->close();
}

} // namespace
