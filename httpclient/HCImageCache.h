// In-memory image caches.
//
// HCImageCache keys images by a string identifier; HCImageRequestCache adds the same operations keyed by a
// URL request (the absolute string of its URL, followed directly by an optional additional identifier).
// A request without a URL has no key: it adds nothing, removes nothing and finds nothing.
//
// HCAutoPurgingImageCache keeps decoded images within a byte budget. Each entry costs an estimate of its
// decoded size (pixels x 4 bytes). When an insert leaves the use above `memoryCapacity`, the entries least
// recently added or read are dropped, oldest first, until the use is at or below
// `preferredMemoryUsageAfterPurge` (or `memoryCapacity`, if that is lower); the entry just added may go too.
// A memory warning empties the cache.
//
// Threads: any. Changes run as barrier blocks on the cache's own concurrent queue: adds asynchronously
// (an add returns at once, but a later look-up or removal by the same thread sees it), removals
// synchronously. Look-ups and `memoryUsage` run alongside each other, never alongside a change.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/URLRequest.h"
#include "platform/graphics/UIImage.h"

class HCImageCache {
  public:
    virtual ~HCImageCache() = default;
    // A nil image is not stored.
    virtual void addImage(const UIImagePtr& image, const std::string& identifier) = 0;
    // true when an entry was removed.
    virtual bool removeImageWithIdentifier(const std::string& identifier) = 0;
    // true when the cache held at least one entry.
    virtual bool removeAllImages() = 0;
    virtual UIImagePtr imageWithIdentifier(const std::string& identifier) = 0;
};

class HCImageRequestCache : public HCImageCache {
  public:
    virtual void addImage(const UIImagePtr& image, const NSURLRequest& request,
                          const std::optional<std::string>& additionalIdentifier) = 0;
    virtual bool removeImageforRequest(const NSURLRequest& request,
                                       const std::optional<std::string>& additionalIdentifier) = 0;
    virtual UIImagePtr imageforRequest(const NSURLRequest& request,
                                       const std::optional<std::string>& additionalIdentifier) = 0;
    using HCImageCache::addImage;
};

// One cache entry.
class HCCachedImage final : public Object {
  public:
    static std::shared_ptr<HCCachedImage> create(UIImagePtr image, std::string identifier);

    const UIImagePtr& image() const { return image_; }
    const std::string& identifier() const { return identifier_; }
    // Width x scale x height x scale x 4, fixed at creation; 0 for a nil image.
    uint64_t totalBytes() const { return totalBytes_; }
    Date lastAccessDate() const { return Date{lastAccess_.load()}; }
    // Order of the last access among all entries (purges go by it: it has no ties and never runs back).
    uint64_t accessSequence() const { return accessSequence_.load(); }
    // Marks the entry as just used and returns its image. Safe to call from several threads at once.
    const UIImagePtr& accessImage();

    // "Idenfitier: <identifier>  lastAccessDate: <date> "
    std::string description() const override;

  private:
    HCCachedImage(UIImagePtr image, std::string identifier);
    void touch();

    UIImagePtr image_;
    std::string identifier_;
    uint64_t totalBytes_ = 0;
    std::atomic<double> lastAccess_{0};
    std::atomic<uint64_t> accessSequence_{0};
};

using HCCachedImagePtr = std::shared_ptr<HCCachedImage>;

class HCAutoPurgingImageCache final : public Object, public HCImageRequestCache {
  public:
    static constexpr uint64_t kDefaultMemoryCapacity = 100 * 1024 * 1024;
    static constexpr uint64_t kDefaultPreferredMemoryUsageAfterPurge = 60 * 1024 * 1024;

    static std::shared_ptr<HCAutoPurgingImageCache> create(
        uint64_t memoryCapacity = kDefaultMemoryCapacity,
        uint64_t preferredMemoryCapacity = kDefaultPreferredMemoryUsageAfterPurge);
    ~HCAutoPurgingImageCache() override;

    // The new values apply from the next insert.
    uint64_t memoryCapacity() const { return memoryCapacity_.load(); }
    void setMemoryCapacity(uint64_t bytes) { memoryCapacity_.store(bytes); }
    uint64_t preferredMemoryUsageAfterPurge() const { return preferredMemoryUsageAfterPurge_.load(); }
    void setPreferredMemoryUsageAfterPurge(uint64_t bytes) { preferredMemoryUsageAfterPurge_.store(bytes); }
    // The sum of the entries' sizes.
    uint64_t memoryUsage() const;

    void addImage(const UIImagePtr& image, const std::string& identifier) override;
    bool removeImageWithIdentifier(const std::string& identifier) override;
    bool removeAllImages() override;
    UIImagePtr imageWithIdentifier(const std::string& identifier) override;

    void addImage(const UIImagePtr& image, const NSURLRequest& request,
                  const std::optional<std::string>& additionalIdentifier) override;
    bool removeImageforRequest(const NSURLRequest& request,
                               const std::optional<std::string>& additionalIdentifier) override;
    UIImagePtr imageforRequest(const NSURLRequest& request,
                               const std::optional<std::string>& additionalIdentifier) override;

    // The key of a request: its URL's absolute string followed by the additional identifier; nullopt when
    // the request has no URL.
    static std::optional<std::string> imageCacheKeyFromURLRequest(
        const NSURLRequest& request, const std::optional<std::string>& additionalIdentifier);

  private:
    HCAutoPurgingImageCache(uint64_t memoryCapacity, uint64_t preferredMemoryCapacity);
    // On the queue, as a barrier.
    void purgeIfNeeded();

    std::map<std::string, HCCachedImagePtr> cachedImages_;  // on synchronizationQueue_ only
    DispatchQueuePtr synchronizationQueue_;
    std::atomic<uint64_t> memoryCapacity_;
    std::atomic<uint64_t> preferredMemoryUsageAfterPurge_;
    uint64_t currentMemoryUsage_ = 0;  // on synchronizationQueue_ only
    NSNotificationCenter::Token memoryWarningObserver_ = 0;
};

using HCAutoPurgingImageCachePtr = std::shared_ptr<HCAutoPurgingImageCache>;
