#pragma once
// The archive file: the one entry point the rest of the program uses for
// archives.
//
// TArchiveFile takes an archive's file name, chooses the archiver from the
// name (LZH and ZIP archives have one; an ".exe" is examined by content),
// owns the archiver and its options, and unpacks through it. When OnProgress
// is set, the library's progress reports ("wm_arcextract" messages to a
// hidden receiver) reach it, and its handler may stop the extraction.
#include "archive/Archiver.h"

#include <QObject>

#include <functional>
#include <memory>

enum TArchiverType { atLha, atZip, atCab, atArj, atTar, atTgz, atBZ2, atRar, atBga, atNone, atAutoDetect };

class TArchiveFile;
// (sender, State, lpEis: the library's extracting-information record as it
// came, Abort: set true to stop the extraction)
using TArchiverProgressEvent = std::function<void(TArchiveFile *sender, int State, void *lpEis, bool &Abort)>;

// The archive type a file name stands for: by its extension (an ".exe" by
// content), or by content alone. atNone when neither tells.
TArchiverType GetArchiverType(const QString &fileName, bool byExtension);

// The number of the registered "wm_arcextract" message.
uint ArcExtractMessage();

class TArchiveFile : public QObject {
public:
    explicit TArchiveFile(QObject *owner = nullptr);
    ~TArchiveFile() override;

    TArchiverOptions Options;
    TArchiverProgressEvent OnProgress;
    // While the properties are being read from a stored form, a type without
    // an archiver is taken as it is.
    bool Reading = false;

    QString FileName() const { return fileName_; }
    // Chooses the archiver by the name's extension, then takes the name. A
    // name that stands for no archive type leaves no archiver; a type without
    // archiver, or a missing library, throws EArchiver and keeps the old name.
    void SetFileName(const QString &name);
    TArchiverType ArchiverType() const { return archiverType_; }
    // atLha and atZip create their archiver (throwing EArchiver when its
    // library is missing, with nothing changed); atNone drops the archiver;
    // atAutoDetect is only noted.
    void SetArchiverType(TArchiverType type);
    int OutputSize() const { return static_cast<int>(OutputBuffer.size()); }
    void SetOutputSize(int size);
    const TArchiver *Archiver() const { return archiver_.get(); }

    // Extracts from the archive FileName into destDir: the entries files
    // names, every entry when it names none. options null means Options.
    // The library's result, 0 on success. Throws EArchiver without an
    // archiver; CommandLine then holds what was handed to the library, also
    // when that threw.
    int Unpack(plat::ArchiverWindow ownerWindow, const TArchiverOptions *options, const QString &destDir,
               const TFileList &files);

    // The last command line handed to the library.
    QString CommandLine;
    // Where the library writes its text output; its length is OutputSize.
    QByteArray OutputBuffer;

    // The progress receiver's answer to one message: for "wm_arcextract" 1
    // when OnProgress asks to stop, else 0; 0 for any other message.
    qintptr WndProc(uint message, qintptr wParam, qintptr lParam);
    void DoProgress(int State, void *lpEis, bool &Abort);

private:
    void AttachProgressWindow();
    void DetachProgressWindow();

    TArchiverType archiverType_ = atAutoDetect;
    std::unique_ptr<TArchiver> archiver_;
    QString fileName_;
    // Created on the first Unpack with OnProgress set; lives as long as this.
    QObject *progressWindow_ = nullptr;
};
