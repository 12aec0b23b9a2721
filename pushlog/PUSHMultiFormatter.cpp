#include "pushlog/PUSHMultiFormatter.h"

#include <algorithm>
#include <exception>

PUSHMultiFormatter::PUSHMultiFormatter() : queue_(DispatchQueue::serial("push.logging.multiformatter")) {}

std::shared_ptr<PUSHMultiFormatter> PUSHMultiFormatter::create() {
    return std::shared_ptr<PUSHMultiFormatter>(new PUSHMultiFormatter());
}

PUSHLogMessagePtr PUSHMultiFormatter::logMessageForLine(std::string line, const PUSHLogMessage& message) {
    return message.copyWithMessage(std::move(line));
}

PUSHLogFormatResult PUSHMultiFormatter::formatLogMessage(const PUSHLogMessage& message) {
    PUSHLogFormatResult result = PUSHLogFormatResult::original();
    std::exception_ptr failure;
    queue_->sync([&] {
        try {
            std::string line = message.message();
            bool changed = false;
            for (const auto& member : formatters_) {
                auto step = logMessageForLine(line, message);
                PUSHLogFormatResult stepResult = member->formatLogMessage(*step);
                if (stepResult.kind() == PUSHLogFormatResult::Kind::Drop) {
                    result = PUSHLogFormatResult::drop();
                    return;
                }
                if (stepResult.kind() == PUSHLogFormatResult::Kind::Text) {
                    line = stepResult.textFor(*step);
                    changed = true;
                }
            }
            if (changed) result = PUSHLogFormatResult::text(std::move(line));
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
    return result;
}

std::vector<PUSHLogFormatterPtr> PUSHMultiFormatter::formatters() const {
    std::vector<PUSHLogFormatterPtr> copy;
    queue_->sync([&] { copy = formatters_; });
    return copy;
}

void PUSHMultiFormatter::addFormatter(PUSHLogFormatterPtr formatter) {
    if (!formatter) return;
    auto self = shared_from_this();
    queue_->async([self, formatter = std::move(formatter)] { self->formatters_.push_back(formatter); });
}

void PUSHMultiFormatter::removeFormatter(const PUSHLogFormatterPtr& formatter) {
    if (!formatter) return;
    auto self = shared_from_this();
    queue_->async([self, formatter] { std::erase(self->formatters_, formatter); });
}

void PUSHMultiFormatter::removeAllFormatters() {
    auto self = shared_from_this();
    queue_->async([self] { self->formatters_.clear(); });
}

bool PUSHMultiFormatter::isFormattingWithFormatter(const PUSHLogFormatterPtr& formatter) const {
    bool found = false;
    queue_->sync(
        [&] { found = std::find(formatters_.begin(), formatters_.end(), formatter) != formatters_.end(); });
    return found;
}
