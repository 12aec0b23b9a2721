#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <mutex>

#include "platform/foundation/tests/test_support.h"

namespace {

// A small settings object with a nested object and a subclass, registered like any archivable class.
class Shape : public Object, public NSCoding {
  public:
    static std::string archiveClassName() { return "TestShape"; }
    static std::shared_ptr<Shape> create() { return std::shared_ptr<Shape>(new Shape); }

    std::string name;
    int64_t sides = 0;
    Value tags;  // a set of strings
    std::shared_ptr<Shape> inner;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override {
        coder.encodeObject(name, "name");
        coder.encodeInteger(sides, "sides");
        if (!tags.isNull()) coder.encodeObject(tags, "tags");
        if (inner) coder.encodeObject(Value(inner), "inner");
    }
    static bool decodeInto(Shape& shape, NSKeyedUnarchiver& coder) {
        auto name = coder.decodeObjectOfClass("NSString", "name");
        shape.name = name ? *name->asString() : "";
        shape.sides = coder.decodeIntegerForKey("sides");
        shape.tags = coder.decodeObjectOfClasses({"NSSet", "NSString"}, "tags").value_or(Value());
        if (auto inner = coder.decodeObjectOfClass(archiveClassName(), "inner"))
            shape.inner = inner->asObjectOf<Shape>();
        return !coder.error();
    }

  protected:
    Shape() = default;
};

class Square : public Shape {
  public:
    static std::string archiveClassName() { return "TestSquare"; }
    static std::shared_ptr<Square> create() { return std::shared_ptr<Square>(new Square); }
    double side = 0;
    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override {
        Shape::encodeWithCoder(coder);
        coder.encodeDouble(side, "side");
    }
    static bool decodeInto(Square& square, NSKeyedUnarchiver& coder) {
        square.side = coder.decodeDoubleForKey("side");
        return Shape::decodeInto(square, coder);
    }
};

// An object that refers to itself: archiving it must fail, not recurse for ever.
class Loop : public Object, public NSCoding {
  public:
    std::shared_ptr<Loop> self;
    std::string classNameForCoder() const override { return "TestLoop"; }
    void encodeWithCoder(NSKeyedArchiver& coder) const override { coder.encodeObject(Value(self), "self"); }
};

template <class T>
std::shared_ptr<Object> decoded(NSKeyedUnarchiver& coder) {
    auto object = T::create();
    return T::decodeInto(*object, coder) ? object : nullptr;
}

void registerTestClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        NSKeyedUnarchiver::registerClass(Shape::archiveClassName(), "", decoded<Shape>);
        NSKeyedUnarchiver::registerClass(Square::archiveClassName(), Shape::archiveClassName(),
                                         decoded<Square>);
    });
}

const std::vector<std::string> kPlainClasses = {"NSString", "NSNumber", "NSData",       "NSDate",
                                                "NSArray",  "NSSet",    "NSDictionary", "NSNull"};

TEST(KeyedArchiver, PlainValuesRoundTrip) {
    const Value cases[] = {
        Value("text with \u00e9 and \U0001F600"),
        Value(int64_t(-42)),
        Value(uint64_t(UINT64_MAX)),
        Value(Data::fromString(std::string("\0\1\2", 3))),
        Value(Date{123.5}),
        Value(),
        Value::array({1, "two", Value(), Value::array({})}),
        Value::set({"b", "a", 3}),
        Value(Dict{{"$null", true}, {"$class", "x"}, {"nested", Value(Dict{{"k", Value::set({})}})}}),
    };
    for (const auto& value : cases) {
        SCOPED_TRACE(value.description());
        NSErrorPtr error;
        auto data = NSKeyedArchiver::archivedDataWithRootObject(value, &error);
        ASSERT_TRUE(data) << (error ? error->description() : "");
        auto back = NSKeyedUnarchiver::unarchivedObjectOfClasses(kPlainClasses, *data, &error);
        ASSERT_TRUE(back) << (error ? error->description() : "");
        EXPECT_EQ(back->kind(), value.kind());
        EXPECT_EQ(*back, value);
    }
}

// Also: every truncation and byte flip of the archive is an error or a well-formed object, never both.
TEST(KeyedArchiver, ObjectsRoundTripWithNestedObjectsAndSubclassesAndCorruptionIsHandled) {
    registerTestClasses();
    auto square = Square::create();
    square->name = "sq";
    square->sides = 4;
    square->side = 1.25;
    square->tags = Value::set({"red", "blue"});
    square->inner = Shape::create();
    square->inner->name = "inner";
    square->inner->sides = 3;

    NSErrorPtr error;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(Value(square), &error);
    ASSERT_TRUE(data);
    auto bytes = std::vector<uint8_t>(data->bytes(), data->bytes() + data->length());
    for (size_t i = 0; i < bytes.size(); ++i) {
        NSErrorPtr failure;
        auto truncated = Data(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(i)));
        EXPECT_FALSE(NSKeyedUnarchiver::unarchivedObjectOfClass<Shape>(truncated, &failure)) << i;
        EXPECT_TRUE(failure) << i;
        for (uint8_t flip : {0x01, 0x80, 0xff}) {
            auto mutated = bytes;
            mutated[i] ^= flip;
            failure.reset();
            auto object = NSKeyedUnarchiver::unarchivedObjectOfClass<Shape>(Data(mutated), &failure);
            EXPECT_NE(bool(object), bool(failure)) << i;
        }
    }

    // A subclass answers to its superclass's name.
    auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<Shape>(*data, &error);
    ASSERT_TRUE(back) << (error ? error->description() : "");
    auto backSquare = std::dynamic_pointer_cast<Square>(back);
    ASSERT_TRUE(backSquare);
    EXPECT_EQ(std::tie(backSquare->name, backSquare->sides, backSquare->side, backSquare->tags),
              std::make_tuple("sq", 4, 1.25, Value::set({"blue", "red"})));
    ASSERT_TRUE(backSquare->inner);
    EXPECT_EQ(std::tie(backSquare->inner->name, backSquare->inner->sides), std::make_tuple("inner", 3));
    EXPECT_FALSE(backSquare->inner->inner);
}

Data binaryPlist(const Value& value) {
    auto data = NSPropertyListSerialization::dataWithPropertyList(
        value, NSPropertyListSerialization::Format::Binary, nullptr);
    EXPECT_TRUE(data);
    return data.value_or(Data());
}

// A well-formed archive envelope around a hand-made root node.
Data archiveWithRoot(Value root) {
    return binaryPlist(Value(Dict{{"$archive", "qv.keyed"}, {"$version", 1}, {"$root", std::move(root)}}));
}

Value objectNode(const std::string& className, Dict fields) {
    Dict node;
    node["$class"] = className;
    node["$fields"] = Value(std::move(fields));
    return Value(std::move(node));
}

Data archived(const Value& root) {
    auto data = NSKeyedArchiver::archivedDataWithRootObject(root, nullptr);
    EXPECT_TRUE(data);
    return data.value_or(Data());
}

// Secure decoding: whatever the bytes, or the classes they name, a refusal is an error and no object.
TEST(KeyedArchiver, HostileOrUnexpectedArchivesGiveAnErrorAndNoObject) {
    registerTestClasses();
    auto shape = Shape::create();
    shape->name = "plain";
    const Data shapeData = archived(Value(shape));
    Value deep = "leaf";
    for (int i = 0; i < 400; ++i) deep = Value::array({deep});

    const long corrupt = NSCoderReadCorruptError;
    struct Case {
        const char* name;
        Data data;
        std::vector<std::string> allowed;
        long code;
    };
    const Dict envelope{{"$archive", "qv.keyed"}, {"$version", 1}};
    Dict wrongVersion = envelope;
    wrongVersion["$version"] = 9;
    wrongVersion["$root"] = 1;
    const Value shapeInName = objectNode("TestShape", Dict{{"name", objectNode("TestShape", Dict())}});
    const std::vector<std::string> shapes = {"TestShape"};
    const Case cases[] = {
        {"a superclass is not its subclass", shapeData, {Square::archiveClassName()}, corrupt},
        {"an object where a string is expected", shapeData, {"NSString"}, corrupt},
        {"a string where an object is expected", archived(Value("just text")), shapes, corrupt},
        {"a member outside the allowed classes",
         archived(Value::array({"a", 1})),
         {"NSArray", "NSString"},
         corrupt},
        {"empty", Data(), kPlainClasses, corrupt},
        {"not an archive", binaryPlist(Value(Dict{{"a", 1}})), kPlainClasses, corrupt},
        {"wrong version", binaryPlist(Value(wrongVersion)), kPlainClasses, corrupt},
        {"no root", binaryPlist(Value(envelope)), kPlainClasses, NSCoderValueNotFoundError},
        {"unknown class", archiveWithRoot(objectNode("Nope", Dict())), {"Nope"}, corrupt},
        {"class without fields", archiveWithRoot(Value(Dict{{"$class", "TestShape"}})), shapes, corrupt},
        {"field of the wrong type", archiveWithRoot(objectNode("TestShape", Dict{{"sides", "four"}})), shapes,
         corrupt},
        {"object inside a field where a string is expected", archiveWithRoot(shapeInName), shapes, corrupt},
        {"nested too deeply", archiveWithRoot(deep), kPlainClasses, corrupt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NSErrorPtr error;
        EXPECT_FALSE(NSKeyedUnarchiver::unarchivedObjectOfClasses(c.allowed, c.data, &error));
        foundation_test::expectError(error, NSCocoaErrorDomain, c.code, "");
        EXPECT_FALSE(error->localizedDescription().empty());
        EXPECT_TRUE(c.code != corrupt || !error->localizedFailureReason().empty());
    }
}

TEST(KeyedArchiver, EncodingFailsCleanlyForUnarchivableGraphs) {
    auto loop = std::make_shared<Loop>();
    loop->self = loop;
    NSErrorPtr error;
    EXPECT_FALSE(NSKeyedArchiver::archivedDataWithRootObject(Value(loop), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), NSCoderInvalidValueError);
    loop->self.reset();  // break the cycle for the leak checker
}

}  // namespace
