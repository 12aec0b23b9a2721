#include "platform/foundation/UserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Sandbox.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kSaveDelay = std::chrono::milliseconds(50);
constexpr const char* kFallbackBundleIdentifier = "com.quorvane.app";

// Set once the exit handler has run: from then on every change is saved at once.
std::atomic<bool> exiting{false};

// Why `value` cannot be stored, or "" when it can.
std::string unstorableReason(const Value& value, bool topLevel) {
    switch (value.kind()) {
        case Value::Kind::Null:
            return topLevel ? "" : "a null inside a container";
        case Value::Kind::Set:
            return "a set";
        case Value::Kind::Object:
            return "an object (" + value.description() + ")";
        case Value::Kind::Array:
            for (const auto& item : *value.asArray()) {
                if (auto reason = unstorableReason(item, false); !reason.empty()) return reason;
            }
            return "";
        case Value::Kind::Dictionary:
            for (const auto& [key, item] : *value.asDictionary()) {
                if (auto reason = unstorableReason(item, false); !reason.empty()) return reason;
            }
            return "";
        default:
            return "";
    }
}

bool writeAll(int fd, const Data& data) {
    size_t done = 0;
    while (done < data.length()) {
        ssize_t n = write(fd, data.bytes() + done, data.length() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Writes `data` to `path` atomically: a temporary file beside it, fsync, rename, fsync of the folder.
bool writeAtomically(const std::string& path, const Data& data, std::string* error) {
    const fs::path target(path);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    std::string temporary = path + ".tmp-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot create a temporary file in " + target.parent_path().string() + ": " +
                 std::strerror(errno);
        return false;
    }
    bool ok = writeAll(fd, data) && fsync(fd) == 0;
    const int writeErrno = errno;
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(ok ? errno : writeErrno);
        unlink(temporary.c_str());
        return false;
    }
    const int folder = open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

// Renames an unreadable store aside so that nothing is lost, and says so on the console.
void moveAside(const std::string& path, const std::string& reason) {
    const std::string stem = path + ".corrupt-" + std::to_string(long(std::time(nullptr)));
    std::string aside = stem;
    std::error_code ec;
    for (int n = 1; fs::exists(aside, ec) && n < 1000; ++n) aside = stem + "-" + std::to_string(n);
    if (rename(path.c_str(), aside.c_str()) == 0) {
        NSLog("NSUserDefaults: " + path + " could not be read (" + reason + "); moved it to " + aside +
              " and starting with empty defaults");
    } else {
        NSLog("NSUserDefaults: " + path + " could not be read (" + reason + ") nor moved aside (" +
              std::strerror(errno) + "); starting with empty defaults");
    }
}

Value::Dictionary load(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return {};
    std::vector<uint8_t> bytes;
    std::string reason;
    if (const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        uint8_t buffer[65536];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) reason = std::strerror(errno);
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        close(fd);
    } else {
        reason = std::strerror(errno);
    }
    if (reason.empty()) {
        NSErrorPtr error;
        auto plist =
            NSPropertyListSerialization::propertyListWithData(Data(std::move(bytes)), nullptr, &error);
        if (plist && plist->isDictionary()) return *plist->asDictionary();
        reason = error ? error->localizedDescription() : "the property list is not a dictionary";
    }
    moveAside(path, reason);
    return {};
}

}  // namespace

struct NSUserDefaults::Impl {
    explicit Impl(std::string filePath) : path(std::move(filePath)), values(load(path)) {}

    ~Impl() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        if (writer.joinable()) writer.join();
        save();
    }

    // Called after every change, with `mutex` held.
    void changedLocked() {
        ++generation;
        if (!writer.joinable()) writer = std::thread([this] { writerLoop(); });
        wake.notify_all();
    }

    bool needsSaveLocked() const { return generation != savedGeneration && generation != failedGeneration; }

    void writerLoop() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            wake.wait(lock, [&] { return stopping || needsSaveLocked(); });
            if (stopping) break;
            // Let a burst of changes settle into one write.
            wake.wait_for(lock, kSaveDelay, [&] { return stopping; });
            if (stopping) break;
            lock.unlock();
            save();
            lock.lock();
        }
    }

    // Writes the current values when they differ from the file's. One save at a time.
    bool save() {
        std::lock_guard saving(saveMutex);
        Value::Dictionary snapshot;
        uint64_t snapshotGeneration;
        {
            std::lock_guard lock(mutex);
            if (generation == savedGeneration) return true;
            snapshot = values;
            snapshotGeneration = generation;
        }
        NSErrorPtr error;
        std::string reason;
        auto data = NSPropertyListSerialization::dataWithPropertyList(
            Value(std::move(snapshot)), NSPropertyListSerialization::Format::Binary, &error);
        const bool ok = data ? writeAtomically(path, *data, &reason) : false;
        if (!data) reason = error ? error->localizedDescription() : "cannot encode the defaults";
        std::lock_guard lock(mutex);
        if (ok) {
            savedGeneration = snapshotGeneration;
        } else {
            failedGeneration = snapshotGeneration;  // tried again on the next change or synchronize
            NSLog("NSUserDefaults: could not save " + path + ": " + reason);
        }
        return ok;
    }

    const std::string path;
    mutable std::mutex mutex;
    Value::Dictionary values;
    uint64_t generation = 0, savedGeneration = 0, failedGeneration = 0;
    bool stopping = false;
    std::condition_variable wake;
    std::thread writer;  // started on the first change
    std::mutex saveMutex;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<NSUserDefaults> standard;
    std::vector<std::weak_ptr<NSUserDefaults::Impl>> live;  // saved by the exit handler
};

Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

void saveAllAtExit() {
    exiting = true;
    std::vector<std::shared_ptr<NSUserDefaults::Impl>> stores;
    {
        std::lock_guard lock(registry().mutex);
        for (const auto& weak : registry().live) {
            if (auto store = weak.lock()) stores.push_back(std::move(store));
        }
    }
    for (const auto& store : stores) store->save();
}

std::string standardPath() {
    std::string identifier = NSBundle::mainBundle()->bundleIdentifier();
    if (identifier.empty() || identifier.find('/') != std::string::npos || identifier.front() == '.') {
        identifier = kFallbackBundleIdentifier;
    }
    return (fs::path(Sandbox::preferencesDirectory()) / (identifier + ".plist")).string();
}

}  // namespace

NSUserDefaults::NSUserDefaults(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

NSUserDefaults::~NSUserDefaults() = default;

std::shared_ptr<NSUserDefaults> NSUserDefaults::create(const std::string& path) {
    static std::once_flag exitHandler;
    std::call_once(exitHandler, [] { std::atexit(saveAllAtExit); });
    auto impl = std::make_shared<Impl>(path);
    {
        std::lock_guard lock(registry().mutex);
        std::erase_if(registry().live, [](const auto& weak) { return weak.expired(); });
        registry().live.push_back(impl);
    }
    return std::shared_ptr<NSUserDefaults>(new NSUserDefaults(std::move(impl)));
}

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
    {
        std::lock_guard lock(registry().mutex);
        if (registry().standard) return registry().standard;
    }
    // Opened outside the registry's lock: `create` takes it, and the bundle and sandbox may log.
    auto opened = create(standardPath());
    std::lock_guard lock(registry().mutex);
    if (!registry().standard) registry().standard = std::move(opened);
    return registry().standard;
}

void NSUserDefaults::resetStandardUserDefaultsForTesting() {
    std::shared_ptr<NSUserDefaults> previous;
    {
        std::lock_guard lock(registry().mutex);
        previous = std::move(registry().standard);
    }
    if (previous) previous->synchronize();
}

const std::string& NSUserDefaults::path() const {
    return impl_->path;
}

std::optional<Value> NSUserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->values.find(key);
    if (it == impl_->values.end()) return std::nullopt;
    return it->second;
}

bool NSUserDefaults::setObject(const Value& value, const std::string& key) {
    if (auto reason = unstorableReason(value, true); !reason.empty()) {
        NSLog("NSUserDefaults: cannot store " + reason + " under \"" + key + "\"; the value was not stored");
        return false;
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (value.isNull()) {
            if (impl_->values.erase(key) == 0) return true;
        } else {
            impl_->values[key] = value;
        }
        impl_->changedLocked();
    }
    if (exiting) impl_->save();
    return true;
}

void NSUserDefaults::removeObjectForKey(const std::string& key) {
    setObject(Value(), key);
}

std::string NSUserDefaults::stringForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value && value->isString() ? *value->asString() : std::string();
}

bool NSUserDefaults::boolForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value && (value->isNumber() || value->isString()) && value->boolValue();
}

int64_t NSUserDefaults::integerForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value && (value->isNumber() || value->isString()) ? value->integerValue() : 0;
}

double NSUserDefaults::doubleForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value && (value->isNumber() || value->isString()) ? value->doubleValue() : 0;
}

Value::Dictionary NSUserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->values;
}

bool NSUserDefaults::synchronize() {
    return impl_->save();
}
