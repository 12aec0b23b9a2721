#include "platform/foundation/NSURL.h"

#include <unistd.h>

#include <climits>
#include <cstring>

struct NSURL::Parts {
    std::optional<std::string> scheme;
    bool hasAuthority = false;
    std::optional<std::string> userInfo;
    std::string host;  // as written (IPv6 with brackets)
    std::optional<std::string> portText;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;

    std::string authority() const {
        std::string text;
        if (userInfo) text += *userInfo + "@";
        text += host;
        if (portText) text += ":" + *portText;
        return text;
    }

    // RFC 3986 section 5.3.
    std::string recompose() const {
        std::string text;
        if (scheme) text += *scheme + ":";
        if (hasAuthority) text += "//" + authority();
        text += path;
        if (query) text += "?" + *query;
        if (fragment) text += "#" + *fragment;
        return text;
    }
};

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
    return c != 0 && std::strchr("!$&'()*+,;=", c) != nullptr;
}
bool isPathChar(char c) {
    return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/';
}

// Every character legal somewhere in a URL, and well-formed percent escapes.
bool hasOnlyURLCharacters(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            continue;
        }
        if (isUnreserved(c) || isSubDelim(c)) continue;
        if (c != 0 && std::strchr(":/?#[]@", c) != nullptr) continue;
        return false;
    }
    return true;
}

bool noBrackets(std::string_view text) {
    return text.find_first_of("[]") == std::string_view::npos;
}

std::optional<NSURL::Parts> parse(std::string_view text) {
    if (!hasOnlyURLCharacters(text)) return std::nullopt;
    NSURL::Parts parts;
    std::string_view rest = text;

    size_t fragmentAt = rest.find('#');
    if (fragmentAt != std::string_view::npos) {
        std::string_view fragment = rest.substr(fragmentAt + 1);
        if (fragment.find('#') != std::string_view::npos || !noBrackets(fragment)) return std::nullopt;
        parts.fragment = std::string(fragment);
        rest = rest.substr(0, fragmentAt);
    }
    size_t queryAt = rest.find('?');
    if (queryAt != std::string_view::npos) {
        std::string_view query = rest.substr(queryAt + 1);
        if (!noBrackets(query)) return std::nullopt;
        parts.query = std::string(query);
        rest = rest.substr(0, queryAt);
    }
    size_t colon = rest.find(':');
    size_t slash = rest.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        std::string_view scheme = rest.substr(0, colon);
        if (scheme.empty() || !isAlpha(scheme[0])) return std::nullopt;
        for (char c : scheme) {
            if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
        }
        parts.scheme = std::string(scheme);
        rest = rest.substr(colon + 1);
    }
    if (rest.substr(0, 2) == "//") {
        parts.hasAuthority = true;
        rest = rest.substr(2);
        size_t end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        size_t at = authority.rfind('@');
        if (at != std::string_view::npos) {
            std::string_view userInfo = authority.substr(0, at);
            if (!noBrackets(userInfo) || userInfo.find('@') != std::string_view::npos) return std::nullopt;
            parts.userInfo = std::string(userInfo);
            authority = authority.substr(at + 1);
        }
        std::string_view hostPort = authority;
        std::string_view portText;
        bool hasPort = false;
        if (!authority.empty() && authority[0] == '[') {
            size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            std::string_view inside = authority.substr(1, close - 1);
            if (inside.empty()) return std::nullopt;
            for (char c : inside) {
                if (!isHex(c) && c != ':' && c != '.') return std::nullopt;
            }
            hostPort = authority.substr(0, close + 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') return std::nullopt;
                hasPort = true;
                portText = after.substr(1);
            }
        } else {
            size_t portColon = authority.rfind(':');
            if (portColon != std::string_view::npos) {
                hasPort = true;
                portText = authority.substr(portColon + 1);
                hostPort = authority.substr(0, portColon);
            }
            if (!noBrackets(hostPort) || hostPort.find(':') != std::string_view::npos) return std::nullopt;
        }
        if (hasPort) {
            if (portText.size() > 5) return std::nullopt;
            for (char c : portText) {
                if (!isDigit(c)) return std::nullopt;
            }
            if (!portText.empty() && std::stoi(std::string(portText)) > 65535) return std::nullopt;
            parts.portText = std::string(portText);
        }
        parts.host = std::string(hostPort);
    }
    if (!noBrackets(rest)) return std::nullopt;
    parts.path = std::string(rest);
    return parts;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view input) {
    std::string output;
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            if (input == "/..") {
                input = "/";
            } else {
                input.remove_prefix(3);
            }
            size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            size_t next = input.find('/', input[0] == '/' ? 1 : 0);
            output.append(input.substr(0, next));
            input = next == std::string_view::npos ? std::string_view() : input.substr(next);
        }
    }
    return output;
}

// RFC 3986 section 5.2.3.
std::string mergePaths(const NSURL::Parts& base, const std::string& reference) {
    if (base.hasAuthority && base.path.empty()) return "/" + reference;
    size_t last = base.path.rfind('/');
    if (last == std::string::npos) return reference;
    return base.path.substr(0, last + 1) + reference;
}

// A path that starts with "//" in a URL without authority would read back as an authority ("a:b" and
// "..//evil/x" give "a://evil/x"); "/." in front keeps it a path, as RFC 3986 section 5.2.4 asks.
NSURL::Parts keptAPath(NSURL::Parts target) {
    if (!target.hasAuthority && target.path.starts_with("//")) target.path.insert(0, "/.");
    return target;
}

// RFC 3986 section 5.2.2 (strict: a reference with a scheme is taken as it is).
NSURL::Parts resolve(const NSURL::Parts& base, const NSURL::Parts& reference) {
    NSURL::Parts target;
    if (reference.scheme) {
        target = reference;
        target.path = removeDotSegments(reference.path);
        return keptAPath(std::move(target));
    }
    if (reference.hasAuthority) {
        target = reference;
        target.path = removeDotSegments(reference.path);
    } else {
        target.hasAuthority = base.hasAuthority;
        target.userInfo = base.userInfo;
        target.host = base.host;
        target.portText = base.portText;
        if (reference.path.empty()) {
            target.path = base.path;
            target.query = reference.query ? reference.query : base.query;
        } else {
            if (reference.path[0] == '/') {
                target.path = removeDotSegments(reference.path);
            } else {
                target.path = removeDotSegments(mergePaths(base, reference.path));
            }
            target.query = reference.query;
        }
    }
    target.scheme = base.scheme;
    target.fragment = reference.fragment;
    return keptAPath(std::move(target));
}

std::string percentEncode(std::string_view text, bool (*allowed)(char)) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (allowed(char(c))) {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> NSURL::percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) {
            return std::nullopt;
        }
        out.push_back(char(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::shared_ptr<NSURL> NSURL::fromParts(const Parts& parts, std::string relative,
                                        std::shared_ptr<NSURL> base) {
    auto url = std::shared_ptr<NSURL>(new NSURL());
    url->relative_ = std::move(relative);
    url->absolute_ = base ? parts.recompose() : url->relative_;
    url->base_ = std::move(base);
    url->scheme_ = parts.scheme.value_or("");
    url->hasAuthority_ = parts.hasAuthority;
    url->userInfo_ = parts.userInfo;
    url->host_ = parts.host;
    if (url->host_.size() >= 2 && url->host_.front() == '[')
        url->host_ = url->host_.substr(1, url->host_.size() - 2);
    if (parts.portText && !parts.portText->empty()) url->port_ = std::stoi(*parts.portText);
    url->path_ = parts.path;
    url->query_ = parts.query;
    url->fragment_ = parts.fragment;
    return url;
}

std::shared_ptr<NSURL> NSURL::URLWithString(std::string_view string) {
    if (string.empty()) return nullptr;
    auto parts = parse(string);
    if (!parts) return nullptr;
    return fromParts(*parts, std::string(string), nullptr);
}

std::shared_ptr<NSURL> NSURL::URLWithString(std::string_view string, const std::shared_ptr<NSURL>& baseURL) {
    if (!baseURL) return URLWithString(string);
    auto reference = parse(string);
    if (!reference) return nullptr;
    if (reference->scheme) return fromParts(*reference, std::string(string), nullptr);
    auto base = parse(baseURL->absoluteString());
    if (!base || !base->scheme) return nullptr;  // a relative base cannot anchor a reference
    return fromParts(resolve(*base, *reference), std::string(string), baseURL);
}

std::shared_ptr<NSURL> NSURL::fileURLWithPath(std::string_view path) {
    if (path.empty()) return nullptr;
    std::string absolute(path);
    if (absolute[0] != '/') {
        char buffer[PATH_MAX];
        if (!getcwd(buffer, sizeof buffer)) return nullptr;
        std::string cwd(buffer);
        absolute = cwd + (cwd.back() == '/' ? "" : "/") + absolute;
    }
    return URLWithString("file://" + percentEncode(absolute, isPathChar));
}

std::shared_ptr<NSURL> NSURL::absoluteURL() const {
    if (!base_)
        return std::const_pointer_cast<NSURL>(std::static_pointer_cast<const NSURL>(shared_from_this()));
    return URLWithString(absolute_);
}

std::optional<std::string> NSURL::user() const {
    if (!userInfo_) return std::nullopt;
    return percentDecode(userInfo_->substr(0, userInfo_->find(':')));
}

std::optional<std::string> NSURL::password() const {
    if (!userInfo_) return std::nullopt;
    size_t colon = userInfo_->find(':');
    if (colon == std::string::npos) return std::nullopt;
    return percentDecode(userInfo_->substr(colon + 1));
}

std::string NSURL::path() const {
    std::string decoded = percentDecode(path_).value_or(path_);
    while (decoded.size() > 1 && decoded.back() == '/') decoded.pop_back();
    return decoded;
}

std::vector<std::string> NSURL::pathComponents() const {
    std::vector<std::string> components;
    std::string decoded = percentDecode(path_).value_or(path_);
    if (!decoded.empty() && decoded[0] == '/') components.push_back("/");
    size_t start = 0;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos) end = decoded.size();
        if (end > start) components.push_back(decoded.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

std::string NSURL::lastPathComponent() const {
    auto components = pathComponents();
    return components.empty() ? "" : components.back();
}

std::string NSURL::pathExtension() const {
    std::string last = lastPathComponent();
    size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
    return last.substr(dot + 1);
}

bool NSURL::isFileURL() const {
    if (scheme_.size() != 4) return false;
    for (size_t i = 0; i < 4; ++i) {
        if ((scheme_[i] | 0x20) != "file"[i]) return false;
    }
    return true;
}

std::shared_ptr<NSURL> NSURL::URLByAppendingPathComponent(std::string_view component) const {
    auto parts = parse(absolute_);
    if (!parts) return nullptr;
    std::string encoded = percentEncode(component, isPathChar);
    std::string path = parts->path;
    if (path.empty() && parts->hasAuthority) path = "/";
    if (!encoded.empty()) {
        if (!path.empty() && path.back() != '/') path += "/";
        path += encoded;
    } else if (!path.empty() && path.back() != '/') {
        path += "/";
    }
    parts->path = path;
    return URLWithString(parts->recompose());
}

std::string NSURL::description() const {
    if (!base_) return relative_;
    return relative_ + " -- " + base_->description();
}

bool NSURL::isEqual(const Object& other) const {
    auto* url = dynamic_cast<const NSURL*>(&other);
    if (!url) return false;
    if (url->relative_ != relative_) return false;
    if (!base_ || !url->base_) return !base_ && !url->base_;
    return base_->isEqual(*url->base_);
}
