#include "httpclient/HCImageCache.h"
#include "httpclient/tests/HCTestSupport.h"
#include "platform/uikit/UIApplication.h"

namespace {

// 10 x 10 pixels: 400 bytes an entry.
constexpr uint64_t kEntry = 400;

struct PurgeCase {
    const char* name;
    uint64_t capacity;
    uint64_t preferred;
    int adds;                        // entries "0", "1", ... added in order
    std::vector<std::string> reads;  // read just before the last add
    std::vector<std::string> survivors;
};

class HCImageCachePurgeTest : public ::testing::TestWithParam<PurgeCase> {};

TEST_P(HCImageCachePurgeTest, KeepsTheRecentlyUsedWithinBudget) {
    const auto& c = GetParam();
    auto cache = HCAutoPurgingImageCache::create(c.capacity, c.preferred);
    auto image = testImage(10, 10);
    for (int i = 0; i < c.adds; ++i) {
        if (i == c.adds - 1) {
            for (const auto& id : c.reads) EXPECT_TRUE(cache->imageWithIdentifier(id)) << id;
        }
        cache->addImage(image, std::to_string(i));
    }
    std::vector<std::string> present;
    for (int i = 0; i < c.adds; ++i) {
        if (cache->imageWithIdentifier(std::to_string(i))) present.push_back(std::to_string(i));
    }
    EXPECT_EQ(present, c.survivors);
    EXPECT_EQ(cache->memoryUsage(), present.size() * kEntry);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HCImageCachePurgeTest,
    ::testing::Values(PurgeCase{"AtCapacityNothingGoes", 4 * kEntry, 2 * kEntry, 4, {}, {"0", "1", "2", "3"}},
                      // 5 entries over a budget of 4: down to 2, oldest first.
                      PurgeCase{"OverCapacityOldestGo", 4 * kEntry, 2 * kEntry, 5, {}, {"3", "4"}},
                      // Reading the oldest just before the add makes the others go first.
                      PurgeCase{"ReadProtects", 4 * kEntry, 2 * kEntry, 5, {"0"}, {"0", "4"}},
                      // One byte short of a whole entry still costs that entry.
                      PurgeCase{"FreesAtLeastEnough", 4 * kEntry, 2 * kEntry - 1, 5, {}, {"4"}},
                      // A single entry larger than the budget goes at once.
                      PurgeCase{"TooLargeForTheBudget", kEntry - 1, 0, 1, {}, {}},
                      // A preferred use above the capacity still brings the cache back within it.
                      PurgeCase{"PreferredAboveCapacity", 2 * kEntry, 10 * kEntry, 3, {}, {"1", "2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HCImageCacheTest, AddRemoveReplaceAndMemoryWarningsKeepTheUsage) {
    auto cache = HCAutoPurgingImageCache::create();
    cache->addImage(testImage(10, 10), "a");
    cache->addImage(testImage(20, 10), "b");
    EXPECT_EQ(cache->memoryUsage(), kEntry + 800);

    // Replacing subtracts the old size.
    cache->addImage(testImage(5, 10), "b");
    EXPECT_EQ(cache->memoryUsage(), kEntry + 200);
    EXPECT_EQ(cache->imageWithIdentifier("b")->pixelWidth(), 5u);

    EXPECT_FALSE(cache->removeImageWithIdentifier("missing"));
    EXPECT_TRUE(cache->removeImageWithIdentifier("a"));
    EXPECT_FALSE(cache->imageWithIdentifier("a"));
    EXPECT_EQ(cache->memoryUsage(), 200u);

    // A nil image is not an entry.
    cache->addImage(nullptr, "nil");
    EXPECT_FALSE(cache->imageWithIdentifier("nil"));

    EXPECT_TRUE(cache->removeAllImages());
    EXPECT_EQ(cache->memoryUsage(), 0u);

    // A memory warning empties the cache; a destroyed cache no longer listens.
    cache->addImage(testImage(10, 10), "a");
    UIApplication::sharedApplication()->simulateMemoryWarning();
    EXPECT_FALSE(cache->imageWithIdentifier("a"));
    EXPECT_EQ(cache->memoryUsage(), 0u);
    cache.reset();
    UIApplication::sharedApplication()->simulateMemoryWarning();
}

TEST(HCImageCacheTest, RequestKeys) {
    const std::string url = "http://example.com/a.png?x=1";
    EXPECT_EQ(HCAutoPurgingImageCache::imageCacheKeyFromURLRequest(requestFor(url), "@2x"), url + "@2x");
    EXPECT_EQ(HCAutoPurgingImageCache::imageCacheKeyFromURLRequest(NSURLRequest(), "x"), std::nullopt);

    auto cache = HCAutoPurgingImageCache::create();
    auto image = testImage(10, 10);
    cache->addImage(image, requestFor(url), std::nullopt);
    // Method, headers and cache policy do not change the key.
    auto post = requestFor(url, "POST");
    post.setValue("v", "X-Other");
    EXPECT_EQ(cache->imageforRequest(post, std::nullopt), image);
    EXPECT_FALSE(cache->imageforRequest(requestFor(url), "@2x"));

    // A request without a URL stores and finds nothing (and does not take the "" entry).
    cache->addImage(image, "");
    cache->addImage(image, NSURLRequest(), std::nullopt);
    EXPECT_EQ(cache->memoryUsage(), 2 * kEntry);
    EXPECT_FALSE(cache->imageforRequest(NSURLRequest(), std::nullopt));
    EXPECT_TRUE(cache->removeImageforRequest(post, std::nullopt));
    EXPECT_FALSE(cache->imageWithIdentifier(url));
}

TEST(HCImageCacheTest, ConcurrentUseKeepsTheSum) {
    auto cache = HCAutoPurgingImageCache::create();
    auto image = testImage(10, 10);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i);
                cache->addImage(image, id);
                EXPECT_EQ(cache->imageWithIdentifier(id), image);
                if (i % 5 == 0) {
                    EXPECT_TRUE(cache->removeImageWithIdentifier(id));
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(cache->memoryUsage(), 4 * 40 * kEntry);
}

}  // namespace
