// NSURL: an immutable, strictly parsed URL (RFC 3986), optionally relative to a base URL.
//
// Parsing is strict: text with a character that may not appear in a URL (space, quote, angle brackets,
// braces, backslash, caret, backquote, vertical bar, control or non-ASCII characters), a "%" that does not
// start two hex digits, a second "#", a bad port or a bad scheme gives no URL (nullptr). Nothing is
// escaped on the caller's behalf.
//
// The text given is kept verbatim: `absoluteString()` of a URL made without base is exactly the string it
// was made from. A URL made relative to a base keeps its own text as `relativeString()` and resolves
// against the base by RFC 3986 section 5; the components (scheme, host, path, ...) are those of the
// resolved URL.
//
// Components are read the platform's way: `path()` is percent-decoded and has no trailing slash (except
// the root path "/"); `query()` and `fragment()` stay percent-encoded and are absent (nullopt) without "?"
// or "#"; `host()` is "" and `port()` nullopt when there is none.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

class NSURL final : public Object {
  public:
    // nullptr when the text is not a URL (see above). "" is accepted only with a base (it means the base).
    static std::shared_ptr<NSURL> URLWithString(std::string_view string);
    static std::shared_ptr<NSURL> URLWithString(std::string_view string,
                                                const std::shared_ptr<NSURL>& baseURL);
    // A file URL for a path; a relative path is taken from the current directory. Characters that may not
    // appear in a URL are percent-encoded. nullptr for an empty path.
    static std::shared_ptr<NSURL> fileURLWithPath(std::string_view path);

    // The resolved URL as text; verbatim for a URL made without base.
    const std::string& absoluteString() const { return absolute_; }
    // The text the URL was made from.
    const std::string& relativeString() const { return relative_; }
    const std::shared_ptr<NSURL>& baseURL() const { return base_; }
    // This URL without base (itself when it has none).
    std::shared_ptr<NSURL> absoluteURL() const;

    const std::string& scheme() const { return scheme_; }  // as written; "" for none
    const std::string& host() const { return host_; }      // "" for none; IPv6 without brackets
    std::optional<int> port() const { return port_; }
    std::optional<std::string> user() const;      // percent-decoded
    std::optional<std::string> password() const;  // percent-decoded
    std::string path() const;                     // percent-decoded, no trailing slash
    const std::string& percentEncodedPath() const { return path_; }
    const std::optional<std::string>& query() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }
    bool hasDirectoryPath() const { return !path_.empty() && path_.back() == '/'; }

    // Components of the decoded path: "/" first for an absolute path, then each non-empty segment.
    std::vector<std::string> pathComponents() const;
    std::string lastPathComponent() const;  // "" for no path
    std::string pathExtension() const;      // "" for none

    bool isFileURL() const;

    // A new URL whose path has `component` (plain text, escaped here) added after a "/". An empty
    // component only adds the trailing slash: "http://h/api" gives "http://h/api/". The query and
    // fragment stay. The result has no base.
    std::shared_ptr<NSURL> URLByAppendingPathComponent(std::string_view component) const;

    // The relative string, followed by " -- " and the base's description for a URL with a base.
    std::string description() const override;
    // Equal relative strings and equal bases.
    bool isEqual(const Object& other) const override;

    // Percent-decoding of URL text; nullopt when a "%" does not start two hex digits.
    static std::optional<std::string> percentDecode(std::string_view text);

    struct Parts;  // the parser's view of URL text (internal)

  private:
    NSURL() = default;
    static std::shared_ptr<NSURL> fromParts(const Parts& parts, std::string relative,
                                            std::shared_ptr<NSURL> base);

    std::string absolute_;
    std::string relative_;
    std::shared_ptr<NSURL> base_;
    std::string scheme_;
    bool hasAuthority_ = false;
    std::optional<std::string> userInfo_;
    std::string host_;
    std::optional<int> port_;
    std::string path_;  // percent-encoded, as in the text
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

using NSURLPtr = std::shared_ptr<NSURL>;
