// Entry of every test program: one QApplication (offscreen under ctest) for
// the widgets, event loops and threads that the tests use, and the program's
// global state kept apart per test case.
#include "ProgramState.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    testsupport::GuardEveryTestCase();
    return RUN_ALL_TESTS();
}
