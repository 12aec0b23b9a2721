#include "httpclient/HCImageViewNetworking.h"
#include "httpclient/tests/HCTestSupport.h"

namespace {

// A subclass, to check that downloaders are set per class.
class AvatarView final : public UIImageView {
  public:
    static std::shared_ptr<AvatarView> create() { return std::shared_ptr<AvatarView>(new AvatarView()); }

  private:
    AvatarView() : UIImageView(CGRectZero) {}
};

class ImageViewNetworkingTest : public ManagerTest {
  protected:
    void SetUp() override {
        for (uint32_t width : {2u, 3u, 5u, 7u})  // "/w2" answers last
            server_.reply("/w" + std::to_string(width), pngReply(width, 2, width == 2 ? 0.3 : 0));
        auto sessionManager = track(HCHTTPSessionManager::create());
        sessionManager->setResponseSerializer(HCImageResponseSerializer::serializer());
        downloader_ =
            HCImageDownloader::create(sessionManager, HCImageDownloadPrioritization::FIFO, 4, cache_);
        setSharedImageDownloader<UIImageView>(downloader_);
        setSharedImageDownloader<UIButton>(downloader_);
    }
    void TearDown() override {
        setSharedImageDownloader<UIImageView>(nullptr);
        setSharedImageDownloader<UIButton>(nullptr);
        runMainUntil([&] { return downloader_->activeRequestCount() == 0; });
        ManagerTest::TearDown();
    }
    // Blocks that record what they heard under `caller`.
    HCImageViewSuccessBlock success(const std::string& caller) {
        return [this, caller](const NSURLRequest&, const NSHTTPURLResponsePtr& response,
                              const UIImagePtr& image) {
            heard_.push_back(caller + (response ? " image " : " cached ") + std::to_string(width(image)));
        };
    }
    HCImageViewFailureBlock failure(const std::string& caller) {
        return [this, caller](const NSURLRequest&, const NSHTTPURLResponsePtr&, const NSErrorPtr& error) {
            heard_.push_back(caller + " error " + std::to_string(error->code()));
        };
    }
    bool settle(const std::function<bool()>& done) {
        const bool ok = runMainUntil(done);
        runMainUntil([&] { return downloader_->activeRequestCount() == 0; });
        NSRunLoop::main().runUntilIdle();
        return ok;
    }
    // In pixels: the image serializer may scale images for the screen.
    static int width(const UIImagePtr& image) {
        return image ? int(image->size().width * image->scale()) : 0;
    }

    HCAutoPurgingImageCachePtr cache_ = HCAutoPurgingImageCache::create();
    HCImageDownloaderPtr downloader_;
    UIImagePtr placeholder_ = testImage(1, 1);
    std::vector<std::string> heard_;
};

TEST_F(ImageViewNetworkingTest, DownloadersAreSetPerClass) {
    EXPECT_EQ(sharedImageDownloader<AvatarView>(), HCImageDownloader::defaultInstance());
    auto avatar = AvatarView::create();
    setImageWithURL(avatar, NSURL::URLWithString(server_.url("/w3")));
    EXPECT_EQ(
        hc_activeImageDownloadReceipt(avatar)->task()->originalRequest().valueForHTTPHeaderField("Accept"),
        "image/*");
    EXPECT_TRUE(settle([&] { return avatar->image() != nullptr; }));
    EXPECT_EQ(downloader_->activeRequestCount(), 0) << "the subclass used the default downloader";
}

TEST_F(ImageViewNetworkingTest, OnlyTheLatestCallReachesTheView) {
    auto view = UIImageView::create();
    setImageWithURLRequest(view, request("/w2"), placeholder_, success("A"), failure("A"));
    auto first = hc_activeImageDownloadReceipt(view);
    ASSERT_TRUE(first);
    EXPECT_EQ(view->image(), placeholder_);

    // The same URL again: nothing changes, the second call's blocks never run.
    setImageWithURLRequest(view, request("/w2"), testImage(9, 9), success("A2"), failure("A2"));
    EXPECT_EQ(hc_activeImageDownloadReceipt(view), first);
    EXPECT_EQ(view->image(), placeholder_);
    EXPECT_TRUE(settle([&] { return !heard_.empty(); }));
    EXPECT_EQ(heard_, std::vector<std::string>{"A image 2"});
    EXPECT_EQ(server_.hits("/w2"), 1u);
    EXPECT_EQ(hc_activeImageDownloadReceipt(view), nullptr);

    // URL A then URL B: A is withdrawn and never heard; B's image shows.
    heard_.clear();
    cache_->removeAllImages();
    setImageWithURLRequest(view, request("/w2"), placeholder_, success("A"), failure("A"));
    setImageWithURL(view, NSURL::URLWithString(server_.url("/w3")), placeholder_);
    EXPECT_TRUE(settle([&] { return width(view->image()) == 3; }));
    EXPECT_TRUE(heard_.empty());
}

TEST_F(ImageViewNetworkingTest, CacheHitIsShownAtOnceWithoutPlaceholder) {
    cache_->addImage(testImage(5, 5), request("/w5"), std::nullopt);
    auto view = UIImageView::create();
    setImageWithURL(view, NSURL::URLWithString(server_.url("/w5")), placeholder_);
    EXPECT_EQ(width(view->image()), 5);
    EXPECT_EQ(hc_activeImageDownloadReceipt(view), nullptr);

    // With a success block the block is called at once and must set the image itself.
    auto other = UIImageView::create();
    setImageWithURLRequest(other, request("/w5"), placeholder_, success("S"), failure("S"));
    EXPECT_EQ(heard_, std::vector<std::string>{"S cached 5"});
    EXPECT_EQ(other->image(), nullptr);
    EXPECT_EQ(server_.hits("/w5"), 0u);
}

TEST_F(ImageViewNetworkingTest, FailuresAndMissingURLsKeepThePlaceholder) {
    auto view = UIImageView::create();
    setImageWithURL(view, NSURL::URLWithString(server_.url("/missing")), placeholder_);
    EXPECT_TRUE(settle([&] { return hc_activeImageDownloadReceipt(view) == nullptr; }));
    EXPECT_EQ(view->image(), placeholder_);

    setImageWithURLRequest(view, request("/missing"), placeholder_, success("F"), failure("F"));
    EXPECT_TRUE(settle([&] { return !heard_.empty(); }));
    EXPECT_EQ(heard_, std::vector<std::string>{"F error -1011"});

    // A request without a URL withdraws the active download and shows the placeholder (or no image).
    heard_.clear();
    setImageWithURLRequest(view, request("/w2"), nullptr, success("W"), failure("W"));
    setImageWithURLRequest(view, NSURLRequest(), nullptr, success("N"), failure("N"));
    EXPECT_EQ(view->image(), nullptr);
    EXPECT_EQ(hc_activeImageDownloadReceipt(view), nullptr);
    settle([&] { return downloader_->activeRequestCount() == 0; });
    EXPECT_TRUE(heard_.empty());

    // A button has no such guard: the downloader fails the request, and the caller hears of it.
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    setImageForState(button, UIControlStateNormal, NSURLRequest(), placeholder_, success("B"), failure("B"));
    EXPECT_EQ(button->imageForState(UIControlStateNormal), placeholder_);
    EXPECT_TRUE(settle([&] { return !heard_.empty(); }));
    EXPECT_EQ(heard_, std::vector<std::string>{"B error -1000"});
}

TEST_F(ImageViewNetworkingTest, ButtonSlotsKeepTheirOwnDownloads) {
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    setImageForState(button, UIControlStateNormal, NSURL::URLWithString(server_.url("/w2")));
    setImageForState(button, UIControlStateHighlighted, NSURL::URLWithString(server_.url("/w3")));
    setBackgroundImageForState(button, UIControlStateNormal, NSURL::URLWithString(server_.url("/w5")));
    EXPECT_TRUE(isActiveTaskURLEqualToURLRequest(button, request("/w2"), UIControlStateNormal));
    EXPECT_TRUE(isActiveTaskURLEqualToURLRequest(button, request("/w3"), UIControlStateHighlighted));
    EXPECT_TRUE(isActiveBackgroundTaskURLEqualToURLRequest(button, request("/w5"), UIControlStateNormal));
    EXPECT_FALSE(isActiveBackgroundTaskURLEqualToURLRequest(button, request("/w5"), UIControlStateSelected));

    // State 3 (highlighted and disabled) shares the normal slot, so it replaces the "/w2" download.
    setImageForState(button, UIControlStateHighlighted | UIControlStateDisabled,
                     NSURL::URLWithString(server_.url("/w7")));
    EXPECT_FALSE(isActiveTaskURLEqualToURLRequest(button, request("/w2"), UIControlStateNormal));
    EXPECT_TRUE(settle([&] {
        return width(button->imageForState(UIControlStateHighlighted | UIControlStateDisabled)) == 7 &&
               width(button->imageForState(UIControlStateHighlighted)) == 3 &&
               width(button->backgroundImageForState(UIControlStateNormal)) == 5;
    }));
    EXPECT_EQ(button->imageForState(UIControlStateNormal), nullptr) << "the withdrawn download never lands";

    cancelImageDownloadTaskForState(button, UIControlStateSelected);  // nothing active there: no effect
    setImageForState(button, UIControlStateSelected, NSURL::URLWithString(server_.url("/w2") + "?fresh"));
    cancelImageDownloadTaskForState(button, UIControlStateSelected);
    EXPECT_EQ(hc_imageDownloadReceiptForState(button, UIControlStateSelected), nullptr);
    settle([&] { return downloader_->activeRequestCount() == 0; });
    EXPECT_EQ(button->imageForState(UIControlStateSelected), button->imageForState(UIControlStateNormal));
}

}  // namespace
