#include "platform/graphics/UIFont.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr const char* kSystemFontName = ".SFUIText-Regular";
constexpr const char* kBoldSystemFontName = ".SFUIText-Semibold";

struct Glyph {
    CGFloat width;
    bool space;  // breakable space; not counted at the end of a line
    bool wide;   // a line may break before and after it
    bool newline;
};

// Walks UTF-8 one code point at a time; a byte that does not start a valid sequence counts as one wide
// character, as it would show as a replacement character.
std::vector<Glyph> glyphs(std::string_view text, CGFloat size) {
    std::vector<Glyph> out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back({c == '\n' ? 0 : size * 0.5, c == ' ' || c == '\t', false, c == '\n'});
            ++i;
            continue;
        }
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (i + len > text.size()) len = 1;
        for (size_t k = 1; k < len; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                len = 1;
                break;
            }
        }
        out.push_back({size * 1.0, false, true, false});
        i += len;
    }
    return out;
}

// Lays out one paragraph (no newlines); returns the widths of its lines.
std::vector<CGFloat> layoutParagraph(const std::vector<Glyph>& g, size_t begin, size_t end, CGFloat maxWidth,
                                     NSLineBreakMode mode) {
    std::vector<CGFloat> lines;
    auto visibleWidth = [&](size_t from, size_t to) {
        while (to > from && g[to - 1].space) --to;
        CGFloat w = 0;
        for (size_t k = from; k < to; ++k) w += g[k].width;
        return w;
    };
    bool wraps =
        maxWidth > 0 && (mode == NSLineBreakMode::ByWordWrapping || mode == NSLineBreakMode::ByCharWrapping);
    if (!wraps || begin == end) {
        CGFloat w = visibleWidth(begin, end);
        lines.push_back(maxWidth > 0 ? std::min(w, maxWidth) : w);
        return lines;
    }
    size_t lineStart = begin;
    CGFloat width = 0;         // width of g[lineStart, i) including trailing spaces
    size_t lastBreak = begin;  // a break opportunity after which the next line may start
    for (size_t i = begin; i < end; ++i) {
        const Glyph& glyph = g[i];
        auto fits = [&] { return glyph.space || width + glyph.width <= maxWidth + 1e-9; };
        while (!fits() && i > lineStart) {
            size_t breakAt = i;
            if (mode == NSLineBreakMode::ByWordWrapping && !glyph.wide && lastBreak > lineStart) {
                breakAt = lastBreak;
            }
            lines.push_back(visibleWidth(lineStart, breakAt));
            lineStart = breakAt;
            width = 0;
            for (size_t k = lineStart; k < i; ++k) width += g[k].width;
            lastBreak = lineStart;
        }
        width += glyph.width;
        if (glyph.space || glyph.wide || mode == NSLineBreakMode::ByCharWrapping)
            lastBreak = i + 1;
        else if (i + 1 < end && g[i + 1].wide)
            lastBreak = i + 1;
    }
    lines.push_back(visibleWidth(lineStart, end));
    return lines;
}

}  // namespace

std::shared_ptr<UIFont> UIFont::systemFontOfSize(CGFloat size) {
    return std::shared_ptr<UIFont>(new UIFont(kSystemFontName, size > 0 ? size : labelFontSize(), false));
}

std::shared_ptr<UIFont> UIFont::boldSystemFontOfSize(CGFloat size) {
    return std::shared_ptr<UIFont>(new UIFont(kBoldSystemFontName, size > 0 ? size : labelFontSize(), true));
}

std::shared_ptr<UIFont> UIFont::fontWithName(const std::string& name, CGFloat size) {
    if (name.empty() || !(size > 0)) return nullptr;
    bool bold = name.find("Bold") != std::string::npos || name.find("Semibold") != std::string::npos;
    return std::shared_ptr<UIFont>(new UIFont(name, size, bold));
}

std::shared_ptr<UIFont> UIFont::fontWithSize(CGFloat size) const {
    return std::shared_ptr<UIFont>(new UIFont(name_, size > 0 ? size : size_, bold_));
}

std::string UIFont::description() const {
    return "<UIFont> font-family: \"" + name_ + "\"; font-weight: " + (bold_ ? "bold" : "normal") +
           "; font-size: " + valuetext::formatDouble(size_);
}

bool UIFont::isEqual(const Object& other) const {
    auto* f = dynamic_cast<const UIFont*>(&other);
    return f && f->name_ == name_ && f->size_ == size_ && f->bold_ == bold_;
}

namespace TextMetrics {

CGFloat advance(std::string_view utf8, const UIFont& font) {
    CGFloat w = 0;
    for (const Glyph& g : glyphs(utf8, font.pointSize())) w += g.width;
    return w;
}

CGSize boundingSize(std::string_view utf8, const UIFont& font, CGFloat maxWidth, int maxLines,
                    NSLineBreakMode mode) {
    if (utf8.empty()) return CGSizeZero;
    std::vector<Glyph> g = glyphs(utf8, font.pointSize());
    std::vector<CGFloat> lines;
    size_t start = 0;
    for (size_t i = 0; i <= g.size(); ++i) {
        if (i == g.size() || g[i].newline) {
            auto para = layoutParagraph(g, start, i, maxWidth, mode);
            lines.insert(lines.end(), para.begin(), para.end());
            start = i + 1;
        }
    }
    if (maxLines > 0 && lines.size() > static_cast<size_t>(maxLines))
        lines.resize(static_cast<size_t>(maxLines));
    CGFloat width = lines.empty() ? 0 : *std::max_element(lines.begin(), lines.end());
    CGFloat height = static_cast<CGFloat>(lines.size()) * font.lineHeight();
    return {std::ceil(width - 1e-9), std::ceil(height - 1e-9)};
}

}  // namespace TextMetrics
