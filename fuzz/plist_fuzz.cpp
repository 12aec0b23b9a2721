// Reads arbitrary bytes as a property list (XML or binary). Whatever reads and writes as binary must read
// back; whatever fails must say why.
#include "platform/foundation/PropertyList.h"

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "plist fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    using P = NSPropertyListSerialization;
    NSErrorPtr error;
    auto value = P::propertyListWithData(Data(bytes, size), nullptr, &error);
    if (!value) {
        check(error && error->code() == 3840 && !error->localizedDescription().empty(),
              "failure without error");
        return 0;
    }
    for (P::Format format : {P::Format::XML, P::Format::Binary}) {
        NSErrorPtr writeError;
        auto written = P::dataWithPropertyList(*value, format, &writeError);
        if (!written) {
            check(writeError && writeError->code() == 3851, "write failure without error");
            continue;
        }
        NSErrorPtr readError;
        P::Format detected = format == P::Format::XML ? P::Format::Binary : P::Format::XML;
        auto again = P::propertyListWithData(*written, &detected, &readError);
        check(again.has_value(), "written list does not read back");
        check(detected == format, "format not detected");
    }
    return 0;
}
