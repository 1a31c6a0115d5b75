#include "platform/DayDate.h"

#include <QRegularExpression>

#include <cmath>

namespace plat {
namespace {
const QDate kEpoch(1899, 12, 30);
constexpr double kMsPerDay = 86400000.0;
} // namespace

DayDateTime ToDayDate(const QDateTime &dt)
{
    const double days = static_cast<double>(kEpoch.daysTo(dt.date()));
    return days + dt.time().msecsSinceStartOfDay() / kMsPerDay;
}

QDateTime FromDayDate(DayDateTime value)
{
    if (!std::isfinite(value) || std::fabs(value) > 3.0e6)
        return QDateTime(kEpoch, QTime(0, 0));
    double days = std::floor(value);
    qint64 ms = std::llround((value - days) * kMsPerDay);
    if (ms >= static_cast<qint64>(kMsPerDay))
        ms = static_cast<qint64>(kMsPerDay) - 1;
    return QDateTime(kEpoch.addDays(static_cast<qint64>(days)), QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
}

DayDateTime DayDateNow()
{
    return ToDayDate(QDateTime::currentDateTime());
}

QString FormatShortDate(const QDateTime &dt)
{
    return dt.toString(QStringLiteral("yyyy/MM/dd"));
}

QString FormatLongTime(const QDateTime &dt)
{
    return dt.toString(QStringLiteral("hh:mm:ss"));
}

bool ParseShortDate(const QString &text, QDateTime &result)
{
    static const QRegularExpression re(
        QStringLiteral(R"(^\s*(\d{1,4})/(\d{1,2})/(\d{1,2})(?:\s+(\d{1,2}):(\d{1,2})(?::(\d{1,2}))?)?\s*$)"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return false;
    int year = m.captured(1).toInt();
    if (m.captured(1).size() <= 2)
        year += year < 50 ? 2000 : 1900;
    const QDate date(year, m.captured(2).toInt(), m.captured(3).toInt());
    if (!date.isValid())
        return false;
    QTime time(0, 0);
    if (!m.captured(4).isEmpty()) {
        time = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
        if (!time.isValid())
            return false;
    }
    result = QDateTime(date, time);
    return true;
}

} // namespace plat
