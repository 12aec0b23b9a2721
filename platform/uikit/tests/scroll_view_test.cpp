#include "UITestFixture.h"

#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIWindow.h"

namespace {

struct ScrollRecorder : UIScrollViewDelegate {
    CallLog log;
    void scrollViewDidScroll(UIScrollView& v) override {
        log("scroll " + NSStringFromCGPoint(v.contentOffset()));
    }
    void scrollViewWillBeginDragging(UIScrollView&) override { log("willBeginDragging"); }
    void scrollViewDidEndDragging(UIScrollView& v, bool decelerate) override {
        log(std::string("didEndDragging ") + (decelerate ? "decelerate" : "stop") +
            (v.isDragging() ? " dragging" : ""));
    }
    void scrollViewWillBeginDecelerating(UIScrollView&) override { log("willBeginDecelerating"); }
    void scrollViewDidEndDecelerating(UIScrollView& v) override {
        log("didEndDecelerating " + NSStringFromCGPoint(v.contentOffset()));
    }
    void scrollViewDidEndScrollingAnimation(UIScrollView& v) override {
        log("didEndScrollingAnimation " + NSStringFromCGPoint(v.contentOffset()));
    }
};

class ScrollViewTest : public UITest {
  protected:
    void SetUp() override {
        window_ = UIWindow::create(CGRectMake(0, 0, 375, 667));
        scroll_ = UIScrollView::create(CGRectMake(0, 0, 375, 600));
        scroll_->setContentSize({375, 1200});
        window_->addSubview(scroll_);
        window_->makeKeyAndVisible();
        delegate_ = std::make_shared<ScrollRecorder>();
        scroll_->setDelegate(delegate_);
    }
    std::vector<std::string> scrolls() {
        std::vector<std::string> out;
        for (auto& c : delegate_->log.calls) {
            if (c.rfind("scroll ", 0) == 0) out.push_back(c);
        }
        return out;
    }

    UIWindowPtr window_;
    UIScrollViewPtr scroll_;
    std::shared_ptr<ScrollRecorder> delegate_;
};

TEST_F(ScrollViewTest, PullPastTheTopBouncesBackWithDelegateCallsInOrder) {
    std::vector<std::string> observed;
    scroll_->addObserver({}, "contentOffset", KVOOptions::New, [&](const KVOChange& change) {
        observed.push_back(change.newValue->stringValue() + (scroll_->isDragging() ? " dragging" : ""));
    });
    ASSERT_TRUE(scroll_->beginDragging());
    EXPECT_FALSE(scroll_->beginDragging());  // one finger at a time
    scroll_->dragBy(0, 30);
    scroll_->dragBy(0, 50);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, -80));
    ASSERT_TRUE(scroll_->endDragging());
    EXPECT_FALSE(scroll_->isDragging());
    EXPECT_TRUE(scroll_->isDecelerating());
    EXPECT_EQ(delegate_->log.take(),
              (std::vector<std::string>{"willBeginDragging", "scroll {0, -30}", "scroll {0, -80}",
                                        "didEndDragging decelerate", "willBeginDecelerating"}));
    EXPECT_EQ(observed, (std::vector<std::string>{"{0, -30} dragging", "{0, -80} dragging"}));

    advance(UIScrollViewSettleDuration / 2);
    EXPECT_LT(scroll_->contentOffset().y, 0);
    EXPECT_GT(scroll_->contentOffset().y, -80);  // on its way, seen by observers while not dragging
    EXPECT_EQ(observed.size(), 7u);
    EXPECT_EQ(observed.back().find("dragging"), std::string::npos);
    advance(UIScrollViewSettleDuration);
    EXPECT_EQ(scroll_->contentOffset(), CGPointZero);
    EXPECT_FALSE(scroll_->isDecelerating());
    EXPECT_EQ(delegate_->log.calls.back(), "didEndDecelerating {0, 0}");
}

TEST_F(ScrollViewTest, WithoutBouncesTheEdgesHoldSoAHeaderAboveCannotBePulled) {
    scroll_->setBounces(false);
    EXPECT_TRUE(scroll_->drag({0, 120}));  // a pull down at the top
    EXPECT_EQ(scroll_->contentOffset(), CGPointZero);
    EXPECT_TRUE(scrolls().empty());
    EXPECT_EQ(delegate_->log.calls.back(), "didEndDragging stop");

    scroll_->drag({0, -500});  // up, inside the content
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, 500));
    scroll_->drag({0, -500});  // further up than the content goes: stops at the bottom edge
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, 600));
    scroll_->setBounces(true);  // on again: the same pull goes past the top
    scroll_->setContentOffset(CGPointZero);
    scroll_->drag({0, 120});
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, -120));
}

TEST_F(ScrollViewTest, AnAxisMovesOnlyWhenItsContentIsLargerOrItAlwaysBounces) {
    scroll_->setContentSize({375, 300});  // shorter than the view
    scroll_->drag({40, 60});
    EXPECT_EQ(scroll_->contentOffset(), CGPointZero);
    scroll_->setAlwaysBounceVertical(true);
    scroll_->beginDragging();
    scroll_->dragBy(40, 60);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, -60));  // vertical only
    scroll_->endDragging();
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointZero);

    scroll_->setScrollEnabled(false);
    EXPECT_FALSE(scroll_->beginDragging());
    EXPECT_FALSE(scroll_->dragBy(0, 10));
    EXPECT_FALSE(scroll_->endDragging());
}

TEST_F(ScrollViewTest, SettlingFollowsInsetsChangedByAnObserver) {
    // A pull-to-refresh header: once released past 54 points it keeps itself in view with a top inset.
    scroll_->addObserver({}, "contentOffset", KVOOptions::New, [&](const KVOChange&) {
        if (!scroll_->isDragging() && scroll_->contentOffset().y < -54 && scroll_->contentInset().top == 0) {
            scroll_->setContentInset({54, 0, 0, 0});
        }
    });
    scroll_->drag({0, 100});
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, -54));
    EXPECT_EQ(delegate_->log.calls.back(), "didEndDecelerating {0, -54}");
    // Released short of the threshold, the same header stays closed.
    scroll_->setContentInset(UIEdgeInsetsZero);
    scroll_->setContentOffset(CGPointZero);
    scroll_->drag({0, 40});
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointZero);
    EXPECT_EQ(scroll_->contentInset(), UIEdgeInsetsZero);
}

TEST_F(ScrollViewTest, PagingSnapsToTheNearestPageOrTheVelocitysDirection) {
    scroll_->setContentSize({375 * 3, 600});
    scroll_->setPagingEnabled(true);
    scroll_->drag({-200, 0});  // more than half a page
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(375, 0));
    scroll_->drag({-100, 0});  // less than half: back
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(375, 0));
    scroll_->drag({-100, 0}, 2, {1, 0});  // a flick forwards
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(750, 0));
    scroll_->drag({-300, 0});  // past the last page: back to it
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(750, 0));
    scroll_->drag({375, 0});  // exactly one page back: no deceleration needed
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(375, 0));
    EXPECT_EQ(delegate_->log.calls.back(), "didEndDragging stop");
}

TEST_F(ScrollViewTest, AnimatedOffsetEndsOnTheClockAndAJumpOrDragStopsIt) {
    scroll_->setContentOffset({0, 300}, Animated::Yes);
    EXPECT_EQ(scroll_->contentOffset(), CGPointZero);
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, 300));
    EXPECT_EQ(delegate_->log.calls.back(), "didEndScrollingAnimation {0, 300}");
    delegate_->log.take();

    scroll_->setContentOffset({0, 0}, Animated::Yes);
    advance(UIScrollViewSettleDuration / 2);
    scroll_->setContentOffset({0, 100});  // a jump cuts the animation short
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), CGPointMake(0, 100));
    for (auto& call : delegate_->log.calls)
        EXPECT_EQ(call.find("didEndScrollingAnimation"), std::string::npos);

    // A drag during deceleration stops it; the deceleration still ends.
    scroll_->setContentOffset(CGPointZero);
    scroll_->drag({0, 80});
    advance(UIScrollViewSettleDuration / 3);
    delegate_->log.take();
    ASSERT_TRUE(scroll_->beginDragging());
    EXPECT_EQ(delegate_->log.take(),
              (std::vector<std::string>{"didEndDecelerating " + NSStringFromCGPoint(scroll_->contentOffset()),
                                        "willBeginDragging"}));
    CGPoint held = scroll_->contentOffset();
    advance(1);
    EXPECT_EQ(scroll_->contentOffset(), held);
    scroll_->endDragging();
}

TEST_F(ScrollViewTest, ObserversHearEverySetAndTheDumpShowsTheScrollState) {
    int offsets = 0, sizes = 0;
    auto token = scroll_->addObserver({}, "contentOffset", KVOOptions::Old | KVOOptions::New,
                                      [&](const KVOChange&) { ++offsets; });
    scroll_->addObserver({}, "contentSize", KVOOptions::New, [&](const KVOChange& c) {
        ++sizes;
        EXPECT_EQ(c.newValue->stringValue(), "{375, 900}");
    });
    scroll_->setContentOffset({0, 10});
    scroll_->setContentOffset({0, 10});  // the same value: observers hear it, the delegate does not
    EXPECT_EQ(offsets, 2);
    EXPECT_EQ(scrolls().size(), 1u);
    scroll_->setContentSize({375, 900});
    EXPECT_EQ(sizes, 1);
    scroll_->removeObserver(token);
    scroll_->setContentOffset({0, 20});
    EXPECT_EQ(offsets, 2);
    EXPECT_EQ(scroll_->dumpLine(),
              "UIScrollView frame={{0, 0}, {375, 600}} contentOffset={0, 20} contentSize={375, 900}");
}

}  // namespace
