// The URL cache on its own (keys, LRU eviction, threads) and under sessions: cache policies against the
// freshness headers of the stored response, what is never stored, the delegate's say, and which sessions
// share which cache. Hit counts on the loopback server tell whether a task used the network.
#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "platform/foundation/Clock.h"
#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackServer.h"

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

NSURLRequest get(const std::string& url,
                 NSURLRequestCachePolicy policy = NSURLRequestCachePolicy::UseProtocolCachePolicy) {
    return NSURLRequest(NSURL::URLWithString(url), policy);
}

NSCachedURLResponsePtr entry(const std::string& url, size_t bodySize) {
    auto response = NSHTTPURLResponse::create(NSURL::URLWithString(url), 200, "HTTP/1.1", {});
    return NSCachedURLResponse::create(response, Data::fromString(std::string(bodySize, 'x')));
}

std::string httpDate(Date date) {
    time_t seconds = time_t(date.unixTime());
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

NSURLSessionConfigurationPtr configurationWith(const NSURLCachePtr& cache) {
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setURLCache(cache);
    return configuration;
}

struct Fetched {
    std::string body;
    long error = 0;
    std::vector<std::string> shape;
    NSURLResponsePtr response;
};

// One data task through a new session on `configuration`, to completion.
Fetched fetch(const NSURLSessionConfigurationPtr& configuration, const NSURLRequest& request,
              std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>()) {
    RecordingSession s(configuration, delegate);
    s.runData(request);
    EXPECT_FALSE(delegate->wrongQueue);
    auto shape = delegate->shape();
    std::lock_guard lock(delegate->mutex_);
    return {delegate->body, delegate->error ? delegate->error->code() : 0, shape, delegate->response};
}

// Replies to every request for `path` with "<method> <n>" (n counting from 1) and the given headers.
void serveCounting(LoopbackServer& server, const std::string& path, Headers headers, int status = 200) {
    auto count = std::make_shared<std::atomic<int>>(0);
    server.on("", path, [count, headers, status](const LoopbackRequest& request) {
        LoopbackReply reply = LoopbackReply::text(request.method + " " + std::to_string(++*count), status);
        reply.headers = headers;
        return reply;
    });
}

// Installs a new, empty shared cache for the scope of a test.
struct FreshSharedCache {
    NSURLCachePtr previous = NSURLCache::sharedURLCache();
    NSURLCachePtr cache = NSURLCache::create();
    FreshSharedCache() { NSURLCache::setSharedURLCache(cache); }
    ~FreshSharedCache() { NSURLCache::setSharedURLCache(previous); }
};

TEST(URLCache, KeepsTheMostRecentlyUsedWithinCapacity) {
    auto cache = NSURLCache::create(10000);
    auto has = [&](const std::string& url) { return cache->cachedResponseForRequest(get(url)) != nullptr; };
    cache->storeCachedResponse(entry("http://h/a", 4000), get("http://h/a"));
    cache->storeCachedResponse(entry("http://h/b", 4000), get("http://h/b"));
    EXPECT_TRUE(has("http://h/a#top"));  // the fragment is no part of the key; a look-up is a use
    cache->storeCachedResponse(entry("http://h/c", 4000), get("http://h/c"));
    EXPECT_TRUE(has("http://h/a"));
    EXPECT_FALSE(has("http://h/b"));
    EXPECT_TRUE(has("http://h/c"));
    EXPECT_LE(cache->currentMemoryUsage(), 10000u);

    // An entry larger than the whole cache is not kept, and what it replaces is gone too.
    size_t before = cache->currentMemoryUsage();
    cache->storeCachedResponse(entry("http://h/huge", 20000), get("http://h/huge"));
    EXPECT_FALSE(has("http://h/huge"));
    EXPECT_EQ(cache->currentMemoryUsage(), before);
    cache->storeCachedResponse(entry("http://h/a", 20000), get("http://h/a"));
    EXPECT_FALSE(has("http://h/a"));

    // Only GET is stored and looked up; removal goes by URL.
    NSMutableURLRequest post(NSURL::URLWithString("http://h/p"));
    post.setHTTPMethod("POST");
    cache->storeCachedResponse(entry("http://h/p", 10), post);
    EXPECT_FALSE(has("http://h/p"));
    post.setURL(NSURL::URLWithString("http://h/c"));
    EXPECT_FALSE(cache->cachedResponseForRequest(post));
    cache->removeCachedResponseForRequest(post);
    EXPECT_FALSE(has("http://h/c"));
    EXPECT_EQ(cache->currentMemoryUsage(), 0u);

    cache->storeCachedResponse(entry("http://h/d", 3000), get("http://h/d"));
    cache->storeCachedResponse(entry("http://h/e", 3000), get("http://h/e"));
    cache->setMemoryCapacity(5000);  // shrinking evicts at once
    EXPECT_FALSE(has("http://h/d"));
    EXPECT_TRUE(has("http://h/e"));
}

TEST(URLCache, ThreadsStoringAndLookingUpStayWithinCapacity) {
    auto cache = NSURLCache::create(20000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([cache, t] {
            for (int i = 0; i < 300; ++i) {
                std::string url = "http://h/" + std::to_string((i * 7 + t) % 23);
                if (i % 3 == 0) {
                    cache->storeCachedResponse(entry(url, 1000 + 100 * t), get(url));
                } else if (i % 17 == 0) {
                    cache->removeCachedResponseForRequest(get(url));
                } else if (auto found = cache->cachedResponseForRequest(get(url))) {
                    EXPECT_EQ(found->response()->URL()->absoluteString(), url);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_LE(cache->currentMemoryUsage(), 20000u);
    EXPECT_GT(cache->currentMemoryUsage(), 0u);
}

// A first GET with the default policy stores (or not) the response; a second GET with each policy, after
// `later` seconds, tells from the server's hits whether the stored response was used.
TEST(URLCacheSessions, PoliciesAgainstTheFreshnessOfTheStoredResponse) {
    const Date start = Date::fromUnixTime(1700000000);
    struct Case {
        const char* name;
        Headers headers;  // "now+N" / "now-N" become HTTP dates relative to the first request
        double later;
        bool stored;
        bool fresh;
        int status = 200;
    } cases[] = {
        {"max-age", {{"Cache-Control", "max-age=100"}}, 60, true, true},
        {"max-age run out", {{"Cache-Control", "public, max-age=100"}}, 101, true, false},
        {"Expires ahead", {{"Expires", "now+100"}}, 60, true, true},
        {"Expires reached", {{"Expires", "now+100"}}, 150, true, false},
        {"max-age beats Expires", {{"Cache-Control", "max-age=100"}, {"Expires", "now-10"}}, 0, true, true},
        {"Expires from a skewed Date", {{"Date", "now+3600"}, {"Expires", "now+3700"}}, 60, true, true},
        {"Date and Expires both long past", {{"Date", "now-1000"}, {"Expires", "now-900"}}, 0, false, false},
        {"Age beyond max-age", {{"Cache-Control", "max-age=100"}, {"Age", "150"}}, 0, false, false},
        {"no-store", {{"Cache-Control", "no-store, max-age=100"}}, 0, false, false},
        {"no-cache", {{"Cache-Control", "max-age=100, no-cache"}}, 0, false, false},
        {"Vary", {{"Cache-Control", "max-age=100"}, {"Vary", "Accept-Language"}}, 0, false, false},
        {"no lifetime", {}, 0, false, false},
        {"repeated max-age", {{"Cache-Control", "max-age=100, max-age=200"}}, 0, false, false},
        {"Expires not a date", {{"Expires", "0"}}, 0, false, false},
        {"not 200", {{"Cache-Control", "max-age=100"}}, 0, false, false, 404},
    };
    const NSURLRequestCachePolicy policies[] = {NSURLRequestCachePolicy::UseProtocolCachePolicy,
                                                NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                                                NSURLRequestCachePolicy::ReturnCacheDataElseLoad,
                                                NSURLRequestCachePolicy::ReturnCacheDataDontLoad};
    LoopbackServer server;
    int serial = 0;
    for (const auto& c : cases) {
        for (auto policy : policies) {
            SCOPED_TRACE(std::string(c.name) + ", policy " + std::to_string(unsigned(policy)));
            ManualClock clock(start);
            Headers headers = c.headers;
            for (auto& [name, value] : headers) {
                if (value.rfind("now", 0) == 0)
                    value = httpDate(start.addingTimeInterval(std::stod(value.substr(3))));
            }
            std::string path = "/r" + std::to_string(++serial);
            serveCounting(server, path, headers, c.status);
            auto configuration = configurationWith(NSURLCache::create());

            auto first = fetch(configuration, get(server.url(path)));
            ASSERT_EQ(first.error, 0);
            ASSERT_EQ(first.body, "GET 1");
            clock.advance(c.later);
            auto second = fetch(configuration, get(server.url(path), policy));

            bool network = policy == NSURLRequestCachePolicy::UseProtocolCachePolicy ? !(c.stored && c.fresh)
                           : policy == NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData ? true
                           : policy == NSURLRequestCachePolicy::ReturnCacheDataElseLoad      ? !c.stored
                                                                                             : false;
            bool miss = policy == NSURLRequestCachePolicy::ReturnCacheDataDontLoad && !c.stored;
            EXPECT_EQ(server.hits(path), network ? 2u : 1u);
            EXPECT_EQ(second.error, miss ? NSURLErrorResourceUnavailable : 0);
            EXPECT_EQ(second.body, miss ? "" : network ? "GET 2" : "GET 1");
            EXPECT_EQ(second.shape, miss ? std::vector<std::string>{"complete"}
                                         : (std::vector<std::string>{"response", "data", "complete"}));
            if (!miss) {
                auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(second.response);
                ASSERT_TRUE(response);
                EXPECT_EQ(response->statusCode(), c.status);
            }
        }
    }
}

TEST(URLCacheSessions, RequestsThatMustNotBeAnsweredFromTheStoredResponse) {
    LoopbackServer server;
    serveCounting(server, "/doc", {{"Cache-Control", "max-age=100"}});
    auto configuration = configurationWith(NSURLCache::create());
    ASSERT_EQ(fetch(configuration, get(server.url("/doc"))).body, "GET 1");
    const struct {
        const char* header;
        const char* value;
    } cases[] = {{"Cache-Control", "no-cache"},
                 {"Cache-Control", "no-store"},
                 {"Pragma", "no-cache"},
                 {"Range", "bytes=0-1"}};
    size_t hits = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        NSMutableURLRequest request = get(server.url("/doc"));
        request.setValue(c.value, c.header);
        fetch(configuration, request);
        EXPECT_EQ(server.hits("/doc"), ++hits);
    }
    // A request with the default policy takes the configuration's.
    auto offline = configurationWith(NSURLCache::create());
    offline->setRequestCachePolicy(NSURLRequestCachePolicy::ReturnCacheDataDontLoad);
    EXPECT_EQ(fetch(offline, get(server.url("/doc"))).error, NSURLErrorResourceUnavailable);
    EXPECT_EQ(server.hits("/doc"), hits);

    // A stored answer still asks didReceiveResponse, and a cancel there ends the task.
    auto cancelling = std::make_shared<RecordingDelegate>();
    cancelling->onResponse = [](auto&, auto handler) { handler(NSURLSessionResponseDisposition::Cancel); };
    auto cancelled = fetch(configuration, get(server.url("/doc")), cancelling);
    EXPECT_EQ(cancelled.error, NSURLErrorCancelled);
    EXPECT_EQ(cancelled.shape, (std::vector<std::string>{"response", "complete"}));
    EXPECT_EQ(server.hits("/doc"), hits);
}

TEST(URLCacheSessions, OtherMethodsAreNeverStoredAndASuccessfulOneDropsTheEntry) {
    LoopbackServer server;
    serveCounting(server, "/doc", {{"Cache-Control", "max-age=100"}});
    server.on("PUT", "/doc", [](const LoopbackRequest&) { return LoopbackReply::text("no", 500); });
    auto configuration = configurationWith(NSURLCache::create());
    auto with = [&](const std::string& method, const std::string& path) {
        NSMutableURLRequest request = get(server.url(path));
        request.setHTTPMethod(method);
        if (method != "GET") request.setHTTPBody(Data::fromString("x"));
        return fetch(configuration, request).body;
    };
    EXPECT_EQ(with("GET", "/doc"), "GET 1");
    EXPECT_EQ(with("GET", "/doc"), "GET 1");
    EXPECT_EQ(with("POST", "/doc"), "POST 2");
    EXPECT_EQ(with("POST", "/doc"), "POST 3");  // never from the cache
    EXPECT_EQ(with("GET", "/doc"), "GET 4");    // the POST dropped what was stored
    EXPECT_EQ(with("GET", "/doc"), "GET 4");

    // A request that fails leaves the entry alone.
    EXPECT_EQ(with("PUT", "/doc"), "no");
    EXPECT_EQ(with("GET", "/doc"), "GET 4");
}

// Records willCacheResponse and answers it through `answer`; without one it does not implement the method.
struct CachingDelegate : RecordingDelegate {
    using Handler = std::function<void(NSCachedURLResponsePtr)>;
    std::function<void(const NSCachedURLResponsePtr&, Handler)> answer;
    bool askedBeforeCompletion = false;
    int asked = 0;

    bool respondsTo(Method method) const override {
        if (method == Method::WillCacheResponse) return answer != nullptr;
        return RecordingDelegate::respondsTo(method);
    }
    void willCacheResponse(const SessionPtr&, const NSURLSessionDataTaskPtr&,
                           const NSCachedURLResponsePtr& proposed, Handler handler) override {
        {
            std::lock_guard lock(mutex_);
            ++asked;
            askedBeforeCompletion = completions == 0 && proposed && proposed->data().toString() == "GET 1";
        }
        answer(proposed, std::move(handler));
    }
};

TEST(URLCacheSessions, TheDelegateDecidesWhatIsStored) {
    using Handler = CachingDelegate::Handler;
    const struct {
        const char* name;
        std::function<void(const NSCachedURLResponsePtr&, Handler)> answer;
        const char* secondBody;
    } cases[] = {
        {"not implemented", nullptr, "GET 1"},
        {"the proposal", [](auto& proposed, Handler h) { h(proposed); }, "GET 1"},
        {"null", [](auto&, Handler h) { h(nullptr); }, "GET 2"},
        {"another response",
         [](auto& proposed, Handler h) {
             h(NSCachedURLResponse::create(proposed->response(), Data::fromString("replaced")));
         },
         "replaced"},
        {"handler dropped", [](auto&, Handler) {}, "GET 2"},
    };
    LoopbackServer server;
    int serial = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = "/d" + std::to_string(++serial);
        serveCounting(server, path, {{"Cache-Control", "max-age=100"}});
        auto configuration = configurationWith(NSURLCache::create());
        auto delegate = std::make_shared<CachingDelegate>();
        delegate->answer = c.answer;
        EXPECT_EQ(fetch(configuration, get(server.url(path)), delegate).body, "GET 1");
        EXPECT_EQ(delegate->asked, c.answer ? 1 : 0);
        EXPECT_EQ(delegate->askedBeforeCompletion, bool(c.answer));
        EXPECT_EQ(fetch(configuration, get(server.url(path))).body, c.secondBody);
    }
}

TEST(URLCacheSessions, DefaultSessionsShareTheSharedCacheAndEphemeralOnesKeepTheirOwn) {
    FreshSharedCache shared;
    LoopbackServer server;
    serveCounting(server, "/page", {{"Cache-Control", "max-age=100"}});
    auto byDefault = NSURLSessionConfiguration::defaultSessionConfiguration();
    auto ephemeral = NSURLSessionConfiguration::ephemeralSessionConfiguration();
    auto body = [&](const NSURLSessionConfigurationPtr& configuration) {
        return fetch(configuration, get(server.url("/page"))).body;
    };
    EXPECT_EQ(body(byDefault), "GET 1");
    EXPECT_EQ(body(NSURLSessionConfiguration::defaultSessionConfiguration()), "GET 1");
    EXPECT_EQ(body(ephemeral), "GET 2");  // the shared cache is not the ephemeral session's
    EXPECT_EQ(body(ephemeral), "GET 2");
    EXPECT_EQ(shared.cache->cachedResponseForRequest(get(server.url("/page")))->data().toString(), "GET 1");

    // Without a cache nothing is stored.
    auto none = NSURLSessionConfiguration::defaultSessionConfiguration();
    none->setURLCache(nullptr);
    EXPECT_EQ(body(none), "GET 3");
    EXPECT_EQ(body(none), "GET 4");
}

}  // namespace
