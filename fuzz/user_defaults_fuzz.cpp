// The user-defaults file as a store finds it on disk: any bytes, read when the store opens.
//
// Checked beyond "no crash": whatever the file held, a value set afterwards is saved, and a store opened on
// the saved file finds it beside every value the first store had read.
#include "fuzz/fuzz_check.h"
#include "platform/foundation/UserDefaults.h"

#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string scratchPath() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("fuzz-defaults-" + std::to_string(getpid()) + ".plist"))
            .string();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string path = scratchPath();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes), std::streamsize(size));
    }
    Value::Dictionary before;
    {
        auto store = NSUserDefaults::create(path);
        before = store->dictionaryRepresentation();
        for (const auto& [key, value] : before) {
            (void)store->stringForKey(key);
            (void)store->integerForKey(key);
            (void)store->doubleForKey(key);
            (void)store->boolForKey(key);
        }
        store->setObject(Value("fuzz"), "fuzz.marker");
        fuzzCheck(store->synchronize(), "user_defaults", "a store over a scratch file could not save");
    }
    auto reopened = NSUserDefaults::create(path)->dictionaryRepresentation();
    fuzzCheck(reopened.count("fuzz.marker") && reopened.at("fuzz.marker") == Value("fuzz"), "user_defaults",
              "the value set was not saved");
    for (const auto& [key, value] : before)
        if (key != "fuzz.marker" && value == value)  // NaN is never equal, not even to itself
            fuzzCheck(reopened.count(key) && reopened.at(key) == value, "user_defaults",
                      "a stored value was lost");
    std::remove(path.c_str());
    return 0;
}
