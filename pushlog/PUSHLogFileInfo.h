// One log file on disk: its path, name, attributes, sizes and dates, and its archived mark.
//
// Values are read from the file system on first use and kept until `reset` (the size is kept only once it
// is not 0). A record is used by one thread at a time.
//
// The creation date is the file's birth time where the file system records one; elsewhere it is the time
// written in the file's name, never the modification time, so that appending to an old file does not make
// it look new.
//
// The archived mark is the extended attribute "push.log.archived" (in the "user." namespace). Where the
// file system refuses extended attributes the mark is a cleared owner-write bit instead, which also
// survives restarts and renames; a file carrying either mark is archived.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"

inline constexpr const char* PUSHLogFileArchivedAttributeName = "push.log.archived";

class PUSHLogFileInfo;
using PUSHLogFileInfoPtr = std::shared_ptr<PUSHLogFileInfo>;

class PUSHLogFileInfo {
  public:
    static PUSHLogFileInfoPtr logFileWithPath(std::string filePath);
    // A record whose attributes were just read by the caller (a directory listing).
    static PUSHLogFileInfoPtr logFileWithPath(std::string filePath, FileAttributes attributes);

    const std::string& filePath() const { return filePath_; }
    // Nothing when the file cannot be read.
    const std::optional<FileAttributes>& fileAttributes();
    const std::string& fileName();
    // See the header comment; nothing when neither the file system nor the name tells.
    std::optional<Date> creationDate();
    std::optional<Date> modificationDate();
    uint64_t fileSize();
    // Seconds since the creation date on the platform clock (0 when the date is unknown).
    double age();
    // The clash number in the file's name: 1 for "<app> <date>.log", n for "<app> <date> n.log".
    unsigned long clashNumber();
    std::string description();

    bool isArchived();
    void setIsArchived(bool archived);
    // Sets the archived mark through an open descriptor, so that a file renamed or deleted since it was
    // opened is still the one marked. `fileName` is only for messages.
    static void markArchived(int fd, const std::string& fileName);

    void reset();
    // Renames the file within its directory, replacing a file of that name. The record follows the new
    // path even when the move fails (the failure is printed).
    void renameFile(const std::string& newName);

    bool hasExtendedAttributeWithName(const std::string& name);
    void addExtendedAttributeWithName(const std::string& name);
    void removeExtendedAttributeWithName(const std::string& name);

    bool isEqual(const PUSHLogFileInfo& other) const { return filePath_ == other.filePath_; }
    // Negative when this record comes first: the later creation date first; equal dates by the later
    // clash number, then by name. Unknown dates go last.
    int reverseCompareByCreationDate(PUSHLogFileInfo& other);
    int reverseCompareByModificationDate(PUSHLogFileInfo& other);

    // The time in a log file name ("<app> 2016-03-01 08-05.log" or "... 08-05 2.log"), when it has one.
    static std::optional<Date> dateInFileName(const std::string& fileName);

  private:
    explicit PUSHLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

    std::string filePath_;
    bool attributesRead_ = false;
    std::optional<FileAttributes> fileAttributes_;
    std::optional<std::string> fileName_;
    std::optional<std::optional<Date>> creationDate_;
    std::optional<std::optional<Date>> modificationDate_;
    uint64_t fileSize_ = 0;
};
