#include "httpclient/HCIndexSet.h"

#include <algorithm>
#include <limits>

namespace {
constexpr size_t kMaxArchivedRanges = 1024;
}

HCIndexSet HCIndexSet::indexSetWithIndexesInRange(uint64_t location, uint64_t length) {
    HCIndexSet set;
    set.addIndexesInRange(location, length);
    return set;
}

void HCIndexSet::addIndexesInRange(uint64_t location, uint64_t length) {
    if (length == 0) return;
    length = std::min(length, std::numeric_limits<uint64_t>::max() - location);
    ranges_.emplace_back(location, length);
    std::sort(ranges_.begin(), ranges_.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto& range : ranges_) {
        if (!merged.empty() && range.first <= merged.back().first + merged.back().second) {
            uint64_t end = std::max(merged.back().first + merged.back().second, range.first + range.second);
            merged.back().second = end - merged.back().first;
        } else {
            merged.push_back(range);
        }
    }
    ranges_ = std::move(merged);
}

bool HCIndexSet::containsIndex(int64_t index) const {
    if (index < 0) return false;
    auto value = uint64_t(index);
    for (const auto& [location, length] : ranges_)
        if (value >= location && value - location < length) return true;
    return false;
}

uint64_t HCIndexSet::count() const {
    uint64_t total = 0;
    for (const auto& range : ranges_) total += range.second;
    return total;
}

Value HCIndexSet::archiveValue() const {
    Value::Array out;
    for (const auto& [location, length] : ranges_) out.push_back(Value::array({location, length}));
    return Value(std::move(out));
}

std::optional<HCIndexSet> HCIndexSet::fromArchiveValue(const Value& value) {
    const auto* array = value.asArray();
    if (!array || array->size() > kMaxArchivedRanges) return std::nullopt;
    HCIndexSet set;
    for (const auto& range : *array) {
        const auto* pair = range.asArray();
        if (!pair || pair->size() != 2) return std::nullopt;
        const Value& location = (*pair)[0];
        const Value& length = (*pair)[1];
        auto isCount = [](const Value& v) {
            return (v.kind() == Value::Kind::Int && v.integerValue() >= 0) || v.kind() == Value::Kind::UInt;
        };
        if (!isCount(location) || !isCount(length)) return std::nullopt;
        uint64_t start = location.unsignedIntegerValue();
        uint64_t size = length.unsignedIntegerValue();
        if (size > std::numeric_limits<uint64_t>::max() - start) return std::nullopt;
        set.addIndexesInRange(start, size);
    }
    return set;
}
