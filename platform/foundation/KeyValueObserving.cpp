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

using KeySet = std::set<std::string, std::less<>>;

struct Registration {
    KVOObservable::Token token = 0;
    std::string key;
    KVOOptions options = KVOOptions::None;
    bool owned = false;  // false: no observer object, the block lives until removed
    std::weak_ptr<void> observer;
    KVOObservable::Callback callback;
    ObserverGate gate;
    // Every key `key` depends on (its class's closure), looked up at the first change after registering.
    const KeySet* dependsOn = nullptr;

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

// One key a change touches, with its value before the change when an observer asked for it.
struct Affected {
    RegistrationPtr holder;  // a registration of the key, which keeps its name; none for an unobserved key
    std::optional<Value> old;
    bool wantsOld = false;
};

// A change under way: begun by willChangeValueForKey on one thread, ended by the matching did-change there.
struct PendingChange {
    std::thread::id thread;
    std::string key;
    std::vector<Affected> affected;  // `key` first, then the observed keys depending on it, by name

    const std::string& name(size_t i) const { return i == 0 ? key : affected[i].holder->key; }
    bool observed() const { return affected.size() > 1 || affected[0].holder; }
};

// Records stay where they were made; only pointers to them move between the thread and the object.
using ChangePtr = std::unique_ptr<PendingChange>;

// Records of finished changes, kept per thread for the next change: they and their buffers are reused, so a
// change allocates nothing once the thread has made one.
std::vector<ChangePtr>& spareChanges() {
    thread_local std::vector<ChangePtr> spares;
    return spares;
}

ChangePtr newChange(std::string_view key) {
    auto& spares = spareChanges();
    ChangePtr change;
    if (spares.empty()) {
        change = std::make_unique<PendingChange>();
    } else {
        change = std::move(spares.back());
        spares.pop_back();
    }
    change->thread = std::this_thread::get_id();
    change->key.assign(key);
    return change;
}

void recycle(ChangePtr change) {
    constexpr size_t kMaxSpares = 4;  // nested changes beyond this allocate
    change->affected.clear();
    auto& spares = spareChanges();
    if (spares.size() < kMaxSpares) spares.push_back(std::move(change));
}

// The observers one call is about to notify, picked under the object's lock and called after it. They sit
// on a per-thread stack that keeps its buffer; a change made from inside a callback stacks its own batch
// on top and takes it off when done.
class Batch {
  public:
    struct Entry {
        RegistrationPtr registration;
        size_t affected = 0;         // index of the key in the change
        std::optional<Value> value;  // the old value, for prior notices
    };

    Batch() = default;
    ~Batch() {
        if (stack_) stack_->resize(base_);
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void add(const RegistrationPtr& registration, size_t affected) {
        if (!stack_) {  // most changes notify nobody: the stack is found at the first entry
            stack_ = &stack();
            base_ = stack_->size();
        }
        stack_->push_back({registration, affected, std::nullopt});
        ++size_;
    }
    size_t size() const { return size_; }
    // By index, each time: nested batches may move the stack.
    Entry& operator[](size_t i) { return (*stack_)[base_ + i]; }
    bool anyWants(KVOOptions option) {
        for (size_t i = 0; i < size(); ++i) {
            if ((*this)[i].registration->options & option) return true;
        }
        return false;
    }

  private:
    static std::vector<Entry>& stack() {
        thread_local std::vector<Entry> entries;
        return entries;
    }
    std::vector<Entry>* stack_ = nullptr;
    size_t base_ = 0;
    size_t size_ = 0;
};

// Bound on the keys visited while following dependencies, against runaway dependency graphs.
constexpr size_t kMaxDependencyWalk = 1024;

// Every key `key` of `object` depends on, directly or through other keys.
KeySet dependencyClosure(const KVOObservable& object, const std::string& key) {
    KeySet visited{key};
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
// the dependencies of every observed key again. Each thread keeps the closures it has used at hand, so that
// a registration on a fresh object finds its closure without the shared lock.
class DependencyClosures {
  public:
    // The closure of `key` when this thread has looked it up before; null otherwise. Runs no code of the
    // class, so it may be asked under the object's lock.
    static const KeySet* known(const KVOObservable& object, const std::string& key) {
        const std::type_info* type = &typeid(object);
        for (const auto& entry : recent()) {
            if (entry.type == type && *entry.key == key) return entry.closure;
        }
        return nullptr;
    }

    static const KeySet& of(const KVOObservable& object, const std::string& key) {
        static auto* instance = new DependencyClosures;  // used until exit, by any thread
        const auto& [name, closure] = instance->lookUp(object, key);
        if (auto& entries = recent(); entries.size() < kMaxRecent)
            entries.push_back({&typeid(object), &name, &closure});
        return closure;
    }

  private:
    using Closures = std::map<std::string, KeySet, std::less<>>;

    // Points into the shared map, whose nodes stay put and are never changed once made.
    struct Recent {
        const std::type_info* type;
        const std::string* key;
        const KeySet* closure;
    };
    static constexpr size_t kMaxRecent = 64;  // classes times keys a thread uses; past that, the shared map
    static std::vector<Recent>& recent() {
        thread_local std::vector<Recent> entries;
        return entries;
    }

    const Closures::value_type& lookUp(const KVOObservable& object, const std::string& key) {
        const std::type_index type(typeid(object));
        {
            std::lock_guard lock(mutex_);
            auto& ofClass = closures_[type];
            if (auto known = ofClass.find(key); known != ofClass.end()) return *known;
        }
        // Worked out with no lock held: the class's answer is its own code.
        auto closure = dependencyClosure(object, key);
        std::lock_guard lock(mutex_);
        return *closures_[type].try_emplace(key, std::move(closure)).first;
    }

    std::mutex mutex_;
    std::unordered_map<std::type_index, Closures> closures_;
};

// Room made at the first registration: an object is mostly observed for a few keys at once.
constexpr size_t kMinRegistrations = 4;

}  // namespace

struct KVOObservable::State {
    std::mutex mutex;
    Token nextToken = 1;
    std::vector<RegistrationPtr> registrations;  // registration order
    std::vector<ChangePtr> pending;

    bool resolved = true;  // every registration knows the keys it depends on

    // Under `lock`: makes every registration know the keys it depends on. A closure this thread has not used
    // yet is asked of the class with the lock let go for a while.
    void resolve(std::unique_lock<std::mutex>& lock, const KVOObservable& object) {
        while (!resolved) {
            RegistrationPtr unknown;
            for (const auto& r : registrations) {
                if (!r->dependsOn) r->dependsOn = DependencyClosures::known(object, r->key);
                if (!r->dependsOn) {
                    unknown = r;
                    break;
                }
            }
            if (!unknown) {
                resolved = true;
                break;
            }
            lock.unlock();
            const KeySet* closure = &DependencyClosures::of(object, unknown->key);
            lock.lock();
            unknown->dependsOn = closure;
        }
    }

    // Under the lock: the keys a change of `change.key` touches, the key itself first. Tells whether an
    // observer of one of them may want its old value or a prior notice.
    bool collectAffected(PendingChange& change) const {
        constexpr auto kBefore = KVOOptions::Old | KVOOptions::Prior;
        bool asksBefore = false;
        auto& affected = change.affected;
        affected.clear();
        affected.emplace_back();
        for (const auto& r : registrations) {
            if (r->key == change.key) {
                if (!affected[0].holder) affected[0].holder = r;
            } else if (r->dependsOn->empty() || !r->dependsOn->contains(change.key)) {
                continue;
            } else if (std::none_of(affected.begin() + 1, affected.end(),
                                    [&](const auto& a) { return a.holder->key == r->key; })) {
                affected.push_back({r, std::nullopt, false});
            }
            asksBefore = asksBefore || (r->options & kBefore);
        }
        // Dependent keys are told in the order of their names.
        if (affected.size() > 2)
            std::sort(affected.begin() + 1, affected.end(),
                      [](const auto& a, const auto& b) { return a.holder->key < b.holder->key; });
        return asksBefore;
    }

    // Under the lock: takes the record of this thread's latest will-change of `key`; null when there is none.
    ChangePtr takePending(std::string_view key) {
        const auto self = std::this_thread::get_id();
        auto it = std::find_if(pending.rbegin(), pending.rend(),
                               [&](const auto& p) { return p->thread == self && p->key == key; });
        if (it == pending.rend()) return nullptr;
        ChangePtr change = std::move(*it);
        pending.erase(std::next(it).base());
        return change;
    }

    // Under the lock: adds the observers of key `affected` of `change` to `observers`, dropping the
    // registrations of destroyed observers on the way; they go to `dropped`, to be released once the lock
    // is let go.
    void collectObservers(const PendingChange& change, size_t affected, Batch& observers,
                          std::vector<RegistrationPtr>& dropped) {
        const std::string& name = change.name(affected);
        for (auto it = registrations.begin(); it != registrations.end();) {
            if ((*it)->isDead()) {
                dropped.push_back(std::move(*it));
                it = registrations.erase(it);
                continue;
            }
            if ((*it)->key == name) observers.add(*it, affected);
            ++it;
        }
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

KVOObservable::Token KVOObservable::addObserver(std::weak_ptr<void> observer, std::string key,
                                                KVOOptions options, Callback callback) {
    auto registration = std::make_shared<Registration>();
    registration->key = std::move(key);
    registration->options = options;
    registration->owned = !isEmpty(observer);
    registration->observer = std::move(observer);
    registration->callback = std::move(callback);
    {
        std::lock_guard lock(kvo_->mutex);
        registration->token = kvo_->nextToken++;
        auto& list = kvo_->registrations;
        if (list.empty()) list.reserve(kMinRegistrations);
        list.push_back(registration);
        kvo_->resolved = false;
    }
    if (options & KVOOptions::Initial) {
        KVOChange change{this, registration->key, std::nullopt, std::nullopt, false};
        if (options & KVOOptions::New) change.newValue = valueForKey(registration->key);
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

void KVOObservable::willChangeValueForKey(std::string_view key) {
    ChangePtr record = newChange(key);
    PendingChange& change = *record;
    Batch priors;  // observers asking for prior notices
    bool wantsOld = false;
    {
        std::unique_lock lock(kvo_->mutex);
        kvo_->resolve(lock, *this);
        const bool asksBefore = kvo_->collectAffected(change);
        for (size_t i = 0; asksBefore && i < change.affected.size(); ++i) {
            const std::string& name = change.name(i);
            for (const auto& r : kvo_->registrations) {
                if (r->key != name || r->isDead()) continue;
                if (r->options & KVOOptions::Old) change.affected[i].wantsOld = wantsOld = true;
                if (r->options & KVOOptions::Prior) priors.add(r, i);
            }
        }
        // With no old value to take, the change is under way at once (and its record is not used here again).
        if (!wantsOld) kvo_->pending.push_back(std::move(record));
    }
    if (wantsOld) {
        for (size_t i = 0; i < change.affected.size(); ++i) {
            if (change.affected[i].wantsOld) change.affected[i].old = valueForKey(change.name(i));
        }
        for (size_t i = 0; i < priors.size(); ++i) {
            auto& prior = priors[i];
            if (prior.registration->options & KVOOptions::Old)
                prior.value = change.affected[prior.affected].old.value_or(Value());
        }
        std::lock_guard lock(kvo_->mutex);
        kvo_->pending.push_back(std::move(record));
    }
    for (size_t i = 0; i < priors.size(); ++i) {
        Registration& observer = *priors[i].registration;
        KVOChange notice{this, observer.key, std::move(priors[i].value), std::nullopt, true};
        notify(observer, notice);
    }
}

void KVOObservable::didChangeValueForKey(std::string_view key) {
    ChangePtr change;
    size_t keys = 1;                       // the keys the change touches, known once its record is taken
    std::vector<RegistrationPtr> dropped;  // released with no lock held
    for (size_t i = 0; i < keys; ++i) {
        Batch observers;
        {
            std::unique_lock lock(kvo_->mutex);
            if (!change) change = kvo_->takePending(key);
            if (!change) {
                // A did-change without its will-change: report the change, without old values.
                change = newChange(key);
                kvo_->resolve(lock, *this);
                kvo_->collectAffected(*change);
            }
            keys = change->affected.size();
            // Keys nobody observes are passed over under the same lock: no callback ran in between.
            for (; i < keys && observers.size() == 0; ++i)
                kvo_->collectObservers(*change, i, observers, dropped);
        }
        if (observers.size() == 0) break;
        const size_t told = --i;
        const std::string& name = change->name(told);
        std::optional<Value> current;
        if (observers.anyWants(KVOOptions::New)) current = valueForKey(name);
        const auto& old = change->affected[told].old;
        for (size_t o = 0; o < observers.size(); ++o) {
            Registration& observer = *observers[o].registration;
            KVOChange notice{this, observer.key, std::nullopt, std::nullopt, false};
            if (observer.options & KVOOptions::Old) notice.oldValue = old.value_or(Value());
            if (observer.options & KVOOptions::New) notice.newValue = current;
            notify(observer, notice);
        }
    }
    recycle(std::move(change));
}
