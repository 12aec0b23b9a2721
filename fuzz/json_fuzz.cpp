// Reads arbitrary bytes as JSON. Whatever reads must write back and read again to an equal value;
// whatever fails must say why.
#include "platform/foundation/JSON.h"

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "json fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const Data data(bytes, size);
    for (unsigned options : {0u, unsigned(NSJSONSerialization::FragmentsAllowed)}) {
        NSErrorPtr error;
        auto value = NSJSONSerialization::JSONObjectWithData(data, options, &error);
        if (!value) {
            check(error && error->code() == 3840 && !error->localizedDescription().empty(),
                  "failure without error");
            continue;
        }
        for (unsigned writing : {0u, unsigned(NSJSONSerialization::PrettyPrinted)}) {
            NSErrorPtr writeError;
            auto text = NSJSONSerialization::dataWithJSONObject(
                *value, writing | NSJSONSerialization::WritingFragmentsAllowed, &writeError);
            check(text.has_value(), "a value that was read cannot be written");
            auto again = NSJSONSerialization::JSONObjectWithData(*text, NSJSONSerialization::FragmentsAllowed,
                                                                 &writeError);
            check(again.has_value(), "written text does not read back");
            check(*again == *value, "round trip changed the value");
        }
    }
    return 0;
}
