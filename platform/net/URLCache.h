// NSURLCache: the responses a URL session may hand out again without asking the server.
//
// The cache lives in memory only. Entries are keyed by the request's URL (its fragment left out) and only
// GET requests are stored or looked up. Each entry costs its body plus its URL and header text; when the
// entries together cost more than the memory capacity, the least recently used ones go (a look-up counts as
// a use). An entry that alone costs more than the capacity is not kept. Every method may be called from any
// thread.
//
// What the session stores and when it may use an entry is decided by `HTTPCacheRules` below, written for a
// private cache after the HTTP caching rules (RFC 9111), kept deliberately small: no validation with
// conditional requests, so anything that asks for validation is simply not stored.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/foundation/URLRequest.h"
#include "platform/foundation/URLResponse.h"
#include "platform/foundation/Value.h"

// A response with its body and the time it arrived (the platform clock's "now" when made).
class NSCachedURLResponse final : public Object {
  public:
    static std::shared_ptr<NSCachedURLResponse> create(NSURLResponsePtr response, Data data);
    static std::shared_ptr<NSCachedURLResponse> create(NSURLResponsePtr response, Data data, Date date);

    const NSURLResponsePtr& response() const { return response_; }
    const Data& data() const { return data_; }
    const Date& date() const { return date_; }

  private:
    NSCachedURLResponse() = default;
    NSURLResponsePtr response_;
    Data data_;
    Date date_;
};
using NSCachedURLResponsePtr = std::shared_ptr<NSCachedURLResponse>;

class NSURLCache {
  public:
    static constexpr size_t kDefaultMemoryCapacity = 4 << 20;

    // The cache of default session configurations. Lives until the process ends.
    static std::shared_ptr<NSURLCache> sharedURLCache();
    // Replaces the shared cache (a null cache is ignored). Sessions on a default configuration use the new
    // one from their next request on.
    static void setSharedURLCache(std::shared_ptr<NSURLCache> cache);
    // The disk capacity is recorded only: nothing is written to disk.
    static std::shared_ptr<NSURLCache> create(size_t memoryCapacity = kDefaultMemoryCapacity,
                                              size_t diskCapacity = 0);

    size_t memoryCapacity() const;
    // Lowering the capacity evicts at once.
    void setMemoryCapacity(size_t capacity);
    size_t diskCapacity() const { return diskCapacity_; }
    size_t currentMemoryUsage() const;
    size_t currentDiskUsage() const { return 0; }

    // The entry for a GET request's URL, or null.
    NSCachedURLResponsePtr cachedResponseForRequest(const NSURLRequest& request);
    // Stores (or replaces) the entry for a GET request's URL; other methods and null responses are ignored.
    void storeCachedResponse(NSCachedURLResponsePtr cachedResponse, const NSURLRequest& request);
    // Removes the entry for the request's URL, whatever the request's method.
    void removeCachedResponseForRequest(const NSURLRequest& request);
    void removeAllCachedResponses();
    // Runs `observer` (on the calling thread) each time removeAllCachedResponses empties the shared cache,
    // so that other caches of the same responses (the web engine's) are emptied with it.
    static void addSharedCacheClearObserver(std::function<void()> observer);

  private:
    NSURLCache(size_t memory, size_t disk) : memoryCapacity_(memory), diskCapacity_(disk) {}
    struct Entry {
        std::string key;
        NSCachedURLResponsePtr cached;
        size_t cost = 0;
    };
    using Entries = std::list<Entry>;  // most recently used first

    void evictLocked();
    void eraseLocked(Entries::iterator it);

    mutable std::mutex mutex_;
    size_t memoryCapacity_;
    const size_t diskCapacity_;
    size_t usage_ = 0;
    Entries entries_;
    std::unordered_map<std::string, Entries::iterator> index_;
};
using NSURLCachePtr = std::shared_ptr<NSURLCache>;

// When a private cache may keep a response and hand it out again.
struct HTTPCacheRules {
    // Seconds the response stays fresh counted from its arrival: "Cache-Control: max-age" when present
    // (an unreadable or repeated one counts as 0), else "Expires" less "Date" (or less `received` without a
    // readable Date; an unreadable Expires counts as 0); 0 without either.
    static double freshnessLifetime(const NSHTTPURLResponse& response, Date received);
    // How old the response was when it arrived at `received`, in seconds: its "Age", or the time since its
    // "Date" when that is more.
    static double initialAge(const NSHTTPURLResponse& response, Date received);
    // Whether the response to `request`, arrived at `received`, may be stored: a GET answered 200, no
    // "no-store" on either side, no "no-cache" on the response (it would need validation), no "Vary"
    // (entries are keyed by URL alone), and a lifetime left at arrival.
    static bool mayStore(const NSURLRequest& request, const NSHTTPURLResponse& response, Date received);
    // Whether a stored entry may be used at `now` without asking the server (an entry whose response is
    // not an HTTP response never is).
    static bool isFresh(const NSCachedURLResponse& cached, Date now);
    // Whether the request itself asks not to be answered from a cache ("Cache-Control: no-cache" or
    // "no-store", "Pragma: no-cache") or asks for part of the body ("Range").
    static bool requestBypassesCache(const NSURLRequest& request);
};
