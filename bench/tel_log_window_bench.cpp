// Speed of the TEL log window on a 100,000-TEL log: opening the window on
// its last page, a date search that walks the whole log and compaction with
// every tenth TEL erased, each beside the time of reading and of copying
// both files of the pair once. Each should stay within 3 times that.
#include "core/BRegistr.h"
#include "platform/DayDate.h"
#include "platform/WinSock.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"
#include "ui_BTelLog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

namespace {

constexpr int TelCount = 100000;

// Writes the pair: text TELs with bodies of 100 to 1100 bytes, one a minute;
// every tenth marked erased.
void WritePair(const TelLogPair &pair)
{
    QFile data(pair.dataFile()), text(pair.textFile());
    if (!data.open(QIODevice::WriteOnly) || !text.open(QIODevice::WriteOnly))
        qFatal("cannot write the pair");
    data.write(MakeHeaderRecord(pair.name).encode());
    const QDateTime start(QDate(2020, 1, 1), QTime(0, 0));
    qint64 offset = 0;
    for (int i = 1; i <= TelCount; ++i) {
        const QByteArray body(100 + (i * 37) % 1000, char('a' + i % 26));
        MessageRecord r;
        r.Number = i;
        r.Title = QLatin1String(i % 2 ? TelTitle::RecvText : TelTitle::SendText);
        r.Address = plat::inet_addr(QStringLiteral("10.1.%1.%2").arg(i / 256 % 256).arg(i % 256));
        r.Handle = QStringLiteral("bench %1").arg(i);
        r.DateTime = plat::ToDayDate(start.addSecs(60LL * i));
        r.Start = qint32(offset);
        r.Bytes = qint32(body.size());
        r.Erased = i % 10 == 0;
        data.write(r.encode());
        text.write(body);
        offset += body.size();
    }
}

double Millis(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e6;
}

void Report(const char *what, double ms, double base, const char *baseName)
{
    std::printf("%-44s %9.1f ms   %5.2f x %s%s\n", what, ms, ms / base, baseName, ms > 3 * base ? "   (over 3 x)" : "");
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir dir;
    ProgramVersion = QStringLiteral("Ver.bench");
    TelegDirectory = dir.path();
    TelegFileName = QStringLiteral("Teleg000");
    TelegPointer = 1;
    WaitingTels = 0;
    const TelLogPair pair{TelegDirectory, TelegFileName};
    WritePair(pair);

    const double read = Millis([&] {
        for (const QString &path : {pair.dataFile(), pair.textFile()}) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly) || file.readAll().isEmpty())
                qFatal("cannot read the pair");
        }
    });
    const double copy = Millis([&] {
        for (const QString &path : {pair.dataFile(), pair.textFile()})
            QFile::copy(path, path + QStringLiteral(".copy"));
    });
    for (const QString &path : {pair.dataFile(), pair.textFile()})
        QFile::remove(path + QStringLiteral(".copy"));
    std::printf("%d TELs, %lld + %lld bytes\n", TelCount, QFile(pair.dataFile()).size(), QFile(pair.textFile()).size());
    std::printf("%-44s %9.1f ms\n%-44s %9.1f ms\n", "reading both files once", read, "copying both files once", copy);

    TBTelLogForm form;
    Report("open the window on the last page", Millis([&] { form.show(); }), read, "reading");

    // From record 1 down to a date after the last TEL: every record is looked at.
    form.GoToRecord(1);
    form.ui->DateOption->setChecked(true);
    form.ui->DownDirection->setChecked(true);
    form.ui->OptionEdit->setText(QStringLiteral("2099/01/01"));
    form.ui->OKButton->setEnabled(true);
    Report("search by date across the whole log", Millis([&] { form.ui->OKButton->click(); }), read, "reading");
    if (form.FirstRecord() + form.CurrentRow() - 1 != TelCount)
        std::printf("  the search did not end on the last TEL\n");

    TelLogCompaction result;
    QString error;
    bool done = false;
    Report("compact with 10 % erased", Millis([&] { done = CompactTelLog(pair, result, &error); }), copy, "copying");
    if (!done || result.kept != TelCount - TelCount / 10)
        std::printf("  compaction failed: %s (kept %lld)\n", qPrintable(error), result.kept);
    return 0;
}
