#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/foundation/Console.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TextUtil.h"

#ifndef QUORVANE_SOURCE_RESOURCES
#define QUORVANE_SOURCE_RESOURCES "resources"
#endif

namespace fs = std::filesystem;

namespace {

std::optional<Data> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return Data(std::move(bytes));
}

bool isFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// A relative path that stays inside the bundle.
bool isContained(const std::string& relative) {
    if (relative.empty()) return true;
    const fs::path p(relative);
    if (p.is_absolute()) return false;
    return std::none_of(p.begin(), p.end(), [](const fs::path& part) { return part == ".."; });
}

std::string withoutLeadingDot(const std::string& type) {
    return !type.empty() && type[0] == '.' ? type.substr(1) : type;
}

std::string executableFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

std::string mainResourcesFolder() {
    const std::string fromEnvironment = ProcessInfo::environment("QUORVANE_RESOURCES");
    if (!fromEnvironment.empty()) return fromEnvironment;
    const std::string exeFolder = executableFolder();
    if (!exeFolder.empty()) {
        for (const fs::path& candidate :
             {fs::path(exeFolder) / "resources", fs::path(exeFolder) / ".." / "resources"}) {
            if (isFolder(candidate)) return fs::weakly_canonical(candidate).string();
        }
    }
    return QUORVANE_SOURCE_RESOURCES;
}

// Localisation folder names for a language tag, most specific first: "zh-Hans-CN", "zh-Hans", "zh".
std::vector<std::string> localizationNames(std::string tag) {
    std::replace(tag.begin(), tag.end(), '_', '-');
    std::vector<std::string> names;
    while (!tag.empty()) {
        names.push_back(tag);
        const auto dash = tag.rfind('-');
        if (dash == std::string::npos) break;
        tag.resize(dash);
    }
    return names;
}

}  // namespace

// String tables ---------------------------------------------------------------------------------------------

namespace {

// UTF-16 units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUTF8(const std::vector<uint16_t>& units) {
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            TextUtil::appendUTF8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            TextUtil::appendUTF8(out, u);
        }
    }
    return out;
}

// The table's text as UTF-8, from a byte-order mark (UTF-8, UTF-16 LE or BE), or UTF-16 recognised by its
// zero bytes, else UTF-8.
std::string decodeText(const Data& data) {
    const uint8_t* b = data.bytes();
    const size_t n = data.length();
    bool utf16 = false, bigEndian = false;
    size_t start = 0;
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        start = 3;
    } else if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        utf16 = true, start = 2;
    } else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        utf16 = bigEndian = true, start = 2;
    } else if (n >= 2 && n % 2 == 0 && (b[0] == 0) != (b[1] == 0)) {
        utf16 = true, bigEndian = b[0] == 0;
    }
    if (!utf16) return std::string(data.view().substr(start));
    std::vector<uint16_t> units;
    units.reserve((n - start) / 2);
    for (size_t i = start; i + 1 < n; i += 2) {
        units.push_back(bigEndian ? uint16_t(b[i] << 8 | b[i + 1]) : uint16_t(b[i + 1] << 8 | b[i]));
    }
    return utf16ToUTF8(units);
}

class StringsParser {
  public:
    explicit StringsParser(std::string text) : text_(std::move(text)) {}

    std::optional<std::map<std::string, std::string>> parse(std::string* error) {
        std::map<std::string, std::string> table;
        for (;;) {
            if (!skipSpaceAndComments(error)) return std::nullopt;
            if (atEnd()) return table;
            auto key = readString(error);
            if (!key) return std::nullopt;
            if (!skipSpaceAndComments(error)) return std::nullopt;
            if (peek() == ';') {  // "key"; stands for "key" = "key";
                ++pos_;
                table[*key] = *key;
                continue;
            }
            if (peek() != '=') return fail(error, "expected '=' after a key");
            ++pos_;
            if (!skipSpaceAndComments(error)) return std::nullopt;
            auto value = readString(error);
            if (!value) return std::nullopt;
            if (!skipSpaceAndComments(error)) return std::nullopt;
            if (peek() != ';') return fail(error, "expected ';' after a value");
            ++pos_;
            table[std::move(*key)] = std::move(*value);
        }
    }

  private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    size_t line() const { return 1 + size_t(std::count(text_.begin(), text_.begin() + long(pos_), '\n')); }

    std::nullopt_t fail(std::string* error, const std::string& what) {
        if (error) *error = what + " at line " + std::to_string(line());
        return std::nullopt;
    }

    bool skipSpaceAndComments(std::string* error) {
        while (!atEnd()) {
            const char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (text_.compare(pos_, 2, "//") == 0) {
                const auto end = text_.find('\n', pos_);
                pos_ = end == std::string::npos ? text_.size() : end + 1;
            } else if (text_.compare(pos_, 2, "/*") == 0) {
                const auto end = text_.find("*/", pos_ + 2);
                if (end == std::string::npos) {
                    fail(error, "unterminated comment");
                    return false;
                }
                pos_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isUnquotedChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '+' || c == '/' ||
               c == ':' || c == '.' || c == '-';
    }

    std::optional<std::string> readString(std::string* error) {
        if (peek() != '"') {
            const size_t start = pos_;
            while (!atEnd() && isUnquotedChar(text_[pos_])) ++pos_;
            if (pos_ == start) return fail(error, "expected a quoted string");
            return text_.substr(start, pos_ - start);
        }
        ++pos_;
        std::string out;
        std::vector<uint16_t> pendingUnits;  // \U escapes, joined so that surrogate pairs combine
        auto flushUnits = [&] {
            if (!pendingUnits.empty()) out += utf16ToUTF8(pendingUnits);
            pendingUnits.clear();
        };
        for (;;) {
            if (atEnd()) return fail(error, "unterminated string");
            const char c = text_[pos_++];
            if (c == '"') break;
            if (c != '\\') {
                flushUnits();
                out += c;
                continue;
            }
            if (atEnd()) return fail(error, "unterminated string");
            const char e = text_[pos_++];
            if (e == 'U' || e == 'u') {
                uint16_t unit = 0;
                for (int i = 0; i < 4; ++i) {
                    const char h = peek();
                    if (!std::isxdigit(static_cast<unsigned char>(h))) return fail(error, "bad \\U escape");
                    unit =
                        uint16_t(unit * 16 + (std::isdigit(static_cast<unsigned char>(h))
                                                  ? h - '0'
                                                  : std::tolower(static_cast<unsigned char>(h)) - 'a' + 10));
                    ++pos_;
                }
                pendingUnits.push_back(unit);
                continue;
            }
            flushUnits();
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'a':
                    out += '\a';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'v':
                    out += '\v';
                    break;
                default:
                    out += e;
                    break;  // \" \' \\ and any other character stand for themselves
            }
        }
        flushUnits();
        return out;
    }

    std::string text_;
    size_t pos_ = 0;
};

bool looksLikePropertyList(const Data& data, const std::string& text) {
    if (data.view().substr(0, 6) == "bplist") return true;
    const auto first = text.find_first_not_of(" \t\r\n");
    return first != std::string::npos && text.compare(first, 5, "<?xml") == 0;
}

}  // namespace

std::optional<std::map<std::string, std::string>> NSBundle::stringsTableWithData(const Data& data,
                                                                                 NSErrorPtr* error) {
    const std::string text = decodeText(data);
    if (looksLikePropertyList(data, text)) {
        NSErrorPtr plistError;
        auto plist = NSPropertyListSerialization::propertyListWithData(data, nullptr, &plistError);
        if (!plist || !plist->isDictionary()) {
            if (error) {
                *error = plistError ? plistError
                                    : NSError::withDescription(NSCocoaErrorDomain, 3840,
                                                               "The string table is not a dictionary.");
            }
            return std::nullopt;
        }
        std::map<std::string, std::string> table;
        for (const auto& [key, value] : *plist->asDictionary()) {
            if (value.isString()) table[key] = *value.asString();
        }
        return table;
    }
    std::string reason = "the text is not UTF-8";
    // Keys and values become strings, which hold UTF-8 only: a table in another encoding is refused whole.
    auto table = TextUtil::isValidUTF8(text) ? StringsParser(text).parse(&reason) : std::nullopt;
    if (!table && error) {
        *error = NSError::withDescription(NSCocoaErrorDomain, 3840,
                                          "The string table is malformed: " + reason + ".");
    }
    return table;
}

// The bundle ------------------------------------------------------------------------------------------------

NSBundle::NSBundle(std::string path) : path_(std::move(path)) {
    const fs::path infoPath = fs::path(path_) / "Info.plist";
    if (!pathExists(infoPath)) return;
    auto data = readFile(infoPath);
    NSErrorPtr error;
    std::optional<Value> plist;
    if (data) plist = NSPropertyListSerialization::propertyListWithData(*data, nullptr, &error);
    if (plist && plist->isDictionary()) {
        info_ = *plist->asDictionary();
    } else {
        NSLog("NSBundle: cannot read " + infoPath.string() + ": " +
              (error ? error->localizedDescription() : std::string("not a dictionary")));
    }
}

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
    static const std::shared_ptr<NSBundle>* bundle =
        new std::shared_ptr<NSBundle>(new NSBundle(mainResourcesFolder()));
    return *bundle;
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
    if (!isFolder(path)) return nullptr;
    return std::shared_ptr<NSBundle>(new NSBundle(path));
}

std::optional<Value> NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
    auto it = info_.find(key);
    if (it == info_.end()) return std::nullopt;
    return it->second;
}

std::string NSBundle::bundleIdentifier() const {
    auto it = info_.find("CFBundleIdentifier");
    return it != info_.end() && it->second.isString() ? *it->second.asString() : std::string();
}

std::vector<std::string> NSBundle::searchFolders() const {
    std::vector<std::string> folders{path_};
    std::vector<std::string> languages;
    for (const auto& tag : DeviceProfile::current().preferredLanguages) {
        for (auto& name : localizationNames(tag)) languages.push_back(std::move(name));
    }
    languages.push_back("en");
    for (const auto& language : languages) {
        const std::string folder = (fs::path(path_) / (language + ".lproj")).string();
        if (std::find(folders.begin(), folders.end(), folder) == folders.end() && isFolder(folder)) {
            folders.push_back(folder);
        }
    }
    return folders;
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name, const std::string& type) const {
    return pathForResource(name, type, "");
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name, const std::string& type,
                                                     const std::string& directory) const {
    const std::string extension = withoutLeadingDot(type);
    const std::string file = extension.empty() ? name : name + "." + extension;
    if (name.empty() || !isContained(file) || !isContained(directory)) return std::nullopt;
    for (const auto& folder : searchFolders()) {
        const fs::path candidate = fs::path(folder) / directory / file;
        if (pathExists(candidate)) return candidate.lexically_normal().string();
    }
    return std::nullopt;
}

std::vector<std::string> NSBundle::pathsForResourcesOfType(const std::string& type,
                                                           const std::string& directory) const {
    std::vector<std::string> paths;
    if (!isContained(directory)) return paths;
    const std::string extension = withoutLeadingDot(type);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(path_) / directory, ec)) {
        std::error_code typeError;
        if (!entry.is_regular_file(typeError)) continue;
        const std::string fileExtension = withoutLeadingDot(entry.path().extension().string());
        if (extension.empty() || fileExtension == extension)
            paths.push_back(entry.path().lexically_normal().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::optional<std::string> NSBundle::pathForImageNamed(const std::string& name, double scale) const {
    if (name.empty()) return std::nullopt;
    std::string base = name;
    std::vector<std::string> extensions{"png", "jpg", "jpeg"};
    const auto dot = name.rfind('.');
    const auto slash = name.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        const std::string extension = name.substr(dot + 1);
        if (extension == "png" || extension == "jpg" || extension == "jpeg") {
            base = name.substr(0, dot);
            extensions = {extension};
        } else if (auto exact = pathForResource(name, ""); exact && !isFolder(*exact)) {
            return exact;  // another kind of file, named in full
        }
    }
    // A name that already names its scale ("wifi@2x") is only looked up as it stands.
    const bool scaled = base.size() > 3 && base[base.size() - 3] == '@' && base.back() == 'x';
    const int wanted = std::clamp(int(std::lround(scale)), 1, 3);
    std::vector<std::string> suffixes;
    for (int s = wanted; s >= 1; --s) suffixes.push_back(s == 1 ? "" : "@" + std::to_string(s) + "x");
    for (int s = wanted + 1; s <= 3; ++s) suffixes.push_back("@" + std::to_string(s) + "x");
    if (scaled) suffixes = {""};

    for (const auto& extension : extensions) {
        for (const auto& suffix : suffixes) {
            auto path = pathForResource(base + suffix, extension);
            if (path && !isFolder(*path)) return path;
        }
    }
    return std::nullopt;
}

const std::map<std::string, std::string>& NSBundle::table(const std::string& file) const {
    std::lock_guard lock(tablesMutex_);
    if (auto it = tables_.find(file); it != tables_.end()) return it->second;
    std::map<std::string, std::string> parsed;
    if (auto data = readFile(file)) {
        NSErrorPtr error;
        if (auto table = stringsTableWithData(*data, &error)) {
            parsed = std::move(*table);
        } else {
            NSLog("NSBundle: ignoring the string table " + file + ": " + error->localizedDescription());
        }
    } else {
        NSLog("NSBundle: cannot read the string table " + file);
    }
    return tables_.emplace(file, std::move(parsed)).first->second;
}

std::string NSBundle::localizedStringForKey(const std::string& key, const std::string& value,
                                            const std::string& table) const {
    const std::string file = (table.empty() ? std::string("Localizable") : table) + ".strings";
    if (isContained(file)) {
        // Most specific localisation first; the bundle's own folder last.
        auto folders = searchFolders();
        std::rotate(folders.begin(), folders.begin() + 1, folders.end());
        for (const auto& folder : folders) {
            const fs::path path = fs::path(folder) / file;
            if (!pathExists(path)) continue;
            const auto& entries = this->table(path.string());
            if (auto it = entries.find(key); it != entries.end()) return it->second;
        }
    }
    return value.empty() ? key : value;
}
