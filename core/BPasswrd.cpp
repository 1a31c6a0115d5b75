#include "core/BPasswrd.h"

#include "archive/ARCHIVES.h"
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/BViewlst.h"
#include "core/RichView.h"
#include "platform/ArchiverInfo.h"
#include "platform/Cp932.h"
#include "ui_BPasswrd.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QProcess>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>

QString TrimBlanksAndControls(const QString &text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text.at(begin).unicode() <= ' ')
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= ' ')
        --end;
    return text.mid(begin, end - begin);
}

namespace {

// Printable ASCII, as the entry's validator accepts it.
bool IsPasswordCharacter(QChar c)
{
    return c.unicode() >= 0x20 && c.unicode() <= 0x7E;
}

// A name entry: any text that CP932 holds in at most 8 bytes.
class NameValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override
    {
        const QByteArray bytes = plat::ToCp932(input);
        if (bytes.size() > TBPasswordDlg::MaxPasswordLength || plat::FromCp932(bytes) != input)
            return Invalid;
        return Acceptable;
    }
};

void PrepareDialog(TBPasswordDlg &dialog, const QString &title, const QString &labelText)
{
    dialog.setWindowTitle((title.isEmpty() ? QStringLiteral("Password") : title) + QStringLiteral(" Dialog Box"));
    dialog.ui->EnterLabel->setText(labelText);
    // The caption may be all that says what is asked ("... TEL Password"):
    // the dialog leaves the title bar room for it beside the frame's icon
    // and buttons.
    constexpr int FrameButtonsWidth = 120;
    dialog.setMinimumWidth(
        std::max(dialog.minimumWidth(), dialog.fontMetrics().horizontalAdvance(dialog.windowTitle()) + FrameButtonsWidth));
}

} // namespace

TBPasswordDlg::TBPasswordDlg(QWidget *parent) : QDialog(parent), ui(std::make_unique<Ui::TBPasswordDlg>())
{
    ui->setupUi(this);
    ui->Password->setMaxLength(MaxPasswordLength);
    ui->Password->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[\\x20-\\x7E]{0,%1}").arg(MaxPasswordLength)), ui->Password));
    connect(ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TBPasswordDlg::~TBPasswordDlg() = default;

void TBPasswordDlg::SetNameEntry()
{
    NameEntry = true;
    delete ui->Password->validator();
    ui->Password->setValidator(new NameValidator(ui->Password));
    ui->Password->setEchoMode(QLineEdit::Normal);
}

// A name entry stays open on a name that could not be a file name.
void TBPasswordDlg::accept()
{
    const QString problem = NameEntry ? NameEntryProblem(TrimBlanksAndControls(ui->Password->text())) : QString();
    if (problem.isEmpty()) {
        QDialog::accept();
        return;
    }
    QMessageBox box(QMessageBox::Warning, windowTitle(), problem, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("NameRefusal"));
    box.exec();
    ui->Password->setFocus();
}

// Centred on the screen, with the entry ready for typing.
void TBPasswordDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    ui->Password->setFocus();
}

bool ShowPasswordDialog(QWidget *owner, const QString &title, const QString &initialText, QByteArray &result,
                        bool convert, const QString &labelText, QChar passwordChar)
{
    TBPasswordDlg dialog(owner);
    PrepareDialog(dialog, title, labelText);
    // A prefilled text is held to what could be typed: other characters could
    // become CR or NUL in the ConvertPassword form and break a protocol line.
    QString typeable = initialText;
    typeable.removeIf([](QChar c) { return !IsPasswordCharacter(c); });
    dialog.ui->Password->setText(typeable);
    if (passwordChar.isNull()) {
        dialog.ui->Password->setEchoMode(QLineEdit::Normal);
    } else {
        dialog.ui->Password->setEchoMode(QLineEdit::Password);
        dialog.ui->Password->setStyleSheet(
            QStringLiteral("lineedit-password-character: %1").arg(passwordChar.unicode()));
    }

    const bool confirmed = dialog.exec() == QDialog::Accepted;
    result = confirmed ? plat::ToCp932(TrimBlanksAndControls(dialog.ui->Password->text())) : QByteArray();
    if (convert)
        result = ConvertPassword(result);
    return confirmed;
}

QString NameEntryProblem(const QString &text)
{
    if (text.isEmpty() ||
        (plat::ToCp932(text).size() <= TBPasswordDlg::MaxPasswordLength && SafeBaseName(text) == text))
        return {};
    return QStringLiteral("<<") + text +
           QStringLiteral(">> は名前に使えません.\r\n"
                          "8ﾊﾞｲﾄ以内で, \".\" \"..\" \"/\" \"\\\" ﾄﾞﾗｲﾌﾞ名 制御文字を含まない名前にしてください.");
}

bool ShowNameDialog(QWidget *owner, const QString &title, const QString &initialText, QString &name,
                    const QString &labelText)
{
    TBPasswordDlg dialog(owner);
    PrepareDialog(dialog, title, labelText);
    dialog.SetNameEntry();
    dialog.ui->Password->setText(plat::CutText(initialText, TBPasswordDlg::MaxPasswordLength));
    const bool confirmed = dialog.exec() == QDialog::Accepted;
    name = confirmed ? TrimBlanksAndControls(dialog.ui->Password->text()) : QString();
    return confirmed;
}

// ---- showing, unpacking and copying files ---------------------------------------

namespace {

// Result codes of FindAssociatedProgram, in the system's find-executable terms.
constexpr int FileNotFoundCode = 2;
constexpr int NoAssociationCode = 31;
constexpr int AssociationFoundCode = 33;

// ExtractArchive's answer when the archive cannot be unpacked at all (no
// archiver for its type, or a library missing).
constexpr int ArchiverNotAvailable = 0x8000;

// A file type that the desktop would run rather than show: handing such a
// file to its association would execute what a peer sent.
bool IsExecutableMimeType(const QMimeType &type)
{
    static const QStringList executableTypes = {
        QStringLiteral("application/x-executable"),       // also every script language
        QStringLiteral("application/x-sharedlib"),        // position-independent programs
        QStringLiteral("application/x-desktop"),          // launchers
        QStringLiteral("application/x-shellscript"),
        QStringLiteral("application/x-ms-dos-executable"),
        QStringLiteral("application/x-msdownload"),
        QStringLiteral("application/vnd.microsoft.portable-executable"),
        QStringLiteral("application/x-msi"),
        QStringLiteral("application/x-java-archive"),
        QStringLiteral("application/x-java-jnlp-file"),
        QStringLiteral("application/vnd.appimage"),
        QStringLiteral("application/vnd.flatpak.ref"),
    };
    return std::any_of(executableTypes.begin(), executableTypes.end(),
                       [&](const QString &name) { return type.inherits(name); });
}

// Why opening the file by its association would run it as a program; "" when
// it would only be shown. Both the name and the content decide, since the
// desktop may go by either.
QString ExecutionRisk(const QFileInfo &file)
{
    if (file.permissions() & (QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther))
        return QStringLiteral("marked executable");
    // Windows program and script types that a compatibility layer may be
    // associated with, though the MIME database may not know them.
    static const QStringList windowsRunnable = {
        QStringLiteral("bat"), QStringLiteral("cmd"), QStringLiteral("com"), QStringLiteral("pif"),
        QStringLiteral("scr"), QStringLiteral("vbs"), QStringLiteral("ps1"), QStringLiteral("lnk"),
    };
    if (windowsRunnable.contains(file.suffix(), Qt::CaseInsensitive))
        return QStringLiteral("runs as a program: .") + file.suffix();
    const QMimeDatabase mimeTypes;
    for (const auto mode : {QMimeDatabase::MatchExtension, QMimeDatabase::MatchContent}) {
        const QMimeType type = mimeTypes.mimeTypeForFile(file, mode);
        if (IsExecutableMimeType(type))
            return QStringLiteral("runs as a program: ") + type.name();
    }
    return {};
}

QFileInfo FileIn(const QString &file, const QString &directory)
{
    return directory.isEmpty() ? QFileInfo(file) : QFileInfo(QDir(directory), file);
}

// Starts program with arguments as they stand (no shell), not waiting for it.
// Its process id, or 0 when it cannot start (logged).
qint64 StartDetached(const QString &program, const QStringList &arguments, const QString &directory)
{
    qint64 processId = 0;
    if (!QProcess::startDetached(program, arguments, directory, &processId)) {
        WriteLog(ALPHA, QStringLiteral("Program start failure  ") + program);
        return 0;
    }
    return processId;
}

// Hands a document to the desktop's default application, unless that would
// execute it. The opener's process id (1 when the desktop integration took
// the document), 0 on failure (logged).
qint64 OpenDocument(const QFileInfo &document)
{
    if (!document.isFile()) {
        WriteLog(ALPHA, QStringLiteral("File not found  ") + document.filePath());
        return 0;
    }
    const QString risk = ExecutionRisk(document);
    if (!risk.isEmpty()) {
        WriteLog(ALPHA, QStringLiteral("Not opened  ") + document.filePath() + QStringLiteral("  (") + risk +
                            QLatin1Char(')'));
        return 0;
    }
    // The desktop's opener as a process of its own, so there is a process to
    // report; without one, whatever opener the desktop integration knows.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        return QDesktopServices::openUrl(QUrl::fromLocalFile(document.absoluteFilePath())) ? 1 : 0;
    return StartDetached(opener, {document.absoluteFilePath()}, QString());
}

// The program that file names: an executable file (a path, or a bare name in
// directory), else a bare name found on the search path; the current folder
// is never searched. "" when file is no program here.
QString ProgramPath(const QString &file, const QString &directory)
{
    if (file.isEmpty())
        return {};
    const QFileInfo info = FileIn(file, directory);
    if (file.contains(QLatin1Char('/')) || (!directory.isEmpty() && info.exists()))
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    return QStandardPaths::findExecutable(file);
}

} // namespace

bool IsLocalAddress(const QString &address)
{
    return address == QLatin1String("127.0.0.1") || LocalAddresses.contains(address);
}

bool IsHtmlFile(const QString &fileName)
{
    const QString extension = QFileInfo(fileName).suffix().toLower();
    return extension == QLatin1String("htm") || extension == QLatin1String("html");
}

// Bitmaps, JPEG pictures and the metafiles that the picture view draws.
bool IsImageFile(const QString &fileName)
{
    static const QStringList pictures{"bmp", "jpg", "jpeg", "wmf", "emf"};
    return pictures.contains(QFileInfo(fileName).suffix().toLower());
}

bool FindViewer(const QString &fileName, QString &application)
{
    application.clear();
    if ((ImageViewer && IsImageFile(fileName)) || (HtmlViewer < 2 && IsHtmlFile(fileName)))
        return true;
    const QFileInfo file(fileName);
    if (UsingWindows95)
        return FindAssociatedProgram(file.fileName(), file.absolutePath()) > 32;

    const QString extension = file.suffix().toLower();
    WriteLog(DELTA, QStringLiteral("\r\nFile  Ext = ") + extension);
    for (int i = 1; i < ViewerCount; ++i) {
        const ViewerEntry &entry = ViewerTable[i];
        WriteLog(DELTA, QStringLiteral("ViewerExt = ") + entry.Extension);
        // Extensions read back from the registry may keep their case.
        if (entry.State < ViewerDeleted && entry.Extension.compare(extension, Qt::CaseInsensitive) == 0) {
            application = entry.Application;
            return true;
        }
    }
    return false;
}

void OpenWithViewer(const QString &application, const QString &fileName)
{
    if (UsingWindows95)
        OpenDocument(QFileInfo(fileName));
    else
        OpenWithShell(application, fileName, QString());
}

qint64 OpenWithShell(const QString &file, const QString &parameters, const QString &directory)
{
    const QString program = ProgramPath(file, directory);
    if (program.isEmpty()) {
        // A program this machine lacks (a viewer set up elsewhere): its
        // document goes to the desktop's default application instead.
        return OpenDocument(parameters.isEmpty() ? FileIn(file, directory) : QFileInfo(parameters));
    }
    return StartDetached(program, parameters.isEmpty() ? QStringList() : QStringList{parameters}, directory);
}

int FindAssociatedProgram(const QString &file, const QString &directory)
{
    const QFileInfo info = FileIn(file, directory);
    if (!info.isFile())
        return FileNotFoundCode;
    // A file that would run is treated as having no association: it is never opened.
    if (!ExecutionRisk(info).isEmpty())
        return NoAssociationCode;
    const QString query = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (query.isEmpty())
        return NoAssociationCode;
    QProcess process;
    process.start(query, {QStringLiteral("query"), QStringLiteral("default"),
                          QMimeDatabase().mimeTypeForFile(info).name()});
    if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        process.kill();
        return NoAssociationCode;
    }
    return process.readAllStandardOutput().trimmed().isEmpty() ? NoAssociationCode : AssociationFoundCode;
}

int ExtractArchive(QWidget *window, const QString &archivePath)
{
    try {
        TArchiveFile archive;
        archive.SetFileName(archivePath);
        archive.Options.n = 1;
        archive.SetOutputSize(8192);
        const int result = archive.Unpack(window, nullptr, TempDirectory, NoFileNames);
        if (result != 0)
            WriteLog(ALPHA, archivePath + QStringLiteral("  Archiver error ") + QString::number(result));
        return result;
    } catch (const EArchiver &error) {
        WriteLog(ALPHA, archivePath + QStringLiteral("  ") + error.Message());
        return ArchiverNotAvailable;
    }
}

int ResolveHtmlArchive(QWidget *window, TRichView *fileNote, const QString &title, const QString &fileName,
                       QString &path)
{
    const QString extension = QFileInfo(path).suffix().toLower();
    if (extension != QLatin1String("zip") && extension != QLatin1String("lzh"))
        return 0;
    const QString htmlMark = QStringLiteral("html");
    if (!title.startsWith(htmlMark + QLatin1Char(':'), Qt::CaseInsensitive) &&
        !fileName.startsWith(htmlMark + QLatin1Char('_'), Qt::CaseInsensitive))
        return 0;
    if (const int result = ExtractArchive(window, path)) {
        if (result == plat::ArchiverErrorUnsafe)
            fileNote->AddText(QStringLiteral("\r\n*** 安全でない名前を含むため、書庫を展開しませんでした"));
        return result;
    }

    // The page lies in TempDirectory itself, whatever folders the name came with.
    QString name = fileName.mid(fileName.lastIndexOf(QRegularExpression(QStringLiteral("[/\\\\]"))) + 1);
    if (name.startsWith(htmlMark + QLatin1Char('_'), Qt::CaseInsensitive))
        name.remove(0, 5);
    name.chop(3); // the extension's letters; the dot stays
    const QString base = TempDirectory + QLatin1Char('/') + name;
    for (const QString &candidate : {base + htmlMark, base + QStringLiteral("htm")}) {
        if (QFileInfo(candidate).isFile()) {
            path = candidate;
            break;
        }
    }
    return 0;
}

bool ParseOlcpUrl(const QString &text, OlcpUrl &url)
{
    const QString prefix = QStringLiteral("OLCP://");
    const QString trimmed = text.trimmed();
    if (!trimmed.startsWith(prefix))
        return false;
    QStringList fields;
    for (qsizetype start = prefix.size(); fields.size() < 5;) {
        const qsizetype slash = trimmed.indexOf(QLatin1Char('/'), start);
        if (slash < 0)
            return false;
        fields.append(trimmed.mid(start, slash - start));
        start = slash + 1;
    }
    // The keys are 8-byte fields of the records.
    const auto key = [](const QString &field) { return plat::CutText(field, 8); };
    url.Address = HostToAddr(fields[0]);
    url.AccessKey = key(fields[1]);
    url.BoardKey = key(fields[2]);
    url.BoardKey2 = key(fields[3]);
    bool numeric = false;
    url.Number = fields[4].toInt(&numeric);
    if (!numeric)
        url.Number = 0;
    return true;
}

bool CopyFileTo(const QString &source, const QString &destination, bool failIfExists)
{
    if (failIfExists && QFileInfo::exists(destination))
        return false;
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    // Written beside the destination and renamed over it: a failed copy
    // leaves an existing destination as it was.
    QSaveFile out(destination);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    char buffer[65536];
    for (qint64 n; (n = in.read(buffer, sizeof buffer)) > 0;) {
        if (out.write(buffer, n) != n)
            return false;
    }
    return !in.error() && out.commit();
}

namespace {

// The canonical form of a folder, also of one that does not exist yet.
QString FolderPath(const QString &folder)
{
    const QFileInfo info(folder);
    return info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
}

bool CopyFolderInto(QWidget *window, const QString &sourceDir, const QString &destDir)
{
    if (!QDir().mkpath(destDir))
        return false;
    bool allCopied = true;
    const auto entries = QDir(sourceDir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot |
                                                       QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &entry : entries) {
        const QString target = destDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            allCopied = CopyFolderInto(window, entry.filePath(), target) && allCopied;
            continue;
        }
        if (QFileInfo::exists(target)) {
            QMessageBox question(QMessageBox::NoIcon, QApplication::applicationName(),
                                 target + QStringLiteral(" は既にあります.\r\n置き換えますか?"),
                                 QMessageBox::Yes | QMessageBox::No, window);
            if (question.exec() != QMessageBox::Yes)
                continue; // kept by the user's choice
        }
        allCopied = CopyFileTo(entry.filePath(), target, false) && allCopied;
    }
    return allCopied;
}

} // namespace

bool CopyDirectoryFiles(QWidget *window, const QString &sourceDir, const QString &destDir)
{
    if (!QFileInfo(sourceDir).isDir())
        return false;
    // A copy into the folder itself or one of its subfolders would never end.
    const QString from = FolderPath(sourceDir), to = FolderPath(destDir);
    if (to == from || to.startsWith(from + QLatin1Char('/')))
        return false;
    return CopyFolderInto(window, sourceDir, destDir);
}

void ExitWindowsWithPrivilege(ExitWindowsFlags flags, QString &errorText)
{
    errorText.clear();
    // The login manager checks the caller's right to shut the machine down;
    // a refusal stands for the missing shutdown privilege.
    QDBusInterface manager(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"), QDBusConnection::systemBus());
    const QString method = flags == ExitWindowsFlags::Reboot ? QStringLiteral("Reboot") : QStringLiteral("PowerOff");
    const QDBusMessage reply = manager.call(method, false);
    if (reply.type() == QDBusMessage::ErrorMessage)
        errorText = QStringLiteral("ExitWindowsEx failure  ") + reply.errorName() + QLatin1Char(' ') +
                    reply.errorMessage();
}
