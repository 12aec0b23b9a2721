#include "platform/asl/ASL.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/Sandbox.h"

namespace {

std::string sanitisedFacility(const std::string& facility) {
    std::string name = facility.empty() ? "user" : facility;
    for (char& c : name) {
        if (c == '/' || c == '\0' || static_cast<unsigned char>(c) < 0x20) c = '_';
    }
    if (name[0] == '.') name[0] = '_';
    return name;
}

std::optional<long double> asNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long double value = std::strtold(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

template <class T>
bool compareBy(const T& a, const T& b, ASLQuery::Op op) {
    switch (op) {
        case ASLQuery::Op::Equal:
            return a == b;
        case ASLQuery::Op::NotEqual:
            return a != b;
        case ASLQuery::Op::Greater:
            return a > b;
        case ASLQuery::Op::GreaterEqual:
            return a >= b;
        case ASLQuery::Op::Less:
            return a < b;
        case ASLQuery::Op::LessEqual:
            return a <= b;
    }
    return false;
}

std::optional<ASLMessage> parseRecord(const std::string& line) {
    nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    ASLMessage message;
    for (auto it = json.begin(); it != json.end(); ++it) {
        if (!it.value().is_string()) return std::nullopt;
        message.set(it.key(), it.value().get<std::string>());
    }
    if (!message.get(ASL_KEY_MSG_ID)) return std::nullopt;
    return message;
}

// An id too large for 64 bits counts as the largest: no id is left after it, rather than a restart at 0.
uint64_t recordId(const ASLMessage& message) {
    auto text = message.get(ASL_KEY_MSG_ID);
    uint64_t id = 0;
    if (text &&
        std::from_chars(text->data(), text->data() + text->size(), id).ec == std::errc::result_out_of_range)
        id = UINT64_MAX;
    return id;
}

// The records in `text` (one per line) that match `query`; lines that are not records are counted.
void collectRecords(const std::string& text, const ASLQuery& query, std::vector<ASLMessage>& found,
                    size_t& skipped) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) {
            auto record = parseRecord(text.substr(start, end - start));
            if (!record) {
                ++skipped;
            } else if (query.matches(*record)) {
                found.push_back(std::move(*record));
            }
        }
        start = end + 1;
    }
}

// An fd holding an flock for its lifetime.
class LockedFile {
  public:
    LockedFile(const std::string& path, int flags, int lockOp) {
        fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
        if (fd_ < 0) return;
        while (::flock(fd_, lockOp) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~LockedFile() {
        if (fd_ >= 0) ::close(fd_);  // closing drops the lock
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// Reads [from, to): never more than the file held when we looked, whatever the descriptor is.
bool readRange(int fd, off_t from, off_t to, std::string& out) {
    out.clear();
    char buffer[65536];
    for (off_t offset = from; offset < to;) {
        ssize_t n = ::pread(fd, buffer, size_t(std::min<off_t>(sizeof buffer, to - offset)), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, size_t(n));
        offset += n;
    }
    return true;
}

// The highest id in the file, reading the tail first and the whole file only when the tail holds none.
uint64_t lastIdInFile(int fd, off_t size) {
    for (off_t window = 65536;; window *= 4) {
        off_t from = size > window ? size - window : 0;
        std::string text;
        if (!readRange(fd, from, size, text)) return 0;
        uint64_t best = 0;
        size_t start = 0;
        if (from > 0) {  // the first piece may be the end of a line cut by the window
            size_t newline = text.find('\n');
            start = newline == std::string::npos ? text.size() : newline + 1;
        }
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) break;  // an unfinished last line holds no record
            if (auto record = parseRecord(text.substr(start, end - start)))
                best = std::max(best, recordId(*record));
            start = end + 1;
        }
        if (best > 0 || from == 0) return best;
    }
}

// A facility's store as this process holds it: the descriptor stays open between records and is opened
// again when the file at the path is another one (rotated or deleted by any writer).
struct StoreFile {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;  // as we left it; another size means another writer was here
    uint64_t lastId = 0;
    bool endsWithNewline = true;
};

std::mutex& storeMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<std::string, StoreFile>& storeFiles() {
    static auto* files = new std::map<std::string, StoreFile>;
    return *files;
}
// Directories made (or found) once, so that a record costs no directory check.
std::set<std::string>& readyDirectories() {
    static auto* directories = new std::set<std::string>;
    return *directories;
}

struct Observer {
    DispatchQueuePtr queue;
    std::function<void()> block;
    std::string directory;  // the store it listens to
};
std::mutex& observerMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<ASLStore::NotifyToken, Observer>& observers() {
    static auto* map = new std::map<ASLStore::NotifyToken, Observer>;
    return *map;
}
ASLStore::NotifyToken nextToken = 1;

void postChange(const std::string& directory) {
    std::vector<Observer> targets;
    {
        std::lock_guard lock(observerMutex());
        for (auto& [token, observer] : observers()) {
            if (observer.directory == directory) targets.push_back(observer);
        }
    }
    for (auto& observer : targets) observer.queue->async(observer.block);
}

// The watch on store directories: any writer's records (other processes included) reach the observers,
// one notification for each batch of records the kernel reports. A directory that goes away is forgotten,
// so that one made again at its path is watched again.
struct StoreWatch {
    std::mutex mutex;
    int fd = -1;
    std::map<int, std::string> directories;  // by watch
};
StoreWatch& storeWatch() {
    static auto* watch = new StoreWatch;  // its thread reads it until exit
    return *watch;
}

void watchMain(int fd) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        std::set<std::string> stored;
        for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += ssize_t(sizeof(inotify_event) + event->len);
            StoreWatch& w = storeWatch();
            std::lock_guard lock(w.mutex);
            auto it = w.directories.find(event->wd);
            if (it == w.directories.end()) continue;
            // Not a bare creation: nothing is in the file yet.
            if (event->mask & (IN_MODIFY | IN_MOVED_TO)) stored.insert(it->second);
            if (event->mask & IN_IGNORED) w.directories.erase(it);
        }
        for (const auto& directory : stored) postChange(directory);
    }
}

bool isWatched(const std::string& directory) {
    StoreWatch& w = storeWatch();
    std::lock_guard lock(w.mutex);
    return std::any_of(w.directories.begin(), w.directories.end(),
                       [&](const auto& d) { return d.second == directory; });
}

void watchDirectory(const std::string& directory) {
    if (isWatched(directory)) return;
    StoreWatch& w = storeWatch();
    std::lock_guard lock(w.mutex);
    if (w.fd < 0) {
        w.fd = inotify_init1(IN_CLOEXEC);
        if (w.fd < 0) return;  // observers then hear of this process's records only
        std::thread(watchMain, w.fd).detach();
    }
    const int watch = inotify_add_watch(w.fd, directory.c_str(), IN_MODIFY | IN_MOVED_TO);
    if (watch >= 0) w.directories[watch] = directory;
}

std::string olderGeneration(const std::string& path) {
    return path + ".1";
}

void closeStore(StoreFile& store) {
    if (store.fd >= 0) ::close(store.fd);
    store = StoreFile{-1, 0, 0, -1, store.lastId, true};
}

// Opens (or keeps) the store at `path` and locks it; false with errno set when it cannot be had.
bool openAndLock(const std::string& path, StoreFile& store) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (store.fd < 0) {
            store.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (store.fd < 0) return false;
        }
        while (::flock(store.fd, LOCK_EX) != 0) {
            if (errno != EINTR) return false;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(store.fd, &held) != 0) return false;
        if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            if (held.st_dev != store.device || held.st_ino != store.inode || held.st_size != store.size) {
                // New to us, or another writer was here: learn the last id and how the file ends.
                store.device = held.st_dev;
                store.inode = held.st_ino;
                store.size = held.st_size;
                uint64_t last = lastIdInFile(store.fd, held.st_size);
                if (held.st_size == 0) {
                    LockedFile older(olderGeneration(path), O_RDONLY, LOCK_SH);
                    struct stat info {};
                    if (older.fd() >= 0 && ::fstat(older.fd(), &info) == 0)
                        last = lastIdInFile(older.fd(), info.st_size);
                }
                // A file with records says where its ids are (they start again after they ran out); an
                // empty one goes on from the older generation, or from what we wrote before it was removed.
                store.lastId = held.st_size > 0 && last > 0 ? last : std::max(store.lastId, last);
                char byte = '\n';
                store.endsWithNewline =
                    held.st_size == 0 || (::pread(store.fd, &byte, 1, held.st_size - 1) == 1 && byte == '\n');
            }
            return true;
        }
        closeStore(store);  // replaced under us: the file at the path is the store now
    }
    errno = EAGAIN;
    return false;
}

// Moves a full store to its older generation (replacing the one before) and starts an empty one; ids go on.
bool rotate(const std::string& path, StoreFile& store) {
    if (::rename(path.c_str(), olderGeneration(path).c_str()) != 0) return false;
    const uint64_t lastId = store.lastId;
    closeStore(store);
    store.lastId = lastId;
    return openAndLock(path, store);
}

bool writeFully(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

void reportFailure(const std::string& what, const std::string& path, int error) {
    NSLog("ASLClient: " + what + " " + path + ": " + std::strerror(error));
}

}  // namespace

bool ASLMessage::set(const std::string& key, const std::string& value) {
    if (key.empty()) return false;
    entries_[key] = value;
    return true;
}

std::optional<std::string> ASLMessage::get(const std::string& key) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

void ASLQuery::add(std::string key, std::string value, Op op, Compare compare) {
    conditions_.push_back({std::move(key), std::move(value), op, compare});
}

bool ASLQuery::matches(const ASLMessage& message) const {
    for (const auto& condition : conditions_) {
        auto value = message.get(condition.key);
        if (!value) return false;
        if (condition.compare == Compare::Numeric) {
            auto a = asNumber(*value);
            auto b = asNumber(condition.value);
            if (!a || !b || !compareBy(*a, *b, condition.op)) return false;
        } else if (!compareBy(*value, condition.value, condition.op)) {
            return false;
        }
    }
    return true;
}

std::shared_ptr<ASLClient> ASLClient::open(const std::string& ident, const std::string& facility, uint32_t) {
    std::string sender = ident.empty() ? ProcessInfo::processName() : ident;
    return std::shared_ptr<ASLClient>(new ASLClient(std::move(sender), facility));
}

bool ASLClient::send(const ASLMessage& message) {
    const std::string path = ASLStore::pathForFacility(facility_);
    const std::string directory = std::filesystem::path(path).parent_path();

    nlohmann::json record = nlohmann::json::object();
    for (const auto& [key, value] : message.entries()) record[key] = value;
    double now = Clock::now().unixTime();
    double seconds = std::floor(now);
    record[ASL_KEY_TIME] = std::to_string(int64_t(seconds));
    record[ASL_KEY_TIME_NSEC] = std::to_string(int64_t((now - seconds) * 1e9));
    record[ASL_KEY_PID] = std::to_string(ProcessInfo::processIdentifier());
    record[ASL_KEY_UID] = std::to_string(::geteuid());
    record[ASL_KEY_SENDER] = ident_;
    record[ASL_KEY_FACILITY] = facility_;

    std::lock_guard lock(storeMutex());  // flock is per open file; threads of this process queue here
    if (!readyDirectories().count(directory)) {
        std::error_code ec;
        std::filesystem::create_directories(directory, ec);
        if (ec) {
            reportFailure("cannot create the directory of", path, ec.value());
            return false;
        }
        readyDirectories().insert(directory);
    }
    StoreFile& store = storeFiles()[path];
    if (!openAndLock(path, store)) {
        const int error = errno;
        closeStore(store);
        readyDirectories().erase(directory);  // perhaps removed: made again next time
        reportFailure("cannot open", path, error);
        return false;
    }
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0) ::flock(fd, LOCK_UN);
        }
    } unlock{store.fd};
    if (store.lastId == UINT64_MAX) {
        // The ids ran out: a new generation starts them again at 1, below every id the older one holds.
        if (store.size > 0 && !rotate(path, store)) {
            const int error = errno;
            closeStore(store);
            unlock.fd = -1;
            reportFailure("cannot start a new generation of", path, error);
            return false;
        }
        unlock.fd = store.fd;
        store.lastId = 0;
        NSLog("ASLClient: the message ids of " + path + " ran out; a new generation starts them again at 1");
    }
    record[ASL_KEY_MSG_ID] = std::to_string(store.lastId + 1);
    const std::string body = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (store.size > 0 && uint64_t(store.size) + body.size() + 1 > kASLStoreMaximumBytes) {
        // Still holding the full store's lock: no other writer rotates it a second time meanwhile.
        if (!rotate(path, store)) {
            const int error = errno;
            closeStore(store);  // closing drops the lock
            unlock.fd = -1;
            reportFailure("cannot rotate", path, error);
            return false;
        }
        unlock.fd = store.fd;
    }
    // A writer that died mid-line left it unfinished: ours starts on a line of its own.
    const std::string line = store.endsWithNewline ? body : "\n" + body;
    if (!writeFully(store.fd, line)) {
        int error = errno;
        if (::ftruncate(store.fd, store.size) != 0) store.size = -1;  // unknown now: read it next time
        reportFailure("cannot write to", path, error);
        return false;
    }
    store.size += off_t(line.size());
    store.lastId += 1;
    store.endsWithNewline = true;
    if (!isWatched(directory)) postChange(directory);
    return true;
}

namespace ASLStore {

std::string pathForFacility(const std::string& facility) {
    return Sandbox::home() + "/Library/Logs/asl/" + sanitisedFacility(facility) + ".log";
}

std::vector<ASLMessage> search(const std::string& facility, const ASLQuery& query, size_t* skippedLines) {
    std::vector<ASLMessage> found;
    size_t skipped = 0;
    const std::string path = pathForFacility(facility);
    for (const std::string& generation : {olderGeneration(path), path}) {
        LockedFile file(generation, O_RDONLY, LOCK_SH);
        std::string text;
        struct stat info {};
        const size_t first = found.size();
        if (file.fd() >= 0 && ::fstat(file.fd(), &info) == 0 && readRange(file.fd(), 0, info.st_size, text))
            collectRecords(text, query, found, skipped);
        // The older generation first: its ids may be the higher ones when the ids started again.
        std::stable_sort(found.begin() + long(first), found.end(),
                         [](const ASLMessage& a, const ASLMessage& b) { return recordId(a) < recordId(b); });
    }
    if (skippedLines) *skippedLines = skipped;
    return found;
}

std::string directory() {
    return std::filesystem::path(pathForFacility("x")).parent_path();
}

NotifyToken notifyRegister(DispatchQueuePtr queue, std::function<void()> block) {
    std::error_code ec;
    std::filesystem::create_directories(directory(), ec);
    watchDirectory(directory());
    std::lock_guard lock(observerMutex());
    NotifyToken token = nextToken++;
    observers()[token] = Observer{std::move(queue), std::move(block), directory()};
    return token;
}

void notifyCancel(NotifyToken token) {
    std::lock_guard lock(observerMutex());
    observers().erase(token);
}

}  // namespace ASLStore

namespace {

// Appends the whole lines of `path` from `offset` on to `text` when the file there is the one of `device`
// and `inode` (any file when `inode` is 0); answers the offset after them (and the file's identity), or
// nothing when the file is another one or cannot be read.
std::optional<off_t> readLinesFrom(const std::string& path, off_t offset, dev_t device, ino_t inode,
                                   dev_t* seenDevice, ino_t* seenInode, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::string read;
    std::optional<off_t> next;
    if (::fstat(fd, &info) == 0 && (inode == 0 || (info.st_dev == device && info.st_ino == inode))) {
        if (info.st_size < offset) offset = 0;  // cut back by someone: start again
        if (readRange(fd, offset, info.st_size, read)) {
            const size_t whole = read.rfind('\n') == std::string::npos ? 0 : read.rfind('\n') + 1;
            text.append(read, 0, whole);
            next = offset + off_t(whole);
            if (seenDevice) *seenDevice = info.st_dev;
            if (seenInode) *seenInode = info.st_ino;
        }
    }
    ::close(fd);
    return next;
}

}  // namespace

std::vector<ASLMessage> ASLStoreReader::readNew(const ASLQuery& query) {
    std::vector<ASLMessage> found;
    size_t skipped = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ASLStore::directory(), ec)) {
        const std::string path = entry.path();
        if (!path.ends_with(".log")) continue;
        Position& position = positions_[path];
        std::string text;
        if (position.inode != 0) {
            struct stat named {};
            if (::stat(path.c_str(), &named) == 0 &&
                (named.st_dev != position.device || named.st_ino != position.inode)) {
                // Rotated since: the rest of the file we were reading is the older generation now.
                readLinesFrom(olderGeneration(path), position.offset, position.device, position.inode,
                              nullptr, nullptr, text);
                position = Position{};
            }
        }
        dev_t device = 0;
        ino_t inode = 0;
        if (auto next = readLinesFrom(path, position.offset, 0, 0, &device, &inode, text)) {
            if (position.inode != 0 && (device != position.device || inode != position.inode)) {
                text.clear();  // rotated between our two looks: the next read takes it from the start
                position = Position{};
                continue;
            }
            position = Position{device, inode, *next};
        }
        collectRecords(text, query, found, skipped);
    }
    auto time = [](const ASLMessage& m) {
        auto number = [&](const char* key) {
            long long n = 0;
            if (auto text = m.get(key)) std::from_chars(text->data(), text->data() + text->size(), n);
            return n;
        };
        return std::make_pair(number(ASL_KEY_TIME), number(ASL_KEY_TIME_NSEC));
    };
    std::stable_sort(found.begin(), found.end(),
                     [&](const ASLMessage& a, const ASLMessage& b) { return time(a) < time(b); });
    return found;
}
