#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "platform/foundation/Console.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/tests/test_support.h"
#include "testsupport/TempDir.h"

namespace fs = std::filesystem;

namespace {

using foundation_test::writeFile;

std::string utf16(const std::u16string& text, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        const char hi = char(unit >> 8), lo = char(unit & 0xFF);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

// A bundle in a temporary folder; each case adds the files it needs.
class Bundle : public ::testing::Test {
  protected:
    void TearDown() override { DeviceProfile::reset(); }
    std::string add(const std::string& relative, const std::string& bytes = "x") {
        writeFile(dir_.file(relative), bytes);
        return dir_.file(relative);
    }
    std::shared_ptr<NSBundle> bundle() { return NSBundle::bundleWithPath(dir_.path()); }
    void preferLanguages(std::vector<std::string> languages) {
        DeviceProfile profile = DeviceProfile::current();
        profile.preferredLanguages = std::move(languages);
        DeviceProfile::set(profile);
    }
    TempDir dir_;
};

TEST_F(Bundle, ReadsTheInfoDictionary) {
    add("Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.test</string>"
        "<key>CFBundleShortVersionString</key><string>2.3.4</string>"
        "<key>CFBundleVersion</key><string>77</string></dict></plist>");
    auto b = bundle();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->bundleIdentifier(), "com.example.test");
    EXPECT_EQ(b->objectForInfoDictionaryKey("CFBundleShortVersionString"), Value("2.3.4"));
    EXPECT_EQ(b->infoDictionary().size(), 3u);
    EXPECT_FALSE(b->objectForInfoDictionaryKey("CFBundleExecutable"));

    // An unreadable one gives an empty dictionary.
    add("Info.plist", "<plist><dict><key>broken");
    Console::Capture console;
    b = bundle();
    EXPECT_TRUE(b->infoDictionary().empty());
    EXPECT_EQ(b->bundleIdentifier(), "");
    EXPECT_TRUE(console.contains("Info.plist"));
    EXPECT_FALSE(NSBundle::bundleWithPath(dir_.file("no-such-folder")));
}

TEST(MainBundle, IsTheApplicationsResources) {
    auto main = NSBundle::mainBundle();
    EXPECT_EQ(main, NSBundle::mainBundle());
    EXPECT_EQ(main->bundleIdentifier(), "com.quorvane.app");
    EXPECT_TRUE(main->objectForInfoDictionaryKey("CFBundleShortVersionString"));
}

TEST_F(Bundle, FindsResourcesByNameTypeAndFolder) {
    const auto settings = add("personal_set.plist");
    const auto back = add("login.bundle/back.png");
    const auto config = add("config/PushConfig.plist");
    const auto localized = add("en.lproj/Only.txt");
    auto b = bundle();
    const struct {
        std::string name, type, directory;
        std::optional<std::string> expected;
    } cases[] = {
        {"personal_set", "plist", "", settings},
        {"personal_set.plist", "", "", settings},
        {"personal_set", ".plist", "", settings},
        {"login.bundle/back", "png", "", back},
        {"back", "png", "login.bundle", back},
        {"PushConfig", "plist", "config", config},
        {"Only", "txt", "", localized},
        {"personal_set", "json", "", std::nullopt},
        {"../" + fs::path(dir_.path()).filename().string() + "/personal_set", "plist", "", std::nullopt},
        {"personal_set", "plist", "/", std::nullopt},
        {"", "plist", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(b->pathForResource(c.name, c.type, c.directory), c.expected)
            << c.name << " / " << c.type << " / " << c.directory;
    }
}

TEST(StringsTable, ParsesTheOldStyleFormat) {
    const std::string text = R"(/* A block comment
   over lines */
"plain" = "value";
// a line comment
"escapes" = "line\nnext \"quoted\" back\\slash tab\t";
"unicode" = "\U4e2d\U6587 \U00e9";
"pair" = "\UD83D\UDE00";
  unquoted_key = unquoted.value ;
"same";
"spaced key"="no spaces around";
"提示" = "Notice"; /* trailing */
"empty" = "";
)";
    NSErrorPtr error;
    auto table = NSBundle::stringsTableWithData(Data::fromString(text), &error);
    ASSERT_TRUE(table) << (error ? error->localizedDescription() : "");
    const std::map<std::string, std::string> expected{
        {"plain", "value"},
        {"escapes", "line\nnext \"quoted\" back\\slash tab\t"},
        {"unicode", "中文 é"},
        {"pair", "😀"},
        {"unquoted_key", "unquoted.value"},
        {"same", "same"},
        {"spaced key", "no spaces around"},
        {"提示", "Notice"},
        {"empty", ""},
    };
    EXPECT_EQ(*table, expected);
}

TEST(StringsTable, ReadsUTF16ByteOrderMarksAndPropertyLists) {
    const std::u16string text = u"\"hello\" = \"\u4f60\u597d\";\n\"smile\" = \"\U0001F600\";";
    const std::map<std::string, std::string> expected{{"hello", "你好"}, {"smile", "😀"}};
    for (const auto& bytes : {utf16(text, false), utf16(text, true),
                              std::string("\xEF\xBB\xBF\"hello\" = \"你好\"; \"smile\" = \"😀\";")}) {
        auto table = NSBundle::stringsTableWithData(Data::fromString(bytes), nullptr);
        ASSERT_TRUE(table);
        EXPECT_EQ(*table, expected);
    }
    // A property list is read too, keeping only its strings.
    auto table = NSBundle::stringsTableWithData(
        Data::fromString("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>b</string>"
                         "<key>n</key><integer>1</integer></dict></plist>"),
        nullptr);
    ASSERT_TRUE(table);
    EXPECT_EQ(*table, (std::map<std::string, std::string>{{"a", "b"}}));
}

TEST(StringsTable, RejectsMalformedInputNamingTheLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"a\" = \"b\";\n\"c\" \"d\";", "line 2"},
        {"\"a\" = \"b\"", "line 1"},
        {"\"a\" = \"unterminated;\n", "unterminated string"},
        {"/* open comment\n\"a\" = \"b\";", "unterminated comment"},
        {"\"a\" = \"\\U12\";", "\\U escape"},
        {"= \"b\";", "expected a quoted string"},
        {"\"a\" = \"b\";\n\n\"c\" = ;", "line 3"},
        {"\"e\x9fn\" = \"b\";", "not UTF-8"},
    };
    for (const auto& [text, fragment] : cases) {
        NSErrorPtr error;
        EXPECT_FALSE(NSBundle::stringsTableWithData(Data::fromString(text), &error)) << text;
        foundation_test::expectError(error, NSCocoaErrorDomain, 3840, fragment);
    }
}

TEST_F(Bundle, LocalizedStringsFollowThePreferredLanguagesThenEnglishThenTheRoot) {
    add("zh-Hans.lproj/Localizable.strings", "\"a\" = \"zh a\";");
    add("en.lproj/Localizable.strings", "\"a\" = \"en a\"; \"b\" = \"en b\";");
    add("Localizable.strings", "\"a\" = \"root a\"; \"b\" = \"root b\"; \"c\" = \"root c\";");
    add("en.lproj/HCNetworking.strings", utf16(u"\"Cellular\" = \"Mobile data\";", false));
    preferLanguages({"zh-Hans-CN", "fr"});
    auto b = bundle();
    const std::array<std::string, 4> cases[] = {
        // key, default, table, expected
        {"a", "", "", "zh a"},
        {"b", "", "", "en b"},
        {"c", "", "Localizable", "root c"},
        {"是否清除缓存?", "", "", "是否清除缓存?"},
        {"d", "default", "", "default"},
        {"Cellular", "", "HCNetworking", "Mobile data"},
        {"WiFi", "", "HCNetworking", "WiFi"},
        {"a", "", "Missing", "a"},
        {"a", "", "../zh-Hans.lproj/Localizable", "a"},
    };
    for (const auto& [key, fallback, table, expected] : cases)
        EXPECT_EQ(b->localizedStringForKey(key, fallback, table), expected) << key << " in " << table;

    preferLanguages({"en-GB"});
    EXPECT_EQ(bundle()->localizedStringForKey("a", "", ""), "en a");
}

TEST_F(Bundle, AMalformedTableIsLoggedAndFallsBackToTheKey) {
    add("Localizable.strings", "\"a\" = \"b\"\n\"c\" = \"d\";");
    preferLanguages({"en"});
    Console::Capture console;
    EXPECT_EQ(bundle()->localizedStringForKey("a", "", ""), "a");
    EXPECT_TRUE(console.contains("Localizable.strings"));
}

}  // namespace
