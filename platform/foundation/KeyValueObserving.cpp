#include "platform/foundation/KeyValueObserving.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

#include "platform/foundation/Console.h"
#include "platform/foundation/ObserverGate.h"

namespace {

struct Registration {
    KVOObservable::Token token = 0;
    std::string key;
    KVOOptions options = KVOOptions::None;
    bool owned = false;  // false: no observer object, the block lives until removed
    std::weak_ptr<void> observer;
    KVOObservable::Callback callback;
    ObserverGate gate;

    bool isDead() const { return owned && observer.expired(); }
};
using RegistrationPtr = std::shared_ptr<Registration>;

bool isEmpty(const std::weak_ptr<void>& p) {
    const std::weak_ptr<void> none;
    return !p.owner_before(none) && !none.owner_before(p);
}

void notify(Registration& registration, const KVOChange& change) {
    std::shared_ptr<void> alive;
    if (registration.owned) {
        alive = registration.observer.lock();
        if (!alive) return;
    }
    ObserverGate::Pass pass(registration.gate);
    if (pass.admitted()) registration.callback(change);
}

bool anyWants(const std::vector<RegistrationPtr>& registrations, KVOOptions option) {
    return std::any_of(registrations.begin(), registrations.end(),
                       [&](const auto& r) { return r->options & option; });
}

// A change under way: begun by willChangeValueForKey on one thread, ended by the matching did-change there.
struct PendingChange {
    std::thread::id thread;
    std::string key;
    std::vector<std::pair<std::string, std::optional<Value>>> oldValues;  // per affected key
};

// Bound on the keys visited while following dependencies, against runaway dependency graphs.
constexpr size_t kMaxDependencyWalk = 1024;

}  // namespace

struct KVOObservable::State {
    std::mutex mutex;
    Token nextToken = 1;
    std::vector<RegistrationPtr> registrations;  // registration order
    std::vector<PendingChange> pending;

    std::vector<RegistrationPtr> observersOf(const std::string& key) {
        std::lock_guard lock(mutex);
        std::erase_if(registrations, [](const auto& r) { return r->isDead(); });
        std::vector<RegistrationPtr> result;
        for (const auto& r : registrations) {
            if (r->key == key) result.push_back(r);
        }
        return result;
    }
    std::vector<std::string> observedKeys() {
        std::lock_guard lock(mutex);
        std::set<std::string> keys;
        for (const auto& r : registrations) keys.insert(r->key);
        return {keys.begin(), keys.end()};
    }
};

KVOObservable::KVOObservable() : kvo_(std::make_unique<State>()) {}
KVOObservable::KVOObservable(const KVOObservable&) : kvo_(std::make_unique<State>()) {}
KVOObservable::~KVOObservable() = default;

Value KVOObservable::valueForKey(const std::string&) const {
    return Value();
}

std::vector<std::string> KVOObservable::keyPathsForValuesAffectingValueForKey(const std::string&) const {
    return {};
}

KVOObservable::Token KVOObservable::addObserver(std::weak_ptr<void> observer, const std::string& key,
                                                KVOOptions options, Callback callback) {
    auto registration = std::make_shared<Registration>();
    registration->key = key;
    registration->options = options;
    registration->owned = !isEmpty(observer);
    registration->observer = std::move(observer);
    registration->callback = std::move(callback);
    {
        std::lock_guard lock(kvo_->mutex);
        registration->token = kvo_->nextToken++;
        kvo_->registrations.push_back(registration);
    }
    if (options & KVOOptions::Initial) {
        KVOChange change{this, key, std::nullopt, std::nullopt, false};
        if (options & KVOOptions::New) change.newValue = valueForKey(key);
        notify(*registration, change);
    }
    return registration->token;
}

void KVOObservable::removeObserver(Token token) {
    RegistrationPtr removed;
    {
        std::lock_guard lock(kvo_->mutex);
        auto& list = kvo_->registrations;
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& r) { return r->token == token; });
        if (it == list.end()) return;
        removed = std::move(*it);
        list.erase(it);
    }
    if (!removed->gate.close()) {
        NSLog("KVOObservable: an observer of \"" + removed->key +
              "\" was still being called on another thread when it was removed");
    }
}

std::vector<std::string> KVOObservable::affectedKeys(const std::string& key) const {
    std::vector<std::string> result{key};
    for (const auto& observed : kvo_->observedKeys()) {
        if (observed == key) continue;
        // Does `observed` depend on `key`, directly or through other keys?
        std::set<std::string> visited{observed};
        std::vector<std::string> frontier{observed};
        bool depends = false;
        while (!frontier.empty() && !depends && visited.size() < kMaxDependencyWalk) {
            const std::string current = std::move(frontier.back());
            frontier.pop_back();
            for (auto& source : keyPathsForValuesAffectingValueForKey(current)) {
                if (source == key) {
                    depends = true;
                    break;
                }
                if (visited.insert(source).second) frontier.push_back(std::move(source));
            }
        }
        if (depends) result.push_back(observed);
    }
    return result;
}

void KVOObservable::willChangeValueForKey(const std::string& key) {
    PendingChange change{std::this_thread::get_id(), key, {}};
    std::vector<std::pair<std::string, std::vector<RegistrationPtr>>> priorTargets;
    for (const auto& affected : affectedKeys(key)) {
        auto observers = kvo_->observersOf(affected);
        std::optional<Value> old;
        if (anyWants(observers, KVOOptions::Old)) old = valueForKey(affected);
        change.oldValues.emplace_back(affected, old);
        if (!observers.empty()) priorTargets.emplace_back(affected, std::move(observers));
    }
    const auto oldValues = change.oldValues;
    {
        std::lock_guard lock(kvo_->mutex);
        kvo_->pending.push_back(std::move(change));
    }
    for (const auto& [affected, observers] : priorTargets) {
        const auto& old =
            std::find_if(oldValues.begin(), oldValues.end(), [&key = affected](const auto& entry) {
                return entry.first == key;
            })->second;
        for (const auto& observer : observers) {
            if (!(observer->options & KVOOptions::Prior)) continue;
            KVOChange notice{this, affected, std::nullopt, std::nullopt, true};
            if (observer->options & KVOOptions::Old) notice.oldValue = old.value_or(Value());
            notify(*observer, notice);
        }
    }
}

void KVOObservable::didChangeValueForKey(const std::string& key) {
    std::optional<PendingChange> change;
    {
        std::lock_guard lock(kvo_->mutex);
        auto& pending = kvo_->pending;
        const auto self = std::this_thread::get_id();
        auto it = std::find_if(pending.rbegin(), pending.rend(),
                               [&](const auto& p) { return p.thread == self && p.key == key; });
        if (it != pending.rend()) {
            change = std::move(*it);
            pending.erase(std::next(it).base());
        }
    }
    if (!change) {
        // A did-change without its will-change: report the change, without old values.
        change = PendingChange{std::this_thread::get_id(), key, {}};
        for (auto& affected : affectedKeys(key))
            change->oldValues.emplace_back(std::move(affected), std::nullopt);
    }
    for (const auto& [affected, old] : change->oldValues) {
        auto observers = kvo_->observersOf(affected);
        if (observers.empty()) continue;
        std::optional<Value> current;
        if (anyWants(observers, KVOOptions::New)) current = valueForKey(affected);
        for (const auto& observer : observers) {
            KVOChange notice{this, affected, std::nullopt, std::nullopt, false};
            if (observer->options & KVOOptions::Old) notice.oldValue = old.value_or(Value());
            if (observer->options & KVOOptions::New) notice.newValue = current;
            notify(*observer, notice);
        }
    }
}
