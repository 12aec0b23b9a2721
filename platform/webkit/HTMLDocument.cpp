#include "platform/webkit/HTMLDocument.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <utility>

namespace {

bool named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && node->name &&
           xmlStrcasecmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
    for (const xmlAttr* a = node->properties; a; a = a->next) {
        if (!a->name || xmlStrcasecmp(a->name, reinterpret_cast<const xmlChar*>(name)) != 0) continue;
        xmlChar* value = xmlNodeListGetString(node->doc, a->children, 1);
        std::string out = value ? reinterpret_cast<const char*>(value) : "";
        xmlFree(value);
        return out;
    }
    return std::nullopt;
}

// Every text below `node`, in order (iteratively).
std::string textOf(const xmlNode* node) {
    std::string out;
    std::vector<const xmlNode*> stack;
    for (const xmlNode* c = node->last; c; c = c->prev) stack.push_back(c);
    while (!stack.empty()) {
        const xmlNode* n = stack.back();
        stack.pop_back();
        if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) && n->content) {
            out += reinterpret_cast<const char*>(n->content);
        }
        for (const xmlNode* c = n->last; c; c = c->prev) stack.push_back(c);
    }
    return out;
}

std::string collapsed(const std::string& text) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

// Script types a browser runs as classic JavaScript.
bool isJavaScript(const std::optional<std::string>& type) {
    if (!type) return true;
    std::string t;
    for (char c : collapsed(*type)) t += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return t.empty() || t == "text/javascript" || t == "application/javascript" ||
           t == "application/x-javascript" || t == "text/ecmascript" || t == "application/ecmascript";
}

}  // namespace

HTMLDocument HTMLDocument::parse(const Data& bytes, const std::string& encoding) {
    HTMLDocument document;
    if (bytes.empty() || bytes.length() > size_t(INT_MAX)) return document;
    htmlParserCtxtPtr parser = htmlNewParserCtxt();
    if (!parser) return document;
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING;
    htmlDocPtr doc =
        htmlCtxtReadMemory(parser, reinterpret_cast<const char*>(bytes.bytes()), int(bytes.length()), nullptr,
                           encoding.empty() ? nullptr : encoding.c_str(), options);
    if (!doc && !encoding.empty()) {
        // A charset libxml2 does not know: let it find one from the bytes.
        doc = htmlCtxtReadMemory(parser, reinterpret_cast<const char*>(bytes.bytes()), int(bytes.length()),
                                 nullptr, nullptr, options);
    }
    if (doc) {
        bool haveTitle = false;
        std::vector<const xmlNode*> stack;
        for (const xmlNode* c = doc->last; c; c = c->prev) stack.push_back(c);
        while (!stack.empty()) {
            const xmlNode* n = stack.back();
            stack.pop_back();
            if (named(n, "script")) {
                auto type = attribute(n, "type");
                if (!isJavaScript(type)) continue;
                auto src = attribute(n, "src");
                if (src && collapsed(*src).empty()) src.reset();
                document.scripts.push_back(
                    {src ? std::optional<std::string>(collapsed(*src)) : std::nullopt, src ? "" : textOf(n)});
                continue;
            }
            if (named(n, "title") && !haveTitle) {
                haveTitle = true;
                document.title = collapsed(textOf(n));
                continue;
            }
            if (named(n, "a")) {
                if (auto href = attribute(n, "href"))
                    document.links.push_back({collapsed(*href), collapsed(textOf(n))});
            }
            for (const xmlNode* c = n->last; c; c = c->prev) stack.push_back(c);
        }
        xmlFreeDoc(doc);
    }
    htmlFreeParserCtxt(parser);
    return document;
}
