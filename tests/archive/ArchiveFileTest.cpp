// Archivers and the archive file: what they answer without their libraries,
// how the archive file chooses its archiver, and the extraction road.
#include "archive/ARCHIVES.h"
#include "archive/LHA32.h"
#include "archive/ZIP32.h"
#include "core/BCommon.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "platform/ArchiverInfo.h"
#include "platform/Cp932.h"

#include "support/ProgramState.h"
#include "support/TempEnv.h"

#include <QDataStream>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QScopeGuard>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using testsupport::KeepOnlyArchiverLibraries;
using testsupport::TempEnvTest;

// The EArchiver message that action throws; "" when it throws none.
QString ArchiverMessage(const std::function<void()> &action)
{
    try {
        action();
    } catch (const EArchiver &error) {
        return error.Message();
    }
    return {};
}

bool LibraryAvailable(const QString &name)
{
    const plat::ArchiverLibraryHandle library = plat::LoadArchiverLibrary(name);
    if (library)
        plat::FreeArchiverLibrary(library);
    return library != nullptr;
}

// Runs the rest of a case only where the platform brings the library.
#define REQUIRE_LIBRARY(name)                                                                                    \
    if (!LibraryAvailable(QStringLiteral(name)))                                                               \
    GTEST_SKIP() << name << " is not available here"

class MinimalArchiver : public TArchiver {
public:
    void LoadDLL() override {}
    void FreeDLL() override {}
    int Unpack(plat::ArchiverWindow, const QString &, const TArchiverOptions &, const QString &, const TFileList &,
               bool, QByteArray &) override
    {
        return 0;
    }
};

TEST(ArchiverTest, OperationsAnArchiverDoesNotOfferAnswerSo)
{
    MinimalArchiver archiver;
    const TArchiverOptions options;
    QByteArray output;
    const std::pair<std::function<void()>, const char *> refusals[] = {
        {[&] { archiver.Pack(nullptr, "a", options, "", {}, false, output); },
         "この形式では書庫ファイルの作成をサポートしておりません。"},
        {[&] { archiver.RemoveItem(nullptr, "a", options, "", {}, false, output); },
         "この形式の書庫ではファイルの削除をサポートしておりません。"},
        {[&] { archiver.Update(nullptr, "a", options, "", {}, false, output); },
         "この形式の書庫では書庫の更新をサポートしておりません。"},
        {[&] { archiver.MakeSFX(nullptr, "a", options, "", output); },
         "この形式では自己解凍書庫の作成をサポートしておりません。"},
        {[&] { archiver.ExtractMem(nullptr, "a", options, "e", nullptr, 0, nullptr); },
         "この形式ではメモリへの展開をサポートしておりません。"},
        {[&] { archiver.CheckArchive("a", 0, 0); }, "この形式では書庫チェック機能をサポートしておりません。"},
        {[&] { archiver.TArchiver::LoadDLL(); }, "Abstract method 'TArchiver.LoadDLL' was called"},
        {[&] { archiver.TArchiver::FreeDLL(); }, "Abstract method 'TArchiver.FreeDLL' was called"},
    };
    for (const auto &[action, message] : refusals)
        EXPECT_EQ(ArchiverMessage(action), QString::fromUtf8(message));

    EXPECT_EQ(archiver.OpenArchive(nullptr, "a", 0), nullptr);
    EXPECT_EQ(archiver.FindFirst(nullptr, nullptr, "*"), -1);
    EXPECT_EQ(archiver.FindNext(nullptr, nullptr), -1);
    EXPECT_EQ(archiver.CloseArchive(nullptr), 0);
    EXPECT_FALSE(archiver.SetOwnerWindow(nullptr, nullptr));
    EXPECT_FALSE(archiver.KillOwnerWindow(nullptr));
}

TEST(ArchiverTest, MissingLibrariesAreNamedAndNoArchiverRemains)
{
    KeepOnlyArchiverLibraries({});
    EXPECT_EQ(ArchiverMessage([] { TLha32 archiver; }),
              QStringLiteral("Lha 形式書庫を扱うには UNLHA32.DLL が 必要です。"));
    const QString noZip = QStringLiteral("ZIP 形式書庫を解凍するには UNZIP32.DLL が、作成するには ZIP32J.DLL が必要です。");
    EXPECT_EQ(ArchiverMessage([] { TZip32 archiver; }), noZip);
    EXPECT_FALSE(IsZipArchive(QStringLiteral("a.zip")));
    EXPECT_FALSE(IsLhaArchive(QStringLiteral("a.lzh")));
    EXPECT_EQ(GetArchiverType(QStringLiteral("setup.exe"), true), atNone);

    // The archive file keeps its name and has no archiver.
    TArchiveFile archive;
    EXPECT_EQ(ArchiverMessage([&] { archive.SetFileName(QStringLiteral("a.zip")); }), noZip);
    EXPECT_EQ(archive.FileName(), UnsetMarker());
    EXPECT_EQ(archive.ArchiverType(), atAutoDetect);
    EXPECT_EQ(archive.Archiver(), nullptr);
}

TEST(ArchiveFileTest, TheNameChoosesTheArchiveType)
{
    KeepOnlyArchiverLibraries({});
    const std::pair<const char *, TArchiverType> names[] = {
        {"A.ZIP", atZip},  {"a.Zip", atZip},     {"in/a.lzh", atLha}, {"a.cab", atCab}, {"a.arj", atArj},
        {"a.tar", atTar},  {"a.z", atTgz},       {"a.gz", atTgz},     {"a.tgz", atTgz}, {"a.TAZ", atTgz},
        {"a.bz2", atBZ2},  {"a.rar", atRar},     {"a.gza", atBga},    {"a.bza", atBga}, {"a.txt", atNone},
        {"readme", atNone}, {"in.zip/readme", atNone}, {"a.exe", atNone},
    };
    for (const auto &[name, type] : names)
        EXPECT_EQ(GetArchiverType(QLatin1String(name), true), type) << name;

    TArchiveFile archive;
    const QString noType = QStringLiteral("書庫の形式を特定できませんでした。");
    EXPECT_EQ(ArchiverMessage([&] { archive.SetFileName(QStringLiteral("a.tgz")); }), noType);
    EXPECT_EQ(archive.FileName(), UnsetMarker());
    EXPECT_EQ(ArchiverMessage([&] { archive.SetArchiverType(atRar); }), noType);
    archive.Reading = true;
    archive.SetArchiverType(atRar);
    EXPECT_EQ(archive.ArchiverType(), atRar);

    archive.SetFileName(QStringLiteral("a.txt"));
    EXPECT_EQ(archive.FileName(), QStringLiteral("a.txt"));
    EXPECT_EQ(ArchiverMessage([&] { archive.Unpack(nullptr, nullptr, "", NoFileNames); }),
              QStringLiteral("書庫の形式を判別できません。"));

    archive.SetOutputSize(0);
    EXPECT_EQ(archive.OutputSize(), 0);
    archive.SetOutputSize(8192);
    EXPECT_EQ(archive.OutputSize(), 8192);
    EXPECT_EQ(archive.OutputBuffer.at(0), '\0');
}

TEST(ArchiveFileTest, AProgressHandlerCanStopTheExtraction)
{
    TArchiveFile archive;
    QList<int> states;
    archive.OnProgress = [&](TArchiveFile *sender, int State, void *lpEis, bool &Abort) {
        EXPECT_EQ(sender, &archive);
        EXPECT_EQ(lpEis, reinterpret_cast<void *>(0x1234));
        states.append(State);
        Abort = State == 3;
    };
    const uint message = ArcExtractMessage();
    EXPECT_NE(message, 0u);
    EXPECT_EQ(archive.WndProc(message, 1, 0x1234), 0);
    EXPECT_EQ(archive.WndProc(message, 3, 0x1234), 1);
    EXPECT_EQ(archive.WndProc(message + 1, 5, 0x1234), 0);
    EXPECT_EQ(states, QList<int>({1, 3}));
}

TEST(ArchiveFileTest, AnUnknownNameDropsTheArchiverOfTheNameBefore)
{
    REQUIRE_LIBRARY("UNZIP32.DLL");
    TArchiveFile archive;
    archive.SetFileName(QStringLiteral("a.zip"));
    EXPECT_EQ(archive.ArchiverType(), atZip);
    EXPECT_NE(archive.Archiver(), nullptr);
    archive.SetFileName(QStringLiteral("a.txt"));
    EXPECT_EQ(archive.ArchiverType(), atNone);
    EXPECT_EQ(archive.Archiver(), nullptr);
}

TEST(ArchiveFileTest, ZipLibrariesStandInForEachOther)
{
    REQUIRE_LIBRARY("ZIP32J.DLL");
    KeepOnlyArchiverLibraries({QStringLiteral("ZIP32J.DLL")});
    TArchiveFile archive;
    archive.SetFileName(QStringLiteral("C:/in/a.zip"));
    archive.Options.n = 1;
    EXPECT_EQ(ArchiverMessage([&] { archive.Unpack(nullptr, nullptr, "C:/tmp", NoFileNames); }),
              QStringLiteral("ZIP 形式書庫の解凍には UNZIP32.DLL または LMZIP32.DLL が必要です。"));
    EXPECT_EQ(archive.CommandLine, QStringLiteral(R"(-x --i  "C:/in/a.zip" "C:/tmp/" )"));

    // Self-extracting archives need their stub, which is not shipped.
    TZip32 zip;
    QByteArray output;
    TArchiverOptions options;
    EXPECT_EQ(ArchiverMessage([&] { zip.MakeSFX(nullptr, "a.zip", options, "", output); }),
              QStringLiteral("zip 書庫からのDOS自己解凍書庫の作成には sfx16.dat が必要です。"));
    options.gw = 1;
    EXPECT_EQ(ArchiverMessage([&] { zip.MakeSFX(nullptr, "a.zip", options, "", output); }),
              QStringLiteral("zip 書庫からのWin32自己解凍書庫の作成には sfx32gui.dat が必要です。"));

    KeepOnlyArchiverLibraries({QStringLiteral("UNZIP32.DLL")});
    TZip32 unzipOnly;
    EXPECT_EQ(ArchiverMessage([&] { unzipOnly.MakeSFX(nullptr, "a.zip", options, "", output); }),
              QStringLiteral("ZIP 形式書庫からの自己解凍書庫作成には ZIP32J.DLL が必要です。"));
    EXPECT_EQ(ArchiverMessage([&] { unzipOnly.Pack(nullptr, "a.zip", options, "", {}, false, output); }),
              QStringLiteral("ZIP 形式書庫の作成には ZIP32J.DLL または LMZIP32.DLL が必要です。"));
}

// ---- the extraction road, on archives written here ---------------------------------

// A reflected CRC as both archive formats use it (ZIP: CRC-32, LZH: CRC-16).
quint32 Crc(const QByteArray &bytes, quint32 polynomial, quint32 start, quint32 finish)
{
    quint32 crc = start;
    for (const char byte : bytes) {
        crc ^= static_cast<quint8>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) ? polynomial : 0);
    }
    return crc ^ finish;
}

constexpr quint16 DosDate = ((2020 - 1980) << 9) | (1 << 5) | 1;

// A ZIP archive with one stored entry; flags 0x0800 says its name is UTF-8.
QByteArray StoredZip(const QByteArray &name, const QByteArray &body, quint16 flags = 0)
{
    const quint32 crc = Crc(body, 0xEDB88320u, 0xFFFFFFFFu, 0xFFFFFFFFu);
    QByteArray zip;
    QDataStream out(&zip, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const auto entryFields = [&] {
        out << quint16(20) << flags << quint16(0) << quint16(0) << DosDate << crc << quint32(body.size())
            << quint32(body.size()) << quint16(name.size()) << quint16(0);
    };
    out << quint32(0x04034b50);
    entryFields();
    out.writeRawData(name.constData(), name.size());
    out.writeRawData(body.constData(), body.size());
    const quint32 directoryStart = zip.size();
    out << quint32(0x02014b50) << quint16(20);
    entryFields();
    out << quint16(0) << quint16(0) << quint16(0) << quint32(0) << quint32(0);
    out.writeRawData(name.constData(), name.size());
    const quint32 directorySize = zip.size() - directoryStart;
    out << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(1) << quint16(1) << directorySize
        << directoryStart << quint16(0);
    return zip;
}

// An LZH archive with one stored entry (level-0 header, method -lh0-).
QByteArray StoredLzh(const QByteArray &name, const QByteArray &body)
{
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("-lh0-", 5);
    out << quint32(body.size()) << quint32(body.size()) << quint16(0) << DosDate << quint8(0x20) << quint8(0)
        << quint8(name.size());
    out.writeRawData(name.constData(), name.size());
    out << quint16(Crc(body, 0xA001u, 0, 0));
    quint8 sum = 0;
    for (const char byte : header)
        sum += static_cast<quint8>(byte);
    return QByteArray(1, char(header.size())) + char(sum) + header + body + QByteArray(1, '\0');
}

class ExtractArchiveTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        TempDirectory = env.file(QStringLiteral("Temp"));
        QDir().mkpath(TempDirectory);
    }
    // An HTML archive as a TEL brings it, resolved to its start page.
    QString resolved(const QString &fileName, const QByteArray &archive)
    {
        const QString path = env.file(QStringLiteral("in/") + fileName);
        env.writeFile(QStringLiteral("in/") + fileName, archive);
        QString page = path;
        ResolveHtmlArchive(nullptr, &note, QStringLiteral("Page"), fileName, page);
        return page;
    }
    TRichView note; // where a refusal as unsafe would be noted
};

TEST_F(ExtractArchiveTest, HtmlArchivesOpenAtTheirPage)
{
    REQUIRE_LIBRARY("UNZIP32.DLL");
    REQUIRE_LIBRARY("UNLHA32.DLL");
    const QByteArray page = "<html><body>Kalvex</body></html>";
    EXPECT_EQ(resolved(QStringLiteral("html_test.zip"), StoredZip("test.html", page)),
              TempDirectory + QStringLiteral("/test.html"));
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/test.html")), page);

    // 表 ends in the byte of "\" in CP932.
    const QString name = QStringLiteral("表");
    EXPECT_EQ(resolved(QStringLiteral("html_") + name + QStringLiteral(".lzh"),
                       StoredLzh(plat::ToCp932(name + QStringLiteral(".html")), page)),
              TempDirectory + QLatin1Char('/') + name + QStringLiteral(".html"));

    // With only the fallback library, extraction goes through it.
    KeepOnlyArchiverLibraries({QStringLiteral("LMZIP32.DLL")});
    QFile::remove(TempDirectory + QStringLiteral("/test.html"));
    EXPECT_EQ(ExtractArchive(nullptr, env.file(QStringLiteral("in/html_test.zip"))), 0);
    EXPECT_EQ(env.readFile(QStringLiteral("Temp/test.html")), page);

    // Not an archive at all: the library's error, and the path stays.
    EXPECT_EQ(resolved(QStringLiteral("html_bad.zip"), "not an archive"), env.file(QStringLiteral("in/html_bad.zip")));
    EXPECT_TRUE(note.Rich()->toPlainText().isEmpty());
    // A page that would land outside the folder: refused, and the view that
    // shows the file's line says why.
    EXPECT_EQ(resolved(QStringLiteral("html_evil.zip"), StoredZip("../t.html", page)),
              env.file(QStringLiteral("in/html_evil.zip")));
    EXPECT_EQ(note.Rich()->toPlainText(), QStringLiteral("\n*** 安全でない名前を含むため、書庫を展開しませんでした"));
}

// ---- hostile operations: none reports success after a failure, none leaves a
// file that is neither its old nor its new content ---------------------------------

// Every file below a folder as "name=content", in name order.
QStringList FilesBelow(const QString &folder)
{
    QStringList files;
    for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        files.append(QDir(folder).relativeFilePath(file.fileName()) + '=' + file.readAll());
    }
    files.sort();
    return files;
}

class HostileOperationTest : public TempEnvTest {};

TEST_F(HostileOperationTest, FailuresAreReportedAndLeaveOldOrNewContent)
{
    const QStringList source{"a.txt=alpha", "sub/b.txt=beta", "sub/c.txt=gamma"};
    for (const QString &file : source)
        env.writeFile("src/" + file.section('=', 0, 0), file.section('=', 1).toUtf8());
    for (const char *name : {"odd/café.txt", "odd/x😀.txt", "odd/ok.txt", "stub/sfx16.dat"})
        env.writeFile(name, "STUB");
    QDir().mkpath(env.file("my dir"));
    const QByteArray path = qgetenv("PATH");
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
    qputenv("PATH", QFile::encodeName(env.file("stub")) + ':' + path);
    const QString out = env.file("out put");
    for (const bool zip : {true, false}) {
        SCOPED_TRACE(zip ? "ZIP" : "LZH");
        const auto archiver = zip ? std::unique_ptr<TArchiver>(new TZip32) : std::make_unique<TLha32>();
        const QString archiveName = zip ? "my dir/a.zip" : "my dir/a.lzh", archive = env.file(archiveName);
        TArchiverOptions options; // recursing, data stored as it is
        options.r = 1;
        options.jm = 0;
        QByteArray output;
        const auto pack = [&](const char *base, QStringList names) {
            return archiver->Pack(nullptr, archive, options, env.file(base), {&names}, false, output);
        };
        const auto remove = [&](QStringList names) {
            return archiver->RemoveItem(nullptr, archive, options, {}, {&names}, false, output);
        };
        const auto unpack = [&](const QString &from, QStringList names) {
            return archiver->Unpack(nullptr, from, options, out, {&names}, false, output);
        };
        const auto unpackOverMine = [&](const QByteArray &bytes) { // over an a.txt of the user's
            env.writeFile("copy", bytes);
            env.writeFile("out put/a.txt", "mine");
            return unpack(env.file("copy"), {});
        };
        // held: what the archive holds afterwards; left: what is left in the output folder.
        struct Row { const char *what; bool zipOnly; std::function<int()> run; int result; QStringList held, left; };
        const Row table[] = {
            {"delete by a folder name", false, [&] { return remove({"sub/"}); }, 0, {"a.txt=alpha"}, {}},
            {"delete naming nothing", false, [&] { return remove({}); }, plat::ArchiverErrorCommand, source, {}},
            {"unpack by a folder name", false, [&] { return unpack(archive, {"sub\\"}); }, 0, source, source.mid(1)},
            {"damaged entry over a file already there", false,
             [&] { return unpackOverMine(env.readFile(archiveName).replace("gamma", "Gamma")); }, plat::ArchiverErrorFormat,
             source, {"a.txt=mine"}},
            {"unpack over a private file of the user's, which stays private", false,
             [&] {
                 env.writeFile("out put/a.txt", "mine");
                 QFile::setPermissions(out + "/a.txt", QFile::ReadOwner | QFile::WriteOwner);
                 const int result = unpack(archive, {});
                 const auto others = QFile::ReadGroup | QFile::ReadOther;
                 return QFile::permissions(out + "/a.txt") & others ? -1 : result;
             },
             0, source, source},
            {"pack a name CP932 cannot hold: refused before the library is called", false,
             [&] { return ArchiverMessage([&] { pack("odd", {"café.txt"}); }).isEmpty() ? 0 : -1; }, -1, source, {}},
            {"pack a wildcard that meets one", false, [&] { return pack("odd", {"*"}); }, plat::ArchiverErrorName, source,
             {}},
            {"the emptied archive", false, [&] { return remove({"*"}); }, 0, {}, {}},
            {"a name flagged UTF-8", true, [&] { return unpackOverMine(StoredZip("表示.html", "page", 0x0800)); }, 0, source,
             {"a.txt=mine", "表示.html=page"}},
            {"self-extracting beside a blank", true,
             [&] { return archiver->MakeSFX(nullptr, archive, options, {}, output); }, 0, source, {}},
        };
        for (const auto &row : table) {
            SCOPED_TRACE(row.what);
            QDir(out).removeRecursively();
            QFile::remove(archive);
            ASSERT_EQ(pack("src", {"*"}), 0);
            if (row.zipOnly && !zip)
                continue;
            EXPECT_EQ(row.run(), row.result);
            EXPECT_EQ(FilesBelow(out), row.left);
            QDir(out).removeRecursively();
            EXPECT_EQ(unpack(archive, {}), 0);
            EXPECT_EQ(FilesBelow(out), row.held);
        }
    }
    EXPECT_EQ(env.readFile("my dir/a.EXE"), "STUB" + env.readFile("my dir/a.zip"));
}

} // namespace
