#include "refresh/PRRefreshHeader.h"

#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/UserDefaults.h"

namespace {

const char kHeaderKey = 0;  // the associated-object key of a scroll view's header

std::shared_ptr<NSBundle> refreshBundle() {
    auto path = NSBundle::mainBundle()->pathForResource("PRRefresh", "bundle");
    if (!path) return nullptr;
    static std::mutex mutex;
    static auto* bundles = new std::map<std::string, std::shared_ptr<NSBundle>>;
    std::lock_guard lock(mutex);
    auto& bundle = (*bundles)[*path];
    if (!bundle) bundle = NSBundle::bundleWithPath(*path);
    return bundle;
}

std::tm localTime(Date date) {
    std::time_t t = std::time_t(date.unixTime());
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

// "Today 09:05" for today, else "2016-03-01 09:05".
std::string formatUpdateTime(Date date) {
    std::tm then = localTime(date);
    std::tm now = localTime(Clock::now());
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M", &then);
    if (then.tm_year == now.tm_year && then.tm_yday == now.tm_yday) {
        return PRRefreshLocalizedString("PRRefreshHeaderDateTodayText") + " " + clock;
    }
    char day[32];
    std::strftime(day, sizeof day, "%Y-%m-%d", &then);
    return std::string(day) + " " + clock;
}

}  // namespace

std::string PRRefreshLocalizedString(const std::string& key) {
    auto bundle = refreshBundle();
    return bundle ? bundle->localizedStringForKey(key, "", "PRRefresh") : key;
}

// ---- the header ----

PRRefreshHeader::~PRRefreshHeader() {
    detach();
}

void PRRefreshHeader::willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) {
    UIView::willMoveToSuperview(newSuperview);
    detach();
    auto scrollView = std::dynamic_pointer_cast<UIScrollView>(newSuperview);
    if (!scrollView) return;
    scrollView_ = scrollView;
    setFrame(CGRectMake(0, -PRRefreshHeaderHeight, scrollView->frame().size.width, PRRefreshHeaderHeight));
    scrollView->setAlwaysBounceVertical(true);
    originalInsetTop_ = scrollView->contentInset().top;
    std::weak_ptr<PRRefreshHeader> weak = self<PRRefreshHeader>();
    observation_ = scrollView->addObserver(weak, "contentOffset", KVOOptions::New, [weak](const KVOChange&) {
        if (auto header = weak.lock()) header->scrollViewContentOffsetDidChange();
    });
}

void PRRefreshHeader::detach() {
    auto scrollView = scrollView_.lock();
    scrollView_.reset();
    if (!scrollView) return;
    if (observation_) scrollView->removeObserver(std::exchange(observation_, 0));
    if (state_ == PRRefreshState::Refreshing) {
        // Leaving while refreshing: give the scroll view its inset back.
        auto inset = scrollView->contentInset();
        inset.top -= PRRefreshHeaderHeight;
        scrollView->setContentInset(inset);
        state_ = PRRefreshState::Idle;
    }
}

void PRRefreshHeader::scrollViewContentOffsetDidChange() {
    auto scrollView = scrollView_.lock();
    if (!scrollView || state_ == PRRefreshState::Refreshing) return;
    CGFloat offsetY = scrollView->contentOffset().y;
    CGFloat pullingY = -scrollView->contentInset().top - PRRefreshHeaderHeight;
    if (scrollView->isDragging()) {
        if (!scrollView->bounces()) return;
        if (state_ == PRRefreshState::Idle && offsetY < pullingY) {
            setState(PRRefreshState::Pulling);
        } else if (state_ == PRRefreshState::Pulling && offsetY >= pullingY) {
            setState(PRRefreshState::Idle);
        }
    } else if (state_ == PRRefreshState::Pulling) {
        setState(PRRefreshState::Refreshing);  // released past the header
    }
}

void PRRefreshHeader::beginRefreshing() {
    UIAssertMainThread();
    setState(PRRefreshState::Refreshing);
}

void PRRefreshHeader::endRefreshing() {
    std::weak_ptr<PRRefreshHeader> weak = self<PRRefreshHeader>();
    DispatchQueue::main()->async([weak] {
        auto header = weak.lock();
        if (header && header->state_ == PRRefreshState::Refreshing) header->setState(PRRefreshState::Idle);
    });
}

std::optional<Date> PRRefreshHeader::lastUpdatedTime() const {
    auto stored = NSUserDefaults::standardUserDefaults()->objectForKey(PRRefreshHeaderLastUpdatedTimeKey);
    if (!stored || !stored->asDate()) return std::nullopt;
    return *stored->asDate();
}

void PRRefreshHeader::setState(PRRefreshState state) {
    if (state == state_) return;
    auto keep = self<PRRefreshHeader>();
    PRRefreshState old = state_;
    state_ = state;
    auto scrollView = scrollView_.lock();
    if (state == PRRefreshState::Refreshing) {
        if (scrollView) {
            auto inset = scrollView->contentInset();
            originalInsetTop_ = inset.top;
            inset.top += PRRefreshHeaderHeight;
            scrollView->setContentInset(inset);
            // A release is already settling towards the new inset; a call from code moves there itself.
            if (!scrollView->isDecelerating() && !scrollView->isDragging()) {
                scrollView->setContentOffset({scrollView->contentOffset().x, -inset.top}, Animated::Yes);
            }
        }
        std::weak_ptr<PRRefreshHeader> weak = keep;
        DispatchQueue::main()->async([weak] {
            auto header = weak.lock();
            if (!header) return;
            if (auto block = header->refreshingBlock_) block();
        });
    } else if (old == PRRefreshState::Refreshing) {
        NSUserDefaults::standardUserDefaults()->setObject(Value(Clock::now()),
                                                          PRRefreshHeaderLastUpdatedTimeKey);
        if (scrollView) {
            auto inset = scrollView->contentInset();
            inset.top -= PRRefreshHeaderHeight;
            scrollView->setContentInset(inset);
            if (!scrollView->isDragging() && scrollView->contentOffset().y < -inset.top) {
                scrollView->setContentOffset({scrollView->contentOffset().x, -inset.top}, Animated::Yes);
            }
        }
    }
    stateDidChange(state);
}

// ---- the normal header ----

std::shared_ptr<PRRefreshNormalHeader> PRRefreshNormalHeader::headerWithRefreshingBlock(
    RefreshingBlock block) {
    UIAssertMainThread();
    auto header = std::shared_ptr<PRRefreshNormalHeader>(
        new PRRefreshNormalHeader(CGRectMake(0, 0, 0, PRRefreshHeaderHeight)));
    header->setRefreshingBlock(std::move(block));
    header->arrowView_ = UIImageView::create();
    header->arrowView_->setAccessibilityLabel("arrow");
    header->stateLabel_ = UILabel::create();
    header->stateLabel_->setTextAlignment(NSTextAlignment::Center);
    header->lastUpdatedTimeLabel_ = UILabel::create();
    header->lastUpdatedTimeLabel_->setTextAlignment(NSTextAlignment::Center);
    header->addSubview(header->arrowView_);
    header->addSubview(header->stateLabel_);
    header->addSubview(header->lastUpdatedTimeLabel_);
    header->updateTexts();
    return header;
}

void PRRefreshNormalHeader::layoutSubviews() {
    CGSize size = bounds().size;
    stateLabel_->setFrame(CGRectMake(0, 0, size.width, size.height / 2));
    lastUpdatedTimeLabel_->setFrame(CGRectMake(0, size.height / 2, size.width, size.height / 2));
    arrowView_->setFrame(CGRectMake(size.width / 2 - 100, (size.height - 40) / 2, 15, 40));
}

void PRRefreshNormalHeader::stateDidChange(PRRefreshState) {
    updateTexts();
}

void PRRefreshNormalHeader::updateTexts() {
    switch (state()) {
        case PRRefreshState::Idle:
            stateLabel_->setText(PRRefreshLocalizedString("PRRefreshHeaderIdleText"));
            break;
        case PRRefreshState::Pulling:
            stateLabel_->setText(PRRefreshLocalizedString("PRRefreshHeaderPullingText"));
            break;
        case PRRefreshState::Refreshing:
            stateLabel_->setText(PRRefreshLocalizedString("PRRefreshHeaderRefreshingText"));
            break;
    }
    arrowView_->setHidden(state() == PRRefreshState::Refreshing);
    auto last = lastUpdatedTime();
    lastUpdatedTimeLabel_->setText(
        PRRefreshLocalizedString("PRRefreshHeaderLastTimeText") +
        (last ? formatUpdateTime(*last) : PRRefreshLocalizedString("PRRefreshHeaderNoneLastDateText")));
}

// ---- the scroll view's category ----

PRRefreshHeaderPtr pr_header(const std::shared_ptr<UIScrollView>& scrollView) {
    return scrollView ? scrollView->associatedObject<PRRefreshHeader>(&kHeaderKey) : nullptr;
}

void pr_setHeader(const std::shared_ptr<UIScrollView>& scrollView, const PRRefreshHeaderPtr& header) {
    if (!scrollView) return;
    UIAssertMainThread();
    auto old = pr_header(scrollView);
    if (old == header) return;
    if (old) old->removeFromSuperview();
    if (header) scrollView->insertSubview(header, 0);
    scrollView->setAssociatedObject(&kHeaderKey, header);
}
