// MS-DOS (FAT) date and time, and calendar fields, converted from and to platform file times.
#pragma once
#include <stdint.h>
#include "os.h"

// date: bits 9-15 year-1980, 5-8 month, 0-4 day; time: bits 11-15 hour, 5-10 minute,
// 0-4 seconds/2. Fails for dates before 1980 or after 2107, like the platform's conversion.
int FileTimeToDos(OsFileTime t, uint16_t* date, uint16_t* time);
// Fails for fields out of range (month 0 or 13, day 0, hour 24 and the like).
int DosToFileTime(uint16_t date, uint16_t time, OsFileTime* t);

// A platform file time as calendar fields, to the millisecond, for texts people read.
struct CalendarTime {
    int year, month, day, hour, minute, second, millisecond;
};
void FileTimeToCalendar(OsFileTime t, CalendarTime* out);
