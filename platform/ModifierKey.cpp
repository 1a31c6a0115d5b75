#include "platform/ModifierKey.h"

#include <QKeyEvent>

namespace plat {

Qt::KeyboardModifier ArmingModifier(const QKeyEvent &event)
{
    Qt::KeyboardModifiers held = event.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    // The modifier key itself, whether or not the platform already counts it as held.
    if (event.key() == Qt::Key_Shift)
        held |= Qt::ShiftModifier;
    else if (event.key() == Qt::Key_Control)
        held |= Qt::ControlModifier;
    if (held == Qt::ShiftModifier)
        return Qt::ShiftModifier;
    if (held == Qt::ControlModifier)
        return Qt::ControlModifier;
    return Qt::NoModifier;
}

} // namespace plat
