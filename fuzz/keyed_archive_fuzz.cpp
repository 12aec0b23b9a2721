// Keyed archives of the HTTP client's serializers and security policy, as a stored or received archive
// would reach the unarchiver. Session managers are left out: each one decoded would open a URL session.
//
// Checked beyond "no crash": the result and the error agree, and whatever decodes archives again into
// data that decodes too.
#include "fuzz/fuzz_check.h"
#include "httpclient/HCDecodingResponseSerializers.h"
#include "httpclient/HCSecurityPolicy.h"
#include "httpclient/HCURLRequestSerialization.h"
#include "httpclient/HCURLResponseSerialization.h"
#include "platform/foundation/KeyedArchiver.h"

#include <string>
#include <vector>

namespace {

const std::vector<std::string> kClasses = {
    HCHTTPRequestSerializer::archiveClassName(),          HCJSONRequestSerializer::archiveClassName(),
    HCPropertyListRequestSerializer::archiveClassName(),  HCHTTPResponseSerializer::archiveClassName(),
    HCJSONResponseSerializer::archiveClassName(),         HCXMLParserResponseSerializer::archiveClassName(),
    HCPropertyListResponseSerializer::archiveClassName(), HCImageResponseSerializer::archiveClassName(),
    HCCompoundResponseSerializer::archiveClassName(),     HCSecurityPolicy::archiveClassName()};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    HCHTTPRequestSerializer::registerArchivableClasses();
    HCHTTPResponseSerializer::registerArchivableClasses();
    HCRegisterDecodingResponseSerializers();
    HCSecurityPolicy::registerArchivableClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    NSErrorPtr error;
    auto decoded = NSKeyedUnarchiver::unarchivedObjectOfClasses(kClasses, Data(bytes, size), &error);
    fuzzCheck(decoded.has_value() != (error != nullptr), "keyed_archive", "result and error disagree");
    if (!decoded) return 0;
    auto again = NSKeyedArchiver::archivedDataWithRootObject(*decoded, &error);
    fuzzCheck(again.has_value(), "keyed_archive", "a decoded object does not archive");
    fuzzCheck(NSKeyedUnarchiver::unarchivedObjectOfClasses(kClasses, *again, &error).has_value(),
              "keyed_archive", "a re-archived object does not decode");
    return 0;
}
