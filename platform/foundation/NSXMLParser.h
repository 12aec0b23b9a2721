// NSXMLParser: an event-driven XML parser over bytes. The caller sets a delegate and calls `parse`, which
// reports the document to the delegate as it goes, on the calling thread, and answers whether the whole
// document was well formed.
//
// Hostile documents are safe to parse: nothing is ever fetched (no external subset, no external entity, no
// network), and entities declared in the document's DTD are never substituted, so a reference to one is
// reported as an undeclared-entity error (code 26) instead of being expanded. The five predefined entities
// and character references are decoded as usual. Elements nest at most 256 deep (deeper documents fail with
// NSXMLParserInternalError); text sizes are bounded by libxml2's defaults. Nothing libxml2 reports during the
// parse reaches standard error: its fatal errors, encoding errors included, become the parser's error.
//
// Callback order: parserDidStartDocument, then element, text, comment and processing-instruction events in
// document order, then parserDidEndDocument when the document was well formed. On the first fatal error
// the delegate gets parseErrorOccurred once and nothing after it. `abortParsing` from inside a callback
// stops at once with NSXMLParserDelegateAbortedParseError (512); no callback follows.
//
// A parser parses once; later calls to `parse` answer false with NSXMLParserInternalError (1).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

inline constexpr const char* NSXMLParserErrorDomain = "NSXMLParserErrorDomain";
inline constexpr long NSXMLParserInternalError = 1;
inline constexpr long NSXMLParserUndeclaredEntityError = 26;
inline constexpr long NSXMLParserDelegateAbortedParseError = 512;

class NSXMLParser;

// Every method is optional; the defaults do nothing.
class NSXMLParserDelegate {
  public:
    using Attributes = std::map<std::string, std::string>;

    virtual ~NSXMLParserDelegate() = default;
    virtual void parserDidStartDocument(NSXMLParser&) {}
    virtual void parserDidEndDocument(NSXMLParser&) {}
    // Without namespace processing `elementName` is the name as written ("p:item"), and `namespaceURI` and
    // `qualifiedName` are absent; namespace declarations then appear among the attributes ("xmlns:p").
    // With it, `elementName` is the local name, `namespaceURI` the element's namespace (when it has one)
    // and `qualifiedName` the written name when prefixes are reported.
    virtual void didStartElement(NSXMLParser&, const std::string& /*elementName*/,
                                 const std::optional<std::string>& /*namespaceURI*/,
                                 const std::optional<std::string>& /*qualifiedName*/, const Attributes&) {}
    virtual void didEndElement(NSXMLParser&, const std::string& /*elementName*/,
                               const std::optional<std::string>& /*namespaceURI*/,
                               const std::optional<std::string>& /*qualifiedName*/) {}
    // Text may arrive in several pieces for one run of characters.
    virtual void foundCharacters(NSXMLParser&, const std::string&) {}
    virtual void foundCDATA(NSXMLParser&, const Data&) {}
    virtual void foundComment(NSXMLParser&, const std::string&) {}
    virtual void foundProcessingInstructionWithTarget(NSXMLParser&, const std::string& /*target*/,
                                                      const std::optional<std::string>& /*data*/) {}
    // An entity declared in the document's DTD (internal ones with their replacement text). Reported only.
    virtual void foundEntityDeclarationWithName(NSXMLParser&, const std::string& /*name*/,
                                                const std::optional<std::string>& /*value*/,
                                                const std::optional<std::string>& /*systemID*/) {}
    virtual void parseErrorOccurred(NSXMLParser&, const NSErrorPtr&) {}
};

class NSXMLParser final : public Object {
  public:
    static std::shared_ptr<NSXMLParser> create(Data data);

    // Weak: the caller keeps the delegate alive for the parse.
    void setDelegate(std::weak_ptr<NSXMLParserDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<NSXMLParserDelegate> delegate() const { return delegate_.lock(); }

    bool shouldProcessNamespaces() const { return shouldProcessNamespaces_; }
    void setShouldProcessNamespaces(bool process) { shouldProcessNamespaces_ = process; }
    bool shouldReportNamespacePrefixes() const { return shouldReportNamespacePrefixes_; }
    void setShouldReportNamespacePrefixes(bool report) { shouldReportNamespacePrefixes_ = report; }
    // Kept for callers that set it; external entities are never resolved whatever it says.
    bool shouldResolveExternalEntities() const { return shouldResolveExternalEntities_; }
    void setShouldResolveExternalEntities(bool resolve) { shouldResolveExternalEntities_ = resolve; }

    // true when the document was parsed to its end without a fatal error.
    bool parse();
    // From a delegate callback: stop the parse in progress.
    void abortParsing();

    const NSErrorPtr& parserError() const { return error_; }
    // Position of the event being reported (1-based), or of the error after a failed parse.
    long lineNumber() const { return line_; }
    long columnNumber() const { return column_; }
    const Data& data() const { return data_; }

    std::string description() const override;

  private:
    struct Session;
    explicit NSXMLParser(Data data) : data_(std::move(data)) {}

    Data data_;
    std::weak_ptr<NSXMLParserDelegate> delegate_;
    bool shouldProcessNamespaces_ = false;
    bool shouldReportNamespacePrefixes_ = false;
    bool shouldResolveExternalEntities_ = false;
    bool started_ = false;
    Session* session_ = nullptr;  // the parse in progress, for abortParsing and positions
    NSErrorPtr error_;
    long line_ = 0;
    long column_ = 0;
};

using NSXMLParserPtr = std::shared_ptr<NSXMLParser>;
