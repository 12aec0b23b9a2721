#include "platform/foundation/KeyValueObserving.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// An observable with two stored keys, one derived key and one derived from the derived one.
class Person : public KVOObservable {
  public:
    void setFirst(std::string value) { set("first", first_, std::move(value)); }
    void setLast(std::string value) { set("last", last_, std::move(value)); }

    Value valueForKey(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        if (key == "first") return first_;
        if (key == "last") return last_;
        if (key == "fullName") return first_ + " " + last_;
        if (key == "greeting") return "Hello " + first_ + " " + last_;
        return Value();
    }
    std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const override {
        if (key == "fullName") return {"first", "last"};
        if (key == "greeting") return {"fullName"};
        if (key == "ping") return {"pong"};  // a cycle must not hang the walk
        if (key == "pong") return {"ping"};
        return {};
    }

  private:
    void set(const std::string& key, std::string& field, std::string value) {
        willChangeValueForKey(key);
        {
            std::lock_guard lock(mutex_);
            field = std::move(value);
        }
        didChangeValueForKey(key);
    }
    mutable std::mutex mutex_;
    std::string first_ = "Ada", last_ = "Lovelace";
};

// What an observer saw, as text: "key old->new", "prior key old", "initial key new".
struct Recorder {
    std::vector<std::string> seen;
    KVOObservable::Callback callback() {
        return [this](const KVOChange& change) {
            auto text = [](const std::optional<Value>& v) { return v ? v->stringValue() : std::string("-"); };
            if (change.isPrior) {
                seen.push_back("prior " + change.key + " " + text(change.oldValue));
            } else {
                seen.push_back(change.key + " " + text(change.oldValue) + "->" + text(change.newValue));
            }
        };
    }
};

TEST(KeyValueObserving, ReportsWhatTheOptionsAskFor) {
    const std::pair<KVOOptions, std::vector<std::string>> cases[] = {
        {KVOOptions::None, {"first -->-"}},
        {KVOOptions::New, {"first -->Grace"}},
        {KVOOptions::Old, {"first Ada->-"}},
        {KVOOptions::New | KVOOptions::Old, {"first Ada->Grace"}},
        {KVOOptions::New | KVOOptions::Initial, {"first -->Ada", "first -->Grace"}},
        {KVOOptions::Old | KVOOptions::Prior, {"prior first Ada", "first Ada->-"}},
    };
    for (const auto& [options, expected] : cases) {
        Person person;
        Recorder recorder;
        person.addObserver({}, "first", options, recorder.callback());
        person.setFirst("Grace");
        EXPECT_EQ(recorder.seen, expected) << unsigned(options);
    }
}

TEST(KeyValueObserving, DependentKeysFireWithTheirOwnValues) {
    Person person;
    Recorder recorder;
    const auto both = KVOOptions::New | KVOOptions::Old;
    person.addObserver({}, "greeting", both, recorder.callback());
    person.addObserver({}, "fullName", both, recorder.callback());
    person.addObserver({}, "last", both, recorder.callback());
    person.setFirst("Grace");
    person.setLast("Hopper");
    EXPECT_EQ(recorder.seen,
              (std::vector<std::string>{"fullName Ada Lovelace->Grace Lovelace",
                                        "greeting Hello Ada Lovelace->Hello Grace Lovelace",
                                        "last Lovelace->Hopper", "fullName Grace Lovelace->Grace Hopper",
                                        "greeting Hello Grace Lovelace->Hello Grace Hopper"}));
}

// A level with a percentage derived from it and a label derived from that; counts how often it is asked
// for dependencies.
class Gauge : public KVOObservable {
  public:
    static inline std::atomic<int> asked{0};
    void setLevel(int64_t level) {
        willChangeValueForKey("level");
        level_ = level;
        didChangeValueForKey("level");
    }
    Value valueForKey(const std::string& key) const override {
        if (key == "level" || key == "percent") return Value(level_ * (key == "percent" ? 10 : 1));
        if (key == "label") return Value(std::to_string(level_ * 10) + "%");
        return Value();
    }
    std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const override {
        ++asked;
        if (key == "percent") return {"level"};
        if (key == "label") return {"percent"};
        return {};
    }

  private:
    int64_t level_ = 0;
};

// However many instances and changes, a class is asked once per key it is walked through.
TEST(KeyValueObserving, DependenciesAreAskedOncePerClassAndKey) {
    std::vector<std::string> labels;
    int levels = 0;
    for (int instance = 0; instance < 3; ++instance) {
        Gauge gauge;
        gauge.addObserver({}, "label", KVOOptions::New,
                          [&](const KVOChange& change) { labels.push_back(change.newValue->stringValue()); });
        gauge.addObserver({}, "level", KVOOptions::New, [&](const KVOChange&) { ++levels; });
        for (int64_t level = 1; level <= 4; ++level) gauge.setLevel(level);
    }
    EXPECT_EQ(levels, 12);
    const std::vector<std::string> once{"10%", "20%", "30%", "40%"};
    std::vector<std::string> expected;
    for (int instance = 0; instance < 3; ++instance)
        expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(Gauge::asked.load(), 4);  // label, percent and level for the label; level for itself
}

// Another class observed under the same key names with other dependencies: each class keeps its own answer,
// however the two are interleaved on one thread.
class Meter : public KVOObservable {
  public:
    void setLevel(int64_t level) {
        willChangeValueForKey("level");
        level_ = level;
        didChangeValueForKey("level");
    }
    void setScale(int64_t scale) {
        willChangeValueForKey("scale");
        scale_ = scale;
        didChangeValueForKey("scale");
    }
    Value valueForKey(const std::string& key) const override {
        if (key == "label") return Value(std::to_string(level_) + "/" + std::to_string(scale_));
        return Value();
    }
    std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const override {
        if (key == "label") return {"scale"};  // unlike a Gauge's label, not affected by the level
        return {};
    }

  private:
    int64_t level_ = 0, scale_ = 1;
};

TEST(KeyValueObserving, ClassesSharingKeyNamesKeepTheirOwnDependencies) {
    std::vector<std::string> seen;
    auto record = [&](const char* who) {
        return [&seen, who](const KVOChange& change) {
            seen.push_back(std::string(who) + " " + change.newValue->stringValue());
        };
    };
    for (int round = 0; round < 2; ++round) {  // the second round finds both answers already known
        Gauge gauge;
        Meter meter;
        gauge.addObserver({}, "label", KVOOptions::New, record("gauge"));
        meter.addObserver({}, "label", KVOOptions::New, record("meter"));
        gauge.setLevel(2);
        meter.setLevel(2);  // no notice: the meter's label does not depend on its level
        meter.setScale(4);
        gauge.setLevel(3);
    }
    const std::vector<std::string> once{"gauge 20%", "meter 2/4", "gauge 30%"};
    EXPECT_EQ(seen, (std::vector<std::string>{once[0], once[1], once[2], once[0], once[1], once[2]}));
}

// Observers of the keys a change touches, added or removed by a callback for an earlier key of the same
// change, are told or not told accordingly.
TEST(KeyValueObserving, ObserversChangedByCallbacksMidChangeAreHonoured) {
    Person person;
    Recorder recorder;
    person.addObserver({}, "fullName", KVOOptions::New, recorder.callback());
    const auto greeting = person.addObserver({}, "greeting", KVOOptions::New,
                                             [&](const KVOChange&) { recorder.seen.push_back("removed"); });
    bool once = false;
    person.addObserver({}, "first", KVOOptions::None, [&](const KVOChange&) {
        if (std::exchange(once, true)) return;
        person.addObserver({}, "fullName", KVOOptions::New, recorder.callback());
        person.removeObserver(greeting);
    });
    person.setFirst("Grace");
    EXPECT_EQ(recorder.seen,
              (std::vector<std::string>{"fullName -->Grace Lovelace", "fullName -->Grace Lovelace"}));
}

// Also: cyclic dependencies end, and unknown keys are null.
TEST(KeyValueObserving, ManualNoticesNestAndUnbalancedDidChangeStillReports) {
    Person person;
    Recorder recorder;
    person.addObserver({}, "ping", KVOOptions::New | KVOOptions::Old, recorder.callback());
    person.willChangeValueForKey("pong");
    person.didChangeValueForKey("pong");
    person.addObserver({}, "first", KVOOptions::New | KVOOptions::Old, recorder.callback());
    person.willChangeValueForKey("first");
    person.setFirst("Grace");  // a nested change of the same key
    person.setFirst("Marie");
    person.didChangeValueForKey("first");
    person.didChangeValueForKey("first");  // no will-change: no old value
    EXPECT_EQ(recorder.seen,
              (std::vector<std::string>{"ping <null>-><null>", "first Ada->Grace", "first Grace->Marie",
                                        "first Ada->Marie", "first <null>->Marie"}));
}

// A change nobody observes takes a shortcut; whatever is registered afterwards, even between the will- and
// the did-change, or only for a key depending on the changed one, must still hear of later changes.
TEST(KeyValueObserving, ObserversAddedAfterUnobservedChangesAreTold) {
    Person person;
    Recorder recorder;
    const auto both = KVOOptions::New | KVOOptions::Old;
    person.setFirst("Grace");  // nothing observed
    person.willChangeValueForKey("first");
    person.addObserver({}, "first", both, recorder.callback());  // no old value was taken
    person.didChangeValueForKey("first");
    auto greeting = person.addObserver({}, "greeting", both, recorder.callback());
    person.setLast("Hopper");  // "last" itself is unobserved; "greeting" depends on it through "fullName"
    person.removeObserver(greeting);
    person.setLast("Curie");
    EXPECT_EQ(recorder.seen, (std::vector<std::string>{"first <null>->Grace",
                                                       "greeting Hello Grace Lovelace->Hello Grace Hopper"}));
}

// Observers called for one change may make others; every observer of each change is still called once,
// with its own key and values, however many the nested changes notify.
TEST(KeyValueObserving, ChangesMadeFromCallbacksKeepEachChangesObservers) {
    Person person;
    std::vector<std::string> outer;
    int inner = 0;
    for (int i = 0; i < 3; ++i) {
        person.addObserver({}, "first", KVOOptions::New, [&, i](const KVOChange& change) {
            outer.push_back(std::to_string(i) + " " + change.key + " " + change.newValue->stringValue());
            if (i == 0) person.setLast("Hopper");
        });
    }
    for (int i = 0; i < 100; ++i) {
        person.addObserver({}, "fullName", KVOOptions::Prior | KVOOptions::Old, [&](const KVOChange& change) {
            if (change.key == "fullName" && change.oldValue) ++inner;
        });
    }
    person.setFirst("Grace");
    EXPECT_EQ(outer, (std::vector<std::string>{"0 first Grace", "1 first Grace", "2 first Grace"}));
    EXPECT_EQ(inner, 4 * 100);  // a prior notice and a change each, for "first" and for the nested "last"
}

TEST(KeyValueObserving, DestroyedOrRemovedObserversAreNeverCalled) {
    Person person;
    auto observer = std::make_shared<Recorder>();
    person.addObserver(observer, "first", KVOOptions::New, observer->callback());
    person.setFirst("Grace");
    EXPECT_EQ(observer->seen.size(), 1u);
    observer.reset();          // the callback captured a pointer that now dangles
    person.setFirst("Marie");  // ASan would flag a call
    // Removed observers are not called, even when removed from their own callback.
    std::vector<std::string> calls;
    KVOObservable::Token self = 0;
    self = person.addObserver({}, "first", KVOOptions::New, [&](const KVOChange&) {
        calls.push_back("self");
        person.removeObserver(self);
    });
    auto other =
        person.addObserver({}, "first", KVOOptions::New, [&](const KVOChange&) { calls.push_back("other"); });
    person.setFirst("Grace");
    person.removeObserver(other);
    person.setFirst("Ada");
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "other"}));
}

thread_local bool changing = false;  // set around each change the thread makes

TEST(KeyValueObserving, CallbacksRunOnTheChangingThreadUnderConcurrency) {
    Person person;
    std::atomic<int> steady{0}, elsewhere{0};
    person.addObserver({}, "fullName", KVOOptions::New, [&](const KVOChange& change) {
        if (!changing || !change.newValue || !change.newValue->isString()) ++elsewhere;
        ++steady;
    });
    constexpr int kThreads = 4, kChanges = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kChanges; ++i) {
                // A short-lived observer per change, added and removed while other threads change the object.
                auto token = person.addObserver({}, "first", KVOOptions::None, [&](const KVOChange&) {
                    if (!changing) ++elsewhere;
                });
                changing = true;
                person.setFirst("n" + std::to_string(t * 1000 + i));
                changing = false;
                person.removeObserver(token);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(steady.load(), kThreads * kChanges);
    EXPECT_EQ(elsewhere.load(), 0);
}

}  // namespace
