// Collections: items placed by a layout, cells made by registered factories and reused.
//
// The flow layout places the items of each section in lines: with vertical scrolling a line runs left to
// right and lines go down; with horizontal scrolling a line runs top to bottom and lines go right. Items of
// a line are `minimumInteritemSpacing` apart and lines `minimumLineSpacing` apart, inside `sectionInset`;
// every line starts at the section's leading edge (extra space is left at the end of the line).
//
// The collection view loads its data on its first layout (or at `reloadData`) and keeps cells only for the
// items whose frames meet its bounds, computed from the content offset at each layout. A cell leaving the
// bounds goes back to the pool of its reuse identifier; `dequeueReusableCellWithReuseIdentifier` takes one
// from the pool (calling `prepareForReuse`) or makes one with the factory registered for the identifier,
// and gives it the item's frame before the data source configures it. A reused cell keeps its subviews.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/NSIndexPath.h"
#include "platform/uikit/UICellReuseQueue.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIViewController.h"

class UICollectionView;

class UICollectionViewCell : public UIView {
  public:
    static std::shared_ptr<UICollectionViewCell> create(CGRect frame = CGRectZero);

    // Fills the cell; app content goes here.
    std::shared_ptr<UIView> contentView();
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }

    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected) { selected_ = selected; }
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
    // Called when the cell is taken from the reuse pool; clears selection and highlight.
    virtual void prepareForReuse();

    void setFrame(CGRect frame) override;
    void layoutSubviews() override;
    void touchesBegan(const UITouch& touch) override;
    void touchesEnded(const UITouch& touch) override;
    void touchesCancelled(const UITouch& touch) override;

  protected:
    explicit UICollectionViewCell(CGRect frame);

  private:
    friend class UICollectionView;
    std::shared_ptr<UICollectionView> collection() const;
    std::shared_ptr<UIView> contentView_;
    std::string reuseIdentifier_;
    bool selected_ = false;
    bool highlighted_ = false;
};

using UICollectionViewCellPtr = std::shared_ptr<UICollectionViewCell>;

enum class UICollectionViewScrollDirection { Vertical = 0, Horizontal = 1 };

// Where a layout puts things. Subclasses compute frames for the items of the sections they are given.
class UICollectionViewLayout : public Object {
  public:
    // Frames of every item, by section, for these item counts within a view of `viewSize`.
    virtual std::vector<std::vector<CGRect>> frames(const std::vector<long>& itemCounts,
                                                    CGSize viewSize) const = 0;
    virtual CGSize contentSize(const std::vector<std::vector<CGRect>>& frames,
                               const std::vector<long>& itemCounts, CGSize viewSize) const = 0;

  protected:
    UICollectionViewLayout() = default;
};

using UICollectionViewLayoutPtr = std::shared_ptr<UICollectionViewLayout>;

class UICollectionViewFlowLayout : public UICollectionViewLayout {
  public:
    static std::shared_ptr<UICollectionViewFlowLayout> create();

    CGSize itemSize() const { return itemSize_; }
    void setItemSize(CGSize size) { itemSize_ = size; }
    CGFloat minimumLineSpacing() const { return lineSpacing_; }
    void setMinimumLineSpacing(CGFloat spacing) { lineSpacing_ = spacing; }
    CGFloat minimumInteritemSpacing() const { return interitemSpacing_; }
    void setMinimumInteritemSpacing(CGFloat spacing) { interitemSpacing_ = spacing; }
    UICollectionViewScrollDirection scrollDirection() const { return direction_; }
    void setScrollDirection(UICollectionViewScrollDirection direction) { direction_ = direction; }
    UIEdgeInsets sectionInset() const { return sectionInset_; }
    void setSectionInset(UIEdgeInsets insets) { sectionInset_ = insets; }

    std::vector<std::vector<CGRect>> frames(const std::vector<long>& itemCounts,
                                            CGSize viewSize) const override;
    CGSize contentSize(const std::vector<std::vector<CGRect>>& frames, const std::vector<long>& itemCounts,
                       CGSize viewSize) const override;

  private:
    UICollectionViewFlowLayout() = default;
    CGSize itemSize_{50, 50};
    CGFloat lineSpacing_ = 10;
    CGFloat interitemSpacing_ = 10;
    UICollectionViewScrollDirection direction_ = UICollectionViewScrollDirection::Vertical;
    UIEdgeInsets sectionInset_;
};

using UICollectionViewFlowLayoutPtr = std::shared_ptr<UICollectionViewFlowLayout>;

class UICollectionViewDataSource {
  public:
    virtual ~UICollectionViewDataSource() = default;
    virtual long numberOfSectionsInCollectionView(UICollectionView&) { return 1; }
    virtual long numberOfItemsInSection(UICollectionView&, long section) = 0;
    virtual UICollectionViewCellPtr cellForItemAtIndexPath(UICollectionView&,
                                                           const NSIndexPath& indexPath) = 0;
};

// Every method is optional; the scroll callbacks come from UIScrollViewDelegate.
class UICollectionViewDelegate : public virtual UIScrollViewDelegate {
  public:
    virtual void didSelectItemAtIndexPath(UICollectionView&, const NSIndexPath&) {}
};

class UICollectionView : public UIScrollView {
  public:
    using CellFactory = std::function<UICollectionViewCellPtr()>;

    static std::shared_ptr<UICollectionView> create(CGRect frame, UICollectionViewLayoutPtr layout);

    UICollectionViewLayoutPtr collectionViewLayout() const { return layout_; }
    void setCollectionViewLayout(UICollectionViewLayoutPtr layout);
    std::shared_ptr<UICollectionViewDataSource> dataSource() const { return dataSource_.lock(); }
    void setDataSource(std::weak_ptr<UICollectionViewDataSource> dataSource);
    std::shared_ptr<UICollectionViewDelegate> delegate() const { return collectionDelegate_.lock(); }
    void setDelegate(std::weak_ptr<UICollectionViewDelegate> delegate);

    void registerClass(CellFactory factory, const std::string& identifier);
    // A pooled or new cell with the item's frame; nullptr (and a console message) when no factory is
    // registered for the identifier or the factory makes nothing.
    UICollectionViewCellPtr dequeueReusableCellWithReuseIdentifier(const std::string& identifier,
                                                                   const NSIndexPath& indexPath);
    template <class Cell>
    std::shared_ptr<Cell> dequeueReusableCell(const std::string& identifier, const NSIndexPath& indexPath) {
        return std::dynamic_pointer_cast<Cell>(dequeueReusableCellWithReuseIdentifier(identifier, indexPath));
    }

    void reloadData();
    long numberOfSections();
    long numberOfItemsInSection(long section);
    // The item's frame in content coordinates; CGRectZero for a path that does not exist.
    CGRect frameForItemAtIndexPath(const NSIndexPath& indexPath);

    UICollectionViewCellPtr cellForItemAtIndexPath(const NSIndexPath& indexPath);
    std::vector<UICollectionViewCellPtr> visibleCells();
    std::vector<NSIndexPath> indexPathsForVisibleItems();
    std::optional<NSIndexPath> indexPathForCell(const UICollectionViewCellPtr& cell) const;

    // Items created with a factory so far, for tests of reuse.
    size_t cellsCreated() const { return cellsCreated_; }

    void layoutSubviews() override;

  protected:
    UICollectionView(CGRect frame, UICollectionViewLayoutPtr layout);

  private:
    friend class UICollectionViewCell;
    void ensureLoaded();
    void computeLayout();
    void tile();
    bool validPath(const NSIndexPath& indexPath) const;
    void cellTouchEnded(const UICollectionViewCellPtr& cell, bool inside);

    UICollectionViewLayoutPtr layout_;
    std::weak_ptr<UICollectionViewDataSource> dataSource_;
    std::weak_ptr<UICollectionViewDelegate> collectionDelegate_;
    bool loaded_ = false;
    bool tiling_ = false;
    std::vector<long> itemCounts_;
    std::vector<std::vector<CGRect>> frames_;
    CGSize laidOutFor_;
    UICellReuseQueue<UICollectionViewCell> cells_;
    std::map<std::string, CellFactory> factories_;
    size_t cellsCreated_ = 0;
};

using UICollectionViewPtr = std::shared_ptr<UICollectionView>;

// A controller whose view is a collection view with the controller as data source and delegate. With no
// items of its own (the defaults) it shows nothing.
class UICollectionViewController : public UIViewController,
                                   public UICollectionViewDataSource,
                                   public UICollectionViewDelegate {
  public:
    static std::shared_ptr<UICollectionViewController> create(UICollectionViewLayoutPtr layout);

    // The view, loaded on first use.
    UICollectionViewPtr collectionView();
    UICollectionViewLayoutPtr collectionViewLayout() const { return layout_; }

    void loadView() override;
    long numberOfItemsInSection(UICollectionView&, long) override { return 0; }
    UICollectionViewCellPtr cellForItemAtIndexPath(UICollectionView&, const NSIndexPath&) override {
        return nullptr;
    }

  protected:
    explicit UICollectionViewController(UICollectionViewLayoutPtr layout);

  private:
    UICollectionViewLayoutPtr layout_;
};
