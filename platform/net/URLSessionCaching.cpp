// The session's side of the URL cache: answering from it, keeping a body for it, storing and removing.
#include "platform/net/URLSessionInternal.h"

#include "platform/foundation/Clock.h"

using namespace URLSessionSupport;

// The policy for a task's request: its own, or the configuration's when the request keeps the default.
NSURLRequestCachePolicy NSURLSession::Impl::cachePolicyFor(const NSURLRequest& request) const {
    auto policy = request.cachePolicy();
    return policy == NSURLRequestCachePolicy::UseProtocolCachePolicy ? configuration->requestCachePolicy()
                                                                     : policy;
}

// Stores a complete response, asking the delegate first when it wants a say.
void NSURLSession::Impl::offerToCache(const NSURLSessionTaskPtr& task, const NSURLCachePtr& cache,
                                      const NSURLRequest& request, NSCachedURLResponsePtr proposed) {
    bool ask =
        !task->internal_->completion && delegateResponds(NSURLSessionDelegate::Method::WillCacheResponse);
    if (!ask) {
        cache->storeCachedResponse(std::move(proposed), request);
        return;
    }
    auto store = [cache, request](NSCachedURLResponsePtr chosen) {
        if (chosen) cache->storeCachedResponse(std::move(chosen), request);
    };
    auto handler = onceHandler<NSCachedURLResponsePtr>(store, nullptr);
    auto session = self();
    auto dataTask = std::static_pointer_cast<NSURLSessionDataTask>(task);
    enqueue([this, session, dataTask, proposed, handler] {
        if (auto current = currentDelegate()) {
            current->willCacheResponse(session, dataTask, proposed, handler);
        } else {
            handler(proposed);
        }
    });
}

// Answers a task's first request from the cache when its policy lets a stored response do (see the top of
// URLSession.h); true when the task needs no network.
bool NSURLSessionIO::answerFromCache(const NSURLSessionTaskPtr& task, const NSURLRequest& request) {
    NSURLSession::Impl& impl = implOf(task);
    auto policy = impl.cachePolicyFor(request);
    auto cache = impl.configuration->URLCache();
    NSCachedURLResponsePtr cached;
    if (cache && request.HTTPMethod() == "GET") {
        switch (policy) {
            case NSURLRequestCachePolicy::UseProtocolCachePolicy:
                if (HTTPCacheRules::requestBypassesCache(request)) break;
                cached = cache->cachedResponseForRequest(request);
                if (cached && !HTTPCacheRules::isFresh(*cached, Clock::now())) cached = nullptr;
                break;
            case NSURLRequestCachePolicy::ReturnCacheDataElseLoad:
            case NSURLRequestCachePolicy::ReturnCacheDataDontLoad:
                cached = cache->cachedResponseForRequest(request);
                break;
            default:
                break;
        }
    }
    if (!cached) {
        if (policy != NSURLRequestCachePolicy::ReturnCacheDataDontLoad) return false;
        impl.completeTask(task, NSURLError(NSURLErrorResourceUnavailable, request.URL(),
                                           "no stored response, and the cache policy forbids loading"));
        return true;
    }
    {
        std::lock_guard lock(task->mutex_);
        task->currentRequest_ = request;
    }
    deliverBufferedResponse(task, cached->response(), cached->data());
    return true;
}

// On a final response (not a redirect) of a data or upload task: whether its body is to be kept for the
// cache.
void NSURLSessionIO::considerCaching(URLSessionTransfer& t) {
    t.cacheable = false;
    t.cacheBody.clear();
    t.cache = t.impl->configuration->URLCache();
    if (!t.cache) return;
    t.receivedAt = Clock::now();
    t.cacheable = HTTPCacheRules::mayStore(t.request, *t.response, t.receivedAt);
}

// A transfer that completed without error: its response goes into the cache, or supersedes what is there.
void NSURLSessionIO::updateCache(URLSessionTransfer& t) {
    if (!t.cache || !t.response) return;
    const std::string& method = t.request.HTTPMethod();
    if (t.cacheable) {
        auto cached = NSCachedURLResponse::create(t.response, Data(std::move(t.cacheBody)), t.receivedAt);
        t.impl->offerToCache(t.task, t.cache, t.request, std::move(cached));
    } else if (method == "GET" ? t.response->statusCode() == 200
                               : method != "HEAD" && method != "OPTIONS" && method != "TRACE" &&
                                     t.response->statusCode() < 400) {
        t.cache->removeCachedResponseForRequest(t.request);
    }
}
