// String tables (.strings files) as the bundle reads them.
//
// Checked beyond "no crash": a table that is read comes with no error, a refused one with an error, and
// every key and value of a table read is valid UTF-8.
#include "fuzz/fuzz_check.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/TextUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    NSErrorPtr error;
    auto table = NSBundle::stringsTableWithData(Data(bytes, size), &error);
    fuzzCheck(table.has_value() != (error != nullptr), "strings_table", "result and error disagree");
    if (!table) return 0;
    for (const auto& [key, value] : *table)
        fuzzCheck(TextUtil::isValidUTF8(key) && TextUtil::isValidUTF8(value), "strings_table",
                  "a key or value is not UTF-8");
    return 0;
}
