#include "platform/net/URLCache.h"

#include <curl/curl.h>

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/TextUtil.h"

namespace {

// The cache key of a request: its absolute URL without fragment; "" when it has no URL.
std::string keyFor(const NSURLRequest& request) {
    if (!request.URL()) return "";
    const std::string& absolute = request.URL()->absoluteString();
    return absolute.substr(0, absolute.find('#'));
}

size_t costOf(const std::string& key, const NSCachedURLResponse& cached) {
    size_t cost = key.size() + cached.data().length();
    if (auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(cached.response())) {
        for (const auto& [name, value] : http->headerFields().fields())
            cost += name.size() + value.size() + 4;
    }
    return cost;
}

// Cache-Control directives: lower-case names to their (unquoted) values, "" for a bare directive. A name
// seen twice maps to nullopt, so that contradicting values count as unreadable.
using Directives = std::map<std::string, std::optional<std::string>>;

Directives parseCacheControl(const std::optional<std::string>& header) {
    Directives directives;
    if (!header) return directives;
    std::string_view text = *header;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = i;
        bool quoted = false;
        for (; end < text.size(); ++end) {
            char c = text[end];
            if (c == '"') quoted = !quoted;
            if (c == '\\' && quoted && end + 1 < text.size()) ++end;
            if (c == ',' && !quoted) break;
        }
        std::string_view item = TextUtil::trim(text.substr(i, end - i));
        i = end + 1;
        if (item.empty()) continue;
        size_t equals = item.find('=');
        std::string name = TextUtil::toLowerASCII(TextUtil::trim(item.substr(0, equals)));
        std::string value;
        if (equals != std::string_view::npos) {
            std::string_view raw = TextUtil::trim(item.substr(equals + 1));
            if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
                raw = raw.substr(1, raw.size() - 2);
            value = std::string(raw);
        }
        auto [it, added] = directives.emplace(name, value);
        if (!added) it->second.reset();
    }
    return directives;
}

bool has(const Directives& directives, const char* name) {
    return directives.count(name) > 0;
}

// A delta-seconds value; nullopt when it is not one.
std::optional<double> deltaSeconds(const std::optional<std::string>& text) {
    if (!text || text->empty() || text->size() > 18) return std::nullopt;
    double value = 0;
    for (char c : *text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// An HTTP date as a Date; nullopt when it cannot be read.
std::optional<Date> httpDate(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    time_t seconds = curl_getdate(text->c_str(), nullptr);
    if (seconds == -1) return std::nullopt;
    return Date::fromUnixTime(double(seconds));
}

}  // namespace

// ----- NSCachedURLResponse -----

NSCachedURLResponsePtr NSCachedURLResponse::create(NSURLResponsePtr response, Data data) {
    return create(std::move(response), std::move(data), Clock::now());
}

NSCachedURLResponsePtr NSCachedURLResponse::create(NSURLResponsePtr response, Data data, Date date) {
    auto cached = NSCachedURLResponsePtr(new NSCachedURLResponse());
    cached->response_ = std::move(response);
    cached->data_ = std::move(data);
    cached->date_ = date;
    return cached;
}

// ----- NSURLCache -----

namespace {

std::mutex& sharedCacheMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<NSURLCache>& sharedCacheSlot() {
    static auto* slot = new std::shared_ptr<NSURLCache>(NSURLCache::create());
    return *slot;
}

}  // namespace

std::shared_ptr<NSURLCache> NSURLCache::sharedURLCache() {
    std::lock_guard lock(sharedCacheMutex());
    return sharedCacheSlot();
}

void NSURLCache::setSharedURLCache(std::shared_ptr<NSURLCache> cache) {
    std::lock_guard lock(sharedCacheMutex());
    if (cache) sharedCacheSlot() = std::move(cache);
}

std::shared_ptr<NSURLCache> NSURLCache::create(size_t memoryCapacity, size_t diskCapacity) {
    return std::shared_ptr<NSURLCache>(new NSURLCache(memoryCapacity, diskCapacity));
}

size_t NSURLCache::memoryCapacity() const {
    std::lock_guard lock(mutex_);
    return memoryCapacity_;
}

void NSURLCache::setMemoryCapacity(size_t capacity) {
    std::lock_guard lock(mutex_);
    memoryCapacity_ = capacity;
    evictLocked();
}

size_t NSURLCache::currentMemoryUsage() const {
    std::lock_guard lock(mutex_);
    return usage_;
}

NSCachedURLResponsePtr NSURLCache::cachedResponseForRequest(const NSURLRequest& request) {
    if (request.HTTPMethod() != "GET") return nullptr;
    std::string key = keyFor(request);
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    entries_.splice(entries_.begin(), entries_, it->second);
    return it->second->cached;
}

void NSURLCache::storeCachedResponse(NSCachedURLResponsePtr cachedResponse, const NSURLRequest& request) {
    if (!cachedResponse || request.HTTPMethod() != "GET") return;
    std::string key = keyFor(request);
    if (key.empty()) return;
    size_t cost = costOf(key, *cachedResponse);
    std::lock_guard lock(mutex_);
    if (auto it = index_.find(key); it != index_.end()) eraseLocked(it->second);  // superseded either way
    if (cost > memoryCapacity_) return;
    entries_.push_front(Entry{key, std::move(cachedResponse), cost});
    index_[key] = entries_.begin();
    usage_ += cost;
    evictLocked();
}

void NSURLCache::removeCachedResponseForRequest(const NSURLRequest& request) {
    std::lock_guard lock(mutex_);
    // A session does this after most requests, mostly with nothing stored: then no key is made.
    if (index_.empty()) return;
    if (auto it = index_.find(keyFor(request)); it != index_.end()) eraseLocked(it->second);
}

namespace {

std::mutex& clearObserversMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::vector<std::function<void()>>& clearObservers() {
    static auto* observers = new std::vector<std::function<void()>>;
    return *observers;
}

}  // namespace

void NSURLCache::addSharedCacheClearObserver(std::function<void()> observer) {
    std::lock_guard lock(clearObserversMutex());
    clearObservers().push_back(std::move(observer));
}

void NSURLCache::removeAllCachedResponses() {
    {
        std::lock_guard lock(mutex_);
        entries_.clear();
        index_.clear();
        usage_ = 0;
    }
    if (sharedURLCache().get() != this) return;
    std::vector<std::function<void()>> observers;
    {
        std::lock_guard lock(clearObserversMutex());
        observers = clearObservers();
    }
    for (auto& observer : observers) observer();
}

void NSURLCache::evictLocked() {
    while (usage_ > memoryCapacity_ && !entries_.empty()) eraseLocked(std::prev(entries_.end()));
}

void NSURLCache::eraseLocked(Entries::iterator it) {
    usage_ -= it->cost;
    index_.erase(it->key);
    entries_.erase(it);
}

// ----- HTTPCacheRules -----

double HTTPCacheRules::freshnessLifetime(const NSHTTPURLResponse& response, Date received) {
    Directives directives = parseCacheControl(response.valueForHTTPHeaderField("Cache-Control"));
    if (auto it = directives.find("max-age"); it != directives.end())
        return deltaSeconds(it->second).value_or(0);
    auto expiresHeader = response.valueForHTTPHeaderField("Expires");
    if (!expiresHeader) return 0;
    auto expires = httpDate(expiresHeader);
    if (!expires) return 0;  // "0" and other junk mean "already expired"
    Date origin = httpDate(response.valueForHTTPHeaderField("Date")).value_or(received);
    return std::max(0.0, expires->timeIntervalSinceDate(origin));
}

double HTTPCacheRules::initialAge(const NSHTTPURLResponse& response, Date received) {
    double age = deltaSeconds(response.valueForHTTPHeaderField("Age")).value_or(0);
    if (auto date = httpDate(response.valueForHTTPHeaderField("Date")))
        age = std::max(age, received.timeIntervalSinceDate(*date));
    return age;
}

bool HTTPCacheRules::mayStore(const NSURLRequest& request, const NSHTTPURLResponse& response, Date received) {
    if (request.HTTPMethod() != "GET" || response.statusCode() != 200) return false;
    if (has(parseCacheControl(request.valueForHTTPHeaderField("Cache-Control")), "no-store")) return false;
    Directives directives = parseCacheControl(response.valueForHTTPHeaderField("Cache-Control"));
    if (has(directives, "no-store") || has(directives, "no-cache")) return false;
    if (response.valueForHTTPHeaderField("Vary")) return false;
    return freshnessLifetime(response, received) > initialAge(response, received);
}

bool HTTPCacheRules::isFresh(const NSCachedURLResponse& cached, Date now) {
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(cached.response());
    if (!http) return false;
    double age = initialAge(*http, cached.date()) + std::max(0.0, now.timeIntervalSinceDate(cached.date()));
    return age < freshnessLifetime(*http, cached.date());
}

bool HTTPCacheRules::requestBypassesCache(const NSURLRequest& request) {
    Directives directives = parseCacheControl(request.valueForHTTPHeaderField("Cache-Control"));
    if (has(directives, "no-cache") || has(directives, "no-store")) return true;
    if (parseCacheControl(request.valueForHTTPHeaderField("Pragma")).count("no-cache")) return true;
    return request.valueForHTTPHeaderField("Range").has_value();
}
