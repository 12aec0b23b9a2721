#include "app/screens/NewFeatureViewController.h"

#include <algorithm>
#include <cmath>

#include "app/tools/AppScreens.h"
#include "app/tools/SaveService.h"
#include "layout/LAYConstraintMaker.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr CGFloat kStartWidth = 200;
constexpr CGFloat kStartHeight = 50;
constexpr CGFloat kStartCentreHeightRatio = 0.85;
constexpr CGFloat kStartCentreDrop = 5.0;
constexpr CGFloat kPageControlBottom = -5;
// The start button has no title (the guide image draws it); assistive technology, and the headless
// device's finger, find it by this label.
constexpr const char* kStartAccessibilityLabel = "开始使用";

UIColorPtr rgb(double red, double green, double blue) {
    return UIColor::colorWithRed(red / 255.0, green / 255.0, blue / 255.0, 1);
}

// Whether a sign-in token is stored: a string that is not "".
bool hasAccessToken() {
    auto token = SaveService::objectForKey(kSaveServiceAccessTokenKey);
    return token && token->isString() && !token->asString()->empty();
}

}  // namespace

// ---- NewFeatureCell ----

std::shared_ptr<NewFeatureCell> NewFeatureCell::create(CGRect frame) {
    UIAssertMainThread();
    return std::shared_ptr<NewFeatureCell>(new NewFeatureCell(frame));
}

std::shared_ptr<UIImageView> NewFeatureCell::imageView() {
    if (auto view = imageView_.lock()) return view;
    auto view = UIImageView::create();
    contentView()->addSubview(view);
    imageView_ = view;
    return view;
}

void NewFeatureCell::setImage(UIImagePtr image) {
    image_ = std::move(image);
    auto view = imageView();
    view->setImage(image_);
    view->setFrame(bounds());
}

void NewFeatureCell::setIndexPath(const NSIndexPath& indexPath, long count) {
    if (indexPath.item() == count - 1) {
        if (!startButton_.lock()) addStartButton();
    } else if (auto button = startButton_.lock()) {
        // A reused cell that showed the last page.
        button->removeFromSuperview();
        startButton_.reset();
    }
}

void NewFeatureCell::addStartButton() {
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    button->setFrame(CGRectMake(0, 0, kStartWidth, kStartHeight));
    button->setBackgroundColor(UIColor::clearColor());
    button->setAccessibilityLabel(kStartAccessibilityLabel);
    const CGSize size = bounds().size;
    button->setCenter(
        CGPointMake(size.width * 0.5, size.height * kStartCentreHeightRatio + kStartCentreDrop));
    std::weak_ptr<NewFeatureCell> weakCell = self<NewFeatureCell>();
    button->addTarget(
        weakCell,
        [weakCell](UIControl&) {
            if (auto cell = weakCell.lock()) cell->start();
        },
        UIControlEventTouchDown);
    addSubview(button);
    startButton_ = button;
}

void NewFeatureCell::start() {
    auto keepAlive = self<NewFeatureCell>();  // replacing the root lets go of the guide and its cells
    auto window = UIApplication::sharedApplication()->keyWindow();
    if (!window) {
        NSLog("NewFeatureCell: there is no key window to show the next screen in");
        return;
    }
    window->setRootViewController(hasAccessToken() ? AppScreens::makeMainNavigation()
                                                   : AppScreens::makeLoginViewController());
}

// ---- NewFeatureViewController ----

std::shared_ptr<NewFeatureViewController> NewFeatureViewController::create() {
    UIAssertMainThread();
    auto layout = UICollectionViewFlowLayout::create();
    layout->setItemSize(UIScreen::mainScreen().bounds().size);
    layout->setMinimumLineSpacing(0);
    layout->setMinimumInteritemSpacing(0);
    layout->setScrollDirection(UICollectionViewScrollDirection::Horizontal);
    return std::shared_ptr<NewFeatureViewController>(new NewFeatureViewController(layout));
}

void NewFeatureViewController::viewDidLoad() {
    UICollectionViewController::viewDidLoad();
    setUpCollectionView();
    setUpAllChildView();
}

void NewFeatureViewController::setUpCollectionView() {
    auto collection = collectionView();
    collection->registerClass([] { return NewFeatureCell::create(); }, kNewFeatureCellIdentifier);
    collection->setBackgroundColor(UIColor::whiteColor());
    collection->setPagingEnabled(true);
    collection->setShowsHorizontalScrollIndicator(false);
    collection->setBounces(false);
}

void NewFeatureViewController::setUpAllChildView() {
    auto page = UIPageControl::create();
    page->setNumberOfPages(kNewFeaturePageCount);
    page->setCurrentPage(0);
    page->setCurrentPageIndicatorTintColor(rgb(254, 160, 15));
    page->setPageIndicatorTintColor(rgb(220, 220, 220));
    view()->addSubview(page);
    page_ = page;
    auto container = view();
    lay_makeConstraints(page, [&](LAYConstraintMaker& make) {
        make.bottom().equalTo(container).offset(kPageControlBottom);
        make.centerX().equalTo(container);
    });
}

long NewFeatureViewController::numberOfItemsInSection(UICollectionView&, long) {
    return kNewFeaturePageCount;
}

UICollectionViewCellPtr NewFeatureViewController::cellForItemAtIndexPath(UICollectionView& collectionView,
                                                                         const NSIndexPath& indexPath) {
    auto cell = collectionView.dequeueReusableCell<NewFeatureCell>(kNewFeatureCellIdentifier, indexPath);
    if (!cell) return nullptr;
    cell->setImage(
        UIImage::imageNamed(NSString::format(kNewFeatureImageFormat, {Value(indexPath.item() + 1)})));
    cell->setIndexPath(indexPath, kNewFeaturePageCount);
    return cell;
}

void NewFeatureViewController::scrollViewDidScroll(UIScrollView& scrollView) {
    auto page = page_.lock();
    const CGFloat width = UIScreen::mainScreen().bounds().size.width;
    if (!page || !(width > 0)) return;
    const double pages = std::trunc(scrollView.contentOffset().x / width);
    if (!std::isfinite(pages)) return;
    // Kept within the pages before the conversion; the control clamps as well.
    page->setCurrentPage(static_cast<long>(std::clamp(pages, 0.0, double(kNewFeaturePageCount - 1))));
}

void installGuideScreen() {
    AppScreens::registerMaker(AppScreens::Screen::NewFeature,
                              [] { return NewFeatureViewController::create(); });
}
