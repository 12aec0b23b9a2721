// Decodes arbitrary bytes as an HTTP reply with the JSON response serializer.
//
// Input layout: two bytes of status code, one byte choosing the content type, one byte of settings, then
// the body. Settings: bit 0 removes null members, bits 1-3 are the reading options, bit 4 passes no error
// out-parameter, bit 5 passes no body at all.
//
// Checked beyond "no crash": an acceptable reply that decodes gives exactly what the JSON reader gives (with
// nulls removed when asked) and no error; an unacceptable status still decodes but reports -1011; every
// other failure comes with an error whose description is not empty; an empty body is no failure.
#include "httpclient/HCURLResponseSerialization.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/URLResponse.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "json response fuzz: %s\n", what);
        std::abort();
    }
}

// nullptr: no Content-Type header at all.
constexpr const char* kContentTypes[] = {
    "application/json",
    "application/json; charset=utf-8",
    "text/json",
    "text/javascript",
    "text/html; charset=\"ISO-8859-1\"",
    "  Application/JSON  ;charset=UTF-8",
    "text/plain",
    "application/problem+json",
    "application/xml",
    "",
    ";",
    nullptr,
};

bool containsNullMember(const Value& value) {
    if (const auto* array = value.asArray()) {
        for (const auto& element : *array)
            if (containsNullMember(element)) return true;
    } else if (const auto* dict = value.asDictionary()) {
        for (const auto& [key, member] : *dict)
            if (member.isNull() || containsNullMember(member)) return true;
    }
    return false;
}

bool chainHas(const NSErrorPtr& error, const char* domain, long code) {
    for (auto current = error; current; current = current->underlyingError())
        if (current->domain() == domain && current->code() == code) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4) return 0;
    const long status = 100 + long((unsigned(bytes[0]) << 8 | bytes[1]) % 500);
    const char* contentType = kContentTypes[bytes[2] % std::size(kContentTypes)];
    const uint8_t settings = bytes[3];
    const bool removesNulls = settings & 1;
    const unsigned readingOptions = (settings >> 1) & 7;
    const bool passesError = !(settings & 0x10);
    const bool hasBody = !(settings & 0x20);

    HTTPHeaderFields headers;
    if (contentType) headers.set("Content-Type", contentType);
    auto response = NSHTTPURLResponse::create(NSURL::URLWithString("https://api.example.test/v1/reply"),
                                              status, "HTTP/1.1", headers);
    check(response && response->URL(), "response not built");
    std::optional<Data> body;
    if (hasBody) body = Data(bytes + 4, size - 4);

    auto serializer = HCJSONResponseSerializer::serializerWithReadingOptions(readingOptions);
    serializer->setRemovesKeysWithNullValues(removesNulls);

    NSErrorPtr error;
    auto object = serializer->responseObjectForResponse(response, body, passesError ? &error : nullptr);

    const bool emptyBody = !body || body->empty() || (body->length() == 1 && body->bytes()[0] == ' ');
    const bool noBytes = !body || body->empty();
    const auto& mimeType = response->MIMEType();
    const auto& types = *serializer->acceptableContentTypes();
    const bool typeOk = (mimeType && types.count(*mimeType)) || (!mimeType && noBytes);
    const bool statusOk = status >= 200 && status <= 299;

    if (error) check(!error->localizedDescription().empty(), "error without a description");

    if (object) {
        check(typeOk, "decoded a reply of an unacceptable content type");
        check(!emptyBody, "decoded an empty body");
        NSErrorPtr readerError;
        auto expected = NSJSONSerialization::JSONObjectWithData(*body, readingOptions, &readerError);
        check(expected.has_value(), "decoded what the JSON reader refuses");
        if (removesNulls) {
            check(!containsNullMember(*object), "null member left in place");
            expected = HCJSONValueRemovingNulls(*expected, readingOptions);
        }
        check(*object == *expected, "decoded value differs from the JSON reader's");
        if (!passesError) return 0;
        if (statusOk) {
            check(!error, "error next to a value for an acceptable reply");
        } else {
            check(error && error->domain() == HCResponseSerializationErrorDomain &&
                      error->code() == HCResponseErrorBadServerResponse,
                  "unacceptable status not reported next to the value");
        }
        return 0;
    }

    if (!passesError) return 0;
    if (!typeOk && !noBytes) {
        check(chainHas(error, HCResponseSerializationErrorDomain, HCResponseErrorCannotDecodeContentData),
              "unacceptable content type not reported");
    }
    if (!statusOk) {
        check(chainHas(error, HCResponseSerializationErrorDomain, HCResponseErrorBadServerResponse),
              "unacceptable status not reported");
    }
    if (typeOk && !emptyBody) {
        // The body was looked at and refused: the reader's error comes first, any status error under it.
        check(error && error->domain() == NSCocoaErrorDomain && error->code() == 3840,
              "body refused without the reader's error");
    }
    if (typeOk && emptyBody && statusOk) check(!error, "error for an acceptable empty reply");
    return 0;
}
