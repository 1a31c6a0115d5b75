#include "platform/Sound.h"

#include "platform/WinMessages.h"

#include <QApplication>
#include <QAudioDevice>
#include <QFileInfo>
#include <QMediaDevices>
#include <QPointer>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>

namespace plat {

namespace {

void Beep()
{
    // The beep goes through the GUI platform, which a console program lacks.
    if (qobject_cast<QApplication *>(QCoreApplication::instance()))
        QApplication::beep();
}

void Play(const QString &wavFile)
{
    if (QMediaDevices::audioOutputs().isEmpty()) {
        Beep();
        return;
    }
    // One player, as one sound at a time is heard: a new sound replaces the last.
    static QPointer<QSoundEffect> effect;
    if (!effect)
        effect = new QSoundEffect(QCoreApplication::instance());
    effect->stop();
    effect->setSource(QUrl::fromLocalFile(wavFile));
    effect->play();
}

} // namespace

bool PlaySoundFile(const QString &wavFile)
{
    if (wavFile.isEmpty() || !QFileInfo(wavFile).isFile()) {
        RunOnGuiThread(Beep);
        return false;
    }
    RunOnGuiThread([wavFile] { Play(wavFile); });
    return true;
}

} // namespace plat
