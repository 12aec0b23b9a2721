#include "pushlog/PUSHLocalTime.h"

#include <cmath>
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

}  // namespace

std::string PUSHLocalTimeFormatter::format(Date date) {
    std::string text;
    append(text, date);
    return text;
}

void PUSHLocalTimeFormatter::append(std::string& out, Date date) {
    const SplitTime time = split(date);
    if (time.seconds != cachedSecond_ || cachedPrefix_.empty()) {
        cachedPrefix_ = secondText(time.seconds, pattern_);
        cachedSecond_ = time.seconds;
    }
    out += cachedPrefix_;
    const char millis[4] = {char('0' + time.millis / 100), char('0' + time.millis / 10 % 10),
                            char('0' + time.millis % 10), 0};
    out += separator_;
    out += millis;
}
