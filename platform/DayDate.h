#pragma once
// Dates as the system keeps them: a double counting days since 1899-12-30,
// the fraction being the time of day; and the fixed text formats.
#include <QDateTime>
#include <QString>

namespace plat {

using DayDateTime = double;

DayDateTime ToDayDate(const QDateTime &dt);
QDateTime FromDayDate(DayDateTime value);
DayDateTime DayDateNow();

// The short date format "yyyy/MM/dd" and the long time format "hh:mm:ss".
QString FormatShortDate(const QDateTime &dt);
QString FormatLongTime(const QDateTime &dt);

// Parses a date in the short date format, also "yy/MM/dd" (years 00-49 are
// 20xx, 50-99 19xx) and a date followed by a time; false when it does not parse.
bool ParseShortDate(const QString &text, QDateTime &result);

} // namespace plat
