// The cell bookkeeping of the views that show rows or items: the cells on screen by index path, and the
// cells put aside for reuse by reuse identifier (last in, first out).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/NSIndexPath.h"

template <class Cell>
class UICellReuseQueue {
  public:
    using CellPtr = std::shared_ptr<Cell>;

    // The cells on screen; the owning view adds and removes them as it tiles.
    std::map<NSIndexPath, CellPtr> visible;

    CellPtr visibleCell(const NSIndexPath& path) const {
        auto it = visible.find(path);
        return it == visible.end() ? nullptr : it->second;
    }
    std::vector<CellPtr> visibleCells() const {
        std::vector<CellPtr> cells;
        for (auto& [path, cell] : visible) cells.push_back(cell);
        return cells;
    }
    std::vector<NSIndexPath> visiblePaths() const {
        std::vector<NSIndexPath> paths;
        for (auto& [path, cell] : visible) paths.push_back(path);
        return paths;
    }
    std::optional<NSIndexPath> pathOf(const CellPtr& cell) const {
        for (auto& [path, c] : visible) {
            if (c == cell) return path;
        }
        return std::nullopt;
    }

    // Takes `cell` off the screen and puts it aside under its reuse identifier. It stays in `visible`; the
    // caller removes the entry.
    void recycle(const CellPtr& cell) {
        cell->removeFromSuperview();
        pool_[cell->reuseIdentifier()].push_back(cell);
    }
    // The cell put aside last under `identifier`, prepared for reuse; nullptr when none is waiting.
    CellPtr dequeue(const std::string& identifier) {
        auto found = pool_.find(identifier);
        if (found == pool_.end() || found->second.empty()) return nullptr;
        auto cell = found->second.back();
        found->second.pop_back();
        cell->prepareForReuse();
        return cell;
    }

  private:
    std::map<std::string, std::vector<CellPtr>> pool_;
};
