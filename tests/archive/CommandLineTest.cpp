// The command lines the archivers hand to their libraries, byte for byte.
#include "archive/LHA32.h"
#include "archive/ZIP32.h"
#include "platform/Cp932.h"

#include "support/TempEnv.h"

#include <QFile>
#include <QObject>

#include <gtest/gtest.h>

#include <functional>

namespace {

using testsupport::TempEnvTest;

struct CommandLineRow {
    const char *what;
    std::function<QString()> build;
    QString expected;
};

TArchiverOptions SystemExtraction()
{
    TArchiverOptions options;
    options.n = 1;
    return options;
}

// Many LHA switches of every kind at once.
TArchiverOptions ManyLhaSwitches()
{
    TArchiverOptions options;
    options.a = 2;
    options.c = -2;
    options.n = 1;
    options.w = QStringLiteral("C:/work");
    options.x = 0;
    options.jm = 9;
    options.jo = QStringLiteral("abc");
    options.job = QString();
    options.jx = {QStringLiteral("*.bak"), QStringLiteral("*.tmp")};
    options.jyc = 1;
    options.gr = QStringLiteral("r");
    options.gw = 1;
    options.UserOptions = QStringLiteral("-gm1");
    options.UserFileList = QStringLiteral("tail");
    return options;
}

TArchiverOptions ManyZipSwitches()
{
    TArchiverOptions options;
    for (auto *number : {&options.a, &options.l, &options.n, &options.r, &options.u, &options.jc, &options.ji,
                         &options.gd, &options.c})
        *number = 1;
    options.x = 0;
    options.jm = 9;
    return options;
}

QString Built(const std::function<void(TCmdOpt &)> &steps)
{
    TCmdOpt cmd;
    steps(cmd);
    return cmd.Text;
}

const QString LzhArchive = QStringLiteral("C:/in/a.lzh");
const QString ZipArchive = QStringLiteral("C:/in/a.zip");
const QString TmpDir = QStringLiteral("C:/tmp");
const QString OddName = QStringLiteral("d\\表[1].txt");

TEST(CommandLineTest, OptionsBuildTheLibrariesCommandLines)
{
    const TArchiverOptions reset;
    const char *const array[] = {"d1", "d2", nullptr};
    const QStringList lines{QStringLiteral("e1"), QStringLiteral("e2")};
    const QObject otherObject;
    const TFileList everyKind{QByteArray(plat::ToCp932(QStringLiteral("表.txt"))),
                              "b.txt",
                              QStringLiteral("c.txt"),
                              static_cast<const char *const *>(array),
                              &lines,
                              &otherObject,
                              QVariant(QVariantList{QStringLiteral("f1"), 7}),
                              QVariant(QStringLiteral("g")),
                              5,
                              true,
                              QChar(u'h'),
                              1.5};

    const CommandLineRow rows[] = {
        {"LHA extraction of the whole archive",
         [&] { return LhaCommandLine("x", LzhArchive, SystemExtraction(), TmpDir, NoFileNames, true, false); },
         R"(x -+ -n1  "C:/in/a.lzh" "C:/tmp/" )"},
        {"LHA with an owner window registered emits -n1 whatever n",
         [&] { return LhaCommandLine("x", LzhArchive, reset, TmpDir, {}, false, true); },
         R"(x -+ -n1  "C:/in/a.lzh" "C:/tmp/" )"},
        {"LHA after reset emits no switch",
         [&] { return LhaCommandLine("x", LzhArchive, reset, TmpDir + '/', {}, false, false); },
         R"(x -+  "C:/in/a.lzh" "C:/tmp/" )"},
        {"LHA switches of every kind in the library's order, names unfiltered",
         [&] { return LhaCommandLine("u", LzhArchive, ManyLhaSwitches(), "C:/base", {OddName}, false, false); },
         R"(u -+ -a2 -c-2 -n1 "-wC:/work/" -x0 -jm9 "-joabc" "-job" "-jx*.bak" "-jx*.tmp" -jyc1 "-grr" -gw1 -gm1 )"
         R"("C:/in/a.lzh" "C:/base/" "d\表[1].txt" tail)"},
        {"LHA extraction to memory: empty verb, no directory, the one entry",
         [&] { return LhaCommandLine("", LzhArchive, reset, "", {QStringLiteral("doc/a.txt")}, false, false); },
         R"( -+  "C:/in/a.lzh" "doc/a.txt" )"},
        {"ZIP extraction of the whole archive",
         [&] { return ZipExtractCommand("-x", ZipArchive, SystemExtraction(), TmpDir, NoFileNames, true, false); },
         R"(-x --i  "C:/in/a.zip" "C:/tmp/" )"},
        {"ZIP extraction switches; names escaped, archive and directory not",
         [&] { return ZipExtractCommand("-x", "C:/in[1]/a.zip", ManyZipSwitches(), TmpDir, {OddName}, false, false); },
         R"(-x -o --i -j  "C:/in[1]/a.zip" "C:/tmp/" "d/表[[]1].txt" )"},
        {"a folder name goes as its entries, never as the directory",
         [&] { return ZipExtractCommand("-x", ZipArchive, reset, "", {QStringLiteral("zz/")}, false, false); },
         R"(-x  "C:/in/a.zip" "zz/*" )"},
        {"ZIP extraction with an owner window registered asks for --i",
         [&] { return ZipExtractCommand("", ZipArchive, reset, "", {QStringLiteral("a.txt")}, false, true); },
         R"( --i  "C:/in/a.zip" "a.txt" )"},
        {"ZIP pack after reset: -D and nothing else before the user options",
         [&] { return ZipPackCommand("", ZipArchive, reset, "C:/base", {OddName}, false); },
         R"( -D  "C:/in/a.zip" "C:/base/" "d/表[[]1].txt" )"},
        {"ZIP pack switches in the library's order",
         [&] { return ZipPackCommand("-d", ZipArchive, ManyZipSwitches(), "", {QStringLiteral("a.txt")}, false); },
         R"(-d -S -D -v -q -r -o -u -j -FF -k -9 -J  "C:/in/a.zip" "a.txt" )"},
        {"ZIP pack for a = 2 drops -D",
         [&] {
             TArchiverOptions options;
             options.a = 2;
             return ZipPackCommand("-f", ZipArchive, options, "", {}, false);
         },
         R"(-f -S  "C:/in/a.zip" )"},
        {"ZIP refresh through the fallback library keeps names unescaped",
         [&] { return ZipRefreshCommand("-ru", ZipArchive, ManyZipSwitches(), "", {OddName}, false); },
         R"(-ru -o -j  "C:/in/a.zip" "d\表[1].txt" )"},
        {"numbers: not given, negative, zero",
         [&] {
             return Built([](TCmdOpt &cmd) {
                 cmd.AddInt("n", -1);
                 cmd.AddInt("a", -2);
                 cmd.AddInt("jm", 0);
             });
         },
         " -a-2 -jm0"},
        {"quoted texts: unset, empty value, a switch with a blank",
         [&] {
             return Built([](TCmdOpt &cmd) {
                 cmd.AddQuoted("jo", UnsetMarker());
                 cmd.AddQuoted("jz", "");
                 cmd.AddQuoted(" x", "v");
             });
         },
         R"( "-jz" "xv")"},
        {"directories: with and without their slash, empty, unset; an empty piece",
         [&] {
             return Built([](TCmdOpt &cmd) {
                 cmd.AddDir("", TmpDir);
                 cmd.AddDir("", TmpDir + '/');
                 cmd.AddDir("w", "");
                 cmd.AddDir("w", UnsetMarker());
                 cmd.Add("");
             });
         },
         R"( "C:/tmp/" "C:/tmp/" )"},
        {"a file list of every kind",
         [&] { return Built([&](TCmdOpt &cmd) { cmd.AddList("", everyKind); }); },
         R"( "表.txt" "b.txt" "c.txt" "d1" "d2" "e1" "e2" "f1" "7" "g")"},
    };
    for (const CommandLineRow &row : rows)
        EXPECT_EQ(row.build(), row.expected) << row.what;
}

class ResponseFileTest : public TempEnvTest {};

TEST_F(ResponseFileTest, NamesGoIntoTheResponseFileWhenOneIsNamedAndAllowed)
{
    const QStringList lines{QStringLiteral("a.txt"), QStringLiteral("b\\表[1].txt")};
    TArchiverOptions options;
    options.ResFileName = env.file(QStringLiteral("r.txt"));
    options.UserFileList = QStringLiteral("tail");

    EXPECT_EQ(LhaCommandLine("u", LzhArchive, options, "", {&lines}, true, false),
              QStringLiteral(R"(u -+  "C:/in/a.lzh" "@%1" tail)").arg(options.ResFileName));
    EXPECT_EQ(env.readFile(QStringLiteral("r.txt")), plat::ToCp932(QStringLiteral("\"a.txt\"\r\n\"b\\表[1].txt\"\r\n")));

    // The ZIP libraries get their names escaped in the file as well.
    ZipExtractCommand("-x", ZipArchive, options, TmpDir, {&lines}, true, false);
    EXPECT_EQ(env.readFile(QStringLiteral("r.txt")), plat::ToCp932(QStringLiteral("\"a.txt\"\r\n\"b/表[[]1].txt\"\r\n")));

    options.ResFileName = env.file(QStringLiteral("missing/r.txt"));
    EXPECT_THROW(LhaCommandLine("u", LzhArchive, options, "", {&lines}, true, false), EFileError);
}

TEST_F(ResponseFileTest, ADoubleQuoteNeverReachesACommandLine)
{
    TArchiverOptions options;
    const QString quoted = QStringLiteral("a\" -d \"b.txt");
    EXPECT_THROW(LhaCommandLine("x", LzhArchive, options, TmpDir, {quoted}, false, false), EArchiver);
    EXPECT_THROW(ZipExtractCommand("-x", quoted, options, TmpDir, {}, false, false), EArchiver);
    EXPECT_THROW(ZipPackCommand("", ZipArchive, options, quoted, {}, false), EArchiver);
    options.jo = quoted;
    EXPECT_THROW(LhaCommandLine("x", LzhArchive, options, TmpDir, {}, false, false), EArchiver);

    // Nor a response file, which then is not written at all.
    options.jo = UnsetMarker();
    options.ResFileName = env.file(QStringLiteral("r.txt"));
    EXPECT_THROW(LhaCommandLine("u", LzhArchive, options, "", {quoted}, true, false), EArchiver);
    EXPECT_FALSE(QFile::exists(options.ResFileName));
}

} // namespace
