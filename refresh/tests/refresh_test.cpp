// The pull-down header's states as fingers drag a scroll view, on the manual clock.
#include <gtest/gtest.h>

#include "platform/foundation/Process.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/uikit/tests/UITestFixture.h"
#include "refresh/PRRefreshHeader.h"
#include "testsupport/TempDir.h"

namespace {

class RefreshTest : public UITest {
  protected:
    RefreshTest() {
        Sandbox::setHome(home_.path());
        NSUserDefaults::resetStandardUserDefaultsForTesting();
        speak("en");
        scrollView_->setContentSize({320, 1000});
        pr_setHeader(scrollView_, header_);
    }
    ~RefreshTest() override {
        DeviceProfile::reset();
        Sandbox::resetHome();
    }
    static void speak(const char* language) {
        DeviceProfile profile = DeviceProfile::current();
        profile.preferredLanguages = {language};
        DeviceProfile::set(profile);
    }
    // One finger: down by each `dy` in turn (negative is up), let go, and the content settles.
    void pull(const std::vector<CGFloat>& moves) {
        const int before = refreshes_;
        ASSERT_TRUE(scrollView_->beginDragging());
        for (CGFloat dy : moves) scrollView_->dragBy(0, dy);
        scrollView_->endDragging();
        EXPECT_EQ(refreshes_, before) << "never from inside the release";
        turn();
        advance(1);
        turn();
    }

    TempDir home_;
    std::shared_ptr<UIScrollView> scrollView_ = UIScrollView::create({0, 0, 320, 480});
    int refreshes_ = 0;
    bool endInsideBlock_ = false;
    std::shared_ptr<PRRefreshNormalHeader> header_ = PRRefreshNormalHeader::headerWithRefreshingBlock([this] {
        ++refreshes_;
        if (endInsideBlock_) header_->endRefreshing();
    });
};

TEST_F(RefreshTest, OnlyAPullPastTheHeaderRefreshesAndTheEndStoresTheTime) {
    // Drags (54: exactly the header's height), where the content comes to rest, refreshes, the state text.
    const std::tuple<std::vector<CGFloat>, CGFloat, int, std::string> rows[] = {
        {{54}, 0, 0, "Pull down to refresh"},
        {{80, -30}, 0, 0, "Pull down to refresh"},
        {{-200}, 200, 0, "Pull down to refresh"},
        {{60}, -54, 1, "Loading..."},
        {{100}, -54, 1, "Loading..."}};
    for (const auto& [moves, restY, refreshes, text] : rows) {
        scrollView_->setContentOffset({0, 0});
        pull(moves);
        EXPECT_EQ(std::tuple(scrollView_->contentOffset().y, refreshes_, header_->stateLabel()->text()),
                  std::tuple(restY, refreshes, text));
    }
    EXPECT_EQ(scrollView_->contentInset().top, 54);  // the header stays in sight while refreshing
    advance(3600);
    header_->endRefreshing();
    EXPECT_TRUE(header_->isRefreshing());  // idle comes on the main queue
    pull({0});
    EXPECT_EQ(std::tuple(header_->state(), scrollView_->contentInset().top, scrollView_->contentOffset().y),
              std::tuple(PRRefreshState::Idle, 0.0, 0.0));
    EXPECT_EQ(header_->lastUpdatedTime(), Clock::now().addingTimeInterval(-1));
    speak("zh-Hans");
    pr_setHeader(scrollView_, header_ = PRRefreshNormalHeader::headerWithRefreshingBlock({}));
    EXPECT_NE(header_->lastUpdatedTimeLabel()->text(), "上次更新：暂无记录");  // the time was stored
    ASSERT_TRUE(scrollView_->beginDragging());
    scrollView_->dragBy(0, 80);
    EXPECT_EQ(header_->stateLabel()->text(), "松开立即刷新");
}

TEST_F(RefreshTest, EndingInsideTheBlockClosesAtOnceAndANewHeaderDetachesTheOld) {
    endInsideBlock_ = true;
    pull({80});  // the release is seen as the content settles; the block then ends the refresh
    EXPECT_EQ(std::pair(header_->state(), scrollView_->contentOffset().y),
              std::pair(PRRefreshState::Idle, 0.0));
    endInsideBlock_ = false;
    header_->beginRefreshing();  // from code too
    pull({0});
    auto second = PRRefreshNormalHeader::headerWithRefreshingBlock([&] { refreshes_ += 10; });
    pr_setHeader(scrollView_, second);
    EXPECT_EQ(scrollView_->contentInset().top, 0);  // the old header's refresh inset went with it
    pull({80});
    pr_setHeader(scrollView_, nullptr);  // detached and let go: drags are harmless and refresh nothing
    second.reset();
    pull({80});
    EXPECT_EQ(refreshes_, 12);
}

}  // namespace
