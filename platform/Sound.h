#pragma once
// Sounds: a WAV file played in the background, or the desktop's beep.
#include <QString>

namespace plat {

// Starts playing the WAV file and returns at once; a sound still playing is
// cut off. An empty name or a missing file sounds the beep instead and returns
// false. Without an audio device nothing is heard. Callable from any thread:
// the sound is started on the GUI thread.
bool PlaySoundFile(const QString &wavFile);

} // namespace plat
