#include "platform/ArchiverCommandLine.h"
#include "platform/ArchiverInfo.h"

#include "support/TempEnv.h"

#include <gtest/gtest.h>

namespace {

struct CommandCase {
    const char *what;
    QByteArray line;
    int result;
    QByteArray verb;
    QList<QByteArray> switches;
    QByteArray archive;
    QByteArray directory;
    QList<QByteArray> names;
};

} // namespace

// "表" is 0x95 0x5C and "ソ" is 0x83 0x5C in CP932: their second byte is a backslash.
TEST(ArchiverCommandLine, SplitsLinesAsTheArchiversBuildThem)
{
    const QByteArray hyo("\x95\x5C");
    const QByteArray so("\x83\x5C");
    const std::vector<CommandCase> cases = {
        {"extraction with a directory", R"(x -+ -n1  "C:\in\a.lzh" "C:\tmp\" )", plat::ArchiverOk, "x",
         {"-+", "-n1"}, R"(C:\in\a.lzh)", R"(C:\tmp\)", {}},
        {"zip verb and quiet switch", R"(-x --i  "/in/a.zip" "/tmp/out\" )", plat::ArchiverOk, "-x", {"--i"},
         "/in/a.zip", R"(/tmp/out\)", {}},
        {"empty verb: line starts with a blank", R"( -+  "a.lzh" "doc.txt" )", plat::ArchiverOk, "", {"-+"},
         "a.lzh", "", {"doc.txt"}},
        {"quoted switch with a blank inside", R"(x "-jofoo bar" "a.lzh")", plat::ArchiverOk, "x",
         {"-jofoo bar"}, "a.lzh", "", {}},
        {"quotes toggle within a word", R"(x a"b c"d.lzh)", plat::ArchiverOk, "x", {}, "ab cd.lzh", "", {}},
        {"trail byte 0x5C is no delimiter", "x \"" + hyo + "\" \"d\\" + so + "\" \"x\"", plat::ArchiverOk, "x", {},
         hyo, "", {"d\\" + so, "x"}},
        {"a lead byte before a quote does not swallow it", "x \"a\x83\" \"n a\"", plat::ArchiverOk, "x", {},
         "a\x83", "", {"n a"}},
        {"escaped zip names stay as given", R"( --i "a.zip" "dir/a[[]1].txt")", plat::ArchiverOk, "", {"--i"},
         "a.zip", "", {"dir/a[[]1].txt"}},
        {"a name with a quote inside stays a name, never a switch", "x \"a.lzh\" \"x\" \"-d\" \"\x01\"",
         plat::ArchiverOk, "x", {}, "a.lzh", "", {"x", "-d", "\x01"}},
        {"no archive name", "x -+ -n1", plat::ArchiverErrorCommand, {}, {}, {}, {}, {}},
        {"empty quoted archive name", R"(x "" "d\")", plat::ArchiverErrorCommand, {}, {}, {}, {}, {}},
        {"missing response file", R"(x "a.lzh" "@/nonexistent/r.txt")", plat::ArchiverErrorNoFile, {}, {}, {}, {}, {}},
    };
    for (const CommandCase &c : cases) {
        SCOPED_TRACE(c.what);
        plat::ArchiverCommand command;
        EXPECT_EQ(plat::ParseArchiverCommand(c.line, command), c.result);
        if (c.result != plat::ArchiverOk)
            continue;
        EXPECT_EQ(command.verb, c.verb);
        EXPECT_EQ(command.switches, c.switches);
        EXPECT_EQ(command.archive, c.archive);
        EXPECT_EQ(command.directory, c.directory);
        EXPECT_EQ(command.names, c.names);
    }
}

TEST(ArchiverCommandLine, ResponseFilesAndSwitchValues)
{
    testsupport::TempFolder folder;
    folder.writeFile(QStringLiteral("r.txt"), "\"a b.txt\"\r\n\"sub\\\x95\x5C.txt\"\r\nplain\r\n");
    plat::ArchiverCommand command;
    const QByteArray line = "u -+ -r2 -x0 -n \"a.lzh\" \"base\\\" \"first\" \"@" + folder.file(QStringLiteral("r.txt")).toUtf8()
        + "\" ";
    ASSERT_EQ(plat::ParseArchiverCommand(line, command), plat::ArchiverOk);
    EXPECT_EQ(command.directory, "base\\");
    EXPECT_EQ(command.names, (QList<QByteArray>{"first", "a b.txt", "sub\\\x95\x5C.txt", "plain"}));
    EXPECT_EQ(command.number("r"), 2);
    EXPECT_EQ(command.number("x"), 0);
    EXPECT_EQ(command.number("n"), 1);
    EXPECT_FALSE(command.number("c").has_value());
    EXPECT_TRUE(command.has("+"));
    EXPECT_EQ(plat::ArchiverPath("C:\\tmp\\\x95\x5C\\x"), QStringLiteral("C:/tmp/表/x"));
}
