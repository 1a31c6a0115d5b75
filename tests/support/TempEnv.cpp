#include "TempEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

TempEnv::TempEnv()
    : oldRegistry_(qgetenv("KALVEX_REGISTRY_DIR")), oldRuntime_(qgetenv("XDG_RUNTIME_DIR"))
{
    QDir(dir_.path()).mkpath(QStringLiteral("registry"));
    QDir(dir_.path()).mkpath(QStringLiteral("runtime"));
    qputenv("KALVEX_REGISTRY_DIR", registryDir().toUtf8());
    qputenv("XDG_RUNTIME_DIR", file(QStringLiteral("runtime")).toUtf8());
}

TempEnv::~TempEnv()
{
    qputenv("KALVEX_REGISTRY_DIR", oldRegistry_);
    qputenv("XDG_RUNTIME_DIR", oldRuntime_);
}

QString TempEnv::registryDir() const
{
    return file(QStringLiteral("registry"));
}

void TempEnv::writeFile(const QString &name, const QByteArray &bytes) const
{
    const QString full = file(name);
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile f(full);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ADD_FAILURE() << "cannot write " << full.toStdString();
    f.write(bytes);
}

QByteArray TempEnv::readFile(const QString &name) const
{
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QString BinPath(const QString &program)
{
    QString dir = qEnvironmentVariable("KALVEX_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
    return QDir(dir).filePath(program);
}

} // namespace testsupport
