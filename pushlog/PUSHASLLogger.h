// Hands each record to the system log (facility "com.apple.console") with its level, text and reader.
// One per process, reached through `sharedInstance`.
#pragma once

#include <memory>

#include "platform/asl/ASL.h"
#include "pushlog/PUSHAbstractLogger.h"

class PUSHASLLogger : public PUSHAbstractLogger {
  public:
    static std::shared_ptr<PUSHASLLogger> sharedInstance();
    // Null once the shared logger exists: there is one system-log logger.
    static std::shared_ptr<PUSHASLLogger> create();

    void logMessage(const PUSHLogMessagePtr& message) override;

    // The system log's level (a syslog severity) for a record's flag.
    static int aslLevelForFlag(uint32_t flag);

  private:
    PUSHASLLogger();
    std::shared_ptr<ASLClient> client_;
};
