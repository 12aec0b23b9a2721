// Archives and copies of every archivable class of the HTTP client, and hostile archives.
#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/PropertyList.h"
#include "testsupport/TestPKI.h"

namespace {

Data archived(const std::shared_ptr<Object>& object) {
    NSErrorPtr error;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(Value(object), &error);
    EXPECT_TRUE(data) << (error ? error->description() : "");
    return data.value_or(Data());
}

// An archive with one object of `className` holding exactly `fields`.
Data rawArchive(const char* className, Value::Dictionary fields) {
    Value::Dictionary node{{"$class", className}, {"$fields", Value(std::move(fields))}};
    Value::Dictionary archive{{"$archive", "qv.keyed"}, {"$version", 1}, {"$root", Value(std::move(node))}};
    return NSPropertyListSerialization::dataWithPropertyList(
               Value(std::move(archive)), NSPropertyListSerialization::Format::Binary, nullptr)
        .value_or(Data());
}

template <class T>
std::shared_ptr<T> configuredRequestSerializer(std::shared_ptr<T> serializer) {
    serializer->setValue(std::string("1"), "X-Custom");
    serializer->setTimeoutInterval(12.5);
    serializer->setHTTPShouldUsePipelining(true);
    serializer->setNetworkServiceType(NSURLRequestNetworkServiceType::Background);
    serializer->setStringEncoding(HCISOLatin1StringEncoding);
    serializer->setHTTPMethodsEncodingParametersInURI({"GET", "OPTIONS"});
    return serializer;
}

template <class T>
std::shared_ptr<T> configuredResponseSerializer(std::shared_ptr<T> serializer) {
    HCIndexSet codes = HCIndexSet::indexSetWithIndexesInRange(200, 2);
    codes.addIndex(304);
    serializer->setAcceptableStatusCodes(codes);
    serializer->setAcceptableContentTypes(std::set<std::string>{"application/vnd.q+json"});
    serializer->setStringEncoding(5);
    return serializer;
}

// A decoded archive and a copy each archive exactly as the original does (so every setting the archive
// holds came back), and the original's settings show in its archive.
TEST(HCArchiving, ArchivesAndCopiesCarryEverySetting) {
    const TestPKI& pki = TestPKI::shared();
    auto json = configuredResponseSerializer(HCJSONResponseSerializer::serializerWithReadingOptions(4));
    json->setRemovesKeysWithNullValues(true);
    auto open = HCHTTPResponseSerializer::serializer();
    open->setAcceptableStatusCodes(std::nullopt);
    auto plist = configuredResponseSerializer(HCPropertyListResponseSerializer::serializerWithFormat(200, 2));
    auto image = configuredResponseSerializer(HCImageResponseSerializer::serializer());
    image->setImageScale(1.5);
    image->setAutomaticallyInflatesResponseImage(false);
    auto keyPins = HCSecurityPolicy::policyWithPinningMode(
        HCSSLPinningMode::PublicKey, HCSecurityPolicy::CertificateSet{pki.intermediate().certificateDer});
    keyPins->setAllowInvalidCertificates(true);
    keyPins->setValidatesDomainName(false);
    auto configuration = NSURLSessionConfiguration::backgroundSessionConfiguration("bg.id");
    configuration->setTimeoutIntervalForRequest(7);
    configuration->setTimeoutIntervalForResource(70);
    configuration->setHTTPAdditionalHeaders({{"X-App", "q"}});
    configuration->setHTTPMaximumConnectionsPerHost(2);
    configuration->setRequestCachePolicy(NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    configuration->setAllowsCellularAccess(false);
    auto manager = HCHTTPSessionManager::create(NSURL::URLWithString("http://h/api"), configuration);
    manager->setRequestSerializer(configuredRequestSerializer(HCJSONRequestSerializer::serializer()));
    manager->setResponseSerializer(json);
    manager->setSecurityPolicy(keyPins);

    struct Row {
        const char* name;
        std::shared_ptr<Object> original, fresh;
    };
    const Row rows[] = {
        {"request", configuredRequestSerializer(HCHTTPRequestSerializer::serializer()),
         HCHTTPRequestSerializer::serializer()},
        {"JSON request",
         configuredRequestSerializer(HCJSONRequestSerializer::serializerWithWritingOptions(1)),
         HCJSONRequestSerializer::serializer()},
        {"plist request",
         configuredRequestSerializer(HCPropertyListRequestSerializer::serializerWithFormat(200, 3)),
         HCPropertyListRequestSerializer::serializer()},
        {"JSON response", json, HCJSONResponseSerializer::serializer()},
        {"response without status codes", open, HCHTTPResponseSerializer::serializer()},
        {"plist response", plist, HCPropertyListResponseSerializer::serializer()},
        {"image response", image, HCImageResponseSerializer::serializer()},
        {"XML response", configuredResponseSerializer(HCXMLParserResponseSerializer::serializer()),
         HCXMLParserResponseSerializer::serializer()},
        {"compound response",
         HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers({plist, image}),
         HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers({})},
        {"key pinning policy", keyPins, HCSecurityPolicy::defaultPolicy()},
        {"session manager", manager, HCHTTPSessionManager::manager()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Data archive = archived(row.original);
        EXPECT_NE(archive, archived(row.fresh));
        NSErrorPtr error;
        auto decoded = NSKeyedUnarchiver::unarchivedObjectOfClasses(
            {dynamic_cast<NSCoding&>(*row.original).classNameForCoder()}, archive, &error);
        ASSERT_TRUE(decoded) << (error ? error->description() : "");
        auto copy = dynamic_cast<NSCopying&>(*row.original).copyWithZone(nullptr);
        ASSERT_TRUE(copy);
        EXPECT_NE(copy, row.original);
        EXPECT_EQ(archived(decoded->asObject()), archive);
        EXPECT_EQ(archived(copy), archive);
        letGo({row.fresh, decoded->asObject(), copy});
    }

    // What archives cannot show. Request serializers keep their marks: the timeout reaches requests, and a
    // property assigned later is observed; the query block travels with copies only.
    auto request = NSCopy<HCHTTPRequestSerializer>(
        *std::dynamic_pointer_cast<HCHTTPRequestSerializer>(rows[0].original));
    EXPECT_EQ(request->requestWithMethod("GET", "http://h/", Value(), nullptr)->timeoutInterval(), 12.5);
    request->setHTTPShouldHandleCookies(false);
    EXPECT_TRUE(request->mutableObservedChangedKeyPaths().count("HTTPShouldHandleCookies"));
    request->setQueryStringSerializationWithBlock(
        [](const NSURLRequest&, const Value&, NSErrorPtr*) -> std::optional<std::string> { return "z=1"; });
    auto copied = NSCopy(*request)->requestWithMethod("GET", "http://h/", Dict{{"a", 1}}, nullptr);
    EXPECT_EQ(copied->URL()->absoluteString(), "http://h/?z=1");
    NSErrorPtr error;
    // The decoded policy derives its keys again and still accepts the pinned intermediate's chain; the
    // decoded manager has a session of its own.
    auto policy = NSKeyedUnarchiver::unarchivedObjectOfClass<HCSecurityPolicy>(archived(keyPins), &error);
    auto chain = SecTrust::create({SecCertificate::createWithData(pki.localhost().certificateDer),
                                   SecCertificate::createWithData(pki.intermediate().certificateDer)},
                                  {});
    EXPECT_TRUE(policy->evaluateServerTrust(chain, "localhost"));
    auto decodedManager =
        NSKeyedUnarchiver::unarchivedObjectOfClass<HCHTTPSessionManager>(archived(manager), &error);
    EXPECT_NE(decodedManager->session(), manager->session());
    EXPECT_EQ(decodedManager->sessionConfiguration()->timeoutIntervalForRequest(), 7);
    letGo({manager, decodedManager});
}

TEST(HCArchiving, HostileArchivesAreRefusedWithAnError) {
    HCHTTPSessionManager::registerArchivableClasses();
    HCImageResponseSerializer::serializer();  // registers the decoding serializers
    const Data root = TestPKI::shared().root().certificateDer;
    struct Row {
        const char* className;
        Value::Dictionary fields;
    };
    const Row rows[] = {
        {"HCHTTPRequestSerializer", {{"mutableHTTPRequestHeaders", Value(Dict{{"$dict", Dict{{"A", 1}}}})}}},
        {"HCHTTPRequestSerializer", {{"mutableHTTPRequestHeaders", "not a dictionary"}}},
        {"HCHTTPRequestSerializer",
         {{"HTTPMethodsEncodingParametersInURI", Value(Dict{{"$set", Value::array({1})}})}}},
        {"HCHTTPRequestSerializer", {{"timeoutInterval", "soon"}}},
        {"HCHTTPResponseSerializer", {{"acceptableStatusCodes", Value::array({Value::array({-5, 3})})}}},
        {"HCHTTPResponseSerializer", {{"acceptableStatusCodes", Value::array({Value::array({1})})}}},
        {"HCHTTPResponseSerializer",
         {{"acceptableStatusCodes", Value::array({Value::array({uint64_t(UINT64_MAX), uint64_t(2)})})}}},
        {"HCHTTPResponseSerializer", {{"acceptableContentTypes", Value(Dict{{"$set", Value::array({1})}})}}},
        {"HCJSONResponseSerializer", {{"readingOptions", "all"}}},
        {"HCImageResponseSerializer", {{"imageScale", -4.0}}},
        {"HCRequestThatDoesNotExist", {}},
        {"HCSecurityPolicy", {{"SSLPinningMode", Value("1")}}},
        {"HCSecurityPolicy", {{"pinnedCertificates", Value(root)}}},
        {"HCSecurityPolicy", {{"pinnedCertificates", Value(Dict{{"$set", Value::array({"cert"})}})}}},
        {"HCHTTPSessionManager", {{"timeoutIntervalForRequest", -1.0}}},
        {"HCHTTPSessionManager", {{"HTTPMaximumConnectionsPerHost", 1 << 20}}},
        {"HCHTTPSessionManager", {{"HTTPAdditionalHeaders", Value(Dict{{"$dict", Dict{{"A", 1}}}})}}},
        {"HCHTTPSessionManager", {{"baseURL", "http://bad host/"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.className + (" " + Value(row.fields).description()));
        NSErrorPtr error;
        EXPECT_FALSE(NSKeyedUnarchiver::unarchivedObjectOfClasses(
            {row.className}, rawArchive(row.className, row.fields), &error));
        EXPECT_TRUE(error);
    }
    // Absent fields take their defaults (absent booleans are NO); a cut-off archive is refused.
    NSErrorPtr error;
    auto empty = NSKeyedUnarchiver::unarchivedObjectOfClass<HCSecurityPolicy>(
        rawArchive("HCSecurityPolicy", {}), &error);
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->validatesDomainName() || empty->allowInvalidCertificates() ||
                 empty->pinnedCertificates());
    auto manager = HCHTTPSessionManager::manager();
    Data whole = archived(manager);
    letGo({manager});
    EXPECT_FALSE(NSKeyedUnarchiver::unarchivedObjectOfClass<HCHTTPSessionManager>(
        whole.subdata(0, whole.length() / 2), &error));
}

}  // namespace
