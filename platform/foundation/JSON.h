// JSON reading and writing (NSJSONSerialization).
//
// Reading goes straight into `Value`: objects become dictionaries (duplicate keys: the last wins), integers
// that fit become int64 (or uint64), other numbers double (finite ones only). Input must be UTF-8 (a
// byte-order mark is skipped, and a second one after it); a NUL byte outside a string ends the text; nesting
// deeper than 512 is an error. Errors are NSCocoaErrorDomain 3840 with a description that names the offending
// byte position. Writing sorts dictionary keys and fails with an error (never throws) for NaN, infinity,
// invalid UTF-8 or values JSON cannot hold (data, dates, sets, objects).
#pragma once

#include <optional>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

class NSJSONSerialization {
  public:
    enum ReadingOptions : unsigned { MutableContainers = 1, MutableLeaves = 2, FragmentsAllowed = 4 };
    enum WritingOptions : unsigned { PrettyPrinted = 1, SortedKeys = 2, WritingFragmentsAllowed = 4 };

    static constexpr int kMaxDepth = 512;

    static std::optional<Value> JSONObjectWithData(const Data& data, unsigned options, NSErrorPtr* error);
    static std::optional<Data> dataWithJSONObject(const Value& object, unsigned options, NSErrorPtr* error);
    // A top-level array or dictionary whose leaves JSON can hold.
    static bool isValidJSONObject(const Value& object);
};
