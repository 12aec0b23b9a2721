#include "platform/foundation/NSXMLParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/tests/test_support.h"
#include "testsupport/LoopbackServer.h"

namespace {

using foundation_test::repeat;

// Records every event as one line of text.
class RecordingDelegate : public NSXMLParserDelegate {
  public:
    std::vector<std::string> events;
    std::string abortAtElement;

    void parserDidStartDocument(NSXMLParser&) override { events.push_back("start-doc"); }
    void parserDidEndDocument(NSXMLParser&) override { events.push_back("end-doc"); }
    void didStartElement(NSXMLParser& parser, const std::string& name, const std::optional<std::string>& uri,
                         const std::optional<std::string>& qname, const Attributes& attributes) override {
        std::string line = "<" + name;
        if (uri) line += " {" + *uri + "}";
        if (qname) line += " q=" + *qname;
        for (const auto& [key, value] : attributes) line += " " + key + "=" + value;
        events.push_back(line + ">");
        if (name == abortAtElement) parser.abortParsing();
    }
    void didEndElement(NSXMLParser&, const std::string& name, const std::optional<std::string>&,
                       const std::optional<std::string>&) override {
        events.push_back("</" + name + ">");
    }
    void foundCharacters(NSXMLParser&, const std::string& text) override {
        // Runs of text may come in pieces: join them.
        if (!events.empty() && events.back().rfind("text:", 0) == 0)
            events.back() += text;
        else
            events.push_back("text:" + text);
    }
    void foundCDATA(NSXMLParser&, const Data& data) override { events.push_back("cdata:" + data.toString()); }
    void foundComment(NSXMLParser&, const std::string& text) override { events.push_back("comment:" + text); }
    void foundProcessingInstructionWithTarget(NSXMLParser&, const std::string& target,
                                              const std::optional<std::string>& data) override {
        events.push_back("pi:" + target + "=" + data.value_or("-"));
    }
    void foundEntityDeclarationWithName(NSXMLParser&, const std::string& name,
                                        const std::optional<std::string>&,
                                        const std::optional<std::string>&) override {
        events.push_back("entity:" + name);
    }
    void parseErrorOccurred(NSXMLParser&, const NSErrorPtr& error) override {
        events.push_back("error:" + std::to_string(error->code()));
    }
};

std::string joined(const std::vector<std::string>& events) {
    std::string out;
    for (const auto& event : events) out += (out.empty() ? "" : "|") + event;
    return out;
}

struct ParseOutcome {
    bool ok;
    std::string events;
    long code;
};

ParseOutcome parse(const std::string& xml, bool namespaces = false, const std::string& abortAt = "") {
    auto parser = NSXMLParser::create(Data::fromString(xml));
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->abortAtElement = abortAt;
    parser->setDelegate(delegate);
    parser->setShouldProcessNamespaces(namespaces);
    parser->setShouldReportNamespacePrefixes(namespaces);
    bool ok = parser->parse();
    return {ok, joined(delegate->events), parser->parserError() ? parser->parserError()->code() : 0};
}

// Hostile documents neither expand nor fetch; libxml2's complaints stay in the parser's error, off stderr.
TEST(NSXMLParser, EventsTable) {
    LoopbackServer server;
    ASSERT_TRUE(server.isRunning());
    server.reply("/dtd", LoopbackReply::text("<!ENTITY leak \"LEAKED\">"));
    server.reply("/entity", LoopbackReply::text("LEAKED"));
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"lol\">";
    for (char c = 'b'; c <= 'j'; ++c)
        laughs +=
            std::string("<!ENTITY ") + c + " \"" + repeat(std::string("&") + char(c - 1) + ";", 10) + "\">";
    laughs += "]><l>&j;</l>";
    const std::string entity = "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + server.url("/entity") + "\">]>";
    const long kAborted = NSXMLParserDelegateAbortedParseError, kInternal = NSXMLParserInternalError;

    struct Case {
        const char* name;
        std::string xml;
        ParseOutcome expected;
        bool namespaces = false;
        const char* abortAt = "";
    };
    const Case cases[] = {
        {"elements, attributes and text",
         R"(<a x="1" y="2">hi<b/></a>)",
         {true, "start-doc|<a x=1 y=2>|text:hi|<b>|</b>|</a>|end-doc", 0}},
        {"predefined entities and character references, in text and attributes",
         R"(<a t="x &amp; &lt;y&gt; &#65;">1 &amp; 2 &lt; 3 &#x42;</a>)",
         {true, "start-doc|<a t=x & <y> A>|text:1 & 2 < 3 B|</a>|end-doc", 0}},
        {"CDATA, comments and processing instructions",
         "<?xml version=\"1.0\"?><a><![CDATA[<raw>]]><!--c--><?go now?></a>",
         {true, "start-doc|<a>|cdata:<raw>|comment:c|pi:go=now|</a>|end-doc", 0}},
        {"namespaces off: written names and xmlns attributes",
         R"(<p:a xmlns:p="urn:p" p:k="v"/>)",
         {true, "start-doc|<p:a p:k=v xmlns:p=urn:p>|</p:a>|end-doc", 0}},
        {"namespaces on: local names, URIs and prefixes",
         R"(<p:a xmlns:p="urn:p" p:k="v"/>)",
         {true, "start-doc|<a {urn:p} q=p:a k=v>|</a>|end-doc", 0},
         true},
        {"unclosed element", "<a><b></a>", {false, "start-doc|<a>|<b>|error:76", 76}},
        {"empty document", "", {false, "error:5", 5}},
        {"text after the root", "<a/>junk", {false, "start-doc|<a>|</a>|error:5", 5}},
        {"aborting stops at once", "<a><b/><c/></a>", {false, "start-doc|<a>|<b>", kAborted}, false, "b"},
        {"depth at the bound",
         repeat("<a>", 256) + repeat("</a>", 256),
         {true, "start-doc|" + repeat("<a>|", 256) + repeat("</a>|", 256) + "end-doc", 0}},
        {"the 257th level is refused, and nothing follows",
         repeat("<a>", 5000) + repeat("</a>", 5000),
         {false, "start-doc|" + repeat("<a>|", 256) + "error:1", kInternal}},
        {"bytes the declared encoding cannot read: the conversion failure itself",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a>\x81</a>",
         {false, "error:6003", 6003}},
        {"billion laughs",
         laughs,
         {false,
          "start-doc|entity:a|entity:b|entity:c|entity:d|entity:e|entity:f|entity:g|entity:h|entity:i|"
          "entity:j|<l>|error:26",
          26}},
        {"external entity from a file",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>",
         {false, "start-doc|entity:x|<r>|error:26", 26}},
        {"external entity from the network",
         entity + "<r>&x;</r>",
         {false, "start-doc|entity:x|<r>|error:26", 26}},
        {"external entity in an attribute",
         entity + "<r a=\"&x;\"/>",
         {false, "start-doc|entity:x|error:26", 26}},
        {"external DTD from the network",
         "<!DOCTYPE r SYSTEM \"" + server.url("/dtd") + "\"><r>ok</r>",
         {true, "start-doc|<r>|text:ok|</r>|end-doc", 0}},
        {"parameter entity pulling a DTD",
         "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + server.url("/dtd") + "\"> %p;]><r>&leak;</r>",
         {false, "start-doc|entity:p|error:26", 26}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        auto outcome = parse(c.xml, c.namespaces, c.abortAt);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(outcome.ok, c.expected.ok);
        EXPECT_EQ(outcome.events, c.expected.events);
        EXPECT_EQ(outcome.code, c.expected.code);
    }
    EXPECT_EQ(server.totalHits(), 0u);

    auto parser = NSXMLParser::create(Data::fromString("<a/>"));  // parses only once
    EXPECT_TRUE(parser->parse());
    EXPECT_FALSE(parser->parse());
    EXPECT_EQ(parser->parserError()->code(), NSXMLParserInternalError);
}

}  // namespace
