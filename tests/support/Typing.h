#pragma once
// Typing text as a user does, Japanese included: text that a keyboard cannot
// give key by key arrives the way an input method delivers it, committed into
// the widget with the focus.
#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QString>
#include <QWidget>

namespace testsupport {

inline void TypeText(QWidget *widget, const QString &text)
{
    widget->setFocus();
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(widget, &commit);
}

// Shift or Ctrl pressed by itself and let go, in the barer of the two forms a
// desktop sends: the key with no modifier set (the X state before the key went
// down). Qt's own X connection may add the modifier; the windows take both.
inline void TapModifierAlone(QWidget *widget, Qt::Key key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, key == Qt::Key_Shift ? Qt::ShiftModifier : Qt::ControlModifier);
    QApplication::sendEvent(widget, &release);
}

} // namespace testsupport
