#include "pushlog/PUSHASLLogCapture.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "pushlog/PUSHLog.h"

namespace {

std::atomic<bool> running{false};
std::atomic<uint32_t> level{PUSHLogLevelVerbose};
// Raised by every `start`; a run whose number is no longer current ends at its next notification.
std::atomic<uint64_t> currentGeneration{0};
std::atomic<uint64_t> listeningGeneration{0};

template <class T>
std::optional<T> parseDecimal(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    T value{};
    const char* begin = text->data();
    const char* end = begin + text->size();
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

struct CaptureRun : std::enable_shared_from_this<CaptureRun> {
    uint64_t generation = 0;
    long long startTime = 0;
    ASLStoreReader reader;  // where each store was read up to: a notification reads only what came since
    ASLStore::NotifyToken token = 0;
    bool ended = false;
    std::mutex mutex;                 // guards the reader and `ended`
    std::atomic<uint64_t> unread{0};  // notifications not yet taken by the reader

    // One reader at a time: a notification that comes while it reads is taken by its next round, so a
    // burst of notifications holds no threads waiting for their turn.
    void notified() {
        if (unread.fetch_add(1) > 0) return;
        uint64_t taken;
        do {
            taken = unread.load();
            readOnce();
        } while (unread.fetch_sub(taken) != taken);
    }

    void readOnce() {
        std::lock_guard lock(mutex);
        if (ended) return;
        const bool current = currentGeneration.load() == generation;
        if (current) passOnNewRecords();
        if (!current || !running.load()) {
            ended = true;
            ASLStore::notifyCancel(token);
            uint64_t expected = generation;
            listeningGeneration.compare_exchange_strong(expected, 0);
        }
    }

    void passOnNewRecords() {
        ASLQuery query;
        query.add(ASL_KEY_TIME, std::to_string(startTime), ASLQuery::Op::GreaterEqual,
                  ASLQuery::Compare::Numeric);
        PUSHASLLogCapture::configureAslQuery(query);
        for (const auto& record : reader.readNew(query)) PUSHASLLogCapture::aslMessageRecieved(record);
    }
};

}  // namespace

void PUSHASLLogCapture::start() {
    if (running.exchange(true)) return;
    const uint64_t generation = currentGeneration.fetch_add(1) + 1;
    DispatchQueue::global(DispatchQueue::Priority::Default)->async([generation] {
        captureAslLogs(generation);
    });
}

void PUSHASLLogCapture::stop() {
    running = false;
}

bool PUSHASLLogCapture::isRunning() {
    return running.load();
}

bool PUSHASLLogCapture::isCapturing() {
    const uint64_t listening = listeningGeneration.load();
    return listening != 0 && listening == currentGeneration.load();
}

uint32_t PUSHASLLogCapture::captureLevel() {
    return level.load();
}
void PUSHASLLogCapture::setCaptureLevel(uint32_t newLevel) {
    level = newLevel;
}

void PUSHASLLogCapture::configureAslQuery(ASLQuery& query) {
    query.add(ASL_KEY_LEVEL, "7", ASLQuery::Op::LessEqual, ASLQuery::Compare::Numeric);
}

uint32_t PUSHASLLogCapture::flagForAslLevel(int aslLevel, bool* synchronous) {
    if (synchronous) *synchronous = aslLevel >= 0 && aslLevel <= 2;
    switch (aslLevel) {
        case 0:
        case 1:
        case 2:
            return PUSHLogFlagError;
        case 3:
            return PUSHLogFlagWarning;
        case 4:
            return PUSHLogFlagInfo;
        case 5:
            return PUSHLogFlagDebug;
        default:
            return PUSHLogFlagVerbose;
    }
}

void PUSHASLLogCapture::aslMessageRecieved(const ASLMessage& message) {
    const auto text = message.get(ASL_KEY_MSG);
    const auto seconds = parseDecimal<long long>(message.get(ASL_KEY_TIME));
    const auto nanoseconds = parseDecimal<long long>(message.get(ASL_KEY_TIME_NSEC));
    if (!text || !seconds || !nanoseconds) return;

    // The system log sets a level on every record; one without a readable level is the least alarming kind.
    const int aslLevel = parseDecimal<int>(message.get(ASL_KEY_LEVEL)).value_or(-1);
    bool synchronous = false;
    const uint32_t flag = flagForAslLevel(aslLevel, &synchronous);
    const uint32_t mask = captureLevel();
    if ((mask & flag) == 0) return;

    const Date timestamp = Date::fromUnixTime(double(*seconds) + double(*nanoseconds) / 1e9);
    auto record =
        PUSHLogMessage::create(*text, mask, flag, 0, "PUSHASLLogCapture", "", 0, Value(), 0, timestamp);
    PUSHLog::log(!synchronous, record);
}

void PUSHASLLogCapture::captureAslLogs(uint64_t generation) {
    auto run = std::make_shared<CaptureRun>();
    run->generation = generation;
    run->startTime = static_cast<long long>(std::floor(Clock::now().unixTime()));
    std::lock_guard lock(run->mutex);
    run->token = ASLStore::notifyRegister(DispatchQueue::global(DispatchQueue::Priority::High),
                                          [run] { run->notified(); });
    listeningGeneration = generation;
}
