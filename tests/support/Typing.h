#pragma once
// Typing text as a user does, Japanese included: text that a keyboard cannot
// give key by key arrives the way an input method delivers it, committed into
// the widget with the focus.
#include <QApplication>
#include <QInputMethodEvent>
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

} // namespace testsupport
