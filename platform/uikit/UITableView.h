// Tables: sections of rows, one cell per visible row, cells reused by identifier.
//
// The table asks its data source for the numbers of sections and rows and for a cell per row, and its
// delegate for heights, header and footer views and what a selection means. It loads its data on its first
// layout (or at `reloadData`), then keeps cells only for the rows inside its bounds: rows that scroll out
// give their cells back to the reuse pool of their identifier, rows that scroll in ask the data source,
// which takes cells from the pool with `dequeueReusableCellWithIdentifier`. A reused cell keeps its
// subviews and settings (`prepareForReuse` clears only the selection and highlight). Cells and header and
// footer views are subviews of the table, in the order of their positions, beneath any other subviews.
//
// A finger on a cell highlights it; lifting it inside selects the row: the previously selected row is
// deselected (didDeselectRowAtIndexPath), the cell is selected, then didSelectRowAtIndexPath. Programmatic
// selection and deselection tell the delegate nothing. `reloadData` forgets the selection.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/NSIndexPath.h"
#include "platform/uikit/UICellReuseQueue.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScrollView.h"

class UITableView;

enum class UITableViewStyle { Plain = 0, Grouped = 1 };
enum class UITableViewCellStyle { Default = 0, Value1 = 1, Value2 = 2, Subtitle = 3 };
enum class UITableViewCellAccessoryType {
    None = 0,
    DisclosureIndicator,
    DetailDisclosureButton,
    Checkmark,
    DetailButton
};
enum class UITableViewCellSelectionStyle { None = 0, Blue = 1, Gray = 2, Default = 3 };
enum class UITableViewScrollPosition { None = 0, Top, Middle, Bottom };

inline constexpr CGFloat UITableViewDefaultRowHeight = 44;

class UITableViewCell : public UIView {
  public:
    static std::shared_ptr<UITableViewCell> create(UITableViewCellStyle style, std::string reuseIdentifier);

    UITableViewCellStyle style() const { return style_; }
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }

    // Made with the cell; app content goes here.
    std::shared_ptr<UIView> contentView();
    // Made on first use, in the content view. Only the value-1, value-2 and subtitle styles have a detail
    // label (nullptr for the default style).
    std::shared_ptr<UILabel> textLabel();
    std::shared_ptr<UILabel> detailTextLabel();

    UITableViewCellAccessoryType accessoryType() const { return accessoryType_; }
    void setAccessoryType(UITableViewCellAccessoryType type);
    // A custom accessory replaces the type's; it is a subview of the cell, at its right edge.
    std::shared_ptr<UIView> accessoryView() const { return accessoryView_; }
    void setAccessoryView(const std::shared_ptr<UIView>& view);
    UITableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
    void setSelectionStyle(UITableViewCellSelectionStyle style) { selectionStyle_ = style; }
    UIEdgeInsets separatorInset() const { return separatorInset_; }
    void setSeparatorInset(UIEdgeInsets insets) { separatorInset_ = insets; }
    UIEdgeInsets layoutMargins() const { return layoutMargins_; }
    void setLayoutMargins(UIEdgeInsets insets) { layoutMargins_ = insets; }

    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected, Animated animated = Animated::No);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted, Animated animated = Animated::No);

    // Called when the cell is taken from the reuse pool; clears selection and highlight.
    virtual void prepareForReuse();

    void setFrame(CGRect frame) override;
    void layoutSubviews() override;
    void touchesBegan(const UITouch& touch) override;
    void touchesEnded(const UITouch& touch) override;
    void touchesCancelled(const UITouch& touch) override;

  protected:
    UITableViewCell(UITableViewCellStyle style, std::string reuseIdentifier);
    std::string dumpDetails() const override;

  private:
    std::shared_ptr<UITableView> table() const;
    CGFloat accessoryWidth() const;

    UITableViewCellStyle style_;
    std::string reuseIdentifier_;
    std::shared_ptr<UIView> contentView_;
    std::shared_ptr<UILabel> textLabel_;
    std::shared_ptr<UILabel> detailTextLabel_;
    UITableViewCellAccessoryType accessoryType_ = UITableViewCellAccessoryType::None;
    std::shared_ptr<UIView> accessoryView_;
    UITableViewCellSelectionStyle selectionStyle_ = UITableViewCellSelectionStyle::Default;
    UIEdgeInsets separatorInset_{0, 15, 0, 0};
    UIEdgeInsets layoutMargins_{8, 8, 8, 8};
    bool selected_ = false;
    bool highlighted_ = false;
};

using UITableViewCellPtr = std::shared_ptr<UITableViewCell>;

class UITableViewDataSource {
  public:
    virtual ~UITableViewDataSource() = default;
    virtual long numberOfSectionsInTableView(UITableView&) { return 1; }
    virtual long numberOfRowsInSection(UITableView&, long section) = 0;
    virtual UITableViewCellPtr cellForRowAtIndexPath(UITableView&, const NSIndexPath& indexPath) = 0;
};

// Every method is optional; the defaults are what the table does without a delegate.
class UITableViewDelegate : public virtual UIScrollViewDelegate {
  public:
    virtual CGFloat heightForRowAtIndexPath(UITableView& tableView, const NSIndexPath& indexPath);
    virtual CGFloat heightForHeaderInSection(UITableView& tableView, long section);
    virtual CGFloat heightForFooterInSection(UITableView& tableView, long section);
    virtual std::shared_ptr<UIView> viewForHeaderInSection(UITableView&, long) { return nullptr; }
    virtual std::shared_ptr<UIView> viewForFooterInSection(UITableView&, long) { return nullptr; }
    virtual void didSelectRowAtIndexPath(UITableView&, const NSIndexPath&) {}
    virtual void didDeselectRowAtIndexPath(UITableView&, const NSIndexPath&) {}
};

class UITableView : public UIScrollView {
  public:
    using CellFactory = std::function<UITableViewCellPtr(const std::string& reuseIdentifier)>;

    static std::shared_ptr<UITableView> create(CGRect frame,
                                               UITableViewStyle style = UITableViewStyle::Plain);
    // A factory of plain cells of a style, for `registerClassForCellReuseIdentifier`.
    static CellFactory cellFactory(UITableViewCellStyle style = UITableViewCellStyle::Default);

    UITableViewStyle style() const { return style_; }
    std::shared_ptr<UITableViewDataSource> dataSource() const { return dataSource_.lock(); }
    void setDataSource(std::weak_ptr<UITableViewDataSource> dataSource);
    std::shared_ptr<UITableViewDelegate> delegate() const { return tableDelegate_.lock(); }
    void setDelegate(std::weak_ptr<UITableViewDelegate> delegate);

    CGFloat rowHeight() const { return rowHeight_; }
    void setRowHeight(CGFloat height);
    // Used when the delegate gives no height: 0 for a plain table, 18 for a grouped one.
    CGFloat sectionHeaderHeight() const { return sectionHeaderHeight_; }
    void setSectionHeaderHeight(CGFloat height);
    CGFloat sectionFooterHeight() const { return sectionFooterHeight_; }
    void setSectionFooterHeight(CGFloat height);
    UIEdgeInsets separatorInset() const { return separatorInset_; }
    void setSeparatorInset(UIEdgeInsets insets) { separatorInset_ = insets; }
    UIEdgeInsets layoutMargins() const { return layoutMargins_; }
    void setLayoutMargins(UIEdgeInsets insets) { layoutMargins_ = insets; }
    bool allowsSelection() const { return allowsSelection_; }
    void setAllowsSelection(bool allows) { allowsSelection_ = allows; }

    // Asks the data source and delegate again, now.
    void reloadData();
    long numberOfSections();
    long numberOfRowsInSection(long section);
    // Rectangles in the table's content coordinates (CGRectZero for a path that does not exist).
    CGRect rectForRowAtIndexPath(const NSIndexPath& indexPath);
    CGRect rectForHeaderInSection(long section);
    CGRect rectForFooterInSection(long section);

    // The cell showing a row, nullptr when the row is not visible.
    UITableViewCellPtr cellForRowAtIndexPath(const NSIndexPath& indexPath);
    std::vector<UITableViewCellPtr> visibleCells();
    std::vector<NSIndexPath> indexPathsForVisibleRows();
    std::optional<NSIndexPath> indexPathForCell(const UITableViewCellPtr& cell) const;
    std::shared_ptr<UIView> headerViewForSection(long section) const;
    std::shared_ptr<UIView> footerViewForSection(long section) const;

    void registerClassForCellReuseIdentifier(CellFactory factory, const std::string& identifier);
    // A cell from the pool, else a new one when a factory is registered for the identifier, else nullptr.
    UITableViewCellPtr dequeueReusableCellWithIdentifier(const std::string& identifier);
    // As above, but a factory must be registered (otherwise a console message and nullptr); the cell comes
    // sized for the row.
    UITableViewCellPtr dequeueReusableCellWithIdentifier(const std::string& identifier,
                                                         const NSIndexPath& indexPath);

    std::optional<NSIndexPath> indexPathForSelectedRow() const { return selected_; }
    void selectRowAtIndexPath(const NSIndexPath& indexPath, Animated animated,
                              UITableViewScrollPosition position = UITableViewScrollPosition::None);
    void deselectRowAtIndexPath(const NSIndexPath& indexPath, Animated animated);
    void scrollToRowAtIndexPath(const NSIndexPath& indexPath, UITableViewScrollPosition position,
                                Animated animated);

    void layoutSubviews() override;

  protected:
    UITableView(CGRect frame, UITableViewStyle style);
    std::string dumpDetails() const override;

  private:
    friend class UITableViewCell;
    struct Section {
        CGFloat top = 0;
        CGFloat headerHeight = 0;
        CGFloat footerHeight = 0;
        std::vector<CGFloat> rowTops;
        std::vector<CGFloat> rowHeights;
        std::shared_ptr<UIView> header, footer;
    };
    void ensureLoaded();
    void tile();
    void enqueue(const UITableViewCellPtr& cell);
    bool validPath(const NSIndexPath& indexPath) const;
    void cellTouchBegan(const UITableViewCellPtr& cell);
    void cellTouchEnded(const UITableViewCellPtr& cell, bool inside);
    void cellTouchCancelled(const UITableViewCellPtr& cell);

    UITableViewStyle style_;
    std::weak_ptr<UITableViewDataSource> dataSource_;
    std::weak_ptr<UITableViewDelegate> tableDelegate_;
    CGFloat rowHeight_ = UITableViewDefaultRowHeight;
    CGFloat sectionHeaderHeight_ = 0;
    CGFloat sectionFooterHeight_ = 0;
    UIEdgeInsets separatorInset_{0, 15, 0, 0};
    UIEdgeInsets layoutMargins_{8, 8, 8, 8};
    bool allowsSelection_ = true;

    bool loaded_ = false;
    bool tiling_ = false;
    std::vector<Section> sections_;
    UICellReuseQueue<UITableViewCell> cells_;
    std::map<std::string, CellFactory> factories_;
    std::optional<NSIndexPath> selected_;
};

using UITableViewPtr = std::shared_ptr<UITableView>;
