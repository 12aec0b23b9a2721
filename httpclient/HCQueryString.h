// Query strings and form bodies: percent escaping, flattening of nested parameters, joining.
//
// Parameters flatten into field/value pairs: dictionary keys are sorted and nest as "key[sub]", array
// members keep their order under "key[]", set members are sorted and keep the bare key. Each pair prints as
// "field=value" with both sides escaped, or as the bare field when the value is null.
//
//   HCJoinedQueryString(Dict{{"b", 1}, {"a", Dict{{"y", "x y"}, {"x", Value::array({1, 2})}}}})
//     == "a%5Bx%5D%5B%5D=1&a%5Bx%5D%5B%5D=2&a%5By%5D=x%20y&b=1"
//
// Everything here is a pure function of its arguments: safe on any thread, never fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

// Percent-encodes every UTF-8 byte outside ASCII letters, digits and "-._~/?", as "%XX" in upper case.
std::string HCPercentEscapeQueryText(std::string_view text);

// One flattened parameter. A null `value` stands for both an absent value and the null object.
class HCQueryStringPair {
  public:
    HCQueryStringPair(Value field, Value value) : field_(std::move(field)), value_(std::move(value)) {}

    const Value& field() const { return field_; }
    const Value& value() const { return value_; }

    // "field=value" escaped, or the escaped field alone when the value is null.
    std::string URLEncodedStringValue() const;

    bool operator==(const HCQueryStringPair& other) const = default;

  private:
    Value field_;
    Value value_;
};

// The pairs of `value` under `key` (none for the top level), in query order.
std::vector<HCQueryStringPair> HCFlattenedQueryPairs(const std::optional<std::string>& key,
                                                     const Value& value);

// The query string of `parameters`, without a leading "?".
std::string HCJoinedQueryString(const Value& parameters);
