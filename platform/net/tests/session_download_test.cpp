// Download tasks: the temporary file's life, progress, cancelling with resume data and resuming (206, or 200
// starting over), and resume data that cannot be used.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Sandbox.h"
#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackRawServer.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TempDir.h"

namespace {

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Records the download callbacks; what the file held while didFinishDownloadingToURL ran.
class DownloadDelegate : public RecordingDelegate {
  public:
    struct Write {
        int64_t written, total, expected;
    };
    std::vector<Write> writes;
    std::vector<std::pair<int64_t, int64_t>> resumes;
    std::string location;
    std::optional<std::string> contentsAtFinish;

    void didWriteData(const SessionPtr&, const NSURLSessionDownloadTaskPtr&, int64_t written, int64_t total,
                      int64_t expected) override {
        record("write", [&] { writes.push_back({written, total, expected}); });
    }
    void didResumeAtOffset(const SessionPtr&, const NSURLSessionDownloadTaskPtr&, int64_t offset,
                           int64_t expected) override {
        record("resume", [&] { resumes.emplace_back(offset, expected); });
    }
    void didFinishDownloadingToURL(const SessionPtr&, const NSURLSessionDownloadTaskPtr&,
                                   const std::shared_ptr<NSURL>& url) override {
        record("finish", [&] {
            location = url->path();
            contentsAtFinish = readFile(location);
        });
    }
    void didBecomeDownloadTask(const SessionPtr&, const NSURLSessionDataTaskPtr&,
                               const NSURLSessionDownloadTaskPtr& downloadTask) override {
        record("become", [&] { became = downloadTask; });
    }
    NSURLSessionDownloadTaskPtr became;
    int64_t lastTotal() {
        std::lock_guard lock(mutex_);
        return writes.empty() ? 0 : writes.back().total;
    }
};

class SessionDownload : public ::testing::Test {
  protected:
    std::vector<std::string> tmpFiles() const {
        return NSFileManager::defaultManager()
            ->contentsOfDirectoryAtPath(Sandbox::temporaryDirectory())
            .value_or(std::vector<std::string>{});
    }
    // A body sent in slow chunks, so that a test can stop it half-way.
    static LoopbackReply slowBody(const std::string& body, const std::string& etag) {
        LoopbackReply reply = LoopbackReply::text(body);
        reply.contentType = "application/octet-stream";
        reply.chunkSize = 16 * 1024;
        reply.chunkDelay = 0.03;
        if (!etag.empty()) reply.headers.emplace_back("ETag", etag);
        return reply;
    }
    // Starts a slow download and cancels it with resume data once some bytes are on disk.
    std::optional<Data> downloadHalfway(const std::string& url) {
        auto task = session_->downloadTaskWithURL(NSURL::URLWithString(url));
        task->resume();
        EXPECT_TRUE(delegate_->waitFor([&] { return !delegate_->writes.empty(); }));
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        std::optional<Data> resumeData;
        task->cancelByProducingResumeData([&](std::optional<Data> data) {
            std::lock_guard lock(mutex);
            resumeData = std::move(data);
            answered = true;
            done.notify_all();
        });
        EXPECT_TRUE(delegate_->waitForCompletions(++s_.started));
        std::unique_lock lock(mutex);
        EXPECT_TRUE(done.wait_for(lock, std::chrono::seconds(10), [&] { return answered; }));
        return resumeData;
    }

    struct Home {
        TempDir dir;
        Home() { Sandbox::setHome(dir.path()); }
        ~Home() { Sandbox::resetHome(); }
    } home_;
    LoopbackServer server_;
    DelegateSession<DownloadDelegate> s_;
    std::shared_ptr<DownloadDelegate> delegate_ = s_.delegate;
    NSURLSessionPtr session_ = s_.session;
};

// A data task whose response is answered BecomeDownload: a download task goes on with the same transfer.
TEST_F(SessionDownload, ADataTaskAnsweredBecomeDownloadCarriesOnAsADownloadTask) {
    std::string body = binaryBody(100 * 1024);
    server_.reply("/become", LoopbackReply::text(body));
    delegate_->onResponse = [](const NSURLResponsePtr&, auto handler) {
        handler(NSURLSessionResponseDisposition::BecomeDownload);
    };
    auto data = s_.run(session_->dataTaskWithRequest(requestFor(server_.url("/become"))));
    EXPECT_EQ(delegate_->shape(),
              (std::vector<std::string>{"response", "become", "write", "finish", "complete"}));
    EXPECT_FALSE(delegate_->error);
    EXPECT_EQ(delegate_->contentsAtFinish, body);
    EXPECT_TRUE(delegate_->body.empty());
    ASSERT_TRUE(delegate_->became);
    EXPECT_EQ(delegate_->became->taskIdentifier(), data->taskIdentifier() + 1);
    EXPECT_EQ(delegate_->became->response(), data->response());
    EXPECT_EQ(delegate_->became->countOfBytesReceived(), int64_t(body.size()));
    EXPECT_EQ(data->state(), NSURLSessionTaskState::Completed);
    EXPECT_EQ(delegate_->became->state(), NSURLSessionTaskState::Completed);
}

TEST_F(SessionDownload, TheFileExistsDuringTheCallbackAndIsGoneAfter) {
    std::string body = binaryBody(200 * 1024 + 5);
    LoopbackReply reply = LoopbackReply::text(body);
    reply.contentType = "application/octet-stream";  // not compressed: the length on the wire is the file's
    server_.reply("/file", reply);
    auto task = s_.run(session_->downloadTaskWithURL(NSURL::URLWithString(server_.url("/file"))));

    EXPECT_FALSE(delegate_->error);
    EXPECT_FALSE(delegate_->wrongQueue);
    ASSERT_TRUE(delegate_->contentsAtFinish);
    EXPECT_TRUE(*delegate_->contentsAtFinish == body);
    EXPECT_EQ(delegate_->location.rfind(Sandbox::temporaryDirectory() + "/", 0), 0u) << delegate_->location;
    EXPECT_FALSE(exists(delegate_->location));
    EXPECT_TRUE(tmpFiles().empty());
    EXPECT_EQ(delegate_->shape(), (std::vector<std::string>{"write", "finish", "complete"}));
    EXPECT_EQ(task->response()->expectedContentLength(), int64_t(body.size()));

    // Progress adds up against the announced length.
    int64_t sum = 0;
    for (const auto& w : delegate_->writes) {
        sum += w.written;
        EXPECT_EQ(w.total, sum);
        EXPECT_EQ(w.expected, int64_t(body.size()));
    }
    EXPECT_EQ(sum, int64_t(body.size()));
    EXPECT_EQ(task->countOfBytesReceived(), int64_t(body.size()));
}

TEST_F(SessionDownload, CompletionHandlerGetsTheFileEvenForAnErrorStatus) {
    server_.reply("/missing", LoopbackReply::text("no such page", 404));
    std::mutex mutex;
    std::condition_variable done;
    bool called = false;
    std::string path;
    std::optional<std::string> contents;
    session_
        ->downloadTaskWithURL(
            NSURL::URLWithString(server_.url("/missing")),
            [&](std::shared_ptr<NSURL> location, NSURLResponsePtr response, NSErrorPtr error) {
                std::lock_guard lock(mutex);
                EXPECT_FALSE(error);
                EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(response)->statusCode(), 404);
                if (location) path = location->path();
                contents = readFile(path);
                called = true;
                done.notify_all();
            })
        ->resume();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(10), [&] { return called; }));
    EXPECT_EQ(contents, "no such page");
    // Removed once the handler has returned (on the delegate queue: wait for it to drain).
    ASSERT_TRUE(s_.queue->waitUntilAllOperationsAreFinished(10));
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(delegate_->completions, 0) << "the handler replaces didCompleteWithError";
}

// Cancelled half-way and resumed: a 206 goes on from the partial file, a 200 (the resource changed) starts
// over, and so does a partial file that has gone, without a Range; without a validator there is no resume
// data.
TEST_F(SessionDownload, CancelledHalfwayThenResumed) {
    const std::string body = binaryBody(400 * 1024 + 11), changed = "the resource changed meanwhile";
    enum Case { Partial, Changed, FileGone, NoValidator };
    for (Case c : {Partial, Changed, FileGone, NoValidator}) {
        SCOPED_TRACE(c);
        std::string path = "/big" + std::to_string(c);
        server_.on("GET", path, [&, c](const LoopbackRequest& r) {
            auto range = r.header("Range");
            if (!range) return slowBody(body, c == NoValidator ? "" : "\"v1\"");
            LoopbackReply reply = LoopbackReply::text(changed);  // If-Range no longer matches: the whole body
            if (c != Changed) {
                EXPECT_EQ(r.header("If-Range"), "\"v1\"");
                size_t from = std::stoul(range->substr(6));
                reply = LoopbackReply::text(body.substr(from), 206);
                reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                                std::to_string(body.size() - 1) + "/" +
                                                                std::to_string(body.size()));
            }
            reply.contentType = "application/octet-stream";
            reply.headers.emplace_back("ETag", c == Changed ? "\"new\"" : "\"v1\"");
            return reply;
        });
        {
            std::lock_guard lock(delegate_->mutex_);
            delegate_->writes.clear();
            delegate_->resumes.clear();
        }
        auto resumeData = downloadHalfway(server_.url(path));
        EXPECT_EQ(delegate_->error->code(), NSURLErrorCancelled);
        if (c == NoValidator) {
            EXPECT_FALSE(resumeData);
            EXPECT_FALSE(delegate_->error->userInfo().contains(NSURLSessionDownloadTaskResumeData));
            EXPECT_TRUE(tmpFiles().empty());
            continue;
        }
        ASSERT_TRUE(resumeData);
        int64_t partial = delegate_->lastTotal();
        ASSERT_GT(partial, 0);
        ASSERT_LT(partial, int64_t(body.size()));
        EXPECT_EQ(tmpFiles().size(), 1u) << "the partial file waits for the resumed task";
        if (c == FileGone) {
            for (const auto& name : tmpFiles())
                ::unlink((Sandbox::temporaryDirectory() + "/" + name).c_str());
        }
        s_.run(session_->downloadTaskWithResumeData(*resumeData), 20);
        EXPECT_FALSE(delegate_->error) << delegate_->error->description();
        auto range = server_.lastRequest(path)->header("Range");
        EXPECT_EQ(range,
                  c == FileGone ? std::nullopt : std::optional("bytes=" + std::to_string(partial) + "-"));
        if (c != FileGone) {
            EXPECT_EQ(delegate_->resumes,
                      (std::vector<std::pair<int64_t, int64_t>>{
                          {c == Partial ? partial : 0, int64_t((c == Partial ? body : changed).size())}}));
        }
        EXPECT_TRUE(delegate_->contentsAtFinish == (c == Changed ? changed : body));
        EXPECT_TRUE(tmpFiles().empty());
    }
}

TEST_F(SessionDownload, InvalidResumeDataFailsCleanly) {
    auto plist = [](Value::Dictionary dictionary) {
        return *NSPropertyListSerialization::dataWithPropertyList(
            Value(std::move(dictionary)), NSPropertyListSerialization::Format::XML, nullptr);
    };
    std::string tmpFile = Sandbox::temporaryDirectory() + "/partial";
    std::ofstream(tmpFile) << "part";
    Value::Dictionary good{{"version", Value(1)},
                           {"URL", Value(server_.url("/r"))},
                           {"partialFile", Value(tmpFile)},
                           {"bytesReceived", Value(4)},
                           {"ETag", Value("\"x\"")}};
    auto with = [&](const char* key, Value value) {
        Value::Dictionary changed = good;
        if (value.isNull()) {
            changed.erase(key);
        } else {
            changed[key] = std::move(value);
        }
        return plist(changed);
    };
    struct Case {
        const char* name;
        Data data;
    };
    const Case cases[] = {
        {"empty", Data()},
        {"garbage", Data::fromString("not resume data at all")},
        {"unknown version", with("version", Value(7))},
        {"a file URL", with("URL", Value("file:///etc/passwd"))},
        {"negative count", with("bytesReceived", Value(-5))},
        {"file outside tmp", with("partialFile", Value("/etc/passwd"))},
        {"escaping tmp", with("partialFile", Value(Sandbox::temporaryDirectory() + "/../Documents/x"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto task = session_->downloadTaskWithResumeData(c.data);
        ASSERT_TRUE(task);
        s_.run(task);
        ASSERT_TRUE(delegate_->error);
        EXPECT_EQ(delegate_->error->code(), NSURLErrorCannotDecodeRawData);
        auto underlying = delegate_->error->underlyingError();
        ASSERT_TRUE(underlying);
        EXPECT_NE(underlying->localizedDescription().find("resume data"), std::string::npos);
    }
    EXPECT_EQ(server_.totalHits(), 0u);

    // The same data, intact, is accepted.
    server_.on("GET", "/r", [](const LoopbackRequest& r) {
        LoopbackReply reply = LoopbackReply::text(" resumed", 206);
        reply.headers = {{"Content-Range", "bytes 4-11/12"}};
        EXPECT_EQ(r.header("Range"), "bytes=4-");
        return reply;
    });
    s_.run(session_->downloadTaskWithResumeData(plist(good)));
    EXPECT_FALSE(delegate_->error);
    EXPECT_EQ(delegate_->contentsAtFinish, "part resumed");
}

TEST_F(SessionDownload, AConnectionLostMidwayOffersResumeDataInTheError) {
    std::string body = binaryBody(5000);
    std::atomic<int> connection{0};
    LoopbackRawServer raw([&](LoopbackConnection& c) {
        std::string request = c.readRequest();
        if (connection++ == 0) {
            c.write(
                "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nLast-Modified: Tue, 01 Jan 2030 00:00:00 "
                "GMT\r\n\r\n");
            c.write(body.substr(0, 1200));
            c.close();
            return;
        }
        bool ranged = request.find("Range: bytes=1200-") != std::string::npos &&
                      request.find("If-Range: Tue, 01 Jan 2030 00:00:00 GMT") != std::string::npos;
        if (!ranged) {
            c.write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        c.write(
            "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 1200-4999/5000\r\nContent-Length: "
            "3800\r\n\r\n");
        c.write(body.substr(1200));
        c.stall(2);
    });
    s_.run(session_->downloadTaskWithURL(NSURL::URLWithString(raw.url("/lost"))));
    ASSERT_TRUE(delegate_->error);
    EXPECT_EQ(delegate_->error->code(), NSURLErrorNetworkConnectionLost);
    auto entry = delegate_->error->userInfo().find(NSURLSessionDownloadTaskResumeData);
    ASSERT_NE(entry, delegate_->error->userInfo().end());
    ASSERT_TRUE(entry->second.asData());

    s_.run(session_->downloadTaskWithResumeData(*entry->second.asData()));
    EXPECT_FALSE(delegate_->error);
    EXPECT_TRUE(delegate_->contentsAtFinish == body);
    EXPECT_TRUE(tmpFiles().empty());
}

}  // namespace
