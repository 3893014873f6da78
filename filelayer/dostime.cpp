// MS-DOS date and time, and calendar fields, from and to platform file times, by the civil calendar.
#include "dostime.h"

namespace {

const uint64_t kTicksPerSecond = 10000000ull;
// Days from 1601-01-01 to 1970-01-01.
const int64_t kDays1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date (era arithmetic, valid for all years).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d)
{
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = (int64_t)yoe + era * 400 + (*m <= 2);
}

unsigned DaysInMonth(int64_t y, unsigned m)
{
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

}   // namespace

int FileTimeToDos(OsFileTime t, uint16_t* date, uint16_t* time)
{
    uint64_t seconds = t / kTicksPerSecond;
    int64_t days = (int64_t)(seconds / 86400) - kDays1601To1970;
    unsigned inDay = (unsigned)(seconds % 86400);
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    if (y < 1980 || y > 2107) return 0;
    *date = (uint16_t)(((y - 1980) << 9) | (m << 5) | d);
    // Two-second resolution: an odd second rounds down.
    *time = (uint16_t)(((inDay / 3600) << 11) | ((inDay / 60 % 60) << 5) | (inDay % 60 / 2));
    return 1;
}

int DosToFileTime(uint16_t date, uint16_t time, OsFileTime* t)
{
    int64_t y = 1980 + (date >> 9);
    unsigned m = (date >> 5) & 15, d = date & 31;
    unsigned hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
    if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m) || hour > 23 || minute > 59 || second > 58) return 0;
    int64_t days = DaysFromCivil(y, m, d) + kDays1601To1970;
    uint64_t seconds = (uint64_t)days * 86400 + hour * 3600 + minute * 60 + second;
    *t = seconds * kTicksPerSecond;
    return 1;
}

void FileTimeToCalendar(OsFileTime t, CalendarTime* out)
{
    uint64_t seconds = t / kTicksPerSecond;
    int64_t y;
    unsigned m, d;
    CivilFromDays((int64_t)(seconds / 86400) - kDays1601To1970, &y, &m, &d);
    unsigned inDay = (unsigned)(seconds % 86400);
    *out = CalendarTime{(int)y,
                        (int)m,
                        (int)d,
                        (int)(inDay / 3600),
                        (int)(inDay / 60 % 60),
                        (int)(inDay % 60),
                        (int)(t % kTicksPerSecond / 10000)};
}
