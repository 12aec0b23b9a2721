#include "platform/foundation/Value.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

// ---- Data ----

namespace {
const std::shared_ptr<const std::vector<uint8_t>>& emptyBytes() {
    static const auto* empty =
        new std::shared_ptr<const std::vector<uint8_t>>(std::make_shared<const std::vector<uint8_t>>());
    return *empty;
}
}  // namespace

Data::Data() : bytes_(emptyBytes()) {}
Data::Data(std::vector<uint8_t> bytes)
    : bytes_(std::make_shared<const std::vector<uint8_t>>(std::move(bytes))) {}
Data::Data(const void* bytes, size_t length)
    : bytes_(std::make_shared<const std::vector<uint8_t>>(static_cast<const uint8_t*>(bytes),
                                                          static_cast<const uint8_t*>(bytes) + length)) {}

Data Data::fromString(std::string_view text) {
    return Data(text.data(), text.size());
}

Data Data::subdata(size_t location, size_t len) const {
    if (location > length()) return Data();
    len = std::min(len, length() - location);
    return Data(bytes() + location, len);
}

std::string Data::description() const {
    static const char* hex = "0123456789abcdef";
    std::string out = "<";
    for (size_t i = 0; i < length(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += hex[bytes()[i] >> 4];
        out += hex[bytes()[i] & 15];
    }
    out += '>';
    return out;
}

bool Data::operator==(const Data& other) const {
    return bytes_ == other.bytes_ || *bytes_ == *other.bytes_;
}

// ---- Date ----

std::string Date::description() const {
    double unix = std::floor(unixTime());
    if (!std::isfinite(unix) || std::fabs(unix) > 1e15) return "<invalid date>";
    time_t t = static_cast<time_t>(unix);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// ---- Object ----

std::string Object::description() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "<Object: %p>", static_cast<const void*>(this));
    return buf;
}

// ---- text helpers ----

namespace valuetext {

namespace {
size_t skipSpaces(std::string_view t, size_t i) {
    while (i < t.size() &&
           (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r' || t[i] == '\v' || t[i] == '\f'))
        ++i;
    return i;
}
}  // namespace

int64_t parseInteger(std::string_view t) {
    size_t i = skipSpaces(t, 0);
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    // Accumulate as a negative number so that INT64_MIN is representable.
    int64_t acc = 0;
    bool saturated = false;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
        int digit = t[i] - '0';
        if (saturated) continue;
        if (acc < (std::numeric_limits<int64_t>::min() + digit) / 10) {
            saturated = true;
            continue;
        }
        acc = acc * 10 - digit;
    }
    if (saturated)
        return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    if (!negative) {
        if (acc == std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::max();
        return -acc;
    }
    return acc;
}

double parseDouble(std::string_view t) {
    size_t i = skipSpaces(t, 0);
    std::string rest(t.substr(i));
    char* end = nullptr;
    double d = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) return 0;
    return d;
}

bool parseBool(std::string_view t) {
    size_t i = skipSpaces(t, 0);
    if (i < t.size() && (t[i] == 'Y' || t[i] == 'y' || t[i] == 'T' || t[i] == 't')) return true;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    while (i < t.size() && t[i] == '0') ++i;
    return i < t.size() && t[i] >= '1' && t[i] <= '9';
}

std::string formatDouble(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    if (d == 0) return std::signbit(d) ? "-0" : "0";
    // Integral values up to 2^63 print as integers ("100", not "1e+02").
    if (std::fabs(d) < 9.2e18 && d == std::trunc(d)) return std::to_string(static_cast<int64_t>(d));
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, res.ptr);
}

}  // namespace valuetext

// ---- Value ----

Value::Value(unsigned long u) {
    if (u <= uint64_t(std::numeric_limits<int64_t>::max()))
        v_ = int64_t(u);
    else
        v_ = uint64_t(u);
}
Value::Value(unsigned long long u) : Value(static_cast<unsigned long>(u)) {}
Value::Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
Value::Value(Dictionary d) : v_(std::make_shared<Dictionary>(std::move(d))) {}
Value::Value(std::shared_ptr<::Object> o) {
    if (o) v_ = std::move(o);
}
Value::Value(SetTag, Set s) : v_(std::make_shared<SetBox>(std::move(s))) {}

Value Value::array(std::initializer_list<Value> items) {
    return Value(Array(items));
}
Value Value::dictionary(std::initializer_list<std::pair<const std::string, Value>> items) {
    return Value(Dictionary(items));
}
Value Value::set(std::initializer_list<Value> items) {
    return setFrom(Set(items));
}
Value Value::setFrom(Set items) {
    Value v(SetTag{}, {});
    for (auto& item : items) v.insert(std::move(item));
    return v;
}

bool Value::isNumber() const {
    auto k = kind();
    return k == Kind::Bool || k == Kind::Int || k == Kind::UInt || k == Kind::Double;
}

const Value::Array* Value::asArray() const {
    auto p = std::get_if<std::shared_ptr<Array>>(&v_);
    return p ? p->get() : nullptr;
}
const Value::Dictionary* Value::asDictionary() const {
    auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
    return p ? p->get() : nullptr;
}
const Value::Set* Value::asSet() const {
    auto p = std::get_if<std::shared_ptr<SetBox>>(&v_);
    return p ? p->get() : nullptr;
}
std::shared_ptr<::Object> Value::asObject() const {
    auto p = std::get_if<std::shared_ptr<::Object>>(&v_);
    return p ? *p : nullptr;
}

namespace {
template <class T>
T& unshare(std::shared_ptr<T>& p) {
    if (p.use_count() > 1) p = std::make_shared<T>(*p);
    return *p;
}
}  // namespace

Value::Array& Value::mutableArray() {
    if (isNull()) v_ = std::make_shared<Array>();
    auto p = std::get_if<std::shared_ptr<Array>>(&v_);
    assert(p && "mutableArray on a value that is not an array");
    return unshare(*p);
}
Value::Dictionary& Value::mutableDictionary() {
    if (isNull()) v_ = std::make_shared<Dictionary>();
    auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
    assert(p && "mutableDictionary on a value that is not a dictionary");
    return unshare(*p);
}
Value::Set& Value::mutableSet() {
    if (isNull()) v_ = std::make_shared<SetBox>();
    auto p = std::get_if<std::shared_ptr<SetBox>>(&v_);
    assert(p && "mutableSet on a value that is not a set");
    return unshare(*p);
}

int64_t Value::integerValue() const {
    switch (kind()) {
        case Kind::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Kind::Int:
            return std::get<int64_t>(v_);
        case Kind::UInt:
            return static_cast<int64_t>(std::get<uint64_t>(v_));
        case Kind::Double: {
            double d = std::get<double>(v_);
            if (std::isnan(d)) return 0;
            if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
            if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
            return static_cast<int64_t>(d);
        }
        case Kind::String:
            return valuetext::parseInteger(*asString());
        default:
            return 0;
    }
}

uint64_t Value::unsignedIntegerValue() const {
    if (kind() == Kind::UInt) return std::get<uint64_t>(v_);
    if (kind() == Kind::Double) {
        double d = std::get<double>(v_);
        if (std::isnan(d) || d <= 0) return static_cast<uint64_t>(integerValue());
        if (d >= 1.8446744073709552e19) return std::numeric_limits<uint64_t>::max();
        return static_cast<uint64_t>(d);
    }
    return static_cast<uint64_t>(integerValue());
}

double Value::doubleValue() const {
    switch (kind()) {
        case Kind::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Kind::Int:
            return double(std::get<int64_t>(v_));
        case Kind::UInt:
            return double(std::get<uint64_t>(v_));
        case Kind::Double:
            return std::get<double>(v_);
        case Kind::String:
            return valuetext::parseDouble(*asString());
        case Kind::Date:
            return std::get<::Date>(v_).secondsSinceReferenceDate;
        default:
            return 0;
    }
}

bool Value::boolValue() const {
    switch (kind()) {
        case Kind::Bool:
            return std::get<bool>(v_);
        case Kind::Int:
            return std::get<int64_t>(v_) != 0;
        case Kind::UInt:
            return std::get<uint64_t>(v_) != 0;
        case Kind::Double:
            return std::get<double>(v_) != 0;
        case Kind::String:
            return valuetext::parseBool(*asString());
        default:
            return false;
    }
}

std::string Value::stringValue() const {
    if (auto s = asString()) return *s;
    return description();
}

const Value* Value::find(std::string_view key) const {
    auto d = asDictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

namespace {
const Value& nullValue() {
    static const Value* null = new Value();
    return *null;
}
}  // namespace

const Value& Value::operator[](std::string_view key) const {
    auto v = find(key);
    return v ? *v : nullValue();
}

const Value& Value::operator[](size_t index) const {
    auto a = asArray();
    if (!a || index >= a->size()) return nullValue();
    return (*a)[index];
}

size_t Value::count() const {
    switch (kind()) {
        case Kind::Array:
            return asArray()->size();
        case Kind::Dictionary:
            return asDictionary()->size();
        case Kind::Set:
            return asSet()->size();
        case Kind::Data:
            return asData()->length();
        case Kind::String:
            return asString()->size();
        default:
            return 0;
    }
}

bool Value::contains(const Value& member) const {
    const std::vector<Value>* items = asSet();
    if (!items) items = asArray();
    if (!items) return false;
    return std::find(items->begin(), items->end(), member) != items->end();
}

void Value::insert(Value member) {
    if (isArray()) {
        mutableArray().push_back(std::move(member));
        return;
    }
    auto& s = mutableSet();
    if (std::find(s.begin(), s.end(), member) == s.end()) s.push_back(std::move(member));
}

void Value::set(std::string key, Value value) {
    mutableDictionary()[std::move(key)] = std::move(value);
}

const void* Value::identity() const {
    if (auto p = std::get_if<std::shared_ptr<Array>>(&v_)) return p->get();
    if (auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_)) return p->get();
    if (auto p = std::get_if<std::shared_ptr<SetBox>>(&v_)) return p->get();
    if (auto p = std::get_if<std::shared_ptr<::Object>>(&v_)) return p->get();
    return nullptr;
}

// ---- equality ----

namespace {

// Numbers compare by mathematical value whatever their storage.
struct Number {
    enum { Signed, Unsigned, Floating } kind;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
};

bool numbersEqual(const Number& a, const Number& b) {
    if (a.kind == Number::Floating || b.kind == Number::Floating) {
        if (a.kind == Number::Floating && b.kind == Number::Floating) return a.d == b.d;
        const Number& f = a.kind == Number::Floating ? a : b;
        const Number& n = a.kind == Number::Floating ? b : a;
        if (!std::isfinite(f.d) || f.d != std::trunc(f.d)) return false;
        if (n.kind == Number::Signed) {
            if (f.d < -9.2233720368547758e18 || f.d >= 9.2233720368547758e18) return false;
            return static_cast<int64_t>(f.d) == n.i;
        }
        if (f.d < 0 || f.d >= 1.8446744073709552e19) return false;
        return static_cast<uint64_t>(f.d) == n.u;
    }
    if (a.kind == b.kind) return a.kind == Number::Signed ? a.i == b.i : a.u == b.u;
    const Number& s = a.kind == Number::Signed ? a : b;
    const Number& u = a.kind == Number::Signed ? b : a;
    return s.i >= 0 && static_cast<uint64_t>(s.i) == u.u;
}

bool setsEqual(const Value::Set& a, const Value::Set& b) {
    if (a.size() != b.size()) return false;
    for (const auto& item : a)
        if (std::find(b.begin(), b.end(), item) == b.end()) return false;
    return true;
}

}  // namespace

bool Value::operator==(const Value& other) const {
    if (isNumber() && other.isNumber()) {
        auto toNumber = [](const Value& v) {
            Number n{Number::Signed};
            switch (v.kind()) {
                case Kind::Bool:
                    n.i = std::get<bool>(v.v_) ? 1 : 0;
                    break;
                case Kind::Int:
                    n.i = std::get<int64_t>(v.v_);
                    break;
                case Kind::UInt:
                    n.kind = Number::Unsigned;
                    n.u = std::get<uint64_t>(v.v_);
                    break;
                default:
                    n.kind = Number::Floating;
                    n.d = std::get<double>(v.v_);
            }
            return n;
        };
        return numbersEqual(toNumber(*this), toNumber(other));
    }
    if (kind() != other.kind()) return false;
    switch (kind()) {
        case Kind::Null:
            return true;
        case Kind::String:
            return *asString() == *other.asString();
        case Kind::Data:
            return *asData() == *other.asData();
        case Kind::Date:
            return *asDate() == *other.asDate();
        case Kind::Array:
            return asArray() == other.asArray() || *asArray() == *other.asArray();
        case Kind::Dictionary:
            return asDictionary() == other.asDictionary() || *asDictionary() == *other.asDictionary();
        case Kind::Set:
            return asSet() == other.asSet() || setsEqual(*asSet(), *other.asSet());
        case Kind::Object: {
            auto a = asObject(), b = other.asObject();
            return a == b || a->isEqual(*b);
        }
        default:
            return false;
    }
}

// ---- description ----

namespace {

bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    for (unsigned char c : s) {
        if (c >= 0x80) return true;
        if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c == ':')) return true;
    }
    return false;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    out += '"';
    return out;
}

void describe(const Value& v, int indent, bool nested, std::string& out) {
    std::string pad(size_t(indent) * 4, ' ');
    std::string inner(size_t(indent + 1) * 4, ' ');
    switch (v.kind()) {
        case Value::Kind::String:
            out += nested && needsQuotes(*v.asString()) ? quoted(*v.asString()) : *v.asString();
            return;
        case Value::Kind::Array:
        case Value::Kind::Set: {
            const auto& items = v.isArray() ? *v.asArray() : *v.asSet();
            if (nested) out += pad;  // the platform indents a nested opening bracket
            out += v.isArray() ? "(\n" : "{(\n";
            for (size_t i = 0; i < items.size(); ++i) {
                out += inner;
                describe(items[i], indent + 1, true, out);
                if (i + 1 < items.size()) out += ',';
                out += '\n';
            }
            out += pad;
            out += v.isArray() ? ")" : ")}";
            return;
        }
        case Value::Kind::Dictionary: {
            if (nested) out += pad;
            out += "{\n";
            for (const auto& [key, item] : *v.asDictionary()) {
                out += inner;
                out += needsQuotes(key) ? quoted(key) : key;
                out += " = ";
                describe(item, indent + 1, true, out);
                out += ";\n";
            }
            out += pad;
            out += '}';
            return;
        }
        default:
            out += v.description();
    }
}

}  // namespace

std::string Value::description() const {
    switch (kind()) {
        case Kind::Null:
            return "<null>";
        case Kind::Bool:
            return std::get<bool>(v_) ? "1" : "0";
        case Kind::Int:
            return std::to_string(std::get<int64_t>(v_));
        case Kind::UInt:
            return std::to_string(std::get<uint64_t>(v_));
        case Kind::Double:
            return valuetext::formatDouble(std::get<double>(v_));
        case Kind::String:
            return *asString();
        case Kind::Data:
            return asData()->description();
        case Kind::Date:
            return asDate()->description();
        case Kind::Object:
            return asObject()->description();
        default: {
            std::string out;
            describe(*this, 0, false, out);
            return out;
        }
    }
}
