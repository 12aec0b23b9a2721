#include "pushlog/PUSHDispatchQueueLogFormatter.h"

#include "pushlog/PUSHLocalTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/foundation/TextUtil.h"

// Dates as "yyyy-MM-dd HH:mm:ss:SSS" in local time; one per thread or per instance.
class PUSHDispatchQueueLogFormatter::DateFormatter : public PUSHLocalTimeFormatter {
  public:
    DateFormatter() : PUSHLocalTimeFormatter("%Y-%m-%d %H:%M:%S", ':') {}
};

namespace {

// One per thread, shared by every instance on that thread.
thread_local std::unique_ptr<PUSHDispatchQueueLogFormatter::DateFormatter> threadDateFormatter;

// The first `units` UTF-16 units of `text`, never splitting a character: a pair that would be cut in half
// is left out whole.
std::string prefixOfUnits(const std::string& text, size_t units) {
    for (size_t n = units;; --n) {
        if (auto offset = TextUtil::utf8Offset(text, n)) return text.substr(0, *offset);
        if (n == 0) break;
    }
    // Not valid UTF-8: cut by bytes, backing off to a character start.
    size_t cut = std::min(units, text.size());
    while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

}  // namespace

PUSHDispatchQueueLogFormatter::PUSHDispatchQueueLogFormatter() {
    replacements_["com.apple.main-thread"] = "main";
}

PUSHDispatchQueueLogFormatter::~PUSHDispatchQueueLogFormatter() = default;

std::shared_ptr<PUSHDispatchQueueLogFormatter> PUSHDispatchQueueLogFormatter::create() {
    return std::shared_ptr<PUSHDispatchQueueLogFormatter>(new PUSHDispatchQueueLogFormatter());
}

std::optional<std::string> PUSHDispatchQueueLogFormatter::replacementStringForQueueLabel(
    const std::string& label) const {
    std::lock_guard lock(lock_);
    auto it = replacements_.find(label);
    if (it == replacements_.end()) return std::nullopt;
    return it->second;
}

void PUSHDispatchQueueLogFormatter::setReplacementString(std::optional<std::string> replacement,
                                                         const std::string& label) {
    std::lock_guard lock(lock_);
    if (replacement) {
        replacements_[label] = std::move(*replacement);
    } else {
        replacements_.erase(label);
    }
}

bool PUSHDispatchQueueLogFormatter::isSharedSystemQueueLabel(const std::string& label) {
    static constexpr std::string_view kPrefix = "com.apple.root.";
    static constexpr std::string_view kSuffix = "-priority";
    return label.size() > kPrefix.size() + kSuffix.size() && label.starts_with(kPrefix) &&
           label.ends_with(kSuffix);
}

std::string PUSHDispatchQueueLogFormatter::stringFromDate(Date date) {
    if (atomicLoggerCount_.fetch_add(0) > 1) {
        if (!threadDateFormatter) threadDateFormatter = std::make_unique<DateFormatter>();
        return threadDateFormatter->format(date);
    }
    if (!threadUnsafeDateFormatter_) threadUnsafeDateFormatter_ = std::make_unique<DateFormatter>();
    return threadUnsafeDateFormatter_->format(date);
}

bool PUSHDispatchQueueLogFormatter::threadHasDateFormatter() {
    return threadDateFormatter != nullptr;
}

std::string PUSHDispatchQueueLogFormatter::queueThreadLabelForLogMessage(
    const PUSHLogMessage& message) const {
    const size_t minLength = minQueueLength();
    const size_t maxLength = maxQueueLength();

    const std::string* source = &message.queueLabel();
    if (source->empty() || isSharedSystemQueueLabel(*source)) {
        source = message.threadName().empty() ? nullptr : &message.threadName();
    }
    std::string label;
    if (source) {
        label = replacementStringForQueueLabel(*source).value_or(*source);
    } else {
        label = message.threadID();  // never looked up
    }

    const size_t units = TextUtil::utf16Length(label);
    if (maxLength > 0 && units > maxLength) return prefixOfUnits(label, maxLength);
    if (units < minLength) label.append(minLength - units, ' ');
    return label;
}

PUSHLogFormatResult PUSHDispatchQueueLogFormatter::formatLogMessage(const PUSHLogMessage& message) {
    std::string line = stringFromDate(message.timestamp());
    line += " [";
    line += queueThreadLabelForLogMessage(message);
    line += "] ";
    line += message.message();
    return PUSHLogFormatResult::text(std::move(line));
}

void PUSHDispatchQueueLogFormatter::didAddToLogger(PUSHLogger&) {
    atomicLoggerCount_.fetch_add(1);
}
void PUSHDispatchQueueLogFormatter::willRemoveFromLogger(PUSHLogger&) {
    atomicLoggerCount_.fetch_sub(1);
}

// ---- Context filters

void PUSHLoggingContextSet::addToSet(uint32_t context) {
    std::lock_guard lock(lock_);
    set_.insert(context);
}

void PUSHLoggingContextSet::removeFromSet(uint32_t context) {
    std::lock_guard lock(lock_);
    set_.erase(context);
}

std::vector<uint32_t> PUSHLoggingContextSet::currentSet() const {
    std::lock_guard lock(lock_);
    return {set_.begin(), set_.end()};
}

bool PUSHLoggingContextSet::isInSet(uint32_t context) const {
    std::lock_guard lock(lock_);
    return set_.count(context) > 0;
}

std::shared_ptr<PUSHContextWhitelistFilterLogFormatter> PUSHContextWhitelistFilterLogFormatter::create() {
    return std::shared_ptr<PUSHContextWhitelistFilterLogFormatter>(
        new PUSHContextWhitelistFilterLogFormatter());
}

PUSHLogFormatResult PUSHContextWhitelistFilterLogFormatter::formatLogMessage(const PUSHLogMessage& message) {
    return isOnWhitelist(static_cast<uint32_t>(message.context())) ? PUSHLogFormatResult::original()
                                                                   : PUSHLogFormatResult::drop();
}

std::shared_ptr<PUSHContextBlacklistFilterLogFormatter> PUSHContextBlacklistFilterLogFormatter::create() {
    return std::shared_ptr<PUSHContextBlacklistFilterLogFormatter>(
        new PUSHContextBlacklistFilterLogFormatter());
}

PUSHLogFormatResult PUSHContextBlacklistFilterLogFormatter::formatLogMessage(const PUSHLogMessage& message) {
    return isOnBlacklist(static_cast<uint32_t>(message.context())) ? PUSHLogFormatResult::drop()
                                                                   : PUSHLogFormatResult::original();
}
