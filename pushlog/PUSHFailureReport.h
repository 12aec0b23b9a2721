// A failure that may come back with every record (a logs directory that cannot be made, a file that cannot
// be opened): printed to the developer console when it first happens, then at most once per interval of
// platform-clock time while it lasts, with the number of failures held back in between. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

class PUSHFailureReport {
  public:
    static inline constexpr double kDefaultInterval = 60;
    explicit PUSHFailureReport(double interval = kDefaultInterval) : interval_(interval) {}

    // Prints `line` unless a report went out less than an interval ago.
    void note(const std::string& line);
    // The failure is over: the next one is printed at once.
    void clear();

  private:
    const double interval_;
    std::mutex mutex_;
    std::optional<double> lastReport_;
    uint64_t heldBack_ = 0;
};
