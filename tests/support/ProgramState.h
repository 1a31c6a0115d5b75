#pragma once
// The process-wide state of the program kept apart per test case. The program
// keeps its settings, tables, window pointers, seams, log memo and server
// sockets in globals; a case that changes one would otherwise leave it to
// whichever case runs next. The test programs' main installs the guard around
// every case, so no fixture saves and restores globals by hand.
#include <QList>
#include <QPointer>
#include <QProcessEnvironment>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <vector>

namespace testsupport {

class ProgramStateGuard {
public:
    // Notes every global, the environment and the windows as they stand.
    ProgramStateGuard();
    // Ends what the case left running (server sockets, connections,
    // self-freeing threads), closes the windows it left open, drops log lines
    // still on their way to a memo, and puts every global and the
    // environment back.
    ~ProgramStateGuard();
    ProgramStateGuard(const ProgramStateGuard &) = delete;
    ProgramStateGuard &operator=(const ProgramStateGuard &) = delete;

private:
    template <typename T>
    void keep(T &global);

    std::vector<std::function<void()>> restores_;
    QList<QPointer<QWidget>> windows_;
    const QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
};

// Registers a ProgramStateGuard for every test case with GoogleTest; call it
// after InitGoogleTest.
void GuardEveryTestCase();

// The four archiver libraries the platform brings.
QStringList ArchiverLibraryNames();
// Lets the archivers find only the present libraries from now on: those they
// loaded are freed first. The guard makes all four present again after each
// case.
void KeepOnlyArchiverLibraries(const QStringList &present);

} // namespace testsupport
