#include "platform/foundation/NSXMLParser.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kChunk = 64 * 1024;
// Deeper documents fail: the depth a caller's delegate recurses to is ours to bound.
constexpr int kMaxDepth = 256;

std::string text(const xmlChar* chars) {
    return chars ? std::string(reinterpret_cast<const char*>(chars)) : std::string();
}

std::optional<std::string> optionalText(const xmlChar* chars) {
    if (!chars) return std::nullopt;
    return text(chars);
}

std::string qualified(const xmlChar* prefix, const xmlChar* local) {
    return prefix ? text(prefix) + ":" + text(local) : text(local);
}

// Attribute values come back with "&amp;" kept as "&#38;" (libxml2 leaves it for re-serialization when it
// does not substitute entities); every other reference has already been decoded.
std::string attributeValue(const xmlChar* begin, const xmlChar* end) {
    std::string value(reinterpret_cast<const char*>(begin), size_t(end - begin));
    static constexpr std::string_view kAmp = "&#38;";
    for (size_t at = value.find(kAmp); at != std::string::npos; at = value.find(kAmp, at + 1))
        value.replace(at, kAmp.size(), "&");
    return value;
}

}  // namespace

struct NSXMLParser::Session {
    NSXMLParser& parser;
    std::shared_ptr<NSXMLParserDelegate> delegate;
    xmlParserCtxtPtr context = nullptr;
    bool aborted = false;
    bool failed = false;
    int depth = 0;

    void notePosition() {
        if (!context) return;
        parser.line_ = xmlSAX2GetLineNumber(context);
        parser.column_ = xmlSAX2GetColumnNumber(context);
    }
    // Whether callbacks may still reach the delegate.
    bool live() const { return delegate && !aborted && !failed; }

    static Session& of(void* user) { return *static_cast<Session*>(user); }

    static void startDocument(void* user) {
        auto& s = of(user);
        if (s.live()) s.delegate->parserDidStartDocument(s.parser);
    }
    static void startElement(void* user, const xmlChar* local, const xmlChar* prefix, const xmlChar* uri,
                             int namespaceCount, const xmlChar** namespaces, int attributeCount, int,
                             const xmlChar** attributes) {
        auto& s = of(user);
        if (!s.live()) return;
        s.notePosition();
        if (++s.depth > kMaxDepth) {
            s.fail(NSXMLParserInternalError,
                   "The document nests elements deeper than " + std::to_string(kMaxDepth) + " levels.",
                   s.parser.line_, s.parser.column_);
            xmlStopParser(s.context);
            return;
        }
        const bool processNamespaces = s.parser.shouldProcessNamespaces_;
        NSXMLParserDelegate::Attributes attrs;
        if (!processNamespaces) {
            for (int i = 0; i < namespaceCount; ++i) {
                const xmlChar* nsPrefix = namespaces[2 * i];
                std::string name = nsPrefix ? "xmlns:" + text(nsPrefix) : std::string("xmlns");
                attrs[name] = text(namespaces[2 * i + 1]);
            }
        }
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar** a = attributes + 5 * i;
            std::string name = processNamespaces ? text(a[0]) : qualified(a[1], a[0]);
            attrs[name] = attributeValue(a[3], a[4]);
        }
        if (processNamespaces) {
            std::optional<std::string> qname;
            if (s.parser.shouldReportNamespacePrefixes_) qname = qualified(prefix, local);
            s.delegate->didStartElement(s.parser, text(local), optionalText(uri), qname, attrs);
        } else {
            s.delegate->didStartElement(s.parser, qualified(prefix, local), std::nullopt, std::nullopt,
                                        attrs);
        }
    }
    static void endElement(void* user, const xmlChar* local, const xmlChar* prefix, const xmlChar* uri) {
        auto& s = of(user);
        if (!s.live()) return;
        s.notePosition();
        --s.depth;
        if (s.parser.shouldProcessNamespaces_) {
            std::optional<std::string> qname;
            if (s.parser.shouldReportNamespacePrefixes_) qname = qualified(prefix, local);
            s.delegate->didEndElement(s.parser, text(local), optionalText(uri), qname);
        } else {
            s.delegate->didEndElement(s.parser, qualified(prefix, local), std::nullopt, std::nullopt);
        }
    }
    static void characters(void* user, const xmlChar* chars, int length) {
        auto& s = of(user);
        if (!s.live() || length <= 0) return;
        s.delegate->foundCharacters(s.parser,
                                    std::string(reinterpret_cast<const char*>(chars), size_t(length)));
    }
    static void cdata(void* user, const xmlChar* bytes, int length) {
        auto& s = of(user);
        if (!s.live() || length < 0) return;
        s.delegate->foundCDATA(s.parser, Data(bytes, size_t(length)));
    }
    static void comment(void* user, const xmlChar* value) {
        auto& s = of(user);
        if (s.live()) s.delegate->foundComment(s.parser, text(value));
    }
    static void processingInstruction(void* user, const xmlChar* target, const xmlChar* data) {
        auto& s = of(user);
        if (s.live())
            s.delegate->foundProcessingInstructionWithTarget(s.parser, text(target), optionalText(data));
    }
    // Declarations are reported and forgotten: with nothing stored, no entity can be expanded or fetched.
    static void entityDecl(void* user, const xmlChar* name, int type, const xmlChar*, const xmlChar* systemID,
                           xmlChar* content) {
        auto& s = of(user);
        if (!s.live()) return;
        std::optional<std::string> value;
        if (type == XML_INTERNAL_GENERAL_ENTITY || type == XML_INTERNAL_PARAMETER_ENTITY)
            value = optionalText(content);
        s.delegate->foundEntityDeclarationWithName(s.parser, text(name), value, optionalText(systemID));
    }
    static xmlEntityPtr getEntity(void*, const xmlChar* name) { return xmlGetPredefinedEntity(name); }
    static xmlEntityPtr getParameterEntity(void*, const xmlChar*) { return nullptr; }
    // The first fatal error ends the parse; the delegate hears of it once.
    void fail(long code, std::string message, long line, long column) {
        if (failed || aborted) return;
        failed = true;
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
        parser.line_ = line;
        parser.column_ = column;
        parser.error_ = NSError::create(NSXMLParserErrorDomain, code,
                                        {{NSLocalizedDescriptionKey, Value(message)},
                                         {"NSXMLParserErrorLineNumber", Value(line)},
                                         {"NSXMLParserErrorColumn", Value(column)}});
        if (delegate) delegate->parseErrorOccurred(parser, parser.error_);
    }
    // Also the thread's handler for the parse, so that what libxml2 reports without a context (encoding
    // and I/O errors) reaches the parser's error instead of standard error.
    static void structuredError(void* user, xmlErrorPtr error) {
        if (!error || error->level != XML_ERR_FATAL) return;
        of(user).fail(error->code, error->message ? error->message : "The document is not well formed.",
                      error->line, error->int2);
    }
    static void genericError(void*, const char*, ...) {}
};

std::shared_ptr<NSXMLParser> NSXMLParser::create(Data data) {
    return std::shared_ptr<NSXMLParser>(new NSXMLParser(std::move(data)));
}

bool NSXMLParser::parse() {
    if (started_) {
        error_ = NSError::withDescription(NSXMLParserErrorDomain, NSXMLParserInternalError,
                                          "The parser has already parsed its document.");
        return false;
    }
    started_ = true;

    xmlSAXHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.initialized = XML_SAX2_MAGIC;
    handler.startDocument = &Session::startDocument;
    // The end of the document is reported after the last chunk, and only when it was well formed.
    handler.startElementNs = &Session::startElement;
    handler.endElementNs = &Session::endElement;
    handler.characters = &Session::characters;
    handler.ignorableWhitespace = &Session::characters;
    handler.cdataBlock = &Session::cdata;
    handler.comment = &Session::comment;
    handler.processingInstruction = &Session::processingInstruction;
    handler.entityDecl = &Session::entityDecl;
    handler.getEntity = &Session::getEntity;
    handler.getParameterEntity = &Session::getParameterEntity;
    handler.serror = &Session::structuredError;
    // No externalSubset / resolveEntity handlers: nothing outside the bytes is ever read.

    Session session{*this, delegate_.lock()};
    // libxml2's handlers for this thread point at the parse while it runs, then go back to what they were.
    struct Routing {
        xmlStructuredErrorFunc structured = xmlStructuredError;
        void* structuredContext = xmlStructuredErrorContext;
        xmlGenericErrorFunc generic = xmlGenericError;
        void* genericContext = xmlGenericErrorContext;
        ~Routing() {
            xmlSetStructuredErrorFunc(structuredContext, structured);
            xmlSetGenericErrorFunc(genericContext, generic);
        }
    } routing;
    xmlSetStructuredErrorFunc(&session, &Session::structuredError);
    xmlSetGenericErrorFunc(nullptr, &Session::genericError);
    // The session (never the context) is the user data, so that libxml2 cannot fall back to its own entity
    // tables, which would expand declared entities.
    session.context = xmlCreatePushParserCtxt(&handler, &session, nullptr, 0, nullptr);
    if (!session.context) {
        error_ = NSError::withDescription(NSXMLParserErrorDomain, NSXMLParserInternalError,
                                          "The XML parser could not be created.");
        return false;
    }
    xmlCtxtUseOptions(session.context, XML_PARSE_NONET);
    session.context->replaceEntities = 0;
    session_ = &session;

    const uint8_t* bytes = data_.bytes();
    size_t remaining = data_.length();
    do {
        size_t n = std::min(remaining, kChunk);
        remaining -= n;
        xmlParseChunk(session.context, reinterpret_cast<const char*>(bytes), int(n), remaining == 0 ? 1 : 0);
        bytes += n;
    } while (remaining > 0 && !session.aborted && !session.failed);

    const bool wellFormed = session.context->wellFormed && !session.aborted && !session.failed;
    if (!wellFormed && !session.aborted && !session.failed) {
        // A failure libxml2 did not report as fatal (an empty document, say).
        session.failed = true;
        error_ = NSError::withDescription(NSXMLParserErrorDomain,
                                          session.context->errNo ? session.context->errNo : 4,
                                          "The document is not well formed.");
        if (session.delegate) session.delegate->parseErrorOccurred(*this, error_);
    }
    if (wellFormed && session.delegate) session.delegate->parserDidEndDocument(*this);
    // libxml2 may have made a placeholder document to hang the DTD on; nothing of it is ours to keep.
    if (session.context->myDoc) {
        xmlFreeDoc(session.context->myDoc);
        session.context->myDoc = nullptr;
    }
    xmlFreeParserCtxt(session.context);
    session_ = nullptr;
    return wellFormed;
}

void NSXMLParser::abortParsing() {
    if (!session_ || session_->aborted || session_->failed) return;
    session_->aborted = true;
    xmlStopParser(session_->context);
    error_ = NSError::withDescription(NSXMLParserErrorDomain, NSXMLParserDelegateAbortedParseError,
                                      "The delegate aborted the parse.");
}

std::string NSXMLParser::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<NSXMLParser: ") + address + ">";
}
