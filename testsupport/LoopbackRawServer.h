// A loopback TCP server whose connections are scripted byte by byte, for replies that a well-behaved
// HTTP server never sends: closing before the headers, broken status lines, truncated bodies, stalls,
// giant headers.
//
// Each accepted connection runs the script on its own thread with a `LoopbackConnection`. Every wait is
// bounded and ends early when the server stops; destroying the server closes every connection and joins
// every thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class LoopbackConnection {
  public:
    // Reads one request's head and its Content-Length body (at most `timeoutSeconds`); "" on failure.
    std::string readRequest(double timeoutSeconds = 5);
    bool write(std::string_view bytes);
    // Waits `seconds` or until the server stops; false when it stopped.
    bool stall(double seconds);
    void close();
    // Ends the connection with a TCP reset instead of a close.
    void reset();

  private:
    friend class LoopbackRawServer;
    LoopbackConnection(int fd, class LoopbackRawServer& server) : fd_(fd), server_(server) {}
    int fd_;
    LoopbackRawServer& server_;
};

class LoopbackRawServer {
  public:
    using Script = std::function<void(LoopbackConnection&)>;

    explicit LoopbackRawServer(Script script);
    ~LoopbackRawServer();
    LoopbackRawServer(const LoopbackRawServer&) = delete;
    LoopbackRawServer& operator=(const LoopbackRawServer&) = delete;

    int port() const { return port_; }
    std::string url(std::string_view path = "/") const;
    size_t connections() const { return accepted_.load(); }
    void stop();

  private:
    friend class LoopbackConnection;
    void acceptLoop();

    Script script_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<size_t> accepted_{0};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    std::vector<int> openFds_;
};
