#include "platform/foundation/KeyValueObserving.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <typeindex>
#include <unordered_map>

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
    // Every key `key` depends on (its class's closure), looked up at the first change after registering.
    const std::set<std::string>* dependsOn = nullptr;

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

// Every key `key` of `object` depends on, directly or through other keys.
std::set<std::string> dependencyClosure(const KVOObservable& object, const std::string& key) {
    std::set<std::string> visited{key};
    std::vector<std::string> frontier{key};
    while (!frontier.empty() && visited.size() < kMaxDependencyWalk) {
        const std::string current = std::move(frontier.back());
        frontier.pop_back();
        for (auto& source : object.keyPathsForValuesAffectingValueForKey(current)) {
            if (visited.insert(source).second) frontier.push_back(std::move(source));
        }
    }
    visited.erase(key);
    return visited;
}

// The dependency closures of each class, worked out once per class and key: a change would otherwise walk
// the dependencies of every observed key again.
class DependencyClosures {
  public:
    static const std::set<std::string>& of(const KVOObservable& object, const std::string& key) {
        static auto* instance = new DependencyClosures;  // used until exit, by any thread
        return instance->lookUp(object, key);
    }

  private:
    const std::set<std::string>& lookUp(const KVOObservable& object, const std::string& key) {
        const std::type_index type(typeid(object));
        {
            std::lock_guard lock(mutex_);
            auto& ofClass = closures_[type];
            if (auto known = ofClass.find(key); known != ofClass.end()) return known->second;
        }
        // Worked out with no lock held: the class's answer is its own code.
        auto closure = dependencyClosure(object, key);
        std::lock_guard lock(mutex_);
        return closures_[type].try_emplace(key, std::move(closure)).first->second;  // map nodes stay put
    }

    std::mutex mutex_;
    std::unordered_map<std::type_index, std::map<std::string, std::set<std::string>, std::less<>>> closures_;
};

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
    for (;;) {
        RegistrationPtr unresolved;
        {
            std::lock_guard lock(kvo_->mutex);
            for (const auto& r : kvo_->registrations) {
                if (!r->dependsOn) {
                    unresolved = r;
                    break;
                }
                if (r->dependsOn->contains(key) &&
                    std::find(result.begin(), result.end(), r->key) == result.end())
                    result.push_back(r->key);
            }
        }
        if (!unresolved) break;
        const auto* closure =
            &DependencyClosures::of(*this, unresolved->key);  // asks the class: no lock held
        std::lock_guard lock(kvo_->mutex);
        unresolved->dependsOn = closure;
        result.resize(1);
    }
    std::sort(result.begin() + 1, result.end());  // dependent keys are told in the order of their names
    return result;
}

void KVOObservable::willChangeValueForKey(const std::string& key) {
    PendingChange change{std::this_thread::get_id(), key, {}};
    struct PriorNotice {
        std::string key;
        std::optional<Value> old;
        std::vector<RegistrationPtr> observers;  // those asking for prior notices
    };
    std::vector<PriorNotice> priorNotices;
    for (auto& affected : affectedKeys(key)) {
        auto observers = kvo_->observersOf(affected);
        std::optional<Value> old;
        if (anyWants(observers, KVOOptions::Old)) old = valueForKey(affected);
        std::erase_if(observers, [](const auto& r) { return !(r->options & KVOOptions::Prior); });
        if (!observers.empty()) priorNotices.push_back({affected, old, std::move(observers)});
        change.oldValues.emplace_back(std::move(affected), std::move(old));
    }
    {
        std::lock_guard lock(kvo_->mutex);
        kvo_->pending.push_back(std::move(change));
    }
    for (const auto& prior : priorNotices) {
        for (const auto& observer : prior.observers) {
            KVOChange notice{this, prior.key, std::nullopt, std::nullopt, true};
            if (observer->options & KVOOptions::Old) notice.oldValue = prior.old.value_or(Value());
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
