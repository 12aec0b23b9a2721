// The development back end: a stand-in for the service's server, for `make run` and for tests.
//
//   POST /viziDO/entry/appWeb.do?method=init   the entry point (EntryPoint.h): codes and sign-in
//   GET  /vqd_web/...                           the sample front end from the pages directory
//   GET  /api/...                               the JSON the front end reads (FrontEndApi.h)
//   GET  /                                      redirects to /vqd_web/
//
// Requests are answered on the server's own threads; every public method may be called from any thread.
// Destroying the object stops the server.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "devserver/EntryPoint.h"
#include "devserver/EntryReply.h"
#include "devserver/SignInLedger.h"

namespace httplib {
class Server;
}

class DevServer {
  public:
    struct Config {
        std::filesystem::path pagesDir;
        // Receives each code the server makes, and a line for each sign-in that could not be kept; empty:
        // printed on standard output.
        ConsoleLine console;
    };

    // Sign-ins are kept in memory until keepSignInsIn.
    explicit DevServer(Config config);
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    // Takes the sign-ins kept in `dataDir` (the file "signins.json" in it; both made when missing) and keeps
    // every later one there, so that they outlive the server. Returns "" when all went well, else a line
    // that says what went wrong; a file that cannot be read is moved aside (SignInLedger::keepIn) and the
    // server goes on with no sign-ins from it.
    std::string keepSignInsIn(const std::filesystem::path& dataDir);

    // Binds `host`:`port` (0 picks a free port) and starts answering. Returns the bound port, or nullopt
    // with a reason in `error` when the address cannot be bound or the server is already running.
    std::optional<int> start(const std::string& host, int port, std::string* error = nullptr);
    // Stops answering and waits for the server's threads. Safe to call when stopped.
    void stop();

    bool isRunning() const;
    int port() const;
    // "http://HOST:PORT" followed by `path`.
    std::string url(std::string_view path = "") const;

    // Requests seen per path (without the query), whatever the answer was.
    size_t hits(std::string_view path) const;
    std::map<std::string, size_t> allHits() const;

    // The code an account may sign in with now, and every token handed out.
    std::optional<std::string> liveCode(const std::string& account) const;
    std::vector<IssuedToken> tokens() const;

    // Test hooks: every entry request of `type` ("1" or "2") gets `reply` instead of its real answer,
    // until cleared. A scripted request changes no codes or tokens.
    void scriptReply(const std::string& type, EntryReply reply);
    void clearScriptedReply(const std::string& type);
    void clearScriptedReplies();

  private:
    void installRoutes(httplib::Server& server);
    EntryReply answerEntry(std::string_view method, std::string_view body);
    std::optional<EntryReply> scriptedReply(const std::string& type) const;
    void countHit(const std::string& path);

    const Config config_;
    const ConsoleLine console_;
    SignInLedger ledger_;

    mutable std::mutex mutex_;  // guards everything below
    std::map<std::string, size_t, std::less<>> hits_;
    std::map<std::string, EntryReply> scripted_;
    std::string host_;
    int port_ = 0;

    std::mutex lifecycleMutex_;  // serialises start and stop
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
};
