// The screens' stored state: sign-in token, account and the last version the guide was shown for, over the
// standard user defaults. Nothing is kept in memory here; a value written is read back at once by later
// calls in the same run and persists across launches.
//
// Keys the screens use:
//   version      string, the bundle's short version when the first-run guide was last chosen
//   AccessToken  string, the sign-in token; "" once a page has sent the user back to sign in
//   Account      string, the phone number last signed in
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

inline constexpr const char* kSaveServiceVersionKey = "version";
inline constexpr const char* kSaveServiceAccessTokenKey = "AccessToken";
inline constexpr const char* kSaveServiceAccountKey = "Account";

class SaveService {
  public:
    // Stores `value` under `key` in the standard user defaults. The store saves itself shortly after;
    // there is no explicit synchronize. A null value removes the key (the store's rule). A value the store
    // cannot keep (one that is no property-list value) is refused by the store, which logs why, and the
    // old value stays.
    static void setObject(const Value& value, const std::string& key);
    // The stored value, or nullopt (nil) when the key was never written.
    static std::optional<Value> objectForKey(const std::string& key);

    SaveService() = delete;
};
