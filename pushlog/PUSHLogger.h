// The two interfaces every logger and formatter implements.
//
// A logger is called on its own serial queue only (see PUSHLog), one record at a time. Optional operations
// have defaults that do what the registry does for a logger without them; where the registry's behaviour
// depends on whether an operation exists at all (flush, the add and remove notices), the logger says so
// through the matching `implements...` answer.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/DispatchQueue.h"
#include "pushlog/PUSHLogMessage.h"

// What a formatter made of a record: nothing (the record is dropped), the record's own text unchanged, or
// a new text. Loggers that tell formatted from unformatted lines rely on the difference between the last
// two.
class PUSHLogFormatResult {
  public:
    enum class Kind { Drop, Original, Text };

    static PUSHLogFormatResult drop() { return PUSHLogFormatResult(Kind::Drop, {}); }
    static PUSHLogFormatResult original() { return PUSHLogFormatResult(Kind::Original, {}); }
    static PUSHLogFormatResult text(std::string text) {
        return PUSHLogFormatResult(Kind::Text, std::move(text));
    }

    Kind kind() const { return kind_; }
    // The text to write for `message`: empty for a dropped record.
    const std::string& textFor(const PUSHLogMessage& message) const {
        return kind_ == Kind::Original ? message.message() : text_;
    }

  private:
    PUSHLogFormatResult(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

class PUSHLogger;

class PUSHLogFormatter {
  public:
    virtual ~PUSHLogFormatter() = default;
    // May be called on several loggers' queues at once.
    virtual PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) = 0;
    // Told on the logger's queue when the formatter is installed in, or replaced in, `logger`.
    virtual void didAddToLogger(PUSHLogger& logger) { (void)logger; }
    virtual void willRemoveFromLogger(PUSHLogger& logger) { (void)logger; }
};
using PUSHLogFormatterPtr = std::shared_ptr<PUSHLogFormatter>;

class PUSHLogger {
  public:
    virtual ~PUSHLogger() = default;

    virtual void logMessage(const PUSHLogMessagePtr& message) = 0;
    virtual PUSHLogFormatterPtr logFormatter() = 0;
    virtual void setLogFormatter(PUSHLogFormatterPtr formatter) = 0;

    virtual bool implementsDidAddLogger() const { return false; }
    virtual void didAddLogger() {}
    virtual bool implementsWillRemoveLogger() const { return false; }
    virtual void willRemoveLogger() {}
    virtual bool implementsFlush() const { return false; }
    virtual void flush() {}

    // The serial queue the logger wants to be called on; null lets the registry make one.
    virtual DispatchQueuePtr loggerQueue() const { return nullptr; }
    // Used as the label of a queue the registry makes; "" for no label.
    virtual std::string loggerName() const { return ""; }
};
using PUSHLoggerPtr = std::shared_ptr<PUSHLogger>;
