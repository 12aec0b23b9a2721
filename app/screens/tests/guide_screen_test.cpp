// The first-run guide: its pages, the page control, and the start button on the last page.
#include "app/screens/NewFeatureViewController.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"

namespace {

class GuideScreen : public WebScreenTest {
  protected:
    GuideScreen() {
        installGuideScreen();
        guide_ =
            std::dynamic_pointer_cast<NewFeatureViewController>(AppScreens::makeNewFeatureViewController());
        window_ = UIWindow::create(UIScreen::mainScreen().bounds());
        window_->setRootViewController(guide_);
        window_->makeKeyAndVisible();
    }
    ~GuideScreen() override {
        guide_.reset();
        AppScreens::registerMaker(AppScreens::Screen::NewFeature, nullptr);
        AppScreens::registerMaker(AppScreens::Screen::Login, nullptr);
    }

    // Scrolls to `page` and returns the cell that shows it.
    NewFeatureCellPtr showPage(long page) {
        auto collection = guide_->collectionView();
        collection->setContentOffset(CGPointMake(width() * CGFloat(page), 0));
        collection->layoutIfNeeded();
        return std::dynamic_pointer_cast<NewFeatureCell>(
            collection->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(page, 0)));
    }
    static CGFloat width() { return UIScreen::mainScreen().bounds().size.width; }
    static size_t buttonsIn(const UIViewPtr& view) {
        size_t n = 0;
        for (auto& sub : view->subviews())
            n += bool(std::dynamic_pointer_cast<UIButton>(sub)) + buttonsIn(sub);
        return n;
    }

    NewFeatureViewControllerPtr guide_;
};

TEST_F(GuideScreen, EachPageShowsItsImageAndOnlyTheLastHasTheStartButtonEvenAfterReuse) {
    ASSERT_TRUE(guide_);
    NewFeatureCellPtr lastPageCell;
    bool reusedLastPageCell = false;
    // There and back twice: cells that showed the last page come back for the others.
    for (long page : {0L, 1L, 2L, 1L, 0L, 2L, 0L, 1L}) {
        SCOPED_TRACE("page " + std::to_string(page));
        auto cell = showPage(page);
        ASSERT_TRUE(cell);
        ASSERT_TRUE(cell->image());
        EXPECT_EQ(cell->image()->name(), "main.bundle/Guide" + std::to_string(page + 1) + ".jpg");
        for (auto& visible : guide_->collectionView()->visibleCells()) {
            auto path = guide_->collectionView()->indexPathForCell(visible);
            ASSERT_TRUE(path);
            EXPECT_EQ(buttonsIn(visible), path->item() == 2 ? 1u : 0u) << path->description();
        }
        if (page == 2) {
            auto button = cell->startButton();
            ASSERT_TRUE(button);
            lastPageCell = cell;
        } else {
            EXPECT_FALSE(cell->startButton());
            reusedLastPageCell |= cell == lastPageCell;
        }
    }
    EXPECT_TRUE(reusedLastPageCell) << "the walk never reused the last page's cell for another page";
}

TEST_F(GuideScreen, PageControlCountsWholePageWidthsOnly) {
    auto page = guide_->page();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->numberOfPages(), 3);
    // Content offset in page widths, and the page shown.
    const struct { double pages; long current; } cases[] = {{0.99, 0}, {1, 1}, {1.999, 1}, {2, 2}, {0.4, 0}};
    for (const auto& c : cases) {
        guide_->collectionView()->setContentOffset(CGPointMake(width() * c.pages, 0));
        EXPECT_EQ(page->currentPage(), c.current) << c.pages;
    }
}

TEST_F(GuideScreen, StartOnTouchDownOpensTheMainScreenOnlyWithAStoredToken) {
    auto signIn = UIViewController::create();
    AppScreens::registerMaker(AppScreens::Screen::Login, [&] { return signIn; });
    const struct { const char* name; std::optional<Value> token; bool main; } cases[] = {
        {"nothing stored", std::nullopt, false},
        {"signed out", Value(""), false},
        {"signed in", Value("tok-1"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppSandbox::clearDefaults();
        if (c.token) SaveService::setObject(*c.token, kSaveServiceAccessTokenKey);
        guide_ = NewFeatureViewController::create();
        window_->setRootViewController(guide_);
        auto cell = showPage(2);
        ASSERT_TRUE(cell);
        auto button = cell->startButton();
        ASSERT_TRUE(button);
        // The finger lands on the button through the window and has not lifted yet.
        const CGPoint centre = button->center();
        auto hit = UIApplication::sharedApplication()->hitTest(centre);
        ASSERT_EQ(hit, button);
        std::weak_ptr<NewFeatureViewController> weakGuide = guide_;
        guide_.reset();
        cell.reset();
        UITouch touch;
        touch.view = button;
        touch.window = window_;
        touch.locationInWindow = centre;
        button->touchesBegan(touch);

        auto root = window_->rootViewController();
        if (c.main) {
            auto navigation = std::dynamic_pointer_cast<BaseNavViewController>(root);
            ASSERT_TRUE(navigation);
            EXPECT_TRUE(std::dynamic_pointer_cast<MainViewController>(navigation->topViewController()));
        } else {
            EXPECT_EQ(root, signIn);
        }
        EXPECT_TRUE(weakGuide.expired());
        button->touchesEnded(touch);
        EXPECT_EQ(window_->rootViewController(), root);
    }
}

}  // namespace
