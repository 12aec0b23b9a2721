// A set of non-negative integers held as sorted, disjoint ranges (status codes, for instance).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

class HCIndexSet {
  public:
    HCIndexSet() = default;
    // [location, location + length)
    static HCIndexSet indexSetWithIndexesInRange(uint64_t location, uint64_t length);

    void addIndexesInRange(uint64_t location, uint64_t length);
    void addIndex(uint64_t index) { addIndexesInRange(index, 1); }
    bool containsIndex(int64_t index) const;
    uint64_t count() const;

    // (location, length) pairs, sorted and merged.
    const std::vector<std::pair<uint64_t, uint64_t>>& ranges() const { return ranges_; }

    // As an array of [location, length] arrays, for archives; nullopt for anything else, for ranges that
    // overflow and for more ranges than an archive of ours ever holds.
    Value archiveValue() const;
    static std::optional<HCIndexSet> fromArchiveValue(const Value& value);

    bool operator==(const HCIndexSet&) const = default;

  private:
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;
};
