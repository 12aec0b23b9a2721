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
        DeviceProfile profile = DeviceProfile::current();
        profile.preferredLanguages = {"en"};
        DeviceProfile::set(profile);
        scrollView_->setContentSize({320, 1000});
        header_ = PRRefreshNormalHeader::headerWithRefreshingBlock([this] {
            ++refreshes_;
            if (endInsideBlock_) header_->endRefreshing();
        });
        pr_setHeader(scrollView_, header_);
    }
    ~RefreshTest() override {
        DeviceProfile::reset();
        NSUserDefaults::resetStandardUserDefaultsForTesting();
        Sandbox::resetHome();
    }
    // One finger: down by each amount in turn (negative is up), then optionally let go.
    void pull(std::initializer_list<CGFloat> moves, bool release = true) {
        ASSERT_TRUE(scrollView_->beginDragging());
        for (CGFloat dy : moves) scrollView_->dragBy(0, dy);
        if (release) scrollView_->endDragging();
    }
    void settle() {
        turn();
        advance(1);
        turn();
    }

    TempDir home_;
    std::shared_ptr<UIScrollView> scrollView_ = UIScrollView::create({0, 0, 320, 480});
    std::shared_ptr<PRRefreshNormalHeader> header_;
    int refreshes_ = 0;
    bool endInsideBlock_ = false;
};

TEST_F(RefreshTest, DragsDriveTheStates) {
    EXPECT_EQ(header_->frame(), (CGRect{0, -54, 320, 54}));
    EXPECT_EQ(header_->lastUpdatedTimeLabel()->text(), "Last updated: Never");
    // Only a pull past the header's height, still held there at release, starts a refresh.
    using P = PRRefreshState;
    const struct {
        const char* name;
        std::initializer_list<CGFloat> moves;
        P whileHeld, afterRelease;
        CGFloat restY;  // where the content comes to rest
    } rows[] = {
        {"exactly the height", {54}, P::Idle, P::Idle, 0},
        {"pulled back", {40, 40, -30}, P::Idle, P::Idle, 0},
        {"scrolling up", {-200}, P::Idle, P::Idle, 200},
        {"past the height", {30, 30}, P::Pulling, P::Refreshing, -54},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        refreshes_ = 0;
        scrollView_->setContentOffset({0, 0});
        pull(row.moves, false);
        EXPECT_EQ(header_->state(), row.whileHeld);
        scrollView_->endDragging();
        EXPECT_EQ(refreshes_, 0);  // never from inside the release
        settle();
        EXPECT_EQ(scrollView_->contentOffset().y, row.restY);
        EXPECT_EQ(header_->state(), row.afterRelease);
        EXPECT_EQ(refreshes_, row.afterRelease == P::Refreshing ? 1 : 0);
    }
    // Refreshing: the header stays in sight until the refresh ends.
    EXPECT_EQ(scrollView_->contentInset().top, 54);
    pull({100});  // pulling again while refreshing starts nothing
    settle();
    EXPECT_EQ(refreshes_, 1);

    advance(3600);
    header_->endRefreshing();
    EXPECT_TRUE(header_->isRefreshing());  // idle comes on the main queue
    settle();
    EXPECT_EQ(header_->state(), PRRefreshState::Idle);
    EXPECT_EQ(scrollView_->contentInset().top, 0);
    EXPECT_EQ(scrollView_->contentOffset().y, 0);
    ASSERT_TRUE(header_->lastUpdatedTime());
    EXPECT_EQ(*header_->lastUpdatedTime(), Clock::now().addingTimeInterval(-1));
    auto stored = NSUserDefaults::standardUserDefaults()->objectForKey("PRRefreshHeaderLastUpdatedTimeKey");
    ASSERT_TRUE(stored && stored->asDate());
    EXPECT_NE(header_->lastUpdatedTimeLabel()->text(), "Last updated: Never");
}

TEST_F(RefreshTest, EndingFromInsideTheBlockClosesAtOnce) {
    endInsideBlock_ = true;
    pull({80});
    settle();  // the release is seen as the content starts to settle; the block then ends the refresh
    EXPECT_EQ(header_->state(), PRRefreshState::Idle);
    EXPECT_EQ(scrollView_->contentOffset().y, 0);

    // From code too, with the scroll view at rest.
    header_->beginRefreshing();
    settle();
    EXPECT_EQ(refreshes_, 2);
    EXPECT_EQ(header_->state(), PRRefreshState::Idle);
    EXPECT_EQ(scrollView_->contentInset().top, 0);
}

TEST_F(RefreshTest, ANewHeaderReplacesAndDetachesTheOld) {
    header_->beginRefreshing();
    settle();
    int secondRefreshes = 0;
    auto second = PRRefreshNormalHeader::headerWithRefreshingBlock([&] { ++secondRefreshes; });
    pr_setHeader(scrollView_, second);
    EXPECT_EQ(pr_header(scrollView_), second);
    EXPECT_FALSE(header_->scrollView());
    EXPECT_EQ(scrollView_->contentInset().top, 0);  // the old header's refresh inset went with it
    EXPECT_EQ(header_->state(), PRRefreshState::Idle);

    refreshes_ = 0;
    pull({80});
    settle();
    EXPECT_EQ(refreshes_, 0);
    EXPECT_EQ(secondRefreshes, 1);

    // Detached and gone: drags are harmless.
    pr_setHeader(scrollView_, nullptr);
    std::weak_ptr<PRRefreshNormalHeader> watch = second;
    second.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(pr_header(scrollView_));
    pull({80});
    settle();
}

TEST_F(RefreshTest, TextsComeFromTheStringTables) {
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"en", {"Pull down to refresh", "Release to refresh", "Loading...", "Last updated: Never"}},
        {"zh-Hans", {"下拉刷新", "松开立即刷新", "正在刷新...", "上次更新：暂无记录"}},
    };
    for (const auto& [language, texts] : rows) {
        SCOPED_TRACE(language);
        DeviceProfile profile = DeviceProfile::current();
        profile.preferredLanguages = {language};
        DeviceProfile::set(profile);
        auto header = PRRefreshNormalHeader::headerWithRefreshingBlock({});
        auto scrollView = UIScrollView::create({0, 0, 320, 480});
        pr_setHeader(scrollView, header);
        EXPECT_EQ(header->stateLabel()->text() + "|" + header->lastUpdatedTimeLabel()->text(),
                  texts[0] + "|" + texts[3]);
        ASSERT_TRUE(scrollView->beginDragging());
        scrollView->dragBy(0, 70);
        EXPECT_EQ(header->stateLabel()->text(), texts[1]);
        scrollView->endDragging();
        settle();
        EXPECT_EQ(header->stateLabel()->text(), texts[2]);
    }
}

}  // namespace
