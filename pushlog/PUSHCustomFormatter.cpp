#include "pushlog/PUSHCustomFormatter.h"

#include "pushlog/PUSHLocalTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

// Dates as "yyyy-MM-dd HH:mm:ss.SSS" in local time; one per thread or per instance.
class PUSHCustomFormatter::DateFormatter : public PUSHLocalTimeFormatter {
  public:
    DateFormatter() : PUSHLocalTimeFormatter("%Y-%m-%d %H:%M:%S", '.') {}
};

namespace {

// The thread dictionary's "MyCustomFormatter_NSDateFormatter" entry, shared by every instance.
thread_local std::unique_ptr<PUSHCustomFormatter::DateFormatter> threadDateFormatter;

const char* levelLetter(uint32_t flag) {
    switch (flag) {
        case 1:
            return "E";
        case 2:
            return "W";
        case 4:
            return "I";
        case 8:
            return "D";
        default:
            return "V";
    }
}

const char* moduleWord(uint32_t type) {
    switch (type) {
        case 0:
            return "PUSH";
        case 1:
            return "JMessage";
        default:
            return "";
    }
}

}  // namespace

PUSHCustomFormatter::PUSHCustomFormatter(uint32_t type) : type_(type) {}
PUSHCustomFormatter::~PUSHCustomFormatter() = default;

std::shared_ptr<PUSHCustomFormatter> PUSHCustomFormatter::initWithType(uint32_t type) {
    return std::shared_ptr<PUSHCustomFormatter>(new PUSHCustomFormatter(type));
}

PUSHCustomFormatter::DateFormatter& PUSHCustomFormatter::dateFormatter() {
    if (atomicLoggerCount_.fetch_add(0) > 1) {
        if (!threadDateFormatter) threadDateFormatter = std::make_unique<DateFormatter>();
        return *threadDateFormatter;
    }
    if (!threadUnsafeDateFormatter_) threadUnsafeDateFormatter_ = std::make_unique<DateFormatter>();
    return *threadUnsafeDateFormatter_;
}

std::string PUSHCustomFormatter::stringFromDate(Date date) {
    return dateFormatter().format(date);
}

bool PUSHCustomFormatter::threadHasDateFormatter() {
    return threadDateFormatter != nullptr;
}

PUSHLogFormatResult PUSHCustomFormatter::formatLogMessage(const PUSHLogMessage& message) {
    std::string line;
    line.reserve(48 + message.fileName().size() + message.message().size());
    dateFormatter().append(line, message.timestamp());
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

void PUSHCustomFormatter::didAddToLogger(PUSHLogger&) {
    atomicLoggerCount_.fetch_add(1);
}
void PUSHCustomFormatter::willRemoveFromLogger(PUSHLogger&) {
    atomicLoggerCount_.fetch_sub(1);
}
