#include "TempEnv.h"

#include "core/BCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

namespace {

constexpr const char *RegistryVariable = "KALVEX_REGISTRY_DIR";
constexpr const char *RuntimeVariable = "XDG_RUNTIME_DIR";

} // namespace

TempFolder::TempFolder()
{
    QDir(dir_.path()).mkpath(QStringLiteral("registry"));
    QDir(dir_.path()).mkpath(QStringLiteral("runtime"));
}

QString TempFolder::registryDir() const
{
    return file(QStringLiteral("registry"));
}

QString TempFolder::runtimeDir() const
{
    return file(QStringLiteral("runtime"));
}

QProcessEnvironment TempFolder::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(RegistryVariable), registryDir());
    environment.insert(QLatin1String(RuntimeVariable), runtimeDir());
    return environment;
}

void TempFolder::writeFile(const QString &name, const QByteArray &bytes) const
{
    const QString full = file(name);
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile f(full);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ADD_FAILURE() << "cannot write " << full.toStdString();
    f.write(bytes);
}

QByteArray TempFolder::readFile(const QString &name) const
{
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

TempEnv::TempEnv() : oldRegistry_(qgetenv(RegistryVariable)), oldRuntime_(qgetenv(RuntimeVariable))
{
    qputenv(RegistryVariable, registryDir().toUtf8());
    qputenv(RuntimeVariable, runtimeDir().toUtf8());
}

TempEnv::~TempEnv()
{
    // A log file that start-up opened in this folder goes away with it.
    LogToFile = false;
    qputenv(RegistryVariable, oldRegistry_);
    qputenv(RuntimeVariable, oldRuntime_);
}

QString BinPath(const QString &program)
{
    QString dir = qEnvironmentVariable("KALVEX_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
    return QDir(dir).filePath(program);
}

} // namespace testsupport
