#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/InputStream.h"
#include "testsupport/TempDir.h"

namespace {

std::string drain(NSInputStream& stream, size_t chunk) {
    std::string out;
    std::vector<uint8_t> buffer(chunk);
    for (int guard = 0; guard < 100000; ++guard) {
        long n = stream.read(buffer.data(), buffer.size());
        if (n <= 0) break;
        out.append(reinterpret_cast<char*>(buffer.data()), size_t(n));
    }
    return out;
}

// A custom stream: counts down and cannot start over.
class CountdownStream : public NSInputStream {
  public:
    long read(uint8_t* buffer, size_t maxLength) override {
        if (left_ == 0 || maxLength == 0) {
            setStatus(NSStreamStatus::AtEnd);
            return 0;
        }
        buffer[0] = uint8_t('0' + left_--);
        return 1;
    }
    int left_ = 3;
};

TEST(NSInputStream, DataAndCustomStreamsStatusesAndCopy) {
    auto stream = NSInputStream::inputStreamWithData(Data::fromString("hello world"));
    uint8_t byte;
    EXPECT_EQ(stream->streamStatus(), NSStreamStatus::NotOpen);
    EXPECT_EQ(stream->read(&byte, 1), -1);  // not open yet
    ASSERT_TRUE(stream->streamError());
    auto fresh = std::dynamic_pointer_cast<NSInputStream>(stream->copyWithZone(nullptr));
    ASSERT_TRUE(fresh);
    fresh->open();
    EXPECT_EQ(fresh->streamStatus(), NSStreamStatus::Open);
    EXPECT_TRUE(fresh->hasBytesAvailable());
    EXPECT_EQ(drain(*fresh, 4), "hello world");
    EXPECT_EQ(fresh->streamStatus(), NSStreamStatus::AtEnd);
    EXPECT_FALSE(fresh->hasBytesAvailable());
    EXPECT_EQ(fresh->read(&byte, 1), 0);

    // A custom stream overrides the base, and one that cannot start over gives no copy.
    auto countdown = std::make_shared<CountdownStream>();
    countdown->open();
    EXPECT_TRUE(countdown->hasBytesAvailable());
    EXPECT_EQ(drain(*countdown, 8), "321");
    EXPECT_FALSE(countdown->supportsCopying());
    EXPECT_EQ(countdown->copyWithZone(nullptr), nullptr);
}

TEST(NSInputStream, FileStreamReadsBytesExactlyAndAMissingFileIsAnError) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 70000; ++i) content.push_back(char(i * 7));
    std::ofstream(dir.file("body"), std::ios::binary) << content;
    auto stream = NSInputStream::inputStreamWithFileAtPath(dir.file("body"));
    EXPECT_TRUE(stream->supportsCopying());
    stream->open();
    EXPECT_EQ(drain(*stream, 4096), content);
    EXPECT_EQ(stream->streamStatus(), NSStreamStatus::AtEnd);

    auto missing = NSInputStream::inputStreamWithFileAtPath("/nonexistent/quorvane/file");
    missing->open();
    EXPECT_EQ(missing->streamStatus(), NSStreamStatus::Error);
    ASSERT_TRUE(missing->streamError());
    EXPECT_EQ(missing->streamError()->domain(), NSPOSIXErrorDomain);
    uint8_t byte;
    EXPECT_EQ(missing->read(&byte, 1), -1);
}

}  // namespace
