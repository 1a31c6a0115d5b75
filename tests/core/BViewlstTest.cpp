// The viewer table: its comma list and the default viewers of a first start.
#include "core/BCommon.h"
#include "core/BViewlst.h"

#include "support/TempEnv.h"

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

class ViewerTableTest : public testsupport::TempEnvTest {
protected:
    void SetUp() override { ClearViewerTable(); }

    void addProgram(const QString &name, bool executable) const
    {
        env.writeFile(QStringLiteral("bin/") + name, "#!/bin/sh\nexit 0\n");
        if (executable)
            QFile::setPermissions(env.file(QStringLiteral("bin/") + name),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

TEST_F(ViewerTableTest, CommaListRoundTripsAndSkipsDeletedEntries)
{
    ParseViewerList(QStringLiteral("wav,,BMP,txt,"));
    ASSERT_EQ(ViewerCount, 4);
    EXPECT_EQ(ViewerTable[2].Extension, QStringLiteral("BMP"));
    EXPECT_EQ(ViewerTable[2].State, ViewerLoaded);
    EXPECT_EQ(BuildViewerList(false), QStringLiteral("wav,bmp,txt"));

    ParseViewerList(QStringLiteral("lzh"));
    ViewerTable[1].State = ViewerDeleted;
    ViewerTable[2].State = ViewerAdded;
    ViewerTable[3].State = ViewerAddedDeleted;
    EXPECT_EQ(BuildViewerList(true), QStringLiteral("bmp,lzh"));
    EXPECT_EQ(BuildViewerList(false), QStringLiteral("wav,bmp,txt,lzh"));

    ClearViewerTable();
    EXPECT_EQ(BuildViewerList(false), QString());
}

TEST_F(ViewerTableTest, CommaListStopsAtThirtyViewers)
{
    QStringList items;
    for (int i = 0; i < 35; ++i)
        items.append(QStringLiteral("e%1").arg(i));
    ParseViewerList(items.join(QLatin1Char(',')));
    EXPECT_EQ(ViewerCount, ViewerTableSize);
    EXPECT_EQ(BuildViewerList(false), items.mid(0, 30).join(QLatin1Char(',')));
    ParseViewerList(QStringLiteral("more"));
    EXPECT_EQ(ViewerCount, ViewerTableSize);
}

TEST_F(ViewerTableTest, DefaultViewersAreThePlayersOnThePath)
{
    ParseViewerList(QStringLiteral("old"));
    addProgram(QStringLiteral("paplay"), false); // not executable: passed over
    addProgram(QStringLiteral("aplay"), true);
    addProgram(QStringLiteral("mpv"), true);
    qputenv("PATH", env.file(QStringLiteral("bin")).toUtf8());

    EXPECT_EQ(CreateDefaultViewers(), QStringLiteral("wav,snd,avi,mpg"));
    ASSERT_EQ(ViewerCount, 5);
    const QString aplay = env.file(QStringLiteral("bin/aplay"));
    const QString mpv = env.file(QStringLiteral("bin/mpv"));
    const QStringList extensions = {"wav", "snd", "avi", "mpg"};
    const QStringList programs = {aplay, aplay, mpv, mpv};
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(ViewerTable[i].Extension, extensions[i - 1]);
        EXPECT_EQ(ViewerTable[i].Application, programs[i - 1]);
        EXPECT_EQ(ViewerTable[i].State, ViewerLoaded);
    }
}

TEST_F(ViewerTableTest, NoPlayersLeaveTheTableEmpty)
{
    ParseViewerList(QStringLiteral("old"));
    qputenv("PATH", "");
    EXPECT_EQ(CreateDefaultViewers(), QString());
    EXPECT_EQ(ViewerCount, 1);
    EXPECT_EQ(BuildViewerList(false), QString());
}

} // namespace
