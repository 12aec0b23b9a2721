// The session's insides, shared by its implementation files (internal to platform/net). See README.md for
// which file does what and for the life of a request.
//
// Threads. The I/O thread of a session owns the multi handle, every easy handle and every
// `URLSessionTransfer`; other threads reach it only by posting commands (start, pause, cancel, answers from
// the delegate) and waking it. Delegate callbacks go through the session's callback pipe, which hands them to
// the delegate queue one at a time. Tasks guard their own fields with their mutex; counters are atomics.
#pragma once

#include <curl/curl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <utility>

#include "platform/foundation/Clock.h"
#include "platform/net/CollectedBody.h"
#include "platform/net/HTTPResponseHead.h"
#include "platform/net/RequestHeaderLines.h"
#include "platform/net/URLSession.h"
#include "platform/net/URLSessionDownload.h"
#include "platform/net/URLSessionTLS.h"

struct NSURLSessionIO;

namespace URLSessionSupport {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

inline double secondsSince(TimePoint start) {
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

bool isHTTPScheme(const std::string& scheme);
// The request's Content-Length, or NSURLSessionTransferSizeUnknown.
int64_t contentLengthOf(const NSURLRequest& request);
// -1 when `path` is not a regular file.
int64_t fileSize(const std::string& path);
// A request carrying `source`'s body fields and nothing else: what a task or hop keeps of what it sends.
NSURLRequest bodyOnly(const NSURLRequest& source);

}  // namespace URLSessionSupport

using URLSessionSupport::SteadyClock;
using URLSessionSupport::TimePoint;

// The file side of a download task. Touched on the I/O thread only, except `completion` and the fields
// read by completeTask for a task that never started.
struct URLSessionDownloadState {
    NSURLSession::DownloadCompletionHandler completion;
    std::optional<URLSessionDownload::ResumeInfo> resume;  // made from resume data, not yet answered
    std::string invalidResumeData;                         // why the resume data was refused
    int fd = -1;
    std::string path;
    int64_t written = 0;         // bytes in the file
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
    bool needsStream = false;  // a streamed upload without stream: ask the delegate first
    CollectedBody collected;   // the body for `completion` (I/O thread)
    std::unique_ptr<URLSessionDownloadState> download;  // download tasks only
    std::shared_ptr<NSURLSessionIO> loop;               // where its hop runs (under the task's mutex)
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

// One hop of a task on the I/O thread: an easy handle and everything its callbacks need. Its members leave no
// holes: at 1032 bytes it is still of a size the allocator's per-thread cache hands out without searching.
struct URLSessionTransfer {
    std::shared_ptr<NSURLSession> session;  // a running transfer keeps its session alive
    NSURLSession::Impl* impl = nullptr;
    NSURLSessionTaskPtr task;
    CURL* easy = nullptr;
    RequestHeaderLines headerLines;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    NSURLRequest request;
    NSURLRequest body;  // where the body comes from: only its body is set

    // The body being sent.
    Data data;
    size_t offset = 0;
    NSInputStreamPtr stream;
    int64_t expectedSend = 0;
    int64_t bodyRead = 0;
    curl_off_t lastUploaded = 0;
    curl_off_t lastDownloaded = 0;

    // The response being read.
    HTTPResponseHead head;
    size_t headerBytes = 0;
    NSHTTPURLResponsePtr response;
    bool redirect = false;          // the response is a redirect, not yet followed or refused
    bool awaitingAnswer = false;    // the delegate has not answered for the response yet (body paused)
    bool finishedAwaiting = false;  // the transfer ended while waiting for that answer

    // The body kept for the URL cache while the response may be stored (up to the cache's capacity).
    bool cacheable = false;
    int hops = 0;  // redirects followed before this hop
    NSURLCachePtr cache;
    std::vector<uint8_t> cacheBody;
    Date receivedAt;

    NSErrorPtr failure;                  // set by our own callbacks and checks; wins over libcurl's code
    URLSessionTLS::PeerCheck peerCheck;  // HTTPS: decides on each new connection's server
    bool suspended = false;
    bool waitingForStream = false;
    int pauseMask = 0;
    TimePoint lastActivity = SteadyClock::now();
    TimePoint started = SteadyClock::now();
    double idleTimeout = 60;
    double resourceTimeout = 0;
    int64_t maximumBytes = 0;  // of body held for a data or upload task; 0 none

    ~URLSessionTransfer() {
        if (easy) curl_easy_cleanup(easy);  // before the header lines it reads go
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

    // The I/O loop of this session's HTTPS transfers when its delegate decides on server trust (made when
    // first needed); everything else goes through the process-wide loop.
    std::shared_ptr<NSURLSessionIO> privateLoop;

    // A callback in the pipe. Most run others' code (the delegate's, a completion handler): a word given by
    // the callback before them, that their worker would return, is given back first. One that runs only the
    // session's own code up to where it calls out gives it back itself, there.
    struct PipedCallback {
        std::function<void()> run;
        bool givesWordBackItself = false;
    };
    std::mutex pipeMutex;
    std::deque<PipedCallback> pipe;
    bool pipeBusy = false;

    // The challenge the I/O thread is waiting on, so that cancelling its task can end the wait.
    std::mutex challengeMutex;
    std::weak_ptr<URLSessionChallengeWait> pendingChallenge;
    void wakeChallenge();

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
    // - `Soon`: now, or on a thread with a `DelegateBatch` (an I/O loop's at work) when its batch hands over.
    // - `Now`: at once, for a caller that goes on to wait for the delegate's answer.
    // - `Later`: left in the pipe for the operation of the next callback to take along (a task's completion
    //   at the latest hands it over): a notice that is sure to be followed need not wake a worker of its own.
    enum class Wake { Now, Soon, Later };
    void enqueue(std::function<void()> callback, Wake wake = Wake::Soon);
    // Hands over the callbacks left for later unless an operation is on its way for them (`Soon` as above).
    void flushPipe(Wake wake = Wake::Soon);
    void handOverPipe(Wake wake, PipedCallback* callback);

    // The sessions whose callbacks an I/O loop's thread leaves in their pipes while it works through its
    // transfers, handed to their delegate queues together when it is about to wait or to return. When it
    // returns, its worker runs them itself: a request's response, data and completion then take no wake-up
    // of another worker, and no hop to a spinning one. The loop never waits for these callbacks, except for
    // a challenge's answer, which goes `Now`; so do the answers to the session's own calls (the tasks, a
    // flush, resume data), which an observer called on the loop's thread might wait for. One per thread at a
    // time (the loop's `run`).
    class DelegateBatch {
      public:
        DelegateBatch();
        ~DelegateBatch();  // hands over what is left
        DelegateBatch(const DelegateBatch&) = delete;
        DelegateBatch& operator=(const DelegateBatch&) = delete;
        static DelegateBatch* current();

        void add(std::shared_ptr<NSURLSession> session);
        // `workerReturns`: the caller's worker returns right after and so takes the operations itself.
        void handOver(bool workerReturns);

      private:
        DelegateBatch* outer_;
        std::vector<std::shared_ptr<NSURLSession>> sessions_;
    };

    static void submitNext(std::shared_ptr<NSURLSession> session);

    // Runs `command` on the I/O loop of `task` (see loopFor), keeping the session alive until it has run.
    void post(const NSURLSessionTaskPtr& task, Command command);
    // The loop for a hop to `request`: the process-wide one, whose connections every session may use,
    // unless the hop is HTTPS and this session's delegate decides on server trust itself: then the
    // session's own loop, whose connections no other session rides on.
    std::shared_ptr<NSURLSessionIO> loopFor(const NSURLRequest& request);
    // The loop `task` runs on now (set when its hop starts), or the one for its first request.
    std::shared_ptr<NSURLSessionIO> loopOf(const NSURLSessionTaskPtr& task);
    void stopLoop();
    // Future hops of this session go on new connections (see flushWithCompletionHandler).
    void dropConnections();

    // Ends a task: once only, whatever the path. Queues its completion after every callback queued before.
    void completeTask(const NSURLSessionTaskPtr& task, NSErrorPtr error);

    // The partial file at the end of a download task: kept for the delegate on success, kept and offered as
    // resume data when a failure other than a cancel left a download that can go on, removed otherwise.
    static NSErrorPtr finishDownloadFile(URLSessionDownloadState& d, const NSURLRequest& request,
                                         NSErrorPtr error);

    // Where a download stands, as resume data; nullopt when it cannot go on (see
    // cancelByProducingResumeData).
    static std::optional<URLSessionDownload::ResumeInfo> resumeInfoOf(const URLSessionDownloadState& d,
                                                                      const NSURLRequest& request);

    void completeDownload(const NSURLSessionDownloadTaskPtr& task, URLSessionDownloadState& d,
                          const NSURLResponsePtr& response, const NSErrorPtr& error);

    // Opens the file for a download's first bytes.
    NSErrorPtr openDownloadFile(const NSURLSessionTaskPtr& task, URLSessionDownloadState& d);

    // The final response of a download: for a resumed download, where the file goes on (206 at the offset
    // asked for) or starts over (anything else).
    NSErrorPtr prepareDownloadResponse(const NSURLSessionTaskPtr& task, const NSHTTPURLResponsePtr& response);

    NSErrorPtr writeDownload(const NSURLSessionTaskPtr& task, const char* bytes, size_t length);

    void queueInvalidation();

    void setCounter(NSURLSessionTask& task, std::atomic<int64_t>& counter, const char* key, int64_t value);

    NSErrorPtr deliverData(const NSURLSessionTaskPtr& task, const char* bytes, size_t length);

    // The policy for a task's request: its own, or the configuration's when the request keeps the default.
    NSURLRequestCachePolicy cachePolicyFor(const NSURLRequest& request) const;

    // Stores a complete response, asking the delegate first when it wants a say.
    void offerToCache(const NSURLSessionTaskPtr& task, const NSURLCachePtr& cache,
                      const NSURLRequest& request, NSCachedURLResponsePtr proposed);

    // A download task that carries on the transfer of `dataTask`, whose response was answered
    // BecomeDownload: filed in the table in its place, announced to the delegate; the data task completes
    // without a callback.
    NSURLSessionDownloadTaskPtr becomeDownload(const NSURLSessionTaskPtr& dataTask);

    // Sets the task's response; true when the delegate must answer didReceiveResponse first (askAboutResponse
    // puts the question; the answer is made only then, as most responses need none).
    bool announceResponse(const NSURLSessionTaskPtr& task, const NSURLResponsePtr& response);
    // Queues didReceiveResponse; `answer` hears the disposition (Allow when the delegate drops the handler).
    void askAboutResponse(const NSURLSessionTaskPtr& task, const NSURLResponsePtr& response,
                          std::function<void(NSURLSessionResponseDisposition)> answer);
};

// An I/O loop: a libcurl multi handle and its transfers, driven by one I/O thread at a time. Commands
// posted from any thread wake it. Idle, it gives its thread back at once but keeps its multi handle, and with
// it its connections, for NSURLSessionIdleLifetime seconds of the platform clock (a later command takes a
// thread again); a stopped loop (its session invalidated or gone) closes them as soon as it is idle. Of the
// sessions' own loops only the few that idled last keep connections: short-lived sessions cost no lasting
// thread or descriptor.
struct NSURLSessionIO : std::enable_shared_from_this<NSURLSessionIO> {
    // The process-wide loop: plain HTTP of every session, and HTTPS of sessions that leave server trust to
    // the default handling. Its easy handles share one libcurl share (connections, DNS, TLS sessions).
    static const std::shared_ptr<NSURLSessionIO>& shared();

    CURLSH* share = nullptr;  // the process-wide share (the shared loop only)
    long maxHostConnections = 0;

    std::mutex mutex;
    std::deque<Command> commands;
    bool running = false;
    bool stopWhenIdle = false;
    bool deadlineFired = false;
    CURLM* multi = nullptr;  // kept while the loop idles without a thread

    // Loop thread only (handed from one run to the next under `mutex`).
    std::deque<Command> dueCommands;  // those being run; swapped with `commands`, so neither allocates again
    std::map<NSURLSessionTask*, std::unique_ptr<URLSessionTransfer>> transfers;
    std::vector<CURL*> spareHandles;  // easy handles of finished hops, reset for the next one
    double lastWork = 0;              // platform clock: when a transfer last ran or ended
    std::optional<Clock::DeadlineId> idleDeadline;
    // The kept connections may no longer be used: they go once no transfer runs; until then every hop
    // opens a connection of its own and does not keep it.
    bool dropRequested = false;

    // The session of a task whose command or transfer keeps it alive.
    static NSURLSession::Impl& implOf(const NSURLSessionTaskPtr& task);

    void post(Command command);
    void stop();
    // Closes the kept connections as soon as no transfer runs (new hops meanwhile avoid them).
    void dropConnections();
    void run();
    CURLM* makeMulti() const;
    void closeMulti();
    // Runs commands and transfers until there are none; true when the loop keeps its connections. The
    // callbacks `batch` collects go before each wait.
    bool runUntilIdle(NSURLSession::Impl::DelegateBatch& batch);
    void armIdleDeadline();
    ~NSURLSessionIO();
    CURL* takeHandle();
    void releaseHandle(URLSessionTransfer& t);

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

    // Completes the transfer's task and removes the transfer. The handle goes back after the completion is
    // on its way: no command (a request the completion makes, say) runs on this thread before that.
    void finish(URLSessionTransfer& t, NSErrorPtr error) {
        auto task = t.task;
        auto session = t.session;
        lastWork = Clock::monotonic();  // before the task's completion can be heard of
        if (!error) updateCache(t);
        session->impl_->completeTask(task, std::move(error));
        releaseHandle(t);
        transfers.erase(task.get());
    }

    void start(const NSURLSessionTaskPtr& task, const NSURLRequest& request, const NSURLRequest& body,
               int hops);
    void done(URLSessionTransfer& t, CURLcode code);
    static NSErrorPtr acceptResponse(URLSessionTransfer& t);
    void goOn(URLSessionTransfer& t);
    static std::optional<std::pair<NSURLRequest, NSURLRequest>> redirectedRequest(
        const URLSessionTransfer& t);
    static void askToFollow(URLSessionTransfer& t, NSURLRequest next, NSURLRequest bodySource);
    NSErrorPtr becomeDownload(URLSessionTransfer& t);
    void follow(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body, int hops);
    void askForStream(const NSURLSessionTaskPtr& task, NSURLRequest request, NSURLRequest body, int hops);
    void deliverBufferedResponse(const NSURLSessionTaskPtr& task, NSURLResponsePtr response, Data body);
    bool answerFromCache(const NSURLSessionTaskPtr& task, const NSURLRequest& request);
    static void considerCaching(URLSessionTransfer& t);
    void updateCache(URLSessionTransfer& t);
    void checkTimersAndStreams();
    long pollTimeoutMilliseconds();
    bool decideTrust(URLSessionTransfer& t, const std::vector<Data>& chain);
    URLSessionChallengeWait::Answer askForTrust(URLSessionTransfer& t,
                                                const NSURLAuthenticationChallengePtr& challenge,
                                                bool* answered);

    static size_t onHeader(char* bytes, size_t size, size_t count, void* user);
    static size_t onWrite(char* bytes, size_t size, size_t count, void* user);
    static size_t onRead(char* buffer, size_t size, size_t count, void* user);
    static int onSeek(void* user, curl_off_t offset, int origin);
    static int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded);
};
