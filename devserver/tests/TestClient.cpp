#include "devserver/tests/TestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

#include <httplib.h>

RawReply rawGet(int port, const std::string& target) {
    RawReply reply;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return reply;
    }
    timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            ssize_t got;
            while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
                response.append(buffer, static_cast<size_t>(got));
            }
        }
    }
    close(fd);

    size_t headEnd = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.1 ", 0) != 0 || headEnd == std::string::npos) {
        return reply;
    }
    reply.status = std::atoi(response.c_str() + 9);
    reply.head = response.substr(0, headEnd);
    reply.body = response.substr(headEnd + 4);
    return reply;
}

EntryResult postEntry(int port, const std::string& body, const std::string& query) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(3);
    client.set_read_timeout(3);
    EntryResult result;
    auto response = client.Post("/viziDO/entry/appWeb.do?" + query, body, "application/json");
    if (!response) {
        return result;
    }
    result.status = response->status;
    result.contentType = response->get_header_value("Content-Type");
    result.body = response->body;
    result.json = nlohmann::json::parse(result.body, nullptr, false);
    return result;
}

EntryResult askCode(int port, const std::string& account, const std::string& mtype) {
    return postEntry(port, nlohmann::json{{"account", account}, {"type", "1"}, {"mtype", mtype}}.dump());
}

EntryResult signIn(int port, const std::string& account, const std::string& code) {
    return postEntry(port, nlohmann::json{{"account", account}, {"password", code}, {"type", "2"}}.dump());
}
