// Speed of the archive layer beside the archivers users know, measured in
// the same run on the same disk:
//
// - unpacking a generated ZIP attachment (2,000 files in folders, about
//   50 MiB) the way a received HTML archive is unpacked, against
//   `bsdtar -xf` and `unzip -q` on the same archive when they are installed;
// - packing LZH (-lh5-) from a mixed input of text and binary files, in MiB/s
//   of input.
//
// Each figure is the median of three runs; a ratio is of the medians.
//
//   archive_bench [folder]   works in a temporary folder below the given one
//                            (default: the system's temporary folder)
#include "archive/ARCHIVES.h"
#include "archive/LHA32.h"
#include "platform/ArchiverCommandLine.h"
#include "platform/ArchiverPack.h"
#include "platform/Cp932.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>
#include <random>
#include <vector>

namespace {

constexpr int Runs = 3;
constexpr int ZipFiles = 2000;
constexpr double MiB = 1024.0 * 1024.0;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Made-up words, English-like and Japanese (CP932), for pages.
const std::vector<QByteArray> &Vocabulary()
{
    static const std::vector<QByteArray> words = [] {
        std::mt19937 random(5);
        std::vector<QByteArray> made;
        while (made.size() < 3000) {
            const int letters = 2 + int(random() % 8);
            QString word;
            for (int i = 0; i < letters; ++i) {
                if (made.size() % 3 != 0)
                    word += QChar(char16_t(u'a' + random() % 26));
                else if (i % 2 == 0)
                    word += QChar(char16_t(0x4E00 + random() % 0x1000)); // kanji
                else
                    word += QChar(char16_t(0x3041 + random() % 83)); // hiragana
            }
            if (plat::FitsCp932(word))
                made.push_back(plat::ToCp932(word));
        }
        return made;
    }();
    return words;
}

// A page: words drawn with a skew (a few come often, as in real text), with
// markup and line ends between them.
QByteArray Text(std::mt19937 &random, qsizetype size)
{
    static const QByteArray marks[] = {"<p>", "</p>\r\n", "<br>\r\n", "<td>", "</td>", "<tr>\r\n",
                                       "<a href=\"index.html\">", "</a>", ", ", ". "};
    const std::vector<QByteArray> &words = Vocabulary();
    std::uniform_real_distribution<double> skew(0.0, std::log(double(words.size())));
    QByteArray text;
    text.reserve(size + 64);
    while (text.size() < size) {
        text += words[std::min(std::size_t(std::exp(skew(random))), words.size()) - 1];
        text += random() % 6 == 0 ? marks[random() % std::size(marks)] : QByteArray(" ");
    }
    text.truncate(size);
    return text;
}

// Records of fixed layout: small numbers, padding, short names.
QByteArray Records(std::mt19937 &random, qsizetype size)
{
    QByteArray bytes;
    bytes.reserve(size);
    for (quint32 serial = 0; bytes.size() < size; ++serial) {
        QByteArray record(64, '\0');
        for (int i = 0; i < 4; ++i)
            record[i] = char(serial >> (8 * i));
        record[4] = char(random() % 5);
        const QByteArray name = "host" + QByteArray::number(random() % 300);
        record.replace(8, name.size(), name);
        for (int i = 40; i < 48; ++i)
            record[i] = char(random());
        bytes += record;
    }
    bytes.truncate(size);
    return bytes;
}

// Bytes that do not compress, as in pictures.
QByteArray Noise(std::mt19937 &random, qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random());
    return bytes;
}

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The site: 20 folders of 5 folders of 20 files, pages, tables and pictures.
bool MakeSite(const QString &folder)
{
    std::mt19937 random(20240517);
    for (int i = 0; i < ZipFiles; ++i) {
        const QString path = QStringLiteral("%1/site/d%2/s%3/f%4").arg(folder).arg(i / 100).arg(i / 20 % 5).arg(i);
        const qsizetype size = 16 * 1024 + qsizetype(random() % (64 * 1024));
        const bool ok = i % 3 == 0   ? WriteFile(path + QStringLiteral(".jpg"), Noise(random, size))
                      : i % 3 == 1 ? WriteFile(path + QStringLiteral(".html"), Text(random, size))
                                   : WriteFile(path + QStringLiteral(".dat"), Records(random, size));
        if (!ok)
            return false;
    }
    return true;
}

bool MakeZip(const QString &folder, const QString &zip)
{
    plat::ArchiverPacking packing;
    packing.archive = zip;
    packing.format = plat::ArchiveFormat::Zip;
    packing.baseDirectory = folder;
    packing.names.patterns = {"site"};
    packing.recurse = true;
    return plat::PackArchive(packing) == plat::ArchiverOk;
}

// The way a received HTML archive is unpacked.
bool Unpack(const QString &zip, const QString &target)
{
    TArchiveFile archive;
    archive.SetFileName(zip);
    archive.Options.n = 1;
    archive.SetOutputSize(8192);
    return archive.Unpack(nullptr, nullptr, target, NoFileNames) == 0;
}

bool RunTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// One way of unpacking and the seconds of its runs.
struct Unpacker {
    QString name;
    std::function<bool(const QString &zip, const QString &target)> run;
    std::vector<double> seconds;
    bool failed = false;
};

// An archiver users know, when it is installed; its runs start it as a process.
void AddTool(std::vector<Unpacker> &unpackers, const QString &name, const QStringList &options, const QString &into)
{
    const QString program = QStandardPaths::findExecutable(name.section(QLatin1Char(' '), 0, 0));
    if (program.isEmpty()) {
        std::printf("  %-11s not installed\n", qPrintable(name));
        return;
    }
    unpackers.push_back({name, [=](const QString &zip, const QString &target) {
                             return RunTool(program, options + QStringList{zip, into, target});
                         }, {}});
}

void PrintRuns(const std::vector<double> &values, const char *unit)
{
    std::printf("(runs");
    for (const double value : values)
        std::printf(" %.3g", value);
    std::printf(" %s)", unit);
}

void BenchUnpack(const QString &folder)
{
    const QString zip = folder + QStringLiteral("/site.zip");
    if (!MakeSite(folder) || !MakeZip(folder, zip)) {
        std::printf("unpack: cannot make the archive\n");
        return;
    }
    std::printf("unpacking a ZIP of %d files in folders, %.1f MiB, median of %d runs each:\n", ZipFiles,
                double(QFileInfo(zip).size()) / MiB, Runs);
    std::vector<Unpacker> unpackers{{QStringLiteral("ours"), Unpack, {}}};
    AddTool(unpackers, QStringLiteral("bsdtar -xf"), {QStringLiteral("-xf")}, QStringLiteral("-C"));
    AddTool(unpackers, QStringLiteral("unzip -q"), {QStringLiteral("-q")}, QStringLiteral("-d"));
    // In turns, each run starting with another, so that a change in the
    // machine's speed meets all alike. Every run unpacks into a new folder
    // and nothing is deleted until all are done: a file system may make
    // new files slowly for a while after many were deleted.
    for (int run = 0; run < Runs; ++run) {
        for (std::size_t turn = 0; turn < unpackers.size(); ++turn) {
            Unpacker &unpacker = unpackers[(std::size_t(run) + turn) % unpackers.size()];
            const QString target = QStringLiteral("%1/out-%2-%3").arg(folder).arg(run).arg(turn);
            QDir().mkpath(target);
            QElapsedTimer timer;
            timer.start();
            unpacker.failed = !unpacker.run(zip, target) || unpacker.failed;
            unpacker.seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
        }
    }
    const double ours = Median(unpackers.front().seconds);
    for (const Unpacker &unpacker : unpackers) {
        if (unpacker.failed) {
            std::printf("  %-11s failed\n", qPrintable(unpacker.name));
            continue;
        }
        const double median = Median(unpacker.seconds);
        std::printf("  %-11s %6.3f s ", qPrintable(unpacker.name), median);
        PrintRuns(unpacker.seconds, "s");
        if (&unpacker != &unpackers.front())
            std::printf("   ours / %s: %.2f", qPrintable(unpacker.name), ours / median);
        std::printf("\n");
    }
}

// Mixed input of about 8 MiB in files of 64 KiB to 1 MiB: pages, records,
// pictures, and machine code (the start of this program's own file).
bool MakePackInput(const QString &folder, qint64 &total)
{
    QFile program(QCoreApplication::applicationFilePath());
    if (!program.open(QIODevice::ReadOnly))
        return false;
    const QByteArray code = program.read(2 * 1024 * 1024);
    if (!WriteFile(folder + QStringLiteral("/in/program"), code))
        return false;
    std::mt19937 random(17);
    total = code.size();
    for (int i = 0; total < 8 * 1024 * 1024; ++i) {
        const qsizetype size = 64 * 1024 + qsizetype(random() % (960 * 1024));
        const QString path = QStringLiteral("%1/in/f%2").arg(folder).arg(i);
        const bool ok = i % 4 == 3 ? WriteFile(path + QStringLiteral(".jpg"), Noise(random, size))
                      : i % 4 == 2 ? WriteFile(path + QStringLiteral(".dat"), Records(random, size))
                                   : WriteFile(path + QStringLiteral(".html"), Text(random, size));
        if (!ok)
            return false;
        total += size;
    }
    return true;
}

void BenchPackLzh(const QString &folder)
{
    qint64 total = 0;
    if (!MakePackInput(folder, total)) {
        std::printf("LZH packing: cannot make the input\n");
        return;
    }
    const QString lzh = folder + QStringLiteral("/in.lzh");
    const QStringList names{QStringLiteral("in")};
    TArchiverOptions options;
    options.r = 1;
    std::vector<double> speeds;
    for (int run = 0; run < Runs; ++run) {
        QFile::remove(lzh);
        TLha32 archiver;
        QByteArray output;
        QElapsedTimer timer;
        timer.start();
        if (const int result = archiver.Pack(nullptr, lzh, options, folder, {&names}, false, output)) {
            std::printf("LZH packing failed: %d\n", result);
            return;
        }
        speeds.push_back(double(total) / MiB / (double(timer.nsecsElapsed()) / 1e9));
    }
    std::printf("packing LZH (-lh5-) from %.1f MiB of pages, records, pictures and code into %.1f MiB, median of %d runs:\n",
                double(total) / MiB, double(QFileInfo(lzh).size()) / MiB, Runs);
    std::printf("  %.1f MiB/s of input ", Median(speeds));
    PrintRuns(speeds, "MiB/s");
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString parent = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir work(parent + QStringLiteral("/archive_bench-XXXXXX"));
    if (!work.isValid()) {
        std::printf("cannot make a work folder below %s\n", qPrintable(parent));
        return 1;
    }
    BenchUnpack(work.path());
    BenchPackLzh(work.path());
    return 0;
}
