#include "UITestFixture.h"

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIPageControl.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"

namespace {

// A guide of full-screen pages: a page control follows the scrolling, the last page gets a start button.
class Guide : public UICollectionViewController {
  public:
    static std::shared_ptr<Guide> create(long pages) {
        auto layout = UICollectionViewFlowLayout::create();
        layout->setItemSize({375, 667});
        layout->setMinimumLineSpacing(0);
        layout->setMinimumInteritemSpacing(0);
        layout->setScrollDirection(UICollectionViewScrollDirection::Horizontal);
        auto guide = std::shared_ptr<Guide>(new Guide(layout));
        guide->pages_ = pages;
        return guide;
    }
    void viewDidLoad() override {
        collectionView()->registerClass([] { return UICollectionViewCell::create(); }, "cellID");
        collectionView()->setPagingEnabled(true);
        collectionView()->setBounces(false);
        collectionView()->setShowsHorizontalScrollIndicator(false);
        page = UIPageControl::create();
        page->setNumberOfPages(pages_);
        view()->addSubview(page);
    }
    long numberOfItemsInSection(UICollectionView&, long) override { return pages_; }
    UICollectionViewCellPtr cellForItemAtIndexPath(UICollectionView& cv, const NSIndexPath& path) override {
        auto cell = cv.dequeueReusableCellWithReuseIdentifier("cellID", path);
        configured.push_back(cell->bounds().size);
        cell->setAccessibilityLabel("page " + std::to_string(path.item()));
        if (path.item() == pages_ - 1) {
            auto start = UIButton::buttonWithType(UIButtonType::Custom);
            start->setTitle("Start", UIControlStateNormal);
            cell->addSubview(start);
        }
        return cell;
    }
    void scrollViewDidScroll(UIScrollView& sv) override {
        page->setCurrentPage(long(sv.contentOffset().x / 375));
    }
    void didSelectItemAtIndexPath(UICollectionView&, const NSIndexPath& p) override {
        selected.push_back(p.item());
    }

    std::shared_ptr<UIPageControl> page;
    std::vector<CGSize> configured;
    std::vector<long> selected;

  private:
    using UICollectionViewController::UICollectionViewController;
    long pages_ = 0;
};

class CollectionViewTest : public UITest {
  protected:
    void SetUp() override {
        window_ = UIWindow::create(CGRectMake(0, 0, 375, 667));
        guide_ = Guide::create(3);
        window_->setRootViewController(guide_);
        window_->makeKeyAndVisible();
        cv_ = guide_->collectionView();
    }
    std::vector<long> visibleItems() {
        std::vector<long> items;
        for (auto& p : cv_->indexPathsForVisibleItems()) items.push_back(p.item());
        return items;
    }
    UIWindowPtr window_;
    std::shared_ptr<Guide> guide_;
    UICollectionViewPtr cv_;
};

TEST_F(CollectionViewTest, VisibleCellsFollowTheOffsetAndPagingDrivesThePageControl) {
    ASSERT_NE(cv_, nullptr);
    EXPECT_EQ(guide_->view(), cv_);
    EXPECT_EQ(cv_->contentSize(), CGSizeZero);  // computed on the first layout
    cv_->layoutIfNeeded();
    EXPECT_EQ(cv_->contentSize(), CGSizeMake(1125, 667));
    EXPECT_EQ(visibleItems(), (std::vector<long>{0}));
    EXPECT_EQ(guide_->configured, (std::vector<CGSize>{{375, 667}}));  // sized before configuration

    // No bounce: a pull back from the first page does nothing.
    cv_->drag({100, 0});
    EXPECT_EQ(cv_->contentOffset(), CGPointZero);

    cv_->beginDragging();
    cv_->dragBy(-200, 0);
    EXPECT_EQ(visibleItems(), (std::vector<long>{0, 1}));  // half-way: two pages show
    EXPECT_EQ(guide_->page->currentPage(), 0);             // truncated, not rounded
    cv_->endDragging();
    advance(1);
    EXPECT_EQ(cv_->contentOffset(), CGPointMake(375, 0));
    EXPECT_EQ(guide_->page->currentPage(), 1);
    EXPECT_EQ(visibleItems(), (std::vector<long>{1}));

    cv_->drag({-375, 0});
    EXPECT_EQ(guide_->page->currentPage(), 2);
    EXPECT_EQ(visibleItems(), (std::vector<long>{2}));
    ASSERT_TRUE(UITree::tapText("page 2"));
    EXPECT_EQ(guide_->selected, (std::vector<long>{2}));
}

TEST_F(CollectionViewTest, CellsAreReusedAndKeepWhatEarlierConfigurationsAdded) {
    cv_->layoutIfNeeded();
    cv_->setContentOffset({375, 0});
    cv_->setContentOffset({750, 0});
    EXPECT_EQ(cv_->cellsCreated(), 1u);  // one cell travelled through all three pages
    auto last = cv_->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(2, 0));
    ASSERT_NE(last, nullptr);
    ASSERT_NE(UITree::findView("Start"), nullptr);
    cv_->setContentOffset({0, 0});
    auto first = cv_->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(0, 0));
    EXPECT_EQ(first, last);  // the same cell, back on the first page
    bool keptButton = false;
    for (auto& sub : first->subviews()) keptButton |= sub->displayedText() == "Start";
    EXPECT_TRUE(keptButton);
    EXPECT_EQ(first->contentView()->frame(), CGRectMake(0, 0, 375, 667));

    EXPECT_EQ(cv_->dequeueReusableCellWithReuseIdentifier("unknown", NSIndexPath::indexPathForItem(0, 0)),
              nullptr);
}

TEST(FlowLayout, VerticalLinesWrapAndHorizontalLinesRunDown) {
    auto layout = UICollectionViewFlowLayout::create();
    layout->setItemSize({100, 50});
    layout->setSectionInset({5, 5, 5, 5});
    auto frames = layout->frames({4, 1}, {340, 500});  // (330 + 10) / 110: three a line
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0][2], CGRectMake(225, 5, 100, 50));
    EXPECT_EQ(frames[0][3], CGRectMake(5, 65, 100, 50));
    EXPECT_EQ(frames[1][0], CGRectMake(5, 125, 100, 50));  // after 5 + 5 of insets
    EXPECT_EQ(layout->contentSize(frames, {4, 1}, {340, 500}), CGSizeMake(340, 180));

    layout->setScrollDirection(UICollectionViewScrollDirection::Horizontal);
    layout->setSectionInset(UIEdgeInsetsZero);
    frames = layout->frames({3}, {400, 120});  // two a column
    EXPECT_EQ(frames[0][1], CGRectMake(0, 60, 100, 50));
    EXPECT_EQ(frames[0][2], CGRectMake(110, 0, 100, 50));
    EXPECT_EQ(layout->contentSize(frames, {3}, {400, 120}), CGSizeMake(210, 120));
    EXPECT_TRUE(layout->frames({0}, {400, 120})[0].empty());
}

class PageControlTest : public UITest {};

TEST_F(PageControlTest, PagesClampAndTapsStepAPageWithValueChanged) {
    auto window = UIWindow::create(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    auto page = UIPageControl::create(CGRectMake(100, 600, 160, 37));
    window->addSubview(page);
    page->setNumberOfPages(3);
    page->setCurrentPage(7);
    EXPECT_EQ(page->currentPage(), 2);
    page->setCurrentPage(-1);
    EXPECT_EQ(page->currentPage(), 0);
    EXPECT_EQ(page->sizeForNumberOfPages(3), CGSizeMake(48, 37));

    int changes = 0;
    page->addAction([&](UIControl&) { ++changes; }, UIControlEventValueChanged);
    UITouch touch;
    touch.window = window;
    touch.locationInWindow = {250, 610};  // right half
    page->touchesBegan(touch);
    page->touchesEnded(touch);
    EXPECT_EQ(page->currentPage(), 1);
    touch.locationInWindow = {110, 610};  // left half
    page->touchesBegan(touch);
    page->touchesEnded(touch);
    page->touchesBegan(touch);
    page->touchesEnded(touch);  // already on the first page: no change, no event
    EXPECT_EQ(page->currentPage(), 0);
    EXPECT_EQ(changes, 2);
    page->setNumberOfPages(1);
    EXPECT_EQ(page->dumpLine(), "UIPageControl frame={{100, 600}, {160, 37}} pages=1 current=0");
}

}  // namespace
