#include "httpclient/HCImageCache.h"

#include <algorithm>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/NSUUID.h"
#include "platform/uikit/UIApplication.h"

namespace {

uint64_t nextAccessSequence() {
    static std::atomic<uint64_t> sequence{0};
    return ++sequence;
}

uint64_t estimatedBytes(const UIImagePtr& image) {
    if (!image) return 0;
    const CGSize size = image->size();
    const CGFloat scale = image->scale();
    const CGFloat pixels = size.width * scale * size.height * scale;
    if (!(pixels > 0)) return 0;
    return uint64_t(pixels) * 4;
}

}  // namespace

// ---- HCCachedImage

std::shared_ptr<HCCachedImage> HCCachedImage::create(UIImagePtr image, std::string identifier) {
    return std::shared_ptr<HCCachedImage>(new HCCachedImage(std::move(image), std::move(identifier)));
}

HCCachedImage::HCCachedImage(UIImagePtr image, std::string identifier)
    : image_(std::move(image)), identifier_(std::move(identifier)), totalBytes_(estimatedBytes(image_)) {
    touch();
}

void HCCachedImage::touch() {
    lastAccess_.store(Clock::now().secondsSinceReferenceDate);
    accessSequence_.store(nextAccessSequence());
}

const UIImagePtr& HCCachedImage::accessImage() {
    touch();
    return image_;
}

std::string HCCachedImage::description() const {
    return NSString::format("Idenfitier: %@  lastAccessDate: %@ ", {identifier_, lastAccessDate()});
}

// ---- HCAutoPurgingImageCache

std::shared_ptr<HCAutoPurgingImageCache> HCAutoPurgingImageCache::create(uint64_t memoryCapacity,
                                                                         uint64_t preferredMemoryCapacity) {
    std::shared_ptr<HCAutoPurgingImageCache> cache(
        new HCAutoPurgingImageCache(memoryCapacity, preferredMemoryCapacity));
    std::weak_ptr<HCAutoPurgingImageCache> weak = cache;
    cache->memoryWarningObserver_ = NSNotificationCenter::defaultCenter().addObserver(
        weak, UIApplicationDidReceiveMemoryWarningNotification, nullptr, [weak](const NSNotification&) {
            if (auto self = weak.lock()) self->removeAllImages();
        });
    return cache;
}

HCAutoPurgingImageCache::HCAutoPurgingImageCache(uint64_t memoryCapacity, uint64_t preferredMemoryCapacity)
    : synchronizationQueue_(DispatchQueue::concurrent(
          NSString::format("com.hcnet.autopurgingimagecache-%@", {NSUUID::create()->UUIDString()}))),
      memoryCapacity_(memoryCapacity),
      preferredMemoryUsageAfterPurge_(preferredMemoryCapacity) {}

HCAutoPurgingImageCache::~HCAutoPurgingImageCache() {
    NSNotificationCenter::defaultCenter().removeObserver(memoryWarningObserver_);
}

uint64_t HCAutoPurgingImageCache::memoryUsage() const {
    uint64_t usage = 0;
    synchronizationQueue_->sync([&] { usage = currentMemoryUsage_; });
    return usage;
}

void HCAutoPurgingImageCache::addImage(const UIImagePtr& image, const std::string& identifier) {
    if (!image) return;
    auto self = std::static_pointer_cast<HCAutoPurgingImageCache>(shared_from_this());
    synchronizationQueue_->barrierAsync([self, image, identifier] {
        auto entry = HCCachedImage::create(image, identifier);
        auto [it, inserted] = self->cachedImages_.try_emplace(identifier, entry);
        if (!inserted) {
            self->currentMemoryUsage_ -= it->second->totalBytes();
            it->second = entry;
        }
        self->currentMemoryUsage_ += entry->totalBytes();
    });
    synchronizationQueue_->barrierAsync([self] { self->purgeIfNeeded(); });
}

void HCAutoPurgingImageCache::purgeIfNeeded() {
    const uint64_t capacity = memoryCapacity();
    if (currentMemoryUsage_ <= capacity) return;
    // A preferred use above the capacity would leave the cache over budget: purge down to the capacity.
    const uint64_t target = std::min(preferredMemoryUsageAfterPurge(), capacity);
    const uint64_t bytesToPurge = currentMemoryUsage_ - target;

    // Oldest access first. The access sequence orders accesses exactly, also those within one tick of the
    // clock; it is read once per entry, since look-ups may touch entries while we sort.
    std::vector<std::pair<uint64_t, HCCachedImagePtr>> byAccess;
    byAccess.reserve(cachedImages_.size());
    for (const auto& [identifier, entry] : cachedImages_)
        byAccess.emplace_back(entry->accessSequence(), entry);
    std::sort(byAccess.begin(), byAccess.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    uint64_t purged = 0;
    for (const auto& [when, entry] : byAccess) {
        cachedImages_.erase(entry->identifier());
        purged += entry->totalBytes();
        if (purged >= bytesToPurge) break;
    }
    currentMemoryUsage_ -= std::min(purged, currentMemoryUsage_);
}

bool HCAutoPurgingImageCache::removeImageWithIdentifier(const std::string& identifier) {
    bool removed = false;
    synchronizationQueue_->barrierSync([&] {
        auto it = cachedImages_.find(identifier);
        if (it == cachedImages_.end()) return;
        currentMemoryUsage_ -= it->second->totalBytes();
        cachedImages_.erase(it);
        removed = true;
    });
    return removed;
}

bool HCAutoPurgingImageCache::removeAllImages() {
    bool removed = false;
    synchronizationQueue_->barrierSync([&] {
        if (cachedImages_.empty()) return;
        cachedImages_.clear();
        currentMemoryUsage_ = 0;
        removed = true;
    });
    return removed;
}

UIImagePtr HCAutoPurgingImageCache::imageWithIdentifier(const std::string& identifier) {
    UIImagePtr image;
    synchronizationQueue_->sync([&] {
        auto it = cachedImages_.find(identifier);
        if (it != cachedImages_.end()) image = it->second->accessImage();
    });
    return image;
}

std::optional<std::string> HCAutoPurgingImageCache::imageCacheKeyFromURLRequest(
    const NSURLRequest& request, const std::optional<std::string>& additionalIdentifier) {
    if (!request.URL()) return std::nullopt;
    std::string key = request.URL()->absoluteString();
    if (additionalIdentifier) key += *additionalIdentifier;
    return key;
}

void HCAutoPurgingImageCache::addImage(const UIImagePtr& image, const NSURLRequest& request,
                                       const std::optional<std::string>& additionalIdentifier) {
    if (auto key = imageCacheKeyFromURLRequest(request, additionalIdentifier)) addImage(image, *key);
}

bool HCAutoPurgingImageCache::removeImageforRequest(const NSURLRequest& request,
                                                    const std::optional<std::string>& additionalIdentifier) {
    auto key = imageCacheKeyFromURLRequest(request, additionalIdentifier);
    return key && removeImageWithIdentifier(*key);
}

UIImagePtr HCAutoPurgingImageCache::imageforRequest(const NSURLRequest& request,
                                                    const std::optional<std::string>& additionalIdentifier) {
    auto key = imageCacheKeyFromURLRequest(request, additionalIdentifier);
    return key ? imageWithIdentifier(*key) : nullptr;
}
