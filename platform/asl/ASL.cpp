#include "platform/asl/ASL.h"

#include <fcntl.h>
#include <sys/file.h>
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
    case ASLQuery::Op::Equal: return a == b;
    case ASLQuery::Op::NotEqual: return a != b;
    case ASLQuery::Op::Greater: return a > b;
    case ASLQuery::Op::GreaterEqual: return a >= b;
    case ASLQuery::Op::Less: return a < b;
    case ASLQuery::Op::LessEqual: return a <= b;
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

uint64_t recordId(const ASLMessage& message) {
    auto text = message.get(ASL_KEY_MSG_ID);
    uint64_t id = 0;
    if (text) std::from_chars(text->data(), text->data() + text->size(), id);
    return id;
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
            if (auto record = parseRecord(text.substr(start, end - start))) best = std::max(best, recordId(*record));
            start = end + 1;
        }
        if (best > 0 || from == 0) return best;
    }
}

// What this process last knew of each file, so that it need not read the file to find the next id.
struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    uint64_t lastId = 0;
};

std::mutex& storeMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<std::string, FileState>& fileStates() {
    static auto* states = new std::map<std::string, FileState>;
    return *states;
}

struct Observer {
    DispatchQueuePtr queue;
    std::function<void()> block;
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

void postChange() {
    std::vector<Observer> targets;
    {
        std::lock_guard lock(observerMutex());
        for (auto& [token, observer] : observers()) targets.push_back(observer);
    }
    for (auto& observer : targets) observer.queue->async(observer.block);
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
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) {
        reportFailure("cannot create the directory of", path, ec.value());
        return false;
    }

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
    LockedFile file(path, O_RDWR | O_CREAT | O_APPEND, LOCK_EX);
    if (file.fd() < 0) {
        reportFailure("cannot open", path, errno);
        return false;
    }
    struct stat info {};
    if (::fstat(file.fd(), &info) != 0) {
        reportFailure("cannot stat", path, errno);
        return false;
    }
    FileState& known = fileStates()[path];
    if (known.device != info.st_dev || known.inode != info.st_ino || known.size != info.st_size) {
        known = FileState{info.st_dev, info.st_ino, info.st_size, lastIdInFile(file.fd(), info.st_size)};
    }
    record[ASL_KEY_MSG_ID] = std::to_string(known.lastId + 1);

    std::string line;
    // A line left unfinished by a writer that died is closed first, so that ours stays readable.
    if (info.st_size > 0) {
        char last = 0;
        if (::pread(file.fd(), &last, 1, info.st_size - 1) == 1 && last != '\n') line = "\n";
    }
    line += record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    if (!writeFully(file.fd(), line)) {
        int error = errno;
        if (::ftruncate(file.fd(), info.st_size) != 0) known.size = -1;  // unknown now: read it next time
        reportFailure("cannot write to", path, error);
        return false;
    }
    known.size = info.st_size + off_t(line.size());
    known.lastId += 1;
    postChange();
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
    LockedFile file(path, O_RDONLY, LOCK_SH);
    std::string text;
    struct stat info {};
    if (file.fd() >= 0 && ::fstat(file.fd(), &info) == 0 && readRange(file.fd(), 0, info.st_size, text)) {
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
    std::stable_sort(found.begin(), found.end(),
                     [](const ASLMessage& a, const ASLMessage& b) { return recordId(a) < recordId(b); });
    if (skippedLines) *skippedLines = skipped;
    return found;
}

NotifyToken notifyRegister(DispatchQueuePtr queue, std::function<void()> block) {
    std::lock_guard lock(observerMutex());
    NotifyToken token = nextToken++;
    observers()[token] = Observer{std::move(queue), std::move(block)};
    return token;
}

void notifyCancel(NotifyToken token) {
    std::lock_guard lock(observerMutex());
    observers().erase(token);
}

}  // namespace ASLStore
