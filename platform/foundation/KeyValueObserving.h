// Key-value observing for classes that mix in `KVOObservable`.
//
// An observable announces a change of a key by calling `willChangeValueForKey` before it stores the new
// value and `didChangeValueForKey` after (setters do it themselves; nothing is automatic). Observers of the
// key, and of every key that depends on it (`keyPathsForValuesAffectingValueForKey`, followed transitively),
// are then called on the thread that made the change, in registration order, with no lock held. Old and
// new values come from the observable's `valueForKey` (null when it does not answer the key).
//
// Observation is weak: an observer registered with a weak_ptr is held alive while it is called and never
// called once destroyed; its registration is then dropped. An empty weak_ptr registers a block with no
// owner. Once `removeObserver` returns, the callback is never started again (a call running on another
// thread is waited for, briefly; a callback may remove itself).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

enum class KVOOptions : unsigned { None = 0, New = 1, Old = 2, Initial = 4, Prior = 8 };
constexpr KVOOptions operator|(KVOOptions a, KVOOptions b) {
    return KVOOptions(unsigned(a) | unsigned(b));
}
constexpr bool operator&(KVOOptions a, KVOOptions b) {
    return (unsigned(a) & unsigned(b)) != 0;
}

class KVOObservable;

// What an observer is told. `oldValue` is present with KVOOptions::Old (except on the Initial call);
// `newValue` with KVOOptions::New (except on a prior notice). A value the observable does not have is
// present as null.
struct KVOChange {
    const KVOObservable* object = nullptr;
    const std::string& key;  // the observed key; valid during the call
    std::optional<Value> oldValue;
    std::optional<Value> newValue;
    bool isPrior = false;  // sent from willChangeValueForKey, with KVOOptions::Prior
};

class KVOObservable {
  public:
    using Token = uint64_t;
    using Callback = std::function<void(const KVOChange&)>;

    virtual ~KVOObservable();

    // With KVOOptions::Initial the callback runs once at once, on the calling thread.
    Token addObserver(std::weak_ptr<void> observer, std::string key, KVOOptions options, Callback callback);
    void removeObserver(Token token);

    void willChangeValueForKey(std::string_view key);
    void didChangeValueForKey(std::string_view key);

    // The current value of a key, for the change's old and new values; null by default.
    virtual Value valueForKey(const std::string& key) const;
    // Keys whose changes also change `key`; none by default. The answer belongs to the class: it is asked
    // once per class and key, and kept.
    virtual std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const;

  protected:
    KVOObservable();
    // A copy starts without observers.
    KVOObservable(const KVOObservable&);
    KVOObservable& operator=(const KVOObservable&) { return *this; }

  private:
    struct State;
    std::unique_ptr<State> kvo_;
};
