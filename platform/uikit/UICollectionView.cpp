#include "platform/uikit/UICollectionView.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Console.h"
#include "platform/uikit/UIScreen.h"

namespace {

bool meets(CGRect a, CGRect b) {
    return !a.isEmpty() && a.minX() < b.maxX() && b.minX() < a.maxX() && a.minY() < b.maxY() &&
           b.minY() < a.maxY();
}

}  // namespace

// ---- the cell ----

UICollectionViewCell::UICollectionViewCell(CGRect frame)
    : UIView(frame), contentView_(UIView::create({CGPointZero, frame.size})) {}

std::shared_ptr<UICollectionViewCell> UICollectionViewCell::create(CGRect frame) {
    UIAssertMainThread();
    auto cell = std::shared_ptr<UICollectionViewCell>(new UICollectionViewCell(frame));
    cell->contentView();
    return cell;
}

std::shared_ptr<UIView> UICollectionViewCell::contentView() {
    // Attached on first use: a constructor cannot hand out the cell yet.
    if (contentView_->superview().get() != this) insertSubview(contentView_, 0);
    return contentView_;
}

void UICollectionViewCell::prepareForReuse() {
    setHighlighted(false);
    setSelected(false);
}

void UICollectionViewCell::setFrame(CGRect frame) {
    UIView::setFrame(frame);
    contentView()->setFrame({CGPointZero, frame.size});  // at once, for code that configures the cell
}

void UICollectionViewCell::layoutSubviews() {
    contentView()->setFrame(bounds());
}

std::shared_ptr<UICollectionView> UICollectionViewCell::collection() const {
    for (auto v = superview(); v; v = v->superview()) {
        if (auto c = std::dynamic_pointer_cast<UICollectionView>(v)) return c;
    }
    return nullptr;
}

void UICollectionViewCell::touchesBegan(const UITouch& touch) {
    if (collection()) return setHighlighted(true);
    UIView::touchesBegan(touch);
}

void UICollectionViewCell::touchesEnded(const UITouch& touch) {
    auto me = self<UICollectionViewCell>();
    if (auto c = collection()) return c->cellTouchEnded(me, touch.isInside(me));
    UIView::touchesEnded(touch);
}

void UICollectionViewCell::touchesCancelled(const UITouch& touch) {
    if (collection()) return setHighlighted(false);
    UIView::touchesCancelled(touch);
}

// ---- the flow layout ----

std::shared_ptr<UICollectionViewFlowLayout> UICollectionViewFlowLayout::create() {
    return std::shared_ptr<UICollectionViewFlowLayout>(new UICollectionViewFlowLayout());
}

std::vector<std::vector<CGRect>> UICollectionViewFlowLayout::frames(const std::vector<long>& itemCounts,
                                                                    CGSize viewSize) const {
    bool vertical = direction_ == UICollectionViewScrollDirection::Vertical;
    // Work in (along the line, across lines) terms; a vertical layout's lines run along x.
    CGFloat itemAlong = vertical ? itemSize_.width : itemSize_.height;
    CGFloat itemAcross = vertical ? itemSize_.height : itemSize_.width;
    CGFloat insetStartAlong = vertical ? sectionInset_.left : sectionInset_.top;
    CGFloat insetEndAlong = vertical ? sectionInset_.right : sectionInset_.bottom;
    CGFloat insetStartAcross = vertical ? sectionInset_.top : sectionInset_.left;
    CGFloat insetEndAcross = vertical ? sectionInset_.bottom : sectionInset_.right;
    CGFloat lineLength = (vertical ? viewSize.width : viewSize.height) - insetStartAlong - insetEndAlong;
    long perLine = 1;
    if (itemAlong + interitemSpacing_ > 0) {
        perLine = std::max(
            1L, long(std::floor((lineLength + interitemSpacing_) / (itemAlong + interitemSpacing_))));
    }

    std::vector<std::vector<CGRect>> result;
    CGFloat across = 0;
    for (long count : itemCounts) {
        std::vector<CGRect> section;
        across += insetStartAcross;
        long lines = count > 0 ? (count + perLine - 1) / perLine : 0;
        for (long i = 0; i < count; ++i) {
            long line = i / perLine, slot = i % perLine;
            CGFloat a = insetStartAlong + CGFloat(slot) * (itemAlong + interitemSpacing_);
            CGFloat c = across + CGFloat(line) * (itemAcross + lineSpacing_);
            section.push_back(vertical ? CGRectMake(a, c, itemSize_.width, itemSize_.height)
                                       : CGRectMake(c, a, itemSize_.width, itemSize_.height));
        }
        if (lines > 0) across += CGFloat(lines) * itemAcross + CGFloat(lines - 1) * lineSpacing_;
        across += insetEndAcross;
        result.push_back(std::move(section));
    }
    return result;
}

CGSize UICollectionViewFlowLayout::contentSize(const std::vector<std::vector<CGRect>>& frames,
                                               const std::vector<long>&, CGSize viewSize) const {
    bool vertical = direction_ == UICollectionViewScrollDirection::Vertical;
    CGFloat extent = 0;
    for (auto& section : frames) {
        for (auto& f : section) extent = std::max(extent, vertical ? f.maxY() : f.maxX());
    }
    extent += vertical ? sectionInset_.bottom : sectionInset_.right;
    return vertical ? CGSize{viewSize.width, extent} : CGSize{extent, viewSize.height};
}

// ---- the collection view ----

UICollectionView::UICollectionView(CGRect frame, UICollectionViewLayoutPtr layout)
    : UIScrollView(frame), layout_(std::move(layout)) {
    setBackgroundColor(UIColor::blackColor());
}

std::shared_ptr<UICollectionView> UICollectionView::create(CGRect frame, UICollectionViewLayoutPtr layout) {
    UIAssertMainThread();
    if (!layout) {
        NSLog("UICollectionView: made without a layout; using a flow layout.");
        layout = UICollectionViewFlowLayout::create();
    }
    return std::shared_ptr<UICollectionView>(new UICollectionView(frame, std::move(layout)));
}

void UICollectionView::setCollectionViewLayout(UICollectionViewLayoutPtr layout) {
    if (!layout) return;
    layout_ = std::move(layout);
    loaded_ = false;
    setNeedsLayout();
}

void UICollectionView::setDataSource(std::weak_ptr<UICollectionViewDataSource> dataSource) {
    dataSource_ = std::move(dataSource);
    loaded_ = false;
    setNeedsLayout();
}

void UICollectionView::setDelegate(std::weak_ptr<UICollectionViewDelegate> delegate) {
    UIScrollView::setDelegate(std::weak_ptr<UIScrollViewDelegate>(delegate.lock()));
    collectionDelegate_ = std::move(delegate);
}

void UICollectionView::registerClass(CellFactory factory, const std::string& identifier) {
    if (factory)
        factories_[identifier] = std::move(factory);
    else
        factories_.erase(identifier);
}

UICollectionViewCellPtr UICollectionView::dequeueReusableCellWithReuseIdentifier(
    const std::string& identifier, const NSIndexPath& indexPath) {
    auto cell = cells_.dequeue(identifier);
    if (!cell) {
        auto factory = factories_.find(identifier);
        if (factory == factories_.end()) {
            NSLog("UICollectionView: no cell class is registered for the identifier \"" + identifier + "\".");
            return nullptr;
        }
        cell = factory->second();
        if (!cell) {
            NSLog("UICollectionView: the cell factory for \"" + identifier + "\" made no cell.");
            return nullptr;
        }
        ++cellsCreated_;
        cell->reuseIdentifier_ = identifier;
    }
    ensureLoaded();
    if (validPath(indexPath)) cell->setFrame(frameForItemAtIndexPath(indexPath));
    return cell;
}

void UICollectionView::ensureLoaded() {
    if (!loaded_ && !tiling_) reloadData();
}

void UICollectionView::computeLayout() {
    auto source = dataSource();
    itemCounts_.clear();
    long sections = source ? std::max(0L, source->numberOfSectionsInCollectionView(*this)) : 0;
    for (long s = 0; s < sections; ++s)
        itemCounts_.push_back(std::max(0L, source->numberOfItemsInSection(*this, s)));
    laidOutFor_ = bounds().size;
    frames_ = layout_->frames(itemCounts_, laidOutFor_);
    setContentSize(layout_->contentSize(frames_, itemCounts_, laidOutFor_));
}

void UICollectionView::reloadData() {
    UIAssertMainThread();
    if (tiling_) {
        NSLog("UICollectionView: reloadData while the view asks for cells; ignored.");
        return;
    }
    auto keepAlive = shared_from_this();
    loaded_ = true;
    for (auto& [path, cell] : cells_.visible) cells_.recycle(cell);
    cells_.visible.clear();
    computeLayout();
    tile();
}

long UICollectionView::numberOfSections() {
    ensureLoaded();
    return long(itemCounts_.size());
}

long UICollectionView::numberOfItemsInSection(long section) {
    ensureLoaded();
    return section >= 0 && size_t(section) < itemCounts_.size() ? itemCounts_[size_t(section)] : 0;
}

bool UICollectionView::validPath(const NSIndexPath& path) const {
    return path.section() >= 0 && size_t(path.section()) < frames_.size() && path.item() >= 0 &&
           size_t(path.item()) < frames_[size_t(path.section())].size();
}

CGRect UICollectionView::frameForItemAtIndexPath(const NSIndexPath& path) {
    if (!validPath(path)) return CGRectZero;
    return frames_[size_t(path.section())][size_t(path.item())];
}

void UICollectionView::tile() {
    if (tiling_) return;
    tiling_ = true;
    auto keepAlive = shared_from_this();
    CGRect visibleRect = bounds();
    for (auto it = cells_.visible.begin(); it != cells_.visible.end();) {
        if (!validPath(it->first) || !meets(frameForItemAtIndexPath(it->first), visibleRect)) {
            cells_.recycle(it->second);
            it = cells_.visible.erase(it);
        } else {
            ++it;
        }
    }
    auto source = dataSource();
    for (size_t s = 0; s < frames_.size() && source; ++s) {
        for (size_t i = 0; i < frames_[s].size(); ++i) {
            CGRect frame = frames_[s][i];
            if (!meets(frame, visibleRect)) continue;
            auto path = NSIndexPath::indexPathForItem(long(i), long(s));
            if (auto found = cells_.visible.find(path); found != cells_.visible.end()) {
                found->second->setFrame(frame);
                continue;
            }
            auto cell = source->cellForItemAtIndexPath(*this, path);
            if (!cell) {
                NSLog("UICollectionView: the data source gave no cell for item " + path.description() +
                      "; left empty.");
                continue;
            }
            cell->setFrame(frame);
            cells_.visible[path] = cell;
        }
    }
    // Cells beneath everything else, in item order.
    size_t index = 0;
    for (auto& [path, cell] : cells_.visible) insertSubview(cell, index++);
    tiling_ = false;
}

void UICollectionView::layoutSubviews() {
    if (!loaded_) {
        reloadData();
        return;
    }
    if (bounds().size != laidOutFor_) computeLayout();
    tile();
}

UICollectionViewCellPtr UICollectionView::cellForItemAtIndexPath(const NSIndexPath& path) {
    layoutIfNeeded();
    return cells_.visibleCell(path);
}

std::vector<UICollectionViewCellPtr> UICollectionView::visibleCells() {
    layoutIfNeeded();
    return cells_.visibleCells();
}

std::vector<NSIndexPath> UICollectionView::indexPathsForVisibleItems() {
    layoutIfNeeded();
    return cells_.visiblePaths();
}

std::optional<NSIndexPath> UICollectionView::indexPathForCell(const UICollectionViewCellPtr& cell) const {
    return cells_.pathOf(cell);
}

void UICollectionView::cellTouchEnded(const UICollectionViewCellPtr& cell, bool inside) {
    auto keepAlive = shared_from_this();
    cell->setHighlighted(false);
    auto path = indexPathForCell(cell);
    if (!inside || !path) return;
    for (auto& [p, c] : cells_.visible) c->setSelected(c == cell);
    if (auto d = delegate()) d->didSelectItemAtIndexPath(*this, *path);
}

// ---- the controller ----

UICollectionViewController::UICollectionViewController(UICollectionViewLayoutPtr layout)
    : layout_(layout ? std::move(layout) : UICollectionViewFlowLayout::create()) {}

std::shared_ptr<UICollectionViewController> UICollectionViewController::create(
    UICollectionViewLayoutPtr layout) {
    UIAssertMainThread();
    return std::shared_ptr<UICollectionViewController>(new UICollectionViewController(std::move(layout)));
}

void UICollectionViewController::loadView() {
    auto collection = UICollectionView::create(UIScreen::mainScreen().bounds(), layout_);
    auto me = std::static_pointer_cast<UICollectionViewController>(shared_from_this());
    collection->setDataSource(std::weak_ptr<UICollectionViewDataSource>(me));
    collection->setDelegate(std::weak_ptr<UICollectionViewDelegate>(me));
    setView(collection);
}

UICollectionViewPtr UICollectionViewController::collectionView() {
    return std::dynamic_pointer_cast<UICollectionView>(view());
}
