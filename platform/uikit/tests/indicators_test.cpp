#include <gtest/gtest.h>

#include <cmath>

#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIProgressView.h"
#include "platform/uikit/UIRefreshControl.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

using IndicatorsTest = UITest;

TEST_F(IndicatorsTest, ActivityHidesWhileStoppedProgressClampsRefreshingIsAState) {
    auto indicator = UIActivityIndicatorView::create(UIActivityIndicatorViewStyle::WhiteLarge);
    EXPECT_EQ(indicator->frame().size.width, 37);
    EXPECT_TRUE(indicator->isHidden());
    indicator->startAnimating();
    EXPECT_FALSE(indicator->isHidden());
    EXPECT_NE(indicator->dumpLine().find(" animating"), std::string::npos);
    indicator->stopAnimating();
    EXPECT_TRUE(indicator->isHidden());
    indicator->setHidesWhenStopped(false);
    EXPECT_FALSE(indicator->isHidden());
    indicator->startAnimating();
    indicator->stopAnimating();
    EXPECT_FALSE(indicator->isHidden());
    EXPECT_FALSE(indicator->isAnimating());

    // Progress is clamped; refreshing is a state that sends nothing.
    auto bar = UIProgressView::create();
    const float cases[][2] = {{0.25f, 0.25f}, {-1.0f, 0.0f}, {1.5f, 1.0f}, {NAN, 0.0f}};
    for (const auto& c : cases) {
        bar->setProgress(c[0], true);
        EXPECT_FLOAT_EQ(bar->progress(), c[1]) << c[0];
    }
    auto control = UIRefreshControl::create();
    int sent = 0;
    control->addAction([&](UIControl&) { ++sent; }, UIControlEventValueChanged);
    control->beginRefreshing();
    EXPECT_TRUE(control->isRefreshing());
    control->endRefreshing();
    EXPECT_FALSE(control->isRefreshing());
    EXPECT_EQ(sent, 0) << "beginning and ending send nothing";
}

}  // namespace
