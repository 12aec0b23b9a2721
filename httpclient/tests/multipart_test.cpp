#include "httpclient/HCMultipartFormData.h"

#include <cstring>
#include <regex>

#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/Clock.h"
#include "testsupport/LoopbackRawServer.h"

namespace {

std::string readAll(NSInputStream& stream, size_t chunk, long* lastResult = nullptr) {
    std::string out;
    std::vector<uint8_t> buffer(chunk);
    stream.open();
    for (int guard = 0; guard < 1000000; ++guard) {
        long n = stream.read(buffer.data(), buffer.size());
        if (lastResult) *lastResult = n;
        if (n <= 0) break;
        EXPECT_LE(size_t(n), chunk);
        out.append(reinterpret_cast<const char*>(buffer.data()), size_t(n));
    }
    return out;
}

std::shared_ptr<HCStreamingMultipartFormData> builder() {
    return HCStreamingMultipartFormData::create(requestFor("http://h/upload", "POST"), HCUTF8StringEncoding);
}

// A caller's stream that has nothing to give until it is told to.
class GatedStream final : public NSInputStream {
  public:
    explicit GatedStream(std::string text) : text_(std::move(text)) {}
    std::atomic<bool> gateOpen{false};
    void open() override { setStatus(NSStreamStatus::Open); }
    long read(uint8_t* buffer, size_t maxLength) override {
        if (!gateOpen) return 0;
        size_t n = std::min(maxLength, text_.size() - offset_);
        std::memcpy(buffer, text_.data() + offset_, n);
        offset_ += n;
        if (n == 0) setStatus(NSStreamStatus::AtEnd);
        return long(n);
    }
    bool hasBytesAvailable() const override { return gateOpen && streamStatus() == NSStreamStatus::Open; }

  private:
    std::string text_;
    size_t offset_ = 0;
};

// "B" stands for the boundary in the expected bodies.
TEST(HCMultipartBody, WireFormatTable) {
    TempDir dir;
    writeFile(dir.file("photo.PNG"), "PNGDATA");
    writeFile(dir.file("blob.qqq"), "xyz");
    const std::string disposition = "--B\r\nContent-Disposition: form-data; ";
    struct Case {
        const char* name;
        std::function<void(HCMultipartFormData&)> build;
        std::string expected;
    } cases[] = {
        {"form data, file data with and without a MIME type, a stream of its declared length",
         [](HCMultipartFormData& f) {
             f.appendPartWithFormData(Data::fromString("1"), "a");
             f.appendPartWithFileData(Data::fromString("abc"), "f", "a.txt", "text/plain");
             f.appendPartWithFileData(Data::fromString(""), "g", "e", std::nullopt);
             f.appendPartWithInputStream(NSInputStream::inputStreamWithData(Data::fromString("streamed")),
                                         "s", "s.bin", 8, "application/x-s");
         },
         disposition + "name=\"a\"\r\n\r\n1\r\n" + disposition +
             "name=\"f\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\nabc\r\n" + disposition +
             "name=\"g\"; filename=\"e\"\r\n\r\n\r\n" + disposition +
             "name=\"s\"; filename=\"s.bin\"\r\nContent-Type: application/x-s\r\n\r\nstreamed\r\n--B--\r\n"},
        {"file URLs typed by extension, unknown ones as octet-stream",
         [&](HCMultipartFormData& f) {
             EXPECT_TRUE(
                 f.appendPartWithFileURL(NSURL::fileURLWithPath(dir.file("photo.PNG")), "p", nullptr));
             EXPECT_TRUE(f.appendPartWithFileURL(NSURL::fileURLWithPath(dir.file("blob.qqq")), "q", nullptr));
         },
         disposition + "name=\"p\"; filename=\"photo.PNG\"\r\nContent-Type: image/png\r\n\r\nPNGDATA\r\n" +
             disposition +
             "name=\"q\"; filename=\"blob.qqq\"\r\nContent-Type: "
             "application/octet-stream\r\n\r\nxyz\r\n--B--\r\n"},
        {"names cannot break out of their quotes or lines",
         [](HCMultipartFormData& f) {
             f.appendPartWithFileData(Data::fromString("v"), "a\"\r\nX: y\\", "f\"\n\\.txt", std::nullopt);
             f.appendPartWithHeaders({{"X-Raw", "1\r\n--x--"}}, Data::fromString("w"));
         },
         disposition + "name=\"a%22%0D%0AX: y%5C\"; filename=\"f%22%0A%5C.txt\"\r\n\r\nv"
                       "\r\n--B\r\nX-Raw: 1  --x--\r\n\r\nw\r\n--B--\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto form = builder();
        c.build(*form);
        auto request = form->requestByFinalizingMultipartFormData();
        const std::string& boundary = form->boundary();
        EXPECT_TRUE(std::regex_match(boundary, std::regex("Boundary\\+[0-9A-F]{16}"))) << boundary;
        std::string expected;
        for (char ch : c.expected) expected += ch == 'B' ? boundary : std::string(1, ch);
        EXPECT_EQ(request.valueForHTTPHeaderField("Content-Type"),
                  "multipart/form-data; boundary=" + boundary);
        EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
        ASSERT_TRUE(request.HTTPBodyStream());
        // Read in several chunk sizes, each through a fresh copy: the bytes are the same.
        for (size_t chunk : {size_t(1), size_t(7), size_t(1 << 16)}) {
            auto copy =
                std::dynamic_pointer_cast<NSInputStream>(request.HTTPBodyStream()->copyWithZone(nullptr));
            ASSERT_TRUE(copy);
            EXPECT_EQ(readAll(*copy, chunk), expected) << "chunk " << chunk;
            EXPECT_EQ(copy->streamStatus(), NSStreamStatus::AtEnd);
        }
    }
}

TEST(HCMultipartBody, FileURLErrorsTable) {
    TempDir dir;
    struct Case {
        const char* name;
        NSURLPtr url;
        std::string reason;
    } cases[] = {
        {"no URL", nullptr, "Expected URL to be a file URL"},
        {"a missing file", NSURL::fileURLWithPath(dir.file("missing.txt")), "File URL not reachable."},
        {"a directory", NSURL::fileURLWithPath(dir.path()), "Expected URL to be a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto form = builder();
        NSErrorPtr error;
        EXPECT_FALSE(form->appendPartWithFileURL(c.url, "f", &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), HCRequestSerializationErrorDomain);
        EXPECT_EQ(error->code(), -1000);
        EXPECT_EQ(error->localizedFailureReason(), c.reason);
        EXPECT_FALSE(form->appendPartWithFileURL(c.url, "f", nullptr));  // no error asked for: no crash
        // Nothing was appended: finalizing leaves the request alone.
        auto request = form->requestByFinalizingMultipartFormData();
        EXPECT_FALSE(request.HTTPBodyStream() || request.valueForHTTPHeaderField("Content-Type") ||
                     request.valueForHTTPHeaderField("Content-Length"));
    }
}

TEST(HCMultipartBody, BodiesThatDisagreeWithTheirLengthFailTheStream) {
    TempDir dir;
    const std::string path = dir.file("grows.txt");
    struct Case {
        const char* name;
        std::string stream;  // empty: a file of four bytes instead
        uint64_t declared;
        std::function<void()> afterBuilding;
    } cases[] = {
        {"a stream shorter than declared", "abc", 10, nullptr},
        {"a stream longer than declared", "abcdef", 2, nullptr},
        {"a file that grew after it was appended", "", 0, [&] { writeFile(path, "123456789"); }},
        {"a file that was removed", "", 0, [&] { std::remove(path.c_str()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto form = builder();
        writeFile(path, "1234");
        if (c.stream.empty()) {
            EXPECT_TRUE(form->appendPartWithFileURL(NSURL::fileURLWithPath(path), "f", nullptr));
        } else {
            form->appendPartWithInputStream(NSInputStream::inputStreamWithData(Data::fromString(c.stream)),
                                            "s", "s", c.declared, std::nullopt);
        }
        form->appendPartWithFormData(Data::fromString("after"), "next");
        auto request = form->requestByFinalizingMultipartFormData();
        if (c.afterBuilding) c.afterBuilding();
        long last = 0;
        std::string read = readAll(*request.HTTPBodyStream(), 4096, &last);
        EXPECT_EQ(last, -1);
        EXPECT_EQ(request.HTTPBodyStream()->streamStatus(), NSStreamStatus::Error);
        EXPECT_TRUE(request.HTTPBodyStream()->streamError());
        EXPECT_EQ(read.find("after"), std::string::npos);  // nothing after the broken part
        uint8_t byte;
        EXPECT_EQ(request.HTTPBodyStream()->read(&byte, 1), -1);  // and it stays failed
    }
}

TEST(HCMultipartBody, ThrottlingCopyingClosingAndWaiting) {
    auto form = builder();
    form->appendPartWithFileData(Data(std::vector<uint8_t>(5000, 'x')), "big", "big.bin",
                                 "application/x-big");
    form->throttleBandwidthWithPacketSize(1024, 0);
    form->requestByFinalizingMultipartFormData();
    auto stream = form->bodyStream();
    const uint64_t length = stream->contentLength();

    // Throttled: no read above the packet size, whatever the buffer.
    std::vector<uint8_t> buffer(8192);
    stream->open();
    long first = stream->read(buffer.data(), buffer.size());
    EXPECT_EQ(first, 1024);
    std::string half(reinterpret_cast<const char*>(buffer.data()), size_t(first));

    // A copy of a half-read stream starts over, throttled like the original.
    auto copy = std::dynamic_pointer_cast<HCMultipartBodyStream>(stream->copyWithZone(nullptr));
    ASSERT_TRUE(copy);
    stream->setDelay(0.25);
    auto throttled = std::dynamic_pointer_cast<HCMultipartBodyStream>(stream->copyWithZone(nullptr));
    EXPECT_EQ(throttled->numberOfBytesInPacket(), 1024u);
    EXPECT_EQ(throttled->delay(), 0.25);
    stream->setDelay(0);
    std::string whole = readAll(*copy, 8192);
    EXPECT_EQ(whole.size(), length);
    EXPECT_EQ(whole.substr(0, half.size()), half);

    EXPECT_EQ(half + readAll(*stream, 8192), whole);

    // A delay between packets makes the stream wait, never its reader (the session's I/O loop).
    ManualClock clock;
    stream->close();
    stream->setDelay(10);
    stream->open();
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 1024);
    EXPECT_FALSE(stream->hasBytesAvailable());
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 0);
    clock.advance(10);
    EXPECT_TRUE(stream->hasBytesAvailable());
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 1024);

    // A caller's stream with no bytes yet: the body waits instead of ending early or spinning.
    auto gated = std::make_shared<GatedStream>("later");
    auto waiting = builder();
    waiting->appendPartWithInputStream(gated, "g", "g", 5, std::nullopt);
    waiting->requestByFinalizingMultipartFormData();
    auto body = waiting->bodyStream();
    body->open();
    long n = body->read(buffer.data(), buffer.size());
    EXPECT_GT(n, 0);  // boundary and headers
    EXPECT_FALSE(body->hasBytesAvailable());
    EXPECT_EQ(body->read(buffer.data(), buffer.size()), 0);
    EXPECT_EQ(body->streamStatus(), NSStreamStatus::Open);
    gated->gateOpen = true;
    EXPECT_TRUE(body->hasBytesAvailable());
    std::string tail = readAll(*body, 4096);
    EXPECT_EQ(tail, "later\r\n--" + waiting->boundary() + "--\r\n");
    EXPECT_EQ(uint64_t(n) + tail.size(), body->contentLength());
}

TEST(HCMultipartRequest, SpoolsTheBodyToAFile) {
    TempDir dir;
    auto serializer = HCHTTPRequestSerializer::serializer();
    auto request = serializer->multipartFormRequestWithMethod(
        "POST", "http://h/up", Value(Dict{{"a", "1"}}),
        [](HCMultipartFormData& f) {
            f.appendPartWithFileData(Data(std::vector<uint8_t>(3000, 'q')), "f", "f.bin", "application/x-q");
        },
        nullptr);
    ASSERT_TRUE(request);
    auto expected = readAll(
        *std::dynamic_pointer_cast<NSInputStream>(request->HTTPBodyStream()->copyWithZone(nullptr)), 512);

    writeFile(dir.file("old.bin"), std::string(10000, 'o'));
    struct Case {
        const char* name;
        NSURLPtr target;
        bool ok;
    } cases[] = {
        {"a new file", NSURL::fileURLWithPath(dir.file("body.bin")), true},
        {"an existing, longer file is replaced", NSURL::fileURLWithPath(dir.file("old.bin")), true},
        {"a missing directory", NSURL::fileURLWithPath(dir.file("no/such/dir/body.bin")), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> done{false};
        NSErrorPtr spoolError;
        auto stripped =
            serializer->requestWithMultipartFormRequest(*request, c.target, [&](const NSErrorPtr& error) {
                EXPECT_TRUE(NSRunLoop::isMainThread());
                spoolError = error;
                done = true;
            });
        EXPECT_FALSE(stripped.HTTPBodyStream());
        EXPECT_EQ(stripped.valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
        ASSERT_TRUE(runMainUntil([&] { return done.load(); }));
        EXPECT_EQ(spoolError == nullptr, c.ok) << (spoolError ? spoolError->description() : "");
        if (c.ok) {
            EXPECT_EQ(fileText(c.target->path()), expected);
        }
    }
}

TEST(HCMultipartUpload, TheServerSeesEveryPart) {
    // A raw server: it hands over the body bytes as they came, where an HTTP library would consume a
    // multipart body itself.
    std::mutex mutex;
    std::string raw;
    LoopbackRawServer server([&](LoopbackConnection& connection) {
        std::string request = connection.readRequest(10);
        std::lock_guard lock(mutex);
        raw = request;
        connection.write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
            "Connection: close\r\n\r\n{\"ok\":true}");
        connection.close();
    });
    TempDir dir;
    writeFile(dir.file("notes.txt"), "file contents\r\n--not a boundary");
    auto manager = HCHTTPSessionManager::manager();
    std::optional<Value> answer;
    int64_t progressSeen = 0;
    manager->POST(
        server.url("/upload"), Value(Dict{{"user", "ann"}}),
        [&](HCMultipartFormData& f) {
            EXPECT_TRUE(
                f.appendPartWithFileURL(NSURL::fileURLWithPath(dir.file("notes.txt")), "doc", nullptr));
            f.appendPartWithInputStream(
                NSInputStream::inputStreamWithData(Data(std::vector<uint8_t>(70000, 'z'))), "big", "big.bin",
                70000, "application/x-z");
            f.throttleBandwidthWithPacketSize(4096, 0);
        },
        [&](const NSProgressPtr& progress) { progressSeen = progress->completedUnitCount(); },
        [&](auto&, const std::optional<Value>& object) { answer = object; },
        [&](auto&, const NSErrorPtr& error) { answer = Value(error->description()); });
    ASSERT_TRUE(runMainUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(answer, Value(Dict{{"ok", true}}));
    std::lock_guard lock(mutex);
    const size_t headEnd = raw.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    const std::string head = raw.substr(0, headEnd + 2), received = raw.substr(headEnd + 4);
    const std::string marker = "Content-Type: multipart/form-data; boundary=";
    ASSERT_NE(head.find(marker), std::string::npos);
    EXPECT_EQ(head.rfind("POST /upload HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(head.find("Content-Length: " + std::to_string(received.size()) + "\r\n"), std::string::npos);
    EXPECT_EQ(progressSeen, int64_t(received.size()));
    // Parameters first, then the block's parts; the file's fake boundary stays inside its part.
    const std::string b = "--" + head.substr(head.find(marker) + marker.size(), 25);
    EXPECT_EQ(received.rfind(b + "\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\nann\r\n" + b, 0),
              0u);
    EXPECT_NE(received.find("\r\n\r\nfile contents\r\n--not a boundary\r\n" + b), std::string::npos);
    EXPECT_NE(received.find(std::string(70000, 'z') + "\r\n" + b + "--\r\n"), std::string::npos);
    letGo({manager});
}

}  // namespace
