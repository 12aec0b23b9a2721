// Property lists over libplist 2.2.
//
// libplist recurses over the tree it builds and, for binary input, expands objects that are referenced more
// than once. Before handing it anything we therefore check the input ourselves: a binary list is walked
// object by object (bounds, types, references, cycles, nesting and expanded size) and an XML list is scanned
// for element nesting. What passes is converted with the nesting cap enforced once more.
//
// libplist 2.2 quirks handled here: integers are stored as 64 raw bits, with "beyond int64" known only to its
// writers (so the XML text of a node tells the sign); plist_get_date_val loses the sign of dates between -1
// and 0 (its comparison helper is no better); strings are NUL-terminated. XML dates carry whole seconds only.
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TextUtil.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr long kReadErrorCode = 3840;
constexpr long kWriteErrorCode = 3851;
constexpr int kMaxDepth = NSPropertyListSerialization::kMaxDepth;

NSErrorPtr readError(const std::string& reason) {
    return NSError::withDescription(
        NSCocoaErrorDomain, kReadErrorCode,
        "The data couldn’t be read because it isn’t a valid property list: " + reason + ".");
}

NSErrorPtr writeError(const std::string& reason) {
    return NSError::withDescription(NSCocoaErrorDomain, kWriteErrorCode,
                                    "The property list couldn’t be written: " + reason + ".");
}

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// ---- checking binary input before libplist sees it ----

class BinaryChecker {
  public:
    explicit BinaryChecker(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    // Empty when the list is sound, else the reason it is not.
    std::string check() {
        if (!readTrailer()) return reason_;
        if (!readOffsets()) return reason_;
        if (!walk()) return reason_;
        return {};
    }

  private:
    static constexpr size_t kHeaderSize = 8;
    static constexpr size_t kTrailerSize = 32;
    // libplist cuts such strings short (losing the rest) and aborts on such keys.
    static constexpr const char* kNulInString = "a string contains a NUL character, which is not supported";
    enum class Mark : uint8_t { Unvisited, Open, Done };

    struct Object {
        uint8_t type = 0;    // high nibble of the marker
        size_t refsAt = 0;   // first reference, for arrays and dictionaries
        uint64_t count = 0;  // elements (arrays) or members (dictionaries)
    };

    bool fail(std::string reason) {
        reason_ = std::move(reason);
        return false;
    }

    uint64_t readUInt(size_t at, size_t size) const {
        uint64_t v = 0;
        for (size_t i = 0; i < size; ++i) v = (v << 8) | bytes_[at + i];
        return v;
    }

    static bool isPowerOfTwoSize(uint64_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

    bool readTrailer() {
        if (bytes_.size() < kHeaderSize + 1 + kTrailerSize) return fail("the binary data is truncated");
        const size_t t = bytes_.size() - kTrailerSize;
        offsetSize_ = bytes_[t + 6];
        refSize_ = bytes_[t + 7];
        objectCount_ = readUInt(t + 8, 8);
        topObject_ = readUInt(t + 16, 8);
        tableAt_ = readUInt(t + 24, 8);
        if (!isPowerOfTwoSize(offsetSize_) || !isPowerOfTwoSize(refSize_))
            return fail("the binary trailer has invalid integer sizes");
        if (objectCount_ == 0 || topObject_ >= objectCount_)
            return fail("the binary trailer names no valid root");
        if (tableAt_ <= kHeaderSize || tableAt_ > t) return fail("the binary offset table is out of bounds");
        if (objectCount_ > (t - tableAt_) / offsetSize_) return fail("the binary offset table is truncated");
        if (refSize_ < 8 && objectCount_ > (uint64_t(1) << (8 * refSize_)))
            return fail("the binary trailer counts more objects than references can name");
        return true;
    }

    bool readOffsets() {
        objects_.resize(objectCount_);
        for (uint64_t i = 0; i < objectCount_; ++i) {
            const uint64_t at = readUInt(tableAt_ + i * offsetSize_, offsetSize_);
            if (at < kHeaderSize || at >= tableAt_) return fail("a binary object offset is out of bounds");
            if (!readObject(at, objects_[i])) return false;
        }
        return true;
    }

    // Fits `size` bytes at `at` before the offset table?
    bool fits(uint64_t at, uint64_t size) const { return at <= tableAt_ && size <= tableAt_ - at; }

    bool readLength(uint64_t& at, uint8_t info, uint64_t& length) {
        if (info != 0xF) {
            length = info;
            return true;
        }
        if (!fits(at, 1)) return fail("a binary object is truncated");
        const uint8_t marker = bytes_[at];
        if ((marker >> 4) != 0x1 || (marker & 0xF) > 3) return fail("a binary object has an invalid length");
        const size_t size = size_t(1) << (marker & 0xF);
        if (!fits(at + 1, size)) return fail("a binary object is truncated");
        length = readUInt(at + 1, size);
        at += 1 + size;
        return true;
    }

    bool readObject(uint64_t at, Object& object) {
        const uint8_t marker = bytes_[at];
        const uint8_t type = marker >> 4, info = marker & 0xF;
        object.type = type;
        ++at;
        uint64_t length = 0;
        switch (type) {
            case 0x0:
                if (info == 0x8 || info == 0x9) return true;
                return fail("a binary object has an unsupported type");
            case 0x1:
                if (info > 4) return fail("a binary integer has an invalid size");
                return fits(at, uint64_t(1) << info) || fail("a binary integer is truncated");
            case 0x2:
                if (info != 2 && info != 3) return fail("a binary real has an invalid size");
                return fits(at, uint64_t(1) << info) || fail("a binary real is truncated");
            case 0x3:
                if (info != 3) return fail("a binary date has an invalid size");
                return fits(at, 8) || fail("a binary date is truncated");
            case 0x4:
            case 0x5:
                if (!readLength(at, info, length)) return false;
                if (!fits(at, length)) return fail("a binary string or data object is truncated");
                for (uint64_t i = 0; i < length && type == 0x5; ++i)
                    if (bytes_[at + i] == 0) return fail(kNulInString);
                return true;
            case 0x6:
                if (!readLength(at, info, length)) return false;
                if (length > tableAt_ / 2 || !fits(at, length * 2))
                    return fail("a binary string is truncated");
                for (uint64_t i = 0; i < length; ++i)
                    if (bytes_[at + 2 * i] == 0 && bytes_[at + 2 * i + 1] == 0) return fail(kNulInString);
                return true;
            case 0xA:
            case 0xD: {
                if (!readLength(at, info, length)) return false;
                const uint64_t refs = type == 0xD ? 2 : 1;
                if (length > tableAt_ / (refSize_ * refs) || !fits(at, length * refs * refSize_))
                    return fail("a binary container is truncated");
                object.refsAt = at;
                object.count = length;
                return true;
            }
            default:
                return fail("a binary object has an unsupported type");
        }
    }

    uint64_t ref(const Object& container, uint64_t i) const {
        return readUInt(container.refsAt + i * refSize_, refSize_);
    }
    uint64_t refCount(const Object& o) const { return o.type == 0xD ? o.count * 2 : o.count; }
    static bool isContainer(const Object& o) { return o.type == 0xA || o.type == 0xD; }

    // Depth-first from the root without recursion: rejects cycles, dictionary keys that are not strings,
    // nesting deeper than the cap, and shared containers that would expand into too many nodes.
    bool walk() {
        const uint64_t nodeLimit = uint64_t(bytes_.size()) * 8 + 65536;
        std::vector<Mark> marks(objectCount_, Mark::Unvisited);
        std::vector<uint64_t> nodes(objectCount_, 1);  // nodes a subtree expands to
        struct Step {
            uint64_t object;
            uint64_t next;
        };
        std::vector<Step> path;
        auto visit = [&](uint64_t index) -> bool {
            if (index >= objectCount_) return fail("a binary reference is out of bounds");
            if (marks[index] == Mark::Open) return fail("the binary objects reference themselves");
            if (marks[index] == Mark::Done) return true;
            if (!isContainer(objects_[index])) {
                marks[index] = Mark::Done;
                return true;
            }
            if (path.size() >= static_cast<size_t>(kMaxDepth))
                return fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
            marks[index] = Mark::Open;
            path.push_back({index, 0});
            return true;
        };
        if (!visit(topObject_)) return false;
        while (!path.empty()) {
            Step& step = path.back();
            const Object& o = objects_[step.object];
            if (step.next == refCount(o)) {
                marks[step.object] = Mark::Done;
                const uint64_t finished = step.object;
                path.pop_back();
                if (!path.empty()) {
                    uint64_t& total = nodes[path.back().object];
                    total += nodes[finished];
                    if (total > nodeLimit) return fail("the binary objects expand to too many values");
                }
                continue;
            }
            const uint64_t child = ref(o, step.next);
            const bool isKey = o.type == 0xD && step.next < o.count;
            ++step.next;
            if (child >= objectCount_) return fail("a binary reference is out of bounds");
            if (isKey && objects_[child].type != 0x5 && objects_[child].type != 0x6)
                return fail("a binary dictionary key is not a string");
            const size_t depthBefore = path.size();
            if (!visit(child)) return false;
            if (path.size() == depthBefore) {  // a leaf or an already finished container
                uint64_t& total = nodes[path.back().object];
                total += nodes[child];
                if (total > nodeLimit) return fail("the binary objects expand to too many values");
            }
        }
        return true;
    }

    std::span<const uint8_t> bytes_;
    std::string reason_;
    uint64_t offsetSize_ = 0, refSize_ = 0, objectCount_ = 0, topObject_ = 0, tableAt_ = 0;
    std::vector<Object> objects_;
};

// ---- checking XML input before libplist sees it ----

// Deepest element nesting of an XML text, stopping early once past `limit`. Comments, CDATA sections,
// processing instructions and declarations do not nest.
size_t xmlElementDepth(std::string_view text, size_t limit) {
    size_t depth = 0, deepest = 0;
    size_t i = 0;
    auto skipPast = [&](std::string_view end) {
        const size_t found = text.find(end, i);
        i = found == std::string_view::npos ? text.size() : found + end.size();
    };
    while (i < text.size() && deepest <= limit) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--")) {
            skipPast("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            skipPast("]]>");
        } else if (rest.starts_with("<?")) {
            skipPast("?>");
        } else if (rest.starts_with("<!")) {
            int brackets = 0;
            for (++i; i < text.size(); ++i) {
                if (text[i] == '[')
                    ++brackets;
                else if (text[i] == ']')
                    --brackets;
                else if (text[i] == '>' && brackets <= 0)
                    break;
            }
            ++i;
        } else if (rest.starts_with("</")) {
            if (depth > 0) --depth;
            skipPast(">");
        } else {
            char quote = 0;
            bool selfClosing = false;
            for (++i; i < text.size(); ++i) {
                const char c = text[i];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    selfClosing = text[i - 1] == '/';
                    break;
                }
            }
            ++i;
            if (!selfClosing) deepest = std::max(deepest, ++depth);
        }
    }
    return deepest;
}

// ---- libplist tree to Value ----

class Reader {
  public:
    bool convert(plist_t node, int depth, Value& out) {
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                uint8_t b = 0;
                plist_get_bool_val(node, &b);
                out = Value(b != 0);
                return true;
            }
            case PLIST_UINT:
                out = integer(node);
                return true;
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(node, &d);
                out = Value(d);
                return true;
            }
            case PLIST_STRING: {
                uint64_t length = 0;
                const char* s = plist_get_string_ptr(node, &length);
                const std::string_view text(s ? s : "", s ? length : 0);
                if (!TextUtil::isValidUTF8(text)) return fail("a string is not valid UTF-8");
                out = Value(text);
                return true;
            }
            case PLIST_DATA: {
                uint64_t length = 0;
                const char* bytes = plist_get_data_ptr(node, &length);
                out = Value(bytes ? Data(bytes, length) : Data());
                return true;
            }
            case PLIST_DATE:
                out = Value(date(node));
                return true;
            case PLIST_ARRAY:
                return convertArray(node, depth, out);
            case PLIST_DICT:
                return convertDictionary(node, depth, out);
            default:
                return fail("it holds a value of an unsupported type");
        }
    }

    const std::string& reason() const { return reason_; }

  private:
    bool fail(std::string reason) {
        reason_ = std::move(reason);
        return false;
    }

    bool enter(int depth) {
        return depth < kMaxDepth || fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    }

    static Value integer(plist_t node) {
        uint64_t bits = 0;
        plist_get_uint_val(node, &bits);
        if (bits <= uint64_t(std::numeric_limits<int64_t>::max())) return Value(static_cast<long long>(bits));
        // Negative or above int64: only the node's own text says which.
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(node, &xml, &length);
        const bool negative =
            xml && std::string_view(xml, length).find("<integer>-") != std::string_view::npos;
        if (xml) plist_to_xml_free(xml);
        if (negative) return Value(static_cast<long long>(static_cast<int64_t>(bits)));
        return Value(static_cast<unsigned long long>(bits));
    }

    // plist_get_date_val splits the stored double so that the sign of a value between -1 and 0 is lost,
    // and rounds to microseconds; the node's binary encoding holds the double itself.
    static Date date(plist_t node) {
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(node, &bytes, &length);
        std::optional<double> exact;
        if (bytes && length >= 17 && static_cast<uint8_t>(bytes[8]) == 0x33) {
            uint64_t bits = 0;
            for (int i = 9; i < 17; ++i) bits = (bits << 8) | static_cast<uint8_t>(bytes[i]);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            exact = d;
        }
        if (bytes) plist_to_bin_free(bytes);
        if (exact) return Date{*exact};
        int32_t seconds = 0, micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        return Date{seconds + (seconds < 0 ? -1 : 1) * std::fabs(double(micros)) / 1e6};
    }

    bool convertArray(plist_t node, int depth, Value& out) {
        if (!enter(depth)) return false;
        Value::Array items;
        const uint32_t count = plist_array_get_size(node);
        items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            Value item;
            if (!convert(plist_array_get_item(node, i), depth + 1, item)) return false;
            items.push_back(std::move(item));
        }
        out = Value(std::move(items));
        return true;
    }

    bool convertDictionary(plist_t node, int depth, Value& out) {
        if (!enter(depth)) return false;
        Value::Dictionary members;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = true;
        while (ok) {
            char* key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, it, &key, &child);
            if (!child) {
                std::free(key);
                break;
            }
            std::string name = key ? key : "";
            std::free(key);
            Value value;
            if (!TextUtil::isValidUTF8(name))
                ok = fail("a dictionary key is not valid UTF-8");
            else if ((ok = convert(child, depth + 1, value)))
                members.insert_or_assign(std::move(name), std::move(value));
        }
        std::free(it);
        if (!ok) return false;
        out = Value(std::move(members));
        return true;
    }

    std::string reason_;
};

// ---- Value to libplist tree ----

class Writer {
  public:
    PlistPtr convert(const Value& v, int depth) {
        switch (v.kind()) {
            case Value::Kind::Bool:
                return PlistPtr(plist_new_bool(v.boolValue() ? 1 : 0));
            case Value::Kind::Int:
                return PlistPtr(plist_new_uint(static_cast<uint64_t>(v.integerValue())));
            case Value::Kind::UInt:
                return unsignedInteger(v.unsignedIntegerValue());
            case Value::Kind::Double:
                return PlistPtr(plist_new_real(v.doubleValue()));
            case Value::Kind::String: {
                const std::string& s = *v.asString();
                if (!checkText(s, "a string")) return nullptr;
                return PlistPtr(plist_new_string(s.c_str()));
            }
            case Value::Kind::Data: {
                const Data& d = *v.asData();
                return PlistPtr(
                    plist_new_data(d.empty() ? "" : reinterpret_cast<const char*>(d.bytes()), d.length()));
            }
            case Value::Kind::Date:
                return date(*v.asDate());
            case Value::Kind::Array:
                return array(*v.asArray(), depth);
            case Value::Kind::Dictionary:
                return dictionary(*v.asDictionary(), depth);
            case Value::Kind::Null:
                return fail("null has no property-list form");
            case Value::Kind::Set:
                return fail("a set has no property-list form");
            case Value::Kind::Object:
                return fail("an object has no property-list form");
        }
        return fail("unknown value kind");
    }

    const std::string& reason() const { return reason_; }

  private:
    PlistPtr fail(std::string reason) {
        reason_ = std::move(reason);
        return nullptr;
    }

    bool checkText(const std::string& s, const char* what) {
        if (s.find('\0') != std::string::npos) {
            reason_ = std::string(what) + " contains a NUL character";
            return false;
        }
        if (!TextUtil::isValidUTF8(s)) {
            reason_ = std::string(what) + " is not valid UTF-8";
            return false;
        }
        return true;
    }

    // plist_new_uint marks every value as signed; a node parsed from text keeps the unsigned mark,
    // which both writers honour.
    PlistPtr unsignedInteger(uint64_t u) {
        if (u <= uint64_t(std::numeric_limits<int64_t>::max())) return PlistPtr(plist_new_uint(u));
        const std::string xml = "<plist version=\"1.0\"><integer>" + std::to_string(u) + "</integer></plist>";
        plist_t node = nullptr;
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
        if (!node) return fail("an integer above the signed 64-bit range could not be stored");
        return PlistPtr(node);
    }

    PlistPtr date(const Date& d) {
        const double s = d.secondsSinceReferenceDate;
        if (!std::isfinite(s) || std::fabs(s) >= 2147483647.0)
            return fail("a date is out of the supported range");
        const double whole = std::trunc(s);
        auto micros = static_cast<int32_t>(std::lround((s - whole) * 1e6));
        auto seconds = static_cast<int32_t>(whole);
        if (micros >= 1000000 || micros <= -1000000) {  // the fraction rounded to a whole second
            seconds += micros > 0 ? 1 : -1;
            micros = 0;
        }
        return PlistPtr(plist_new_date(seconds, micros));
    }

    PlistPtr array(const Value::Array& items, int depth) {
        if (depth >= kMaxDepth) return fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        PlistPtr node(plist_new_array());
        for (const Value& item : items) {
            PlistPtr child = convert(item, depth + 1);
            if (!child) return nullptr;
            plist_array_append_item(node.get(), child.release());
        }
        return node;
    }

    PlistPtr dictionary(const Value::Dictionary& members, int depth) {
        if (depth >= kMaxDepth) return fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        PlistPtr node(plist_new_dict());
        for (const auto& [key, value] : members) {
            if (!checkText(key, "a dictionary key")) return nullptr;
            PlistPtr child = convert(value, depth + 1);
            if (!child) return nullptr;
            plist_dict_set_item(node.get(), key.c_str(), child.release());
        }
        return node;
    }

    std::string reason_;
};

}  // namespace

std::optional<Value> NSPropertyListSerialization::propertyListWithData(const Data& data, Format* format,
                                                                       NSErrorPtr* error) {
    auto failWith = [&](const std::string& reason) -> std::optional<Value> {
        if (error) *error = readError(reason);
        return std::nullopt;
    };
    if (data.empty()) return failWith("the data is empty");
    if (data.length() > std::numeric_limits<uint32_t>::max()) return failWith("the data is too large");

    const std::string_view text = data.view();
    const bool binary = text.starts_with("bplist");
    if (binary) {
        if (!text.starts_with("bplist00")) return failWith("the binary format version is not supported");
        const std::string reason = BinaryChecker(data.span()).check();
        if (!reason.empty()) return failWith(reason);
    } else {
        // NUL is never legal in XML, and libplist aborts on a key holding one.
        if (text.find('\0') != std::string_view::npos) return failWith("the XML contains a NUL character");
        // The plist element itself and a leaf inside the deepest container are two levels more.
        const size_t limit = static_cast<size_t>(kMaxDepth) + 2;
        if (xmlElementDepth(text, limit) > limit)
            return failWith("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    }

    plist_t root = nullptr;
    const auto length = static_cast<uint32_t>(data.length());
    if (binary)
        plist_from_bin(text.data(), length, &root);
    else
        plist_from_xml(text.data(), length, &root);
    if (!root) return failWith(binary ? "the binary data is malformed" : "the XML is malformed");
    PlistPtr owner(root);

    Reader reader;
    Value result;
    if (!reader.convert(root, 0, result)) return failWith(reader.reason());
    if (format) *format = binary ? Format::Binary : Format::XML;
    return result;
}

std::optional<Data> NSPropertyListSerialization::dataWithPropertyList(const Value& plist, Format format,
                                                                      NSErrorPtr* error) {
    auto failWith = [&](const std::string& reason) -> std::optional<Data> {
        if (error) *error = writeError(reason);
        return std::nullopt;
    };
    if (format != Format::XML && format != Format::Binary) return failWith("the format is not supported");

    Writer writer;
    PlistPtr root = writer.convert(plist, 0);
    if (!root) return failWith(writer.reason());

    char* bytes = nullptr;
    uint32_t length = 0;
    if (format == Format::XML)
        plist_to_xml(root.get(), &bytes, &length);
    else
        plist_to_bin(root.get(), &bytes, &length);
    if (!bytes) return failWith("the encoder produced no output");
    Data out(bytes, length);
    if (format == Format::XML)
        plist_to_xml_free(bytes);
    else
        plist_to_bin_free(bytes);
    return out;
}
