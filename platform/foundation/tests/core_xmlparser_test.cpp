#include "platform/foundation/NSXMLParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/LoopbackServer.h"

namespace {

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
        if (!events.empty() && events.back().rfind("text:", 0) == 0) events.back() += text;
        else events.push_back("text:" + text);
    }
    void foundCDATA(NSXMLParser&, const Data& data) override { events.push_back("cdata:" + data.toString()); }
    void foundComment(NSXMLParser&, const std::string& text) override { events.push_back("comment:" + text); }
    void foundProcessingInstructionWithTarget(NSXMLParser&, const std::string& target,
                                              const std::optional<std::string>& data) override {
        events.push_back("pi:" + target + "=" + data.value_or("-"));
    }
    void foundEntityDeclarationWithName(NSXMLParser&, const std::string& name, const std::optional<std::string>&,
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

TEST(NSXMLParser, EventsTable) {
    struct Case {
        const char* name;
        std::string xml;
        bool namespaces;
        ParseOutcome expected;
    };
    const Case cases[] = {
        {"elements, attributes and text", R"(<a x="1" y="2">hi<b/></a>)", false,
         {true, "start-doc|<a x=1 y=2>|text:hi|<b>|</b>|</a>|end-doc", 0}},
        {"predefined entities and character references, in text and attributes",
         R"(<a t="x &amp; &lt;y&gt; &#65;">1 &amp; 2 &lt; 3 &#x42;</a>)", false,
         {true, "start-doc|<a t=x & <y> A>|text:1 & 2 < 3 B|</a>|end-doc", 0}},
        {"CDATA, comments and processing instructions", "<?xml version=\"1.0\"?><a><![CDATA[<raw>]]><!--c--><?go now?></a>",
         false, {true, "start-doc|<a>|cdata:<raw>|comment:c|pi:go=now|</a>|end-doc", 0}},
        {"namespaces off: written names and xmlns attributes", R"(<p:a xmlns:p="urn:p" p:k="v"/>)", false,
         {true, "start-doc|<p:a p:k=v xmlns:p=urn:p>|</p:a>|end-doc", 0}},
        {"namespaces on: local names, URIs and prefixes", R"(<p:a xmlns:p="urn:p" p:k="v"/>)", true,
         {true, "start-doc|<a {urn:p} q=p:a k=v>|</a>|end-doc", 0}},
        {"unclosed element", "<a><b></a>", false, {false, "start-doc|<a>|<b>|error:76", 76}},
        {"empty document", "", false, {false, "error:5", 5}},
        {"text after the root", "<a/>junk", false, {false, "start-doc|<a>|</a>|error:5", 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto outcome = parse(c.xml, c.namespaces);
        EXPECT_EQ(outcome.ok, c.expected.ok);
        EXPECT_EQ(outcome.events, c.expected.events);
        EXPECT_EQ(outcome.code, c.expected.code);
    }
}

TEST(NSXMLParser, AbortingStopsAtOnceAndParsesOnlyOnce) {
    auto outcome = parse("<a><b/><c/></a>", false, "b");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.events, "start-doc|<a>|<b>");
    EXPECT_EQ(outcome.code, NSXMLParserDelegateAbortedParseError);

    auto parser = NSXMLParser::create(Data::fromString("<a/>"));
    EXPECT_TRUE(parser->parse());
    EXPECT_FALSE(parser->parse());
    EXPECT_EQ(parser->parserError()->code(), NSXMLParserInternalError);
}

TEST(NSXMLParser, DepthIsBoundedAndLibxmlMessagesStayInTheParsersError) {
    auto document = [](int depth) {
        std::string xml;
        for (int i = 0; i < depth; ++i) xml += "<a>";
        for (int i = 0; i < depth; ++i) xml += "</a>";
        return xml;
    };
    EXPECT_TRUE(parse(document(256)).ok);
    auto deep = parse(document(5000));
    EXPECT_FALSE(deep.ok);
    EXPECT_EQ(deep.code, NSXMLParserInternalError);
    std::string expected = "start-doc|";
    for (int i = 0; i < 256; ++i) expected += "<a>|";
    EXPECT_EQ(deep.events, expected + "error:1");  // the 257th level is refused, and nothing follows

    // Bytes the declared encoding cannot read: libxml2's complaint is the parse's error, not a line on stderr.
    testing::internal::CaptureStderr();
    auto outcome = parse("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a>\x81</a>");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.events, "error:6003");  // the conversion failure itself, not what followed it
}

TEST(NSXMLParser, HostileDocumentsNeitherExpandNorFetch) {
    LoopbackServer server;
    ASSERT_TRUE(server.isRunning());
    server.reply("/dtd", LoopbackReply::text("<!ENTITY leak \"LEAKED\">"));
    server.reply("/entity", LoopbackReply::text("LEAKED"));

    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY " + std::string(1, char('a' + i)) + " \"";
        for (int k = 0; k < 10; ++k) laughs += "&" + std::string(1, char('a' + i - 1)) + ";";
        laughs += "\">";
    }
    laughs += "]><l>&j;</l>";

    struct Case {
        const char* name;
        std::string xml;
        bool ok;
        std::string events;
    };
    const Case cases[] = {
        {"billion laughs", laughs, false,
         "start-doc|entity:a|entity:b|entity:c|entity:d|entity:e|entity:f|entity:g|entity:h|entity:i|entity:j|<l>|"
         "error:26"},
        {"external entity from a file", "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>", false,
         "start-doc|entity:x|<r>|error:26"},
        {"external entity from the network",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + server.url("/entity") + "\">]><r>&x;</r>", false,
         "start-doc|entity:x|<r>|error:26"},
        {"external entity in an attribute",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + server.url("/entity") + "\">]><r a=\"&x;\"/>", false,
         "start-doc|entity:x|error:26"},
        {"external DTD from the network", "<!DOCTYPE r SYSTEM \"" + server.url("/dtd") + "\"><r>ok</r>", true,
         "start-doc|<r>|text:ok|</r>|end-doc"},
        {"parameter entity pulling a DTD",
         "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + server.url("/dtd") + "\"> %p;]><r>&leak;</r>", false,
         "start-doc|entity:p|error:26"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto outcome = parse(c.xml);
        EXPECT_EQ(outcome.ok, c.ok);
        EXPECT_EQ(outcome.events, c.events);
        EXPECT_EQ(outcome.events.find("LEAKED"), std::string::npos);
        EXPECT_EQ(outcome.events.find("lol"), std::string::npos);
    }
    EXPECT_EQ(server.totalHits(), 0u);
}

}  // namespace
