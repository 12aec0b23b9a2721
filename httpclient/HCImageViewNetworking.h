// Image views and buttons that show an image from a URL, through a shared image downloader.
//
// Each call shows a placeholder, answers at once from the downloader's image cache when it can, and
// otherwise downloads; only the answer to the latest call for a view (for a button: for a view and a state
// slot) reaches it. A view remembers the receipt of its one active download, so that a newer call, or a
// cancel, withdraws the older one: the blocks of a withdrawn call never run.
//
// The full operation, on the main thread:
//   1. (image view only) a request without a URL cancels the active download and shows the placeholder
//      (none: no image);
//   2. the same URL as the active download: nothing happens; the running download answers with the blocks
//      of the earlier call, and the new placeholder and blocks are not used;
//   3. the active download, if any, is withdrawn;
//   4. a cache hit answers synchronously: the success block gets (request, nil, image) and then sets the
//      image itself; without one the view shows the image;
//   5. otherwise the placeholder, if given, is shown and the download starts; its answer comes on the main
//      queue. Success: the success block if given (it sets the image itself), else the view shows the
//      image. Failure: the failure block if given; the placeholder stays.
// A download that the downloader answers at once (a request it cannot send, an image that reached its
// cache meanwhile) is still answered to the view's blocks, on the main queue, unless a newer call or a
// cancel came first.
//
// Button state slots: highlighted (1), disabled (2) and selected (4) have their own slot; every other
// value, combinations such as 3 included, uses the normal slot. Images and background images have separate
// slots.
//
// Shared downloader: set per class. A view asks for the one set for its own dynamic class (a subclass does
// not see its superclass's), else the downloader's `defaultInstance`.
#pragma once

#include <concepts>
#include <memory>
#include <typeindex>
#include <typeinfo>

#include "httpclient/HCImageDownloader.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIImageView.h"

using HCImageViewSuccessBlock = HCImageDownloadSuccessBlock;
using HCImageViewFailureBlock = HCImageDownloadFailureBlock;

// The per-class downloaders of the two families; nullptr in `set` removes the class's own.
enum class HCImageViewFamily { ImageView, Button };
HCImageDownloaderPtr hc_sharedImageDownloader(HCImageViewFamily family, std::type_index viewClass);
void hc_setSharedImageDownloader(HCImageViewFamily family, std::type_index viewClass,
                                 HCImageDownloaderPtr downloader);

// Class methods of both families: `sharedImageDownloader<UIImageView>()`,
// `setSharedImageDownloader<MyButton>(d)`.
template <class ViewClass>
requires std::derived_from<ViewClass, UIImageView> || std::derived_from<ViewClass, UIButton>
    HCImageDownloaderPtr sharedImageDownloader() {
    return hc_sharedImageDownloader(
        std::derived_from<ViewClass, UIButton> ? HCImageViewFamily::Button : HCImageViewFamily::ImageView,
        typeid(ViewClass));
}
template <class ViewClass>
requires std::derived_from<ViewClass, UIImageView> || std::derived_from<ViewClass, UIButton>
void setSharedImageDownloader(HCImageDownloaderPtr downloader) {
    hc_setSharedImageDownloader(
        std::derived_from<ViewClass, UIButton> ? HCImageViewFamily::Button : HCImageViewFamily::ImageView,
        typeid(ViewClass), std::move(downloader));
}

// ---- UIImageView(HCNetworking)
// The short forms ask for "Accept: image/*" and pass no blocks.
void setImageWithURL(const UIImageViewPtr& view, const NSURLPtr& url, UIImagePtr placeholderImage = nullptr);
void setImageWithURLRequest(const UIImageViewPtr& view, const NSURLRequest& request,
                            UIImagePtr placeholderImage, HCImageViewSuccessBlock success,
                            HCImageViewFailureBlock failure);
// Withdraws the active download, if any.
void cancelImageDownloadTask(const UIImageViewPtr& view);
// Forgets the active download without withdrawing it.
void clearActiveDownloadInformation(const UIImageViewPtr& view);
// Whether the active download's URL is the request's (compared as absolute strings); false when none.
bool isActiveTaskURLEqualToURLRequest(const UIImageViewPtr& view, const NSURLRequest& request);
HCImageDownloadReceiptPtr hc_activeImageDownloadReceipt(const UIImageViewPtr& view);
void hc_setActiveImageDownloadReceipt(const UIImageViewPtr& view, HCImageDownloadReceiptPtr receipt);

// ---- UIButton(HCNetworking): the same per state slot, for the image and for the background image.
void setImageForState(const UIButtonPtr& button, UIControlState state, const NSURLPtr& url,
                      UIImagePtr placeholderImage = nullptr);
void setImageForState(const UIButtonPtr& button, UIControlState state, const NSURLRequest& request,
                      UIImagePtr placeholderImage, HCImageViewSuccessBlock success,
                      HCImageViewFailureBlock failure);
void cancelImageDownloadTaskForState(const UIButtonPtr& button, UIControlState state);
bool isActiveTaskURLEqualToURLRequest(const UIButtonPtr& button, const NSURLRequest& request,
                                      UIControlState state);
HCImageDownloadReceiptPtr hc_imageDownloadReceiptForState(const UIButtonPtr& button, UIControlState state);
void hc_setImageDownloadReceipt(const UIButtonPtr& button, HCImageDownloadReceiptPtr receipt,
                                UIControlState state);

void setBackgroundImageForState(const UIButtonPtr& button, UIControlState state, const NSURLPtr& url,
                                UIImagePtr placeholderImage = nullptr);
void setBackgroundImageForState(const UIButtonPtr& button, UIControlState state, const NSURLRequest& request,
                                UIImagePtr placeholderImage, HCImageViewSuccessBlock success,
                                HCImageViewFailureBlock failure);
void cancelBackgroundImageDownloadTaskForState(const UIButtonPtr& button, UIControlState state);
bool isActiveBackgroundTaskURLEqualToURLRequest(const UIButtonPtr& button, const NSURLRequest& request,
                                                UIControlState state);
HCImageDownloadReceiptPtr hc_backgroundImageDownloadReceiptForState(const UIButtonPtr& button,
                                                                    UIControlState state);
void hc_setBackgroundImageDownloadReceipt(const UIButtonPtr& button, HCImageDownloadReceiptPtr receipt,
                                          UIControlState state);
