#pragma once
// Whether a message view's header pane shows all its lines, lined up: the
// windows pad their header labels with blanks ("Number   :"), which only a
// fixed-pitch font lines up, and a line below the pane's edge is a line the
// user never sees.
#include "core/RichView.h"

#include <QApplication>
#include <QFontInfo>
#include <QPlainTextEdit>
#include <QScrollBar>

#include <gtest/gtest.h>

namespace testsupport {

inline ::testing::AssertionResult HeadShowsAllLines(const TRichView *view)
{
    QApplication::processEvents();
    const QPlainTextEdit *memo = view->Memo();
    if (!memo->isVisible())
        return ::testing::AssertionFailure() << "the header pane is not visible";
    if (!QFontInfo(memo->font()).fixedPitch())
        return ::testing::AssertionFailure() << "the header font " << memo->font().family().toStdString()
                                             << " is not fixed-pitch";
    if (const int hidden = memo->verticalScrollBar()->maximum(); hidden > 0)
        return ::testing::AssertionFailure() << hidden << " of " << memo->blockCount()
                                             << " header lines are below the pane's edge";
    return ::testing::AssertionSuccess();
}

} // namespace testsupport
