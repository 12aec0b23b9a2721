// Formatters that show where a record came from, or let records through by their context.
//
// PUSHDispatchQueueLogFormatter writes "<date> [<label>] <text>", the date as "yyyy-MM-dd HH:mm:ss:SSS" in
// local time (a colon before the milliseconds). The label is the queue the caller logged on, shortened
// through a replacement table ("com.apple.main-thread" shows as "main"); for the shared global queues
// ("com.apple.root.*-priority") and for callers on no queue it is the thread's name, or its id in hex when
// the thread has no name. Labels are cut to `maxQueueLength` and padded with blanks to `minQueueLength`
// (both counted in UTF-16 units, 0 for no bound); cutting wins when both apply. One instance may serve
// several loggers at once: while it serves more than one, each formatting thread uses its own date
// formatter. The replacement table may change from any thread; set the bounds before attaching it.
//
// The context filters leave the text alone: the whitelist filter passes only records whose context is in
// its set, the blacklist filter only those whose context is not. Contexts are compared as unsigned 32-bit
// values, so a negative context matches the unsigned number with the same bits. Their sets may change from
// any thread while loggers format.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pushlog/PUSHLogger.h"

class PUSHDispatchQueueLogFormatter : public PUSHLogFormatter {
  public:
    static std::shared_ptr<PUSHDispatchQueueLogFormatter> create();
    ~PUSHDispatchQueueLogFormatter() override;

    std::optional<std::string> replacementStringForQueueLabel(const std::string& label) const;
    // `replacement` nullopt removes the label's entry.
    void setReplacementString(std::optional<std::string> replacement, const std::string& label);

    size_t minQueueLength() const { return minQueueLength_.load(std::memory_order_relaxed); }
    void setMinQueueLength(size_t length) { minQueueLength_.store(length, std::memory_order_relaxed); }
    size_t maxQueueLength() const { return maxQueueLength_.load(std::memory_order_relaxed); }
    void setMaxQueueLength(size_t length) { maxQueueLength_.store(length, std::memory_order_relaxed); }

    std::string stringFromDate(Date date);
    std::string queueThreadLabelForLogMessage(const PUSHLogMessage& message) const;

    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override;
    void didAddToLogger(PUSHLogger& logger) override;
    void willRemoveFromLogger(PUSHLogger& logger) override;

    int32_t loggerCount() const { return atomicLoggerCount_.load(); }
    // True once this thread formatted through its own per-thread date formatter (shared by all instances).
    static bool threadHasDateFormatter();
    // True for the labels of the shared global queues, which say nothing about who logged.
    static bool isSharedSystemQueueLabel(const std::string& label);

    class DateFormatter;

  private:
    PUSHDispatchQueueLogFormatter();

    std::atomic<int32_t> atomicLoggerCount_{0};
    std::unique_ptr<DateFormatter> threadUnsafeDateFormatter_;
    mutable std::mutex lock_;
    std::map<std::string, std::string> replacements_;
    std::atomic<size_t> minQueueLength_{0};
    std::atomic<size_t> maxQueueLength_{0};
};

// A set of contexts behind a lock; each operation holds it for its whole work.
class PUSHLoggingContextSet {
  public:
    void addToSet(uint32_t context);
    void removeFromSet(uint32_t context);
    // In no particular order.
    std::vector<uint32_t> currentSet() const;
    bool isInSet(uint32_t context) const;

  private:
    mutable std::mutex lock_;
    std::set<uint32_t> set_;
};

class PUSHContextWhitelistFilterLogFormatter : public PUSHLogFormatter {
  public:
    static std::shared_ptr<PUSHContextWhitelistFilterLogFormatter> create();

    void addToWhitelist(uint32_t loggingContext) { contextSet_.addToSet(loggingContext); }
    void removeFromWhitelist(uint32_t loggingContext) { contextSet_.removeFromSet(loggingContext); }
    std::vector<uint32_t> whitelist() const { return contextSet_.currentSet(); }
    bool isOnWhitelist(uint32_t loggingContext) const { return contextSet_.isInSet(loggingContext); }

    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override;

  private:
    PUSHContextWhitelistFilterLogFormatter() = default;
    PUSHLoggingContextSet contextSet_;
};

class PUSHContextBlacklistFilterLogFormatter : public PUSHLogFormatter {
  public:
    static std::shared_ptr<PUSHContextBlacklistFilterLogFormatter> create();

    void addToBlacklist(uint32_t loggingContext) { contextSet_.addToSet(loggingContext); }
    void removeFromBlacklist(uint32_t loggingContext) { contextSet_.removeFromSet(loggingContext); }
    std::vector<uint32_t> blacklist() const { return contextSet_.currentSet(); }
    bool isOnBlacklist(uint32_t loggingContext) const { return contextSet_.isInSet(loggingContext); }

    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override;

  private:
    PUSHContextBlacklistFilterLogFormatter() = default;
    PUSHLoggingContextSet contextSet_;
};

// A plain red, green, blue and alpha colour, stored as given. Never changed after it is made.
class PUSHCLIColor {
  public:
    static std::shared_ptr<const PUSHCLIColor> colorWithCalibratedRed(double red, double green, double blue,
                                                                      double alpha) {
        return std::shared_ptr<const PUSHCLIColor>(new PUSHCLIColor(red, green, blue, alpha));
    }
    // Copies each component into its destination when the destination is given.
    void getRed(double* red, double* green, double* blue, double* alpha) const {
        if (red) *red = red_;
        if (green) *green = green_;
        if (blue) *blue = blue_;
        if (alpha) *alpha = alpha_;
    }

  private:
    PUSHCLIColor(double red, double green, double blue, double alpha)
        : red_(red), green_(green), blue_(blue), alpha_(alpha) {}
    double red_, green_, blue_, alpha_;
};
