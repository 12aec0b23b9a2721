// NSURLSession: HTTP(S) loading with tasks, a delegate and a delegate queue, over libcurl.
//
// Transfers run on I/O loops over libcurl: one process-wide loop for plain HTTP and for HTTPS of sessions
// that leave server trust to the default handling, whose connections every session may reuse; and a loop
// of the session's own for HTTPS when its delegate decides on server trust, so that no connection trusted
// under another policy carries its requests. An idle loop keeps its connections for
// NSURLSessionIdleLifetime seconds (of the platform clock), or until its session is invalidated. A loop
// with work runs on one of the dispatch queues' pool workers, which then takes the delegate queue's work
// that the loop queued last. Tasks are born suspended; `resume` starts them. See platform/net/README.md for
// the life of a request.
//
// Callbacks. Every delegate method and completion handler runs on the session's delegate queue, one at a
// time for the whole session, whatever the queue's width. For one task they come in this order:
//
//   didSendBodyData*                                (as the body goes out)
//   willPerformHTTPRedirection, needNewBodyStream   (per redirect; the new hop then sends its body again)
//   didReceiveResponse                              (once, for the final response)
//   didReceiveData*                                 (only after didReceiveResponse has been answered)
//   didCompleteWithError                            (last, exactly once, also after cancel)
//
// Answered BecomeDownload, didReceiveResponse is followed by didBecomeDownloadTask(dataTask, downloadTask)
// and then the download task's didWriteData*, didFinishDownloadingToURL, didCompleteWithError: a new
// download task (the session's next identifier, the same requests and response) goes on with the same
// transfer, its body written to a file. The data task is then completed, without a completion of its own.
//
// and `didBecomeInvalidWithError` comes after the last task's completion of an invalidated session. A task
// made with a completion handler gets its response, data and error through that handler instead of
// didReceiveResponse, didReceiveData and didCompleteWithError.
//
// HTTPS. Every new TLS connection is put to the delegate as a server-trust challenge before any byte of the
// request goes out: `didReceiveChallenge` (session level) when the delegate has it, else
// `taskDidReceiveChallenge`, else default handling. The challenge carries a SecTrust for the chain the
// server presented, with the SSL policy for the URL's host. Answers:
//   UseCredential          with `NSURLCredential::credentialForTrust` of that trust: the server is trusted;
//                          with no credential or another one, the task fails with -1202
//   PerformDefaultHandling the trust is evaluated against the system anchors (and the host); failure -1202
//   RejectProtectionSpace  there is no other protection space to try: the same as default handling
//   CancelAuthenticationChallenge  the task fails with -999
// While the delegate thinks, the handshake waits on the session's I/O thread (never on the delegate queue),
// for at most the request timeout; then the task fails with -1001. Cancelling the task ends the wait at
// once. A dropped completion handler means default handling. A connection kept alive for a later request
// of the same session has been trusted already and is not put to the delegate again.
//
// Caching. Data and upload tasks go through the configuration's URL cache (see URLCache.h) under the
// request's cache policy, or the configuration's when the request keeps the default:
//   UseProtocolCachePolicy        a stored GET response that is still fresh, unless the request says
//                                 "no-cache", "no-store" or asks for a range
//   ReloadIgnoringLocalCacheData  never a stored response
//   ReturnCacheDataElseLoad       any stored response, fresh or not; else the network
//   ReturnCacheDataDontLoad       any stored response; else the task fails with -1008, never the network
// A task answered from the cache runs the usual response, data, completion callbacks without touching the
// network. A GET answered 200 that HTTPCacheRules::mayStore allows is stored once the body is complete,
// replacing what was stored for the URL; a 200 that may not be stored removes it. With a delegate that
// implements willCacheResponse (and no completion handler) the delegate is asked first, before the task's
// completion: the response it answers is stored, null or a dropped handler stores nothing. A request with
// another method that succeeds removes what is stored for its URL. Download tasks leave the cache alone.
//
// Download tasks write the body to a new file in the sandbox's tmp directory. For one download task:
//
//   didResumeAtOffset                 (only for a task made from resume data, when the response arrives)
//   didWriteData*                     (as the body is written)
//   didFinishDownloadingToURL         (success only; the file exists during the call and is removed after
//                                      it returns, unless the delegate has moved it away)
//   didCompleteWithError              (last, exactly once)
//
// A download task never asks didReceiveResponse: every status downloads its body. A download task made with
// a completion handler gets (location, response, error) instead of didFinishDownloadingToURL and
// didCompleteWithError; the file is removed when the handler returns.
//
// Methods that need an answer get a completion handler; the session waits for it without blocking anything.
// Each handler acts once (later calls do nothing); a handler that is dropped without being called gives the
// default answer (allow, follow the redirect, no new stream).
//
// Byte counters (countOfBytes...) change on the I/O thread, before the callback that reports them is
// queued; they are key-value observable ("countOfBytesReceived", "countOfBytesExpectedToReceive",
// "countOfBytesSent", "countOfBytesExpectedToSend"), and observers run on the I/O thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/InputStream.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/URLResponse.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLCache.h"
#include "platform/security/Security.h"

// Error codes of NSURLErrorDomain that the session reports.
inline constexpr long NSURLErrorUnknown = -1;
inline constexpr long NSURLErrorCancelled = -999;
inline constexpr long NSURLErrorBadURL = -1000;
inline constexpr long NSURLErrorTimedOut = -1001;
inline constexpr long NSURLErrorUnsupportedURL = -1002;
inline constexpr long NSURLErrorCannotFindHost = -1003;
inline constexpr long NSURLErrorCannotConnectToHost = -1004;
inline constexpr long NSURLErrorNetworkConnectionLost = -1005;
inline constexpr long NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr long NSURLErrorResourceUnavailable = -1008;
inline constexpr long NSURLErrorNotConnectedToInternet = -1009;
inline constexpr long NSURLErrorBadServerResponse = -1011;
inline constexpr long NSURLErrorCannotParseResponse = -1017;
inline constexpr long NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr long NSURLErrorRequestBodyStreamExhausted = -1021;
inline constexpr long NSURLErrorFileDoesNotExist = -1100;
inline constexpr long NSURLErrorSecureConnectionFailed = -1200;
inline constexpr long NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr long NSURLErrorCannotDecodeRawData = -1015;
inline constexpr long NSURLErrorCannotCreateFile = -3000;
inline constexpr long NSURLErrorCannotOpenFile = -3001;
inline constexpr long NSURLErrorCannotWriteToFile = -3003;

// In the user info of a -1202 error: the SecTrust that was not trusted.
inline constexpr const char* NSURLErrorFailingURLPeerTrustErrorKey = "NSURLErrorFailingURLPeerTrustErrorKey";
// In the user info of a failed download's error, when the download can go on: its resume data.
inline constexpr const char* NSURLSessionDownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";

inline constexpr int64_t NSURLSessionTransferSizeUnknown = -1;

// What a configuration lets one data or upload task hold in memory unless told otherwise (the JSON reader's
// bound).
inline constexpr int64_t NSURLSessionDefaultMaximumMemoryPerTask = int64_t(64) << 20;

// Seconds an I/O loop with nothing to do keeps its thread and its connections.
inline constexpr double NSURLSessionIdleLifetime = 60;

// An NSURLErrorDomain error with the platform's text for `code`, the failing URL under
// NSURLErrorFailingURLErrorKey and NSURLErrorFailingURLStringErrorKey, and `detail` (when not empty) as
// the underlying error's description.
NSErrorPtr NSURLError(long code, const std::shared_ptr<NSURL>& url, const std::string& detail = "");
// The platform's text for an NSURLErrorDomain code ("The request timed out.", "cancelled", ...).
std::string NSURLErrorDescription(long code);

enum class NSURLSessionTaskState : long { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
enum class NSURLSessionResponseDisposition : long {
    Cancel = 0,
    Allow = 1,
    BecomeDownload = 2,
    BecomeStream = 3
};

class NSURLSession;

// ----- authentication -----

inline constexpr const char* NSURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* NSURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* NSURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";
inline constexpr const char* NSURLProtectionSpaceHTTP = "http";
inline constexpr const char* NSURLProtectionSpaceHTTPS = "https";

enum class NSURLSessionAuthChallengeDisposition : long {
    UseCredential = 0,
    PerformDefaultHandling = 1,
    CancelAuthenticationChallenge = 2,
    RejectProtectionSpace = 3,
};

enum class NSURLCredentialPersistence : unsigned long { None = 0, ForSession = 1, Permanent = 2 };

// What a challenge is about: a host and port, and for server trust the trust to decide on.
class NSURLProtectionSpace final : public Object {
  public:
    // `serverTrust` is set for NSURLAuthenticationMethodServerTrust only.
    static std::shared_ptr<NSURLProtectionSpace> create(std::string host, long port, std::string protocol,
                                                        std::string realm, std::string authenticationMethod,
                                                        SecTrustPtr serverTrust = nullptr);
    const std::string& host() const { return host_; }
    long port() const { return port_; }
    const std::string& protocol() const { return protocol_; }
    const std::string& realm() const { return realm_; }
    const std::string& authenticationMethod() const { return method_; }
    const SecTrustPtr& serverTrust() const { return trust_; }
    std::string description() const override;

  private:
    NSURLProtectionSpace() = default;
    std::string host_;
    long port_ = 0;
    std::string protocol_;
    std::string realm_;
    std::string method_;
    SecTrustPtr trust_;
};
using NSURLProtectionSpacePtr = std::shared_ptr<NSURLProtectionSpace>;

// An answer to a challenge: a trust (server trust) or a user and password (HTTP authentication).
class NSURLCredential final : public Object {
  public:
    // Null when `trust` is null.
    static std::shared_ptr<NSURLCredential> credentialForTrust(const SecTrustPtr& trust);
    static std::shared_ptr<NSURLCredential> credentialWithUser(std::string user, std::string password,
                                                               NSURLCredentialPersistence persistence);
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    bool hasPassword() const { return !password_.empty(); }
    NSURLCredentialPersistence persistence() const { return persistence_; }
    // The trust this credential was made for (null for a user credential).
    const SecTrustPtr& serverTrust() const { return trust_; }

  private:
    NSURLCredential() = default;
    std::string user_;
    std::string password_;
    NSURLCredentialPersistence persistence_ = NSURLCredentialPersistence::None;
    SecTrustPtr trust_;
};
using NSURLCredentialPtr = std::shared_ptr<NSURLCredential>;

class NSURLAuthenticationChallenge final : public Object {
  public:
    static std::shared_ptr<NSURLAuthenticationChallenge> create(
        NSURLProtectionSpacePtr protectionSpace, long previousFailureCount = 0,
        NSURLCredentialPtr proposedCredential = nullptr);
    const NSURLProtectionSpacePtr& protectionSpace() const { return space_; }
    long previousFailureCount() const { return failures_; }
    const NSURLCredentialPtr& proposedCredential() const { return proposed_; }

  private:
    NSURLAuthenticationChallenge() = default;
    NSURLProtectionSpacePtr space_;
    long failures_ = 0;
    NSURLCredentialPtr proposed_;
};
using NSURLAuthenticationChallengePtr = std::shared_ptr<NSURLAuthenticationChallenge>;
using NSURLChallengeCompletionHandler =
    std::function<void(NSURLSessionAuthChallengeDisposition, NSURLCredentialPtr)>;

// A session's settings. The session takes a copy when it is made; later changes do not reach it.
class NSURLSessionConfiguration final : public Object, public NSCopying {
  public:
    static std::shared_ptr<NSURLSessionConfiguration> defaultSessionConfiguration();
    // Like the default one, with a private cache of its own.
    static std::shared_ptr<NSURLSessionConfiguration> ephemeralSessionConfiguration();
    // Like the default one, with an identifier (transfers do not outlive the process here).
    static std::shared_ptr<NSURLSessionConfiguration> backgroundSessionConfiguration(std::string identifier);

    std::shared_ptr<NSURLSessionConfiguration> copy() const;
    std::shared_ptr<Object> copyWithZone(NSZone*) const override { return copy(); }

    const std::string& identifier() const { return identifier_; }
    // Headers added to every request that does not set them itself (string values).
    const Value::Dictionary& HTTPAdditionalHeaders() const { return additionalHeaders_; }
    void setHTTPAdditionalHeaders(Value::Dictionary headers) { additionalHeaders_ = std::move(headers); }
    // Seconds without any data moving before a task fails with -1001 (default 60).
    double timeoutIntervalForRequest() const { return requestTimeout_; }
    void setTimeoutIntervalForRequest(double seconds) { requestTimeout_ = seconds; }
    // Seconds a task may take in all (default 7 days).
    double timeoutIntervalForResource() const { return resourceTimeout_; }
    void setTimeoutIntervalForResource(double seconds) { resourceTimeout_ = seconds; }
    long HTTPMaximumConnectionsPerHost() const { return maxConnectionsPerHost_; }
    void setHTTPMaximumConnectionsPerHost(long count) { maxConnectionsPerHost_ = count; }
    NSURLRequestCachePolicy requestCachePolicy() const { return cachePolicy_; }
    void setRequestCachePolicy(NSURLRequestCachePolicy policy) { cachePolicy_ = policy; }
    bool allowsCellularAccess() const { return allowsCellularAccess_; }
    void setAllowsCellularAccess(bool allows) { allowsCellularAccess_ = allows; }
    bool HTTPShouldSetCookies() const { return shouldSetCookies_; }
    void setHTTPShouldSetCookies(bool set) { shouldSetCookies_ = set; }
    // The most body bytes (after content decoding) a data or upload task may receive: past it the task is
    // cancelled with NSURLErrorDataLengthExceedsMaximum. Download tasks write to disk and are not held to
    // it. 0 or less: no bound.
    int64_t maximumMemoryPerTask() const { return maximumMemoryPerTask_; }
    void setMaximumMemoryPerTask(int64_t bytes) { maximumMemoryPerTask_ = bytes; }
    bool HTTPShouldUsePipelining() const { return shouldUsePipelining_; }
    void setHTTPShouldUsePipelining(bool use) { shouldUsePipelining_ = use; }
    // The default configuration's cache is the shared one, whichever that is when a request starts;
    // `setURLCache` puts another in its place (null: the session caches nothing).
    std::shared_ptr<NSURLCache> URLCache() const;
    void setURLCache(std::shared_ptr<NSURLCache> cache) {
        cache_ = std::move(cache);
        usesSharedCache_ = false;
    }

  private:
    NSURLSessionConfiguration() = default;
    std::string identifier_;
    Value::Dictionary additionalHeaders_;
    double requestTimeout_ = 60;
    double resourceTimeout_ = 7 * 24 * 3600;
    long maxConnectionsPerHost_ = 4;
    int64_t maximumMemoryPerTask_ = NSURLSessionDefaultMaximumMemoryPerTask;
    NSURLRequestCachePolicy cachePolicy_ = NSURLRequestCachePolicy::UseProtocolCachePolicy;
    bool allowsCellularAccess_ = true;
    bool shouldSetCookies_ = true;
    bool shouldUsePipelining_ = false;
    std::shared_ptr<NSURLCache> cache_;
    bool usesSharedCache_ = false;
};

using NSURLSessionConfigurationPtr = std::shared_ptr<NSURLSessionConfiguration>;

class NSURLSessionTask : public Object, public KVOObservable {
  public:
    enum class StateCall { Resume, Suspend };
    // Called synchronously on the calling thread when `resume` finds the task in any state but running, or
    // `suspend` in any state but suspended; with the call, the state before it and the state the call left
    // (unchanged for a canceling or completed task; completed for a resume that finds the session gone).
    // One call per such call, also when threads race.
    using StateChangeHook =
        std::function<void(NSURLSessionTask& task, StateCall call, NSURLSessionTaskState oldState,
                           NSURLSessionTaskState newState)>;
    static void setStateChangeHook(StateChangeHook hook);

    ~NSURLSessionTask() override;

    // Unique within the session, increasing from 1.
    uint64_t taskIdentifier() const { return identifier_; }
    const NSURLRequest& originalRequest() const { return originalRequest_; }
    NSURLRequest currentRequest() const;
    NSURLResponsePtr response() const;
    NSErrorPtr error() const;
    NSURLSessionTaskState state() const { return state_.load(); }
    std::string taskDescription() const;
    void setTaskDescription(std::string description);

    int64_t countOfBytesReceived() const { return received_.load(); }
    int64_t countOfBytesSent() const { return sent_.load(); }
    int64_t countOfBytesExpectedToReceive() const { return expectedToReceive_.load(); }
    int64_t countOfBytesExpectedToSend() const { return expectedToSend_.load(); }

    void resume();
    void suspend();
    // A task never resumed completes at once with the cancelled error (-999); a running or suspended one
    // stops its transfer first. Nothing happens to a task that is already canceling or completed.
    void cancel();

    Value valueForKey(const std::string& key) const override;
    std::string description() const override;

  protected:
    NSURLSessionTask() = default;

  private:
    friend class NSURLSession;
    friend class NSURLSessionDownloadTask;
    friend struct NSURLSessionIO;
    struct Internal;

    uint64_t identifier_ = 0;
    std::weak_ptr<NSURLSession> session_;
    NSURLRequest originalRequest_;
    std::atomic<NSURLSessionTaskState> state_{NSURLSessionTaskState::Suspended};
    std::atomic<int64_t> received_{0};
    std::atomic<int64_t> sent_{0};
    std::atomic<int64_t> expectedToReceive_{NSURLSessionTransferSizeUnknown};
    std::atomic<int64_t> expectedToSend_{0};

    mutable std::mutex mutex_;
    NSURLRequest currentRequest_;
    NSURLResponsePtr response_;
    NSErrorPtr error_;
    std::string description_;
    bool started_ = false;
    std::unique_ptr<Internal> internal_;
};

class NSURLSessionDataTask : public NSURLSessionTask {
  protected:
    NSURLSessionDataTask() = default;
    friend class NSURLSession;
};

class NSURLSessionUploadTask final : public NSURLSessionDataTask {
    NSURLSessionUploadTask() = default;
    friend class NSURLSession;
};

// A task whose body goes to a file (see the order of callbacks at the top).
class NSURLSessionDownloadTask final : public NSURLSessionTask {
  public:
    // Cancels the task like `cancel` and hands the handler (on the delegate queue, before the task's
    // completion) resume data for `downloadTaskWithResumeData`, or nullopt when the download cannot go on:
    // no response yet, a response without ETag or Last-Modified, a status other than 200 and 206, or a task
    // that has completed already. With resume data the partial file stays in tmp for the resumed task.
    void cancelByProducingResumeData(std::function<void(std::optional<Data> resumeData)> completionHandler);

  private:
    NSURLSessionDownloadTask() = default;
    friend class NSURLSession;
};

using NSURLSessionTaskPtr = std::shared_ptr<NSURLSessionTask>;
using NSURLSessionDataTaskPtr = std::shared_ptr<NSURLSessionDataTask>;
using NSURLSessionUploadTaskPtr = std::shared_ptr<NSURLSessionUploadTask>;
using NSURLSessionDownloadTaskPtr = std::shared_ptr<NSURLSessionDownloadTask>;

// The session's delegate. Every method is optional: its default does what the session does when a delegate
// lacks the method. `respondsTo` says whether a method counts as implemented; the session never calls a
// method for which it answers false and applies the default itself.
class NSURLSessionDelegate {
  public:
    enum class Method {
        DidBecomeInvalidWithError,
        WillPerformHTTPRedirection,
        NeedNewBodyStream,
        DidSendBodyData,
        DidCompleteWithError,
        DidReceiveResponse,
        DidReceiveData,
        WillCacheResponse,
        DidFinishEventsForBackgroundURLSession,
        DidReceiveChallenge,
        TaskDidReceiveChallenge,
        DidFinishDownloadingToURL,
        DidWriteData,
        DidResumeAtOffset,
        DidBecomeDownloadTask,
    };
    using SessionPtr = std::shared_ptr<NSURLSession>;

    virtual ~NSURLSessionDelegate() = default;
    virtual bool respondsTo(Method) const { return true; }

    virtual void didBecomeInvalidWithError(const SessionPtr& session, const NSErrorPtr& error);
    // Answer with the request to follow, or nullopt to stop: the redirect response then completes the task.
    virtual void willPerformHTTPRedirection(
        const SessionPtr& session, const NSURLSessionTaskPtr& task, const NSHTTPURLResponsePtr& response,
        const NSURLRequest& newRequest, std::function<void(std::optional<NSURLRequest>)> completionHandler);
    // Asked when a streamed body must be sent again (a redirect that keeps the body); nullptr fails the task
    // with -1021.
    virtual void needNewBodyStream(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                   std::function<void(NSInputStreamPtr)> completionHandler);
    virtual void didSendBodyData(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                 int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend);
    virtual void didCompleteWithError(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                      const NSErrorPtr& error);
    virtual void didReceiveResponse(const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                                    const NSURLResponsePtr& response,
                                    std::function<void(NSURLSessionResponseDisposition)> completionHandler);
    virtual void didReceiveData(const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                                const Data& data);
    // After didReceiveResponse was answered BecomeDownload: `downloadTask` carries on the data task's
    // transfer (see the order of callbacks at the top); the data task hears nothing more.
    virtual void didBecomeDownloadTask(const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                                       const NSURLSessionDownloadTaskPtr& downloadTask);
    virtual void willCacheResponse(
        const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
        const std::shared_ptr<NSCachedURLResponse>& proposedResponse,
        std::function<void(std::shared_ptr<NSCachedURLResponse>)> completionHandler);
    virtual void didFinishEventsForBackgroundURLSession(const SessionPtr& session);

    // Authentication (server trust for every new TLS connection). The session-level method is asked when
    // the delegate responds to it, else the task-level one; the defaults answer PerformDefaultHandling.
    virtual void didReceiveChallenge(const SessionPtr& session,
                                     const NSURLAuthenticationChallengePtr& challenge,
                                     NSURLChallengeCompletionHandler completionHandler);
    virtual void taskDidReceiveChallenge(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                         const NSURLAuthenticationChallengePtr& challenge,
                                         NSURLChallengeCompletionHandler completionHandler);

    // Downloads. `location` is a file URL in tmp, valid only during the call: move the file to keep it.
    virtual void didFinishDownloadingToURL(const SessionPtr& session,
                                           const NSURLSessionDownloadTaskPtr& downloadTask,
                                           const std::shared_ptr<NSURL>& location);
    // Totals count the whole file, a resumed part included; the expected total is -1 when unknown.
    virtual void didWriteData(const SessionPtr& session, const NSURLSessionDownloadTaskPtr& downloadTask,
                              int64_t bytesWritten, int64_t totalBytesWritten,
                              int64_t totalBytesExpectedToWrite);
    // A resumed download goes on at `fileOffset` (0 when the server sent the whole body again).
    virtual void didResumeAtOffset(const SessionPtr& session, const NSURLSessionDownloadTaskPtr& downloadTask,
                                   int64_t fileOffset, int64_t expectedTotalBytes);
};

class NSURLSession final : public Object {
  public:
    // Data, response, error. Data is nullopt when there is an error.
    using CompletionHandler = std::function<void(std::optional<Data>, NSURLResponsePtr, NSErrorPtr)>;
    // Location (a file in tmp, removed when the handler returns), response, error. The location is null
    // when there is an error.
    using DownloadCompletionHandler =
        std::function<void(std::shared_ptr<NSURL> location, NSURLResponsePtr response, NSErrorPtr error)>;
    using TasksHandler = std::function<void(std::vector<NSURLSessionDataTaskPtr> dataTasks,
                                            std::vector<NSURLSessionUploadTaskPtr> uploadTasks,
                                            std::vector<NSURLSessionTaskPtr> downloadTasks)>;

    // A shared session without delegate on the default configuration; it cannot be invalidated.
    static std::shared_ptr<NSURLSession> sharedSession();
    static std::shared_ptr<NSURLSession> sessionWithConfiguration(NSURLSessionConfigurationPtr configuration);
    // The session holds `delegate` until it has become invalid. Without `delegateQueue` it makes a serial
    // one. A null configuration means the default one.
    static std::shared_ptr<NSURLSession> sessionWithConfiguration(
        NSURLSessionConfigurationPtr configuration, std::shared_ptr<NSURLSessionDelegate> delegate,
        std::shared_ptr<NSOperationQueue> delegateQueue);
    ~NSURLSession() override;

    // A copy of the session's configuration.
    NSURLSessionConfigurationPtr configuration() const;
    std::shared_ptr<NSURLSessionDelegate> delegate() const;
    const std::shared_ptr<NSOperationQueue>& delegateQueue() const { return delegateQueue_; }
    std::string sessionDescription() const;
    void setSessionDescription(std::string description);

    // Task factories return nullptr once the session has been invalidated.
    NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request);
    // The same, taking the request over instead of copying it; with no task made it is left as it was.
    NSURLSessionDataTaskPtr dataTaskWithRequest(NSURLRequest&& request);
    NSURLSessionDataTaskPtr dataTaskWithURL(const std::shared_ptr<NSURL>& url);
    NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request,
                                                CompletionHandler completionHandler);
    NSURLSessionDataTaskPtr dataTaskWithURL(const std::shared_ptr<NSURL>& url,
                                            CompletionHandler completionHandler);
    NSURLSessionUploadTaskPtr uploadTaskWithRequest(const NSURLRequest& request, const Data& bodyData,
                                                    CompletionHandler completionHandler = nullptr);
    // The file is read when the body is sent; a missing file fails the task with -1100.
    NSURLSessionUploadTaskPtr uploadTaskWithRequestFromFile(const NSURLRequest& request,
                                                            const std::shared_ptr<NSURL>& fileURL,
                                                            CompletionHandler completionHandler = nullptr);
    // The body is the request's HTTPBodyStream, or else one asked for through needNewBodyStream.
    NSURLSessionUploadTaskPtr uploadTaskWithStreamedRequest(const NSURLRequest& request);

    NSURLSessionDownloadTaskPtr downloadTaskWithRequest(
        const NSURLRequest& request, DownloadCompletionHandler completionHandler = nullptr);
    NSURLSessionDownloadTaskPtr downloadTaskWithURL(const std::shared_ptr<NSURL>& url,
                                                    DownloadCompletionHandler completionHandler = nullptr);
    // Goes on with a download cancelled by `cancelByProducingResumeData`: the request asks for the rest
    // ("Range" with "If-Range"). A 206 appends to the partial file; a 200 (the resource changed, or the
    // server ignores ranges) starts the file over. A partial file that has gone starts over too. Resume
    // data that cannot be read gives a task that fails with -1015 when resumed.
    NSURLSessionDownloadTaskPtr downloadTaskWithResumeData(
        const Data& resumeData, DownloadCompletionHandler completionHandler = nullptr);

    // Tasks not yet completed, answered on the delegate queue (download tasks in the third list).
    void getTasksWithCompletionHandler(TasksHandler handler);

    // Requests from now on go on new connections: those this session's delegate accepted before are not used
    // again (they close once no transfer of the session runs). For a delegate whose trust decisions change.
    // Connections of sessions that leave trust to default handling were trusted under the one default policy
    // and stay. `completionHandler` (may be empty) runs on the delegate queue.
    void flushWithCompletionHandler(std::function<void()> completionHandler);

    // No new tasks; once every task has completed the delegate gets didBecomeInvalidWithError(nil) and is let
    // go.
    void finishTasksAndInvalidate();
    // The same after cancelling every task.
    void invalidateAndCancel();

    std::string description() const override;

    struct Impl;

  private:
    NSURLSession() = default;
    friend class NSURLSessionTask;
    friend class NSURLSessionDownloadTask;
    friend struct NSURLSessionIO;
    // `body` carries the body to send (nullptr: the request's own body).
    template <class T>
    std::shared_ptr<T> makeTask(const NSURLRequest& request, CompletionHandler handler,
                                const NSURLRequest* body);
    // Takes `request` over; gives it back when the session makes no task.
    template <class T>
    std::shared_ptr<T> makeTask(NSURLRequest&& request, CompletionHandler handler, const NSURLRequest* body);

    bool isShared_ = false;
    std::shared_ptr<NSOperationQueue> delegateQueue_;
    std::unique_ptr<Impl> impl_;
};

using NSURLSessionPtr = std::shared_ptr<NSURLSession>;
