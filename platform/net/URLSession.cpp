// The URL session over the libcurl multi interface. See README.md for the life of a request.
//
// Threads. The I/O thread of a session owns the multi handle, every easy handle and every
// `URLSessionTransfer`; other threads reach it only by posting commands (start, pause, cancel, answers from
// the delegate) and waking it. Delegate callbacks go through the session's callback pipe, which hands them to
// the delegate queue one at a time. Tasks guard their own fields with their mutex; counters are atomics.
#include "platform/net/URLSession.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/TextUtil.h"
#include "platform/net/URLSessionDownload.h"
#include "platform/net/URLSessionTLS.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

constexpr int kMaxRedirects = 16;
constexpr size_t kMaxHeaderBytes = 256 * 1024;
constexpr size_t kMaxRedirectBody = 1 << 20;
constexpr int kStreamPollMilliseconds = 10;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

double secondsSince(TimePoint start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// A completion handler that acts once; dropped without a call, it gives `fallback`.
template <class T>
std::function<void(T)> onceHandler(std::function<void(T)> deliver, T fallback) {
    struct State {
        std::function<void(T)> deliver;
        T fallback;
        std::atomic<bool> used{false};
        ~State() {
            if (!used.exchange(true) && deliver) deliver(std::move(fallback));
        }
    };
    auto state = std::make_shared<State>();
    state->deliver = std::move(deliver);
    state->fallback = std::move(fallback);
    return [state](T value) {
        if (!state->used.exchange(true)) state->deliver(std::move(value));
    };
}

std::mutex& hookMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<NSURLSessionTask::StateChangeHook>& hookSlot() {
    static auto* slot = new std::shared_ptr<NSURLSessionTask::StateChangeHook>;
    return *slot;
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isHTTPScheme(const std::string& scheme) {
    std::string lower = TextUtil::toLowerASCII(scheme);
    return lower == "http" || lower == "https";
}

int64_t contentLengthOf(const NSURLRequest& request) {
    auto header = request.valueForHTTPHeaderField("Content-Length");
    if (!header) return NSURLSessionTransferSizeUnknown;
    std::string_view text = TextUtil::trim(*header);
    if (text.empty()) return NSURLSessionTransferSizeUnknown;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return NSURLSessionTransferSizeUnknown;
        value = value * 10 + (c - '0');
    }
    return value;
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return int64_t(info.st_size);
}

// What a task sends as its body, before any byte is read.
int64_t expectedBodyLength(const NSURLRequest& body, const NSURLRequest& request) {
    switch (body.bodyKind()) {
        case NSURLRequest::BodyKind::None:
            return 0;
        case NSURLRequest::BodyKind::Data:
            return int64_t(body.HTTPBody()->length());
        case NSURLRequest::BodyKind::File:
            return fileSize(body.HTTPBodyFile());
        case NSURLRequest::BodyKind::Stream:
            return contentLengthOf(request);
    }
    return 0;
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

std::string NSURLErrorDescription(long code) {
    switch (code) {
        case NSURLErrorCancelled:
            return "cancelled";
        case NSURLErrorBadURL:
            return "bad URL";
        case NSURLErrorTimedOut:
            return "The request timed out.";
        case NSURLErrorUnsupportedURL:
            return "unsupported URL";
        case NSURLErrorCannotFindHost:
            return "A server with the specified hostname could not be found.";
        case NSURLErrorCannotConnectToHost:
            return "Could not connect to the server.";
        case NSURLErrorNetworkConnectionLost:
            return "The network connection was lost.";
        case NSURLErrorHTTPTooManyRedirects:
            return "too many HTTP redirects";
        case NSURLErrorResourceUnavailable:
            return "resource unavailable";
        case NSURLErrorNotConnectedToInternet:
            return "The Internet connection appears to be offline.";
        case NSURLErrorBadServerResponse:
            return "bad server response";
        case NSURLErrorCannotParseResponse:
            return "cannot parse response";
        case NSURLErrorRequestBodyStreamExhausted:
            return "request body stream exhausted";
        case NSURLErrorFileDoesNotExist:
            return "file does not exist";
        case NSURLErrorSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case NSURLErrorServerCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case NSURLErrorCannotDecodeRawData:
            return "cannot decode raw data";
        case NSURLErrorCannotCreateFile:
            return "cannot create file";
        case NSURLErrorCannotOpenFile:
            return "cannot open file";
        case NSURLErrorCannotWriteToFile:
            return "cannot write to file";
        default:
            return "unknown error";
    }
}

NSErrorPtr NSURLError(long code, const std::shared_ptr<NSURL>& url, const std::string& detail) {
    Value::Dictionary info{{NSLocalizedDescriptionKey, Value(NSURLErrorDescription(code))}};
    if (url) {
        info[NSURLErrorFailingURLErrorKey] = Value(url);
        info[NSURLErrorFailingURLStringErrorKey] = Value(url->absoluteString());
    }
    if (!detail.empty())
        info[NSUnderlyingErrorKey] = Value(NSError::withDescription("libcurl", code, detail));
    return NSError::create(NSURLErrorDomain, code, std::move(info));
}

// ----- configuration -----

std::shared_ptr<NSURLCache> NSURLSessionConfiguration::URLCache() const {
    return usesSharedCache_ ? NSURLCache::sharedURLCache() : cache_;
}

NSURLSessionConfigurationPtr NSURLSessionConfiguration::defaultSessionConfiguration() {
    auto configuration = NSURLSessionConfigurationPtr(new NSURLSessionConfiguration());
    configuration->usesSharedCache_ = true;
    return configuration;
}

NSURLSessionConfigurationPtr NSURLSessionConfiguration::ephemeralSessionConfiguration() {
    auto configuration = NSURLSessionConfigurationPtr(new NSURLSessionConfiguration());
    configuration->cache_ = NSURLCache::create();
    return configuration;
}

NSURLSessionConfigurationPtr NSURLSessionConfiguration::backgroundSessionConfiguration(
    std::string identifier) {
    auto configuration = defaultSessionConfiguration();
    configuration->identifier_ = std::move(identifier);
    return configuration;
}

NSURLSessionConfigurationPtr NSURLSessionConfiguration::copy() const {
    return NSURLSessionConfigurationPtr(new NSURLSessionConfiguration(*this));
}

// ----- delegate defaults: what the session does when the method is absent -----

void NSURLSessionDelegate::didBecomeInvalidWithError(const SessionPtr&, const NSErrorPtr&) {}
void NSURLSessionDelegate::willPerformHTTPRedirection(
    const SessionPtr&, const NSURLSessionTaskPtr&, const NSHTTPURLResponsePtr&,
    const NSURLRequest& newRequest, std::function<void(std::optional<NSURLRequest>)> handler) {
    handler(newRequest);
}
void NSURLSessionDelegate::needNewBodyStream(const SessionPtr&, const NSURLSessionTaskPtr&,
                                             std::function<void(NSInputStreamPtr)> handler) {
    handler(nullptr);
}
void NSURLSessionDelegate::didSendBodyData(const SessionPtr&, const NSURLSessionTaskPtr&, int64_t, int64_t,
                                           int64_t) {}
void NSURLSessionDelegate::didCompleteWithError(const SessionPtr&, const NSURLSessionTaskPtr&,
                                                const NSErrorPtr&) {}
void NSURLSessionDelegate::didReceiveResponse(const SessionPtr&, const NSURLSessionDataTaskPtr&,
                                              const NSURLResponsePtr&,
                                              std::function<void(NSURLSessionResponseDisposition)> handler) {
    handler(NSURLSessionResponseDisposition::Allow);
}
void NSURLSessionDelegate::didReceiveData(const SessionPtr&, const NSURLSessionDataTaskPtr&, const Data&) {}
void NSURLSessionDelegate::willCacheResponse(
    const SessionPtr&, const NSURLSessionDataTaskPtr&, const std::shared_ptr<NSCachedURLResponse>& proposed,
    std::function<void(std::shared_ptr<NSCachedURLResponse>)> handler) {
    handler(proposed);
}
void NSURLSessionDelegate::didFinishEventsForBackgroundURLSession(const SessionPtr&) {}
void NSURLSessionDelegate::didReceiveChallenge(const SessionPtr&, const NSURLAuthenticationChallengePtr&,
                                               NSURLChallengeCompletionHandler handler) {
    handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
}
void NSURLSessionDelegate::taskDidReceiveChallenge(const SessionPtr&, const NSURLSessionTaskPtr&,
                                                   const NSURLAuthenticationChallengePtr&,
                                                   NSURLChallengeCompletionHandler handler) {
    handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
}
void NSURLSessionDelegate::didFinishDownloadingToURL(const SessionPtr&, const NSURLSessionDownloadTaskPtr&,
                                                     const std::shared_ptr<NSURL>&) {}
void NSURLSessionDelegate::didWriteData(const SessionPtr&, const NSURLSessionDownloadTaskPtr&, int64_t, int64_t,
                                        int64_t) {}
void NSURLSessionDelegate::didResumeAtOffset(const SessionPtr&, const NSURLSessionDownloadTaskPtr&, int64_t,
                                             int64_t) {}

// ----- authentication objects -----

std::shared_ptr<NSURLProtectionSpace> NSURLProtectionSpace::create(std::string host, long port,
                                                                   std::string protocol, std::string realm,
                                                                   std::string authenticationMethod,
                                                                   SecTrustPtr serverTrust) {
    auto space = std::shared_ptr<NSURLProtectionSpace>(new NSURLProtectionSpace());
    space->host_ = std::move(host);
    space->port_ = port;
    space->protocol_ = std::move(protocol);
    space->realm_ = std::move(realm);
    space->method_ = std::move(authenticationMethod);
    if (space->method_ == NSURLAuthenticationMethodServerTrust) space->trust_ = std::move(serverTrust);
    return space;
}

std::string NSURLProtectionSpace::description() const {
    return "<NSURLProtectionSpace: Host:" + host_ + ", Server:" + protocol_ + ", Auth-Scheme:" + method_ +
           ", Realm:" + (realm_.empty() ? "(null)" : realm_) + ", Port:" + std::to_string(port_) + ">";
}

std::shared_ptr<NSURLCredential> NSURLCredential::credentialForTrust(const SecTrustPtr& trust) {
    if (!trust) return nullptr;
    auto credential = std::shared_ptr<NSURLCredential>(new NSURLCredential());
    credential->trust_ = trust;
    credential->persistence_ = NSURLCredentialPersistence::ForSession;
    return credential;
}

std::shared_ptr<NSURLCredential> NSURLCredential::credentialWithUser(std::string user, std::string password,
                                                                     NSURLCredentialPersistence persistence) {
    auto credential = std::shared_ptr<NSURLCredential>(new NSURLCredential());
    credential->user_ = std::move(user);
    credential->password_ = std::move(password);
    credential->persistence_ = persistence;
    return credential;
}

std::shared_ptr<NSURLAuthenticationChallenge> NSURLAuthenticationChallenge::create(
    NSURLProtectionSpacePtr protectionSpace, long previousFailureCount, NSURLCredentialPtr proposedCredential) {
    auto challenge = std::shared_ptr<NSURLAuthenticationChallenge>(new NSURLAuthenticationChallenge());
    challenge->space_ = std::move(protectionSpace);
    challenge->failures_ = previousFailureCount;
    challenge->proposed_ = std::move(proposedCredential);
    return challenge;
}

// ----- session internals -----

// The file side of a download task. Touched on the I/O thread only, except `completion` and the fields
// read by completeTask for a task that never started.
struct URLSessionDownloadState {
    NSURLSession::DownloadCompletionHandler completion;
    std::optional<URLSessionDownload::ResumeInfo> resume;  // made from resume data, not yet answered
    std::string invalidResumeData;                         // why the resume data was refused
    int fd = -1;
    std::string path;
    int64_t written = 0;        // bytes in the file
    int64_t expectedTotal = -1;  // of the whole file, -1 unknown
    long status = 0;
    std::string etag;
    std::string lastModified;
    bool keepFile = false;  // handed out as resume data: the resumed task owns it now

    void closeFile() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void removeFile() {
        closeFile();
        if (!path.empty()) ::unlink(path.c_str());
        path.clear();
    }
};

struct NSURLSessionTask::Internal {
    NSURLRequest body;  // what to send: its body fields only
    NSURLSession::CompletionHandler completion;
    bool needsStream = false;        // a streamed upload without stream: ask the delegate first
    std::vector<uint8_t> collected;  // the body for `completion` (I/O thread)
    std::unique_ptr<URLSessionDownloadState> download;  // download tasks only
};

// An answer to a server-trust challenge, awaited by the I/O thread inside the handshake.
struct URLSessionChallengeWait {
    struct Answer {
        NSURLSessionAuthChallengeDisposition disposition;
        NSURLCredentialPtr credential;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<Answer> answer;

    void deliver(Answer given) {
        {
            std::lock_guard lock(mutex);
            if (!answer) answer = std::move(given);
        }
        changed.notify_all();
    }
};

struct NSURLSessionIO;

// One hop of a task on the I/O thread: an easy handle and everything its callbacks need.
struct URLSessionTransfer {
    NSURLSession::Impl* impl = nullptr;
    NSURLSessionTaskPtr task;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    NSURLRequest request;
    NSURLRequest body;
    int hops = 0;

    // The body being sent.
    Data data;
    size_t offset = 0;
    NSInputStreamPtr stream;
    int64_t expectedSend = 0;
    int64_t bodyRead = 0;
    curl_off_t lastUploaded = 0;
    curl_off_t lastDownloaded = 0;

    // The response being read.
    long status = 0;
    std::string version;
    HTTPHeaderFields headers;
    size_t headerBytes = 0;
    bool redirect = false;
    std::string redirectBody;
    NSHTTPURLResponsePtr response;
    bool awaitingAnswer = false;    // didReceiveResponse not answered yet
    bool finishedAwaiting = false;  // the transfer ended while waiting for that answer

    // The body kept for the URL cache while the response may be stored (up to the cache's capacity).
    NSURLCachePtr cache;
    bool cacheable = false;
    std::vector<uint8_t> cacheBody;
    Date receivedAt;

    NSErrorPtr failure;  // set by our own callbacks and checks; wins over libcurl's code
    URLSessionTLS::PeerCheck peerCheck;  // HTTPS: decides on each new connection's server
    bool suspended = false;
    bool waitingForStream = false;
    int pauseMask = 0;
    TimePoint lastActivity = SteadyClock::now();
    TimePoint started = SteadyClock::now();
    double idleTimeout = 60;
    double resourceTimeout = 0;

    ~URLSessionTransfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
    }
};

using Command = std::function<void(NSURLSessionIO&)>;

struct NSURLSession::Impl {
    NSURLSession* owner = nullptr;
    NSURLSessionConfigurationPtr configuration;

    mutable std::mutex mutex;
    std::shared_ptr<NSURLSessionDelegate> delegate;
    std::string description;
    uint64_t nextIdentifier = 1;
    std::map<uint64_t, NSURLSessionTaskPtr> tasks;  // not completed yet
    bool invalidated = false;
    bool invalidationQueued = false;

    std::deque<Command> commands;
    bool threadRunning = false;
    std::thread thread;
    CURLM* multi = nullptr;

    std::mutex pipeMutex;
    std::deque<std::function<void()>> pipe;
    bool pipeBusy = false;

    // The challenge the I/O thread is waiting on, so that cancelling its task can end the wait.
    std::mutex challengeMutex;
    std::weak_ptr<URLSessionChallengeWait> pendingChallenge;

    void wakeChallenge() {
        std::shared_ptr<URLSessionChallengeWait> wait;
        {
            std::lock_guard lock(challengeMutex);
            wait = pendingChallenge.lock();
        }
        if (!wait) return;
        { std::lock_guard lock(wait->mutex); }  // the waiter sees the new task state under this lock
        wait->changed.notify_all();
    }

    std::shared_ptr<NSURLSession> self() const {
        return std::static_pointer_cast<NSURLSession>(owner->shared_from_this());
    }

    std::shared_ptr<NSURLSessionDelegate> currentDelegate() const {
        std::lock_guard lock(mutex);
        return delegate;
    }

    bool delegateResponds(NSURLSessionDelegate::Method method) const {
        auto current = currentDelegate();
        return current && current->respondsTo(method);
    }

    // Hands `callback` to the delegate queue after every callback queued before it.
    void enqueue(std::function<void()> callback) {
        bool submit;
        {
            std::lock_guard lock(pipeMutex);
            pipe.push_back(std::move(callback));
            submit = !pipeBusy;
            pipeBusy = true;
        }
        if (submit) submitNext(self());
    }

    static void submitNext(std::shared_ptr<NSURLSession> session) {
        auto queue = session->delegateQueue_;
        queue->addOperationWithBlock([session] {
            Impl& impl = *session->impl_;
            std::function<void()> callback;
            {
                std::lock_guard lock(impl.pipeMutex);
                callback = std::move(impl.pipe.front());
                impl.pipe.pop_front();
            }
            callback();
            callback = nullptr;
            bool more;
            {
                std::lock_guard lock(impl.pipeMutex);
                more = !impl.pipe.empty();
                if (!more) impl.pipeBusy = false;
            }
            if (more) submitNext(session);
        });
    }

    // Runs `command` on the I/O thread, starting the thread when it is not running.
    void post(Command command) {
        std::thread previous;
        {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(command));
            if (threadRunning) {
                if (multi) curl_multi_wakeup(multi);
                return;
            }
            threadRunning = true;
            previous = std::move(thread);
            thread = std::thread(&Impl::ioMain, self());
        }
        if (previous.joinable()) previous.join();  // it has already left its loop
    }

    static void ioMain(std::shared_ptr<NSURLSession> session);

    // Ends a task: once only, whatever the path. Queues its completion after every callback queued before.
    void completeTask(const NSURLSessionTaskPtr& task, NSErrorPtr error) {
        auto internal = task.get()->internal_.get();
        URLSessionDownloadState* download = internal->download.get();
        // Observers of "state" hear of the completion; the notice is sent with no lock held. A task that
        // was already complete gets a notice without a change, which keeps the pair balanced.
        task->willChangeValueForKey("state");
        bool alreadyCompleted = false;
        {
            std::lock_guard lock(task->mutex_);
            alreadyCompleted = task->state_.load() == NSURLSessionTaskState::Completed;
            if (!alreadyCompleted) {
                task->state_.store(NSURLSessionTaskState::Completed);
                if (download) error = finishDownloadFile(*download, task->currentRequest_, std::move(error));
                task->error_ = error;
            }
        }
        task->didChangeValueForKey("state");
        if (alreadyCompleted) return;
        auto handler = std::move(internal->completion);
        internal->completion = nullptr;
        std::optional<Data> data;
        if (!error) data = Data(std::move(internal->collected));
        internal->collected.clear();
        auto session = self();
        auto response = task->response();
        if (download) {
            completeDownload(std::static_pointer_cast<NSURLSessionDownloadTask>(task), *download, response, error);
        } else if (handler) {
            enqueue([handler, data, response, error] { handler(data, response, error); });
        } else if (delegateResponds(NSURLSessionDelegate::Method::DidCompleteWithError)) {
            enqueue([this, session, task, error] {
                if (auto current = currentDelegate()) current->didCompleteWithError(session, task, error);
            });
        }
        bool invalidateNow = false;
        {
            std::lock_guard lock(mutex);
            tasks.erase(task->taskIdentifier());
            if (invalidated && tasks.empty() && !invalidationQueued)
                invalidationQueued = invalidateNow = true;
        }
        if (invalidateNow) queueInvalidation();
    }

    // The partial file at the end of a download task: kept for the delegate on success, kept and offered as
    // resume data when a failure other than a cancel left a download that can go on, removed otherwise.
    static NSErrorPtr finishDownloadFile(URLSessionDownloadState& d, const NSURLRequest& request,
                                         NSErrorPtr error) {
        d.closeFile();
        if (!error) {
            if (d.path.empty()) {  // nothing was written: the download is an empty file
                std::string problem;
                int fd = URLSessionDownload::createTemporaryFile(&d.path, &problem);
                if (fd < 0) return NSURLError(NSURLErrorCannotCreateFile, request.URL(), problem);
                ::close(fd);
            }
            return nullptr;
        }
        if (d.keepFile) return error;
        if (error->code() != NSURLErrorCancelled) {
            if (auto info = resumeInfoOf(d, request)) {
                d.keepFile = true;
                Value::Dictionary userInfo = error->userInfo();
                userInfo[NSURLSessionDownloadTaskResumeData] = Value(URLSessionDownload::encodeResumeData(*info));
                return NSError::create(error->domain(), error->code(), std::move(userInfo));
            }
        }
        d.removeFile();
        if (d.resume) ::unlink(d.resume->path.c_str());  // the task owned the partial file it was made from
        return error;
    }

    // Where a download stands, as resume data; nullopt when it cannot go on (see cancelByProducingResumeData).
    static std::optional<URLSessionDownload::ResumeInfo> resumeInfoOf(const URLSessionDownloadState& d,
                                                                      const NSURLRequest& request) {
        if (d.resume) return d.resume;  // not answered yet: nothing has changed
        if (d.path.empty() || (d.status != 200 && d.status != 206)) return std::nullopt;
        bool strongTag = !d.etag.empty() && d.etag.rfind("W/", 0) != 0;
        if (!strongTag && d.lastModified.empty()) return std::nullopt;
        URLSessionDownload::ResumeInfo info;
        info.url = request.URL() ? request.URL()->absoluteString() : "";
        for (const auto& [name, value] : request.headerFields().fields()) {
            if (name != "Range" && name != "If-Range") info.headers[name] = Value(value);
        }
        info.path = d.path;
        info.bytesReceived = d.written;
        if (strongTag) info.etag = d.etag;
        info.lastModified = d.lastModified;
        return info;
    }

    void completeDownload(const NSURLSessionDownloadTaskPtr& task, URLSessionDownloadState& d,
                          const NSURLResponsePtr& response, const NSErrorPtr& error) {
        auto handler = std::move(d.completion);
        d.completion = nullptr;
        std::string path = error ? "" : d.path;
        auto location = path.empty() ? nullptr : NSURL::fileURLWithPath(path);
        auto session = self();
        if (handler) {
            enqueue([handler, location, response, error, path] {
                handler(location, response, error);
                if (!path.empty()) ::unlink(path.c_str());
            });
            return;
        }
        if (location) {
            if (delegateResponds(NSURLSessionDelegate::Method::DidFinishDownloadingToURL)) {
                enqueue([this, session, task, location, path] {
                    if (auto current = currentDelegate()) current->didFinishDownloadingToURL(session, task, location);
                    ::unlink(path.c_str());  // gone unless the delegate moved it away
                });
            } else {
                ::unlink(path.c_str());
            }
        }
        if (delegateResponds(NSURLSessionDelegate::Method::DidCompleteWithError)) {
            enqueue([this, session, task, error] {
                if (auto current = currentDelegate()) current->didCompleteWithError(session, task, error);
            });
        }
    }

    // Opens the file for a download's first bytes.
    NSErrorPtr openDownloadFile(const NSURLSessionTaskPtr& task, URLSessionDownloadState& d) {
        if (d.fd >= 0) return nullptr;
        std::string problem;
        d.path.clear();
        d.fd = URLSessionDownload::createTemporaryFile(&d.path, &problem);
        if (d.fd < 0) return NSURLError(NSURLErrorCannotCreateFile, task->currentRequest().URL(), problem);
        return nullptr;
    }

    // The final response of a download: for a resumed download, where the file goes on (206 at the offset
    // asked for) or starts over (anything else).
    NSErrorPtr prepareDownloadResponse(const NSURLSessionTaskPtr& task, const NSHTTPURLResponsePtr& response) {
        auto& d = *task->internal_->download;
        const auto& url = response->URL();
        d.status = response->statusCode();
        d.etag = response->valueForHTTPHeaderField("ETag").value_or("");
        d.lastModified = response->valueForHTTPHeaderField("Last-Modified").value_or("");
        int64_t length = response->expectedContentLength();
        d.expectedTotal = length;
        if (!d.resume) return nullptr;
        URLSessionDownload::ResumeInfo info = std::move(*d.resume);
        d.resume.reset();
        int64_t offset = 0;
        if (d.status == 206) {
            auto range = URLSessionDownload::parseContentRange(
                response->valueForHTTPHeaderField("Content-Range").value_or(""));
            d.path = info.path;  // a failure from here on keeps it for another try
            d.written = info.bytesReceived;
            if (!range || range->first != info.bytesReceived) {
                return NSURLError(NSURLErrorBadServerResponse, url,
                                  "the server resumed the download at another offset");
            }
            int64_t kept = 0;
            d.fd = URLSessionDownload::openPartialFile(info.path, info.bytesReceived, &kept);
            if (d.fd < 0 || kept != info.bytesReceived) {
                return NSURLError(NSURLErrorCannotOpenFile, url, "the partial download has gone: " + info.path);
            }
            offset = info.bytesReceived;
            d.expectedTotal = range->total >= 0 ? range->total : (length >= 0 ? offset + length : -1);
        } else {
            int64_t kept = 0;
            d.fd = URLSessionDownload::openPartialFile(info.path, 0, &kept);
            if (d.fd >= 0) {
                d.path = info.path;
            } else if (auto error = openDownloadFile(task, d)) {
                return error;
            }
        }
        d.written = offset;
        setCounter(*task, task->received_, "countOfBytesReceived", offset);
        if (delegateResponds(NSURLSessionDelegate::Method::DidResumeAtOffset)) {
            auto session = self();
            auto downloadTask = std::static_pointer_cast<NSURLSessionDownloadTask>(task);
            int64_t total = d.expectedTotal;
            enqueue([this, session, downloadTask, offset, total] {
                if (auto current = currentDelegate()) current->didResumeAtOffset(session, downloadTask, offset, total);
            });
        }
        return nullptr;
    }

    NSErrorPtr writeDownload(const NSURLSessionTaskPtr& task, const char* bytes, size_t length) {
        auto& d = *task->internal_->download;
        if (auto error = openDownloadFile(task, d)) return error;
        std::string problem;
        if (!URLSessionDownload::writeAll(d.fd, bytes, length, &problem))
            return NSURLError(NSURLErrorCannotWriteToFile, task->currentRequest().URL(), problem);
        d.written += int64_t(length);
        setCounter(*task, task->received_, "countOfBytesReceived", task->received_.load() + int64_t(length));
        if (delegateResponds(NSURLSessionDelegate::Method::DidWriteData)) {
            auto session = self();
            auto downloadTask = std::static_pointer_cast<NSURLSessionDownloadTask>(task);
            int64_t written = d.written;
            int64_t expected = d.expectedTotal;
            enqueue([this, session, downloadTask, length, written, expected] {
                if (auto current = currentDelegate())
                    current->didWriteData(session, downloadTask, int64_t(length), written, expected);
            });
        }
        return nullptr;
    }

    void queueInvalidation() {
        auto session = self();
        enqueue([this, session] {
            std::shared_ptr<NSURLSessionDelegate> last;
            {
                std::lock_guard lock(mutex);
                last = std::move(delegate);
                delegate.reset();
            }
            if (last && last->respondsTo(NSURLSessionDelegate::Method::DidBecomeInvalidWithError)) {
                last->didBecomeInvalidWithError(session, nullptr);
            }
        });
    }

    void setCounter(NSURLSessionTask& task, std::atomic<int64_t>& counter, const char* key, int64_t value) {
        if (counter.load() == value) return;
        task.willChangeValueForKey(key);
        counter.store(value);
        task.didChangeValueForKey(key);
    }

    NSErrorPtr deliverData(const NSURLSessionTaskPtr& task, const char* bytes, size_t length) {
        if (length == 0) return nullptr;
        if (task->internal_->download) return writeDownload(task, bytes, length);
        setCounter(*task, task->received_, "countOfBytesReceived", task->received_.load() + int64_t(length));
        auto internal = task->internal_.get();
        if (internal->completion) {
            internal->collected.insert(internal->collected.end(), bytes, bytes + length);
            return nullptr;
        }
        if (!delegateResponds(NSURLSessionDelegate::Method::DidReceiveData)) return nullptr;
        auto session = self();
        auto dataTask = std::static_pointer_cast<NSURLSessionDataTask>(task);
        Data data(bytes, length);
        enqueue([this, session, dataTask, data] {
            if (auto current = currentDelegate()) current->didReceiveData(session, dataTask, data);
        });
        return nullptr;
    }

    // The policy for a task's request: its own, or the configuration's when the request keeps the default.
    NSURLRequestCachePolicy cachePolicyFor(const NSURLRequest& request) const {
        auto policy = request.cachePolicy();
        return policy == NSURLRequestCachePolicy::UseProtocolCachePolicy ? configuration->requestCachePolicy()
                                                                         : policy;
    }

    // Stores a complete response, asking the delegate first when it wants a say.
    void offerToCache(const NSURLSessionTaskPtr& task, const NSURLCachePtr& cache,
                      const NSURLRequest& request, NSCachedURLResponsePtr proposed) {
        bool ask = !task->internal_->completion &&
                   delegateResponds(NSURLSessionDelegate::Method::WillCacheResponse);
        if (!ask) {
            cache->storeCachedResponse(std::move(proposed), request);
            return;
        }
        auto store = [cache, request](NSCachedURLResponsePtr chosen) {
            if (chosen) cache->storeCachedResponse(std::move(chosen), request);
        };
        auto handler = onceHandler<NSCachedURLResponsePtr>(store, nullptr);
        auto session = self();
        auto dataTask = std::static_pointer_cast<NSURLSessionDataTask>(task);
        enqueue([this, session, dataTask, proposed, handler] {
            if (auto current = currentDelegate()) {
                current->willCacheResponse(session, dataTask, proposed, handler);
            } else {
                handler(proposed);
            }
        });
    }

    // Sets the task's response; true when the delegate must answer didReceiveResponse first.
    bool announceResponse(const NSURLSessionTaskPtr& task, const NSURLResponsePtr& response,
                          std::function<void(NSURLSessionResponseDisposition)> answer) {
        {
            std::lock_guard lock(task->mutex_);
            task->response_ = response;
        }
        if (auto& download = task->internal_->download) {  // downloads take every response as it comes
            setCounter(*task, task->expectedToReceive_, "countOfBytesExpectedToReceive", download->expectedTotal);
            return false;
        }
        setCounter(*task, task->expectedToReceive_, "countOfBytesExpectedToReceive",
                   response->expectedContentLength());
        if (task->internal_->completion ||
            !delegateResponds(NSURLSessionDelegate::Method::DidReceiveResponse)) {
            return false;
        }
        auto session = self();
        auto dataTask = std::static_pointer_cast<NSURLSessionDataTask>(task);
        auto handler = onceHandler<NSURLSessionResponseDisposition>(std::move(answer),
                                                                    NSURLSessionResponseDisposition::Allow);
        enqueue([this, session, dataTask, response, handler] {
            if (auto current = currentDelegate()) {
                current->didReceiveResponse(session, dataTask, response, handler);
            } else {
                handler(NSURLSessionResponseDisposition::Allow);
            }
        });
        return true;
    }
};

struct NSURLSessionIO {
    NSURLSession::Impl& impl;
    CURLM* multi;
    std::map<NSURLSessionTask*, std::unique_ptr<URLSessionTransfer>> transfers;

    URLSessionTransfer* find(const NSURLSessionTaskPtr& task) {
        auto it = transfers.find(task.get());
        return it == transfers.end() ? nullptr : it->second.get();
    }

    void applyPause(URLSessionTransfer& t) {
        if (!t.easy) return;
        int desired = 0;
        if (t.suspended || t.awaitingAnswer) desired |= CURLPAUSE_RECV;
        if (t.suspended || t.waitingForStream) desired |= CURLPAUSE_SEND;
        if (desired == t.pauseMask) return;
        t.pauseMask = desired;  // before the call: unpausing may run callbacks that pause again
        curl_easy_pause(t.easy, desired);
    }

    // Removes the transfer and completes its task.
    void finish(URLSessionTransfer& t, NSErrorPtr error) {
        auto task = t.task;
        if (!error) updateCache(t);
        if (t.easy) curl_multi_remove_handle(multi, t.easy);
        transfers.erase(task.get());
        impl.completeTask(task, std::move(error));
    }

    void start(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body, int hops);
    void done(URLSessionTransfer& t, CURLcode code);
    void redirect(URLSessionTransfer& t);
    void follow(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body, int hops);
    void askForStream(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body, int hops);
    void deliverBufferedResponse(const NSURLSessionTaskPtr& task, NSURLResponsePtr response, Data body);
    bool answerFromCache(const NSURLSessionTaskPtr& task, const NSURLRequest& request);
    static void considerCaching(URLSessionTransfer& t);
    void updateCache(URLSessionTransfer& t);
    void checkTimersAndStreams();
    long pollTimeoutMilliseconds();
    bool decideTrust(URLSessionTransfer& t, const std::vector<Data>& chain);
    URLSessionChallengeWait::Answer askForTrust(URLSessionTransfer& t, const NSURLAuthenticationChallengePtr& challenge,
                                                bool* answered);

    static size_t onHeader(char* bytes, size_t size, size_t count, void* user);
    static size_t onWrite(char* bytes, size_t size, size_t count, void* user);
    static size_t onRead(char* buffer, size_t size, size_t count, void* user);
    static int onSeek(void* user, curl_off_t offset, int origin);
    static int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded);
};

size_t NSURLSessionIO::onHeader(char* bytes, size_t size, size_t count, void* user) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    size_t length = size * count;
    t.lastActivity = SteadyClock::now();
    t.headerBytes += length;
    if (t.headerBytes > kMaxHeaderBytes) {
        t.failure = NSURLError(NSURLErrorCannotParseResponse, t.request.URL(), "response headers too large");
        return 0;
    }
    std::string_view line(bytes, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        size_t space = line.find(' ');
        t.version = std::string(line.substr(0, space));
        t.status =
            space == std::string_view::npos ? 0 : std::atol(std::string(line.substr(space + 1, 3)).c_str());
        t.headers.clear();
        return length;
    }
    if (line.empty()) {
        if (t.status >= 100 && t.status < 200) return length;  // an interim response; the real one follows
        auto response = NSHTTPURLResponse::create(t.request.URL(), t.status, t.version, t.headers);
        if (isRedirectStatus(t.status) && t.headers.contains("Location")) {
            t.redirect = true;
            t.response = response;
            return length;
        }
        t.response = response;
        if (t.task->internal_->download) {
            if (auto error = t.impl->prepareDownloadResponse(t.task, response)) {
                t.failure = error;
                return 0;
            }
        } else {
            considerCaching(t);
        }
        auto session = t.impl->self();
        std::weak_ptr<NSURLSession> weakSession = session;
        auto task = t.task;
        t.awaitingAnswer = t.impl->announceResponse(task, response, [weakSession, task](auto disposition) {
            auto session = weakSession.lock();
            if (!session) return;
            session->impl_->post([task, disposition](NSURLSessionIO& io) {
                URLSessionTransfer* t = io.find(task);
                if (!t || !t->awaitingAnswer) return;
                t->awaitingAnswer = false;
                if (disposition == NSURLSessionResponseDisposition::Cancel) {
                    io.finish(*t, NSURLError(NSURLErrorCancelled, t->request.URL()));
                } else if (t->finishedAwaiting) {
                    io.finish(*t, t->failure);
                } else {
                    t->lastActivity = SteadyClock::now();
                    io.applyPause(*t);
                }
            });
        });
        return length;
    }
    if (line[0] == ' ' || line[0] == '\t') return length;  // obsolete line folding: ignored
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return length;
    std::string name(TextUtil::trim(line.substr(0, colon)));
    std::string value(TextUtil::trim(line.substr(colon + 1)));
    if (auto existing = t.headers.value(name)) {
        t.headers.set(name, *existing + ", " + value);
    } else {
        t.headers.set(name, value);
    }
    return length;
}

size_t NSURLSessionIO::onWrite(char* bytes, size_t size, size_t count, void* user) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    size_t length = size * count;
    t.lastActivity = SteadyClock::now();
    if (t.redirect) {
        size_t room = kMaxRedirectBody - std::min(kMaxRedirectBody, t.redirectBody.size());
        t.redirectBody.append(bytes, std::min(room, length));
        return length;
    }
    if (t.awaitingAnswer || t.suspended) {
        t.pauseMask |= CURLPAUSE_RECV;
        return CURL_WRITEFUNC_PAUSE;
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
    if (offset == 0 && t.bodyRead == 0) return CURL_SEEKFUNC_OK;
    return CURL_SEEKFUNC_CANTSEEK;
}

int NSURLSessionIO::onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t,
                               curl_off_t uploaded) {
    auto& t = *static_cast<URLSessionTransfer*>(user);
    if (downloaded > t.lastDownloaded) {
        t.lastDownloaded = downloaded;
        t.lastActivity = SteadyClock::now();
    }
    // libcurl's count includes chunk framing; the task counts body bytes only.
    uploaded = std::min<curl_off_t>(uploaded, t.stream ? t.bodyRead : curl_off_t(t.offset));
    if (uploaded > t.lastUploaded) {
        int64_t sent = uploaded - t.lastUploaded;
        t.lastUploaded = uploaded;
        t.lastActivity = SteadyClock::now();
        auto& impl = *t.impl;
        auto task = t.task;
        int64_t total = task->sent_.load() + sent;
        impl.setCounter(*task, task->sent_, "countOfBytesSent", total);
        if (impl.delegateResponds(NSURLSessionDelegate::Method::DidSendBodyData)) {
            auto session = impl.self();
            int64_t expected = task->expectedToSend_.load();
            impl.enqueue([&impl, session, task, sent, total, expected] {
                if (auto current = impl.currentDelegate()) {
                    current->didSendBodyData(session, task, sent, total, expected);
                }
            });
        }
    }
    return 0;
}

void NSURLSessionIO::start(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body,
                           int hops) {
    if (task->state() == NSURLSessionTaskState::Completed) return;
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
    if (auto& download = task->internal_->download) {
        // The partial file went away (or shrank) since the resume data was made: ask for the whole body.
        if (download->resume && hops == 0 &&
            fileSize(download->resume->path) < download->resume->bytesReceived) {
            request.setValue(std::nullopt, "Range");
            request.setValue(std::nullopt, "If-Range");
        }
    }
    auto owned = std::make_unique<URLSessionTransfer>();
    URLSessionTransfer& t = *owned;
    t.impl = &impl;
    t.task = task;
    t.request = request;
    t.body = body;
    t.hops = hops;
    const auto& configuration = *impl.configuration;
    t.idleTimeout =
        request.timeoutInterval() > 0 && request.timeoutInterval() != NSURLRequestDefaultTimeoutInterval
            ? request.timeoutInterval()
            : configuration.timeoutIntervalForRequest();
    if (t.idleTimeout <= 0) t.idleTimeout = NSURLRequestDefaultTimeoutInterval;
    t.resourceTimeout = configuration.timeoutIntervalForResource();

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
            t.expectedSend = contentLengthOf(request);
            hasBody = true;
            break;
    }
    {
        std::lock_guard lock(task->mutex_);
        task->currentRequest_ = request;
    }
    impl.setCounter(*task, task->expectedToSend_, "countOfBytesExpectedToSend", t.expectedSend);
    impl.setCounter(*task, task->sent_, "countOfBytesSent", 0);

    CURL* easy = t.easy = curl_easy_init();
    std::string target = url->absoluteString();
    target = target.substr(0, target.find('#'));
    curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
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
    if (!request.valueForHTTPHeaderField("Accept-Encoding")) {
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    }

    HTTPHeaderFields fields = request.headerFields();
    for (const auto& [name, value] : configuration.HTTPAdditionalHeaders()) {
        if (const std::string* text = value.asString(); text && !fields.contains(name))
            fields.set(name, *text);
    }
    fields.remove("Content-Length");  // from the body itself
    if (!fields.contains("Accept")) fields.set("Accept", "*/*");
    fields.set("Expect", "");
    // libcurl labels every body as a form; the platform does so for POST only.
    if (hasBody && request.HTTPMethod() != "POST" && !fields.contains("Content-Type"))
        fields.set("Content-Type", "");
    for (const auto& [name, value] : fields.fields()) {
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        if (value.empty() && (name == "Expect" || name == "Content-Type")) line = name + ":";  // removes it
        t.headerList = curl_slist_append(t.headerList, line.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t.headerList);

    const std::string& method = request.HTTPMethod();
    if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (hasBody) {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, &t);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, onSeek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &t);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t.expectedSend));
        if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, 0L);
    } else if (method != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (TextUtil::toLowerASCII(url->scheme()) == "https") {
        NSURLSessionIO* io = this;
        URLSessionTransfer* transfer = &t;
        t.peerCheck = [io, transfer](const std::vector<Data>& chain) { return io->decideTrust(*transfer, chain); };
        std::string problem = URLSessionTLS::configure(easy, &t.peerCheck);
        if (!problem.empty()) {
            impl.completeTask(task, NSURLError(NSURLErrorSecureConnectionFailed, url, problem));
            return;
        }
    }
    t.suspended = task->state() == NSURLSessionTaskState::Suspended;
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
    } else if (t.redirect) {
        redirect(t);
    } else if (!t.response) {
        // The connection ended inside the headers.
        finish(t,
               NSURLError(NSURLErrorNetworkConnectionLost, t.request.URL(), "incomplete response headers"));
    } else if (t.awaitingAnswer) {
        // Complete once the delegate has answered didReceiveResponse.
        curl_multi_remove_handle(multi, t.easy);
        curl_easy_cleanup(t.easy);
        t.easy = nullptr;
        t.finishedAwaiting = true;
    } else {
        finish(t, nullptr);
    }
}

void NSURLSessionIO::redirect(URLSessionTransfer& t) {
    auto task = t.task;
    auto response = t.response;
    std::string body = std::move(t.redirectBody);
    NSURLRequest request = t.request;
    NSURLRequest bodySource = t.body;
    int hops = t.hops;
    curl_multi_remove_handle(multi, t.easy);
    transfers.erase(task.get());  // `t` is gone from here on

    if (hops >= kMaxRedirects) {
        impl.completeTask(task, NSURLError(NSURLErrorHTTPTooManyRedirects, request.URL()));
        return;
    }
    auto location = response->valueForHTTPHeaderField("Location");
    auto target = NSURL::URLWithString(*location, request.URL());
    if (!target || !isHTTPScheme(target->scheme())) {
        deliverBufferedResponse(task, response, Data::fromString(body));
        return;
    }
    NSURLRequest next = request;
    next.setURL(target->absoluteURL());
    long status = response->statusCode();
    const std::string& method = request.HTTPMethod();
    if ((status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST")) {
        next.setHTTPMethod("GET");
        next.setHTTPBody(std::nullopt);
        next.setValue(std::nullopt, "Content-Type");
        next.setValue(std::nullopt, "Content-Length");
        bodySource = NSURLRequest();
    }
    if (!impl.delegateResponds(NSURLSessionDelegate::Method::WillPerformHTTPRedirection)) {
        follow(task, std::move(next), std::move(bodySource), hops + 1);
        return;
    }
    auto session = impl.self();
    std::weak_ptr<NSURLSession> weakSession = session;
    auto answer = [weakSession, task, response, body, bodySource, hops](std::optional<NSURLRequest> chosen) {
        auto session = weakSession.lock();
        if (!session) return;
        session->impl_->post([task, response, body, bodySource, hops, chosen](NSURLSessionIO& io) {
            if (task->state() == NSURLSessionTaskState::Completed) return;
            if (!chosen) {
                io.deliverBufferedResponse(task, response, Data::fromString(body));
                return;
            }
            NSURLRequest source = chosen->bodyKind() != NSURLRequest::BodyKind::None ? *chosen : bodySource;
            io.follow(task, *chosen, source, hops + 1);
        });
    };
    auto handler = onceHandler<std::optional<NSURLRequest>>(answer, std::optional<NSURLRequest>(next));
    auto& owner = impl;
    impl.enqueue([&owner, session, task, response, next, handler] {
        if (auto current = owner.currentDelegate()) {
            current->willPerformHTTPRedirection(session, task, response, next, handler);
        } else {
            handler(next);
        }
    });
}

// Runs inside the TLS handshake of a new connection, on the I/O thread: puts the server's chain to the
// delegate and, when asked to, to the system anchors. Waiting here for the delegate blocks only this
// session's I/O thread (never the delegate queue, which answers); the wait is bounded by the request
// timeout and ends early when the task is cancelled. The session's other transfers pause meanwhile, which
// is the price of libcurl offering no way to suspend one handshake.
bool NSURLSessionIO::decideTrust(URLSessionTransfer& t, const std::vector<Data>& chain) {
    const auto& url = t.request.URL();
    std::string host = url->host();
    auto secureFailure = [&](const std::string& detail) {
        t.failure = NSURLError(NSURLErrorSecureConnectionFailed, url, detail);
        return false;
    };
    if (chain.empty()) return secureFailure("the server sent no certificate");
    std::vector<SecCertificatePtr> certificates;
    for (const auto& der : chain) {
        auto certificate = SecCertificate::createWithData(der);
        if (!certificate) return secureFailure("the server sent a certificate that cannot be read");
        certificates.push_back(std::move(certificate));
    }
    OSStatus status = errSecSuccess;
    auto trust = SecTrust::create(certificates, {SecPolicy::createSSL(SecPolicy::Side::Server, host)}, &status);
    if (!trust) return secureFailure("cannot make a trust for the server's chain (" + std::to_string(status) + ")");

    auto untrusted = [&](const NSErrorPtr& why) {
        Value::Dictionary info = NSURLError(NSURLErrorServerCertificateUntrusted, url)->userInfo();
        info[NSLocalizedDescriptionKey] = Value(NSString::format(
            "The certificate for this server is invalid. You might be connecting to a server that is pretending "
            "to be \u201c%@\u201d which could put your confidential information at risk.",
            {Value(host)}));
        info[NSURLErrorFailingURLPeerTrustErrorKey] = Value(trust);
        if (why) info[NSUnderlyingErrorKey] = Value(why);
        t.failure = NSError::create(NSURLErrorDomain, NSURLErrorServerCertificateUntrusted, std::move(info));
        return false;
    };
    auto defaultHandling = [&] {
        NSErrorPtr why;
        if (trust->evaluateWithError(&why)) return true;
        return untrusted(why);
    };

    long port = url->port().value_or(443);
    auto space = NSURLProtectionSpace::create(host, port, NSURLProtectionSpaceHTTPS, "",
                                              NSURLAuthenticationMethodServerTrust, trust);
    auto challenge = NSURLAuthenticationChallenge::create(space);
    bool answered = false;
    auto answer = askForTrust(t, challenge, &answered);
    t.lastActivity = SteadyClock::now();  // the time the delegate took is not the server's silence
    if (!answered) return defaultHandling();  // the delegate has no say
    if (t.failure) return false;              // cancelled or timed out while waiting
    switch (answer.disposition) {
        case NSURLSessionAuthChallengeDisposition::UseCredential:
            if (answer.credential && answer.credential->serverTrust() == trust) return true;
            return untrusted(NSError::withDescription(NSURLErrorDomain, NSURLErrorServerCertificateUntrusted,
                                                      "the answer carried no credential for the server's trust"));
        case NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
            t.failure = NSURLError(NSURLErrorCancelled, url);
            return false;
        case NSURLSessionAuthChallengeDisposition::PerformDefaultHandling:
        case NSURLSessionAuthChallengeDisposition::RejectProtectionSpace:
            break;
    }
    return defaultHandling();
}

URLSessionChallengeWait::Answer NSURLSessionIO::askForTrust(URLSessionTransfer& t,
                                                            const NSURLAuthenticationChallengePtr& challenge,
                                                            bool* answered) {
    using Answer = URLSessionChallengeWait::Answer;
    const Answer fallback{NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr};
    bool sessionLevel = impl.delegateResponds(NSURLSessionDelegate::Method::DidReceiveChallenge);
    if (!sessionLevel && !impl.delegateResponds(NSURLSessionDelegate::Method::TaskDidReceiveChallenge)) {
        *answered = false;
        return fallback;
    }
    *answered = true;
    auto wait = std::make_shared<URLSessionChallengeWait>();
    {
        std::lock_guard lock(impl.challengeMutex);
        impl.pendingChallenge = wait;
    }
    auto session = impl.self();
    auto task = t.task;
    auto& owner = impl;
    // Only the delegate's side holds the handler, so that dropping it gives the default answer at once.
    NSURLChallengeCompletionHandler handler =
        [deliver = onceHandler<Answer>([wait](Answer given) { wait->deliver(std::move(given)); }, fallback)](
            NSURLSessionAuthChallengeDisposition disposition, NSURLCredentialPtr credential) {
            deliver(Answer{disposition, std::move(credential)});
        };
    impl.enqueue([&owner, session, task, challenge, handler = std::move(handler), sessionLevel] {
        auto current = owner.currentDelegate();
        if (!current) {
            handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
        } else if (sessionLevel) {
            current->didReceiveChallenge(session, challenge, handler);
        } else {
            current->taskDidReceiveChallenge(session, task, challenge, handler);
        }
    });
    double seconds = t.idleTimeout;
    if (t.resourceTimeout > 0) seconds = std::min(seconds, std::max(0.0, t.resourceTimeout - secondsSince(t.started)));
    auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                             std::chrono::duration<double>(seconds));
    auto stopped = [&] {
        auto state = task->state();
        return state == NSURLSessionTaskState::Canceling || state == NSURLSessionTaskState::Completed;
    };
    std::optional<Answer> answer;
    {
        std::unique_lock lock(wait->mutex);
        wait->changed.wait_until(lock, deadline, [&] { return wait->answer.has_value() || stopped(); });
        answer = wait->answer;
    }
    {
        std::lock_guard lock(impl.challengeMutex);
        impl.pendingChallenge.reset();
    }
    if (stopped()) {
        t.failure = NSURLError(NSURLErrorCancelled, t.request.URL());
    } else if (!answer) {
        t.failure = NSURLError(NSURLErrorTimedOut, t.request.URL(),
                               "the delegate did not answer the server-trust challenge in time");
    }
    return answer.value_or(fallback);
}

void NSURLSessionIO::follow(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body,
                            int hops) {
    if (task->state() == NSURLSessionTaskState::Canceling) {
        impl.completeTask(task, NSURLError(NSURLErrorCancelled, request.URL()));
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
    if (!impl.delegateResponds(NSURLSessionDelegate::Method::NeedNewBodyStream)) {
        impl.completeTask(task, NSURLError(NSURLErrorRequestBodyStreamExhausted, request.URL()));
        return;
    }
    auto session = impl.self();
    std::weak_ptr<NSURLSession> weakSession = session;
    auto answer = [weakSession, task, request, body, hops](NSInputStreamPtr stream) {
        auto session = weakSession.lock();
        if (!session) return;
        session->impl_->post([task, request, body, hops, stream](NSURLSessionIO& io) {
            if (task->state() == NSURLSessionTaskState::Completed) return;
            if (!stream) {
                io.impl.completeTask(task, NSURLError(NSURLErrorRequestBodyStreamExhausted, request.URL()));
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

// A response whose body is at hand (a redirect that is not followed, or a stored response) is the task's
// result: the response is announced, then the body delivered, then the task completes.
void NSURLSessionIO::deliverBufferedResponse(const NSURLSessionTaskPtr& task, NSURLResponsePtr response,
                                             Data body) {
    auto finishWith = [task, body](NSURLSessionIO& io, NSURLSessionResponseDisposition disposition) {
        if (task->state() == NSURLSessionTaskState::Completed) return;
        if (disposition == NSURLSessionResponseDisposition::Cancel ||
            task->state() == NSURLSessionTaskState::Canceling) {
            io.impl.completeTask(task, NSURLError(NSURLErrorCancelled, task->currentRequest().URL()));
            return;
        }
        const char* bytes = reinterpret_cast<const char*>(body.bytes());
        io.impl.completeTask(task, io.impl.deliverData(task, bytes, body.length()));
    };
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
    if (task->internal_->download && http) {
        if (auto error = impl.prepareDownloadResponse(task, http)) {
            impl.completeTask(task, error);
            return;
        }
    }
    std::weak_ptr<NSURLSession> weakSession = impl.self();
    bool waits = impl.announceResponse(task, response, [weakSession, finishWith](auto disposition) {
        if (auto session = weakSession.lock()) {
            session->impl_->post(
                [finishWith, disposition](NSURLSessionIO& io) { finishWith(io, disposition); });
        }
    });
    if (!waits) finishWith(*this, NSURLSessionResponseDisposition::Allow);
}

// Answers a task's first request from the cache when its policy lets a stored response do (see the top of
// URLSession.h); true when the task needs no network.
bool NSURLSessionIO::answerFromCache(const NSURLSessionTaskPtr& task, const NSURLRequest& request) {
    auto policy = impl.cachePolicyFor(request);
    auto cache = impl.configuration->URLCache();
    NSCachedURLResponsePtr cached;
    if (cache && request.HTTPMethod() == "GET") {
        switch (policy) {
            case NSURLRequestCachePolicy::UseProtocolCachePolicy:
                if (HTTPCacheRules::requestBypassesCache(request)) break;
                cached = cache->cachedResponseForRequest(request);
                if (cached && !HTTPCacheRules::isFresh(*cached, Clock::now())) cached = nullptr;
                break;
            case NSURLRequestCachePolicy::ReturnCacheDataElseLoad:
            case NSURLRequestCachePolicy::ReturnCacheDataDontLoad:
                cached = cache->cachedResponseForRequest(request);
                break;
            default:
                break;
        }
    }
    if (!cached) {
        if (policy != NSURLRequestCachePolicy::ReturnCacheDataDontLoad) return false;
        impl.completeTask(task, NSURLError(NSURLErrorResourceUnavailable, request.URL(),
                                           "no stored response, and the cache policy forbids loading"));
        return true;
    }
    {
        std::lock_guard lock(task->mutex_);
        task->currentRequest_ = request;
    }
    deliverBufferedResponse(task, cached->response(), cached->data());
    return true;
}

// On a final response (not a redirect) of a data or upload task: whether its body is to be kept for the
// cache.
void NSURLSessionIO::considerCaching(URLSessionTransfer& t) {
    t.cacheable = false;
    t.cacheBody.clear();
    t.cache = t.impl->configuration->URLCache();
    if (!t.cache) return;
    t.receivedAt = Clock::now();
    t.cacheable = HTTPCacheRules::mayStore(t.request, *t.response, t.receivedAt);
}

// A transfer that completed without error: its response goes into the cache, or supersedes what is there.
void NSURLSessionIO::updateCache(URLSessionTransfer& t) {
    if (!t.cache || !t.response) return;
    const std::string& method = t.request.HTTPMethod();
    if (t.cacheable) {
        auto cached = NSCachedURLResponse::create(t.response, Data(std::move(t.cacheBody)), t.receivedAt);
        impl.offerToCache(t.task, t.cache, t.request, std::move(cached));
    } else if (method == "GET" ? t.response->statusCode() == 200
                               : method != "HEAD" && method != "OPTIONS" && method != "TRACE" &&
                                     t.response->statusCode() < 400) {
        t.cache->removeCachedResponseForRequest(t.request);
    }
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

void NSURLSession::Impl::ioMain(std::shared_ptr<NSURLSession> session) {
    Impl& impl = *session->impl_;
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                      impl.configuration->HTTPMaximumConnectionsPerHost());
    {
        std::lock_guard lock(impl.mutex);
        impl.multi = multi;
    }
    NSURLSessionIO io{impl, multi, {}};
    for (;;) {
        std::deque<Command> commands;
        {
            std::lock_guard lock(impl.mutex);
            commands.swap(impl.commands);
            if (commands.empty() && io.transfers.empty()) {
                impl.threadRunning = false;
                impl.multi = nullptr;
                // Nobody needs to wait for what is left: closing the multi handle and letting the session go.
                if (impl.thread.get_id() == std::this_thread::get_id()) impl.thread.detach();
                break;
            }
        }
        for (auto& command : commands) command(io);
        commands.clear();
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            URLSessionTransfer* t = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
            if (t) io.done(*t, message->data.result);
        }
        io.checkTimersAndStreams();
        if (io.transfers.empty()) continue;
        curl_multi_poll(multi, nullptr, 0, int(io.pollTimeoutMilliseconds()), nullptr);
    }
    curl_multi_cleanup(multi);
}

// ----- tasks -----

void NSURLSessionTask::setStateChangeHook(StateChangeHook hook) {
    std::lock_guard lock(hookMutex());
    hookSlot() = hook ? std::make_shared<StateChangeHook>(std::move(hook)) : nullptr;
}

NSURLSessionTask::~NSURLSessionTask() = default;

NSURLRequest NSURLSessionTask::currentRequest() const {
    std::lock_guard lock(mutex_);
    return currentRequest_;
}

NSURLResponsePtr NSURLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

NSErrorPtr NSURLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string NSURLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void NSURLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

namespace {

void callHook(NSURLSessionTask& task, NSURLSessionTaskState oldState, NSURLSessionTaskState newState) {
    std::shared_ptr<NSURLSessionTask::StateChangeHook> hook;
    {
        std::lock_guard lock(hookMutex());
        hook = hookSlot();
    }
    if (hook) (*hook)(task, oldState, newState);
}

}  // namespace

void NSURLSessionTask::resume() {
    NSURLSessionTaskState oldState;
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        oldState = state_.load();
        if (oldState == NSURLSessionTaskState::Suspended) {
            state_.store(NSURLSessionTaskState::Running);
            start = !started_;
            started_ = true;
        }
    }
    if (oldState == NSURLSessionTaskState::Suspended) {
        auto self = std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
        if (auto session = session_.lock()) {
            if (start) {
                NSURLRequest body = internal_->body;
                bool ask = internal_->needsStream;
                session->impl_->post([self, request = originalRequest_, body, ask](NSURLSessionIO& io) {
                    if (ask) {
                        io.askForStream(self, request, body, 0);
                    } else {
                        io.start(self, request, body, 0);
                    }
                });
            } else {
                session->impl_->post([self](NSURLSessionIO& io) {
                    if (URLSessionTransfer* t = io.find(self)) {
                        t->suspended = self->state() == NSURLSessionTaskState::Suspended;
                        t->lastActivity = SteadyClock::now();
                        io.applyPause(*t);
                    }
                });
            }
        } else {
            // The session is gone: nothing can run the task.
            std::lock_guard lock(mutex_);
            state_.store(NSURLSessionTaskState::Completed);
            error_ = NSURLError(NSURLErrorCancelled, originalRequest_.URL());
        }
    }
    if (oldState != NSURLSessionTaskState::Running) callHook(*this, oldState, state());
}

void NSURLSessionTask::suspend() {
    NSURLSessionTaskState oldState;
    {
        std::lock_guard lock(mutex_);
        oldState = state_.load();
        if (oldState == NSURLSessionTaskState::Running) state_.store(NSURLSessionTaskState::Suspended);
    }
    if (oldState == NSURLSessionTaskState::Running) {
        auto self = std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
        if (auto session = session_.lock()) {
            session->impl_->post([self](NSURLSessionIO& io) {
                if (URLSessionTransfer* t = io.find(self)) {
                    t->suspended = self->state() == NSURLSessionTaskState::Suspended;
                    io.applyPause(*t);
                }
            });
        }
    }
    if (oldState != NSURLSessionTaskState::Suspended) callHook(*this, oldState, state());
}

void NSURLSessionTask::cancel() {
    bool started;
    {
        std::lock_guard lock(mutex_);
        auto state = state_.load();
        if (state == NSURLSessionTaskState::Canceling || state == NSURLSessionTaskState::Completed) return;
        state_.store(NSURLSessionTaskState::Canceling);
        started = started_;
    }
    auto self = std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
    auto session = session_.lock();
    auto error = NSURLError(NSURLErrorCancelled, currentRequest().URL());
    if (session) session->impl_->wakeChallenge();
    if (!session) {
        std::lock_guard lock(mutex_);
        state_.store(NSURLSessionTaskState::Completed);
        error_ = error;
        return;
    }
    if (!started) {
        session->impl_->completeTask(self, error);
        return;
    }
    session->impl_->post([self, error](NSURLSessionIO& io) {
        if (URLSessionTransfer* t = io.find(self)) {
            io.finish(*t, error);
        } else {
            io.impl.completeTask(self, error);  // between hops, waiting for the delegate
        }
    });
}

void NSURLSessionDownloadTask::cancelByProducingResumeData(
    std::function<void(std::optional<Data> resumeData)> completionHandler) {
    auto handler = [completionHandler](std::optional<Data> data) {
        if (completionHandler) completionHandler(std::move(data));
    };
    auto session = session_.lock();
    bool started;
    {
        std::lock_guard lock(mutex_);
        auto state = state_.load();
        if (state == NSURLSessionTaskState::Canceling || state == NSURLSessionTaskState::Completed) {
            if (session) {
                session->impl_->enqueue([handler] { handler(std::nullopt); });
            } else {
                handler(std::nullopt);
            }
            return;
        }
        if (!session) {
            state_.store(NSURLSessionTaskState::Completed);
            error_ = NSURLError(NSURLErrorCancelled, originalRequest_.URL());
            started = false;
        } else {
            state_.store(NSURLSessionTaskState::Canceling);
            started = started_;
        }
    }
    if (!session) {
        handler(std::nullopt);
        return;
    }
    session->impl_->wakeChallenge();
    auto self = std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
    auto error = NSURLError(NSURLErrorCancelled, currentRequest().URL());
    if (!started) {
        session->impl_->enqueue([handler] { handler(std::nullopt); });
        session->impl_->completeTask(self, error);
        return;
    }
    session->impl_->post([self, error, handler](NSURLSessionIO& io) {
        auto& d = *self->internal_->download;
        URLSessionTransfer* t = io.find(self);
        std::optional<Data> data;
        if (self->state() != NSURLSessionTaskState::Completed) {
            if (auto info = NSURLSession::Impl::resumeInfoOf(d, t ? t->request : self->currentRequest())) {
                d.keepFile = true;
                data = URLSessionDownload::encodeResumeData(*info);
            }
        }
        io.impl.enqueue([handler, data] { handler(data); });
        if (t) {
            io.finish(*t, error);
        } else {
            io.impl.completeTask(self, error);
        }
    });
}

Value NSURLSessionTask::valueForKey(const std::string& key) const {
    if (key == "countOfBytesReceived") return Value(countOfBytesReceived());
    if (key == "countOfBytesSent") return Value(countOfBytesSent());
    if (key == "countOfBytesExpectedToReceive") return Value(countOfBytesExpectedToReceive());
    if (key == "countOfBytesExpectedToSend") return Value(countOfBytesExpectedToSend());
    if (key == "state") return Value(long(state()));
    if (key == "taskDescription") return Value(taskDescription());
    return Value();
}

std::string NSURLSessionTask::description() const {
    return "<NSURLSessionTask " + std::to_string(identifier_) + ": " + originalRequest_.description() + ">";
}

// ----- session -----

std::shared_ptr<NSURLSession> NSURLSession::sharedSession() {
    static auto* shared = new std::shared_ptr<NSURLSession>([] {
        auto session = sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration());
        session->isShared_ = true;
        return session;
    }());
    return *shared;
}

std::shared_ptr<NSURLSession> NSURLSession::sessionWithConfiguration(
    NSURLSessionConfigurationPtr configuration) {
    return sessionWithConfiguration(std::move(configuration), nullptr, nullptr);
}

std::shared_ptr<NSURLSession> NSURLSession::sessionWithConfiguration(
    NSURLSessionConfigurationPtr configuration, std::shared_ptr<NSURLSessionDelegate> delegate,
    std::shared_ptr<NSOperationQueue> delegateQueue) {
    initCurlOnce();
    auto session = std::shared_ptr<NSURLSession>(new NSURLSession());
    session->impl_ = std::make_unique<Impl>();
    session->impl_->owner = session.get();
    session->impl_->configuration =
        configuration ? configuration->copy() : NSURLSessionConfiguration::defaultSessionConfiguration();
    session->impl_->delegate = std::move(delegate);
    if (!delegateQueue) {
        delegateQueue = NSOperationQueue::create();
        delegateQueue->setMaxConcurrentOperationCount(1);
    }
    session->delegateQueue_ = std::move(delegateQueue);
    return session;
}

NSURLSession::~NSURLSession() {
    std::map<uint64_t, NSURLSessionTaskPtr> left;
    std::thread thread;
    {
        std::lock_guard lock(impl_->mutex);
        left.swap(impl_->tasks);
        thread = std::move(impl_->thread);
    }
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();  // the I/O thread let the last reference go on its way out
        } else {
            thread.join();
        }
    }
    // Tasks that never ran cannot run any more.
    for (auto& [id, task] : left) {
        std::lock_guard lock(task->mutex_);
        if (task->state_.load() != NSURLSessionTaskState::Completed) {
            task->state_.store(NSURLSessionTaskState::Completed);
            task->error_ = NSURLError(NSURLErrorCancelled, task->originalRequest_.URL());
        }
    }
}

NSURLSessionConfigurationPtr NSURLSession::configuration() const {
    return impl_->configuration->copy();
}

std::shared_ptr<NSURLSessionDelegate> NSURLSession::delegate() const {
    return impl_->currentDelegate();
}

std::string NSURLSession::sessionDescription() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->description;
}

void NSURLSession::setSessionDescription(std::string description) {
    std::lock_guard lock(impl_->mutex);
    impl_->description = std::move(description);
}

template <class T>
std::shared_ptr<T> NSURLSession::makeTask(const NSURLRequest& request, CompletionHandler handler,
                                          const NSURLRequest* body) {
    auto task = std::shared_ptr<T>(new T());
    task->internal_ = std::make_unique<NSURLSessionTask::Internal>();
    task->internal_->body = body ? *body : request;
    task->internal_->completion = std::move(handler);
    task->originalRequest_ = request;
    task->currentRequest_ = request;
    task->session_ = std::static_pointer_cast<NSURLSession>(shared_from_this());
    task->expectedToSend_.store(expectedBodyLength(task->internal_->body, request));
    std::lock_guard lock(impl_->mutex);
    if (impl_->invalidated) return nullptr;
    task->identifier_ = impl_->nextIdentifier++;
    impl_->tasks[task->identifier_] = task;
    return task;
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithRequest(const NSURLRequest& request) {
    return makeTask<NSURLSessionDataTask>(request, nullptr, nullptr);
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithURL(const std::shared_ptr<NSURL>& url) {
    return dataTaskWithRequest(NSURLRequest(url));
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithRequest(const NSURLRequest& request,
                                                          CompletionHandler completionHandler) {
    return makeTask<NSURLSessionDataTask>(request, std::move(completionHandler), nullptr);
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithURL(const std::shared_ptr<NSURL>& url,
                                                      CompletionHandler completionHandler) {
    return dataTaskWithRequest(NSURLRequest(url), std::move(completionHandler));
}

NSURLSessionUploadTaskPtr NSURLSession::uploadTaskWithRequest(const NSURLRequest& request,
                                                              const Data& bodyData,
                                                              CompletionHandler completionHandler) {
    NSURLRequest body;
    body.setHTTPBody(bodyData);
    return makeTask<NSURLSessionUploadTask>(request, std::move(completionHandler), &body);
}

NSURLSessionUploadTaskPtr NSURLSession::uploadTaskWithRequestFromFile(const NSURLRequest& request,
                                                                      const std::shared_ptr<NSURL>& fileURL,
                                                                      CompletionHandler completionHandler) {
    NSURLRequest body;
    body.setHTTPBodyFile(fileURL ? fileURL->path() : "");
    if (body.bodyKind() == NSURLRequest::BodyKind::None)
        body.setHTTPBodyFile("/");  // fails as "no such file"
    return makeTask<NSURLSessionUploadTask>(request, std::move(completionHandler), &body);
}

NSURLSessionUploadTaskPtr NSURLSession::uploadTaskWithStreamedRequest(const NSURLRequest& request) {
    NSURLRequest body;
    body.setHTTPBodyStream(request.HTTPBodyStream());
    auto task = makeTask<NSURLSessionUploadTask>(request, nullptr, &body);
    if (task && !request.HTTPBodyStream()) task->internal_->needsStream = true;
    return task;
}

NSURLSessionDownloadTaskPtr NSURLSession::downloadTaskWithRequest(const NSURLRequest& request,
                                                                  DownloadCompletionHandler completionHandler) {
    auto task = makeTask<NSURLSessionDownloadTask>(request, nullptr, nullptr);
    if (!task) return nullptr;
    task->internal_->download = std::make_unique<URLSessionDownloadState>();
    task->internal_->download->completion = std::move(completionHandler);
    return task;
}

NSURLSessionDownloadTaskPtr NSURLSession::downloadTaskWithURL(const std::shared_ptr<NSURL>& url,
                                                              DownloadCompletionHandler completionHandler) {
    return downloadTaskWithRequest(NSURLRequest(url), std::move(completionHandler));
}

NSURLSessionDownloadTaskPtr NSURLSession::downloadTaskWithResumeData(const Data& resumeData,
                                                                     DownloadCompletionHandler completionHandler) {
    std::string problem;
    auto info = URLSessionDownload::decodeResumeData(resumeData, &problem);
    std::shared_ptr<NSURL> url = info ? NSURL::URLWithString(info->url) : nullptr;
    if (info && (!url || !isHTTPScheme(url->scheme()))) {
        problem = "the resume data's URL is not an http(s) URL";
        info.reset();
    }
    NSURLRequest request(url);
    if (info) {
        for (const auto& [name, value] : info->headers) request.setValue(value.stringValue(), name);
        request.setValue("bytes=" + std::to_string(info->bytesReceived) + "-", "Range");
        request.setValue(info->etag.empty() ? info->lastModified : info->etag, "If-Range");
    }
    auto task = downloadTaskWithRequest(request, std::move(completionHandler));
    if (!task) return nullptr;
    auto& download = *task->internal_->download;
    if (info) {
        download.resume = std::move(info);
    } else {
        download.invalidResumeData = "the resume data is not valid: " + problem;
    }
    return task;
}

void NSURLSession::getTasksWithCompletionHandler(TasksHandler handler) {
    if (!handler) return;
    auto session = std::static_pointer_cast<NSURLSession>(shared_from_this());
    impl_->enqueue([session, handler] {
        std::vector<NSURLSessionDataTaskPtr> dataTasks;
        std::vector<NSURLSessionUploadTaskPtr> uploadTasks;
        std::vector<NSURLSessionTaskPtr> downloadTasks;
        {
            std::lock_guard lock(session->impl_->mutex);
            for (const auto& [id, task] : session->impl_->tasks) {
                if (std::dynamic_pointer_cast<NSURLSessionDownloadTask>(task)) {
                    downloadTasks.push_back(task);
                } else if (auto upload = std::dynamic_pointer_cast<NSURLSessionUploadTask>(task)) {
                    uploadTasks.push_back(upload);
                } else if (auto data = std::dynamic_pointer_cast<NSURLSessionDataTask>(task)) {
                    dataTasks.push_back(data);
                }
            }
        }
        handler(std::move(dataTasks), std::move(uploadTasks), std::move(downloadTasks));
    });
}

void NSURLSession::finishTasksAndInvalidate() {
    if (isShared_) return;
    bool now = false;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->invalidated) return;
        impl_->invalidated = true;
        if (impl_->tasks.empty()) impl_->invalidationQueued = now = true;
    }
    if (now) impl_->queueInvalidation();
}

void NSURLSession::invalidateAndCancel() {
    if (isShared_) return;
    std::vector<NSURLSessionTaskPtr> running;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& [id, task] : impl_->tasks) running.push_back(task);
    }
    finishTasksAndInvalidate();
    for (auto& task : running) task->cancel();
}

std::string NSURLSession::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<NSURLSession: ") + address + ">";
}
