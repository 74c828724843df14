// The log files of a session: one stamped line appended per call, echoed to the console and to the
// debug output.
#pragma once

#include <cstdint>
#include <string>

namespace wick {

// A broken-down local time, field for field as the log stamps use it. wDayOfWeek counts from
// Sunday = 0.
struct LocalTime {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

// The wall clock now, in the local time zone, to the millisecond.
LocalTime GetLocalTime();

// "YYYY-MM-DD hh:mm:ss:mmm" (note the colon before the milliseconds).
std::string FormatLogTime(const LocalTime& t);

// Appends "[stamp] text\r\n" to a file in folder and returns that line. folder is created first
// when missing (its last level only). nMode picks the file:
//   0  folder/[name]YYYYMMDD.log    2  folder/YYYYMMDD.log (name unused)
//   1  folder/name.log              3  folder/name
// Any other mode returns "-1" and writes nothing. When the file cannot be opened, or another writer
// holds it, the line is returned but not written, echoed or sent to the debug output. Otherwise the
// line goes to stdout unless bQuiet is nonzero, then to the debug output. Null strings count as
// empty.
std::string WriteLog(const char* folder, const char* name, const char* text, uint32_t nMode,
                     int bQuiet);

// WriteLog with the time given instead of read from the clock.
std::string WriteLogAt(const LocalTime& now, const char* folder, const char* name, const char* text,
                       uint32_t nMode, int bQuiet);

}  // namespace wick
