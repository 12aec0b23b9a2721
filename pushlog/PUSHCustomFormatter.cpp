#include "pushlog/PUSHCustomFormatter.h"

#include <cmath>
#include <cstdio>
#include <ctime>


// Formats dates as "yyyy-MM-dd HH:mm:ss.SSS", keeping the text of the last second it saw.
class PUSHCustomFormatter::DateFormatter {
public:
    std::string format(Date date) {
        // Whole microseconds first, so that .007 stored as .00699999 still shows 007.
        const long long micros = std::llround(date.unixTime() * 1e6);
        long long seconds = micros / 1000000;
        long long fraction = micros % 1000000;
        if (fraction < 0) {
            fraction += 1000000;
            seconds -= 1;
        }
        if (seconds != cachedSecond_ || cachedPrefix_.empty()) {
            time_t t = time_t(seconds);
            struct tm local {};
            localtime_r(&t, &local);
            char buffer[32];
            std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
            cachedPrefix_ = buffer;
            cachedSecond_ = seconds;
        }
        char millis[8];
        std::snprintf(millis, sizeof millis, ".%03lld", fraction / 1000);
        return cachedPrefix_ + millis;
    }

private:
    long long cachedSecond_ = 0;
    std::string cachedPrefix_;
};

namespace {

// The thread dictionary's "MyCustomFormatter_NSDateFormatter" entry, shared by every instance.
thread_local std::unique_ptr<PUSHCustomFormatter::DateFormatter> threadDateFormatter;

const char* levelLetter(uint32_t flag) {
    switch (flag) {
    case 1: return "E";
    case 2: return "W";
    case 4: return "I";
    case 8: return "D";
    default: return "V";
    }
}

const char* moduleWord(uint32_t type) {
    switch (type) {
    case 0: return "PUSH";
    case 1: return "JMessage";
    default: return "";
    }
}

}  // namespace

PUSHCustomFormatter::PUSHCustomFormatter(uint32_t type) : type_(type) {}
PUSHCustomFormatter::~PUSHCustomFormatter() = default;

std::shared_ptr<PUSHCustomFormatter> PUSHCustomFormatter::initWithType(uint32_t type) {
    return std::shared_ptr<PUSHCustomFormatter>(new PUSHCustomFormatter(type));
}

std::string PUSHCustomFormatter::stringFromDate(Date date) {
    if (atomicLoggerCount_.fetch_add(0) > 1) {
        if (!threadDateFormatter) threadDateFormatter = std::make_unique<DateFormatter>();
        return threadDateFormatter->format(date);
    }
    if (!threadUnsafeDateFormatter_) threadUnsafeDateFormatter_ = std::make_unique<DateFormatter>();
    return threadUnsafeDateFormatter_->format(date);
}

bool PUSHCustomFormatter::threadHasDateFormatter() { return threadDateFormatter != nullptr; }

PUSHLogFormatResult PUSHCustomFormatter::formatLogMessage(const PUSHLogMessage& message) {
    std::string line = stringFromDate(message.timestamp());
    line += " | ";
    line += moduleWord(type_);
    line += " | ";
    line += levelLetter(message.flag());
    line += " - [";
    line += message.fileName();
    line += "] ";
    line += message.message();
    return PUSHLogFormatResult::text(std::move(line));
}

void PUSHCustomFormatter::didAddToLogger(PUSHLogger&) { atomicLoggerCount_.fetch_add(1); }
void PUSHCustomFormatter::willRemoveFromLogger(PUSHLogger&) { atomicLoggerCount_.fetch_sub(1); }
