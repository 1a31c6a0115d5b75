#pragma once
// Private temporary folders for tests: one program's world (its main
// directory, registry files and named mutexes) in a folder of its own.
#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace testsupport {

// A temporary folder laid out for one program: the folder is its main
// directory, with "registry" and "runtime" below it. Nothing outside changes;
// environment() is what a program started on this folder runs with.
class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    QString path() const { return dir_.path(); }
    QString file(const QString &name) const { return dir_.filePath(name); }
    QString registryDir() const;
    QString runtimeDir() const;
    // This process's environment with the registry and the named mutexes
    // redirected into the folder.
    QProcessEnvironment environment() const;

    // Writes bytes to a file below the folder; creates its parent folders.
    void writeFile(const QString &name, const QByteArray &bytes) const;
    QByteArray readFile(const QString &name) const;

private:
    QTemporaryDir dir_;
};

// The test process's own folder: the registry files and the named mutexes of
// the platform layer are redirected into it for the test's lifetime.
class TempEnv : public TempFolder {
public:
    TempEnv();
    ~TempEnv();

private:
    QByteArray oldRegistry_, oldRuntime_;
};

// Path of a program built beside the tests (build/bin).
QString BinPath(const QString &program);

// A test fixture that gives every test case its own TempEnv.
class TempEnvTest : public ::testing::Test {
protected:
    TempEnv env;
};

} // namespace testsupport
