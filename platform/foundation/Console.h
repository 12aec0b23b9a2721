// The developer console (NSLog): one line to standard error with a time stamp and the process name,
// "2026-12-06 21:15:36.123 Quorvane[1234:5678] text"; line breaks in the text (and the indentation after
// them) become single spaces. Tests capture it, texts as they were logged.
#pragma once

#include <functional>
#include <string>
#include <vector>

void NSLog(const std::string& text);

namespace Console {
// Replaces the sink for the lifetime of the returned guard; lines go to `sink` instead of standard error.
class Capture {
  public:
    Capture();
    ~Capture();
    std::vector<std::string> lines() const;  // the texts logged (without time stamp and process name)
    bool contains(const std::string& fragment) const;

  private:
    struct State;
    State* state_;
};
}  // namespace Console
