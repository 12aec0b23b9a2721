// A position in a sectioned list: a section and a row (tables) or item (collections), which are the same.
#pragma once

#include <compare>
#include <string>

class NSIndexPath {
  public:
    NSIndexPath() = default;
    static NSIndexPath indexPathForRow(long row, long section) { return NSIndexPath(section, row); }
    static NSIndexPath indexPathForItem(long item, long section) { return NSIndexPath(section, item); }

    long section() const { return section_; }
    long row() const { return row_; }
    long item() const { return row_; }

    // Section first, then row.
    auto operator<=>(const NSIndexPath&) const = default;
    // "{section, row}"
    std::string description() const {
        return "{" + std::to_string(section_) + ", " + std::to_string(row_) + "}";
    }

  private:
    NSIndexPath(long section, long row) : section_(section), row_(row) {}
    long section_ = 0;
    long row_ = 0;
};
