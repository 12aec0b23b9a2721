// The platform's value model: numbers, strings, data, dates and containers in one type.
//
// A `Value` is one of null (NSNull), bool, int64, uint64, double, string (UTF-8), `Data`, `Date`,
// array, dictionary (sorted string keys), set, or a shared `Object`. Values have value semantics;
// containers are shared and copied on the first write, so passing a large reply around is cheap.
//
// Equality follows the platform: numbers compare by value across kinds (1 == 1.0 == true), strings and
// data by bytes, containers deeply, sets without order, objects by identity unless they override it.
#pragma once

#include <compare>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class Value;

// Immutable shared bytes (NSData).
class Data {
  public:
    Data();
    explicit Data(std::vector<uint8_t> bytes);
    Data(const void* bytes, size_t length);
    static Data fromString(std::string_view text);

    const uint8_t* bytes() const { return bytes_->data(); }
    size_t length() const { return bytes_->size(); }
    bool empty() const { return bytes_->empty(); }
    std::span<const uint8_t> span() const { return {bytes_->data(), bytes_->size()}; }
    std::string_view view() const { return {reinterpret_cast<const char*>(bytes_->data()), bytes_->size()}; }
    std::string toString() const { return std::string(view()); }
    Data subdata(size_t location, size_t length) const;

    // "<01020304 05060708>": hex, grouped by four bytes.
    std::string description() const;

    bool operator==(const Data& other) const;

  private:
    std::shared_ptr<const std::vector<uint8_t>> bytes_;
};

// A point in time: seconds since 2001-01-01 00:00:00 UTC (NSDate).
struct Date {
    double secondsSinceReferenceDate = 0;

    static constexpr double kUnixEpochOffset = 978307200.0;  // seconds from 1970 to 2001
    static Date fromUnixTime(double seconds) { return Date{seconds - kUnixEpochOffset}; }
    double unixTime() const { return secondsSinceReferenceDate + kUnixEpochOffset; }
    Date addingTimeInterval(double seconds) const { return Date{secondsSinceReferenceDate + seconds}; }
    double timeIntervalSinceDate(const Date& other) const {
        return secondsSinceReferenceDate - other.secondsSinceReferenceDate;
    }
    // "2001-01-01 00:00:00 +0000"
    std::string description() const;

    auto operator<=>(const Date&) const = default;
};

// Base of reference objects that travel inside values (responses, errors, tasks, ...).
class Object : public std::enable_shared_from_this<Object> {
  public:
    virtual ~Object() = default;
    virtual std::string description() const;
    // Identity by default; value-like objects override.
    virtual bool isEqual(const Object& other) const { return this == &other; }
};

class Value {
  public:
    enum class Kind { Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary, Set, Object };

    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value, std::less<>>;
    // Distinct members in insertion order; membership by value equality.
    using Set = std::vector<Value>;

    Value() = default;  // null
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t(i)) {}
    Value(long i) : v_(int64_t(i)) {}
    Value(long long i) : v_(int64_t(i)) {}
    Value(unsigned u) : v_(int64_t(u)) {}
    Value(unsigned long u);
    Value(unsigned long long u);
    Value(double d) : v_(d) {}
    Value(float f) : v_(double(f)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(::Data d) : v_(std::move(d)) {}
    Value(::Date d) : v_(d) {}
    Value(Array a);
    Value(Dictionary d);
    Value(std::shared_ptr<::Object> o);
    template <class T, class = std::enable_if_t<std::is_base_of_v<::Object, T>>>
    Value(std::shared_ptr<T> o) : Value(std::static_pointer_cast<::Object>(std::move(o))) {}

    static Value array(std::initializer_list<Value> items = {});
    static Value dictionary(std::initializer_list<std::pair<const std::string, Value>> items = {});
    static Value set(std::initializer_list<Value> items = {});
    static Value setFrom(Set items);

    Kind kind() const { return Kind(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    bool isBool() const { return kind() == Kind::Bool; }
    bool isNumber() const;  // bool, int, uint or double
    bool isString() const { return kind() == Kind::String; }
    bool isData() const { return kind() == Kind::Data; }
    bool isDate() const { return kind() == Kind::Date; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isDictionary() const { return kind() == Kind::Dictionary; }
    bool isSet() const { return kind() == Kind::Set; }
    bool isObject() const { return kind() == Kind::Object; }

    // Typed access; nullptr when the value is of another kind.
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const ::Data* asData() const { return std::get_if<::Data>(&v_); }
    const ::Date* asDate() const { return std::get_if<::Date>(&v_); }
    const Array* asArray() const;
    const Dictionary* asDictionary() const;
    const Set* asSet() const;
    std::shared_ptr<::Object> asObject() const;
    template <class T>
    std::shared_ptr<T> asObjectOf() const {
        return std::dynamic_pointer_cast<T>(asObject());
    }

    // Mutable access to a container; copies shared storage first. Asserts on the wrong kind.
    Array& mutableArray();
    Dictionary& mutableDictionary();
    Set& mutableSet();

    // Total conversions as the platform does them (strings are parsed, others give 0 / NO / "").
    int64_t integerValue() const;
    uint64_t unsignedIntegerValue() const;
    double doubleValue() const;
    bool boolValue() const;
    // The string itself, or the description of anything else (NSString stringWithFormat:@"%@").
    std::string stringValue() const;

    // Dictionary look-up: nullptr when this is not a dictionary or the key is absent (nil).
    const Value* find(std::string_view key) const;
    // Array element or dictionary entry; a null value when absent (convenience for chains).
    const Value& operator[](std::string_view key) const;
    const Value& operator[](size_t index) const;
    // Number of elements of a container, bytes of data, UTF-8 bytes of a string; 0 otherwise.
    size_t count() const;

    // Set and array helpers.
    bool contains(const Value& member) const;  // set or array membership by equality
    void insert(Value member);                 // set: adds when absent; array: appends
    void set(std::string key, Value value);    // dictionary (turns null into an empty dictionary)

    // The platform's text form: "1", "0", "100", "<null>", "<0102>", "(\n    1\n)", "{\n    a = 1;\n}".
    std::string description() const;

    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

    const void* identity() const;  // storage identity of a container (for copy-on-write tests)

  private:
    // A set's storage is its own type so that the variant can tell it from an array.
    struct SetBox : Set {
        using Set::Set;
        explicit SetBox(Set s) : Set(std::move(s)) {}
    };
    using Storage = std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, ::Data, ::Date,
                                 std::shared_ptr<Array>, std::shared_ptr<Dictionary>, std::shared_ptr<SetBox>,
                                 std::shared_ptr<::Object>>;
    struct SetTag {};
    Value(SetTag, Set s);
    Storage v_;
};

// Shorthand for dictionaries built in code: Dict{{"a", 1}, {"b", "x"}}.
using Dict = Value::Dictionary;

// Platform text helpers for string conversions used by `Value`.
namespace valuetext {
// Leading spaces, optional sign, digits, stop at the first non-digit; saturates at the int64 limits.
int64_t parseInteger(std::string_view text);
double parseDouble(std::string_view text);
// "Y", "y", "T", "t" or a non-zero digit after spaces, sign and zeros.
bool parseBool(std::string_view text);
// Shortest text that reads back to the same double; integral values print without a fraction.
std::string formatDouble(double d);
}  // namespace valuetext
