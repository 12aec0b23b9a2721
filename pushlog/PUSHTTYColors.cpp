#include "pushlog/PUSHTTYColors.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "platform/foundation/Format.h"

namespace {

struct Triple {
    int r, g, b;
};

constexpr std::array<Triple, 16> kColors16 = {{
    {0, 0, 0},
    {194, 54, 33},
    {37, 188, 36},
    {173, 173, 39},
    {73, 46, 225},
    {211, 56, 211},
    {51, 187, 200},
    {203, 204, 205},
    {129, 131, 131},
    {252, 57, 31},
    {49, 231, 34},
    {234, 236, 35},
    {88, 51, 255},
    {249, 53, 248},
    {20, 240, 240},
    {233, 235, 235},
}};

// The 240-entry palette as a terminal shows it: per-channel levels of the 6x6x6 cube, the grey ramp, and
// the measured rows that differ from the plain levels.
constexpr std::array<int, 6> kRedLevels = {47, 140, 180, 214, 247, 255};
constexpr std::array<int, 6> kGreenLevels = {49, 120, 160, 195, 226, 254};
constexpr std::array<int, 6> kBlueLevels = {49, 125, 165, 205, 235, 255};

struct Row {
    int number;
    Triple rgb;
};
constexpr std::array<Row, 14> kMeasuredRows = {{
    {16, {47, 49, 49}},
    {21, {88, 51, 255}},
    {46, {27, 254, 30}},
    {51, {42, 253, 252}},
    {52, {140, 48, 40}},
    {124, {214, 57, 30}},
    {160, {247, 56, 30}},
    {196, {255, 61, 30}},
    {201, {255, 59, 255}},
    {226, {251, 252, 15}},
    {231, {254, 255, 255}},
    {232, {52, 53, 53}},
    {243, {143, 144, 145}},
    {255, {240, 242, 242}},
}};

Triple colour256(int number) {
    for (const auto& row : kMeasuredRows) {
        if (row.number == number) return row.rgb;
    }
    if (number >= 232) {
        const int step = number - 232;  // 24 greys from 52 to 240
        const int grey = 52 + (step * (240 - 52) + 11) / 23;
        return {grey, grey + 1, grey + 1};
    }
    const int cube = number - 16;
    return {kRedLevels[cube / 36], kGreenLevels[(cube / 6) % 6], kBlueLevels[cube % 6]};
}

bool containsIgnoringCase(const std::string& text, const std::string& word) {
    auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
        return std::tolower((unsigned char)a) == std::tolower((unsigned char)b);
    });
    return it != text.end();
}

unsigned component255(double value) {
    return unsigned(std::clamp(value, 0.0, 1.0) * 255.0);
}

}  // namespace

bool PUSHTTYGetRGB(double* red, double* green, double* blue, const UIColor& color) {
    return color.getRed(red, green, blue, nullptr);
}

PUSHTTYColorScheme PUSHTTYColorScheme::fromEnvironment(const std::string& consoleColors,
                                                       const std::string& term) {
    if (consoleColors == "YES") return rgb();
    if (containsIgnoringCase(term, "color")) {
        return term.find("256") != std::string::npos ? initialize_colors_256() : initialize_colors_16();
    }
    return none();
}

PUSHTTYColorScheme PUSHTTYColorScheme::rgb() {
    PUSHTTYColorScheme scheme;
    scheme.mode_ = PUSHTTYColorMode::RGB;
    return scheme;
}

PUSHTTYColorScheme PUSHTTYColorScheme::initialize_colors_16() {
    PUSHTTYColorScheme scheme;
    scheme.mode_ = PUSHTTYColorMode::Palette;
    for (size_t i = 0; i < kColors16.size(); ++i) {
        const std::string bold = i < 8 ? "" : "1;";
        scheme.fgCodes_.push_back(bold + "3" + std::to_string(i % 8) + "m");
        scheme.bgCodes_.push_back(bold + "4" + std::to_string(i % 8) + "m");
        scheme.colors_.push_back({kColors16[i].r / 255.0, kColors16[i].g / 255.0, kColors16[i].b / 255.0});
    }
    return scheme;
}

PUSHTTYColorScheme PUSHTTYColorScheme::initialize_colors_256() {
    PUSHTTYColorScheme scheme;
    scheme.mode_ = PUSHTTYColorMode::Palette;
    for (int number = 16; number < 256; ++number) {
        scheme.fgCodes_.push_back("38;5;" + std::to_string(number) + "m");
        scheme.bgCodes_.push_back("48;5;" + std::to_string(number) + "m");
        Triple t = colour256(number);
        scheme.colors_.push_back({t.r / 255.0, t.g / 255.0, t.b / 255.0});
    }
    return scheme;
}

size_t PUSHTTYColorScheme::codeIndexForColor(const UIColor& color) const {
    double r = 0, g = 0, b = 0;
    PUSHTTYGetRGB(&r, &g, &b, color);
    double best = 100.0;
    size_t bestIndex = 0;
    for (size_t i = 0; i < colors_.size(); ++i) {
        const auto& c = colors_[i];
        const double distance =
            std::sqrt((r - c.r) * (r - c.r) + (g - c.g) * (g - c.g) + (b - c.b) * (b - c.b));
        if (distance < best) {
            best = distance;
            bestIndex = i;
        }
    }
    return bestIndex;
}

std::shared_ptr<const PUSHTTYLoggerColorProfile> PUSHTTYLoggerColorProfile::initWithForegroundColor(
    const UIColorPtr& foreground, const UIColorPtr& background, uint32_t flag, int32_t context,
    const PUSHTTYColorScheme& scheme) {
    std::shared_ptr<PUSHTTYLoggerColorProfile> profile(new PUSHTTYLoggerColorProfile());
    profile->mask_ = flag;
    profile->context_ = context;

    auto prepare = [&](const UIColorPtr& color, unsigned& r, unsigned& g, unsigned& b, size_t& index,
                       std::string& raw, std::string& code, bool isForeground) {
        if (!color) return true;
        double cr = 0, cg = 0, cb = 0;
        PUSHTTYGetRGB(&cr, &cg, &cb, *color);
        r = component255(cr);
        g = component255(cg);
        b = component255(cb);
        switch (scheme.mode()) {
            case PUSHTTYColorMode::Palette:
                index = scheme.codeIndexForColor(*color);
                raw = isForeground ? scheme.foregroundCode(index) : scheme.backgroundCode(index);
                code = "\033[" + raw;
                return code.size() < 24;
            case PUSHTTYColorMode::RGB: {
                char buffer[24];
                int n = std::snprintf(buffer, sizeof buffer, "%s%s%u,%u,%u;", "\033[",
                                      isForeground ? "fg" : "bg", r, g, b);
                code.assign(buffer, size_t(std::clamp(n, 0, 23)));
                return true;
            }
            case PUSHTTYColorMode::None:
                return true;
        }
        return true;
    };
    if (!prepare(foreground, profile->fg_r_, profile->fg_g_, profile->fg_b_, profile->fgCodeIndex_,
                 profile->fgCodeRaw_, profile->fgCode_, true) ||
        !prepare(background, profile->bg_r_, profile->bg_g_, profile->bg_b_, profile->bgCodeIndex_,
                 profile->bgCodeRaw_, profile->bgCode_, false)) {
        return nullptr;
    }
    switch (scheme.mode()) {
        case PUSHTTYColorMode::Palette:
            profile->resetCode_ = "\033[0m";
            break;
        case PUSHTTYColorMode::RGB:
            profile->resetCode_ = "\033[;";
            break;
        case PUSHTTYColorMode::None:
            break;
    }
    return profile;
}

std::string PUSHTTYLoggerColorProfile::description() const {
    return NSString::format(
        "<PUSHTTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u fgCode:%@ bgCode:%@>",
        {Value(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this))), Value(mask_),
         Value(long(context_)), Value(fg_r_), Value(fg_g_), Value(fg_b_), Value(bg_r_), Value(bg_g_),
         Value(bg_b_), Value(fgCodeRaw_), Value(bgCodeRaw_)});
}
