#pragma once
// The modifier a key press arms a one-shot action with, as a real desktop
// sends it. On X11 the state of a key event is the state before the key went
// down, so Shift or Ctrl pressed by itself can arrive as Key_Shift or
// Key_Control with no modifier set (some toolkit versions add it); a key
// pressed while Shift is held carries the modifier. Windows that arm an alternate action by Shift or Ctrl ask here,
// so that both kinds of event count and a chord of two modifiers counts as none.
#include <Qt>

class QKeyEvent;

namespace plat {

// Qt::ShiftModifier or Qt::ControlModifier when the event is that modifier
// alone (pressed by itself, or held as the only modifier of another key);
// Qt::NoModifier otherwise.
Qt::KeyboardModifier ArmingModifier(const QKeyEvent &event);

} // namespace plat
