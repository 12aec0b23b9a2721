// What the web view needs of a page's HTML: its title, its scripts in document order and its links.
//
// Parsed with libxml2's HTML parser in recovery mode, with network access and entity loading off, so any
// bytes give a document (possibly empty) and nothing outside the bytes is ever read. The walk over the tree
// is iterative, so deeply nested pages cost no stack.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

struct HTMLScript {
    std::optional<std::string> src;  // an external script's address as written; nullopt for inline
    std::string text;                // the inline source
};

struct HTMLLink {
    std::string href;  // as written
    std::string text;  // the visible text, whitespace collapsed
};

struct HTMLDocument {
    std::string title;  // the first <title>, whitespace collapsed
    std::vector<HTMLScript> scripts;
    std::vector<HTMLLink> links;

    // `encoding` is the response's charset ("" lets the parser look at the bytes and <meta>).
    static HTMLDocument parse(const Data& bytes, const std::string& encoding = "");
};
