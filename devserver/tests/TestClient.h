// A raw HTTP client and a server on a free port for the development back end's tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "devserver/DevServer.h"

struct Reply {
    int status = 0;  // 0: no reply at all
    std::string head, body;

    nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
    std::string header(const std::string& name) const {  // "" when absent
        size_t at = head.find("\r\n" + name + ": "), from = at + name.size() + 4;
        return at == std::string::npos ? "" : head.substr(from, head.find("\r\n", from) - from);
    }
};

// Sends "GET target HTTP/1.1" (POST when there is a body) exactly as given, with no normalisation or
// encoding on the way, and reads until the server closes; each read is bounded.
inline Reply request(int port, const std::string& target, const std::string& headers = "",
                     const std::string& body = "") {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::string out = (body.empty() ? "GET " : "POST ") + target +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers +
                      "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                in;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size())) {
        char buffer[4096];
        for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) in.append(buffer, size_t(got));
    }
    close(fd);
    size_t headEnd = in.find("\r\n\r\n");
    if (!in.starts_with("HTTP/1.1 ") || headEnd == std::string::npos) return {};
    return {std::stoi(in.substr(9, 3)), in.substr(0, headEnd), in.substr(headEnd + 4)};
}
inline Reply postEntry(int port, const std::string& body, const std::string& query = "method=init") {
    return request(port, "/viziDO/entry/appWeb.do?" + query, "", body);
}
inline Reply askCode(int port, const std::string& account, const std::string& mtype = "1") {
    return postEntry(port, nlohmann::json{{"account", account}, {"type", "1"}, {"mtype", mtype}}.dump());
}
inline Reply signIn(int port, const std::string& account, const std::string& code) {
    return postEntry(port, nlohmann::json{{"account", account}, {"password", code}, {"type", "2"}}.dump());
}

inline constexpr const char* kSecret = "TOPSECRET-outside-the-pages";

// The server on a free port of 127.0.0.1 and the lines it prints. It serves root/pages; root/secret.txt
// lies beside them and must never be served.
struct DevServerTest : ::testing::Test {
    DevServerTest() {
        std::filesystem::create_directories(pages);
        std::ofstream(pages / "index.html") << "<title>home</title>";
        std::ofstream(pages / "app.js") << "var x = 1;";
        std::ofstream(root / "secret.txt") << kSecret;
        std::filesystem::create_symlink(root / "secret.txt", pages / "escape.txt");
        std::filesystem::create_directory_symlink(root, pages / "outside");
    }
    ~DevServerTest() override { std::filesystem::remove_all(root); }
    std::vector<std::string> consoleLines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("devserver-pages-" + std::to_string(getpid()));
    const std::filesystem::path pages = root / "pages";
    std::mutex mutex_;
    std::vector<std::string> lines_;
    // Collects the lines a server prints.
    ConsoleLine collect() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
    }
    DevServer server_{{pages, collect()}};
    const int port_ = server_.start("127.0.0.1", 0).value_or(0);
};
