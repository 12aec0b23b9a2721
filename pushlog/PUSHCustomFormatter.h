// The push client's line formatter: "2016-03-01 08:05:09.007 | PUSH | D - [PUSHService] text".
//
// The date is local time. While the formatter serves one logger it keeps one date formatter; once it serves
// several (and so may run on several threads at once) each thread gets its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "pushlog/PUSHLogger.h"

class PUSHCustomFormatter : public PUSHLogFormatter {
  public:
    static std::shared_ptr<PUSHCustomFormatter> initWithType(uint32_t type);
    ~PUSHCustomFormatter() override;

    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override;
    // "yyyy-MM-dd HH:mm:ss.SSS" in the current time zone.
    std::string stringFromDate(Date date);
    void didAddToLogger(PUSHLogger& logger) override;
    void willRemoveFromLogger(PUSHLogger& logger) override;

    int32_t loggerCount() const { return atomicLoggerCount_.load(); }
    // True once this thread formatted through its own per-thread date formatter.
    static bool threadHasDateFormatter();

    class DateFormatter;

  private:
    explicit PUSHCustomFormatter(uint32_t type);
    DateFormatter& dateFormatter();

    uint32_t type_;
    std::atomic<int32_t> atomicLoggerCount_{0};
    std::unique_ptr<DateFormatter> threadUnsafeDateFormatter_;
};
