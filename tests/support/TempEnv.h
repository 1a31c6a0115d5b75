#pragma once
// A private temporary folder per test, with the registry files and the named
// mutexes of the platform layer redirected into it.
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace testsupport {

class TempEnv {
public:
    TempEnv();
    ~TempEnv();
    TempEnv(const TempEnv &) = delete;
    TempEnv &operator=(const TempEnv &) = delete;

    QString path() const { return dir_.path(); }
    QString file(const QString &name) const { return dir_.filePath(name); }
    QString registryDir() const;

    // Writes bytes to a file below the folder; creates its parent folders.
    void writeFile(const QString &name, const QByteArray &bytes) const;
    QByteArray readFile(const QString &name) const;

private:
    QTemporaryDir dir_;
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
