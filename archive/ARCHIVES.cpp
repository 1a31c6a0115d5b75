#include "archive/ARCHIVES.h"

#include "archive/LHA32.h"
#include "archive/ZIP32.h"
#include "platform/WinMessages.h"

#include <QEvent>
#include <QFileInfo>

namespace {

// The hidden window the library reports progress to. Its answer to a
// "wm_arcextract" message is the message's result: 1 asks the library to stop.
class ProgressReceiver : public QObject {
public:
    explicit ProgressReceiver(TArchiveFile *archive) : QObject(archive), archive_(archive) {}

    bool event(QEvent *event) override
    {
        if (event->type() != plat::WindowMessageEvent::EventType())
            return QObject::event(event);
        auto *message = static_cast<plat::WindowMessageEvent *>(event);
        if (message->message() != ArcExtractMessage())
            return QObject::event(event);
        message->setResult(archive_->WndProc(message->message(), message->wParam(), message->lParam()));
        return true;
    }

private:
    TArchiveFile *archive_;
};

} // namespace

uint ArcExtractMessage()
{
    static const uint message = plat::RegisterWindowMessage(QStringLiteral("wm_arcextract"));
    return message;
}

TArchiverType GetArchiverType(const QString &fileName, bool byExtension)
{
    if (!byExtension) {
        // Both tests are made; an archive that both accept is an LZH one.
        TArchiverType type = atNone;
        if (IsZipArchive(fileName))
            type = atZip;
        if (IsLhaArchive(fileName))
            type = atLha;
        return type;
    }
    const QString name = QFileInfo(fileName).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? QString() : name.mid(dot).toLower();
    static const std::pair<const char *, TArchiverType> extensions[] = {
        {".lzh", atLha}, {".zip", atZip}, {".cab", atCab}, {".arj", atArj}, {".tar", atTar},
        {".z", atTgz},   {".gz", atTgz},  {".tgz", atTgz}, {".taz", atTgz}, {".bz2", atBZ2},
        {".rar", atRar}, {".gza", atBga}, {".bza", atBga},
    };
    for (const auto &[known, type] : extensions) {
        if (extension == QLatin1String(known))
            return type;
    }
    return extension == QLatin1String(".exe") ? GetArchiverType(fileName, false) : atNone;
}

TArchiveFile::TArchiveFile(QObject *owner) : QObject(owner), fileName_(UnsetMarker()) {}

TArchiveFile::~TArchiveFile() = default;

void TArchiveFile::SetFileName(const QString &name)
{
    SetArchiverType(GetArchiverType(name, true));
    fileName_ = name;
}

void TArchiveFile::SetArchiverType(TArchiverType type)
{
    switch (type) {
    case atLha:
    case atZip: {
        // The new archiver first: a missing library leaves everything as it was.
        std::unique_ptr<TArchiver> archiver;
        if (type == atLha)
            archiver = std::make_unique<TLha32>();
        else
            archiver = std::make_unique<TZip32>();
        archiver_ = std::move(archiver);
        break;
    }
    case atNone:
        // No archive type: the archiver of an earlier name must not unpack
        // this file.
        archiver_.reset();
        break;
    case atAutoDetect:
        break;
    default:
        if (!Reading)
            throw EArchiver(QStringLiteral("書庫の形式を特定できませんでした。"));
        break;
    }
    archiverType_ = type;
}

void TArchiveFile::SetOutputSize(int size)
{
    OutputBuffer = QByteArray(std::max(size, 0), ' ');
    if (size > 0)
        OutputBuffer[0] = '\0';
}

int TArchiveFile::Unpack(plat::ArchiverWindow ownerWindow, const TArchiverOptions *options, const QString &destDir,
                         const TFileList &files)
{
    if (!archiver_)
        throw EArchiver(QStringLiteral("書庫の形式を判別できません。"));
    AttachProgressWindow();
    const TArchiverOptions &used = options ? *options : Options;
    const auto finish = [this] {
        CommandLine = archiver_->CommandLine;
        DetachProgressWindow();
    };
    try {
        const int result = archiver_->Unpack(ownerWindow, fileName_, used, destDir, files,
                                             used.ResFileUsage.testFlag(ruOnUnpack), OutputBuffer);
        finish();
        return result;
    } catch (...) {
        finish();
        throw;
    }
}

qintptr TArchiveFile::WndProc(uint message, qintptr wParam, qintptr lParam)
{
    if (message != ArcExtractMessage())
        return 0;
    bool Abort = false;
    DoProgress(static_cast<int>(wParam), reinterpret_cast<void *>(lParam), Abort);
    return Abort ? 1 : 0;
}

void TArchiveFile::DoProgress(int State, void *lpEis, bool &Abort)
{
    if (OnProgress)
        OnProgress(this, State, lpEis, Abort);
}

void TArchiveFile::AttachProgressWindow()
{
    if (!OnProgress)
        return;
    if (!progressWindow_)
        progressWindow_ = new ProgressReceiver(this);
    try {
        archiver_->SetOwnerWindow(progressWindow_, nullptr);
    } catch (const EArchiver &) {
        // Extraction goes on without progress reports.
    }
}

void TArchiveFile::DetachProgressWindow()
{
    if (!OnProgress)
        return;
    try {
        archiver_->KillOwnerWindow(progressWindow_);
    } catch (const EArchiver &) {
        // Nothing was registered.
    }
}
