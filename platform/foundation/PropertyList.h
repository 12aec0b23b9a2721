// Property lists, XML and binary (NSPropertyListSerialization), over libplist.
//
// Reading detects the format. Dictionaries, arrays, strings, integers, reals, booleans, data and dates map
// onto `Value`; nesting deeper than 512 and values libplist cannot represent are errors (NSCocoaErrorDomain
// 3840 for reading, 3851 for writing), never crashes.
#pragma once

#include <optional>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

class NSPropertyListSerialization {
  public:
    enum class Format { XML = 100, Binary = 200 };
    static constexpr int kMaxDepth = 512;

    static std::optional<Value> propertyListWithData(const Data& data, Format* format, NSErrorPtr* error);
    static std::optional<Data> dataWithPropertyList(const Value& plist, Format format, NSErrorPtr* error);
};
