// The I/O thread: libcurl's multi loop, the easy handle of each hop and its callbacks, redirects, body
// streams, timeouts.
#include "platform/net/URLSessionInternal.h"

#include <cassert>
#include <cerrno>
#include <cstring>

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/TextUtil.h"

using namespace URLSessionSupport;

namespace {

constexpr int kMaxRedirects = 16;
constexpr size_t kMaxHeaderBytes = 256 * 1024;
constexpr int kStreamPollMilliseconds = 10;

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

NSErrorPtr errorForCurl(CURLcode code, long osErrno, const char* message, const std::shared_ptr<NSURL>& url) {
    std::string detail = message && *message ? message : curl_easy_strerror(code);
    long mapped;
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            mapped = NSURLErrorCannotFindHost;
            break;
        case CURLE_COULDNT_CONNECT:
            mapped = (osErrno == ENETUNREACH || osErrno == ENETDOWN || osErrno == EHOSTUNREACH)
                         ? NSURLErrorNotConnectedToInternet
                         : NSURLErrorCannotConnectToHost;
            break;
        case CURLE_OPERATION_TIMEDOUT:
            mapped = NSURLErrorTimedOut;
            break;
        case CURLE_URL_MALFORMAT:
            mapped = NSURLErrorBadURL;
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:  // also a reply without status line (HTTP/0.9)
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_OUT_OF_MEMORY:  // a header line beyond libcurl's limit
            mapped = NSURLErrorCannotParseResponse;
            break;
        case CURLE_TOO_MANY_REDIRECTS:
            mapped = NSURLErrorHTTPTooManyRedirects;
            break;
        case CURLE_SEND_FAIL_REWIND:
            mapped = NSURLErrorRequestBodyStreamExhausted;
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
            mapped = NSURLErrorSecureConnectionFailed;
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            mapped = NSURLErrorServerCertificateUntrusted;
            break;
        default:
            mapped = NSURLErrorNetworkConnectionLost;
            break;  // empty reply, reset, truncated body, ...
    }
    return NSURLError(mapped, url, detail);
}

}  // namespace

size_t NSURLSessionIO::onHeader(char* bytes, size_t size, size_t count, void* user) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    size_t length = size * count;
    t.lastActivity = SteadyClock::now();
    t.headerBytes += length;
    if (t.headerBytes > kMaxHeaderBytes) {
        t.failure = NSURLError(NSURLErrorCannotParseResponse, t.request.URL(), "response headers too large");
        return 0;
    }
    switch (t.head.take(std::string_view(bytes, length))) {
        case HTTPResponseHead::Line::Status:
        case HTTPResponseHead::Line::Field:
        case HTTPResponseHead::Line::Ignored:
            return length;
        case HTTPResponseHead::Line::TooManyFields:
            t.failure =
                NSURLError(NSURLErrorCannotParseResponse, t.request.URL(),
                           "more than " + std::to_string(HTTPResponseHead::kMaxFields) + " header fields");
            return 0;
        case HTTPResponseHead::Line::End:
            break;
    }
    const long status = t.head.status;
    if (status >= 100 && status < 200) return length;  // an interim response; the real one follows
    // The response takes the fields; a later head (trailers, the next hop) sets them again.
    t.response =
        NSHTTPURLResponse::create(t.request.URL(), status, t.head.version, std::move(t.head.headers));
    if (isRedirectStatus(status) && t.response->headerFields().contains("Location")) {
        if (t.hops >= kMaxRedirects) {
            t.failure = NSURLError(NSURLErrorHTTPTooManyRedirects, t.request.URL());
            return 0;
        }
        if (auto next = redirectedRequest(t)) {
            askToFollow(t, std::move(next->first), std::move(next->second));
            return length;
        }
    }
    if (auto error = acceptResponse(t)) {
        t.failure = error;
        return 0;
    }
    return length;
}

// The response is the task's (a final one, or a redirect that is not followed): checked, announced, and its
// body let through once the delegate allows it.
NSErrorPtr NSURLSessionIO::acceptResponse(URLSessionTransfer& t) {
    const auto& response = t.response;
    if (auto problem = contentLengthProblem(response->headerFields()); !problem.empty())
        return NSURLError(NSURLErrorCannotParseResponse, t.request.URL(), problem);
    if (t.task->internal_->download) {
        if (auto error = t.impl->prepareDownloadResponse(t.task, response)) return error;
    } else {
        considerCaching(t);
    }
    auto task = t.task;
    t.awaitingAnswer = t.impl->announceResponse(task, response);
    if (!t.awaitingAnswer) return nullptr;
    std::weak_ptr<NSURLSession> weakSession = t.session;
    t.impl->askAboutResponse(task, response, [weakSession, task](auto disposition) {
        auto session = weakSession.lock();
        if (!session) return;
        session->impl_->post(task, [task, disposition](NSURLSessionIO& io) {
            URLSessionTransfer* t = io.find(task);
            if (!t || !t->awaitingAnswer) return;
            t->awaitingAnswer = false;
            if (disposition == NSURLSessionResponseDisposition::BecomeDownload) {
                if (auto error = io.becomeDownload(*t)) return io.finish(*t, error);
                t = io.find(t->task);
            }
            if (disposition == NSURLSessionResponseDisposition::Cancel) {
                io.finish(*t, NSURLError(NSURLErrorCancelled, t->request.URL()));
            } else {
                io.goOn(*t);
            }
        });
    });
    return nullptr;
}

// After an answer from the delegate: the transfer completes when it ended meanwhile, else reads on.
void NSURLSessionIO::goOn(URLSessionTransfer& t) {
    if (t.finishedAwaiting) return finish(t, t.failure);
    t.lastActivity = SteadyClock::now();
    applyPause(t);
}

size_t NSURLSessionIO::onWrite(char* bytes, size_t size, size_t count, void* user) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    size_t length = size * count;
    t.lastActivity = SteadyClock::now();
    if (t.awaitingAnswer || t.suspended) {
        t.pauseMask |= CURLPAUSE_RECV;
        return CURL_WRITEFUNC_PAUSE;
    }
    // libcurl hands over decoded bytes: a small compressed body cannot make us hold a large one.
    if (t.maximumBytes > 0 && t.task->received_.load() + int64_t(length) > t.maximumBytes) {
        t.failure = NSURLError(NSURLErrorDataLengthExceedsMaximum, t.request.URL(),
                               "the body is larger than " + std::to_string(t.maximumBytes) + " bytes");
        return 0;
    }
    if (auto error = t.impl->deliverData(t.task, bytes, length)) {
        t.failure = error;
        return 0;
    }
    if (t.cacheable) {
        if (t.cacheBody.size() + length > t.cache->memoryCapacity()) {
            t.cacheable = false;  // it could not be kept anyway
            std::vector<uint8_t>().swap(t.cacheBody);
        } else {
            t.cacheBody.insert(t.cacheBody.end(), bytes, bytes + length);
        }
    }
    return length;
}

size_t NSURLSessionIO::onRead(char* buffer, size_t size, size_t count, void* user) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    size_t room = size * count;
    if (t.suspended) {
        t.pauseMask |= CURLPAUSE_SEND;
        return CURL_READFUNC_PAUSE;
    }
    if (!t.stream) {
        size_t n = std::min(room, t.data.length() - t.offset);
        std::memcpy(buffer, t.data.bytes() + t.offset, n);
        t.offset += n;
        return n;
    }
    auto exhausted = [&](const std::string& detail) {
        t.failure = NSURLError(NSURLErrorRequestBodyStreamExhausted, t.request.URL(), detail);
        return size_t(CURL_READFUNC_ABORT);
    };
    NSInputStream& stream = *t.stream;
    if (stream.streamStatus() == NSStreamStatus::NotOpen) stream.open();
    NSStreamStatus status = stream.streamStatus();
    if (status == NSStreamStatus::Error) {
        auto error = stream.streamError();
        return exhausted(error ? error->localizedDescription() : "the body stream failed");
    }
    if (t.expectedSend >= 0 && t.bodyRead >= t.expectedSend) return 0;
    bool ended = status == NSStreamStatus::AtEnd || status == NSStreamStatus::Closed;
    if (!ended && !stream.hasBytesAvailable()) {
        t.waitingForStream = true;
        t.pauseMask |= CURLPAUSE_SEND;
        return CURL_READFUNC_PAUSE;
    }
    size_t limit = t.expectedSend >= 0 ? std::min(room, size_t(t.expectedSend - t.bodyRead)) : room;
    long n = ended ? 0 : stream.read(reinterpret_cast<uint8_t*>(buffer), limit);
    if (n < 0) {
        auto error = stream.streamError();
        return exhausted(error ? error->localizedDescription() : "the body stream failed");
    }
    if (n == 0) {
        if (t.expectedSend >= 0 && t.bodyRead < t.expectedSend) {
            return exhausted("the body stream ended after " + std::to_string(t.bodyRead) + " of " +
                             std::to_string(t.expectedSend) + " bytes");
        }
        return 0;
    }
    t.bodyRead += n;
    t.lastActivity = SteadyClock::now();
    return size_t(n);
}

int NSURLSessionIO::onSeek(void* user, curl_off_t offset, int origin) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    if (!t.stream) {
        if (size_t(offset) > t.data.length()) return CURL_SEEKFUNC_FAIL;
        t.offset = size_t(offset);
        return CURL_SEEKFUNC_OK;
    }
    if (offset != 0) return CURL_SEEKFUNC_CANTSEEK;
    if (t.bodyRead == 0) return CURL_SEEKFUNC_OK;
    // Sent again (a kept connection died under the request): a stream that can start over does so.
    NSInputStreamPtr fresh;
    if (t.body.bodyKind() == NSURLRequest::BodyKind::File) {
        fresh = NSInputStream::inputStreamWithFileAtPath(t.body.HTTPBodyFile());
    } else if (t.stream->supportsCopying()) {
        fresh = std::dynamic_pointer_cast<NSInputStream>(t.stream->copyWithZone(nullptr));
    }
    if (!fresh) return CURL_SEEKFUNC_CANTSEEK;
    t.stream->close();
    t.stream = std::move(fresh);
    t.bodyRead = 0;
    t.waitingForStream = false;
    return CURL_SEEKFUNC_OK;
}

int NSURLSessionIO::onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t,
                               curl_off_t uploaded) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    if (downloaded > t.lastDownloaded) {
        t.lastDownloaded = downloaded;
        t.lastActivity = SteadyClock::now();
    }
    // libcurl's count includes chunk framing; the task counts body bytes only.
    uploaded = std::min<curl_off_t>(uploaded, t.stream ? t.bodyRead : curl_off_t(t.data.length()));
    if (uploaded > t.lastUploaded) {
        int64_t sent = uploaded - t.lastUploaded;
        // A body that went out in one go is followed by the response or the completion: its notice travels
        // with them instead of waking the delegate queue by itself.
        auto wake = t.lastUploaded == 0 && uploaded == t.expectedSend ? NSURLSession::Impl::Wake::Later
                                                                      : NSURLSession::Impl::Wake::Soon;
        t.lastUploaded = uploaded;
        t.lastActivity = SteadyClock::now();
        auto& impl = *t.impl;
        auto task = t.task;
        int64_t total = task->sent_.load() + sent;
        impl.setCounter(*task, task->sent_, "countOfBytesSent", total);
        if (impl.delegateResponds(NSURLSessionDelegate::Method::DidSendBodyData)) {
            auto session = impl.self();
            int64_t expected = task->expectedToSend_.load();
            impl.enqueue(
                [&impl, session, task, sent, total, expected] {
                    if (auto current = impl.currentDelegate()) {
                        current->didSendBodyData(session, task, sent, total, expected);
                    }
                },
                wake);
        }
    }
    return 0;
}

void NSURLSessionIO::start(const NSURLSessionTaskPtr& task, const NSURLRequest& request,
                           const NSURLRequest& body, int hops) {
    if (task->state() == NSURLSessionTaskState::Completed) return;
    NSURLSession::Impl& impl = implOf(task);
    const auto& url = request.URL();
    if (auto& download = task->internal_->download; download && !download->invalidResumeData.empty()) {
        impl.completeTask(task, NSURLError(NSURLErrorCannotDecodeRawData, url, download->invalidResumeData));
        return;
    }
    if (!url || url->scheme().empty()) {
        impl.completeTask(task, NSURLError(NSURLErrorBadURL, url));
        return;
    }
    if (!isHTTPScheme(url->scheme())) {
        impl.completeTask(task, NSURLError(NSURLErrorUnsupportedURL, url));
        return;
    }
    if (url->host().empty()) {
        impl.completeTask(task, NSURLError(NSURLErrorBadURL, url));
        return;
    }
    if (hops == 0 && !task->internal_->download && answerFromCache(task, request)) return;
    auto owned = std::make_unique<URLSessionTransfer>();
    URLSessionTransfer& t = *owned;
    t.session = impl.self();
    t.impl = &impl;
    t.task = task;
    t.request = request;
    t.body = bodyOnly(body);
    t.hops = hops;
    if (auto& download = task->internal_->download) {
        // The partial file went away (or shrank) since the resume data was made: ask for the whole body.
        if (download->resume && hops == 0 &&
            fileSize(download->resume->path) < download->resume->bytesReceived) {
            t.request.setValue(std::nullopt, "Range");
            t.request.setValue(std::nullopt, "If-Range");
        }
    }
    const NSURLRequest& sent = t.request;
    const auto& configuration = *impl.configuration;
    t.idleTimeout = sent.timeoutInterval() > 0 && sent.timeoutInterval() != NSURLRequestDefaultTimeoutInterval
                        ? sent.timeoutInterval()
                        : configuration.timeoutIntervalForRequest();
    if (t.idleTimeout <= 0) t.idleTimeout = NSURLRequestDefaultTimeoutInterval;
    t.resourceTimeout = configuration.timeoutIntervalForResource();
    if (!task->internal_->download)
        t.maximumBytes = std::max<int64_t>(0, configuration.maximumMemoryPerTask());

    bool hasBody = false;
    switch (body.bodyKind()) {
        case NSURLRequest::BodyKind::None:
            break;
        case NSURLRequest::BodyKind::Data:
            t.data = *body.HTTPBody();
            t.expectedSend = int64_t(t.data.length());
            hasBody = true;
            break;
        case NSURLRequest::BodyKind::File:
            t.expectedSend = fileSize(body.HTTPBodyFile());
            if (t.expectedSend < 0) {
                impl.completeTask(task, NSURLError(NSURLErrorFileDoesNotExist, url, body.HTTPBodyFile()));
                return;
            }
            t.stream = NSInputStream::inputStreamWithFileAtPath(body.HTTPBodyFile());
            hasBody = true;
            break;
        case NSURLRequest::BodyKind::Stream:
            t.stream = body.HTTPBodyStream();
            t.expectedSend = contentLengthOf(sent);
            hasBody = true;
            break;
    }
    {
        std::lock_guard lock(task->mutex_);
        task->currentRequest_ = sent;
    }
    impl.setCounter(*task, task->expectedToSend_, "countOfBytesExpectedToSend", t.expectedSend);
    impl.setCounter(*task, task->sent_, "countOfBytesSent", 0);

    CURL* easy = t.easy = takeHandle();
    if (share) curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, long(NSURLSessionIdleLifetime));
    const std::string& absolute = url->absoluteString();
    if (const size_t fragment = absolute.find('#'); fragment != std::string::npos) {
        curl_easy_setopt(easy, CURLOPT_URL, absolute.substr(0, fragment).c_str());  // libcurl keeps a copy
    } else {
        curl_easy_setopt(easy, CURLOPT_URL, absolute.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.errorBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    // Sent unless the request names encodings of its own; what comes back is decoded either way.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    if (dropRequested) {
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }

    const std::string& method = sent.HTTPMethod();
    // libcurl labels every body as a form; the platform does so for POST only.
    t.headerLines.assign(sent.headerFields(), configuration.HTTPAdditionalHeaders(),
                         hasBody && method != "POST" ? RequestHeaderLines::FormContentType::Remove
                                                     : RequestHeaderLines::FormContentType::Keep);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t.headerLines.list());

    t.suspended = task->state() == NSURLSessionTaskState::Suspended;
    if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (hasBody) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t.expectedSend));
        if (!t.stream && !t.suspended) {
            // Bytes in memory: libcurl sends a small body in the same write as the head (and sends it
            // again by itself when a kept connection dies under it). The transfer holds the bytes.
            static const uint8_t kNothing = 0;
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, t.data.length() ? t.data.bytes() : &kNothing);
        } else {
            // Streams, and a task suspended before it went out: read as it goes, so that it can pause.
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, &t);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, &t);
        }
        if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, 0L);
    } else if (method != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (TextUtil::equalsIgnoringASCIICase(url->scheme(), "https")) {
        NSURLSessionIO* io = this;
        URLSessionTransfer* transfer = &t;
        t.peerCheck = [io, transfer](const std::vector<Data>& chain) {
            return io->decideTrust(*transfer, chain);
        };
        // Only the shared loop's connections were trusted under the one default policy, so only they may
        // resume TLS sessions (a resumed session skips the check).
        std::string problem = URLSessionTLS::configure(easy, &t.peerCheck, share != nullptr);
        // Transfers that start while a connection is in its handshake wait for it to tell (ALPN) whether it
        // carries several at once (HTTP/2) instead of each opening one. Not for plain HTTP: there that is
        // known only from the first response, which may take long.
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        if (!problem.empty()) {
            impl.completeTask(task, NSURLError(NSURLErrorSecureConnectionFailed, url, problem));
            return;
        }
    }
    curl_multi_add_handle(multi, easy);
    transfers[task.get()] = std::move(owned);
    applyPause(t);
}

void NSURLSessionIO::done(URLSessionTransfer& t, CURLcode code) {
    curl_off_t uploaded = 0;
    if (curl_easy_getinfo(t.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK &&
        uploaded > t.lastUploaded) {
        onProgress(&t, 0, t.lastDownloaded, 0, uploaded);
    }
    if (t.failure) {
        finish(t, t.failure);
    } else if (code != CURLE_OK) {
        long osErrno = 0;
        curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osErrno);
        finish(t, errorForCurl(code, osErrno, t.errorBuffer, t.request.URL()));
    } else if (!t.response) {
        // The connection ended inside the headers.
        finish(t,
               NSURLError(NSURLErrorNetworkConnectionLost, t.request.URL(), "incomplete response headers"));
    } else if (t.awaitingAnswer) {
        // Complete once the delegate has answered didReceiveResponse.
        releaseHandle(t);
        t.finishedAwaiting = true;
    } else {
        finish(t, nullptr);
    }
}

// The transfer goes on for a download task in place of its data task, its body to a file.
NSErrorPtr NSURLSessionIO::becomeDownload(URLSessionTransfer& t) {
    auto download = t.impl->becomeDownload(t.task);
    auto owned = std::move(transfers[t.task.get()]);
    transfers.erase(t.task.get());
    t.task = download;
    transfers[download.get()] = std::move(owned);
    t.cacheable = false;  // downloads leave the cache alone
    t.cache = nullptr;
    t.maximumBytes = 0;  // and are not held to the memory bound
    if (auto error = t.impl->prepareDownloadResponse(download, t.response)) return error;
    t.impl->setCounter(*download, download->expectedToReceive_, "countOfBytesExpectedToReceive",
                       download->internal_->download->expectedTotal);
    return nullptr;
}

// The request a redirect leads to, with the source of its body; none when its Location is no http(s) URL.
std::optional<std::pair<NSURLRequest, NSURLRequest>> NSURLSessionIO::redirectedRequest(
    const URLSessionTransfer& t) {
    auto location = t.response->valueForHTTPHeaderField("Location");
    auto target = NSURL::URLWithString(*location, t.request.URL());
    if (!target || !isHTTPScheme(target->scheme())) return std::nullopt;
    NSURLRequest next = t.request;
    NSURLRequest bodySource = t.body;
    next.setURL(target->absoluteURL());
    long status = t.response->statusCode();
    const std::string& method = t.request.HTTPMethod();
    if ((status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST")) {
        next.setHTTPMethod("GET");
        next.setHTTPBody(std::nullopt);
        next.setValue(std::nullopt, "Content-Type");
        next.setValue(std::nullopt, "Content-Length");
        bodySource = NSURLRequest();
    }
    return std::make_pair(std::move(next), std::move(bodySource));
}

// The body of a redirect waits, unread, for the decision: a followed redirect's body is dropped without
// being read or decoded, whatever it holds; a refused one is the task's response, read like any other.
void NSURLSessionIO::askToFollow(URLSessionTransfer& t, NSURLRequest next, NSURLRequest bodySource) {
    t.redirect = true;
    t.awaitingAnswer = true;
    auto session = t.impl->self();
    auto task = t.task;
    auto response = t.response;
    const int hops = t.hops;
    std::weak_ptr<NSURLSession> weakSession = session;
    auto answer = [weakSession, task, bodySource, hops](std::optional<NSURLRequest> chosen) {
        auto session = weakSession.lock();
        if (!session) return;
        session->impl_->post(task, [task, bodySource, hops, chosen](NSURLSessionIO& io) {
            URLSessionTransfer* t = io.find(task);
            if (!t || !t->redirect) return;
            t->redirect = t->awaitingAnswer = false;
            if (!chosen) {
                if (auto error = acceptResponse(*t)) return io.finish(*t, error);
                if (!t->awaitingAnswer) io.goOn(*t);
                return;
            }
            io.releaseHandle(*t);
            io.transfers.erase(task.get());  // `t` is gone from here on
            NSURLRequest source = chosen->bodyKind() != NSURLRequest::BodyKind::None ? *chosen : bodySource;
            io.follow(task, *chosen, source, hops + 1);
        });
    };
    NSURLSession::Impl& impl = *t.impl;
    if (!impl.delegateResponds(NSURLSessionDelegate::Method::WillPerformHTTPRedirection)) {
        answer(std::move(next));
        return;
    }
    auto handler = onceHandler<std::optional<NSURLRequest>>(answer, std::optional<NSURLRequest>(next));
    impl.enqueue([&impl, session, task, response, next, handler] {
        if (auto current = impl.currentDelegate()) {
            current->willPerformHTTPRedirection(session, task, response, next, handler);
        } else {
            handler(next);
        }
    });
}

void NSURLSessionIO::follow(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body,
                            int hops) {
    NSURLSession::Impl& impl = implOf(task);
    if (task->state() == NSURLSessionTaskState::Canceling) {
        impl.completeTask(task, NSURLError(NSURLErrorCancelled, request.URL()));
        return;
    }
    if (auto loop = impl.loopFor(request); loop.get() != this) {  // http and https may run on other loops
        {
            std::lock_guard lock(task->mutex_);
            task->internal_->loop = loop;
        }
        impl.post(task,
                  [task, request, body, hops](NSURLSessionIO& io) { io.follow(task, request, body, hops); });
        return;
    }
    if (body.bodyKind() != NSURLRequest::BodyKind::Stream) {
        start(task, std::move(request), std::move(body), hops);
        return;
    }
    // A streamed body was used up by the earlier hop: ask for a new one.
    askForStream(task, std::move(request), std::move(body), hops);
}

void NSURLSessionIO::askForStream(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body,
                                  int hops) {
    NSURLSession::Impl& impl = implOf(task);
    if (!impl.delegateResponds(NSURLSessionDelegate::Method::NeedNewBodyStream)) {
        impl.completeTask(task, NSURLError(NSURLErrorRequestBodyStreamExhausted, request.URL()));
        return;
    }
    auto session = impl.self();
    std::weak_ptr<NSURLSession> weakSession = session;
    auto answer = [weakSession, task, request, body, hops](NSInputStreamPtr stream) {
        auto session = weakSession.lock();
        if (!session) return;
        session->impl_->post(task, [task, request, body, hops, stream](NSURLSessionIO& io) {
            if (task->state() == NSURLSessionTaskState::Completed) return;
            if (!stream) {
                implOf(task).completeTask(task,
                                          NSURLError(NSURLErrorRequestBodyStreamExhausted, request.URL()));
                return;
            }
            NSURLRequest source = body;
            source.setHTTPBodyStream(stream);
            io.start(task, request, source, hops);
        });
    };
    auto handler = onceHandler<NSInputStreamPtr>(answer, nullptr);
    auto& owner = impl;
    impl.enqueue([&owner, session, task, handler] {
        if (auto current = owner.currentDelegate()) {
            current->needNewBodyStream(session, task, handler);
        } else {
            handler(nullptr);
        }
    });
}

// A response whose body is at hand (a stored response) is the task's result: the response is announced, then
// the body delivered, then the task completes.
void NSURLSessionIO::deliverBufferedResponse(const NSURLSessionTaskPtr& task, NSURLResponsePtr response,
                                             Data body) {
    auto finishWith = [task, body](NSURLSessionResponseDisposition disposition) {
        if (task->state() == NSURLSessionTaskState::Completed) return;
        if (disposition == NSURLSessionResponseDisposition::Cancel ||
            task->state() == NSURLSessionTaskState::Canceling) {
            implOf(task).completeTask(task, NSURLError(NSURLErrorCancelled, task->currentRequest().URL()));
            return;
        }
        const char* bytes = reinterpret_cast<const char*>(body.bytes());
        auto& impl = implOf(task);
        NSURLSessionTaskPtr target = task;
        if (disposition == NSURLSessionResponseDisposition::BecomeDownload && !task->internal_->download) {
            target = impl.becomeDownload(task);
            auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(target->response());
            if (auto error = http ? impl.prepareDownloadResponse(target, http) : nullptr)
                return impl.completeTask(target, error);
        }
        impl.completeTask(target, impl.deliverData(target, bytes, body.length()));
    };
    NSURLSession::Impl& impl = implOf(task);
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
    if (task->internal_->download && http) {
        if (auto error = impl.prepareDownloadResponse(task, http)) {
            impl.completeTask(task, error);
            return;
        }
    }
    if (!impl.announceResponse(task, response)) return finishWith(NSURLSessionResponseDisposition::Allow);
    std::weak_ptr<NSURLSession> weakSession = impl.self();
    impl.askAboutResponse(task, response, [weakSession, task, finishWith](auto disposition) {
        if (auto session = weakSession.lock()) {
            session->impl_->post(task,
                                 [finishWith, disposition](NSURLSessionIO&) { finishWith(disposition); });
        }
    });
}

void NSURLSessionIO::checkTimersAndStreams() {
    std::vector<std::pair<URLSessionTransfer*, NSErrorPtr>> expired;
    for (auto& [key, owned] : transfers) {
        URLSessionTransfer& t = *owned;
        if (!t.easy) continue;
        if (t.waitingForStream && !t.suspended) {
            NSStreamStatus status = t.stream->streamStatus();
            if (t.stream->hasBytesAvailable() || status == NSStreamStatus::AtEnd ||
                status == NSStreamStatus::Error || status == NSStreamStatus::Closed) {
                t.waitingForStream = false;
                applyPause(t);
            }
        }
        if (t.resourceTimeout > 0 && secondsSince(t.started) > t.resourceTimeout) {
            expired.emplace_back(&t, NSURLError(NSURLErrorTimedOut, t.request.URL(), "resource timeout"));
        } else if (!t.suspended && !t.awaitingAnswer && secondsSince(t.lastActivity) > t.idleTimeout) {
            expired.emplace_back(&t, NSURLError(NSURLErrorTimedOut, t.request.URL()));
        }
    }
    for (auto& [t, error] : expired) finish(*t, error);
}

long NSURLSessionIO::pollTimeoutMilliseconds() {
    long timeout = 1000;
    long suggested = -1;
    curl_multi_timeout(multi, &suggested);
    if (suggested >= 0) timeout = std::min(timeout, suggested);
    for (auto& [key, owned] : transfers) {
        URLSessionTransfer& t = *owned;
        if (!t.easy) continue;
        if (t.waitingForStream) timeout = std::min<long>(timeout, kStreamPollMilliseconds);
        if (!t.suspended && !t.awaitingAnswer) {
            double left = t.idleTimeout - secondsSince(t.lastActivity);
            timeout = std::min(timeout, std::max(1L, long(left * 1000) + 1));
        }
    }
    return timeout;
}

NSURLSession::Impl& NSURLSessionIO::implOf(const NSURLSessionTaskPtr& task) {
    auto session = task->session_.lock();
    assert(session && "a task's command or transfer keeps its session alive");
    return *session->impl_;
}

namespace {

// The process-wide libcurl share: one thread at a time drives its handles (the shared loop's), the locks
// order that thread's hand-over.
CURLSH* processShare() {
    static CURLSH* share = [] {
        static std::mutex locks[CURL_LOCK_DATA_LAST];
        CURLSH* handle = curl_share_init();
        curl_share_setopt(
            handle, CURLSHOPT_LOCKFUNC,
            +[](CURL*, curl_lock_data data, curl_lock_access, void*) { locks[data].lock(); });
        curl_share_setopt(
            handle, CURLSHOPT_UNLOCKFUNC, +[](CURL*, curl_lock_data data, void*) { locks[data].unlock(); });
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        return handle;
    }();
    return share;
}

constexpr size_t kSpareHandles = 8;
// Connections a loop keeps (libcurl counts busy ones too): past it, the oldest idle one is closed.
constexpr long kMaxIdleConnections = 32;

}  // namespace

const std::shared_ptr<NSURLSessionIO>& NSURLSessionIO::shared() {
    static auto* loop = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        auto* made = new std::shared_ptr<NSURLSessionIO>(std::make_shared<NSURLSessionIO>());
        (*made)->share = processShare();
        // Shared by every session: the most connections one host sees from this process at once.
        (*made)->maxHostConnections = 6;
        return made;
    }();
    return *loop;
}

void NSURLSessionIO::post(Command command) {
    bool start = false;
    {
        std::lock_guard lock(mutex);
        if (command) commands.push_back(std::move(command));  // none: just let the loop look at itself
        if (running) {
            if (multi) curl_multi_wakeup(multi);
        } else {
            running = start = true;
        }
    }
    if (start) DispatchQueue::runOnWorker([self = shared_from_this()] { self->run(); });
}

void NSURLSessionIO::stop() {
    {
        std::lock_guard lock(mutex);
        stopWhenIdle = true;
    }
    post(nullptr);
}

void NSURLSessionIO::dropConnections() {
    post([](NSURLSessionIO& io) { io.dropRequested = true; });
}

CURL* NSURLSessionIO::takeHandle() {
    if (spareHandles.empty()) return curl_easy_init();
    CURL* easy = spareHandles.back();
    spareHandles.pop_back();
    return easy;
}

void NSURLSessionIO::releaseHandle(URLSessionTransfer& t) {
    if (!t.easy) return;
    curl_multi_remove_handle(multi, t.easy);
    if (spareHandles.size() < kSpareHandles) {
        curl_easy_reset(t.easy);
        spareHandles.push_back(t.easy);
    } else {
        curl_easy_cleanup(t.easy);
    }
    t.easy = nullptr;
}

// A multi handle with the loop's limits.
CURLM* NSURLSessionIO::makeMulti() const {
    CURLM* handle = curl_multi_init();
    if (maxHostConnections > 0) curl_multi_setopt(handle, CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
    curl_multi_setopt(handle, CURLMOPT_MAXCONNECTS, kMaxIdleConnections);
    return handle;
}

// Closes the multi handle with the connections it holds (not those of the share) and the spare handles.
void NSURLSessionIO::closeMulti() {
    CURLM* handle = nullptr;
    {
        std::lock_guard lock(mutex);
        std::swap(handle, multi);
    }
    for (CURL* easy : spareHandles) curl_easy_cleanup(easy);
    spareHandles.clear();
    if (handle) curl_multi_cleanup(handle);
    if (idleDeadline) Clock::cancelDeadline(*idleDeadline);
    idleDeadline.reset();
    dropRequested = false;
}

NSURLSessionIO::~NSURLSessionIO() {
    if (idleDeadline) Clock::cancelDeadline(*idleDeadline);
    for (CURL* easy : spareHandles) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
}

namespace {

// The sessions' own loops that idle without a thread and keep connections, the one that idled last at the
// back. Past kKeptIdleLoops the oldest gives its connections up, so that sessions nobody uses any more (a
// manager per request is never invalidated) hold no descriptors.
constexpr size_t kKeptIdleLoops = 8;

struct IdleLoops {
    std::mutex mutex;
    std::deque<std::pair<const NSURLSessionIO*, std::weak_ptr<NSURLSessionIO>>> loops;

    void forget(const NSURLSessionIO* loop) {
        std::lock_guard lock(mutex);
        std::erase_if(loops, [loop](const auto& entry) { return entry.first == loop; });
    }
    // Files `loop`; the one that must give its connections up now, if any.
    std::shared_ptr<NSURLSessionIO> keep(const std::shared_ptr<NSURLSessionIO>& loop) {
        std::lock_guard lock(mutex);
        loops.emplace_back(loop.get(), loop);
        if (loops.size() <= kKeptIdleLoops) return nullptr;
        auto oldest = loops.front().second.lock();
        loops.pop_front();
        return oldest;
    }
};

IdleLoops& idleLoops() {
    static auto* loops = new IdleLoops;
    return *loops;
}

}  // namespace

void NSURLSessionIO::run() {
    NSURLSession::Impl::DelegateBatch batch;
    if (!share) idleLoops().forget(this);
    for (;;) {
        bool keepsConnections = runUntilIdle(batch);
        std::shared_ptr<NSURLSessionIO> evicted;
        {
            std::lock_guard lock(mutex);
            if (!commands.empty()) continue;
            // Filed before a command can start the next run, which takes the loop off the list again.
            if (keepsConnections && !share) evicted = idleLoops().keep(shared_from_this());
            running = false;
        }
        if (evicted) evicted->dropConnections();
        batch.handOver(true);
        return;
    }
}

bool NSURLSessionIO::runUntilIdle(NSURLSession::Impl::DelegateBatch& batch) {
    for (;;) {
        bool fired = false;
        bool stopping = false;
        {
            std::lock_guard lock(mutex);
            dueCommands.swap(commands);
            fired = deadlineFired;
            deadlineFired = false;
            stopping = stopWhenIdle;
        }
        // Read the clock once the commands are taken: a request posted after the idle lifetime ran out must
        // find the connections gone, even when the clock moved on between this check and the post.
        if (multi && transfers.empty() &&
            (dropRequested || Clock::monotonic() >= lastWork + NSURLSessionIdleLifetime)) {
            closeMulti();  // given up, or idle for the whole lifetime: later work gets fresh connections
        }
        if (fired) idleDeadline.reset();
        if (dueCommands.empty() && transfers.empty()) {
            if (stopping) closeMulti();
            if (!multi) return false;
            armIdleDeadline();
            return true;  // idle: the thread goes, the connections stay
        }
        if (!multi) {
            CURLM* handle = makeMulti();
            std::lock_guard lock(mutex);
            multi = handle;
            lastWork = Clock::monotonic();
        }
        for (auto& command : dueCommands) command(*this);
        dueCommands.clear();
        int active = 0;
        curl_multi_perform(multi, &active);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            URLSessionTransfer* t = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
            if (t) done(*t, message->data.result);
        }
        checkTimersAndStreams();
        if (transfers.empty()) continue;  // idle now, or more commands: see the top
        lastWork = Clock::monotonic();
        armIdleDeadline();
        {
            std::lock_guard lock(mutex);
            if (!commands.empty()) continue;
        }
        batch.handOver(false);  // before the wait, however long
        curl_multi_poll(multi, nullptr, 0, int(pollTimeoutMilliseconds()), nullptr);
    }
}

// One deadline at a time, at the end of the idle lifetime as of the last work; when it fires early (work
// came meanwhile) it is armed again, so a busy loop touches the clock's timers rarely. A loop that idles
// without a thread is run once more to close its connections.
void NSURLSessionIO::armIdleDeadline() {
    if (idleDeadline) return;
    std::weak_ptr<NSURLSessionIO> weak = shared_from_this();
    idleDeadline = Clock::scheduleDeadline(lastWork + NSURLSessionIdleLifetime, [weak] {
        auto loop = weak.lock();
        if (!loop) return;
        {
            std::lock_guard lock(loop->mutex);
            loop->deadlineFired = true;
            if (loop->running) {
                if (loop->multi) curl_multi_wakeup(loop->multi);
                return;
            }
        }
        loop->post(nullptr);
    });
}
