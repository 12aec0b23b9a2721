#include "devserver/DevServer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include "devserver/FrontEndApi.h"
#include "devserver/PageFiles.h"

namespace {

constexpr const char* kEntryPath = "/viziDO/entry/appWeb.do";
constexpr const char* kPagesMount = "/vqd_web";
constexpr auto kStartStopLimit = std::chrono::seconds(10);

void send(httplib::Response& res, const EntryReply& reply) {
    res.status = reply.status;
    if (reply.contentType.empty()) {
        res.body = reply.body;
    } else {
        res.set_content(reply.body, reply.contentType.c_str());
    }
}

void sendText(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain;charset=UTF-8");
}

std::optional<std::string> readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(contents).str();
}

// Why `host`:`port` cannot be bound, in the system's words. The server library says only that it failed, so
// the bind is tried again on a socket of our own, with the same options.
std::string bindFailure(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); status != 0)
        return gai_strerror(status);
    std::string reason = "no address to listen on";
    for (addrinfo* at = found; at; at = at->ai_next) {
        int sock = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (sock < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        bool bound = bind(sock, at->ai_addr, at->ai_addrlen) == 0;
        reason = bound ? "the server library refused it" : std::strerror(errno);
        close(sock);
        if (!bound) break;
    }
    freeaddrinfo(found);
    return reason;
}

ConsoleLine standardOutput() {
    return [](const std::string& line) {
        static std::mutex stdoutMutex;
        std::lock_guard lock(stdoutMutex);
        std::cout << line << std::endl;
    };
}

}  // namespace

DevServer::DevServer(Config config)
    : config_(std::move(config)), console_(config_.console ? config_.console : standardOutput()) {}

std::string DevServer::keepSignInsIn(const std::filesystem::path& dataDir) {
    return ledger_.keepIn(dataDir / "signins.json");
}

DevServer::~DevServer() {
    stop();
}

std::optional<int> DevServer::start(const std::string& host, int port, std::string* error) {
    auto fail = [&](std::string reason) -> std::optional<int> {
        if (error) {
            *error = std::move(reason);
        }
        return std::nullopt;
    };
    if (port < 0 || port > 65535) {
        return fail("port out of range: " + std::to_string(port));
    }

    std::lock_guard lifecycle(lifecycleMutex_);
    if (server_) {
        return fail("already running");
    }
    auto server = std::make_unique<httplib::Server>();
    installRoutes(*server);
    // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, under which a second server would
    // quietly share a port that is already taken instead of failing to start.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Headers and body go out in two writes: without this, a kept connection waits out the client's
    // delayed acknowledgement between them on every reply.
    server->set_tcp_nodelay(true);
    server->set_payload_max_length(1 << 20);
    server->set_read_timeout(5);
    server->set_write_timeout(5);

    int bound = port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        return fail("cannot listen on " + host + ":" + std::to_string(port) + ": " + bindFailure(host, port));
    }

    // The socket already listens, so connections queue until the accept loop runs; wait for that loop
    // all the same, because the library ignores a stop that comes before it.
    auto finished = std::make_shared<std::atomic<bool>>(false);
    listener_ = std::thread([raw = server.get(), finished] {
        raw->listen_after_bind();
        finished->store(true);
    });
    auto waitFor = [](const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + kStartStopLimit;
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    };
    if (!waitFor([&] { return server->is_running() || finished->load(); }) || !server->is_running()) {
        // Stop as soon as the loop runs, however late; a loop that never came gets the server for good
        // rather than a join that could hang.
        if (waitFor([&] {
                server->stop();
                return finished->load();
            })) {
            listener_.join();
        } else {
            listener_.detach();
            (void)server.release();
        }
        return fail("server did not start on " + host + ":" + std::to_string(bound));
    }

    server_ = std::move(server);
    std::lock_guard lock(mutex_);
    host_ = host;
    port_ = bound;
    return bound;
}

void DevServer::stop() {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (!server_) {
        return;
    }
    server_->stop();
    listener_.join();
    server_.reset();
    std::lock_guard lock(mutex_);
    port_ = 0;
}

bool DevServer::isRunning() const {
    std::lock_guard lock(mutex_);
    return port_ != 0;
}

int DevServer::port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

std::string DevServer::url(std::string_view path) const {
    std::lock_guard lock(mutex_);
    return "http://" + host_ + ":" + std::to_string(port_) + std::string(path);
}

size_t DevServer::hits(std::string_view path) const {
    std::lock_guard lock(mutex_);
    auto found = hits_.find(path);
    return found == hits_.end() ? 0 : found->second;
}

std::map<std::string, size_t> DevServer::allHits() const {
    std::lock_guard lock(mutex_);
    return {hits_.begin(), hits_.end()};
}

std::optional<std::string> DevServer::liveCode(const std::string& account) const {
    return ledger_.liveCode(account);
}

std::vector<IssuedToken> DevServer::tokens() const {
    return ledger_.tokens();
}

void DevServer::scriptReply(const std::string& type, EntryReply reply) {
    std::lock_guard lock(mutex_);
    scripted_[type] = std::move(reply);
}

void DevServer::clearScriptedReply(const std::string& type) {
    std::lock_guard lock(mutex_);
    scripted_.erase(type);
}

void DevServer::clearScriptedReplies() {
    std::lock_guard lock(mutex_);
    scripted_.clear();
}

std::optional<EntryReply> DevServer::scriptedReply(const std::string& type) const {
    std::lock_guard lock(mutex_);
    auto found = scripted_.find(type);
    if (found == scripted_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void DevServer::countHit(const std::string& path) {
    std::lock_guard lock(mutex_);
    ++hits_[path];
}

EntryReply DevServer::answerEntry(std::string_view method, std::string_view body) {
    if (method != "init") {
        return entryError("unknown method");
    }
    ParsedEntry parsed = parseEntryRequest(body);
    if (!parsed.request) {
        return parsed.error;
    }
    if (auto scripted = scriptedReply(parsed.request->type)) {
        return *scripted;
    }
    return answerEntryRequest(*parsed.request, ledger_, console_);
}

void DevServer::installRoutes(httplib::Server& server) {
    using httplib::Request;
    using httplib::Response;

    server.set_pre_routing_handler([this](const Request& req, Response&) {
        countHit(req.path);
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Post(kEntryPath, [this](const Request& req, Response& res) {
        std::string method = req.has_param("method") ? req.get_param_value("method") : "";
        send(res, answerEntry(method, req.body));
    });
    server.Get(kEntryPath, [](const Request&, Response& res) {
        EntryReply reply = entryError("use POST");
        reply.status = 405;
        res.set_header("Allow", "POST");
        send(res, reply);
    });

    server.Get(R"(/api/(.*))", [this](const Request& req, Response& res) {
        std::string authorization = req.get_header_value("Authorization");
        send(res, answerFrontEndApi(req.matches[1].str(), authorization, ledger_));
    });

    server.Get("/", [](const Request&, Response& res) { res.set_redirect("/vqd_web/"); });
    server.Get(kPagesMount, [](const Request&, Response& res) { res.set_redirect("/vqd_web/"); });
    server.Get(R"(/vqd_web/(.*))", [this](const Request& req, Response& res) {
        PageLookup page =
            findPage(config_.pagesDir, std::string_view(req.path).substr(sizeof "/vqd_web/" - 1));
        if (page.result == PageLookup::Result::Refused) {
            return sendText(res, 400, "refused: the path leaves the pages directory");
        }
        auto contents = page.result == PageLookup::Result::Found ? readFile(page.file) : std::nullopt;
        if (!contents) {
            return sendText(res, 404, "no such page");
        }
        res.set_content(std::move(*contents), pageContentType(page.file).c_str());
    });

    server.set_error_handler([](const Request& req, Response& res) {
        // Fills in routing failures; replies of the entry point (scripted ones included) stay as they are.
        if (res.body.empty() && req.path != kEntryPath) {
            sendText(res, res.status, res.status == 404 ? "not found" : "request failed");
        }
    });
    server.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        send(res, EntryReply::json(R"({"errCode":1,"errInfo":"internal error"})", 500));
    });
}
