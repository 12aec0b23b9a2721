#include "pushlog/PUSHASLLogger.h"

#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<bool> sharedExists{false};

}  // namespace

PUSHASLLogger::PUSHASLLogger()
    : PUSHAbstractLogger("push.logging.aslLogger"), client_(ASLClient::open("", "com.apple.console")) {}

std::shared_ptr<PUSHASLLogger> PUSHASLLogger::create() {
    if (sharedExists.load()) return nullptr;
    return std::shared_ptr<PUSHASLLogger>(new PUSHASLLogger());
}

std::shared_ptr<PUSHASLLogger> PUSHASLLogger::sharedInstance() {
    static auto* shared = [] {
        auto* logger = new std::shared_ptr<PUSHASLLogger>(create());
        sharedExists = true;
        return logger;
    }();
    return *shared;
}

int PUSHASLLogger::aslLevelForFlag(uint32_t flag) {
    static constexpr int kLevels[4] = {2, 3, 5, 4};
    const uint32_t index = flag - 1;  // flag 0 wraps to the largest index
    return index > 3 ? 5 : kLevels[index];
}

void PUSHASLLogger::logMessage(const PUSHLogMessagePtr& message) {
    // Records captured from the system log are not written back to it.
    if (message->fileName() == "PUSHASLLogCapture") return;

    const auto& formatter = formatterOnQueue();
    auto result = formatter ? formatter->formatLogMessage(*message) : PUSHLogFormatResult::original();
    if (result.kind() == PUSHLogFormatResult::Kind::Drop) return;

    ASLMessage record;
    const bool filled = record.set(ASL_KEY_LEVEL, std::to_string(aslLevelForFlag(message->flag()))) &&
                        record.set(ASL_KEY_MSG, result.textFor(*message)) &&
                        record.set(ASL_KEY_READ_UID, std::to_string(::geteuid()));
    if (filled) client_->send(record);
}
