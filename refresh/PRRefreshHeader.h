// The pull-down refresh header of a scroll view.
//
//   pr_setHeader(webView->scrollView(), PRRefreshNormalHeader::headerWithRefreshingBlock([weak] { ... }));
//
// Attached to a scroll view (pr_setHeader), the header sits just above the content, 54 points tall, and
// watches the scroll view's content offset. While a finger drags the content down past the header's height
// the header is "pulling"; dragged back it is "idle" again. Released while pulling, it is "refreshing": the
// scroll view's top inset grows by the header's height so that the header stays in sight, and the refreshing
// block runs on the next turn of the main queue. `endRefreshing` (from anywhere, also from inside the block)
// returns to idle on the main queue: the inset shrinks back, the content settles, and the time is stored
// under "PRRefreshHeaderLastUpdatedTimeKey" in the standard user defaults. A scroll view whose `bounces` is
// off cannot be pulled.
//
// Texts come from the "PRRefresh" string table of the resource bundle "PRRefresh.bundle". Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScrollView.h"

enum class PRRefreshState { Idle = 1, Pulling, Refreshing };

inline constexpr CGFloat PRRefreshHeaderHeight = 54;
inline constexpr const char* PRRefreshHeaderLastUpdatedTimeKey = "PRRefreshHeaderLastUpdatedTimeKey";

// The text of `key` in the "PRRefresh" table of PRRefresh.bundle (the key itself when missing).
std::string PRRefreshLocalizedString(const std::string& key);

class PRRefreshHeader : public UIView {
  public:
    using RefreshingBlock = std::function<void()>;

    PRRefreshState state() const { return state_; }
    bool isRefreshing() const { return state_ == PRRefreshState::Refreshing; }
    // Starts refreshing as a release past the header would.
    void beginRefreshing();
    void endRefreshing();

    const RefreshingBlock& refreshingBlock() const { return refreshingBlock_; }
    void setRefreshingBlock(RefreshingBlock block) { refreshingBlock_ = std::move(block); }
    // The last time a refresh ended, from the user defaults.
    std::optional<Date> lastUpdatedTime() const;

    std::shared_ptr<UIScrollView> scrollView() const { return scrollView_.lock(); }

    void willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) override;
    ~PRRefreshHeader() override;

  protected:
    explicit PRRefreshHeader(CGRect frame) : UIView(frame) {}
    // Each change of state, after it has taken effect (the normal header updates its texts here).
    virtual void stateDidChange(PRRefreshState) {}

  private:
    void setState(PRRefreshState state);
    void scrollViewContentOffsetDidChange();
    void detach();

    PRRefreshState state_ = PRRefreshState::Idle;
    RefreshingBlock refreshingBlock_;
    std::weak_ptr<UIScrollView> scrollView_;
    KVOObservable::Token observation_ = 0;
    CGFloat originalInsetTop_ = 0;
};

// The header with an arrow, a state text and the last-updated time.
class PRRefreshNormalHeader final : public PRRefreshHeader {
  public:
    static std::shared_ptr<PRRefreshNormalHeader> headerWithRefreshingBlock(RefreshingBlock block);

    const std::shared_ptr<UILabel>& stateLabel() const { return stateLabel_; }
    const std::shared_ptr<UILabel>& lastUpdatedTimeLabel() const { return lastUpdatedTimeLabel_; }
    const std::shared_ptr<UIImageView>& arrowView() const { return arrowView_; }

    void layoutSubviews() override;

  protected:
    void stateDidChange(PRRefreshState state) override;

  private:
    explicit PRRefreshNormalHeader(CGRect frame) : PRRefreshHeader(frame) {}
    void updateTexts();

    std::shared_ptr<UILabel> stateLabel_;
    std::shared_ptr<UILabel> lastUpdatedTimeLabel_;
    std::shared_ptr<UIImageView> arrowView_;
};

using PRRefreshHeaderPtr = std::shared_ptr<PRRefreshHeader>;

// The scroll view's header: attaching one replaces (and detaches) the one before; null detaches.
PRRefreshHeaderPtr pr_header(const std::shared_ptr<UIScrollView>& scrollView);
void pr_setHeader(const std::shared_ptr<UIScrollView>& scrollView, const PRRefreshHeaderPtr& header);
