#include "platform/Help.h"
#include "platform/Sound.h"

#include "support/TempEnv.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QThread>
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

// A stand-in browser: a script that appends its arguments to a file.
QString FakeBrowser(const testsupport::TempEnv &env, const QString &name)
{
    const QString log = env.file(QStringLiteral("opened.txt"));
    env.writeFile(name, "#!/bin/sh\necho \"$*\" >> '" + log.toUtf8() + "'\n");
    QFile::setPermissions(env.file(name), QFile::ReadOwner | QFile::ExeOwner);
    return env.file(name);
}

// Sets an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value) : name_(name), old_(qgetenv(name)), had_(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }

private:
    const char *name_;
    QByteArray old_;
    bool had_;
};

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
    const QString browser = FakeBrowser(env, QStringLiteral("browser"));
    FakeBrowser(env, QStringLiteral("bin/xdg-open"));
    const ScopedEnv path("PATH", env.file(QStringLiteral("bin")).toUtf8() + ":/usr/bin:/bin");
    struct Case {
        QByteArray browsers;
        QString anchor;
        QString expected;
    };
    const Case cases[] = {
        {browser.toUtf8(), QStringLiteral("2200"), page + QStringLiteral("#2200")},
        {"no-such-browser:" + browser.toUtf8() + " --new-tab %s", QStringLiteral("5001"),
         QStringLiteral("--new-tab ") + page + QStringLiteral("#5001")},
        {"", QStringLiteral("TBLookupForm"), page + QStringLiteral("#TBLookupForm")}, // xdg-open
        {"::", QString(), page},
    };
    for (const Case &c : cases) {
        QFile::remove(env.file(QStringLiteral("opened.txt")));
        const ScopedEnv browsers("BROWSER", c.browsers);
        EXPECT_TRUE(plat::OpenHelp(env.file(QStringLiteral("Guide.hlp")), c.anchor)) << c.browsers.constData();
        EXPECT_TRUE(testsupport::WaitUntil([&] { return env.readFile(QStringLiteral("opened.txt")).endsWith('\n'); }));
        EXPECT_EQ(QString::fromUtf8(env.readFile(QStringLiteral("opened.txt"))), c.expected + QLatin1Char('\n'))
            << c.browsers.constData();
    }
    QFile::remove(env.file(QStringLiteral("opened.txt")));
    EXPECT_FALSE(plat::OpenHelp(env.file(QStringLiteral("Missing.hlp")), QStringLiteral("2200")));
    EXPECT_EQ(plat::HelpPagePath(QStringLiteral("Kalvex.hlp")),
              QCoreApplication::applicationDirPath() + QStringLiteral("/Kalvex.html"));
    QThread::msleep(50);
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("opened.txt"))));
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

