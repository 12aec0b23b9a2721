#include "pushlog/PUSHFailureReport.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"

void PUSHFailureReport::note(const std::string& line) {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        const double now = Clock::monotonic();
        if (lastReport_ && now >= *lastReport_ && now - *lastReport_ < interval_) {
            ++heldBack_;
            return;
        }
        text = line;
        if (heldBack_ > 0)
            text += NSString::format(" (%llu more failures since the last report)", {heldBack_});
        lastReport_ = now;
        heldBack_ = 0;
    }
    NSLog(text);
}

void PUSHFailureReport::clear() {
    std::lock_guard lock(mutex_);
    lastReport_.reset();
    heldBack_ = 0;
}
