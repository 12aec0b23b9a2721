// NSBundle: the application's resource folder, its Info.plist and its string tables.
//
// The main bundle is the folder named by the environment variable QUORVANE_RESOURCES, else a "resources"
// folder next to the executable or one level up, else the source tree's resources/. Look-ups search the
// folder itself, then the .lproj folders of the preferred languages (DeviceProfile), then "en.lproj".
// Names that are absolute or climb out of the bundle ("..") find nothing. A bundle is immutable apart from
// its cache of string tables, and safe to use from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

class NSBundle {
  public:
    static std::shared_ptr<NSBundle> mainBundle();
    // A bundle over any folder (tests, resource bundles); nullptr when `path` is not a folder.
    static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);

    const std::string& bundlePath() const { return path_; }

    // Info.plist (XML or binary); empty when missing or unreadable (logged).
    const Value::Dictionary& infoDictionary() const { return info_; }
    std::optional<Value> objectForInfoDictionaryKey(const std::string& key) const;
    std::string bundleIdentifier() const;  // "" when Info.plist has none

    // "name" + "." + type (type may be empty when the name carries its extension; a leading dot is
    // ignored). `directory` is a sub-folder of the bundle; names may hold folders ("login.bundle/back").
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type) const;
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type,
                                               const std::string& directory) const;
    // Every file with the extension in the folder (not its sub-folders), sorted by name.
    std::vector<std::string> pathsForResourcesOfType(const std::string& type,
                                                     const std::string& directory) const;
    // An image by name as the image loader asks for it: "login.bundle/back", "login.bundle/LOGO.jpg" or
    // "base.bundle/wifi@2x.png". Without an extension png, then jpg, then jpeg; for each the variant for
    // `scale` (name@2x) first, then lower scales down to the plain name, then higher scales. A name that
    // carries its scale is taken as it stands.
    std::optional<std::string> pathForImageNamed(const std::string& name, double scale) const;

    // The translation of `key` in "<table>.strings" ("Localizable" when `table` is empty); when the key is
    // missing: `value`, or the key itself when `value` is empty.
    std::string localizedStringForKey(const std::string& key, const std::string& value,
                                      const std::string& table) const;

    // Reads a string table: the old-style "key" = "value"; form (UTF-8, or UTF-16 with a byte-order mark;
    // /* */ and // comments; escapes \n \t \r \" \' \\ \Uxxxx) or a property list. nullopt with
    // NSCocoaErrorDomain 3840 (naming the line) on malformed input.
    static std::optional<std::map<std::string, std::string>> stringsTableWithData(const Data& data,
                                                                                  NSErrorPtr* error);

    NSBundle(const NSBundle&) = delete;
    NSBundle& operator=(const NSBundle&) = delete;

  private:
    explicit NSBundle(std::string path);
    // Folders searched, in order: the bundle, then its localisation folders that exist.
    std::vector<std::string> searchFolders() const;
    const std::map<std::string, std::string>& table(const std::string& file) const;

    std::string path_;
    Value::Dictionary info_;
    mutable std::mutex tablesMutex_;
    mutable std::map<std::string, std::map<std::string, std::string>> tables_;  // by file path
};
