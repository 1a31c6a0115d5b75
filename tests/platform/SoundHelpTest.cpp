#include "platform/Help.h"
#include "platform/Sound.h"

#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <tuple>
#include <QUrl>

#include <gtest/gtest.h>

#include <thread>

namespace {

// A WAV file of a short silence: 8 kHz, 8-bit mono.
QByteArray SilentWav()
{
    const QByteArray samples(800, char(0x80));
    auto le32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
    auto le16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char *>(&v), 2); };
    return "RIFF" + le32(36 + samples.size()) + "WAVE" + "fmt " + le32(16) + le16(1) + le16(1) + le32(8000)
        + le32(8000) + le16(1) + le16(8) + "data" + le32(samples.size()) + samples;
}

class SoundHelpTest : public testsupport::TempEnvTest {};

} // namespace

TEST_F(SoundHelpTest, SoundsPlayFromAnyThreadAndMissingFilesOnlyBeep)
{
    env.writeFile(QStringLiteral("chime.wav"), SilentWav());
    const QString chime = env.file(QStringLiteral("chime.wav"));
    EXPECT_FALSE(plat::PlaySoundFile(QString()));
    EXPECT_FALSE(plat::PlaySoundFile(env.file(QStringLiteral("missing.wav"))));
    EXPECT_TRUE(plat::PlaySoundFile(chime));
    bool fromThread = false;
    std::thread([&] { fromThread = plat::PlaySoundFile(chime); }).join();
    EXPECT_TRUE(fromThread);
    // Whatever audio the machine has, starting and replacing sounds is harmless.
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The page opens in the first browser of $BROWSER that exists, else through
// xdg-open, at the anchor asked for; a missing page opens nothing.
TEST_F(SoundHelpTest, HelpOpensThePageBesideTheHelpFileAtItsAnchor)
{
    env.writeFile(QStringLiteral("Guide.html"), "<html></html>");
    const QString page = QUrl::fromLocalFile(env.file(QStringLiteral("Guide.html"))).toString();
    // Stand-in browsers that note their arguments in one file.
    for (const char *name : {"browser", "bin/xdg-open"}) {
        env.writeFile(QLatin1String(name), "#!/bin/sh\necho \"$*\" >> " + env.file(QStringLiteral("opened.txt")).toUtf8() + "\n");
        QFile::setPermissions(env.file(QLatin1String(name)), QFile::ReadOwner | QFile::ExeOwner);
    }
    const QByteArray browser = env.file(QStringLiteral("browser")).toUtf8();
    const QByteArray savedPath = qgetenv("PATH"), savedBrowser = qgetenv("BROWSER");
    qputenv("PATH", env.file(QStringLiteral("bin")).toUtf8() + ":/usr/bin:/bin");
    const std::tuple<QByteArray, QString, QString> cases[] = {
        {"no-such-browser:" + browser + " --new-tab %s", QStringLiteral("5001"), "--new-tab " + page + "#5001"},
        {"", QStringLiteral("TBLookupForm"), page + "#TBLookupForm"}, // xdg-open
        {"::", QString(), page},
    };
    for (const auto &[browsers, anchor, expected] : cases) {
        QFile::remove(env.file(QStringLiteral("opened.txt")));
        qputenv("BROWSER", browsers);
        EXPECT_TRUE(plat::OpenHelp(env.file(QStringLiteral("Guide.hlp")), anchor));
        EXPECT_TRUE(testsupport::WaitUntil([&] { return env.readFile(QStringLiteral("opened.txt")).endsWith('\n'); }));
        EXPECT_EQ(QString::fromUtf8(env.readFile(QStringLiteral("opened.txt"))), expected + QLatin1Char('\n'));
    }
    EXPECT_FALSE(plat::OpenHelp(env.file(QStringLiteral("Missing.hlp")), QStringLiteral("2200")));
    qputenv("PATH", savedPath);
    qputenv("BROWSER", savedBrowser);
}

// F1 alone, in any window, asks for the help of the widget that has the key.
TEST_F(SoundHelpTest, TheHelpKeyNamesTheWidgetAndGoesNoFurther)
{
    QList<QWidget *> asked;
    QObject *filter = plat::InstallHelpKey(*qApp, [&](QWidget *w) { asked.append(w); });
    QWidget window;
    auto *edit = new QLineEdit(&window);
    QTest::keyClick(edit, Qt::Key_F1);
    QTest::keyClick(edit, Qt::Key_F1, Qt::ShiftModifier);
    QTest::keyClick(edit, Qt::Key_A);
    QTest::keyClick(&window, Qt::Key_F1);
    delete filter;
    QTest::keyClick(edit, Qt::Key_F1);
    EXPECT_EQ(asked, (QList<QWidget *>{edit, &window}));
    EXPECT_EQ(edit->text(), QStringLiteral("a"));
}

