// The session: its tasks' table, the callback pipe to the delegate queue, the posting of commands to the
// I/O thread, task completion and invalidation. See README.md for the life of a request.
#include "platform/net/URLSessionInternal.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/TextUtil.h"

namespace URLSessionSupport {

bool isHTTPScheme(const std::string& scheme) {
    return TextUtil::equalsIgnoringASCIICase(scheme, "http") ||
           TextUtil::equalsIgnoringASCIICase(scheme, "https");
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

NSURLRequest bodyOnly(const NSURLRequest& source) {
    NSURLRequest body;
    switch (source.bodyKind()) {
        case NSURLRequest::BodyKind::None:
            break;
        case NSURLRequest::BodyKind::Data:
            body.setHTTPBody(source.HTTPBody());
            break;
        case NSURLRequest::BodyKind::File:
            body.setHTTPBodyFile(source.HTTPBodyFile());
            break;
        case NSURLRequest::BodyKind::Stream:
            body.setHTTPBodyStream(source.HTTPBodyStream());
            break;
    }
    return body;
}

}  // namespace URLSessionSupport

using namespace URLSessionSupport;

namespace {

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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

}  // namespace

void NSURLSession::Impl::wakeChallenge() {
    std::shared_ptr<URLSessionChallengeWait> wait;
    {
        std::lock_guard lock(challengeMutex);
        wait = pendingChallenge.lock();
    }
    if (!wait) return;
    { std::lock_guard lock(wait->mutex); }  // the waiter sees the new task state under this lock
    wait->changed.notify_all();
}

void NSURLSession::Impl::enqueue(std::function<void()> callback, Wake wake) {
    PipedCallback piped{std::move(callback)};
    handOverPipe(wake, &piped);
}

void NSURLSession::Impl::flushPipe(Wake wake) {
    handOverPipe(wake, nullptr);
}

// Queues `callback` (when given) and, unless `wake` leaves it for later or an operation is on its way,
// starts one for the pipe, or leaves that to the calling thread's batch. One hold of the mutex.
void NSURLSession::Impl::handOverPipe(Wake wake, PipedCallback* callback) {
    DelegateBatch* batch = wake == Wake::Soon ? DelegateBatch::current() : nullptr;
    bool start;
    {
        std::lock_guard lock(pipeMutex);
        if (callback) pipe.push_back(std::move(*callback));
        start = wake != Wake::Later && !pipe.empty() && !pipeBusy;
        if (start && !batch) pipeBusy = true;
    }
    if (!start) return;
    batch ? batch->add(self()) : submitNext(self());
}

namespace {
thread_local NSURLSession::Impl::DelegateBatch* currentBatch = nullptr;
}  // namespace

NSURLSession::Impl::DelegateBatch::DelegateBatch() : outer_(currentBatch) {
    currentBatch = this;
}

NSURLSession::Impl::DelegateBatch::~DelegateBatch() {
    handOver(false);
    currentBatch = outer_;
}

NSURLSession::Impl::DelegateBatch* NSURLSession::Impl::DelegateBatch::current() {
    return currentBatch;
}

void NSURLSession::Impl::DelegateBatch::add(std::shared_ptr<NSURLSession> session) {
    if (std::find(sessions_.begin(), sessions_.end(), session) == sessions_.end())
        sessions_.push_back(std::move(session));
}

void NSURLSession::Impl::DelegateBatch::handOver(bool workerReturns) {
    if (sessions_.empty()) return;
    if (workerReturns) DispatchQueue::workerWillReturn();
    for (auto& session : sessions_) session->impl_->flushPipe(Wake::Now);
    sessions_.clear();
}

// One operation runs every callback queued by the time it gets to them, in order: a task's response,
// data and completion usually take one hop to the delegate queue, not three.
void NSURLSession::Impl::submitNext(std::shared_ptr<NSURLSession> session) {
    auto queue = session->delegateQueue_;
    queue->addOperationWithBlock([session] {
        Impl& impl = *session->impl_;
        for (;;) {
            PipedCallback callback;
            {
                std::lock_guard lock(impl.pipeMutex);
                if (impl.pipe.empty()) {
                    impl.pipeBusy = false;
                    return;
                }
                callback = std::move(impl.pipe.front());
                impl.pipe.pop_front();
            }
            if (!callback.givesWordBackItself) DispatchQueue::workerGoesOn();
            callback.run();
        }
    });
}

void NSURLSession::Impl::post(const NSURLSessionTaskPtr& task, Command command) {
    loopOf(task)->post([session = self(), command = std::move(command)](NSURLSessionIO& io) { command(io); });
}

std::shared_ptr<NSURLSessionIO> NSURLSession::Impl::loopFor(const NSURLRequest& request) {
    const auto& url = request.URL();
    bool https = url && TextUtil::equalsIgnoringASCIICase(url->scheme(), "https");
    if (!https || (!delegateResponds(NSURLSessionDelegate::Method::DidReceiveChallenge) &&
                   !delegateResponds(NSURLSessionDelegate::Method::TaskDidReceiveChallenge))) {
        return NSURLSessionIO::shared();
    }
    std::lock_guard lock(mutex);
    if (!privateLoop) {
        privateLoop = std::make_shared<NSURLSessionIO>();
        privateLoop->maxHostConnections = configuration->HTTPMaximumConnectionsPerHost();
    }
    return privateLoop;
}

std::shared_ptr<NSURLSessionIO> NSURLSession::Impl::loopOf(const NSURLSessionTaskPtr& task) {
    {
        std::lock_guard lock(task->mutex_);
        if (task->internal_->loop) return task->internal_->loop;
    }
    auto loop = loopFor(task->originalRequest_);
    std::lock_guard lock(task->mutex_);
    if (!task->internal_->loop) task->internal_->loop = loop;
    return task->internal_->loop;
}

// The session's own loop ends once it is idle.
void NSURLSession::Impl::stopLoop() {
    std::shared_ptr<NSURLSessionIO> loop;
    {
        std::lock_guard lock(mutex);
        loop = privateLoop;
    }
    if (loop) loop->stop();
}

void NSURLSession::Impl::dropConnections() {
    std::shared_ptr<NSURLSessionIO> loop;
    {
        std::lock_guard lock(mutex);
        loop = privateLoop;
    }
    if (loop) loop->dropConnections();
}

// Ends a task: once only, whatever the path. Queues its completion after every callback queued before.
void NSURLSession::Impl::completeTask(const NSURLSessionTaskPtr& task, NSErrorPtr error) {
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
    std::optional<Data> data;  // for the completion handler only
    if (handler && !download && !error) data = Data(internal->collected.take());
    internal->collected.clear();
    if (download) {
        completeDownload(std::static_pointer_cast<NSURLSessionDownloadTask>(task), *download,
                         task->response(), error);
    } else if (handler) {
        enqueue([handler, data, response = task->response(), error] { handler(data, response, error); });
    } else if (delegateResponds(NSURLSessionDelegate::Method::DidCompleteWithError)) {
        enqueue([this, session = self(), task, error] {
            if (auto current = currentDelegate()) current->didCompleteWithError(session, task, error);
        });
    }
    bool invalidateNow = false;
    {
        std::lock_guard lock(mutex);
        tasks.erase(task->taskIdentifier());
        if (invalidated && tasks.empty() && !invalidationQueued) invalidationQueued = invalidateNow = true;
    }
    if (invalidateNow) {
        queueInvalidation();
        stopLoop();
    }
    flushPipe();  // whatever the task left for later, when nothing else was queued after it
}

// The session's last callback gives back its worker's word that it would return (given by the task's
// completion just before) only where it calls out: to the delegate when it responds, and to the delegate's
// destructor when this was its last reference. When nothing hears of the end, the response's processing
// that the completion left for that worker then waits for no other worker to be woken.
void NSURLSession::Impl::queueInvalidation() {
    auto announce = [this, session = self()] {
        std::shared_ptr<NSURLSessionDelegate> last;
        {
            std::lock_guard lock(mutex);
            last = std::move(delegate);
            delegate.reset();
        }
        // `respondsTo` answers at once: the loop's thread asks it too.
        if (last && last->respondsTo(NSURLSessionDelegate::Method::DidBecomeInvalidWithError)) {
            DispatchQueue::workerGoesOn();
            last->didBecomeInvalidWithError(session, nullptr);
        }
        if (last.use_count() == 1) DispatchQueue::workerGoesOn();
    };
    PipedCallback piped{std::move(announce), true};
    handOverPipe(Wake::Soon, &piped);
}

void NSURLSession::Impl::setCounter(NSURLSessionTask& task, std::atomic<int64_t>& counter, const char* key,
                                    int64_t value) {
    if (counter.load() == value) return;
    task.willChangeValueForKey(key);
    counter.store(value);
    task.didChangeValueForKey(key);
}

NSErrorPtr NSURLSession::Impl::deliverData(const NSURLSessionTaskPtr& task, const char* bytes,
                                           size_t length) {
    if (length == 0) return nullptr;
    if (task->internal_->download) return writeDownload(task, bytes, length);
    setCounter(*task, task->received_, "countOfBytesReceived", task->received_.load() + int64_t(length));
    auto internal = task->internal_.get();
    if (internal->completion) {
        if (internal->collected.append(bytes, length)) return nullptr;
        return NSURLError(NSURLErrorUnknown, task->originalRequest_.URL(), "out of memory for the body");
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

// Sets the task's response; true when the delegate must answer didReceiveResponse first.
bool NSURLSession::Impl::announceResponse(const NSURLSessionTaskPtr& task, const NSURLResponsePtr& response) {
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
    return !task->internal_->completion && delegateResponds(NSURLSessionDelegate::Method::DidReceiveResponse);
}

void NSURLSession::Impl::askAboutResponse(const NSURLSessionTaskPtr& task, const NSURLResponsePtr& response,
                                          std::function<void(NSURLSessionResponseDisposition)> answer) {
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
}

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
    {
        std::lock_guard lock(impl_->mutex);
        left.swap(impl_->tasks);
    }
    // An idle loop holds nothing of the session; it lets its thread go.
    impl_->stopLoop();
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
    NSURLRequest copy = request;
    return makeTask<T>(std::move(copy), std::move(handler), body);
}

template <class T>
std::shared_ptr<T> NSURLSession::makeTask(NSURLRequest&& request, CompletionHandler handler,
                                          const NSURLRequest* body) {
    auto task = std::shared_ptr<T>(new T());
    task->internal_ = std::make_unique<NSURLSessionTask::Internal>();
    // What a task sends is read from its body fields only: a copy of those alone spares copying the URL and
    // the header fields again.
    task->internal_->body = body ? *body : bodyOnly(request);
    task->internal_->completion = std::move(handler);
    task->expectedToSend_.store(expectedBodyLength(task->internal_->body, request));
    task->originalRequest_ = request;
    task->currentRequest_ = std::move(request);
    task->session_ = std::static_pointer_cast<NSURLSession>(shared_from_this());
    std::lock_guard lock(impl_->mutex);
    if (impl_->invalidated) {
        request = std::move(task->currentRequest_);
        return nullptr;
    }
    task->identifier_ = impl_->nextIdentifier++;
    impl_->tasks[task->identifier_] = task;
    return task;
}

// Download tasks are made in URLSessionDownloadTask.cpp.
template std::shared_ptr<NSURLSessionDownloadTask> NSURLSession::makeTask<NSURLSessionDownloadTask>(
    const NSURLRequest&, CompletionHandler, const NSURLRequest*);

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithRequest(const NSURLRequest& request) {
    return makeTask<NSURLSessionDataTask>(request, nullptr, nullptr);
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithRequest(NSURLRequest&& request) {
    return makeTask<NSURLSessionDataTask>(std::move(request), nullptr, nullptr);
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

void NSURLSession::getTasksWithCompletionHandler(TasksHandler handler) {
    if (!handler) return;
    auto session = std::static_pointer_cast<NSURLSession>(shared_from_this());
    auto list = [session, handler] {
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
    };
    impl_->enqueue(std::move(list), Impl::Wake::Now);
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
    if (now) {
        impl_->queueInvalidation();
        impl_->stopLoop();
    }
}

void NSURLSession::flushWithCompletionHandler(std::function<void()> completionHandler) {
    impl_->dropConnections();
    if (completionHandler) impl_->enqueue(std::move(completionHandler), Impl::Wake::Now);
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
