#include "httpclient/HCImageViewNetworking.h"

#include <map>
#include <mutex>

namespace {

// ---- Per-class downloaders

struct ClassDownloaders {
    std::mutex mutex;
    std::map<std::type_index, HCImageDownloaderPtr> byClass[2];  // by family
};

ClassDownloaders& classDownloaders() {
    static auto* table = new ClassDownloaders();
    return *table;
}

HCImageDownloaderPtr downloaderFor(HCImageViewFamily family, const UIView& view) {
    return hc_sharedImageDownloader(family, typeid(view));
}

// ---- Attached receipts

const char kActiveImageDownloadReceiptKey = 0;
const char kImageReceiptKeys[4] = {};
const char kBackgroundImageReceiptKeys[4] = {};

// 0 normal, 1 highlighted, 2 disabled, 3 selected.
size_t slotForState(UIControlState state) {
    switch (state) {
        case UIControlStateHighlighted:
            return 1;
        case UIControlStateDisabled:
            return 2;
        case UIControlStateSelected:
            return 3;
        default:
            return 0;
    }
}

HCImageDownloadReceiptPtr receiptAt(const UIView& view, const void* key) {
    UIAssertMainThread();
    return view.associatedObject<HCImageDownloadReceipt>(key);
}

void setReceiptAt(UIView& view, const void* key, HCImageDownloadReceiptPtr receipt) {
    UIAssertMainThread();
    view.setAssociatedObject(key, receipt);
}

// A receipt with no task stands for a download that the downloader answers at once: it withdraws nothing,
// but lets that answer through.
bool sameURL(const HCImageDownloadReceiptPtr& receipt, const NSURLRequest& request) {
    if (!receipt || !receipt->task()) return false;
    const auto& active = receipt->task()->originalRequest().URL();
    const auto& asked = request.URL();
    return active && asked && active->absoluteString() == asked->absoluteString();
}

// ---- The three members: where each keeps its receipt and how it shows an image.

struct ImageViewMember {
    using View = UIImageView;
    static constexpr HCImageViewFamily family = HCImageViewFamily::ImageView;
    static const void* key(UIControlState) { return &kActiveImageDownloadReceiptKey; }
    static void show(View& view, UIControlState, const UIImagePtr& image) { view.setImage(image); }
};

struct ButtonImageMember {
    using View = UIButton;
    static constexpr HCImageViewFamily family = HCImageViewFamily::Button;
    static const void* key(UIControlState state) { return &kImageReceiptKeys[slotForState(state)]; }
    static void show(View& view, UIControlState state, const UIImagePtr& image) {
        view.setImage(image, state);
    }
};

struct ButtonBackgroundMember {
    using View = UIButton;
    static constexpr HCImageViewFamily family = HCImageViewFamily::Button;
    static const void* key(UIControlState state) { return &kBackgroundImageReceiptKeys[slotForState(state)]; }
    static void show(View& view, UIControlState state, const UIImagePtr& image) {
        view.setBackgroundImage(image, state);
    }
};

template <class Member>
void cancel(typename Member::View& view, UIControlState state) {
    auto receipt = receiptAt(view, Member::key(state));
    if (!receipt) return;
    if (receipt->task()) downloaderFor(Member::family, view)->cancelTaskForImageDownloadReceipt(receipt);
    setReceiptAt(view, Member::key(state), nullptr);
}

// Whether `identifier` is still the view's latest download for the slot.
template <class Member>
bool isLatest(typename Member::View& view, UIControlState state, const NSUUIDPtr& identifier) {
    auto receipt = receiptAt(view, Member::key(state));
    return receipt && receipt->receiptID() && receipt->receiptID()->isEqual(*identifier);
}

template <class Member>
void load(const std::shared_ptr<typename Member::View>& view, UIControlState state,
          const NSURLRequest& request, const UIImagePtr& placeholderImage, HCImageViewSuccessBlock success,
          HCImageViewFailureBlock failure) {
    UIAssertMainThread();
    if (!view) return;
    const void* key = Member::key(state);
    if (sameURL(receiptAt(*view, key), request)) return;
    cancel<Member>(*view, state);

    auto downloader = downloaderFor(Member::family, *view);
    if (auto cache = downloader->imageCache()) {
        if (auto cached = cache->imageforRequest(request, std::nullopt)) {
            if (success) {
                success(request, nullptr, cached);
            } else {
                Member::show(*view, state, cached);
            }
            setReceiptAt(*view, key, nullptr);
            return;
        }
    }

    if (placeholderImage) Member::show(*view, state, placeholderImage);
    auto identifier = NSUUID::create();
    std::weak_ptr<typename Member::View> weakView = view;
    auto receipt = downloader->downloadImageForURLRequest(
        request, identifier,
        [weakView, state, identifier, success](
            const NSURLRequest& answered, const NSHTTPURLResponsePtr& response, const UIImagePtr& image) {
            auto view = weakView.lock();
            if (!view || !isLatest<Member>(*view, state, identifier)) return;
            if (success) {
                success(answered, response, image);
            } else if (image) {
                Member::show(*view, state, image);
            }
            setReceiptAt(*view, Member::key(state), nullptr);
        },
        [weakView, state, identifier, failure](
            const NSURLRequest& answered, const NSHTTPURLResponsePtr& response, const NSErrorPtr& error) {
            auto view = weakView.lock();
            if (!view || !isLatest<Member>(*view, state, identifier)) return;
            if (failure) failure(answered, response, error);
            setReceiptAt(*view, Member::key(state), nullptr);
        });
    setReceiptAt(*view, key, receipt ? receipt : HCImageDownloadReceipt::create(nullptr, identifier));
}

NSURLRequest imageRequest(const NSURLPtr& url) {
    NSURLRequest request(url);
    request.setValue("image/*", "Accept");
    return request;
}

}  // namespace

HCImageDownloaderPtr hc_sharedImageDownloader(HCImageViewFamily family, std::type_index viewClass) {
    {
        auto& table = classDownloaders();
        std::lock_guard lock(table.mutex);
        auto& byClass = table.byClass[size_t(family)];
        if (auto found = byClass.find(viewClass); found != byClass.end()) return found->second;
    }
    return HCImageDownloader::defaultInstance();
}

void hc_setSharedImageDownloader(HCImageViewFamily family, std::type_index viewClass,
                                 HCImageDownloaderPtr downloader) {
    auto& table = classDownloaders();
    std::lock_guard lock(table.mutex);
    auto& byClass = table.byClass[size_t(family)];
    if (downloader) {
        byClass.insert_or_assign(viewClass, std::move(downloader));
    } else {
        byClass.erase(viewClass);
    }
}

// ---- UIImageView(HCNetworking)

void setImageWithURL(const UIImageViewPtr& view, const NSURLPtr& url, UIImagePtr placeholderImage) {
    setImageWithURLRequest(view, imageRequest(url), std::move(placeholderImage), nullptr, nullptr);
}

void setImageWithURLRequest(const UIImageViewPtr& view, const NSURLRequest& request,
                            UIImagePtr placeholderImage, HCImageViewSuccessBlock success,
                            HCImageViewFailureBlock failure) {
    UIAssertMainThread();
    if (!view) return;
    if (!request.URL()) {
        cancelImageDownloadTask(view);
        view->setImage(placeholderImage);
        return;
    }
    load<ImageViewMember>(view, UIControlStateNormal, request, placeholderImage, std::move(success),
                          std::move(failure));
}

void cancelImageDownloadTask(const UIImageViewPtr& view) {
    if (view) cancel<ImageViewMember>(*view, UIControlStateNormal);
}

void clearActiveDownloadInformation(const UIImageViewPtr& view) {
    hc_setActiveImageDownloadReceipt(view, nullptr);
}

bool isActiveTaskURLEqualToURLRequest(const UIImageViewPtr& view, const NSURLRequest& request) {
    return sameURL(hc_activeImageDownloadReceipt(view), request);
}

HCImageDownloadReceiptPtr hc_activeImageDownloadReceipt(const UIImageViewPtr& view) {
    return receiptAt(*view, &kActiveImageDownloadReceiptKey);
}

void hc_setActiveImageDownloadReceipt(const UIImageViewPtr& view, HCImageDownloadReceiptPtr receipt) {
    setReceiptAt(*view, &kActiveImageDownloadReceiptKey, std::move(receipt));
}

// ---- UIButton(HCNetworking)

void setImageForState(const UIButtonPtr& button, UIControlState state, const NSURLPtr& url,
                      UIImagePtr placeholderImage) {
    setImageForState(button, state, imageRequest(url), std::move(placeholderImage), nullptr, nullptr);
}

void setImageForState(const UIButtonPtr& button, UIControlState state, const NSURLRequest& request,
                      UIImagePtr placeholderImage, HCImageViewSuccessBlock success,
                      HCImageViewFailureBlock failure) {
    load<ButtonImageMember>(button, state, request, placeholderImage, std::move(success), std::move(failure));
}

void cancelImageDownloadTaskForState(const UIButtonPtr& button, UIControlState state) {
    if (button) cancel<ButtonImageMember>(*button, state);
}

bool isActiveTaskURLEqualToURLRequest(const UIButtonPtr& button, const NSURLRequest& request,
                                      UIControlState state) {
    return sameURL(hc_imageDownloadReceiptForState(button, state), request);
}

HCImageDownloadReceiptPtr hc_imageDownloadReceiptForState(const UIButtonPtr& button, UIControlState state) {
    return receiptAt(*button, ButtonImageMember::key(state));
}

void hc_setImageDownloadReceipt(const UIButtonPtr& button, HCImageDownloadReceiptPtr receipt,
                                UIControlState state) {
    setReceiptAt(*button, ButtonImageMember::key(state), std::move(receipt));
}

void setBackgroundImageForState(const UIButtonPtr& button, UIControlState state, const NSURLPtr& url,
                                UIImagePtr placeholderImage) {
    setBackgroundImageForState(button, state, imageRequest(url), std::move(placeholderImage), nullptr,
                               nullptr);
}

void setBackgroundImageForState(const UIButtonPtr& button, UIControlState state, const NSURLRequest& request,
                                UIImagePtr placeholderImage, HCImageViewSuccessBlock success,
                                HCImageViewFailureBlock failure) {
    load<ButtonBackgroundMember>(button, state, request, placeholderImage, std::move(success),
                                 std::move(failure));
}

void cancelBackgroundImageDownloadTaskForState(const UIButtonPtr& button, UIControlState state) {
    if (button) cancel<ButtonBackgroundMember>(*button, state);
}

bool isActiveBackgroundTaskURLEqualToURLRequest(const UIButtonPtr& button, const NSURLRequest& request,
                                                UIControlState state) {
    return sameURL(hc_backgroundImageDownloadReceiptForState(button, state), request);
}

HCImageDownloadReceiptPtr hc_backgroundImageDownloadReceiptForState(const UIButtonPtr& button,
                                                                    UIControlState state) {
    return receiptAt(*button, ButtonBackgroundMember::key(state));
}

void hc_setBackgroundImageDownloadReceipt(const UIButtonPtr& button, HCImageDownloadReceiptPtr receipt,
                                          UIControlState state) {
    setReceiptAt(*button, ButtonBackgroundMember::key(state), std::move(receipt));
}
