// The device's remote-notification token: 32 random bytes made once per sandbox and kept in
// Library/device-token, so that a later launch in the same sandbox registers with the same token.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace DeviceToken {

inline constexpr size_t kLength = 32;

std::string path();
// The stored token, or a new one stored now. A file that does not hold exactly kLength bytes is replaced
// (with a console line). nullopt, with a one-line reason in `error`, when the token cannot be stored.
std::optional<Data> sandboxToken(std::string* error);

// Lowercase hex without separators.
std::string hex(const Data& bytes);
// Hex digits in pairs; spaces and the "<...>" of a data description are allowed. nullopt for anything
// else, an odd number of digits or no digits at all.
std::optional<Data> parseHex(std::string_view text);

}  // namespace DeviceToken
