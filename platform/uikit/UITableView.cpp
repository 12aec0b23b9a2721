#include "platform/uikit/UITableView.h"

#include <algorithm>

#include "platform/foundation/Console.h"

namespace {

constexpr CGFloat kCellMargin = 15;
constexpr CGFloat kAccessoryTypeWidth = 33;

const char* accessoryName(UITableViewCellAccessoryType type) {
    switch (type) {
        case UITableViewCellAccessoryType::DisclosureIndicator:
            return "disclosureIndicator";
        case UITableViewCellAccessoryType::DetailDisclosureButton:
            return "detailDisclosureButton";
        case UITableViewCellAccessoryType::Checkmark:
            return "checkmark";
        case UITableViewCellAccessoryType::DetailButton:
            return "detailButton";
        case UITableViewCellAccessoryType::None:
            break;
    }
    return "";
}

bool intersects(CGRect a, CGRect b) {
    return a.size.height > 0 && a.minY() < b.maxY() && b.minY() < a.maxY();
}

}  // namespace

// ---- the cell ----

UITableViewCell::UITableViewCell(UITableViewCellStyle style, std::string reuseIdentifier)
    : UIView(CGRectMake(0, 0, 320, UITableViewDefaultRowHeight)),
      style_(style),
      reuseIdentifier_(std::move(reuseIdentifier)),
      contentView_(UIView::create(bounds())) {
    setBackgroundColor(UIColor::whiteColor());
}

std::shared_ptr<UIView> UITableViewCell::contentView() {
    // Attached on first use: a constructor cannot hand out the cell yet.
    if (contentView_->superview().get() != this) insertSubview(contentView_, 0);
    return contentView_;
}

std::shared_ptr<UITableViewCell> UITableViewCell::create(UITableViewCellStyle style,
                                                         std::string reuseIdentifier) {
    UIAssertMainThread();
    auto cell = std::shared_ptr<UITableViewCell>(new UITableViewCell(style, std::move(reuseIdentifier)));
    cell->contentView();
    return cell;
}

std::shared_ptr<UILabel> UITableViewCell::textLabel() {
    if (!textLabel_) {
        textLabel_ = UILabel::create();
        textLabel_->setFont(UIFont::systemFontOfSize(17));
        contentView()->addSubview(textLabel_);
        setNeedsLayout();
    }
    return textLabel_;
}

std::shared_ptr<UILabel> UITableViewCell::detailTextLabel() {
    if (style_ == UITableViewCellStyle::Default) return nullptr;
    if (!detailTextLabel_) {
        detailTextLabel_ = UILabel::create();
        bool value1 = style_ == UITableViewCellStyle::Value1;
        detailTextLabel_->setFont(
            UIFont::systemFontOfSize(style_ == UITableViewCellStyle::Subtitle ? 12 : 17));
        if (value1) {
            detailTextLabel_->setTextColor(UIColor::colorWithRed(142.0 / 255, 142.0 / 255, 147.0 / 255, 1));
            detailTextLabel_->setTextAlignment(NSTextAlignment::Right);
        }
        textLabel();  // the detail label sits above the text label
        contentView()->addSubview(detailTextLabel_);
        setNeedsLayout();
    }
    return detailTextLabel_;
}

void UITableViewCell::setAccessoryType(UITableViewCellAccessoryType type) {
    accessoryType_ = type;
    setNeedsLayout();
}

void UITableViewCell::setAccessoryView(const std::shared_ptr<UIView>& view) {
    if (view == accessoryView_) return;
    if (accessoryView_ && accessoryView_->superview().get() == this) accessoryView_->removeFromSuperview();
    accessoryView_ = view;
    if (view) addSubview(view);
    setNeedsLayout();
}

void UITableViewCell::setSelected(bool selected, Animated) {
    selected_ = selected;
}
void UITableViewCell::setHighlighted(bool highlighted, Animated) {
    highlighted_ = highlighted;
}

void UITableViewCell::prepareForReuse() {
    setHighlighted(false);
    setSelected(false);
}

void UITableViewCell::setFrame(CGRect frame) {
    UIView::setFrame(frame);
    // The content view follows at once, so that code configuring a cell sees its final size.
    contentView()->setFrame(
        {CGPointZero, {std::max(0.0, frame.size.width - accessoryWidth()), frame.size.height}});
}

CGFloat UITableViewCell::accessoryWidth() const {
    if (accessoryView_) return accessoryView_->frame().size.width + kCellMargin;
    return accessoryType_ == UITableViewCellAccessoryType::None ? 0 : kAccessoryTypeWidth;
}

void UITableViewCell::layoutSubviews() {
    CGSize size = bounds().size;
    CGFloat contentWidth = std::max(0.0, size.width - accessoryWidth());
    contentView()->setFrame({CGPointZero, {contentWidth, size.height}});
    if (accessoryView_) {
        CGSize a = accessoryView_->frame().size;
        accessoryView_->setFrame(
            CGRectMake(size.width - kCellMargin - a.width, (size.height - a.height) / 2, a.width, a.height));
    }
    CGFloat inner = std::max(0.0, contentWidth - 2 * kCellMargin);
    switch (style_) {
        case UITableViewCellStyle::Default:
            if (textLabel_) textLabel_->setFrame(CGRectMake(kCellMargin, 0, inner, size.height));
            break;
        case UITableViewCellStyle::Value1: {
            CGFloat detailWidth =
                detailTextLabel_ ? std::min(inner, detailTextLabel_->sizeThatFits({}).width) : 0;
            if (detailTextLabel_) {
                detailTextLabel_->setFrame(
                    CGRectMake(contentWidth - kCellMargin - detailWidth, 0, detailWidth, size.height));
            }
            CGFloat gap = detailWidth > 0 ? 10 : 0;
            if (textLabel_)
                textLabel_->setFrame(
                    CGRectMake(kCellMargin, 0, std::max(0.0, inner - detailWidth - gap), size.height));
            break;
        }
        case UITableViewCellStyle::Value2: {
            constexpr CGFloat column = 91;
            if (textLabel_)
                textLabel_->setFrame(CGRectMake(kCellMargin, 0, column - kCellMargin, size.height));
            if (detailTextLabel_) {
                detailTextLabel_->setFrame(CGRectMake(
                    column + 6, 0, std::max(0.0, contentWidth - column - 6 - kCellMargin), size.height));
            }
            break;
        }
        case UITableViewCellStyle::Subtitle:
            if (textLabel_) textLabel_->setFrame(CGRectMake(kCellMargin, 0, inner, size.height * 0.55));
            if (detailTextLabel_) {
                detailTextLabel_->setFrame(
                    CGRectMake(kCellMargin, size.height * 0.55, inner, size.height * 0.45));
            }
            break;
    }
}

std::shared_ptr<UITableView> UITableViewCell::table() const {
    for (auto v = superview(); v; v = v->superview()) {
        if (auto t = std::dynamic_pointer_cast<UITableView>(v)) return t;
    }
    return nullptr;
}

void UITableViewCell::touchesBegan(const UITouch& touch) {
    if (auto t = table()) return t->cellTouchBegan(self<UITableViewCell>());
    UIView::touchesBegan(touch);
}

void UITableViewCell::touchesEnded(const UITouch& touch) {
    auto me = self<UITableViewCell>();
    if (auto t = table()) return t->cellTouchEnded(me, touch.isInside(me));
    UIView::touchesEnded(touch);
}

void UITableViewCell::touchesCancelled(const UITouch& touch) {
    if (auto t = table()) return t->cellTouchCancelled(self<UITableViewCell>());
    UIView::touchesCancelled(touch);
}

std::string UITableViewCell::dumpDetails() const {
    std::string details;
    if (accessoryType_ != UITableViewCellAccessoryType::None && !accessoryView_) {
        details += std::string(" accessory=") + accessoryName(accessoryType_);
    }
    if (selected_) details += " selected";
    if (highlighted_) details += " highlighted";
    return details;
}

// ---- delegate defaults ----

CGFloat UITableViewDelegate::heightForRowAtIndexPath(UITableView& tableView, const NSIndexPath&) {
    return tableView.rowHeight();
}
CGFloat UITableViewDelegate::heightForHeaderInSection(UITableView& tableView, long) {
    return tableView.sectionHeaderHeight();
}
CGFloat UITableViewDelegate::heightForFooterInSection(UITableView& tableView, long) {
    return tableView.sectionFooterHeight();
}

// ---- the table ----

UITableView::UITableView(CGRect frame, UITableViewStyle style) : UIScrollView(frame), style_(style) {
    if (style == UITableViewStyle::Grouped) {
        sectionHeaderHeight_ = 18;
        sectionFooterHeight_ = 18;
        setBackgroundColor(UIColor::colorWithRed(239.0 / 255, 239.0 / 255, 244.0 / 255, 1));
    } else {
        setBackgroundColor(UIColor::whiteColor());
    }
    setAlwaysBounceVertical(true);
}

std::shared_ptr<UITableView> UITableView::create(CGRect frame, UITableViewStyle style) {
    UIAssertMainThread();
    return std::shared_ptr<UITableView>(new UITableView(frame, style));
}

UITableView::CellFactory UITableView::cellFactory(UITableViewCellStyle style) {
    return [style](const std::string& identifier) { return UITableViewCell::create(style, identifier); };
}

void UITableView::setDataSource(std::weak_ptr<UITableViewDataSource> dataSource) {
    dataSource_ = std::move(dataSource);
    loaded_ = false;
    setNeedsLayout();
}

void UITableView::setDelegate(std::weak_ptr<UITableViewDelegate> delegate) {
    UIScrollView::setDelegate(std::weak_ptr<UIScrollViewDelegate>(delegate.lock()));
    tableDelegate_ = std::move(delegate);
    loaded_ = false;
    setNeedsLayout();
}

void UITableView::setRowHeight(CGFloat height) {
    rowHeight_ = height;
    loaded_ = false;
    setNeedsLayout();
}

void UITableView::setSectionHeaderHeight(CGFloat height) {
    sectionHeaderHeight_ = height;
    loaded_ = false;
    setNeedsLayout();
}

void UITableView::setSectionFooterHeight(CGFloat height) {
    sectionFooterHeight_ = height;
    loaded_ = false;
    setNeedsLayout();
}

void UITableView::ensureLoaded() {
    if (!loaded_ && !tiling_) reloadData();
}

void UITableView::reloadData() {
    UIAssertMainThread();
    if (tiling_) {
        NSLog("UITableView: reloadData while the table asks for cells; ignored.");
        return;
    }
    auto keepAlive = shared_from_this();
    loaded_ = true;
    selected_.reset();
    for (auto& [path, cell] : std::map(cells_.visible)) enqueue(cell);
    cells_.visible.clear();
    for (auto& s : sections_) {
        if (s.header) s.header->removeFromSuperview();
        if (s.footer) s.footer->removeFromSuperview();
    }
    sections_.clear();

    auto source = dataSource();
    auto del = delegate();
    long sectionCount = source ? std::max(0L, source->numberOfSectionsInTableView(*this)) : 0;
    CGFloat y = 0;
    for (long s = 0; s < sectionCount; ++s) {
        Section section;
        section.top = y;
        section.headerHeight =
            std::max(0.0, del ? del->heightForHeaderInSection(*this, s) : sectionHeaderHeight_);
        y += section.headerHeight;
        long rows = std::max(0L, source->numberOfRowsInSection(*this, s));
        for (long r = 0; r < rows; ++r) {
            auto path = NSIndexPath::indexPathForRow(r, s);
            CGFloat h = std::max(0.0, del ? del->heightForRowAtIndexPath(*this, path) : rowHeight_);
            section.rowTops.push_back(y);
            section.rowHeights.push_back(h);
            y += h;
        }
        section.footerHeight =
            std::max(0.0, del ? del->heightForFooterInSection(*this, s) : sectionFooterHeight_);
        y += section.footerHeight;
        if (del) {
            section.header = del->viewForHeaderInSection(*this, s);
            section.footer = del->viewForFooterInSection(*this, s);
        }
        sections_.push_back(std::move(section));
    }
    for (size_t s = 0; s < sections_.size(); ++s) {
        auto& section = sections_[s];
        CGFloat width = bounds().size.width;
        if (section.header) {
            section.header->setFrame(CGRectMake(0, section.top, width, section.headerHeight));
            insertSubview(section.header, 0);
        }
        if (section.footer) {
            CGFloat footerTop = section.top + section.headerHeight;
            for (CGFloat h : section.rowHeights) footerTop += h;
            section.footer->setFrame(CGRectMake(0, footerTop, width, section.footerHeight));
            insertSubview(section.footer, 0);
        }
    }
    setContentSize({bounds().size.width, y});
    tile();
}

long UITableView::numberOfSections() {
    ensureLoaded();
    return long(sections_.size());
}

long UITableView::numberOfRowsInSection(long section) {
    ensureLoaded();
    if (section < 0 || size_t(section) >= sections_.size()) return 0;
    return long(sections_[size_t(section)].rowHeights.size());
}

bool UITableView::validPath(const NSIndexPath& path) const {
    return path.section() >= 0 && size_t(path.section()) < sections_.size() && path.row() >= 0 &&
           size_t(path.row()) < sections_[size_t(path.section())].rowHeights.size();
}

CGRect UITableView::rectForRowAtIndexPath(const NSIndexPath& path) {
    ensureLoaded();
    if (!validPath(path)) return CGRectZero;
    auto& s = sections_[size_t(path.section())];
    return CGRectMake(0, s.rowTops[size_t(path.row())], bounds().size.width,
                      s.rowHeights[size_t(path.row())]);
}

CGRect UITableView::rectForHeaderInSection(long section) {
    ensureLoaded();
    if (section < 0 || size_t(section) >= sections_.size()) return CGRectZero;
    auto& s = sections_[size_t(section)];
    return CGRectMake(0, s.top, bounds().size.width, s.headerHeight);
}

CGRect UITableView::rectForFooterInSection(long section) {
    ensureLoaded();
    if (section < 0 || size_t(section) >= sections_.size()) return CGRectZero;
    auto& s = sections_[size_t(section)];
    CGFloat top = s.top + s.headerHeight;
    for (CGFloat h : s.rowHeights) top += h;
    return CGRectMake(0, top, bounds().size.width, s.footerHeight);
}

void UITableView::enqueue(const UITableViewCellPtr& cell) {
    // A cell without an identifier can never be asked for again, so it is not kept.
    if (cell->reuseIdentifier().empty())
        cell->removeFromSuperview();
    else
        cells_.recycle(cell);
}

void UITableView::tile() {
    if (tiling_) return;
    tiling_ = true;
    auto keepAlive = shared_from_this();
    CGRect visibleRect = bounds();
    CGFloat width = visibleRect.size.width;
    // Rows that left the view give their cells back.
    for (auto it = cells_.visible.begin(); it != cells_.visible.end();) {
        if (!validPath(it->first) || !intersects(rectForRowAtIndexPath(it->first), visibleRect)) {
            enqueue(it->second);
            it = cells_.visible.erase(it);
        } else {
            ++it;
        }
    }
    auto source = dataSource();
    for (size_t s = 0; s < sections_.size() && source; ++s) {
        for (size_t r = 0; r < sections_[s].rowHeights.size(); ++r) {
            auto path = NSIndexPath::indexPathForRow(long(r), long(s));
            CGRect rect = CGRectMake(0, sections_[s].rowTops[r], width, sections_[s].rowHeights[r]);
            if (!intersects(rect, visibleRect)) continue;
            auto found = cells_.visible.find(path);
            if (found != cells_.visible.end()) {
                found->second->setFrame(rect);
                continue;
            }
            auto cell = source->cellForRowAtIndexPath(*this, path);
            if (!cell) {
                NSLog("UITableView: the data source gave no cell for row " + path.description() +
                      "; left empty.");
                continue;
            }
            cell->setFrame(rect);
            cell->setSelected(selected_ == path);
            cells_.visible[path] = cell;
        }
    }
    // Cells, headers and footers beneath everything else, in the order of their positions.
    std::vector<std::shared_ptr<UIView>> managed;
    for (auto& [path, cell] : cells_.visible) managed.push_back(cell);
    for (auto& s : sections_) {
        if (s.header) managed.push_back(s.header);
        if (s.footer) managed.push_back(s.footer);
    }
    std::stable_sort(managed.begin(), managed.end(),
                     [](const auto& a, const auto& b) { return a->frame().minY() < b->frame().minY(); });
    for (size_t i = 0; i < managed.size(); ++i) insertSubview(managed[i], i);
    tiling_ = false;
}

void UITableView::layoutSubviews() {
    if (!loaded_) {
        reloadData();
        return;
    }
    if (contentSize().width != bounds().size.width)
        setContentSize({bounds().size.width, contentSize().height});
    tile();
}

UITableViewCellPtr UITableView::cellForRowAtIndexPath(const NSIndexPath& path) {
    layoutIfNeeded();
    return cells_.visibleCell(path);
}

std::vector<UITableViewCellPtr> UITableView::visibleCells() {
    layoutIfNeeded();
    return cells_.visibleCells();
}

std::vector<NSIndexPath> UITableView::indexPathsForVisibleRows() {
    layoutIfNeeded();
    return cells_.visiblePaths();
}

std::optional<NSIndexPath> UITableView::indexPathForCell(const UITableViewCellPtr& cell) const {
    return cells_.pathOf(cell);
}

std::shared_ptr<UIView> UITableView::headerViewForSection(long section) const {
    if (section < 0 || size_t(section) >= sections_.size()) return nullptr;
    return sections_[size_t(section)].header;
}

std::shared_ptr<UIView> UITableView::footerViewForSection(long section) const {
    if (section < 0 || size_t(section) >= sections_.size()) return nullptr;
    return sections_[size_t(section)].footer;
}

void UITableView::registerClassForCellReuseIdentifier(CellFactory factory, const std::string& identifier) {
    if (factory)
        factories_[identifier] = std::move(factory);
    else
        factories_.erase(identifier);
}

UITableViewCellPtr UITableView::dequeueReusableCellWithIdentifier(const std::string& identifier) {
    if (auto cell = cells_.dequeue(identifier)) return cell;
    auto factory = factories_.find(identifier);
    if (factory == factories_.end()) return nullptr;
    return factory->second(identifier);
}

UITableViewCellPtr UITableView::dequeueReusableCellWithIdentifier(const std::string& identifier,
                                                                  const NSIndexPath& indexPath) {
    if (!factories_.count(identifier)) {
        NSLog("UITableView: no cell class is registered for the identifier \"" + identifier + "\".");
        return nullptr;
    }
    auto cell = dequeueReusableCellWithIdentifier(identifier);
    if (cell && validPath(indexPath)) cell->setFrame(rectForRowAtIndexPath(indexPath));
    return cell;
}

void UITableView::selectRowAtIndexPath(const NSIndexPath& path, Animated animated,
                                       UITableViewScrollPosition position) {
    ensureLoaded();
    if (!validPath(path)) return;
    if (selected_ && *selected_ != path) {
        if (auto old = cells_.visible.find(*selected_); old != cells_.visible.end())
            old->second->setSelected(false, animated);
    }
    selected_ = path;
    if (position != UITableViewScrollPosition::None) scrollToRowAtIndexPath(path, position, animated);
    if (auto cell = cellForRowAtIndexPath(path)) cell->setSelected(true, animated);
}

void UITableView::deselectRowAtIndexPath(const NSIndexPath& path, Animated animated) {
    if (selected_ == path) selected_.reset();
    if (auto it = cells_.visible.find(path); it != cells_.visible.end())
        it->second->setSelected(false, animated);
}

void UITableView::scrollToRowAtIndexPath(const NSIndexPath& path, UITableViewScrollPosition position,
                                         Animated animated) {
    CGRect row = rectForRowAtIndexPath(path);
    if (row.isEmpty()) return;
    CGFloat height = bounds().size.height;
    CGFloat y = contentOffset().y;
    switch (position) {
        case UITableViewScrollPosition::Top:
            y = row.minY();
            break;
        case UITableViewScrollPosition::Middle:
            y = row.midY() - height / 2;
            break;
        case UITableViewScrollPosition::Bottom:
            y = row.maxY() - height;
            break;
        case UITableViewScrollPosition::None:
            if (row.minY() < y)
                y = row.minY();
            else if (row.maxY() > y + height)
                y = row.maxY() - height;
            break;
    }
    y = std::clamp(y, minimumContentOffset().y, maximumContentOffset().y);
    setContentOffset({contentOffset().x, y}, animated);
}

void UITableView::cellTouchBegan(const UITableViewCellPtr& cell) {
    if (!allowsSelection_ || !indexPathForCell(cell)) return;
    cell->setHighlighted(true);
}

void UITableView::cellTouchCancelled(const UITableViewCellPtr& cell) {
    cell->setHighlighted(false);
}

void UITableView::cellTouchEnded(const UITableViewCellPtr& cell, bool inside) {
    auto keepAlive = shared_from_this();
    cell->setHighlighted(false);
    auto path = indexPathForCell(cell);
    if (!allowsSelection_ || !inside || !path) return;
    auto del = delegate();
    if (selected_ && *selected_ != *path) {
        auto old = *selected_;
        deselectRowAtIndexPath(old, Animated::No);
        if (del) del->didDeselectRowAtIndexPath(*this, old);
    }
    selected_ = *path;
    cell->setSelected(true);
    if (del) del->didSelectRowAtIndexPath(*this, *path);
}

std::string UITableView::dumpDetails() const {
    return UIScrollView::dumpDetails() + (style_ == UITableViewStyle::Grouped ? " style=grouped" : "");
}
