// What the HTTP client tests share: bounded main-loop waits, a notification recorder, requests, replies and
// test images, and a fixture that lets its managers go through their sessions at the end.
#pragma once

#include <dirent.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "httpclient/HCDecodingResponseSerializers.h"
#include "httpclient/HCHTTPSessionManager.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/UIImage.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TempDir.h"

namespace hctest {

// Every wait in these tests is bounded by this many seconds of real time.
inline constexpr double kWait = 10;

inline bool runMainUntil(const std::function<bool()>& predicate, double timeout = kWait) {
    return NSRunLoop::main().runUntil(predicate, timeout);
}

// Records every post of the given names, in order, with the thread it came on.
class NotificationRecorder {
  public:
    struct Entry {
        std::string name;
        std::shared_ptr<Object> object;
        Value::Dictionary userInfo;
        bool onMainThread = false;
    };
    explicit NotificationRecorder(std::vector<std::string> names, std::shared_ptr<Object> sender = nullptr) {
        for (const auto& name : names) {
            tokens_.push_back(NSNotificationCenter::defaultCenter().addObserver(
                name, sender, nullptr, [this](const NSNotification& notification) {
                    std::lock_guard lock(mutex_);
                    entries_.push_back({notification.name, notification.object, notification.userInfo,
                                        NSRunLoop::isMainThread()});
                }));
        }
    }
    ~NotificationRecorder() {
        for (auto token : tokens_) NSNotificationCenter::defaultCenter().removeObserver(token);
    }
    std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    size_t count(const std::string& name = {}) const {
        std::lock_guard lock(mutex_);
        return std::count_if(entries_.begin(), entries_.end(),
                             [&](const Entry& e) { return name.empty() || e.name == name; });
    }
    bool waitFor(size_t n, const std::string& name = {}) const {
        return runMainUntil([&] { return count(name) >= n; });
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<NSNotificationCenter::Token> tokens_;
};

inline size_t countEntries(const char* directory) {
    size_t n = 0;
    if (DIR* dir = opendir(directory)) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}
inline size_t threadCount() {
    return countEntries("/proc/self/task");
}
inline size_t descriptorCount() {
    return countEntries("/proc/self/fd");
}

inline NSURLRequest requestFor(const std::string& url, const char* method = "GET") {
    NSURLRequest request(NSURL::URLWithString(url));
    request.setHTTPMethod(method);
    return request;
}

inline NSHTTPURLResponsePtr httpResponse(long status, const char* contentType,
                                         const char* url = "http://h/api") {
    HTTPHeaderFields headers;
    if (contentType) headers.set("Content-Type", contentType);
    return NSHTTPURLResponse::create(url ? NSURL::URLWithString(url) : nullptr, status, "HTTP/1.1", headers);
}

inline std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}
inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// An opaque PNG of `width` x `height` pixels, written by gdk-pixbuf.
inline std::string pngBytes(uint32_t width, uint32_t height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, int(width), int(height));
    gdk_pixbuf_fill(pixbuf, 0x808080FF);
    gchar* buffer = nullptr;
    gsize size = 0;
    const bool saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
    std::string bytes = saved ? std::string(buffer, size) : std::string();
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}
inline UIImagePtr testImage(uint32_t width, uint32_t height) {
    return UIImage::imageWithData(Data::fromString(pngBytes(width, height)), 1);
}
inline LoopbackReply pngReply(uint32_t width, uint32_t height, double delay = 0) {
    LoopbackReply reply = LoopbackReply::text(pngBytes(width, height));
    reply.contentType = "image/png";
    reply.delay = delay;
    return reply;
}

// Session managers live until their sessions let them go: invalidate, then wait for that (other objects
// are passed over). Late notifications are delivered here, to the test that caused them.
inline bool letGo(const std::vector<std::shared_ptr<Object>>& objects) {
    std::vector<std::shared_ptr<HCURLSessionManager>> managers;
    for (const auto& object : objects)
        if (auto manager = std::dynamic_pointer_cast<HCURLSessionManager>(object))
            managers.push_back(manager);
    for (const auto& manager : managers) manager->invalidateSessionCancelingTasks(true);
    const bool gone = runMainUntil([&] {
        return std::none_of(managers.begin(), managers.end(),
                            [](const auto& m) { return bool(m->session()->delegate()); });
    });
    NSRunLoop::main().runUntilIdle();
    return gone;
}

// A loopback server and the managers a test made, let go at its end: every session must let its manager go
// (and with it the hooks and what they captured) before the next test starts.
class ManagerTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(letGo(managers_)) << "a session kept its manager"; }
    template <class M>
    std::shared_ptr<M> track(std::shared_ptr<M> manager) {
        managers_.push_back(manager);
        return manager;
    }
    NSURLRequest request(const std::string& path, const char* method = "GET") {
        return requestFor(server_.url(path), method);
    }

    LoopbackServer server_;
    std::vector<std::shared_ptr<Object>> managers_;
};

}  // namespace hctest

using namespace hctest;
