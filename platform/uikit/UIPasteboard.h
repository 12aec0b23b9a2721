// The general pasteboard: one string that copy puts and paste takes (tests and the device set it).
#pragma once

#include <optional>
#include <string>

class UIPasteboard {
  public:
    static UIPasteboard& generalPasteboard();

    // nullopt when no string is on the pasteboard.
    std::optional<std::string> string() const { return string_; }
    void setString(std::optional<std::string> text) { string_ = std::move(text); }
    bool hasStrings() const { return string_.has_value(); }

  private:
    UIPasteboard() = default;
    std::optional<std::string> string_;
};
