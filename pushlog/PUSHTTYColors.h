// Terminal colours of the console logger: the colour mode, the palettes and the prepared colour profiles.
//
// The mode comes from the environment: "ConsoleColors" equal to "YES" gives RGB escapes
// ("ESC[fgR,G,B;"); otherwise a "TERM" containing "color" (any case) gives the 16-entry palette, or the
// 240-entry one (numbers 16 to 255) when it also contains "256"; otherwise no escapes at all.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/UIColor.h"

enum class PUSHTTYColorMode { None, Palette, RGB };

class PUSHTTYColorScheme {
  public:
    // Unset variables are passed as "".
    static PUSHTTYColorScheme fromEnvironment(const std::string& consoleColors, const std::string& term);
    static PUSHTTYColorScheme none() { return PUSHTTYColorScheme(); }
    static PUSHTTYColorScheme rgb();
    static PUSHTTYColorScheme initialize_colors_16();
    static PUSHTTYColorScheme initialize_colors_256();

    PUSHTTYColorMode mode() const { return mode_; }
    size_t paletteSize() const { return colors_.size(); }
    const std::string& foregroundCode(size_t index) const { return fgCodes_[index]; }
    const std::string& backgroundCode(size_t index) const { return bgCodes_[index]; }
    // The palette entry nearest to `color` (the first of equally near ones); 0 for an empty palette.
    size_t codeIndexForColor(const UIColor& color) const;

  private:
    struct RGB {
        double r, g, b;
    };
    PUSHTTYColorMode mode_ = PUSHTTYColorMode::None;
    std::vector<std::string> fgCodes_;
    std::vector<std::string> bgCodes_;
    std::vector<RGB> colors_;
};

// Red, green and blue of `color`, 0 to 1; each destination may be null.
bool PUSHTTYGetRGB(double* red, double* green, double* blue, const UIColor& color);

inline constexpr int32_t PUSHTTYAnyContext = 0x7FFFFFFF;

// One colour choice with its escape texts prepared once. Never changed after it is built.
class PUSHTTYLoggerColorProfile {
  public:
    // Null when an escape text does not fit (the fixed palettes never cause that).
    static std::shared_ptr<const PUSHTTYLoggerColorProfile> initWithForegroundColor(
        const UIColorPtr& foreground, const UIColorPtr& background, uint32_t flag, int32_t context,
        const PUSHTTYColorScheme& scheme);

    uint32_t mask() const { return mask_; }
    int32_t context() const { return context_; }
    const std::string& fgCode() const { return fgCode_; }
    const std::string& bgCode() const { return bgCode_; }
    const std::string& resetCode() const { return resetCode_; }
    size_t fgCodeIndex() const { return fgCodeIndex_; }
    size_t bgCodeIndex() const { return bgCodeIndex_; }
    std::string description() const;

  private:
    PUSHTTYLoggerColorProfile() = default;
    uint32_t mask_ = 0;
    int32_t context_ = 0;
    unsigned fg_r_ = 0, fg_g_ = 0, fg_b_ = 0;
    unsigned bg_r_ = 0, bg_g_ = 0, bg_b_ = 0;
    size_t fgCodeIndex_ = 0, bgCodeIndex_ = 0;
    std::string fgCodeRaw_, bgCodeRaw_;
    std::string fgCode_, bgCode_, resetCode_;
};
using PUSHTTYColorProfilePtr = std::shared_ptr<const PUSHTTYLoggerColorProfile>;
