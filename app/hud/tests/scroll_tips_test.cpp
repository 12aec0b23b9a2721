#include <gtest/gtest.h>

#include "app/hud/NotReachableView.h"
#include "app/hud/THScrollViewTips.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIWindow.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

struct StripCase {
    const char* name;
    UIViewPtr (*show)(const UIScrollViewPtr&, const std::string&);
    CGRect container, hidden;
    NSLayoutAttribute pinned;
};
void PrintTo(const StripCase& c, std::ostream* os) { *os << c.name; }

class ScrollTipStrip : public UITest, public ::testing::WithParamInterface<StripCase> {
  protected:
    ScrollTipStrip() { host_->addSubview(scroll_); }
    UIViewPtr host_ = UIView::create(CGRectMake(0, 0, 320, 568));
    UIScrollViewPtr scroll_ = UIScrollView::create(CGRectMake(0, 64, 320, 400));
};

TEST_P(ScrollTipStrip, SlidesInStaysAndGoesAboutTwoSecondsLater) {
    const auto& c = GetParam();
    auto first = c.show(scroll_, "已是最新");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->frame(), c.container);
    EXPECT_TRUE(first->clipsToBounds());
    auto strip = first->subviews().at(0);
    EXPECT_EQ(strip->frame(), CGRectMake(0, 0, 320, 44));  // the sliding-in value, at once
    EXPECT_EQ(strip->subviews().at(0)->displayedText(), "已是最新");
    // Pinned to the scroll view's edge, left and right; its height is its own.
    ASSERT_EQ(host_->constraints().size(), 3u);
    EXPECT_EQ(host_->constraints()[0]->firstAttribute(), c.pinned);
    EXPECT_EQ(host_->constraints()[2]->secondItem(), scroll_);

    advance(0.3);
    auto second = c.show(scroll_, "第二条");
    advance(0.2);  // slid in; the slide out waits a second
    EXPECT_EQ(strip->frame(), c.hidden);
    advance(1.45);
    EXPECT_EQ(first->superview(), host_);
    advance(0.1);  // 2.05 s after the first call
    EXPECT_EQ(first->superview(), nullptr);
    EXPECT_EQ(second->superview(), host_);
    advance(0.3);
    EXPECT_EQ(second->superview(), nullptr);
}

const StripCase kStrips[] = {
    {"header", showHeaderTipViewWithString, CGRectMake(0, 64, 320, 44), CGRectMake(0, -44, 320, 44),
     NSLayoutAttribute::Top},
    {"footer", showFooterTipViewWithString, CGRectMake(0, 420, 320, 44), CGRectMake(0, 44, 320, 44),
     NSLayoutAttribute::Bottom},
};
INSTANTIATE_TEST_SUITE_P(Edges, ScrollTipStrip, ::testing::ValuesIn(kStrips));

class ScrollNoDataView : public UITest {};

TEST_F(ScrollNoDataView, ShowHideReplaceAndForget) {
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
    EXPECT_EQ(empty->superview(), scroll);
    EXPECT_EQ(scroll->constraints().size(), 2u);  // centre x and y, not piled up
    EXPECT_EQ(notices, 1);

    auto other = UIView::create(CGRectMake(0, 0, 50, 50));
    showNoDataView(scroll, other);
    EXPECT_EQ(empty->superview(), nullptr);
    EXPECT_EQ(notices, 2);
    // The scroll view does not own it: once out of the tree and dropped, it is gone.
    std::weak_ptr<UIView> weak = other;
    other.reset();
    hideNoDataView(scroll);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(noDataView(*scroll), nullptr);
    scroll->removeObserver(token);
}

class NotReachable : public UITest {};

TEST_F(NotReachable, ViewWithAndWithoutReload) {
    auto window = UIWindow::create(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    int reloads = 0;
    auto owner = std::make_shared<int>(0);
    for (bool button : {false, true}) {
        SCOPED_TRACE(button);
        auto view = button ? NotReachableView::create(window->bounds(), owner, [&](UIControl&) { ++reloads; })
                           : NotReachableView::create(window->bounds());
        window->addSubview(view);
        ASSERT_TRUE(view->imageView()->image());
        auto big = view->bigLabel(), small = view->smallLabel();
        EXPECT_EQ(big->text(), "连接失败");
        EXPECT_EQ(small->text(), "请检查您的手机是否联网");

        auto reload = view->reloadButton();
        ASSERT_EQ(reload != nullptr, button);
        if (!reload) continue;
        EXPECT_EQ(reload->frame().minY(), small->frame().maxY() + 15);
        EXPECT_TRUE(UITree::tapText("重新加载"));
        EXPECT_EQ(reloads, 1);
        owner.reset();  // the target is gone: the button does nothing
        EXPECT_TRUE(UITree::tap(reload));
        EXPECT_EQ(reloads, 1);
    }
}

}  // namespace
