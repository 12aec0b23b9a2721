// URL text, alone and resolved against a base: the input's first line is the base, the rest the reference.
//
// Checked beyond "no crash": a URL made without base keeps its text verbatim; every resolved URL's text
// parses again to the same components; appending a path component gives a URL that parses.
#include "fuzz/fuzz_check.h"
#include "platform/foundation/NSURL.h"

#include <string_view>

namespace {

void checkReparses(const NSURL& url) {
    auto again = NSURL::URLWithString(url.absoluteString());
    fuzzCheck(again != nullptr, "url", "a resolved URL's text does not parse");
    fuzzCheck(again->scheme() == url.scheme() && again->host() == url.host() && again->port() == url.port() &&
                  again->percentEncodedPath() == url.percentEncodedPath() && again->query() == url.query() &&
                  again->fragment() == url.fragment(),
              "url", "a resolved URL's text parses to other components");
    (void)url.path();
    (void)url.pathComponents();
    (void)url.pathExtension();
    (void)url.user();
    (void)url.password();
    (void)url.description();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    const size_t newline = input.find('\n');
    const std::string_view baseText = input.substr(0, newline);
    const std::string_view reference = newline == std::string_view::npos ? "" : input.substr(newline + 1);

    auto base = NSURL::URLWithString(baseText);
    if (!base) return 0;
    fuzzCheck(base->absoluteString() == baseText, "url", "text not kept verbatim");
    checkReparses(*base);
    if (auto appended = base->URLByAppendingPathComponent(reference)) checkReparses(*appended);
    (void)NSURL::percentDecode(reference);

    if (auto resolved = NSURL::URLWithString(reference, base)) {
        fuzzCheck(resolved->relativeString() == reference, "url", "relative text not kept");
        checkReparses(*resolved);
        checkReparses(*resolved->absoluteURL());
    }
    return 0;
}
