#include "testsupport/LoopbackServer.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "testsupport/TempDir.h"
#include "testsupport/TestPKI.h"

namespace {

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> LoopbackRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (sameName(key, name)) return value;
    }
    return std::nullopt;
}

LoopbackReply LoopbackReply::text(std::string body, int status) {
    LoopbackReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

LoopbackReply LoopbackReply::json(std::string body, int status) {
    LoopbackReply reply = text(std::move(body), status);
    reply.contentType = "application/json";
    return reply;
}

LoopbackReply LoopbackReply::redirect(int status, std::string location) {
    LoopbackReply reply;
    reply.status = status;
    reply.headers.emplace_back("Location", std::move(location));
    reply.body = "redirecting";
    return reply;
}

struct LoopbackServer::Impl {
    std::unique_ptr<httplib::Server> server;
    std::unique_ptr<TempDir> files;  // the HTTPS server's certificate and key
};

LoopbackServer::LoopbackServer(Scheme scheme) : scheme_(scheme), impl_(std::make_unique<Impl>()) {
    if (scheme == Scheme::HTTPS) {
        const TestPKI& pki = TestPKI::shared();
        impl_->files = std::make_unique<TempDir>();
        TestServerFiles files = pki.writeServerFiles(impl_->files->path(), pki.server());
        impl_->server = std::make_unique<httplib::SSLServer>(files.certificateChainPath.c_str(),
                                                             files.privateKeyPath.c_str());
    } else {
        impl_->server = std::make_unique<httplib::Server>();
    }
    start();
}

LoopbackServer::LoopbackServer(const TestPKI& pki, const TestCredential& leaf)
    : scheme_(Scheme::HTTPS), impl_(std::make_unique<Impl>()) {
    impl_->files = std::make_unique<TempDir>();
    TestServerFiles files = pki.writeServerFiles(impl_->files->path(), leaf);
    impl_->server = std::make_unique<httplib::SSLServer>(files.certificateChainPath.c_str(),
                                                         files.privateKeyPath.c_str());
    start();
}

void LoopbackServer::start() {
    auto& server = *impl_->server;
    if (!server.is_valid()) {
        std::fprintf(stderr, "LoopbackServer: the TLS certificate or key cannot be used\n");
        return;
    }
    server.new_task_queue = [] { return new httplib::ThreadPool(24); };
    // Headers and body go out in two writes: without TCP_NODELAY a delayed ACK stalls each reply. A client
    // keeps its connection as long as it likes (up to the idle timeout).
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(size_t(1) << 30);
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    auto handle = [this](const httplib::Request& in, httplib::Response& out) {
        // Range requests are the handlers' business: httplib would otherwise slice every reply itself. The
        // request object is httplib's own, non-const one.
        const_cast<httplib::Request&>(in).ranges.clear();
        LoopbackRequest request;
        request.method = in.method;
        request.path = in.path;
        size_t question = in.target.find('?');
        if (question != std::string::npos) request.query = in.target.substr(question + 1);
        for (const auto& [key, value] : in.headers) {
            // httplib adds these for its own bookkeeping; they were not sent.
            if (key == "REMOTE_PORT") request.remotePort = std::atoi(value.c_str());
            if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" || key == "LOCAL_PORT")
                continue;
            request.headers.emplace_back(key, value);
        }
        request.body = in.body;
        LoopbackReply reply = dispatch(request);
        if (reply.delay > 0 && !pause(reply.delay)) return;
        out.status = reply.status;
        for (const auto& [key, value] : reply.headers) out.set_header(key, value);
        if (reply.chunkSize == 0) {
            out.set_content(reply.body, reply.contentType);
            return;
        }
        auto body = std::make_shared<std::string>(std::move(reply.body));
        size_t chunk = reply.chunkSize;
        double chunkDelay = reply.chunkDelay;
        out.set_chunked_content_provider(
            reply.contentType, [this, body, chunk, chunkDelay](size_t offset, httplib::DataSink& sink) {
                if (offset > 0 && chunkDelay > 0 && !pause(chunkDelay)) return false;
                if (offset >= body->size()) {
                    sink.done();
                    return true;
                }
                size_t length = std::min(chunk, body->size() - offset);
                return sink.write(body->data() + offset, length);
            });
    };
    const char* pattern = R"(.*)";
    server.Get(pattern, handle);
    server.Post(pattern, handle);
    server.Put(pattern, handle);
    server.Patch(pattern, handle);
    server.Delete(pattern, handle);
    server.Options(pattern, handle);
    port_ = server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        std::fprintf(stderr, "LoopbackServer: cannot bind to 127.0.0.1\n");
        return;
    }
    thread_ = std::thread([this] { impl_->server->listen_after_bind(); });
    // Ready once the listen loop runs (bounded).
    for (int i = 0; i < 500 && !impl_->server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

LoopbackServer::~LoopbackServer() {
    stop();
}

void LoopbackServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
    }
    changed_.notify_all();
    impl_->server->stop();
    if (thread_.joinable()) thread_.join();
}

void LoopbackServer::on(std::string method, std::string path, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_.insert(handlers_.begin(), {{std::move(method), std::move(path)}, std::move(handler)});
}

void LoopbackServer::reply(std::string path, LoopbackReply reply) {
    on("", std::move(path), [reply](const LoopbackRequest&) { return reply; });
}

LoopbackReply LoopbackServer::dispatch(const LoopbackRequest& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        log_.push_back(request);
        ports_.insert(request.remotePort);
        ++hits_[request.path];
        for (const auto& [key, candidate] : handlers_) {
            if ((key.first.empty() || key.first == request.method) && key.second == request.path) {
                handler = candidate;
                break;
            }
        }
    }
    changed_.notify_all();
    if (!handler) return LoopbackReply::text("not found", 404);
    return handler(request);
}

std::string LoopbackServer::url(std::string_view path) const {
    return url("127.0.0.1", path);
}

std::string LoopbackServer::url(std::string_view host, std::string_view path) const {
    std::string text = scheme_ == Scheme::HTTPS ? "https://" : "http://";
    text += host;
    text += ":" + std::to_string(port_);
    if (path.empty() || path[0] != '/') text += "/";
    text += path;
    return text;
}

std::vector<LoopbackRequest> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::optional<LoopbackRequest> LoopbackServer::lastRequest(std::string_view path) const {
    std::lock_guard lock(mutex_);
    for (auto it = log_.rbegin(); it != log_.rend(); ++it) {
        if (it->path == path) return *it;
    }
    return std::nullopt;
}

size_t LoopbackServer::hits(std::string_view path) const {
    std::lock_guard lock(mutex_);
    auto it = hits_.find(path);
    return it == hits_.end() ? 0 : it->second;
}

size_t LoopbackServer::connections() const {
    std::lock_guard lock(mutex_);
    return ports_.size();
}

size_t LoopbackServer::totalHits() const {
    std::lock_guard lock(mutex_);
    return log_.size();
}

bool LoopbackServer::waitForHits(std::string_view path, size_t count, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
        auto it = hits_.find(path);
        return it != hits_.end() && it->second >= count;
    });
}

bool LoopbackServer::pause(double seconds) const {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping_; });
}
