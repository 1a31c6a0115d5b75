#include "archive/Archiver.h"

#include "platform/Cp932.h"

EArchiver::EArchiver(const QString &message) : std::runtime_error(message.toStdString()), message_(message) {}

EFileError::EFileError(const QString &message) : std::runtime_error(message.toStdString()), message_(message) {}

QByteArray LibraryText(const QString &text)
{
    if (!plat::FitsCp932(text))
        throw EArchiver(text + QStringLiteral(" : CP932 で表せない文字を含むため指定できません。"));
    return plat::ToCp932(text);
}

void *GetEntryOrRaise(plat::ArchiverLibraryHandle library, const char *entryName)
{
    if (void *entry = library ? plat::GetArchiverEntry(library, entryName) : nullptr)
        return entry;
    const QString libraryName = library ? plat::ArchiverLibraryFileName(library) : QString();
    throw EArchiver(libraryName + QStringLiteral(" に ") + QLatin1String(entryName) +
                    QStringLiteral(" のエントリが見つかりません。"));
}

void TArchiver::LoadDLL()
{
    throw EArchiver(QStringLiteral("Abstract method 'TArchiver.LoadDLL' was called"));
}

void TArchiver::FreeDLL()
{
    throw EArchiver(QStringLiteral("Abstract method 'TArchiver.FreeDLL' was called"));
}

plat::ArchiveHandle TArchiver::OpenArchive(plat::ArchiverWindow, const QString &, int)
{
    return nullptr;
}

int TArchiver::FindFirst(plat::ArchiveHandle, void *, const QString &)
{
    return -1;
}

int TArchiver::FindNext(plat::ArchiveHandle, void *)
{
    return -1;
}

int TArchiver::CloseArchive(plat::ArchiveHandle)
{
    return 0;
}

int TArchiver::Pack(plat::ArchiverWindow, const QString &, const TArchiverOptions &, const QString &,
                    const TFileList &, bool, QByteArray &)
{
    throw EArchiver(QStringLiteral("この形式では書庫ファイルの作成をサポートしておりません。"));
}

int TArchiver::RemoveItem(plat::ArchiverWindow, const QString &, const TArchiverOptions &, const QString &,
                          const TFileList &, bool, QByteArray &)
{
    throw EArchiver(QStringLiteral("この形式の書庫ではファイルの削除をサポートしておりません。"));
}

int TArchiver::Update(plat::ArchiverWindow, const QString &, const TArchiverOptions &, const QString &,
                      const TFileList &, bool, QByteArray &)
{
    throw EArchiver(QStringLiteral("この形式の書庫では書庫の更新をサポートしておりません。"));
}

int TArchiver::MakeSFX(plat::ArchiverWindow, const QString &, const TArchiverOptions &, const QString &,
                       QByteArray &)
{
    throw EArchiver(QStringLiteral("この形式では自己解凍書庫の作成をサポートしておりません。"));
}

int TArchiver::ExtractMem(plat::ArchiverWindow, const QString &, const TArchiverOptions &, const QString &,
                          unsigned char *, int, std::uint32_t *)
{
    throw EArchiver(QStringLiteral("この形式ではメモリへの展開をサポートしておりません。"));
}

int TArchiver::CheckArchive(const QString &, int, int)
{
    throw EArchiver(QStringLiteral("この形式では書庫チェック機能をサポートしておりません。"));
}

bool TArchiver::SetOwnerWindow(plat::ArchiverWindow, plat::ArchiverProgressCallback)
{
    return false;
}

bool TArchiver::KillOwnerWindow(plat::ArchiverWindow)
{
    return false;
}

void AddArchiveAndDirectory(TCmdOpt &cmd, const QString &archive, const QString &dir)
{
    cmd.AddQuoted(QString(), archive);
    cmd.AddDir(QString(), dir);
}

void AddFileList(TCmdOpt &cmd, const TArchiverOptions &options, bool useResponseFile, const TFileList &items)
{
    if (useResponseFile && !options.ResFileName.isEmpty() && !IsUnset(options.ResFileName))
        cmd.WriteResponseFile(items, options.ResFileName);
    else
        cmd.AddList(QString(), items);
    cmd.Add(options.UserFileList);
}

int TArchiver::RunCommand(plat::ArchiverCommandEntry (*commandEntry)(), plat::ArchiverWindow ownerWindow,
                          const QString &commandLine, QByteArray &output)
{
    CommandLine = commandLine;
    const plat::ArchiverCommandEntry command = commandEntry();
    const QByteArray line = LibraryText(CommandLine);
    return command(ownerWindow, line.constData(), output.isEmpty() ? nullptr : output.data(),
                   static_cast<std::uint32_t>(output.size()));
}

int TArchiver::RunExtractMem(plat::ArchiverExtractMemEntry extract, plat::ArchiverWindow ownerWindow,
                             unsigned char *buffer, int bufferSize, std::uint32_t *writtenSize) const
{
    const QByteArray line = LibraryText(CommandLine);
    return extract(ownerWindow, line.constData(), buffer, static_cast<std::uint32_t>(bufferSize), nullptr, nullptr,
                   writtenSize);
}
