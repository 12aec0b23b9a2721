// A type-safe formatter for the platform's format strings.
//
// Understands %@ (any Value or object, by its description), %d %i %u %ld %lu %lld %llu %x %X %o %s %c
// %f %e %g %p with flags, width and precision, and %%. Arguments are `Value`s (objects through
// Value(shared_ptr)); a conversion whose argument is missing prints nothing. Text from outside (a page, a
// reply, a file) is never used as a format: callers substitute such text themselves.
//
//   NSString::format("Request failed: %@ (%ld)", {reason, code})
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace NSString {
std::string format(std::string_view format, std::initializer_list<Value> args);
std::string format(std::string_view format, const std::vector<Value>& args);
// The same with every C conversion built through the C formatter: the reference the common directives,
// which `format` writes directly, must match.
std::string formatThroughC(std::string_view format, const std::vector<Value>& args);
}  // namespace NSString
