// Windows on a real X desktop (tests/support/on-desktop: Xvfb and openbox),
// driven by real key strokes and clicks through xdotool: Shift pressed by
// itself arms the next button as an X server sends it, and the host list's
// edits follow the arrow keys.
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "olc/BOlcCli.h"
#include "olc/BOlcPost.h"
#include "platform/FreeOnTerminateThread.h"
#include "support/FakeOlcServer.h"
#include "support/MainWindow.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "ui_BHostlst.h"
#include "ui_BLookup.h"
#include "ui_BOlcCli.h"

#include <QApplication>
#include <QPointer>
#include <QProcess>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// Runs xdotool with args while the program goes on handling its events.
bool XDoTool(const QStringList &args)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), args);
    return WaitUntil([&] { return xdotool.state() == QProcess::NotRunning; }) &&
           xdotool.exitStatus() == QProcess::NormalExit && xdotool.exitCode() == 0;
}

// The window manager gives window the focus.
bool Activate(QWidget *window)
{
    return XDoTool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), QString::number(window->winId())}) &&
           WaitUntil([window] { return window->isActiveWindow(); });
}

// xdotool's steps for a click at point of widget (its middle by default).
// The X server takes the move before the click, in the order sent.
QStringList ClickOn(const QWidget *widget, QPoint point = {-1, -1})
{
    const QPoint at = widget->mapToGlobal(point.x() < 0 ? widget->rect().center() : point);
    return {QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()), QStringLiteral("click"),
            QStringLiteral("1")};
}

class DesktopTest : public TempEnvTest {
protected:
    void SetUp() override { main = StartMainWindow(env); }
    void TearDown() override
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w != main && w->isVisible())
                w->close();
        }
        EXPECT_TRUE(WaitUntil([] { return plat::FreeOnTerminateThread::Running() == 0; }));
        delete main;
    }

    TBLookupForm *main = nullptr;
};

TEST_F(DesktopTest, TheHostListEditsFollowTheArrowKeys)
{
    TBHostListForm form;
    BHostListForm = &form;
    LoadHostList();
    for (const char *address : {"192.0.2.1", "192.0.2.2"}) {
        HostRecord host;
        host.IpAddress = QLatin1String(address);
        ASSERT_GT(AppendHostRecord(host), 0);
    }
    form.FillHostGrid();
    form.show();
    ASSERT_TRUE(Activate(&form));
    QTableWidget *grid = form.ui->HostListGrid;
    const int first = LocalAddresses.isEmpty() ? 0 : 1; // the default list holds this machine
    // A click on the first added host, Tab, Tab back to the grid, Down.
    ASSERT_TRUE(XDoTool(ClickOn(grid->viewport(), grid->visualRect(grid->model()->index(first, 3)).center())));
    ASSERT_TRUE(WaitUntil([&] { return form.ui->IpAddrEdit->text() == QStringLiteral("192.0.2.1"); }));
    ASSERT_TRUE(XDoTool({QStringLiteral("key"), QStringLiteral("Tab"), QStringLiteral("Tab"), QStringLiteral("Down")}));
    EXPECT_TRUE(WaitUntil([&] { return form.ui->IpAddrEdit->text() == QStringLiteral("192.0.2.2"); }));
    EXPECT_TRUE(grid->hasFocus());
    form.close();
    BHostListForm = nullptr;
}

TEST_F(DesktopTest, ShiftByItselfArmsBoardAndPostInTheOlcClientWindow)
{
    OlcClientDirectory = env.file(QStringLiteral("OlcClient"));
    OlcServerScript script;
    OlcBoardLine board;
    board.key = "GEN";
    board.name = "General";
    board.msgNum = 3;
    script.boards = {board};
    for (qint32 n = 1; n <= 3; ++n) {
        OlcTitleLine title;
        title.number = n;
        title.title = "title " + QByteArray::number(n);
        script.titles[1].push_back(title);
    }
    FakeOlcServer olc(script);
    HostRecord target;
    target.IpAddress = QStringLiteral("127.0.0.1");
    target.HostName = QStringLiteral("olcserver");
    target.Handle = QStringLiteral("me");
    target.OlcName = QStringLiteral("SRV");
    main->ui->HostNameEdit->setText(target.IpAddress);
    CurrentHost = target;
    main->LogTargetHost();
    main->ui->OlcButton->click();
    TBOlcClientForm *w = ShownWindow<TBOlcClientForm>();
    ASSERT_TRUE(w);
    w->ui->LogonButton->click();
    w->ui->SwitchButton->click(); // the titles of GEN
    QTableWidget *titles = w->ui->MsgsGrid;
    ASSERT_EQ(titles->rowCount(), 3);

    // Title 2 chosen, then Shift by itself and Post: the post answers title 2.
    OlcServerScript posterScript;
    OlcReadBoard postBoard;
    postBoard.key = "GEN";
    posterScript.readBoards = {postBoard};
    FakeOlcServer poster(posterScript);
    ASSERT_TRUE(Activate(w));
    ASSERT_TRUE(XDoTool(ClickOn(titles->viewport(), titles->visualRect(titles->model()->index(1, 1)).center()) +
                        QStringList{QStringLiteral("key"), QStringLiteral("shift")} + ClickOn(w->ui->PostButton)));
    ASSERT_TRUE(WaitUntil([] { return ShownWindow<TBOlcPostForm>() != nullptr; }));
    QPointer<TBOlcPostForm> post(ShownWindow<TBOlcPostForm>());
    EXPECT_EQ(post->ReplyEdit->text(), QStringLiteral("00002"));
    post->close();
    ASSERT_TRUE(WaitUntil([&] { return !post && w->ui->PostButton->isEnabled(); }));

    // Shift by itself, then Board: the board list comes again from the server.
    ASSERT_TRUE(Activate(w));
    ASSERT_TRUE(XDoTool(QStringList{QStringLiteral("key"), QStringLiteral("shift")} + ClickOn(w->ui->SwitchButton)));
    EXPECT_TRUE(WaitUntil([&] { return olc.commands().count("BOARD") == 2; }));
    EXPECT_EQ(w->ui->SwitchButton->text(), QStringLiteral("Msgs"));
    QPointer<TBOlcClientForm> client(w);
    w->close();
    EXPECT_TRUE(WaitUntil([&] { return !client; }));
}

} // namespace
