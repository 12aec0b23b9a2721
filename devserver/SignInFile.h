// The sign-ins the back end handed out, kept in one small JSON file so that they outlive the process:
//
//   {"signIns":[{"account":"13800138000","token":"…"},…]}
//
// A write replaces the file as a whole (a temporary file beside it, flushed to disk, then renamed over it),
// so a crash leaves the old list or the new one, never a mix. The file is readable by its owner only
// (mkstemp's mode): the tokens are secrets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "devserver/SignInLedger.h"

struct SignInFileRead {
    std::vector<IssuedToken> tokens;
    std::string error;  // "" when the file was read, or is not there at all
};

// Files larger than this are refused unread.
inline constexpr std::uintmax_t kSignInFileLimit = 4 << 20;

SignInFileRead readSignInFile(const std::filesystem::path& file);
// "" on success, else what went wrong with the system's reason; the old file is then left as it was.
std::string writeSignInFile(const std::filesystem::path& file, const std::vector<IssuedToken>& tokens);
