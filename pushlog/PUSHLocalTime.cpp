#include "pushlog/PUSHLocalTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

struct SplitTime {
    long long seconds;
    long long millis;
};

SplitTime split(Date date) {
    double unix = date.unixTime();
    if (!std::isfinite(unix)) unix = 0;
    const long long micros = std::llround(unix * 1e6);
    long long seconds = micros / 1000000;
    long long fraction = micros % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        seconds -= 1;
    }
    return {seconds, fraction / 1000};
}

std::string secondText(long long seconds, const char* pattern) {
    const time_t t = time_t(seconds);
    struct tm local {};
    localtime_r(&t, &local);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, pattern, &local);
    return buffer;
}

std::string millisText(char separator, long long millis) {
    char text[8];
    std::snprintf(text, sizeof text, "%c%03lld", separator, millis);
    return text;
}

}  // namespace

std::string PUSHLocalTimeString(Date date, const char* pattern, char millisSeparator) {
    const SplitTime time = split(date);
    return secondText(time.seconds, pattern) + millisText(millisSeparator, time.millis);
}

std::string PUSHLocalTimeFormatter::format(Date date) {
    const SplitTime time = split(date);
    if (time.seconds != cachedSecond_ || cachedPrefix_.empty()) {
        cachedPrefix_ = secondText(time.seconds, pattern_);
        cachedSecond_ = time.seconds;
    }
    return cachedPrefix_ + millisText(separator_, time.millis);
}
