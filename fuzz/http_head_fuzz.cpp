// Response heads as a server sends them, read line by line the way the URL session reads them, then made
// into the response object that callers see.
//
// Checked beyond "no crash": a status is three digits or none; a head whose Content-Length is called
// sound gives the response that length; the response answers every question about its type, encoding
// and length.
#include "fuzz/fuzz_check.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/URLResponse.h"
#include "platform/net/HTTPResponseHead.h"

#include <string>
#include <string_view>

namespace {

constexpr const char* kTarget = "http_head";

void checkResponse(const HTTPResponseHead& head) {
    static const auto url = NSURL::URLWithString("http://fuzz.invalid/file.txt");
    fuzzCheck(head.status == 0 || (head.status >= 100 && head.status <= 999), kTarget, "status out of range");
    auto response = NSHTTPURLResponse::create(url, head.status, head.version, head.headers);
    (void)response->MIMEType();
    (void)response->textEncodingName();
    (void)response->allHeaderFields();
    const auto length = head.headers.value("Content-Length");
    if (length && contentLengthProblem(head.headers).empty()) {
        const std::string first = length->substr(0, length->find(','));
        fuzzCheck(response->expectedContentLength() == std::stoll(first), kTarget,
                  "a sound Content-Length is not the response's length");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(bytes), size);
    HTTPResponseHead head;
    while (!input.empty()) {
        const size_t end = input.find('\n');
        const std::string_view line = input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
        input.remove_prefix(line.size());
        if (head.take(line) == HTTPResponseHead::Line::End) checkResponse(head);
    }
    return 0;
}
