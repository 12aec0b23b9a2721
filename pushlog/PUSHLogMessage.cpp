#include "pushlog/PUSHLogMessage.h"

#include <cstdio>

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Process.h"

namespace {

std::string baseNameWithoutExtension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    // A leading dot starts a hidden file's name, not an extension.
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

}  // namespace

PUSHLogMessagePtr PUSHLogMessage::create(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                         std::string file, std::string function, uint32_t line, Value tag,
                                         int32_t options, std::optional<Date> timestamp) {
    std::shared_ptr<PUSHLogMessage> record(new PUSHLogMessage());
    record->message_ = std::move(message);
    record->level_ = level;
    record->flag_ = flag;
    record->context_ = context;
    record->fileName_ = baseNameWithoutExtension(file);
    record->file_ = std::move(file);
    record->function_ = std::move(function);
    record->line_ = line;
    record->tag_ = std::move(tag);
    record->options_ = options;
    record->timestamp_ = timestamp ? *timestamp : Clock::now();
    char hex[24];
    std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(ProcessInfo::threadId()));
    record->threadID_ = hex;
    record->threadName_ = ProcessInfo::threadName();
    record->queueLabel_ = DispatchQueue::currentLabel();
    return record;
}

PUSHLogMessagePtr PUSHLogMessage::copyWithMessage(std::string message) const {
    auto record = std::make_shared<PUSHLogMessage>(*this);
    record->message_ = std::move(message);
    return record;
}
