// The system log: a small store of key-value records, one file per facility.
//
// A client opened for a facility sends messages; each stored record gets a message id (rising by one per
// record within a facility, across processes and generations; unique within the store: when the ids run
// out, a new generation starts them again at 1, reported once), the time, the sender's pid and name, and the
// facility. The file lives at <sandbox home>/Library/Logs/asl/<facility>.log, one JSON object per line,
// written under flock(2) so that other processes may read and write it too. The process keeps the file open
// between records (opening it again when another writer replaced it) and makes the directory once. A store
// that would pass kASLStoreMaximumBytes becomes the older generation "<facility>.log.1" (replacing the one
// before) and a new one starts, so the store holds at most about twice that. A failed write (a full disk, a
// read-only directory) is reported on the developer console and the send answers false; the file never keeps
// half a record, and a record that follows half a line of a writer that died starts on a line of its own.
//
// Searching returns the records of both generations that meet every condition of a query: the older
// generation's first, each in id order.
// Observers hear kASLNotificationName after records are stored, by any writer: a watch on the store's
// directory reports them (this process's own records only, should the watch be refused).
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/DispatchQueue.h"

inline constexpr const char* ASL_KEY_TIME = "Time";
inline constexpr const char* ASL_KEY_TIME_NSEC = "TimeNanoSec";
inline constexpr const char* ASL_KEY_HOST = "Host";
inline constexpr const char* ASL_KEY_SENDER = "Sender";
inline constexpr const char* ASL_KEY_FACILITY = "Facility";
inline constexpr const char* ASL_KEY_PID = "PID";
inline constexpr const char* ASL_KEY_UID = "UID";
inline constexpr const char* ASL_KEY_LEVEL = "Level";
inline constexpr const char* ASL_KEY_MSG = "Message";
inline constexpr const char* ASL_KEY_READ_UID = "ReadUID";
inline constexpr const char* ASL_KEY_MSG_ID = "ASLMessageID";

inline constexpr const char* kASLNotificationName = "com.apple.system.logger.message";
inline constexpr uint64_t kASLStoreMaximumBytes = 4 * 1024 * 1024;

// One record: keys and texts. Setting an empty key fails; values may hold any UTF-8 text.
class ASLMessage {
  public:
    bool set(const std::string& key, const std::string& value);
    std::optional<std::string> get(const std::string& key) const;
    const std::map<std::string, std::string>& entries() const { return entries_; }

  private:
    std::map<std::string, std::string> entries_;
};

// Search conditions; a record matches when it meets all of them. Numeric conditions compare the texts as
// decimal numbers (a record whose value is missing or not a number fails them).
class ASLQuery {
  public:
    enum class Op { Equal, NotEqual, Greater, GreaterEqual, Less, LessEqual };
    enum class Compare { Text, Numeric };

    void add(std::string key, std::string value, Op op, Compare compare = Compare::Text);
    bool matches(const ASLMessage& message) const;

  private:
    struct Condition {
        std::string key;
        std::string value;
        Op op;
        Compare compare;
    };
    std::vector<Condition> conditions_;
};

class ASLClient {
  public:
    // `ident` names the sender (the process name when empty). Never fails; a facility that is not a plain
    // file name is stored under a sanitised name.
    static std::shared_ptr<ASLClient> open(const std::string& ident, const std::string& facility,
                                           uint32_t options = 0);

    // Stores the message with the standard keys added. False when it could not be stored (then a line
    // beginning with "ASLClient" is on the developer console).
    bool send(const ASLMessage& message);

    const std::string& facility() const { return facility_; }

  private:
    ASLClient(std::string ident, std::string facility)
        : ident_(std::move(ident)), facility_(std::move(facility)) {}
    std::string ident_;
    std::string facility_;
};

namespace ASLStore {
// The file that holds a facility's records under the current sandbox home, and the directory of them all.
std::string pathForFacility(const std::string& facility);
std::string directory();
// The records of `facility` that match `query`, in id order. Lines that are not records are skipped and
// counted in `skippedLines` when given.
std::vector<ASLMessage> search(const std::string& facility, const ASLQuery& query,
                               size_t* skippedLines = nullptr);

using NotifyToken = uint64_t;
// Runs `block` asynchronously on `queue` after records are stored in the store of the current sandbox
// home (kASLNotificationName): any writer's, one call for each batch the watch reports.
NotifyToken notifyRegister(DispatchQueuePtr queue, std::function<void()> block);
void notifyCancel(NotifyToken token);
}  // namespace ASLStore

// Reads what writers append to the store, across every facility: the first call returns what the store
// holds, each later one only the records stored since the call before (a rotation in between included),
// in time order. Only whole lines are taken; a line being written is read when it is finished.
class ASLStoreReader {
  public:
    std::vector<ASLMessage> readNew(const ASLQuery& query);

  private:
    struct Position {
        dev_t device = 0;
        ino_t inode = 0;
        off_t offset = 0;
    };
    std::map<std::string, Position> positions_;  // by file
};
