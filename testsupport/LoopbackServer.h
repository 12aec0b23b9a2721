// Loopback HTTP test servers for every module's tests.
//
// `LoopbackServer` speaks HTTP/1.1 (chunked bodies, keep-alive) on 127.0.0.1 at a port the OS picks.
// Replies are scripted per path (`reply`) or made by handler callbacks (`on`); unknown paths get 404.
// Every request is logged (method, path, query, headers, body) and counted; waits on the log are bounded.
// A "Range" header is passed to the handler as it is; the server never answers with part of a body itself.
// The object is the RAII handle: destroying it stops the server, waking handlers that are still delaying.
//
// `LoopbackRawServer` (LoopbackRawServer.h) is for replies no well-behaved server sends: closing before
// the headers, broken status lines, stalls.
//
// `Scheme::HTTPS` serves the same over TLS with a certificate of the test PKI (TestPKI.h): by default the
// shared PKI's "server" leaf (DNS:localhost, IP:127.0.0.1, IP:::1) sent with its intermediate, so a client
// that trusts the PKI's root accepts https://127.0.0.1 and https://localhost. Another leaf (expired, wrong
// host, self-signed, ...) makes the deliberately bad servers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

struct TestCredential;
class TestPKI;

struct LoopbackRequest {
    std::string method;
    std::string path;   // without the query
    std::string query;  // raw text after "?", "" when none
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int remotePort = 0;  // the client's side of the connection it came on

    // Case-insensitive; nullopt when absent.
    std::optional<std::string> header(std::string_view name) const;
};

struct LoopbackReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string contentType = "text/plain";
    double delay = 0;       // seconds before the reply is sent
    size_t chunkSize = 0;   // > 0: chunked transfer encoding in pieces of this size
    double chunkDelay = 0;  // seconds before each chunk after the first

    static LoopbackReply text(std::string body, int status = 200);
    static LoopbackReply json(std::string body, int status = 200);
    static LoopbackReply redirect(int status, std::string location);
};

class LoopbackServer {
  public:
    enum class Scheme { HTTP, HTTPS };
    using Handler = std::function<LoopbackReply(const LoopbackRequest&)>;

    explicit LoopbackServer(Scheme scheme = Scheme::HTTP);
    // HTTPS with `leaf` of `pki` (the intermediate is sent along unless the leaf is self-signed).
    LoopbackServer(const TestPKI& pki, const TestCredential& leaf);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // A handler for `path` (exact match, without query); `method` "" matches any method. Handlers run on
    // the server's threads, several at a time.
    void on(std::string method, std::string path, Handler handler);
    // The same reply to every request for `path`.
    void reply(std::string path, LoopbackReply reply);

    int port() const { return port_; }
    Scheme scheme() const { return scheme_; }
    // "<scheme>://127.0.0.1:<port><path>".
    std::string url(std::string_view path = "/") const;
    // The same with another host name for the loopback address ("localhost"), for host-name checks.
    std::string url(std::string_view host, std::string_view path) const;
    // False when the server could not start (no port, unreadable certificate); the reason went to stderr.
    bool isRunning() const { return port_ > 0; }

    std::vector<LoopbackRequest> requests() const;
    std::optional<LoopbackRequest> lastRequest(std::string_view path) const;
    size_t hits(std::string_view path) const;
    size_t totalHits() const;
    // Connections that carried at least one request (told apart by the client's port).
    size_t connections() const;
    // Waits (real time, at most `timeoutSeconds`) until `path` has been hit `count` times.
    bool waitForHits(std::string_view path, size_t count, double timeoutSeconds = 5) const;

    // Sleeps for `seconds` unless the server stops first; false when it stopped. For handlers.
    bool pause(double seconds) const;

    void stop();

  private:
    struct Impl;
    void start();
    LoopbackReply dispatch(const LoopbackRequest& request);

    Scheme scheme_;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<std::pair<std::pair<std::string, std::string>, Handler>> handlers_;
    std::vector<LoopbackRequest> log_;
    std::map<std::string, size_t, std::less<>> hits_;
    std::set<int> ports_;
};
