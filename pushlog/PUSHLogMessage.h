// One log record. Built on the caller's thread, so that it describes the caller (its thread and queue),
// and never changed afterwards; loggers and formatters share it through PUSHLogMessagePtr.
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

class PUSHLogMessage {
public:
    // `timestamp` defaults to now on the platform clock. `tag` is null for no tag.
    static PUSHLogMessagePtr create(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                    std::string file, std::string function, uint32_t line, Value tag = {},
                                    int32_t options = 0, std::optional<Date> timestamp = std::nullopt);
    PUSHLogMessagePtr copy() const { return std::make_shared<PUSHLogMessage>(*this); }
    // The same record with another text: everything else (time, thread id and name, queue label, ...) is kept.
    PUSHLogMessagePtr copyWithMessage(std::string message) const;

    const std::string& message() const { return message_; }
    uint32_t level() const { return level_; }
    uint32_t flag() const { return flag_; }
    int32_t context() const { return context_; }
    const std::string& file() const { return file_; }
    // The last path component of `file` without its extension ("a/PUSHService.m" gives "PUSHService").
    const std::string& fileName() const { return fileName_; }
    const std::string& function() const { return function_; }
    uint32_t line() const { return line_; }
    const Value& tag() const { return tag_; }
    int32_t options() const { return options_; }
    Date timestamp() const { return timestamp_; }
    const std::string& threadID() const { return threadID_; }  // kernel thread id, lower-case hex
    const std::string& threadName() const { return threadName_; }
    const std::string& queueLabel() const { return queueLabel_; }

    PUSHLogMessage(const PUSHLogMessage&) = default;

private:
    PUSHLogMessage() = default;

    std::string message_;
    uint32_t level_ = 0;
    uint32_t flag_ = 0;
    int32_t context_ = 0;
    std::string file_;
    std::string fileName_;
    std::string function_;
    uint32_t line_ = 0;
    Value tag_;
    int32_t options_ = 0;
    Date timestamp_;
    std::string threadID_;
    std::string threadName_;
    std::string queueLabel_;
};
