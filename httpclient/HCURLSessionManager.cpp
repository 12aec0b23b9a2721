#include "httpclient/HCURLSessionManager.h"

#include <cmath>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/TextUtil.h"

namespace {

constexpr const char* kLockName = "com.hcnet.networking.session.manager.lock";
constexpr const char* kIdentifierKey = "identifier";
constexpr const char* kHeadersKey = "HTTPAdditionalHeaders";
constexpr const char* kRequestTimeoutKey = "timeoutIntervalForRequest";
constexpr const char* kResourceTimeoutKey = "timeoutIntervalForResource";
constexpr const char* kConnectionsKey = "HTTPMaximumConnectionsPerHost";
constexpr const char* kCachePolicyKey = "requestCachePolicy";
constexpr const char* kCellularKey = "allowsCellularAccess";
constexpr const char* kCookiesKey = "HTTPShouldSetCookies";
constexpr const char* kPipeliningKey = "HTTPShouldUsePipelining";
// An archive asking for more connections than this is not one we wrote.
constexpr int64_t kMaximumConnectionsPerHost = 1024;
// How long a task list waits for the session before answering from the manager's own table.
constexpr double kTaskListTimeoutSeconds = 5;
// Background sessions may fail to make upload tasks from files for a moment; this many more tries.
constexpr int kMaximumUploadTaskRetries = 3;

}  // namespace

// ---- Construction ----

std::shared_ptr<HCURLSessionManager> HCURLSessionManager::create(NSURLSessionConfigurationPtr configuration) {
    auto manager = std::shared_ptr<HCURLSessionManager>(new HCURLSessionManager());
    manager->initWithSessionConfiguration(std::move(configuration));
    return manager;
}

void HCURLSessionManager::initWithSessionConfiguration(NSURLSessionConfigurationPtr configuration) {
    HCInstallSessionTaskStateNotifications();
    registerArchivableClasses();

    sessionConfiguration_ =
        configuration ? std::move(configuration) : NSURLSessionConfiguration::defaultSessionConfiguration();
    operationQueue_ = NSOperationQueue::create();
    operationQueue_->setMaxConcurrentOperationCount(1);
    auto self = std::static_pointer_cast<HCURLSessionManager>(shared_from_this());
    session_ = NSURLSession::sessionWithConfiguration(sessionConfiguration_, self, operationQueue_);

    responseSerializer_ = HCJSONResponseSerializer::serializer();
    securityPolicy_ = HCSecurityPolicy::defaultPolicy();
    reachabilityManager_ = HCNetworkReachabilityManager::sharedManager();
    lock_.setName(kLockName);
    taskDescription_ = TextUtil::addressText(this);

    // A background session may pick up the tasks of an earlier one with the same identifier; give each a
    // per-task delegate so that it is followed like the manager's own. The answer comes later, on the
    // delegate queue, when the caller may already have made tasks of its own: those keep their delegates.
    if (sessionConfiguration_->identifier().empty()) return;
    std::weak_ptr<HCURLSessionManager> weakSelf = self;
    session_->getTasksWithCompletionHandler([weakSelf](std::vector<NSURLSessionDataTaskPtr> dataTasks,
                                                       std::vector<NSURLSessionUploadTaskPtr> uploadTasks,
                                                       std::vector<NSURLSessionTaskPtr> downloadTasks) {
        auto strong = weakSelf.lock();
        if (!strong) return;
        for (const auto& task : dataTasks) strong->adoptTask(task);
        for (const auto& task : uploadTasks) strong->adoptTask(task);
        for (const auto& task : downloadTasks) strong->adoptTask(task);
    });
}

void HCURLSessionManager::adoptTask(const NSURLSessionTaskPtr& task) {
    auto delegate = HCURLSessionManagerTaskDelegate::create();
    delegate->setManager(std::static_pointer_cast<HCURLSessionManager>(shared_from_this()));
    {
        std::lock_guard lock(lock_);
        if (!mutableTaskDelegatesKeyedByTaskIdentifier_.emplace(task->taskIdentifier(), Entry{delegate, task})
                 .second)
            return;
    }
    task->setTaskDescription(taskDescription_);
    delegate->setupProgressForTask(task);
    addNotificationObserverForTask(task);
}

HCURLSessionManager::~HCURLSessionManager() {
    std::map<uint64_t, Observers> observers;
    {
        std::lock_guard lock(observersMutex_);
        observers.swap(observers_);
    }
    for (const auto& [identifier, tokens] : observers) {
        NSNotificationCenter::defaultCenter().removeObserver(tokens.suspend);
        NSNotificationCenter::defaultCenter().removeObserver(tokens.resume);
    }
}

// ---- Settings ----

std::shared_ptr<HCURLResponseSerialization> HCURLSessionManager::responseSerializer() const {
    std::lock_guard lock(settingsMutex_);
    return responseSerializer_;
}

void HCURLSessionManager::setResponseSerializer(std::shared_ptr<HCURLResponseSerialization> serializer) {
    std::lock_guard lock(settingsMutex_);
    responseSerializer_ = std::move(serializer);
}

std::shared_ptr<HCSecurityPolicy> HCURLSessionManager::securityPolicy() const {
    std::lock_guard lock(settingsMutex_);
    return securityPolicy_;
}

void HCURLSessionManager::setSecurityPolicy(std::shared_ptr<HCSecurityPolicy> policy) {
    {
        std::lock_guard lock(settingsMutex_);
        securityPolicy_ = std::move(policy);
    }
    trustDecisionChanged();
}

// Connections accepted under the old decision are not ridden any more.
void HCURLSessionManager::trustDecisionChanged() {
    if (session_) session_->flushWithCompletionHandler(nullptr);
}

std::shared_ptr<HCNetworkReachabilityManager> HCURLSessionManager::reachabilityManager() const {
    std::lock_guard lock(settingsMutex_);
    return reachabilityManager_;
}

void HCURLSessionManager::setReachabilityManager(std::shared_ptr<HCNetworkReachabilityManager> manager) {
    std::lock_guard lock(settingsMutex_);
    reachabilityManager_ = std::move(manager);
}

DispatchQueuePtr HCURLSessionManager::completionQueue() const {
    std::lock_guard lock(settingsMutex_);
    return completionQueue_;
}

void HCURLSessionManager::setCompletionQueue(DispatchQueuePtr queue) {
    std::lock_guard lock(settingsMutex_);
    completionQueue_ = std::move(queue);
}

std::shared_ptr<DispatchGroup> HCURLSessionManager::completionGroup() const {
    std::lock_guard lock(settingsMutex_);
    return completionGroup_;
}

void HCURLSessionManager::setCompletionGroup(std::shared_ptr<DispatchGroup> group) {
    std::lock_guard lock(settingsMutex_);
    completionGroup_ = std::move(group);
}

bool HCURLSessionManager::attemptsToRecreateUploadTasksForBackgroundSessions() const {
    std::lock_guard lock(settingsMutex_);
    return attemptsToRecreateUploadTasksForBackgroundSessions_;
}

void HCURLSessionManager::setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts) {
    std::lock_guard lock(settingsMutex_);
    attemptsToRecreateUploadTasksForBackgroundSessions_ = attempts;
}

DispatchQueuePtr HCURLSessionManager::effectiveCompletionQueue() const {
    auto queue = completionQueue();
    return queue ? queue : DispatchQueue::main();
}

// ---- Task creation ----

void HCURLSessionManager::failCreation(const CompletionHandler& completionHandler,
                                       const NSURLRequest& request) const {
    if (!completionHandler) return;
    Value::Dictionary userInfo{
        {NSLocalizedDescriptionKey, "The session made no task for the request; it has been invalidated."}};
    if (const auto& url = request.URL()) {
        userInfo[NSURLErrorFailingURLErrorKey] = Value(url);
        userInfo[NSURLErrorFailingURLStringErrorKey] = url->absoluteString();
    }
    auto error = NSError::create(NSURLErrorDomain, NSURLErrorCancelled, std::move(userInfo));
    effectiveCompletionQueue()->async(
        [completionHandler, error] { completionHandler(nullptr, std::nullopt, error); });
}

NSURLSessionDataTaskPtr HCURLSessionManager::dataTaskWithRequest(const NSURLRequest& request,
                                                                 CompletionHandler completionHandler) {
    return dataTaskWithRequest(request, nullptr, nullptr, std::move(completionHandler));
}

NSURLSessionDataTaskPtr HCURLSessionManager::dataTaskWithRequest(const NSURLRequest& request,
                                                                 ProgressBlock uploadProgress,
                                                                 ProgressBlock downloadProgress,
                                                                 CompletionHandler completionHandler) {
    return dataTaskWithRequest(NSURLRequest(request), std::move(uploadProgress), std::move(downloadProgress),
                               std::move(completionHandler));
}

NSURLSessionDataTaskPtr HCURLSessionManager::dataTaskWithRequest(NSURLRequest&& request,
                                                                 ProgressBlock uploadProgress,
                                                                 ProgressBlock downloadProgress,
                                                                 CompletionHandler completionHandler) {
    auto task = session_->dataTaskWithRequest(std::move(request));
    if (!task) {
        // The session gave the request back.
        failCreation(completionHandler, request);
        return nullptr;
    }
    addDelegateForDataTask(task, std::move(uploadProgress), std::move(downloadProgress),
                           std::move(completionHandler));
    return task;
}

NSURLSessionUploadTaskPtr HCURLSessionManager::uploadTaskWithRequest(const NSURLRequest& request,
                                                                     const NSURLPtr& fileURL,
                                                                     ProgressBlock uploadProgress,
                                                                     CompletionHandler completionHandler) {
    auto task = session_->uploadTaskWithRequestFromFile(request, fileURL);
    if (!task && attemptsToRecreateUploadTasksForBackgroundSessions() &&
        !sessionConfiguration_->identifier().empty()) {
        for (int attempt = 0; !task && attempt < kMaximumUploadTaskRetries; ++attempt)
            task = session_->uploadTaskWithRequestFromFile(request, fileURL);
    }
    if (!task) {
        failCreation(completionHandler, request);
        return nullptr;
    }
    addDelegateForUploadTask(task, std::move(uploadProgress), std::move(completionHandler));
    return task;
}

NSURLSessionUploadTaskPtr HCURLSessionManager::uploadTaskWithRequest(const NSURLRequest& request,
                                                                     const Data& bodyData,
                                                                     ProgressBlock uploadProgress,
                                                                     CompletionHandler completionHandler) {
    auto task = session_->uploadTaskWithRequest(request, bodyData);
    if (!task) {
        failCreation(completionHandler, request);
        return nullptr;
    }
    addDelegateForUploadTask(task, std::move(uploadProgress), std::move(completionHandler));
    return task;
}

NSURLSessionUploadTaskPtr HCURLSessionManager::uploadTaskWithStreamedRequest(
    const NSURLRequest& request, ProgressBlock uploadProgress, CompletionHandler completionHandler) {
    auto task = session_->uploadTaskWithStreamedRequest(request);
    if (!task) {
        failCreation(completionHandler, request);
        return nullptr;
    }
    addDelegateForUploadTask(task, std::move(uploadProgress), std::move(completionHandler));
    return task;
}

NSURLSessionDownloadTaskPtr HCURLSessionManager::downloadTaskWithRequest(
    const NSURLRequest& request, ProgressBlock downloadProgress, DestinationBlock destination,
    CompletionHandler completionHandler) {
    auto task = session_->downloadTaskWithRequest(request);
    if (!task) {
        failCreation(completionHandler, request);
        return nullptr;
    }
    addDelegateForDownloadTask(task, std::move(downloadProgress), std::move(destination),
                               std::move(completionHandler));
    return task;
}

NSURLSessionDownloadTaskPtr HCURLSessionManager::downloadTaskWithResumeData(
    const Data& resumeData, ProgressBlock downloadProgress, DestinationBlock destination,
    CompletionHandler completionHandler) {
    auto task = session_->downloadTaskWithResumeData(resumeData);
    if (!task) {
        failCreation(completionHandler, NSURLRequest());
        return nullptr;
    }
    addDelegateForDownloadTask(task, std::move(downloadProgress), std::move(destination),
                               std::move(completionHandler));
    return task;
}

// ---- Per-task delegates ----

void HCURLSessionManager::attachDelegate(const NSURLSessionTaskPtr& task, ProgressBlock uploadProgress,
                                         ProgressBlock downloadProgress, CompletionHandler completionHandler,
                                         DestinationBlock destination) {
    auto delegate = HCURLSessionManagerTaskDelegate::createForTask(task);
    delegate->setManager(std::static_pointer_cast<HCURLSessionManager>(shared_from_this()));
    delegate->setCompletionHandler(std::move(completionHandler));
    if (destination) {
        delegate->setDownloadTaskDidFinishDownloading([destination](const std::shared_ptr<NSURLSession>&,
                                                                    const NSURLSessionTaskPtr& downloadTask,
                                                                    const NSURLPtr& location) {
            return destination(location, downloadTask->response());
        });
    }
    task->setTaskDescription(taskDescription_);
    setDelegate(delegate, task);
    if (uploadProgress) delegate->setUploadProgressBlock(std::move(uploadProgress));
    if (downloadProgress) delegate->setDownloadProgressBlock(std::move(downloadProgress));
}

void HCURLSessionManager::addDelegateForDataTask(const NSURLSessionDataTaskPtr& task,
                                                 ProgressBlock uploadProgress, ProgressBlock downloadProgress,
                                                 CompletionHandler completionHandler) {
    attachDelegate(task, std::move(uploadProgress), std::move(downloadProgress),
                   std::move(completionHandler));
}

void HCURLSessionManager::addDelegateForUploadTask(const NSURLSessionUploadTaskPtr& task,
                                                   ProgressBlock uploadProgress,
                                                   CompletionHandler completionHandler) {
    attachDelegate(task, std::move(uploadProgress), nullptr, std::move(completionHandler));
}

void HCURLSessionManager::addDelegateForDownloadTask(const NSURLSessionDownloadTaskPtr& task,
                                                     ProgressBlock downloadProgress,
                                                     DestinationBlock destination,
                                                     CompletionHandler completionHandler) {
    attachDelegate(task, nullptr, std::move(downloadProgress), std::move(completionHandler),
                   std::move(destination));
}

void HCURLSessionManager::setDelegate(const HCURLSessionManagerTaskDelegatePtr& delegate,
                                      const NSURLSessionTaskPtr& task) {
    if (!delegate || !task) return;
    HCURLSessionManagerTaskDelegatePtr replaced;
    {
        std::lock_guard lock(lock_);
        auto& entry = mutableTaskDelegatesKeyedByTaskIdentifier_[task->taskIdentifier()];
        replaced = std::move(entry.delegate);
        entry = Entry{delegate, task};
    }
    // Observation is set up with the lock released: a progress block running on the I/O thread may ask the
    // manager for a task's progress, and removing an observation waits for a running observer.
    if (replaced && replaced != delegate) replaced->cleanUpProgressForTask(task);
    delegate->setupProgressForTask(task);
    addNotificationObserverForTask(task);
}

HCURLSessionManagerTaskDelegatePtr HCURLSessionManager::delegateForTask(
    const NSURLSessionTaskPtr& task) const {
    if (!task) return nullptr;
    std::lock_guard lock(lock_);
    auto found = mutableTaskDelegatesKeyedByTaskIdentifier_.find(task->taskIdentifier());
    if (found == mutableTaskDelegatesKeyedByTaskIdentifier_.end()) return nullptr;
    return found->second.delegate;
}

void HCURLSessionManager::removeDelegateForTask(const NSURLSessionTaskPtr& task) {
    if (!task) return;
    HCURLSessionManagerTaskDelegatePtr delegate;
    {
        std::lock_guard lock(lock_);
        auto found = mutableTaskDelegatesKeyedByTaskIdentifier_.find(task->taskIdentifier());
        if (found != mutableTaskDelegatesKeyedByTaskIdentifier_.end()) {
            delegate = std::move(found->second.delegate);
            mutableTaskDelegatesKeyedByTaskIdentifier_.erase(found);
        }
    }
    if (delegate) delegate->cleanUpProgressForTask(task);
    removeNotificationObserverForTask(task);
}

NSProgressPtr HCURLSessionManager::uploadProgressForTask(const NSURLSessionTaskPtr& task) const {
    auto delegate = delegateForTask(task);
    return delegate ? delegate->uploadProgress() : nullptr;
}

NSProgressPtr HCURLSessionManager::downloadProgressForTask(const NSURLSessionTaskPtr& task) const {
    auto delegate = delegateForTask(task);
    return delegate ? delegate->downloadProgress() : nullptr;
}

// ---- Resume and suspend relay ----

void HCURLSessionManager::addNotificationObserverForTask(const NSURLSessionTaskPtr& task) {
    auto& center = NSNotificationCenter::defaultCenter();
    std::weak_ptr<HCURLSessionManager> weakSelf =
        std::static_pointer_cast<HCURLSessionManager>(shared_from_this());
    Observers tokens;
    tokens.resume = center.addObserver(weakSelf, HCNSURLSessionTaskDidResumeNotification, task,
                                       [weakSelf](const NSNotification& notification) {
                                           if (auto strong = weakSelf.lock())
                                               strong->taskDidResume(notification);
                                       });
    tokens.suspend = center.addObserver(weakSelf, HCNSURLSessionTaskDidSuspendNotification, task,
                                        [weakSelf](const NSNotification& notification) {
                                            if (auto strong = weakSelf.lock())
                                                strong->taskDidSuspend(notification);
                                        });
    Observers replaced;
    {
        std::lock_guard lock(observersMutex_);
        auto& slot = observers_[task->taskIdentifier()];
        replaced = slot;
        slot = tokens;
    }
    if (replaced.suspend) center.removeObserver(replaced.suspend);
    if (replaced.resume) center.removeObserver(replaced.resume);
}

void HCURLSessionManager::removeNotificationObserverForTask(const NSURLSessionTaskPtr& task) {
    Observers tokens;
    {
        std::lock_guard lock(observersMutex_);
        auto found = observers_.find(task->taskIdentifier());
        if (found == observers_.end()) return;
        tokens = found->second;
        observers_.erase(found);
    }
    NSNotificationCenter::defaultCenter().removeObserver(tokens.suspend);
    NSNotificationCenter::defaultCenter().removeObserver(tokens.resume);
}

void HCURLSessionManager::relay(const NSNotification& notification, const char* name) {
    auto task = std::dynamic_pointer_cast<NSURLSessionTask>(notification.object);
    if (!task || task->taskDescription() != taskDescription_) return;
    DispatchQueue::main()->async([task, name] { NSNotificationCenter::defaultCenter().post(name, task); });
}

void HCURLSessionManager::taskDidResume(const NSNotification& notification) {
    relay(notification, HCNetworkingTaskDidResumeNotification);
}

void HCURLSessionManager::taskDidSuspend(const NSNotification& notification) {
    relay(notification, HCNetworkingTaskDidSuspendNotification);
}

// ---- Task lists ----

std::vector<NSURLSessionTaskPtr> HCURLSessionManager::tableTasks() const {
    std::vector<NSURLSessionTaskPtr> found;
    std::lock_guard lock(lock_);
    for (const auto& [identifier, entry] : mutableTaskDelegatesKeyedByTaskIdentifier_) {
        if (auto task = entry.task.lock()) found.push_back(std::move(task));
    }
    return found;
}

namespace {

struct TaskLists {
    std::vector<NSURLSessionTaskPtr> data;
    std::vector<NSURLSessionTaskPtr> upload;
    std::vector<NSURLSessionTaskPtr> download;

    std::vector<NSURLSessionTaskPtr> choose(const std::string& keyPath) const {
        if (keyPath == "dataTasks") return data;
        if (keyPath == "uploadTasks") return upload;
        if (keyPath == "downloadTasks") return download;
        std::vector<NSURLSessionTaskPtr> all = data;
        all.insert(all.end(), upload.begin(), upload.end());
        all.insert(all.end(), download.begin(), download.end());
        return all;
    }
};

}  // namespace

std::optional<std::vector<NSURLSessionTaskPtr>> HCURLSessionManager::tasksForKeyPath(
    const std::string& keyPath) const {
    if (keyPath != "tasks" && keyPath != "dataTasks" && keyPath != "uploadTasks" &&
        keyPath != "downloadTasks")
        return std::nullopt;

    // On the delegate queue the session's answer would queue behind the caller itself.
    bool onDelegateQueue = NSOperationQueue::currentQueue() == operationQueue_;
    if (!onDelegateQueue) {
        struct Answer {
            std::mutex mutex;
            std::optional<TaskLists> lists;
        };
        auto answer = std::make_shared<Answer>();
        auto done = DispatchSemaphore::create(0);
        session_->getTasksWithCompletionHandler(
            [answer, done](std::vector<NSURLSessionDataTaskPtr> dataTasks,
                           std::vector<NSURLSessionUploadTaskPtr> uploadTasks,
                           std::vector<NSURLSessionTaskPtr> downloadTasks) {
                TaskLists lists;
                lists.data.assign(dataTasks.begin(), dataTasks.end());
                lists.upload.assign(uploadTasks.begin(), uploadTasks.end());
                lists.download = std::move(downloadTasks);
                {
                    std::lock_guard lock(answer->mutex);
                    answer->lists = std::move(lists);
                }
                done->signal();
            });
        if (done->wait(kTaskListTimeoutSeconds)) {
            std::lock_guard lock(answer->mutex);
            return answer->lists->choose(keyPath);
        }
    }

    TaskLists lists;
    for (auto& task : tableTasks()) {
        if (task->state() == NSURLSessionTaskState::Completed) continue;
        if (std::dynamic_pointer_cast<NSURLSessionUploadTask>(task)) {
            lists.upload.push_back(std::move(task));
        } else if (std::dynamic_pointer_cast<NSURLSessionDataTask>(task)) {
            lists.data.push_back(std::move(task));
        } else {
            lists.download.push_back(std::move(task));
        }
    }
    return lists.choose(keyPath);
}

// ---- Invalidation ----

void HCURLSessionManager::invalidateSessionCancelingTasks(bool cancelPendingTasks) {
    auto session = session_;
    DispatchQueue::main()->async([session, cancelPendingTasks] {
        if (cancelPendingTasks) {
            session->invalidateAndCancel();
        } else {
            session->finishTasksAndInvalidate();
        }
    });
}

// ---- Hooks ----

template <class Block>
void HCURLSessionManager::setHook(Block Hooks::*slot, Block block) {
    std::lock_guard lock(settingsMutex_);
    if (!hooks_) hooks_ = std::make_unique<Hooks>();
    (*hooks_).*slot = std::move(block);
}

void HCURLSessionManager::setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block) {
    setHook(&Hooks::sessionDidBecomeInvalid, std::move(block));
}

void HCURLSessionManager::setDidFinishEventsForBackgroundURLSessionBlock(
    DidFinishEventsForBackgroundURLSessionBlock block) {
    setHook(&Hooks::didFinishEventsForBackgroundURLSession, std::move(block));
}

void HCURLSessionManager::setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block) {
    setHook(&Hooks::taskWillPerformHTTPRedirection, std::move(block));
}

void HCURLSessionManager::setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block) {
    setHook(&Hooks::taskNeedNewBodyStream, std::move(block));
}

void HCURLSessionManager::setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block) {
    setHook(&Hooks::taskDidSendBodyData, std::move(block));
}

void HCURLSessionManager::setTaskDidCompleteBlock(TaskDidCompleteBlock block) {
    setHook(&Hooks::taskDidComplete, std::move(block));
}

void HCURLSessionManager::setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block) {
    setHook(&Hooks::dataTaskDidReceiveResponse, std::move(block));
}

void HCURLSessionManager::setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block) {
    setHook(&Hooks::dataTaskDidReceiveData, std::move(block));
}

void HCURLSessionManager::setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block) {
    setHook(&Hooks::dataTaskDidBecomeDownloadTask, std::move(block));
}

void HCURLSessionManager::setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block) {
    setHook(&Hooks::dataTaskWillCacheResponse, std::move(block));
}

void HCURLSessionManager::setSessionDidReceiveAuthenticationChallengeBlock(
    SessionDidReceiveAuthenticationChallengeBlock block) {
    setHook(&Hooks::sessionDidReceiveAuthenticationChallenge, std::move(block));
    trustDecisionChanged();
}

void HCURLSessionManager::setTaskDidReceiveAuthenticationChallengeBlock(
    TaskDidReceiveAuthenticationChallengeBlock block) {
    setHook(&Hooks::taskDidReceiveAuthenticationChallenge, std::move(block));
    trustDecisionChanged();
}

void HCURLSessionManager::setDownloadTaskDidFinishDownloadingBlock(
    DownloadTaskDidFinishDownloadingBlock block) {
    setHook(&Hooks::downloadTaskDidFinishDownloading, std::move(block));
}

void HCURLSessionManager::setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block) {
    setHook(&Hooks::downloadTaskDidWriteData, std::move(block));
}

void HCURLSessionManager::setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block) {
    setHook(&Hooks::downloadTaskDidResume, std::move(block));
}

// ---- Session delegate ----

bool HCURLSessionManager::respondsTo(Method method) const {
    if (method == Method::DidBecomeInvalidWithError) {
        // Nothing to do at the session's end when no hook is set and nobody observes the notice: the
        // session's last callback then calls out to nobody after the last task's completion.
        return hook(&Hooks::sessionDidBecomeInvalid) || NSNotificationCenter::defaultCenter().hasObservers(
                                                            HCURLSessionDidInvalidateNotification, session_);
    }
    std::lock_guard lock(settingsMutex_);
    switch (method) {
        case Method::WillPerformHTTPRedirection:
            return hooks_ && hooks_->taskWillPerformHTTPRedirection;
        case Method::DidReceiveResponse:
            return hooks_ && hooks_->dataTaskDidReceiveResponse;
        case Method::WillCacheResponse:
            return hooks_ && hooks_->dataTaskWillCacheResponse;
        case Method::DidFinishEventsForBackgroundURLSession:
            return hooks_ && hooks_->didFinishEventsForBackgroundURLSession;
        default:
            return true;
    }
}

void HCURLSessionManager::didBecomeInvalidWithError(const SessionPtr& session, const NSErrorPtr& error) {
    auto hook = this->hook(&Hooks::sessionDidBecomeInvalid);
    if (hook) hook(session, error);
    NSNotificationCenter::defaultCenter().post(HCURLSessionDidInvalidateNotification, session);
}

void HCURLSessionManager::willPerformHTTPRedirection(
    const SessionPtr& session, const NSURLSessionTaskPtr& task, const NSHTTPURLResponsePtr& response,
    const NSURLRequest& newRequest, std::function<void(std::optional<NSURLRequest>)> completionHandler) {
    auto hook = this->hook(&Hooks::taskWillPerformHTTPRedirection);
    std::optional<NSURLRequest> request = newRequest;
    if (hook) request = hook(session, task, response, newRequest);
    if (completionHandler) completionHandler(std::move(request));
}

void HCURLSessionManager::needNewBodyStream(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                            std::function<void(NSInputStreamPtr)> completionHandler) {
    auto hook = this->hook(&Hooks::taskNeedNewBodyStream);
    NSInputStreamPtr stream;
    if (hook) {
        stream = hook(session, task);
    } else if (const auto& original = task->originalRequest().HTTPBodyStream();
               original && original->supportsCopying()) {
        stream = std::dynamic_pointer_cast<NSInputStream>(original->copyWithZone(nullptr));
    }
    if (completionHandler) completionHandler(std::move(stream));
}

void HCURLSessionManager::didSendBodyData(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                          int64_t bytesSent, int64_t totalBytesSent,
                                          int64_t totalBytesExpectedToSend) {
    int64_t expected = totalBytesExpectedToSend;
    if (expected == NSURLSessionTransferSizeUnknown) {
        if (auto length = task->originalRequest().valueForHTTPHeaderField("Content-Length"))
            expected = valuetext::parseInteger(*length);
    }
    auto hook = this->hook(&Hooks::taskDidSendBodyData);
    if (hook) hook(session, task, bytesSent, totalBytesSent, expected);
}

void HCURLSessionManager::didCompleteWithError(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                               const NSErrorPtr& error) {
    auto hook = this->hook(&Hooks::taskDidComplete);
    if (auto delegate = delegateForTask(task)) {
        // Unless a hook is to be called, nothing here waits after the task's delegate has queued the
        // response's processing: this worker takes that on returning instead of another being woken for it.
        if (!hook) DispatchQueue::workerWillReturn();
        delegate->didCompleteWithError(session, task, error);
        removeDelegateForTask(task);
    }
    if (hook) hook(session, task, error);
}

void HCURLSessionManager::didReceiveResponse(
    const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask, const NSURLResponsePtr& response,
    std::function<void(NSURLSessionResponseDisposition)> completionHandler) {
    auto hook = this->hook(&Hooks::dataTaskDidReceiveResponse);
    auto disposition = NSURLSessionResponseDisposition::Allow;
    if (hook) disposition = hook(session, dataTask, response);
    if (completionHandler) completionHandler(disposition);
}

void HCURLSessionManager::didReceiveData(const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                                         const Data& data) {
    if (auto delegate = delegateForTask(dataTask)) delegate->didReceiveData(session, dataTask, data);
    auto hook = this->hook(&Hooks::dataTaskDidReceiveData);
    if (hook) hook(session, dataTask, data);
}

void HCURLSessionManager::didBecomeDownloadTask(const SessionPtr& session,
                                                const NSURLSessionDataTaskPtr& dataTask,
                                                const NSURLSessionDownloadTaskPtr& downloadTask) {
    if (auto delegate = delegateForTask(dataTask)) {
        removeDelegateForTask(dataTask);
        setDelegate(delegate, downloadTask);
    }
    auto hook = this->hook(&Hooks::dataTaskDidBecomeDownloadTask);
    if (hook) hook(session, dataTask, downloadTask);
}

void HCURLSessionManager::willCacheResponse(
    const SessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
    const std::shared_ptr<NSCachedURLResponse>& proposedResponse,
    std::function<void(std::shared_ptr<NSCachedURLResponse>)> completionHandler) {
    auto hook = this->hook(&Hooks::dataTaskWillCacheResponse);
    auto cached = proposedResponse;
    if (hook) cached = hook(session, dataTask, proposedResponse);
    if (completionHandler) completionHandler(std::move(cached));
}

void HCURLSessionManager::didFinishEventsForBackgroundURLSession(const SessionPtr& session) {
    auto hook = this->hook(&Hooks::didFinishEventsForBackgroundURLSession);
    if (hook) DispatchQueue::main()->async([hook, session] { hook(session); });
}

NSURLSessionAuthChallengeDisposition HCURLSessionManager::evaluateServerTrust(
    const NSURLAuthenticationChallengePtr& challenge, NSURLCredentialPtr* credential, bool taskLevel) const {
    const auto& space = challenge->protectionSpace();
    if (!space || space->authenticationMethod() != NSURLAuthenticationMethodServerTrust)
        return NSURLSessionAuthChallengeDisposition::PerformDefaultHandling;
    auto policy = securityPolicy();
    if (!policy || !policy->evaluateServerTrust(space->serverTrust(), space->host()))
        return NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
    *credential = NSURLCredential::credentialForTrust(space->serverTrust());
    if (taskLevel || *credential) return NSURLSessionAuthChallengeDisposition::UseCredential;
    return NSURLSessionAuthChallengeDisposition::PerformDefaultHandling;
}

void HCURLSessionManager::didReceiveChallenge(const SessionPtr& session,
                                              const NSURLAuthenticationChallengePtr& challenge,
                                              NSURLChallengeCompletionHandler completionHandler) {
    NSURLCredentialPtr credential;
    NSURLSessionAuthChallengeDisposition disposition;
    if (auto block = hook(&Hooks::sessionDidReceiveAuthenticationChallenge)) {
        disposition = block(session, challenge, &credential);
    } else {
        disposition = evaluateServerTrust(challenge, &credential, false);
    }
    if (completionHandler) completionHandler(disposition, std::move(credential));
}

void HCURLSessionManager::taskDidReceiveChallenge(const SessionPtr& session, const NSURLSessionTaskPtr& task,
                                                  const NSURLAuthenticationChallengePtr& challenge,
                                                  NSURLChallengeCompletionHandler completionHandler) {
    NSURLCredentialPtr credential;
    NSURLSessionAuthChallengeDisposition disposition;
    if (auto block = hook(&Hooks::taskDidReceiveAuthenticationChallenge)) {
        disposition = block(session, task, challenge, &credential);
    } else {
        disposition = evaluateServerTrust(challenge, &credential, true);
    }
    if (completionHandler) completionHandler(disposition, std::move(credential));
}

void HCURLSessionManager::didFinishDownloadingToURL(const SessionPtr& session,
                                                    const NSURLSessionDownloadTaskPtr& downloadTask,
                                                    const std::shared_ptr<NSURL>& location) {
    auto delegate = delegateForTask(downloadTask);
    if (auto block = hook(&Hooks::downloadTaskDidFinishDownloading)) {
        if (NSURLPtr fileURL = block(session, downloadTask, location)) {
            NSErrorPtr moveError;
            bool moved = location && NSFileManager::defaultManager()->moveItemAtPath(
                                         location->path(), fileURL->path(), &moveError);
            if (!moved && !moveError) {
                moveError = NSError::withDescription(NSCocoaErrorDomain, NSFileNoSuchFileError,
                                                     "The downloaded file is missing.");
            }
            if (delegate) delegate->setMovedDownload(fileURL, moved ? nullptr : moveError);
            if (!moved) {
                NSNotificationCenter::defaultCenter().post(
                    HCURLSessionDownloadTaskDidFailToMoveFileNotification, downloadTask,
                    moveError->userInfo());
            }
            return;
        }
    }
    if (delegate) delegate->didFinishDownloadingToURL(session, downloadTask, location);
}

void HCURLSessionManager::didWriteData(const SessionPtr& session,
                                       const NSURLSessionDownloadTaskPtr& downloadTask, int64_t bytesWritten,
                                       int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    if (auto block = hook(&Hooks::downloadTaskDidWriteData))
        block(session, downloadTask, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
}

void HCURLSessionManager::didResumeAtOffset(const SessionPtr& session,
                                            const NSURLSessionDownloadTaskPtr& downloadTask,
                                            int64_t fileOffset, int64_t expectedTotalBytes) {
    if (auto block = hook(&Hooks::downloadTaskDidResume))
        block(session, downloadTask, fileOffset, expectedTotalBytes);
}

// ---- Coding and copying ----

void HCURLSessionManager::encodeWithCoder(NSKeyedArchiver& coder) const {
    const auto& configuration = *sessionConfiguration_;
    if (!configuration.identifier().empty())
        coder.encodeObject(Value(configuration.identifier()), kIdentifierKey);
    coder.encodeObject(Value(configuration.HTTPAdditionalHeaders()), kHeadersKey);
    coder.encodeDouble(configuration.timeoutIntervalForRequest(), kRequestTimeoutKey);
    coder.encodeDouble(configuration.timeoutIntervalForResource(), kResourceTimeoutKey);
    coder.encodeInteger(configuration.HTTPMaximumConnectionsPerHost(), kConnectionsKey);
    coder.encodeInteger(int64_t(configuration.requestCachePolicy()), kCachePolicyKey);
    coder.encodeBool(configuration.allowsCellularAccess(), kCellularKey);
    coder.encodeBool(configuration.HTTPShouldSetCookies(), kCookiesKey);
    coder.encodeBool(configuration.HTTPShouldUsePipelining(), kPipeliningKey);
}

NSURLSessionConfigurationPtr HCURLSessionManager::decodeConfiguration(NSKeyedUnarchiver& coder) {
    auto identifier = coder.decodeObjectOfClass("NSString", kIdentifierKey);
    auto configuration =
        identifier && identifier->isString() && !identifier->asString()->empty()
            ? NSURLSessionConfiguration::backgroundSessionConfiguration(*identifier->asString())
            : NSURLSessionConfiguration::defaultSessionConfiguration();
    auto corrupt = [&](const char* what) {
        coder.failWithError(
            NSError::withDescription(NSCocoaErrorDomain, NSCoderReadCorruptError,
                                     std::string("The archived session configuration has ") + what + "."));
        return nullptr;
    };
    if (auto headers = coder.decodeObjectOfClasses({"NSDictionary", "NSString"}, kHeadersKey)) {
        if (!headers->isDictionary()) return corrupt("headers that are not a dictionary");
        for (const auto& [name, value] : *headers->asDictionary())
            if (!value.isString()) return corrupt("a header value that is not text");
        configuration->setHTTPAdditionalHeaders(*headers->asDictionary());
    }
    auto seconds = [&](const char* key, auto set) {
        if (!coder.containsValueForKey(key)) return true;
        const double value = coder.decodeDoubleForKey(key);
        if (!(value > 0) || !std::isfinite(value)) return false;
        ((*configuration).*set)(value);
        return true;
    };
    if (!seconds(kRequestTimeoutKey, &NSURLSessionConfiguration::setTimeoutIntervalForRequest) ||
        !seconds(kResourceTimeoutKey, &NSURLSessionConfiguration::setTimeoutIntervalForResource))
        return corrupt("a timeout out of range");
    if (coder.containsValueForKey(kConnectionsKey)) {
        const int64_t connections = coder.decodeIntegerForKey(kConnectionsKey);
        if (connections < 1 || connections > kMaximumConnectionsPerHost)
            return corrupt("a connection limit out of range");
        configuration->setHTTPMaximumConnectionsPerHost(long(connections));
    }
    if (coder.containsValueForKey(kCachePolicyKey)) {
        const uint64_t policy = coder.decodeUnsignedIntegerForKey(kCachePolicyKey);
        if (policy > uint64_t(NSURLRequestCachePolicy::ReturnCacheDataDontLoad))
            return corrupt("an unknown cache policy");
        configuration->setRequestCachePolicy(NSURLRequestCachePolicy(policy));
    }
    if (coder.containsValueForKey(kCellularKey))
        configuration->setAllowsCellularAccess(coder.decodeBoolForKey(kCellularKey));
    if (coder.containsValueForKey(kCookiesKey))
        configuration->setHTTPShouldSetCookies(coder.decodeBoolForKey(kCookiesKey));
    if (coder.containsValueForKey(kPipeliningKey))
        configuration->setHTTPShouldUsePipelining(coder.decodeBoolForKey(kPipeliningKey));
    if (coder.error()) return nullptr;
    return configuration;
}

void HCURLSessionManager::registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        NSKeyedUnarchiver::registerClass(archiveClassName(), "",
                                         [](NSKeyedUnarchiver& coder) -> std::shared_ptr<Object> {
                                             auto configuration = decodeConfiguration(coder);
                                             if (coder.error()) return nullptr;
                                             return create(configuration);
                                         });
    });
}

std::shared_ptr<HCURLSessionManager> HCURLSessionManager::newManager(
    NSURLSessionConfigurationPtr configuration) const {
    return create(std::move(configuration));
}

std::shared_ptr<Object> HCURLSessionManager::copyWithZone(NSZone*) const {
    return newManager(session_->configuration());
}

std::string HCURLSessionManager::description() const {
    return "<" + className() + ": " + TextUtil::addressText(this) + ", session: " + session_->description() +
           ", operationQueue: " + operationQueue_->name() + ">";
}
