// The file manager (NSFileManager) over POSIX calls.
//
// Every method reports failure through its result (false / nullopt) and, when `error` is not null, an
// NSError: NSCocoaErrorDomain with NSFileNoSuchFileError (4), NSFileWriteNoPermissionError (513),
// NSFileWriteFileExistsError (516), NSFileWriteOutOfSpaceError (640) or NSFileWriteVolumeReadOnlyError
// (642), else NSPOSIXErrorDomain with the errno. The path is in the user info under NSFilePathErrorKey and
// the errno under NSUnderlyingErrorKey. Nothing throws. Safe to use from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

inline constexpr const char* NSFilePathErrorKey = "NSFilePath";
inline constexpr long NSFileNoSuchFileError = 4;
inline constexpr long NSFileWriteNoPermissionError = 513;
inline constexpr long NSFileWriteFileExistsError = 516;
inline constexpr long NSFileWriteOutOfSpaceError = 640;
inline constexpr long NSFileWriteVolumeReadOnlyError = 642;

enum class FileType { Regular, Directory, SymbolicLink, Other };

struct FileAttributes {
    FileType type = FileType::Other;
    uint64_t size = 0;
    // The birth time when the file system records one; otherwise the earlier of the status-change and
    // modification times, with `hasBirthTime` false so that callers can tell.
    Date creationDate;
    bool hasBirthTime = false;
    Date modificationDate;
    unsigned permissions = 0;  // the mode's permission bits, e.g. 0644
};

// What `setAttributes` changes; absent fields stay as they are.
struct FileAttributeChanges {
    std::optional<unsigned> permissions = std::nullopt;
    std::optional<Date> modificationDate = std::nullopt;
};

class NSFileManager {
  public:
    enum class Intermediates { No, Yes };
    enum class Atomically { No, Yes };

    static std::shared_ptr<NSFileManager> defaultManager();

    // With Intermediates::Yes, missing parents are created and an existing directory is success.
    bool createDirectoryAtPath(const std::string& path, Intermediates intermediates,
                               NSErrorPtr* error = nullptr);
    bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;
    // Entry names, sorted, without "." and "..".
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path,
                                                                      NSErrorPtr* error = nullptr) const;
    // Of the item itself (a symbolic link is not followed).
    std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                         NSErrorPtr* error = nullptr) const;
    bool setAttributes(const FileAttributeChanges& changes, const std::string& path,
                       NSErrorPtr* error = nullptr);

    // Extended attributes in the user namespace: "push.log.archived" is stored as "user.push.log.archived".
    std::optional<Data> extendedAttribute(const std::string& name, const std::string& path,
                                          NSErrorPtr* error = nullptr) const;
    bool setExtendedAttribute(const std::string& name, const Data& value, const std::string& path,
                              NSErrorPtr* error = nullptr);
    bool removeExtendedAttribute(const std::string& name, const std::string& path,
                                 NSErrorPtr* error = nullptr);
    // Names without the "user." prefix, sorted.
    std::optional<std::vector<std::string>> extendedAttributeNames(const std::string& path,
                                                                   NSErrorPtr* error = nullptr) const;

    // Never replaces an existing destination (NSFileWriteFileExistsError). Across file systems the item is
    // copied and the source removed only once the copy is complete.
    bool moveItemAtPath(const std::string& source, const std::string& destination,
                        NSErrorPtr* error = nullptr);
    // Copies files, directories (recursively) and symbolic links; never replaces an existing destination.
    bool copyItemAtPath(const std::string& source, const std::string& destination,
                        NSErrorPtr* error = nullptr);
    // Removes a file, a link or a whole directory tree.
    bool removeItemAtPath(const std::string& path, NSErrorPtr* error = nullptr);

    // Creates or replaces a file with `contents`. Atomically::Yes writes a temporary file beside it, syncs it
    // and renames it into place, so that readers see the old or the new contents, never a part.
    bool createFileAtPath(const std::string& path, const Data& contents, Atomically atomically,
                          NSErrorPtr* error = nullptr);
    std::optional<Data> contentsAtPath(const std::string& path, NSErrorPtr* error = nullptr) const;

    // Simulated file-system limits, for tests of callers' fallbacks. Process-wide.
    struct Faults {
        bool extendedAttributesUnsupported = false;  // xattr calls fail with ENOTSUP
        bool noBirthTime = false;                    // statx reports no birth time
        bool crossDevice = false;                    // rename fails with EXDEV
    };
    static void setFaultsForTesting(const Faults& faults);

  private:
    NSFileManager() = default;
};
