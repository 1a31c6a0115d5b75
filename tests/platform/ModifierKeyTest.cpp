#include "platform/ModifierKey.h"

#include <QKeyEvent>

#include <gtest/gtest.h>

// What arms a one-shot, for the events a real X server sends: a modifier key
// pressed by itself carries no modifier, a key pressed while one is held does.
TEST(ModifierKey, CountsAModifierAloneWhetherOrNotTheEventCarriesIt)
{
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        Qt::KeyboardModifier armed;
    } cases[] = {
        {Qt::Key_Shift, Qt::NoModifier, Qt::ShiftModifier},
        {Qt::Key_Shift, Qt::ShiftModifier, Qt::ShiftModifier},
        {Qt::Key_Control, Qt::NoModifier, Qt::ControlModifier},
        {Qt::Key_A, Qt::ShiftModifier, Qt::ShiftModifier},
        {Qt::Key_A, Qt::ControlModifier | Qt::KeypadModifier, Qt::ControlModifier},
        {Qt::Key_A, Qt::NoModifier, Qt::NoModifier},
        {Qt::Key_Shift, Qt::ControlModifier, Qt::NoModifier},
        {Qt::Key_Control, Qt::ShiftModifier, Qt::NoModifier},
        {Qt::Key_A, Qt::ShiftModifier | Qt::AltModifier, Qt::NoModifier},
        {Qt::Key_Alt, Qt::NoModifier, Qt::NoModifier},
    };
    for (const auto &c : cases) {
        const QKeyEvent event(QEvent::KeyPress, c.key, c.modifiers);
        EXPECT_EQ(plat::ArmingModifier(event), c.armed) << c.key << " with " << c.modifiers.toInt();
    }
}
