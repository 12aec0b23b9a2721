#include "platform/foundation/KeyedArchiver.h"

#include <map>
#include <mutex>

#include "platform/foundation/PropertyList.h"

namespace {

constexpr const char* kArchiveKey = "$archive";
constexpr const char* kArchiveName = "qv.keyed";
constexpr const char* kVersionKey = "$version";
constexpr int64_t kVersion = 1;
constexpr const char* kRootKey = "$root";
constexpr const char* kNullKey = "$null";
constexpr const char* kSetKey = "$set";
constexpr const char* kDictKey = "$dict";
constexpr const char* kClassKey = "$class";
constexpr const char* kFieldsKey = "$fields";

// Deep enough for any settings object; shallow enough that a hostile archive cannot exhaust the stack.
constexpr int kMaxDepth = 200;
constexpr int kMaxSuperclassChain = 64;

struct ClassEntry {
    std::string superclassName;
    NSKeyedUnarchiver::Factory factory;
};

struct Registry {
    std::mutex lock;
    std::map<std::string, ClassEntry, std::less<>> classes;
};

Registry& registry() {
    static auto* instance = new Registry;  // lives until the process ends
    return *instance;
}

NSErrorPtr corruptError(const std::string& detail) {
    return NSError::create(
        NSCocoaErrorDomain, NSCoderReadCorruptError,
        {{NSLocalizedDescriptionKey,
          Value("The data couldn\u2019t be read because it isn\u2019t in the correct format.")},
         {NSLocalizedFailureReasonErrorKey, Value(detail)}});
}

NSErrorPtr invalidValueError(const std::string& detail) {
    return NSError::create(
        NSCocoaErrorDomain, NSCoderInvalidValueError,
        {{NSLocalizedDescriptionKey, Value("The data couldn\u2019t be written: " + detail)},
         {NSLocalizedFailureReasonErrorKey, Value(detail)}});
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        if (!out.empty()) out += ", ";
        out += name;
    }
    return out;
}

// The platform class name a plain value answers to; "" for objects.
const char* plainClassName(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Null:
            return "NSNull";
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::UInt:
        case Value::Kind::Double:
            return "NSNumber";
        case Value::Kind::String:
            return "NSString";
        case Value::Kind::Data:
            return "NSData";
        case Value::Kind::Date:
            return "NSDate";
        case Value::Kind::Array:
            return "NSArray";
        case Value::Kind::Dictionary:
            return "NSDictionary";
        case Value::Kind::Set:
            return "NSSet";
        case Value::Kind::Object:
            return "";
    }
    return "";
}

bool allows(const std::vector<std::string>& classNames, std::string_view name) {
    for (const auto& allowed : classNames)
        if (allowed == name) return true;
    return false;
}

// Whether a registered class, or one of its registered superclasses, is among `classNames`.
bool registeredClassAllowed(const std::string& className, const std::vector<std::string>& classNames) {
    auto& reg = registry();
    std::lock_guard guard(reg.lock);
    std::string name = className;
    for (int i = 0; i < kMaxSuperclassChain && !name.empty(); ++i) {
        if (allows(classNames, name)) return true;
        auto it = reg.classes.find(name);
        if (it == reg.classes.end()) return false;
        name = it->second.superclassName;
    }
    return false;
}

}  // namespace

// ---- NSKeyedArchiver ----

std::optional<Data> NSKeyedArchiver::archivedDataWithRootObject(const Value& root, NSErrorPtr* error) {
    NSKeyedArchiver archiver;
    Value node = archiver.encodeNode(root);
    if (archiver.error_) {
        if (error) *error = archiver.error_;
        return std::nullopt;
    }
    Value archive =
        Value::dictionary({{kArchiveKey, kArchiveName}, {kVersionKey, kVersion}, {kRootKey, node}});
    NSErrorPtr writeError;
    auto data = NSPropertyListSerialization::dataWithPropertyList(
        archive, NSPropertyListSerialization::Format::Binary, &writeError);
    if (!data && error)
        *error = writeError ? writeError : invalidValueError("the property-list writer failed");
    return data;
}

Value NSKeyedArchiver::encodeNode(const Value& value) {
    if (error_) return Value();
    if (depth_ >= kMaxDepth) {
        error_ = invalidValueError("the object graph is nested too deeply or holds a cycle");
        return Value();
    }
    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
    } guard(depth_);

    switch (value.kind()) {
        case Value::Kind::Null:
            return Value::dictionary({{kNullKey, true}});
        case Value::Kind::Array: {
            Value::Array out;
            out.reserve(value.asArray()->size());
            for (const auto& member : *value.asArray()) out.push_back(encodeNode(member));
            return Value(std::move(out));
        }
        case Value::Kind::Set: {
            Value::Array out;
            for (const auto& member : *value.asSet()) out.push_back(encodeNode(member));
            return Value::dictionary({{kSetKey, Value(std::move(out))}});
        }
        case Value::Kind::Dictionary: {
            Value::Dictionary out;
            for (const auto& [key, member] : *value.asDictionary()) out.emplace(key, encodeNode(member));
            return Value::dictionary({{kDictKey, Value(std::move(out))}});
        }
        case Value::Kind::Object: {
            auto object = value.asObject();
            auto coding = std::dynamic_pointer_cast<const NSCoding>(object);
            if (!coding) {
                error_ = invalidValueError("an object of a class that does not adopt NSCoding (" +
                                           (object ? object->description() : std::string("nil")) + ")");
                return Value();
            }
            Value::Dictionary fields;
            Value::Dictionary* outer = fields_;
            fields_ = &fields;
            coding->encodeWithCoder(*this);
            fields_ = outer;
            return Value::dictionary(
                {{kClassKey, coding->classNameForCoder()}, {kFieldsKey, Value(std::move(fields))}});
        }
        default:
            return value;
    }
}

void NSKeyedArchiver::encodeObject(const Value& object, std::string_view key) {
    if (!fields_) return;  // only meaningful inside encodeWithCoder
    Value node = encodeNode(object);
    (*fields_)[std::string(key)] = std::move(node);
}

void NSKeyedArchiver::encodeInteger(int64_t value, std::string_view key) {
    encodeObject(Value(value), key);
}
void NSKeyedArchiver::encodeBool(bool value, std::string_view key) {
    encodeObject(Value(value), key);
}
void NSKeyedArchiver::encodeDouble(double value, std::string_view key) {
    encodeObject(Value(value), key);
}

// ---- NSKeyedUnarchiver ----

void NSKeyedUnarchiver::registerClass(const std::string& className, const std::string& superclassName,
                                      Factory factory) {
    auto& reg = registry();
    std::lock_guard guard(reg.lock);
    reg.classes[className] = ClassEntry{superclassName, std::move(factory)};
}

bool NSKeyedUnarchiver::isClassRegistered(const std::string& className) {
    auto& reg = registry();
    std::lock_guard guard(reg.lock);
    return reg.classes.count(className) != 0;
}

NSErrorPtr NSKeyedUnarchiver::mismatchError(const std::string& expected) {
    return corruptError("the archive's root object is not of class " + expected);
}

std::optional<Value> NSKeyedUnarchiver::unarchivedObjectOfClasses(const std::vector<std::string>& classNames,
                                                                  const Data& data, NSErrorPtr* error) {
    auto fail = [&](NSErrorPtr e) -> std::optional<Value> {
        if (error) *error = std::move(e);
        return std::nullopt;
    };
    NSErrorPtr readError;
    auto plist = NSPropertyListSerialization::propertyListWithData(data, nullptr, &readError);
    if (!plist) return fail(corruptError("the archive is not a property list"));
    const Value* name = plist->find(kArchiveKey);
    const Value* version = plist->find(kVersionKey);
    const Value* root = plist->find(kRootKey);
    if (!name || !name->asString() || *name->asString() != kArchiveName)
        return fail(corruptError("the property list is not a keyed archive"));
    if (!version || version->kind() != Value::Kind::Int || version->integerValue() != kVersion)
        return fail(corruptError("the keyed archive has a version this build cannot read"));
    if (!root)
        return fail(
            NSError::create(NSCocoaErrorDomain, NSCoderValueNotFoundError,
                            {{NSLocalizedDescriptionKey, Value("The keyed archive has no root object.")}}));

    NSKeyedUnarchiver unarchiver;
    auto value = unarchiver.decodeNode(*root, classNames);
    if (unarchiver.error_) return fail(unarchiver.error_);
    if (!value) return fail(corruptError("the archive's root object could not be decoded"));
    return value;
}

std::optional<Value> NSKeyedUnarchiver::decodeNode(const Value& node,
                                                   const std::vector<std::string>& classNames) {
    if (error_) return std::nullopt;
    if (depth_ >= kMaxDepth) {
        failWithError(corruptError("the archive is nested too deeply"));
        return std::nullopt;
    }
    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
    } guard(depth_);

    auto require = [&](const char* className) {
        if (allows(classNames, className)) return true;
        failWithError(corruptError(std::string("a value of class ") + className +
                                   " is not among the allowed classes (" + joined(classNames) + ")"));
        return false;
    };

    switch (node.kind()) {
        case Value::Kind::Array: {
            if (!require("NSArray")) return std::nullopt;
            Value::Array out;
            out.reserve(node.asArray()->size());
            for (const auto& member : *node.asArray()) {
                auto decoded = decodeNode(member, classNames);
                if (!decoded) return std::nullopt;
                out.push_back(std::move(*decoded));
            }
            return Value(std::move(out));
        }
        case Value::Kind::Dictionary:
            break;
        case Value::Kind::Set:
        case Value::Kind::Object:
        case Value::Kind::Null:
            // A property list never holds these.
            failWithError(corruptError("the archive holds a node of an unknown kind"));
            return std::nullopt;
        default:
            if (!require(plainClassName(node))) return std::nullopt;
            return node;
    }

    const auto& dict = *node.asDictionary();
    if (dict.size() == 1 && dict.begin()->first == kNullKey) {
        if (!dict.begin()->second.isBool() || !dict.begin()->second.boolValue()) {
            failWithError(corruptError("a null node is malformed"));
            return std::nullopt;
        }
        if (!require("NSNull")) return std::nullopt;
        return Value();
    }
    if (dict.size() == 1 && dict.begin()->first == kSetKey) {
        const auto* members = dict.begin()->second.asArray();
        if (!members) {
            failWithError(corruptError("a set node is malformed"));
            return std::nullopt;
        }
        if (!require("NSSet")) return std::nullopt;
        Value out = Value::set();
        for (const auto& member : *members) {
            auto decoded = decodeNode(member, classNames);
            if (!decoded) return std::nullopt;
            out.insert(std::move(*decoded));
        }
        return out;
    }
    if (dict.size() == 1 && dict.begin()->first == kDictKey) {
        const auto* members = dict.begin()->second.asDictionary();
        if (!members) {
            failWithError(corruptError("a dictionary node is malformed"));
            return std::nullopt;
        }
        if (!require("NSDictionary")) return std::nullopt;
        Value::Dictionary out;
        for (const auto& [key, member] : *members) {
            auto decoded = decodeNode(member, classNames);
            if (!decoded) return std::nullopt;
            out.emplace(key, std::move(*decoded));
        }
        return Value(std::move(out));
    }
    auto classIt = dict.find(kClassKey);
    auto fieldsIt = dict.find(kFieldsKey);
    if (dict.size() != 2 || classIt == dict.end() || fieldsIt == dict.end() || !classIt->second.isString() ||
        !fieldsIt->second.isDictionary()) {
        failWithError(corruptError("the archive holds a node of an unknown shape"));
        return std::nullopt;
    }
    const std::string& className = *classIt->second.asString();
    Factory factory;
    {
        auto& reg = registry();
        std::lock_guard lock(reg.lock);
        auto it = reg.classes.find(className);
        if (it != reg.classes.end()) factory = it->second.factory;
    }
    if (!factory) {
        failWithError(corruptError("the archive names the unknown class " + className));
        return std::nullopt;
    }
    if (!registeredClassAllowed(className, classNames)) {
        failWithError(corruptError("an object of class " + className + " is not among the allowed classes (" +
                                   joined(classNames) + ")"));
        return std::nullopt;
    }
    const Value::Dictionary* outer = fields_;
    fields_ = fieldsIt->second.asDictionary();
    std::shared_ptr<Object> object = factory(*this);
    fields_ = outer;
    if (error_) return std::nullopt;
    if (!object) {
        failWithError(corruptError("an object of class " + className + " could not be made from its fields"));
        return std::nullopt;
    }
    return Value(std::move(object));
}

const Value* NSKeyedUnarchiver::rawField(std::string_view key) const {
    if (!fields_) return nullptr;
    auto it = fields_->find(key);
    return it == fields_->end() ? nullptr : &it->second;
}

bool NSKeyedUnarchiver::containsValueForKey(std::string_view key) const {
    return rawField(key) != nullptr;
}

std::optional<Value> NSKeyedUnarchiver::decodeObjectOfClasses(const std::vector<std::string>& classNames,
                                                              std::string_view key) {
    const Value* node = rawField(key);
    if (!node || error_) return std::nullopt;
    auto value = decodeNode(*node, classNames);
    if (!value && !error_)
        failWithError(corruptError("the value for key \"" + std::string(key) + "\" could not be decoded"));
    return value;
}

std::optional<Value> NSKeyedUnarchiver::decodeNumber(std::string_view key) {
    return decodeObjectOfClasses({"NSNumber"}, key);
}

int64_t NSKeyedUnarchiver::decodeIntegerForKey(std::string_view key) {
    auto value = decodeNumber(key);
    return value ? value->integerValue() : 0;
}

uint64_t NSKeyedUnarchiver::decodeUnsignedIntegerForKey(std::string_view key) {
    auto value = decodeNumber(key);
    return value ? value->unsignedIntegerValue() : 0;
}

bool NSKeyedUnarchiver::decodeBoolForKey(std::string_view key) {
    auto value = decodeNumber(key);
    return value ? value->boolValue() : false;
}

double NSKeyedUnarchiver::decodeDoubleForKey(std::string_view key) {
    auto value = decodeNumber(key);
    return value ? value->doubleValue() : 0;
}

void NSKeyedUnarchiver::failWithError(NSErrorPtr error) {
    if (!error_) error_ = std::move(error);
}
