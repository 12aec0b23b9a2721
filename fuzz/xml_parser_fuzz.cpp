// The event XML parser, with and without namespace processing (the first byte chooses).
//
// Checked beyond "no crash": a document parsed to the end reports no error, started and ended the
// document once each, and closed every element it opened, in order.
#include "fuzz/fuzz_check.h"
#include "platform/foundation/NSXMLParser.h"

#include <memory>
#include <string>
#include <vector>

namespace {

class Recorder : public NSXMLParserDelegate {
  public:
    void parserDidStartDocument(NSXMLParser&) override { ++documentStarts; }
    void parserDidEndDocument(NSXMLParser&) override { ++documentEnds; }
    void didStartElement(NSXMLParser&, const std::string& name, const std::optional<std::string>&,
                         const std::optional<std::string>&, const Attributes&) override {
        open.push_back(name);
    }
    void didEndElement(NSXMLParser&, const std::string& name, const std::optional<std::string>&,
                       const std::optional<std::string>&) override {
        balanced = balanced && !open.empty() && open.back() == name;
        if (!open.empty()) open.pop_back();
    }

    int documentStarts = 0;
    int documentEnds = 0;
    std::vector<std::string> open;
    bool balanced = true;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    auto parser = NSXMLParser::create(Data(bytes + 1, size - 1));
    parser->setShouldProcessNamespaces(bytes[0] & 1);
    parser->setShouldReportNamespacePrefixes(bytes[0] & 2);
    auto recorder = std::make_shared<Recorder>();
    parser->setDelegate(recorder);
    const bool parsed = parser->parse();
    fuzzCheck(parsed == (parser->parserError() == nullptr), "xml_parser", "result and error disagree");
    if (!parsed) return 0;
    fuzzCheck(recorder->documentStarts == 1 && recorder->documentEnds == 1, "xml_parser",
              "document not started and ended once");
    fuzzCheck(recorder->balanced && recorder->open.empty(), "xml_parser", "elements not closed in order");
    return 0;
}
