// The first-run guide: each page's image, the page control, and the start button on the last page.
#include "app/screens/NewFeatureViewController.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"

namespace {

class GuideScreen : public WebScreenTest {
  protected:
    GuideScreen() {
        installGuideScreen();
        show(guide_ = std::dynamic_pointer_cast<NewFeatureViewController>(
                 AppScreens::makeNewFeatureViewController()));
    }
    // Scrolls to `page` and returns the cell that shows it.
    NewFeatureCellPtr showPage(long page) {
        auto collection = guide_->collectionView();
        collection->setContentOffset(CGPointMake(UIScreen::mainScreen().bounds().size.width * page, 0));
        collection->layoutIfNeeded();
        return std::dynamic_pointer_cast<NewFeatureCell>(
            collection->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(page, 0)));
    }
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
        auto cell = showPage(page);
        ASSERT_TRUE(cell && cell->image());
        EXPECT_EQ(std::pair(cell->image()->name(), bool(cell->startButton())),
                  std::pair("main.bundle/Guide" + std::to_string(page + 1) + ".jpg", page == 2));
        for (auto& visible : guide_->collectionView()->visibleCells())
            EXPECT_EQ(buttonsIn(visible),
                      guide_->collectionView()->indexPathForCell(visible)->item() == 2 ? 1u : 0u);
        reusedLastPageCell |= page != 2 && cell == lastPageCell;
        if (page == 2) lastPageCell = cell;
    }
    EXPECT_TRUE(reusedLastPageCell) << "the walk never reused the last page's cell for another page";
    // The page control counts whole page widths only.
    for (auto [pages, current] : {std::pair(0.99, 0L), std::pair(1.999, 1L), std::pair(2.0, 2L)}) {
        guide_->collectionView()->setContentOffset(
            CGPointMake(UIScreen::mainScreen().bounds().size.width * pages, 0));
        EXPECT_EQ(guide_->page()->currentPage(), current) << pages;
    }
}

TEST_F(GuideScreen, StartOnTouchDownOpensTheMainScreenOnlyWithAStoredToken) {
    auto signIn = UIViewController::create();
    AppScreens::registerMaker(AppScreens::Screen::Login, [&] { return signIn; });
    for (const auto& token :
         {std::optional<Value>(), std::optional(Value("")), std::optional(Value("tok-1"))}) {
        AppSandbox::clearDefaults();
        if (token) SaveService::setObject(*token, kSaveServiceAccessTokenKey);
        window_->setRootViewController(guide_ = NewFeatureViewController::create());
        auto button = showPage(2)->startButton();
        // The finger lands on the button through the window and has not lifted yet.
        ASSERT_EQ(UIApplication::sharedApplication()->hitTest(button->center()), button);
        std::weak_ptr<NewFeatureViewController> weakGuide = guide_;
        guide_.reset();
        UITouch touch{.view = button, .window = window_, .locationInWindow = button->center()};
        button->touchesBegan(touch);
        auto root = window_->rootViewController();
        auto navigation = std::dynamic_pointer_cast<BaseNavViewController>(root);
        EXPECT_TRUE(token && token->stringValue() != ""
                        ? navigation &&
                              std::dynamic_pointer_cast<MainViewController>(navigation->topViewController())
                        : root == signIn)
            << (token ? token->description() : "nothing stored");
        EXPECT_TRUE(weakGuide.expired());
        button->touchesEnded(touch);
        EXPECT_EQ(window_->rootViewController(), root);
    }
}

}  // namespace
