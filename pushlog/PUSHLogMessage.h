// One log record. Built on the caller's thread, so that it describes the caller (its thread and queue),
// and never changed afterwards; loggers and formatters share it through PUSHLogMessagePtr.
//
// Building one is cheap: the thread's id and name are kept per thread and shared by reference, the
// caller's queue is held and its label read only when asked, and the source file (with its base name)
// and function of a log site are shared by the records of that site.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

inline constexpr uint32_t PUSHLogFlagError = 1;
inline constexpr uint32_t PUSHLogFlagWarning = 2;
inline constexpr uint32_t PUSHLogFlagInfo = 4;
inline constexpr uint32_t PUSHLogFlagDebug = 8;
inline constexpr uint32_t PUSHLogFlagVerbose = 16;

inline constexpr uint32_t PUSHLogLevelOff = 0;
inline constexpr uint32_t PUSHLogLevelInfo = 7;
inline constexpr uint32_t PUSHLogLevelDebug = 15;
inline constexpr uint32_t PUSHLogLevelVerbose = 31;
inline constexpr uint32_t PUSHLogLevelAll = 0xFFFFFFFF;

class PUSHLogMessage;
using PUSHLogMessagePtr = std::shared_ptr<const PUSHLogMessage>;
class DispatchQueue;

class PUSHLogMessage {
  public:
    // `timestamp` defaults to now on the platform clock. `tag` is null for no tag.
    static PUSHLogMessagePtr create(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                    std::string file, std::string function, uint32_t line, Value tag = {},
                                    int32_t options = 0, std::optional<Date> timestamp = std::nullopt);
    // The same from a log site's texts (kept by the caller as long as the call lasts).
    static PUSHLogMessagePtr create(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                    const char* file, const char* function, uint32_t line, Value tag);
    PUSHLogMessagePtr copy() const { return std::make_shared<PUSHLogMessage>(*this); }
    // The same record with another text: everything else (time, thread id and name, queue label, ...) is
    // kept.
    PUSHLogMessagePtr copyWithMessage(std::string message) const;

    const std::string& message() const { return message_; }
    uint32_t level() const { return level_; }
    uint32_t flag() const { return flag_; }
    int32_t context() const { return context_; }
    const std::string& file() const { return source_->file; }
    // The last path component of `file` without its extension ("a/PUSHService.m" gives "PUSHService").
    const std::string& fileName() const { return source_->fileName; }
    const std::string& function() const { return source_->function; }
    uint32_t line() const { return line_; }
    const Value& tag() const { return tag_; }
    int32_t options() const { return options_; }
    Date timestamp() const { return timestamp_; }
    const std::string& threadID() const { return thread_->id; }  // kernel thread id, lower-case hex
    const std::string& threadName() const { return thread_->name; }
    const std::string& queueLabel() const;

    PUSHLogMessage(const PUSHLogMessage&) = default;
    // Only for the factories (a record and its count in one allocation).
    struct Private {};
    explicit PUSHLogMessage(Private) {}

    struct Source {
        std::string file, fileName, function;
    };
    struct Thread {
        std::string id, name;
    };

  private:
    static PUSHLogMessagePtr make(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                  std::shared_ptr<const Source> source, uint32_t line, Value tag,
                                  int32_t options, std::optional<Date> timestamp);

    std::string message_;
    uint32_t level_ = 0;
    uint32_t flag_ = 0;
    int32_t context_ = 0;
    std::shared_ptr<const Source> source_;
    uint32_t line_ = 0;
    Value tag_;
    int32_t options_ = 0;
    Date timestamp_;
    std::shared_ptr<const Thread> thread_;
    std::shared_ptr<DispatchQueue> queue_;
};
