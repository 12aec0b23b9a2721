// Local-time stamps for log lines: a strftime pattern for the date and time, then the milliseconds after a
// separator ("2026-12-06 21:15:36.123"). Times are rounded to whole microseconds before the milliseconds
// are cut, so that .007 stored as .00699999 still shows 007.
#pragma once

#include <string>

#include "platform/foundation/Value.h"

// Keeps the text of the last second it formatted. Not thread-safe: one per thread or queue.
class PUSHLocalTimeFormatter {
  public:
    PUSHLocalTimeFormatter(const char* pattern, char millisSeparator)
        : pattern_(pattern), separator_(millisSeparator) {}
    std::string format(Date date);
    // Appends the text to `out`.
    void append(std::string& out, Date date);

  private:
    const char* pattern_;
    char separator_;
    long long cachedSecond_ = 0;
    std::string cachedPrefix_;
};
