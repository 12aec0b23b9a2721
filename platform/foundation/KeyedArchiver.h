// Keyed archiving and copying of configurable objects.
//
// An archive is a binary property list of our own layout:
//
//   { "$archive": "qv.keyed", "$version": 1, "$root": <node> }
//
//   node := string | integer | real | boolean | data | date    the value itself
//         | [ node, ... ]                                      an array
//         | { "$null": true }                                  the null object
//         | { "$set": [ node, ... ] }                          a set
//         | { "$dict": { key: node, ... } }                    a dictionary
//         | { "$class": "Name", "$fields": { key: node, ... } } an object that adopts NSCoding
//
// An archive is a tree: an object reachable twice is written twice, and a cycle is an error.
//
// Decoding is always "secure": the caller names the classes it accepts, and every value read back is checked
// against them before any object is made. Value kinds answer to the platform's class names (NSString,
// NSNumber, NSData, NSDate, NSArray, NSDictionary, NSSet, NSNull); an object answers to its registered class
// name and to those of its registered superclasses. Containers are checked member by member. Anything that
// does not fit, a corrupt or hostile archive included, gives no object and an NSCocoaErrorDomain error
// (4864, corrupt archive; 4865, a required value was missing); nothing aborts or throws.
//
//   NSKeyedUnarchiver::registerClass("HCThing", "", [](NSKeyedUnarchiver& coder) { ... });
//   auto data = NSKeyedArchiver::archivedDataWithRootObject(Value(thing), &error);
//   auto copy = NSKeyedUnarchiver::unarchivedObjectOfClass<HCThing>(*data, &error);
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

class NSKeyedArchiver;
class NSKeyedUnarchiver;

inline constexpr long NSCoderReadCorruptError = 4864;
inline constexpr long NSCoderValueNotFoundError = 4865;
inline constexpr long NSCoderInvalidValueError = 4866;

// Adopted by objects that can be archived. Each adopting class registers a factory under the name that
// `classNameForCoder` returns (see NSKeyedUnarchiver::registerClass).
class NSCoding {
  public:
    virtual ~NSCoding() = default;
    virtual std::string classNameForCoder() const = 0;
    virtual void encodeWithCoder(NSKeyedArchiver& coder) const = 0;
};

// Adopted by objects that can be copied. A copy is a new object of the same class with the same settings.
struct NSZone;
class NSCopying {
  public:
    virtual ~NSCopying() = default;
    virtual std::shared_ptr<Object> copyWithZone(NSZone* zone) const = 0;
};

// `copyWithZone` of an object known to be a T; nullptr when the copy is of another type.
template <class T>
std::shared_ptr<T> NSCopy(const T& object) {
    return std::dynamic_pointer_cast<T>(object.copyWithZone(nullptr));
}

class NSKeyedArchiver {
  public:
    // nullopt with the error set when the graph holds an object that does not adopt NSCoding, a cycle, or
    // a value the property-list writer cannot hold.
    static std::optional<Data> archivedDataWithRootObject(const Value& root, NSErrorPtr* error);

    // Called from encodeWithCoder. A later value for the same key replaces the earlier one.
    void encodeObject(const Value& object, std::string_view key);
    void encodeInteger(int64_t value, std::string_view key);
    void encodeBool(bool value, std::string_view key);
    void encodeDouble(double value, std::string_view key);

  private:
    NSKeyedArchiver() = default;
    Value encodeNode(const Value& value);

    Value::Dictionary* fields_ = nullptr;  // the fields of the object being encoded
    int depth_ = 0;
    NSErrorPtr error_;
};

class NSKeyedUnarchiver {
  public:
    // Makes an object of a registered class from its fields; nullptr (or failWithError) when the fields do
    // not make a sound object.
    using Factory = std::function<std::shared_ptr<Object>(NSKeyedUnarchiver& coder)>;

    // Registers (or replaces) the factory for `className`. `superclassName` is "" for a root class; it lets
    // a subclass's archive answer to its superclass's name.
    static void registerClass(const std::string& className, const std::string& superclassName,
                              Factory factory);
    static bool isClassRegistered(const std::string& className);

    // The root value when it (and everything inside it) answers to one of `classNames`; nullopt and the
    // error otherwise.
    static std::optional<Value> unarchivedObjectOfClasses(const std::vector<std::string>& classNames,
                                                          const Data& data, NSErrorPtr* error);
    // The root object as a T, where T names itself through a static `archiveClassName()`.
    template <class T>
    static std::shared_ptr<T> unarchivedObjectOfClass(const Data& data, NSErrorPtr* error) {
        auto value = unarchivedObjectOfClasses({T::archiveClassName()}, data, error);
        if (!value) return nullptr;
        auto object = value->template asObjectOf<T>();
        if (!object && error) *error = mismatchError(T::archiveClassName());
        return object;
    }

    // Field access, called from factories.
    bool containsValueForKey(std::string_view key) const;
    // The value when it answers to one of `classNames`; nullopt when absent (not an error) or when it does
    // not answer (an error: the whole decoding then fails).
    std::optional<Value> decodeObjectOfClasses(const std::vector<std::string>& classNames,
                                               std::string_view key);
    std::optional<Value> decodeObjectOfClass(const std::string& className, std::string_view key) {
        return decodeObjectOfClasses({className}, key);
    }
    // Numbers: 0 / NO when absent; a value of another kind fails the decoding.
    int64_t decodeIntegerForKey(std::string_view key);
    uint64_t decodeUnsignedIntegerForKey(std::string_view key);
    bool decodeBoolForKey(std::string_view key);
    double decodeDoubleForKey(std::string_view key);

    // Ends the decoding with `error`; the first error wins.
    void failWithError(NSErrorPtr error);
    const NSErrorPtr& error() const { return error_; }

  private:
    NSKeyedUnarchiver() = default;
    static NSErrorPtr mismatchError(const std::string& expected);
    std::optional<Value> decodeNode(const Value& node, const std::vector<std::string>& classNames);
    const Value* rawField(std::string_view key) const;
    std::optional<Value> decodeNumber(std::string_view key);

    const Value::Dictionary* fields_ = nullptr;
    int depth_ = 0;
    NSErrorPtr error_;
};
