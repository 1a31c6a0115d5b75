#include "platform/Help.h"
#include "platform/Sound.h"

#include "support/TempEnv.h"

#include <QCoreApplication>
#include <QDesktopServices>
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

// Takes the desktop's place in opening file URLs.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
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

TEST_F(SoundHelpTest, HelpOpensThePageBesideTheHelpFile)
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
    env.writeFile(QStringLiteral("Guide.html"), "<html></html>");

    EXPECT_TRUE(plat::OpenHelp(env.file(QStringLiteral("Guide.hlp"))));
    EXPECT_FALSE(plat::OpenHelp(env.file(QStringLiteral("Missing.hlp"))));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(recorder.opened.size(), 1);
    EXPECT_EQ(recorder.opened[0], QUrl::fromLocalFile(env.file(QStringLiteral("Guide.html"))));
}

#include "SoundHelpTest.moc"
