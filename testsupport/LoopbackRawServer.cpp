#include "testsupport/LoopbackRawServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

std::string LoopbackConnection::readRequest(double timeoutSeconds) {
    auto start = std::chrono::steady_clock::now();
    std::string data;
    size_t needed = std::string::npos;
    char buffer[4096];
    while (secondsSince(start) < timeoutSeconds) {
        size_t headEnd = data.find("\r\n\r\n");
        if (headEnd != std::string::npos && needed == std::string::npos) {
            size_t length = 0;
            std::string head = data.substr(0, headEnd);
            for (auto& c : head) c = char(std::tolower(static_cast<unsigned char>(c)));
            size_t at = head.find("\r\ncontent-length:");
            if (at != std::string::npos) length = size_t(std::strtoull(head.c_str() + at + 17, nullptr, 10));
            needed = headEnd + 4 + length;
        }
        if (needed != std::string::npos && data.size() >= needed) return data;
        pollfd descriptor{fd_, POLLIN, 0};
        int ready = ::poll(&descriptor, 1, 50);
        if (ready < 0) return "";
        if (ready == 0) continue;
        ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
        if (count <= 0) return "";
        data.append(buffer, size_t(count));
    }
    return "";
}

bool LoopbackConnection::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count <= 0) return false;
        bytes.remove_prefix(size_t(count));
    }
    return true;
}

bool LoopbackConnection::stall(double seconds) {
    std::unique_lock lock(server_.mutex_);
    return !server_.stopped_.wait_for(lock, std::chrono::duration<double>(seconds),
                                      [&] { return server_.stopping_; });
}

void LoopbackConnection::close() {
    ::shutdown(fd_, SHUT_RDWR);
}

void LoopbackConnection::reset() {
    sockaddr address{};
    address.sa_family = AF_UNSPEC;  // disconnects a TCP socket with a reset
    ::connect(fd_, &address, sizeof address);
}

LoopbackRawServer::LoopbackRawServer(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackRawServer::~LoopbackRawServer() {
    stop();
}

void LoopbackRawServer::acceptLoop() {
    for (;;) {
        pollfd descriptor{listenFd_, POLLIN, 0};
        int ready = ::poll(&descriptor, 1, 20);
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        if (ready <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        std::lock_guard lock(mutex_);
        openFds_.push_back(fd);
        workers_.emplace_back([this, fd] {
            LoopbackConnection connection(fd, *this);
            script_(connection);
            ::shutdown(fd, SHUT_RDWR);
        });
    }
}

void LoopbackRawServer::stop() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
    for (int fd : openFds_) ::close(fd);
    openFds_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

std::string LoopbackRawServer::url(std::string_view path) const {
    std::string text = "http://127.0.0.1:" + std::to_string(port_);
    if (path.empty() || path[0] != '/') text += "/";
    text += path;
    return text;
}
