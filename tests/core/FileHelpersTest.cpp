// How received and stored files are shown, unpacked and copied, and the
// "OLCP://" link addresses.
#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/BViewlst.h"
#include "core/RichView.h"

#include "support/ProgramState.h"
#include "support/TempEnv.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

using testsupport::TempEnvTest;

constexpr QFile::Permissions Executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

class FileHelpersTest : public TempEnvTest {
protected:
    void SetUp() override
    {
        ClearViewerTable();
        LogLebelNumber = DELTA;
        SetLogMemo(&memo_);
        TempDirectory = env.file(QStringLiteral("Temp"));
        // Stand-ins for the desktop's tools come first on the search path.
        qputenv("PATH", env.file(QStringLiteral("bin")).toUtf8() + ':' + qgetenv("PATH"));
    }

    QString log()
    {
        QCoreApplication::processEvents();
        return memo_.toPlainText();
    }
    // A shell script below the test folder, marked executable.
    QString writeScript(const QString &name, const QByteArray &body) const
    {
        env.writeFile(name, "#!/bin/sh\n" + body);
        QFile::setPermissions(env.file(name), Executable);
        return env.file(name);
    }
    // A desktop tool that notes its arguments in a marker file: one line with
    // their count, then one line per argument.
    QString writeRecorder(const QString &name, const QString &marker) const
    {
        return writeScript(name, "printf '%s\\n' \"$#\" \"$@\" > '" + marker.toUtf8() + ".part'\nmv '" +
                                     marker.toUtf8() + ".part' '" + marker.toUtf8() + "'\n");
    }
    // The marker's lines once it appears; empty after the time-out.
    static QStringList waitForMarker(const QString &marker, int milliseconds = 5000)
    {
        const QDeadlineTimer deadline(milliseconds);
        while (!QFile::exists(marker) && !deadline.hasExpired())
            QTest::qWait(10);
        QFile file(marker);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    void addViewer(const QString &extension, const QString &application, std::uint8_t state)
    {
        ViewerTable[ViewerCount++] = ViewerEntry{extension, application, state};
    }

private:
    QPlainTextEdit memo_;
};

TEST_F(FileHelpersTest, FindViewerTriesInsideViewsThenAssociationThenViewerTable)
{
    addViewer(QStringLiteral("jpg"), QStringLiteral("/opt/old"), ViewerDeleted);
    addViewer(QStringLiteral("txt"), QStringLiteral("/opt/text"), ViewerLoaded);
    addViewer(QStringLiteral("jpg"), QStringLiteral("/opt/gone"), ViewerAddedDeleted);
    addViewer(QStringLiteral("JPG"), QStringLiteral("/opt/photo"), ViewerChanged);
    UsingWindows95 = false;
    HtmlViewer = 2;

    QString application;
    ImageViewer = true;
    application = QStringLiteral("/opt/last-one");
    EXPECT_TRUE(FindViewer(QStringLiteral("/in/photo.JPG"), application));
    EXPECT_TRUE(application.isEmpty());
    ImageViewer = false;
    EXPECT_TRUE(FindViewer(QStringLiteral("/in/photo.JPG"), application));
    EXPECT_EQ(application, QStringLiteral("/opt/photo"));
    EXPECT_TRUE(log().contains(QStringLiteral("File  Ext = jpg\nViewerExt = jpg\nViewerExt = txt\nViewerExt = jpg\n"
                                              "ViewerExt = JPG")));

    application.clear();
    EXPECT_FALSE(FindViewer(QStringLiteral("/in/page.htm"), application));
    HtmlViewer = 1;
    EXPECT_TRUE(FindViewer(QStringLiteral("/in/page.HTML"), application));
    EXPECT_TRUE(application.isEmpty());
    EXPECT_FALSE(FindViewer(QStringLiteral("/in/archive.lzh"), application));

    // By association: the desktop knows an application for plain text only.
    writeScript(QStringLiteral("bin/xdg-mime"),
                "[ \"$1 $2 $3\" = 'query default text/plain' ] && echo text-viewer.desktop\nexit 0\n");
    UsingWindows95 = true;
    env.writeFile(QStringLiteral("in/notes.txt"), "hello\n");
    env.writeFile(QStringLiteral("in/data.bin"), QByteArray("\x01\x02\x03\x00", 4));
    env.writeFile(QStringLiteral("in/install.sh"), "echo hello\n");
    EXPECT_TRUE(FindViewer(env.file(QStringLiteral("in/notes.txt")), application));
    EXPECT_TRUE(application.isEmpty());
    EXPECT_EQ(FindAssociatedProgram(QStringLiteral("notes.txt"), env.file(QStringLiteral("in"))), 33);
    EXPECT_FALSE(FindViewer(env.file(QStringLiteral("in/data.bin")), application));
    EXPECT_FALSE(FindViewer(env.file(QStringLiteral("in/missing.txt")), application));
    EXPECT_EQ(FindAssociatedProgram(QStringLiteral("missing.txt"), env.file(QStringLiteral("in"))), 2);
    // A script never counts as having an association, whatever the desktop says.
    EXPECT_EQ(FindAssociatedProgram(QStringLiteral("install.sh"), env.file(QStringLiteral("in"))), 31);
    EXPECT_FALSE(FindViewer(env.file(QStringLiteral("in/install.sh")), application));
}

TEST_F(FileHelpersTest, ViewerApplicationGetsTheFileAsItsOnlyArgument)
{
    UsingWindows95 = false;
    const QString marker = env.file(QStringLiteral("viewer-ran"));
    const QString viewer = writeRecorder(QStringLiteral("tools/my viewer"), marker);
    // A name that a shell would split and run.
    env.writeFile(QStringLiteral("in/a b;touch pwned.jpg"), "picture");
    const QString file = env.file(QStringLiteral("in/a b;touch pwned.jpg"));

    OpenWithViewer(viewer, file);
    EXPECT_EQ(waitForMarker(marker), (QStringList{QStringLiteral("1"), file}));
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("in/pwned.jpg"))));

    // A program given by name only is looked up on the search path.
    QFile::remove(marker);
    writeRecorder(QStringLiteral("bin/pathviewer"), marker);
    EXPECT_GT(OpenWithShell(QStringLiteral("pathviewer"), file, QString()), 0);
    EXPECT_EQ(waitForMarker(marker), (QStringList{QStringLiteral("1"), file}));
}

TEST_F(FileHelpersTest, FilesThatWouldRunAreNeverOpenedByAssociation)
{
    const QString marker = env.file(QStringLiteral("desktop-opened"));
    writeRecorder(QStringLiteral("bin/xdg-open"), marker);
    UsingWindows95 = true;

    const QString shown = env.file(QStringLiteral("in/notes.txt"));
    env.writeFile(QStringLiteral("in/notes.txt"), "just text\n");
    OpenWithViewer(QString(), shown);
    const QStringList opened = waitForMarker(marker);
    ASSERT_EQ(opened.size(), 2) << "the desktop's opener was not reached";
    EXPECT_TRUE(opened[1].endsWith(QStringLiteral("/in/notes.txt")));
    QFile::remove(marker);

    const QString sentinel = env.file(QStringLiteral("pwned"));
    const QByteArray payload = "touch '" + sentinel.toUtf8() + "'\n";
    writeScript(QStringLiteral("in/tool"), payload); // marked executable
    env.writeFile(QStringLiteral("in/setup.sh"), payload);
    env.writeFile(QStringLiteral("in/readme.txt"), "#!/bin/sh\n" + payload);
    env.writeFile(QStringLiteral("in/run.BAT"), "echo off\r\n");
    env.writeFile(QStringLiteral("in/start.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Start\nExec=sh -c \"" + payload + "\"\n");
    QFile program(QStringLiteral("/bin/true"));
    ASSERT_TRUE(program.open(QIODevice::ReadOnly));
    env.writeFile(QStringLiteral("in/picture.dat"), program.readAll()); // a program without the exec bit

    for (const char *name : {"in/tool", "in/setup.sh", "in/readme.txt", "in/run.BAT", "in/start.desktop", "in/picture.dat"}) {
        const QString file = env.file(QLatin1String(name));
        OpenWithViewer(QString(), file);
        EXPECT_TRUE(log().contains(QStringLiteral("Not opened  ") + file)) << name;
    }
    // A viewer program this machine lacks: its document goes to the desktop, checked the same way.
    UsingWindows95 = false;
    EXPECT_EQ(OpenWithShell(QStringLiteral("C:\\Tools\\viewer.exe"), env.file(QStringLiteral("in/setup.sh")),
                            QString()),
              0);
    EXPECT_TRUE(waitForMarker(marker, 300).isEmpty());
    EXPECT_FALSE(QFile::exists(sentinel));
}

TEST_F(FileHelpersTest, OlcpAddressesNeedEveryClosingSlash)
{
    OlcpUrl url;
    ASSERT_TRUE(ParseOlcpUrl(QStringLiteral("  OLCP://192.168.1.20/Secret/Board/Second/17/ "), url));
    EXPECT_EQ(url.Address, qToBigEndian<quint32>(0xC0A80114));
    EXPECT_EQ(url.AccessKey, QStringLiteral("Secret"));
    EXPECT_EQ(url.BoardKey, QStringLiteral("Board"));
    EXPECT_EQ(url.BoardKey2, QStringLiteral("Second"));
    EXPECT_EQ(url.Number, 17);

    const OlcpUrl before = url;
    for (const char *bad : {"OLCP://192.168.1.20/Secret/Board/Second/17", "olcp://192.168.1.20/a/b/c/1/",
                            "OLCP://192.168.1.20/a/b/", "http://192.168.1.20/a/b/c/1/", ""}) {
        EXPECT_FALSE(ParseOlcpUrl(QLatin1String(bad), url)) << bad;
        EXPECT_EQ(url.AccessKey, before.AccessKey) << bad;
        EXPECT_EQ(url.Number, before.Number) << bad;
    }

    // Keys are cut to 8 bytes on a character boundary; a number that does not read is 0.
    ASSERT_TRUE(ParseOlcpUrl(QStringLiteral("OLCP://host.example/ABCDEFGHIJ/掲示板掲示板/x/seven/"), url));
    EXPECT_EQ(url.Address, HostToAddr(QStringLiteral("host.example")));
    EXPECT_EQ(url.AccessKey, QStringLiteral("ABCDEFGH"));
    EXPECT_EQ(url.BoardKey, QStringLiteral("掲示板掲"));
    EXPECT_EQ(url.Number, 0);
}

TEST_F(FileHelpersTest, HtmlArchivesStayAsTheyAreWhenTheyCannotBeUnpacked)
{
    testsupport::KeepOnlyArchiverLibraries({});
    env.writeFile(QStringLiteral("Temp/Manual.html"), "<html></html>");
    env.writeFile(QStringLiteral("Temp/Guide.htm"), "<html></html>");
    const QString lzh = env.file(QStringLiteral("in/Manual.lzh"));
    env.writeFile(QStringLiteral("in/Manual.lzh"), "not really an archive");

    // Only an archive refused as unsafe leaves a note under the file's line.
    TRichView note;
    QString path = lzh;
    ResolveHtmlArchive(nullptr, &note, QStringLiteral("HTML:Manual"), QStringLiteral("Manual.lzh"), path);
    EXPECT_EQ(path, lzh);
    EXPECT_TRUE(log().contains(QStringLiteral("Lha 形式書庫を扱うには UNLHA32.DLL が 必要です。")));
    EXPECT_NE(ExtractArchive(nullptr, lzh), 0);

    path = env.file(QStringLiteral("in/html_Guide.zip"));
    ResolveHtmlArchive(nullptr, &note, QStringLiteral("Guide"), QStringLiteral("html_Guide.zip"), path);
    EXPECT_EQ(path, env.file(QStringLiteral("in/html_Guide.zip")));
    EXPECT_TRUE(log().contains(QStringLiteral("ZIP 形式書庫を解凍するには UNZIP32.DLL が、作成するには ZIP32J.DLL が必要です。")));

    // Not an HTML archive: nothing is tried.
    const QString before = log();
    for (const auto &[title, name] : {std::pair{"Manual", "Manual.zip"}, std::pair{"HTML:Manual", "Manual.txt"}}) {
        path = env.file(QStringLiteral("in/") + QLatin1String(name));
        ResolveHtmlArchive(nullptr, &note, QLatin1String(title), QLatin1String(name), path);
        EXPECT_EQ(path, env.file(QStringLiteral("in/") + QLatin1String(name)));
    }
    EXPECT_EQ(log(), before);
    EXPECT_TRUE(note.Rich()->toPlainText().isEmpty());
}

TEST_F(FileHelpersTest, FilesAndFoldersCopyWithTheUsersConsentToReplace)
{
    env.writeFile(QStringLiteral("from/a.txt"), "new a");
    env.writeFile(QStringLiteral("from/Server/b.dat"), "new b");
    env.writeFile(QStringLiteral("to/a.txt"), "old a");
    const QString source = env.file(QStringLiteral("from/a.txt"));
    const QString target = env.file(QStringLiteral("to/a.txt"));

    EXPECT_FALSE(CopyFileTo(source, target, true));
    EXPECT_EQ(env.readFile(QStringLiteral("to/a.txt")), QByteArray("old a"));
    EXPECT_FALSE(CopyFileTo(env.file(QStringLiteral("from/missing")), target, false));
    EXPECT_EQ(env.readFile(QStringLiteral("to/a.txt")), QByteArray("old a"));
    EXPECT_TRUE(CopyFileTo(source, env.file(QStringLiteral("to/c.txt")), true));
    EXPECT_EQ(env.readFile(QStringLiteral("to/c.txt")), QByteArray("new a"));

    QWidget window;
    QStringList questions;
    auto answerWith = [&](QMessageBox::StandardButton answer) {
        auto *poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, [&, poll, answer] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                EXPECT_EQ(box->parentWidget(), &window);
                questions << box->text();
                box->button(answer)->click();
            }
        });
        poll->start(5);
        return std::unique_ptr<QTimer>(poll);
    };
    {
        const auto poll = answerWith(QMessageBox::No);
        EXPECT_TRUE(CopyDirectoryFiles(&window, env.file(QStringLiteral("from")), env.file(QStringLiteral("to/new"))));
        EXPECT_TRUE(CopyDirectoryFiles(&window, env.file(QStringLiteral("from")), env.file(QStringLiteral("to"))));
    }
    EXPECT_EQ(questions.size(), 1);
    EXPECT_EQ(env.readFile(QStringLiteral("to/a.txt")), QByteArray("old a"));
    EXPECT_EQ(env.readFile(QStringLiteral("to/Server/b.dat")), QByteArray("new b"));
    EXPECT_EQ(env.readFile(QStringLiteral("to/new/a.txt")), QByteArray("new a"));
    EXPECT_EQ(env.readFile(QStringLiteral("to/new/Server/b.dat")), QByteArray("new b"));
    {
        const auto poll = answerWith(QMessageBox::Yes);
        EXPECT_TRUE(CopyDirectoryFiles(&window, env.file(QStringLiteral("from")), env.file(QStringLiteral("to"))));
    }
    EXPECT_EQ(questions.size(), 3);
    EXPECT_EQ(env.readFile(QStringLiteral("to/a.txt")), QByteArray("new a"));
    EXPECT_FALSE(CopyDirectoryFiles(&window, env.file(QStringLiteral("nowhere")), env.file(QStringLiteral("to"))));
    EXPECT_FALSE(CopyDirectoryFiles(&window, env.file(QStringLiteral("from")), env.file(QStringLiteral("from/Server/x"))));
    EXPECT_FALSE(QFile::exists(env.file(QStringLiteral("from/Server/x"))));
}

TEST_F(FileHelpersTest, LocalAddressesAreLoopbackAndTheCardsOwn)
{
    LocalAddresses = {QStringLiteral("10.0.0.5"), QStringLiteral("192.168.1.20")};
    EXPECT_TRUE(IsLocalAddress(QStringLiteral("127.0.0.1")));
    EXPECT_TRUE(IsLocalAddress(QStringLiteral("192.168.1.20")));
    EXPECT_FALSE(IsLocalAddress(QStringLiteral("10.0.0.50")));
    EXPECT_FALSE(IsLocalAddress(QString()));
}

} // namespace
