// The first-run guide: three full-screen pages ("main.bundle/Guide1.jpg" to "Guide3.jpg") paged sideways
// over a page control. The last page carries an invisible 200 x 50 start button over the lower part of its
// image; touching it (touch-down, without waiting for the finger to lift) makes the key window's root the
// main web screen when a sign-in token is stored, else the sign-in screen. The guide is not a web screen and
// has no bridge.
//
// Cells are reused between pages; the start button is kept on the cell only while it shows the last page.
// Main thread only.
#pragma once

#include <memory>

#include "platform/graphics/UIImage.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIPageControl.h"

inline constexpr long kNewFeaturePageCount = 3;
inline constexpr const char* kNewFeatureCellIdentifier = "cellID";
inline constexpr const char* kNewFeatureImageFormat = "main.bundle/Guide%ld.jpg";

class NewFeatureCell : public UICollectionViewCell {
  public:
    static std::shared_ptr<NewFeatureCell> create(CGRect frame = CGRectZero);

    UIImagePtr image() const { return image_; }
    // Shows the image over the whole cell.
    void setImage(UIImagePtr image);
    // Made on first use, in the content view.
    std::shared_ptr<UIImageView> imageView();

    // The page this cell shows, of `count`: the last one gets the start button, any other loses it.
    void setIndexPath(const NSIndexPath& indexPath, long count);
    // The start button while the cell shows the last page; nullptr otherwise.
    std::shared_ptr<UIButton> startButton() const { return startButton_.lock(); }
    // The start button's action: replaces the key window's root screen.
    void start();

  protected:
    explicit NewFeatureCell(CGRect frame) : UICollectionViewCell(frame) {}

  private:
    void addStartButton();

    UIImagePtr image_;
    std::weak_ptr<UIImageView> imageView_;
    std::weak_ptr<UIButton> startButton_;
};

using NewFeatureCellPtr = std::shared_ptr<NewFeatureCell>;

class NewFeatureViewController : public UICollectionViewController {
  public:
    // A horizontal flow of screen-sized items without spacing.
    static std::shared_ptr<NewFeatureViewController> create();

    void viewDidLoad() override;
    void setUpCollectionView();
    void setUpAllChildView();

    std::shared_ptr<UIPageControl> page() const { return page_.lock(); }

    long numberOfItemsInSection(UICollectionView& collectionView, long section) override;
    UICollectionViewCellPtr cellForItemAtIndexPath(UICollectionView& collectionView,
                                                   const NSIndexPath& indexPath) override;
    // The page control follows whole page widths scrolled (truncated, not rounded).
    void scrollViewDidScroll(UIScrollView& scrollView) override;

  protected:
    explicit NewFeatureViewController(UICollectionViewLayoutPtr layout)
        : UICollectionViewController(std::move(layout)) {}

  private:
    std::weak_ptr<UIPageControl> page_;
};

using NewFeatureViewControllerPtr = std::shared_ptr<NewFeatureViewController>;

// Registers the guide with AppScreens; calling it again changes nothing. The application delegate calls it at
// launch, before it chooses the root screen.
void installGuideScreen();
