#include <gtest/gtest.h>

#include <tuple>

#include "app/hud/NotReachableView.h"
#include "app/hud/THScrollViewTips.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

class ScrollTips : public UITest {};

TEST_F(ScrollTips, AStripSlidesInStaysAndGoesAboutTwoSecondsLaterAtEitherEdge) {
    // The strip, where its container sits, where the strip hides, and the edge it is pinned to.
    using Show = UIViewPtr (*)(const UIScrollViewPtr&, const std::string&);
    const std::tuple<Show, CGRect, CGRect, NSLayoutAttribute> rows[] = {
        {showHeaderTipViewWithString, CGRectMake(0, 64, 320, 44), CGRectMake(0, -44, 320, 44),
         NSLayoutAttribute::Top},
        {showFooterTipViewWithString, CGRectMake(0, 420, 320, 44), CGRectMake(0, 44, 320, 44),
         NSLayoutAttribute::Bottom}};
    for (const auto& [show, container, hidden, pinned] : rows) {
        auto host = UIView::create(CGRectMake(0, 0, 320, 568));
        auto scroll = UIScrollView::create(CGRectMake(0, 64, 320, 400));
        host->addSubview(scroll);
        auto first = show(scroll, "已是最新");
        ASSERT_TRUE(first);
        auto strip = first->subviews().at(0);
        // The sliding-in value at once; pinned to the scroll view's edge.
        EXPECT_EQ(std::tuple(first->frame(), strip->frame(), strip->subviews().at(0)->displayedText(),
                             host->constraints().at(0)->firstAttribute()),
                  std::tuple(container, CGRectMake(0, 0, 320, 44), std::string("已是最新"), pinned));
        advance(0.3);
        auto second = show(scroll, "第二条");
        advance(0.2);  // slid in; the slide out waits a second
        EXPECT_EQ(strip->frame(), hidden);
        advance(1.45);
        EXPECT_EQ(first->superview(), host);
        advance(0.1);  // 2.05 s after the first call
        EXPECT_EQ(std::pair(first->superview(), second->superview()), std::pair(UIViewPtr(), host));
        advance(0.3);
        EXPECT_EQ(second->superview(), nullptr);
    }
}

TEST_F(ScrollTips, ShowHideReplaceAndForget) {
    auto scroll = UIScrollView::create(CGRectMake(0, 0, 320, 400));
    EXPECT_EQ(showHeaderTipViewWithString(scroll, "x"), nullptr);  // no superview: nowhere to show it
    int notices = 0;
    auto token = scroll->addObserver({}, kTHProgressHudNoDataViewKey, KVOOptions::None,
                                     [&](const KVOChange&) { ++notices; });
    hideNoDataView(scroll);  // nothing stored: nothing happens

    auto empty = UIView::create(CGRectMake(0, 0, 100, 80));
    showNoDataView(scroll, empty);
    EXPECT_EQ(noDataView(*scroll), empty);
    EXPECT_EQ(empty->center(), CGPointMake(160, 200));
    hideNoDataView(scroll);
    EXPECT_EQ(empty->superview(), nullptr);
    EXPECT_EQ(noDataView(*scroll), empty);
    showNoDataView(scroll, empty);  // the stored one again: shown and recentred, no change announced
    showNoDataView(scroll, empty);
    // Centred by x and y constraints that do not pile up.
    EXPECT_EQ(std::tuple(empty->superview(), scroll->constraints().size(), notices),
              std::tuple(scroll, size_t(2), 1));

    auto other = UIView::create(CGRectMake(0, 0, 50, 50));
    showNoDataView(scroll, other);
    EXPECT_EQ(std::pair(empty->superview(), notices), std::pair(UIViewPtr(), 2));
    // The scroll view does not own it: once out of the tree and dropped, it is gone.
    std::weak_ptr<UIView> weak = other;
    other.reset();
    hideNoDataView(scroll);
    EXPECT_EQ(std::pair(weak.expired(), noDataView(*scroll)), std::pair(true, UIViewPtr()));
    scroll->removeObserver(token);
}

TEST_F(ScrollTips, ViewWithAndWithoutReload) {
    auto window = UIWindow::create(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    int reloads = 0;
    auto owner = std::make_shared<int>(0);
    for (bool button : {false, true}) {
        SCOPED_TRACE(button);
        auto view = button ? NotReachableView::create(window->bounds(), owner, [&](UIControl&) { ++reloads; })
                           : NotReachableView::create(window->bounds());
        window->addSubview(view);
        auto reload = view->reloadButton();
        ASSERT_EQ(reload != nullptr, button);
        if (!reload) continue;
        EXPECT_TRUE(UITree::tapText("重新加载"));
        EXPECT_EQ(reloads, 1);
        owner.reset();  // the target is gone: the button does nothing
        EXPECT_TRUE(UITree::tap(reload));
        EXPECT_EQ(reloads, 1);
    }
}

}  // namespace
