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

std::shared_ptr<const PUSHLogMessage::Source> sourceOf(std::string file, std::string function) {
    auto source = std::make_shared<PUSHLogMessage::Source>();
    source->fileName = baseNameWithoutExtension(file);
    source->file = std::move(file);
    source->function = std::move(function);
    return source;
}

// The calling thread's id and name, made again only when either changes (the id does in a forked child).
const std::shared_ptr<const PUSHLogMessage::Thread>& currentThread() {
    thread_local std::shared_ptr<const PUSHLogMessage::Thread> thread;
    thread_local uint64_t threadId = 0;
    std::string name = ProcessInfo::threadName();
    if (!thread || thread->name != name || threadId != ProcessInfo::threadId()) {
        threadId = ProcessInfo::threadId();
        char hex[24];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(threadId));
        thread = std::make_shared<const PUSHLogMessage::Thread>(PUSHLogMessage::Thread{hex, std::move(name)});
    }
    return thread;
}

}  // namespace

PUSHLogMessagePtr PUSHLogMessage::make(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                       std::shared_ptr<const Source> source, uint32_t line, Value tag,
                                       int32_t options, std::optional<Date> timestamp) {
    auto record = std::make_shared<PUSHLogMessage>(Private{});
    record->message_ = std::move(message);
    record->level_ = level;
    record->flag_ = flag;
    record->context_ = context;
    record->source_ = std::move(source);
    record->line_ = line;
    record->tag_ = std::move(tag);
    record->options_ = options;
    record->timestamp_ = timestamp ? *timestamp : Clock::now();
    record->thread_ = currentThread();
    record->queue_ = DispatchQueue::current();
    return record;
}

PUSHLogMessagePtr PUSHLogMessage::create(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                         std::string file, std::string function, uint32_t line, Value tag,
                                         int32_t options, std::optional<Date> timestamp) {
    return make(std::move(message), level, flag, context, sourceOf(std::move(file), std::move(function)),
                line, std::move(tag), options, timestamp);
}

PUSHLogMessagePtr PUSHLogMessage::create(std::string message, uint32_t level, uint32_t flag, int32_t context,
                                         const char* file, const char* function, uint32_t line, Value tag) {
    // Log sites pass the same texts call after call: the last one of this thread is shared.
    thread_local std::shared_ptr<const Source> last;
    if (!file) file = "";
    if (!function) function = "";
    if (!last || last->file != file || last->function != function) last = sourceOf(file, function);
    return make(std::move(message), level, flag, context, last, line, std::move(tag), 0, std::nullopt);
}

const std::string& PUSHLogMessage::queueLabel() const {
    static const std::string none;
    return queue_ ? queue_->label() : none;
}

PUSHLogMessagePtr PUSHLogMessage::copyWithMessage(std::string message) const {
    auto record = std::make_shared<PUSHLogMessage>(*this);
    record->message_ = std::move(message);
    return record;
}
