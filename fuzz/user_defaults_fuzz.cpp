// The user-defaults file as a store finds it on disk: any bytes, read when the store opens.
//
// Checked beyond "no crash": whatever the file held, a value set afterwards is saved, and a store opened on
// the saved file finds it beside every value the first store had read; a file the store could not read is
// moved aside with every byte, and a file it could read is left where it was.
//
// Each input starts and ends with an empty scratch folder of this process: what the store moved aside is
// removed after the checks, so a long run leaves nothing behind. The folder is on a memory file system
// where there is one, so that the store's fsync calls cost nothing and the run goes at the parser's pace.
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/foundation/UserDefaults.h"

namespace fs = std::filesystem;

namespace {

const fs::path& scratchFolder() {
    // Never destroyed, so that the exit handler below can still read it.
    static const fs::path* folder = [] {
        std::error_code ec;
        const fs::path parent = fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0
                                    ? fs::path("/dev/shm")
                                    : fs::temp_directory_path();
        std::string pattern = (parent / "fuzz-defaults-XXXXXX").string();
        fuzzCheck(mkdtemp(pattern.data()) != nullptr, "user_defaults", "no scratch folder could be made");
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(scratchFolder(), ignored);
        });
        return new fs::path(pattern);
    }();
    return *folder;
}

std::string fileBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The files the store moved aside ("<file>.corrupt-<time>...").
std::vector<fs::path> movedAside(const fs::path& file) {
    std::vector<fs::path> found;
    const std::string prefix = file.filename().string() + ".corrupt-";
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const fs::path path = scratchFolder() / "defaults.plist";
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << input;
    Value::Dictionary before;
    std::vector<fs::path> aside;
    {
        auto store = NSUserDefaults::create(path.string());
        before = store->dictionaryRepresentation();
        aside = movedAside(path);
        for (const auto& [key, value] : before) {
            (void)store->stringForKey(key);
            (void)store->integerForKey(key);
            (void)store->doubleForKey(key);
            (void)store->boolForKey(key);
        }
        store->setObject(Value("fuzz"), "fuzz.marker");
        fuzzCheck(store->synchronize(), "user_defaults", "a store over a scratch file could not save");
    }
    fuzzCheck(aside.size() <= 1, "user_defaults", "one file was moved aside more than once");
    if (!aside.empty()) {
        fuzzCheck(before.empty(), "user_defaults", "a file that was read was moved aside");
        fuzzCheck(fileBytes(aside[0]) == input, "user_defaults", "the file moved aside lost bytes");
    }
    auto reopened = NSUserDefaults::create(path.string())->dictionaryRepresentation();
    fuzzCheck(reopened.count("fuzz.marker") && reopened.at("fuzz.marker") == Value("fuzz"), "user_defaults",
              "the value set was not saved");
    for (const auto& [key, value] : before)
        if (key != "fuzz.marker" && value == value)  // NaN is never equal, not even to itself
            fuzzCheck(reopened.count(key) && reopened.at(key) == value, "user_defaults",
                      "a stored value was lost");
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(scratchFolder(), ec)) fs::remove_all(entry.path(), ec);
    return 0;
}
