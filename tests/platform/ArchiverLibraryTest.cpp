#include "platform/ArchiverInfo.h"
#include "platform/ArchiverLibrary.h"
#include "platform/ArchiverLzh.h"
#include "platform/Cp932.h"
#include "platform/WinMessages.h"

#include "support/TempEnv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>

#include <archive.h>
#include <archive_entry.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>

#include <locale.h>

namespace {

using plat::ToCp932;

// Calls a command entry of a built-in library as the archivers do.
int Command(const char *library, const char *entry, const QByteArray &line)
{
    const auto command = reinterpret_cast<plat::ArchiverCommandEntry>(
        plat::GetArchiverEntry(plat::LoadArchiverLibrary(QString::fromLatin1(library)), entry));
    if (!command) {
        ADD_FAILURE() << library << " has no " << entry;
        return -2;
    }
    char output[256];
    return command(nullptr, line.constData(), output, sizeof output);
}

QByteArray Quoted(const QString &text)
{
    return " \"" + ToCp932(text) + "\"";
}

QByteArray QuotedDir(const QString &dir)
{
    return Quoted(dir + QLatin1Char('\\'));
}

// Every file below a folder with its content, by path relative to it.
std::map<QString, QByteArray> FilesBelow(const QString &folder)
{
    std::map<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        files[QDir(folder).relativeFilePath(path)] = file.readAll();
    }
    return files;
}

// The names FindFirst/FindNext give for an archive.
QList<QByteArray> Listed(const char *library, const QByteArray &prefix, const QString &archive)
{
    const auto handle = plat::LoadArchiverLibrary(QString::fromLatin1(library));
    auto entry = [&](const char *name) { return plat::GetArchiverEntry(handle, (prefix + name).constData()); };
    const auto open = reinterpret_cast<plat::ArchiverOpenEntry>(entry("OpenArchive"));
    const auto first = reinterpret_cast<plat::ArchiverFindFirstEntry>(entry("FindFirst"));
    const auto next = reinterpret_cast<plat::ArchiverFindNextEntry>(entry("FindNext"));
    const auto close = reinterpret_cast<plat::ArchiverCloseEntry>(entry("CloseArchive"));
    QList<QByteArray> names;
    plat::ArchiveHandle archiveHandle = open(nullptr, ToCp932(archive).constData(), 0x800002);
    if (!archiveHandle)
        return {"(not opened)"};
    plat::ArchiverEntryInfo info{};
    for (int found = first(archiveHandle, "*", &info); found == plat::ArchiverOk; found = next(archiveHandle, &info))
        names.append(QByteArray(info.fileName));
    EXPECT_EQ(close(archiveHandle), 0);
    EXPECT_NE(close(archiveHandle), 0) << "a closed handle is no longer one";
    return names;
}

// A text that compresses, long enough for several compressed blocks.
QByteArray LongText()
{
    QByteArray text;
    for (int line = 0; line < 40000; ++line)
        text += "line " + QByteArray::number(line * 7919 % 10007) + (line % 3 ? " of the text\r\n" : " \x95\x5C\r\n");
    return text;
}

// A stored entry with a level-0 header, as older archivers wrote them.
QByteArray LevelZeroEntry(const QByteArray &name, const QByteArray &data)
{
    unsigned crc = 0;
    for (const char c : data) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    auto number = [](quint32 value, int bytes) {
        QByteArray field;
        for (int i = 0; i < bytes; ++i)
            field += char(value >> (8 * i) & 0xFF);
        return field;
    };
    const QByteArray body = "-lh0-" + number(quint32(data.size()), 4) + number(quint32(data.size()), 4)
        + number(0x5A2B6000, 4) + "\x20" + QByteArray(1, '\0') + char(name.size()) + name + number(crc, 2);
    char sum = 0;
    for (const char c : body)
        sum = char(sum + c);
    return char(body.size()) + QByteArray(1, sum) + body + data;
}

class ArchiverLibraryTest : public testsupport::TempEnvTest {
protected:
    // Source files, with a name whose CP932 form holds 0x5C and one with "[".
    const std::map<QString, QByteArray> files = {{QStringLiteral("a.txt"), QByteArray("alpha\r\n")},
                                                 {QStringLiteral("sub/表.txt"), QByteArray(3000, 'x')},
                                                 {QStringLiteral("b[1].txt"), QByteArray()},
                                                 {QStringLiteral("sub/long.txt"), LongText()}};

    QString src() const { return env.file(QStringLiteral("src")); }

    void SetUp() override
    {
        for (const auto &[name, data] : files)
            env.writeFile(QStringLiteral("src/") + name, data);
    }
};

} // namespace

TEST_F(ArchiverLibraryTest, ZipRoundTripThroughPackDeleteListAndExtractMem)
{
    const QString zip = env.file(QStringLiteral("a.zip"));
    // As the ZIP archiver escapes file-list names.
    ASSERT_EQ(Command("ZIP32J.DLL", "Zip", " -D -q -o" + Quoted(zip) + QuotedDir(src()) + Quoted(QStringLiteral("a.txt"))
                                           + Quoted(QStringLiteral("sub/表.txt")) + Quoted(QStringLiteral("b[[]1].txt"))
                                           + Quoted(QStringLiteral("sub/long.txt")) + " "),
              0);
    ASSERT_EQ(Command("UNZIP32.DLL", "UnZip", "-x --i " + Quoted(zip) + QuotedDir(env.file(QStringLiteral("out"))) + " "), 0);
    EXPECT_EQ(FilesBelow(env.file(QStringLiteral("out"))), files);

    std::uint32_t written = 0;
    unsigned char buffer[4096];
    const auto extractMem = reinterpret_cast<plat::ArchiverExtractMemEntry>(
        plat::GetArchiverEntry(plat::LoadArchiverLibrary(QStringLiteral("UNZIP32.DLL")), "UnZipExtractMem"));
    ASSERT_EQ(extractMem(nullptr, (" --i" + Quoted(zip) + Quoted(QStringLiteral("sub/表.txt"))).constData(), buffer,
                         sizeof buffer, nullptr, nullptr, &written),
              0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(buffer), int(written)), files.at(QStringLiteral("sub/表.txt")));
    EXPECT_EQ(extractMem(nullptr, (" --i" + Quoted(zip) + Quoted(QStringLiteral("sub/表.txt"))).constData(), buffer,
                         100, nullptr, nullptr, &written),
              plat::ArchiverErrorBuffer);
    EXPECT_EQ(written, 100u);

    // LMZIP32 takes names unescaped and deletes through the same rewrite.
    ASSERT_EQ(Command("LMZIP32.DLL", "Zip", "-d" + Quoted(zip) + Quoted(QStringLiteral("b[1].txt")) + " "), 0);
    EXPECT_EQ(Listed("LMZIP32.DLL", "Unzip", zip),
              (QList<QByteArray>{"a.txt", ToCp932(QStringLiteral("sub/表.txt")), "sub/long.txt"}));
    EXPECT_EQ(Listed("LMZIP32.DLL", "Unzip", env.file(QStringLiteral("none.zip"))), (QList<QByteArray>{"(not opened)"}));
    EXPECT_EQ(Command("ZIP32J.DLL", "Zip", "-d" + Quoted(zip) + Quoted(QStringLiteral("none")) + " "),
              plat::ArchiverErrorNoMatch);
}

TEST_F(ArchiverLibraryTest, LzhRoundTripCheckedByLhasa)
{
    const QString lhasa = QStandardPaths::findExecutable(QStringLiteral("lhasa"));
    const QString lzh = env.file(QStringLiteral("a.lzh"));
    ASSERT_EQ(Command("UNLHA32.DLL", "Unlha", "a -+ -r1 -n1 " + Quoted(lzh) + QuotedDir(src()) + Quoted(QStringLiteral("*")) + " "), 0);
    ASSERT_EQ(Command("UNLHA32.DLL", "Unlha", "x -+ -n1 " + Quoted(lzh) + QuotedDir(env.file(QStringLiteral("out"))) + " "), 0);
    EXPECT_EQ(FilesBelow(env.file(QStringLiteral("out"))), files);
    const auto check = reinterpret_cast<plat::ArchiverCheckEntry>(
        plat::GetArchiverEntry(plat::LoadArchiverLibrary(QStringLiteral("UNLHA32.DLL")), "UnlhaCheckArchive"));
    EXPECT_NE(check(ToCp932(lzh).constData(), 16), 0);

    // An entry written elsewhere stays byte for byte when the archive changes.
    const QByteArray older = LevelZeroEntry("OLD\\README.TXT", "written elsewhere\r\n");
    env.writeFile(QStringLiteral("older.lzh"), older + plat::LzhEndMark);
    ASSERT_EQ(Command("UNLHA32.DLL", "Unlha", "a -+" + Quoted(env.file(QStringLiteral("older.lzh"))) + QuotedDir(src())
                                                 + Quoted(QStringLiteral("a.txt")) + " "),
              0);
    EXPECT_TRUE(env.readFile(QStringLiteral("older.lzh")).startsWith(older));
    EXPECT_EQ(Listed("UNLHA32.DLL", "Unlha", env.file(QStringLiteral("older.lzh"))),
              (QList<QByteArray>{"OLD/README.TXT", "a.txt"}));

    // Freshen a newer file, delete another: the rest is copied as it was.
    env.writeFile(QStringLiteral("src/a.txt"), "changed");
    QFile changed(src() + QStringLiteral("/a.txt"));
    ASSERT_TRUE(changed.open(QIODevice::Append));
    changed.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime);
    changed.close();
    ASSERT_EQ(Command("UNLHA32.DLL", "Unlha", "f -+" + Quoted(lzh) + QuotedDir(src()) + Quoted(QStringLiteral("a.txt")) + " "), 0);
    ASSERT_EQ(Command("UNLHA32.DLL", "Unlha", "d -+" + Quoted(lzh) + Quoted(QStringLiteral("b[1].txt")) + " "), 0);
    EXPECT_EQ(Listed("UNLHA32.DLL", "Unlha", lzh),
              (QList<QByteArray>{"sub/long.txt", ToCp932(QStringLiteral("sub/表.txt")), "a.txt"}));

    if (lhasa.isEmpty())
        GTEST_SKIP() << "lhasa is not installed (scripts/install-deps)";
    const QString folder = env.file(QStringLiteral("lhasa"));
    QDir().mkpath(folder);
    for (const QStringList &arguments : {QStringList{QStringLiteral("t"), env.file(QStringLiteral("older.lzh"))},
                                         QStringList{QStringLiteral("t"), lzh}, QStringList{QStringLiteral("xq"), lzh}}) {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.start(lhasa, arguments);
        ASSERT_TRUE(process.waitForFinished());
        EXPECT_EQ(process.exitCode(), 0) << arguments.join(QLatin1Char(' ')).toStdString() << ": "
                                         << process.readAllStandardError().constData();
    }
    QFile extracted(folder + QStringLiteral("/a.txt"));
    ASSERT_TRUE(extracted.open(QIODevice::ReadOnly));
    EXPECT_EQ(extracted.readAll(), "changed");
    // The CP932 name lhasa wrote is no UTF-8: only a byte-wise removal takes it.
    std::filesystem::remove_all(QFile::encodeName(folder).toStdString());
}

namespace {

struct ZipItem {
    QByteArray name;
    QByteArray data;
    QByteArray symlink;
};

QByteArray MakeZip(const std::vector<ZipItem> &items)
{
    QByteArray buffer(1 << 20, '\0');
    size_t used = 0;
    archive *writer = archive_write_new();
    archive_write_set_format_zip(writer);
    archive_write_set_options(writer, "zip:compression=store");
    archive_write_open_memory(writer, buffer.data(), size_t(buffer.size()), &used);
    for (const ZipItem &item : items) {
        archive_entry *entry = archive_entry_new();
        archive_entry_copy_pathname(entry, item.name.constData());
        archive_entry_set_filetype(entry, item.symlink.isEmpty() ? AE_IFREG : AE_IFLNK);
        if (!item.symlink.isEmpty())
            archive_entry_copy_symlink(entry, item.symlink.constData());
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, item.data.size());
        archive_write_header(writer, entry);
        archive_write_data(writer, item.data.constData(), size_t(item.data.size()));
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    buffer.truncate(qsizetype(used));
    return buffer;
}

// Changes a field of the last central directory record of a ZIP archive,
// and one of its local header when given.
QByteArray PatchLastEntry(QByteArray zip, int centralOffset, const QByteArray &bytes, int localOffset = -1)
{
    zip.replace(zip.lastIndexOf("PK\x01\x02") + centralOffset, bytes.size(), bytes);
    if (localOffset >= 0)
        zip.replace(zip.lastIndexOf("PK\x03\x04") + localOffset, bytes.size(), bytes);
    return zip;
}

QByteArray Flipped(QByteArray archive, const QByteArray &marker)
{
    archive[archive.indexOf(marker)] ^= 0x20;
    return archive;
}

QByteArray MakeLzh(const std::vector<std::pair<QByteArray, QByteArray>> &items)
{
    QByteArray archive;
    for (const auto &[name, data] : items)
        archive += plat::LzhEntry(name, data, 1700000000);
    return archive + plat::LzhEndMark;
}

struct HostileCase {
    const char *what;
    bool lzh;
    QByteArray archive;
    int result;
};

} // namespace

// A peer's archive is extracted whole or not at all: each of these leaves
// nothing behind, in the folder or beside it.
TEST_F(ArchiverLibraryTest, JapaneseNamesSurviveAPlainCLocale)
{
    // A user started with LANG=C: the names still go in and come out whole.
    const locale_t plainC = newlocale(LC_CTYPE_MASK, "C", nullptr);
    const locale_t previous = uselocale(plainC);
    const auto restore = qScopeGuard([&] {
        uselocale(previous);
        freelocale(plainC);
    });
    const QString name = QStringLiteral("sub/表.txt");
    for (const auto &[library, pack, unpack] :
         {std::tuple{"UNLHA32.DLL", "a -n1", "x -n1"}, std::tuple{"ZIP32J.DLL", " -q", "-x --i"}}) {
        SCOPED_TRACE(library);
        const QString archive = env.file(QString::fromLatin1(library) + (library[0] == 'U' ? ".lzh" : ".zip"));
        const QString out = env.file(QString::fromLatin1(library) + QStringLiteral("-out"));
        ASSERT_EQ(Command(library, library[0] == 'U' ? "Unlha" : "Zip",
                          QByteArray(pack) + Quoted(archive) + QuotedDir(src()) + Quoted(name) + " "),
                  0);
        ASSERT_EQ(Command(library[0] == 'U' ? "UNLHA32.DLL" : "UNZIP32.DLL", library[0] == 'U' ? "Unlha" : "UnZip",
                          QByteArray(unpack) + Quoted(archive) + QuotedDir(out) + " "),
                  0);
        EXPECT_EQ(FilesBelow(out), (std::map<QString, QByteArray>{{name, files.at(name)}}));
    }
}

TEST_F(ArchiverLibraryTest, HostileArchivesAreRefusedWhole)
{
    const ZipItem good{"good.txt", "fine", {}};
    const QByteArray goodZip = MakeZip({good, {"second.txt", "BADBADBAD", {}}});
    const std::vector<HostileCase> cases = {
        {"zip slip", false, MakeZip({good, {"../evil", "x", {}}}), plat::ArchiverErrorUnsafe},
        {"zip slip through backslashes", false, MakeZip({good, {"a\\..\\..\\evil", "x", {}}}), plat::ArchiverErrorUnsafe},
        {"absolute path", false, MakeZip({good, {"/tmp/evil", "x", {}}}), plat::ArchiverErrorUnsafe},
        {"drive prefix", false, MakeZip({good, {"C:evil", "x", {}}}), plat::ArchiverErrorUnsafe},
        {"symbolic link", false, MakeZip({good, {"link", "", "/etc/passwd"}}), plat::ArchiverErrorUnsafe},
        {"character device", false, PatchLastEntry(goodZip, 40, QByteArray("\xA4\x21", 2)),
         plat::ArchiverErrorUnsafe},
        {"huge declared size", false, PatchLastEntry(goodZip, 24, QByteArray("\xF0\xFF\xFF\xFF", 4), 22),
         plat::ArchiverErrorTooLarge},
        {"truncated zip", false, goodZip.left(goodZip.size() / 2), plat::ArchiverErrorFormat},
        {"damaged data after a good entry", false, Flipped(goodZip, "BADBADBAD"), plat::ArchiverErrorFormat},
        {"not an archive", false, QByteArray(300, 'P'), plat::ArchiverErrorFormat},
        {"lzh slip", true, MakeLzh({{"good.txt", "fine"}, {"../evil", "x"}}), plat::ArchiverErrorUnsafe},
        {"lzh absolute folder", true, MakeLzh({{"good.txt", "fine"}, {"/tmp/evil", "x"}}), plat::ArchiverErrorUnsafe},
        {"lzh damaged data", true, Flipped(MakeLzh({{"good.txt", "fine"}, {"b.txt", "BADBADBAD"}}), "BADBADBAD"),
         plat::ArchiverErrorFormat},
        {"lzh truncated", true, MakeLzh({{"good.txt", "fine"}, {"b.txt", LongText()}}).left(2000),
         plat::ArchiverErrorFormat},
    };
    for (const HostileCase &c : cases) {
        SCOPED_TRACE(c.what);
        const QString archive = env.file(c.lzh ? QStringLiteral("peer/h.lzh") : QStringLiteral("peer/h.zip"));
        env.writeFile(QStringLiteral("peer/") + QFileInfo(archive).fileName(), c.archive);
        const QString out = env.file(QStringLiteral("peer/out"));
        const int result = c.lzh ? Command("UNLHA32.DLL", "Unlha", "x -+ -n1 " + Quoted(archive) + QuotedDir(out) + " ")
                                 : Command("UNZIP32.DLL", "UnZip", "-x --i " + Quoted(archive) + QuotedDir(out) + " ");
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(FilesBelow(env.file(QStringLiteral("peer"))).size(), 1u) << "only the archive itself";
        EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("evil"))));
        QFile::remove(archive);
    }

    // Links already in the target folder are not followed out of it.
    const QString out = env.file(QStringLiteral("linked"));
    env.writeFile(QStringLiteral("outside/kept.txt"), "kept");
    QDir().mkpath(out);
    ASSERT_TRUE(QFile::link(env.file(QStringLiteral("outside")), out + QStringLiteral("/sub")));
    ASSERT_TRUE(QFile::link(env.file(QStringLiteral("outside/kept.txt")), out + QStringLiteral("/a.txt")));
    const QString zip = env.file(QStringLiteral("l.zip"));
    for (const QByteArray &name : {QByteArray("sub/deeper/x.txt"), QByteArray("a.txt")}) {
        SCOPED_TRACE(name.constData());
        env.writeFile(QStringLiteral("l.zip"), MakeZip({{name, "x", {}}}));
        EXPECT_EQ(Command("UNZIP32.DLL", "UnZip", "-x --i " + Quoted(zip) + QuotedDir(out) + " "), plat::ArchiverErrorWrite);
        EXPECT_EQ(FilesBelow(env.file(QStringLiteral("outside"))),
                  (std::map<QString, QByteArray>{{QStringLiteral("kept.txt"), "kept"}}));
    }
}

TEST_F(ArchiverLibraryTest, ProgressReachesTheOwnerWindowWhichMayAbort)
{
    const QString lzh = env.file(QStringLiteral("a.lzh"));
    const QString out = env.file(QStringLiteral("out"));
    ASSERT_EQ(Command("UNLHA32.DLL", "Unlha", "a -+ -r1" + Quoted(lzh) + QuotedDir(src()) + Quoted(QStringLiteral("*")) + " "), 0);
    const auto library = plat::LoadArchiverLibrary(QStringLiteral("UNLHA32.DLL"));
    const auto setOwner = reinterpret_cast<plat::ArchiverSetOwnerEntry>(plat::GetArchiverEntry(library, "UnlhaSetOwnerWindowEx"));
    const auto killOwner = reinterpret_cast<plat::ArchiverKillOwnerEntry>(plat::GetArchiverEntry(library, "UnlhaKillOwnerWindowEx"));

    // A window answering the registered message: 1 stops the extraction.
    struct ProgressWindow : QObject {
        std::vector<unsigned> states;
        qintptr answer = 0;
        bool event(QEvent *e) override
        {
            if (e->type() != plat::WindowMessageEvent::EventType())
                return QObject::event(e);
            auto *message = static_cast<plat::WindowMessageEvent *>(e);
            if (message->message() == plat::RegisterWindowMessage(QStringLiteral("WM_ARCEXTRACT")))
                states.push_back(unsigned(message->wParam()));
            message->setResult(answer);
            return true;
        }
    } window;
    // Whatever fails below, the window is unregistered before it goes.
    const auto unregister = qScopeGuard([&] { killOwner(&window); });
    ASSERT_NE(setOwner(&window, nullptr), 0);
    ASSERT_EQ(Command("UNLHA32.DLL", "Unlha", "x -+ -n1" + Quoted(lzh) + QuotedDir(out) + " "), 0);
    ASSERT_FALSE(window.states.empty());
    EXPECT_EQ(window.states.front(), plat::ArchiverExtractBegin);
    EXPECT_EQ(window.states.back(), plat::ArchiverExtractEnd);
    QDir(out).removeRecursively();
    window.answer = 1;
    EXPECT_EQ(Command("UNLHA32.DLL", "Unlha", "x -+ -n1" + Quoted(lzh) + QuotedDir(out) + " "), plat::ArchiverErrorAborted);
    EXPECT_FALSE(QFileInfo::exists(out)) << "what an aborted extraction wrote is removed";
    EXPECT_NE(killOwner(&window), 0);

    // A callback takes the window's place; after KillOwnerWindowEx nothing is reported.
    static int calls;
    calls = 0;
    setOwner(&window, [](plat::ArchiverWindow, unsigned, void *) { return ++calls > 2; });
    EXPECT_EQ(Command("UNLHA32.DLL", "Unlha", "x -+ -n1" + Quoted(lzh) + QuotedDir(out) + " "), plat::ArchiverErrorAborted);
    EXPECT_EQ(calls, 3);
    killOwner(&window);
    EXPECT_EQ(Command("UNLHA32.DLL", "Unlha", "x -+ -n1" + Quoted(lzh) + QuotedDir(out) + " "), 0);
    EXPECT_EQ(calls, 3);
}

TEST(ArchiverLibraries, EntriesByLibraryAndPresence)
{
    struct Expected {
        const char *library;
        std::vector<const char *> has, lacks;
    };
    const std::vector<Expected> table = {
        {"UNLHA32.DLL", {"Unlha", "UnlhaOpenArchive", "UnlhaCloseArchive", "UnlhaFindFirst", "UnlhaFindNext",
                         "UnlhaCheckArchive", "UnlhaSetOwnerWindowEx", "UnlhaKillOwnerWindowEx", "UnlhaExtractMem"},
         {"unlha", "UnZip"}},
        {"unzip32.dll", {"UnZip", "UnZipOpenArchive", "UnZipFindFirst", "UnZipFindNext", "UnZipCheckArchive",
                         "UnZipExtractMem", "UnZipSetOwnerWindowEx", "UnZipKillOwnerWindowEx"},
         {"Zip", "Unzip"}},
        {"ZIP32J.DLL", {"Zip", "UnZipOpenArchive", "UnZipCloseArchive"}, {"UnZip", "UnZipExtractMem"}},
        {"LMZIP32.DLL", {"Zip", "Unzip", "UnzipOpenArchive", "UnzipExtractMem", "UnzipSetOwnerWindowEx"},
         {"UnZip", "UnZipOpenArchive"}},
    };
    for (const Expected &row : table) {
        SCOPED_TRACE(row.library);
        const auto handle = plat::LoadArchiverLibrary(QString::fromLatin1(row.library));
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(plat::ArchiverLibraryFileName(handle), QString::fromLatin1(row.library).toUpper());
        for (const char *entry : row.has)
            EXPECT_NE(plat::GetArchiverEntry(handle, entry), nullptr) << entry;
        for (const char *entry : row.lacks)
            EXPECT_EQ(plat::GetArchiverEntry(handle, entry), nullptr) << entry;
    }
    const auto loaded = plat::LoadArchiverLibrary(QStringLiteral("UNZIP32.DLL"));
    plat::SetArchiverLibraryPresent(QStringLiteral("Unzip32.dll"), false);
    EXPECT_EQ(plat::LoadArchiverLibrary(QStringLiteral("UNZIP32.DLL")), nullptr);
    EXPECT_NE(plat::GetArchiverEntry(loaded, "UnZip"), nullptr) << "a loaded handle stays valid";
    EXPECT_EQ(plat::LoadArchiverLibrary(QStringLiteral("UNARJ32.DLL")), nullptr);
    EXPECT_TRUE(plat::SearchFileName(QStringLiteral("no-such-stub.dat")).isEmpty());
    EXPECT_FALSE(plat::SearchFileName(QStringLiteral("sh")).isEmpty());
}
