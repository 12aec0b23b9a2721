#include "pushlog/PUSHLogSetup.h"

#include <mutex>

#include "pushlog/PUSHASLLogger.h"
#include "pushlog/PUSHCustomFormatter.h"
#include "pushlog/PUSHFileLogger.h"
#include "pushlog/PUSHLog.h"
#include "pushlog/PUSHTTYLogger.h"

namespace {

UIColorPtr rgb(int r, int g, int b) {
    return UIColor::colorWithRed(r / 255.0, g / 255.0, b / 255.0, 1);
}

}  // namespace

void PUSHLogSetup() {
    static std::once_flag once;
    std::call_once(once, [] {
        PUSHLogIgnoreBrokenPipes();
        auto formatter = PUSHCustomFormatter::initWithType(0);
        // Rolling files in <caches>/PUSHLogs: a new one each day (or 1 MiB), seven kept, debug lines too.
        auto file = PUSHFileLogger::create();
        file->setRollingFrequency(86400);
        file->logFileManager()->setMaximumNumberOfLogFiles(7);
        file->setLogFormatter(formatter);
        PUSHLog::addLogger(file, PUSHLogLevelDebug);
        auto asl = PUSHASLLogger::sharedInstance();
        auto tty = PUSHTTYLogger::sharedInstance();
        asl->setLogFormatter(formatter);
        tty->setLogFormatter(formatter);
        PUSHLog::addLogger(asl, PUSHLogLevelInfo);
        PUSHLog::addLogger(tty, PUSHLogLevelInfo);
        tty->setForegroundColor(rgb(255, 0, 0), nullptr, PUSHLogFlagError);
        tty->setForegroundColor(rgb(254, 186, 173), nullptr, PUSHLogFlagWarning);
        tty->setForegroundColor(rgb(0, 255, 0), nullptr, PUSHLogFlagInfo);
        tty->setForegroundColor(rgb(65, 105, 225), nullptr, PUSHLogFlagVerbose);
        tty->setColorsEnabled(true);
    });
}

void PUSHLogSetSharedLoggersLevel(uint32_t level) {
    for (PUSHLoggerPtr logger :
         {PUSHLoggerPtr(PUSHASLLogger::sharedInstance()), PUSHLoggerPtr(PUSHTTYLogger::sharedInstance())}) {
        PUSHLog::removeLogger(logger);
        PUSHLog::addLogger(logger, level);
    }
}
