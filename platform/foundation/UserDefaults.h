// NSUserDefaults: the application's persistent key-value store, a property list in the sandbox at
// Library/Preferences/<bundle id>.plist ("com.quorvane.app" when the main bundle names none).
//
// Reads come from memory and see every earlier write at once. Writes mark the store dirty; a writer thread
// saves it about 0.05 s later (so bursts of changes make one write), `synchronize` saves at once, and an
// exit handler saves what is left. A save is atomic: a temporary file in the same folder, fsync, rename.
// The file is binary; XML is read too. A file that cannot be read as a dictionary is renamed aside to
// "<file>.corrupt-<unix time>" (never deleted), logged, and the store starts empty.
//
// Values must be property-list values (no sets or objects, and no nulls inside containers); a null value
// removes the key. Keys are plain keys: dots and "@" mean nothing. Safe to use from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class NSUserDefaults {
  public:
    // The store of the current sandbox, created on first use.
    static std::shared_ptr<NSUserDefaults> standardUserDefaults();
    // Saves and forgets the standard store, so that the next call opens the file of the sandbox as it is now
    // (tests switch the sandbox home between cases).
    static void resetStandardUserDefaultsForTesting();
    // A store over any property-list file (read now).
    static std::shared_ptr<NSUserDefaults> create(const std::string& path);

    ~NSUserDefaults();
    NSUserDefaults(const NSUserDefaults&) = delete;
    NSUserDefaults& operator=(const NSUserDefaults&) = delete;

    std::optional<Value> objectForKey(const std::string& key) const;
    // Returns false, storing nothing and logging why, when the value cannot go into a property list.
    bool setObject(const Value& value, const std::string& key);
    void removeObjectForKey(const std::string& key);

    std::string stringForKey(const std::string& key) const;  // "" unless a string is stored
    bool boolForKey(const std::string& key) const;           // the stored number or string read as a bool
    int64_t integerForKey(const std::string& key) const;     // the stored number or string read as an integer
    double doubleForKey(const std::string& key) const;
    void setBool(bool value, const std::string& key) { setObject(value, key); }
    void setInteger(int64_t value, const std::string& key) { setObject(value, key); }
    void setDouble(double value, const std::string& key) { setObject(value, key); }

    Value::Dictionary dictionaryRepresentation() const;
    // Saves now when there are unsaved changes; false when the file could not be written (the changes stay
    // in memory and are tried again).
    bool synchronize();

    const std::string& path() const;

    struct Impl;

  private:
    explicit NSUserDefaults(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};
