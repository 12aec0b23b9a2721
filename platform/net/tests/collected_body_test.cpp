#include "platform/net/CollectedBody.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

// Bytes that differ from block to block, so a block joined out of place shows.
std::vector<uint8_t> pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t((i * 7 + i / CollectedBody::kBlockSize) % 251);
    return bytes;
}

TEST(CollectedBody, JoinsWhatWasAppendedInOrderAcrossBlocks) {
    constexpr size_t kBlock = CollectedBody::kBlockSize;
    // Pieces that stay within the first vector, end exactly on a block, straddle blocks and span several.
    for (size_t total : {size_t(0), size_t(100), kBlock, kBlock + 1, 3 * kBlock + 12345}) {
        for (size_t piece : {size_t(1000), kBlock - 1, 2 * kBlock + 3}) {
            auto expected = pattern(total);
            CollectedBody body;
            for (size_t at = 0; at < total; at += piece) {
                size_t n = std::min(piece, total - at);
                ASSERT_TRUE(body.append(expected.data() + at, n));
            }
            EXPECT_EQ(body.size(), total);
            auto joined = body.take();
            EXPECT_EQ(joined, expected) << "total " << total << ", pieces of " << piece;
            EXPECT_EQ(body.size(), 0u);
            EXPECT_TRUE(body.take().empty());
        }
    }
}

TEST(CollectedBody, IsReusableAfterClear) {
    CollectedBody body;
    auto big = pattern(2 * CollectedBody::kBlockSize + 5);
    ASSERT_TRUE(body.append(big.data(), big.size()));
    body.clear();
    EXPECT_EQ(body.size(), 0u);
    ASSERT_TRUE(body.append("abc", 3));
    EXPECT_EQ(body.take(), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

}  // namespace
