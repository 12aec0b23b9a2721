#include "httpclient/HCURLSessionManagerTaskDelegate.h"

#include <array>
#include <iterator>
#include <utility>

#include "httpclient/HCTaskNotifications.h"
#include "httpclient/HCURLSessionManager.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"

DispatchQueuePtr HCURLSessionManagerProcessingQueue() {
    static auto* queue =
        new DispatchQueuePtr(DispatchQueue::concurrent("com.hcnet.networking.session.manager.processing"));
    return *queue;
}

std::shared_ptr<DispatchGroup> HCURLSessionManagerCompletionGroup() {
    static auto* group = new std::shared_ptr<DispatchGroup>(DispatchGroup::create());
    return *group;
}

namespace {

const char* const kCounterKeys[] = {"countOfBytesReceived", "countOfBytesExpectedToReceive",
                                    "countOfBytesSent", "countOfBytesExpectedToSend"};

}  // namespace

std::shared_ptr<HCURLSessionManagerTaskDelegate> HCURLSessionManagerTaskDelegate::create() {
    return std::make_shared<HCURLSessionManagerTaskDelegate>(
        ConstructionKey{}, NSURLSessionTransferSizeUnknown, NSURLSessionTransferSizeUnknown);
}

std::shared_ptr<HCURLSessionManagerTaskDelegate> HCURLSessionManagerTaskDelegate::createForTask(
    const NSURLSessionTaskPtr& task) {
    auto delegate = std::make_shared<HCURLSessionManagerTaskDelegate>(
        ConstructionKey{}, task->countOfBytesExpectedToSend(), task->countOfBytesExpectedToReceive());
    delegate->totalsTakenFrom_ = task.get();
    return delegate;
}

HCURLSessionManagerTaskDelegate::HCURLSessionManagerTaskDelegate(ConstructionKey, int64_t totalToSend,
                                                                 int64_t totalToReceive)
    : uploadProgress_(NSProgress::create(totalToSend)),
      downloadProgress_(NSProgress::create(totalToReceive)),
      mutableData_(std::vector<uint8_t>()) {}

NSURLPtr HCURLSessionManagerTaskDelegate::downloadFileURL() const {
    std::lock_guard lock(mutex_);
    return downloadFileURL_;
}

NSErrorPtr HCURLSessionManagerTaskDelegate::downloadFileError() const {
    std::lock_guard lock(mutex_);
    return downloadFileError_;
}

void HCURLSessionManagerTaskDelegate::setUploadProgressBlock(ProgressBlock block) {
    std::lock_guard lock(mutex_);
    uploadProgressBlock_ = std::move(block);
}

void HCURLSessionManagerTaskDelegate::setDownloadProgressBlock(ProgressBlock block) {
    std::lock_guard lock(mutex_);
    downloadProgressBlock_ = std::move(block);
}

void HCURLSessionManagerTaskDelegate::setCompletionHandler(CompletionHandler handler) {
    std::lock_guard lock(mutex_);
    completionHandler_ = std::move(handler);
}

void HCURLSessionManagerTaskDelegate::setDownloadTaskDidFinishDownloading(DownloadDestinationBlock block) {
    std::lock_guard lock(mutex_);
    downloadTaskDidFinishDownloading_ = std::move(block);
}

bool HCURLSessionManagerTaskDelegate::hasDownloadTaskDidFinishDownloading() const {
    std::lock_guard lock(mutex_);
    return bool(downloadTaskDidFinishDownloading_);
}

void HCURLSessionManagerTaskDelegate::setupProgressForTask(const NSURLSessionTaskPtr& task) {
    bool totalsTaken;
    {
        std::lock_guard lock(mutex_);
        totalsTaken = std::exchange(totalsTakenFrom_, nullptr) == task.get();
    }
    // A delegate made for this task has had no observer yet to tell of its totals.
    if (!totalsTaken) {
        uploadProgress_->setTotalUnitCount(task->countOfBytesExpectedToSend());
        downloadProgress_->setTotalUnitCount(task->countOfBytesExpectedToReceive());
    }

    std::weak_ptr<NSURLSessionTask> weakTask = task;
    for (NSProgress* progress : {uploadProgress_.get(), downloadProgress_.get()}) {
        progress->setCancellable(true);
        progress->setCancellationHandler([weakTask] {
            if (auto strong = weakTask.lock()) strong->cancel();
        });
        progress->setPausable(true);
        progress->setPausingHandler([weakTask] {
            if (auto strong = weakTask.lock()) strong->suspend();
        });
        progress->setResumingHandler([weakTask] {
            if (auto strong = weakTask.lock()) strong->resume();
        });
    }

    // Every task is observed under the same names: make them once.
    static const auto* counterKeys =
        new std::vector<std::string>(std::begin(kCounterKeys), std::end(kCounterKeys));
    static const auto* fractionCompleted = new std::string("fractionCompleted");
    std::weak_ptr<void> owner = weak_from_this();
    auto* self = this;
    std::array<KVOObservable::Token, std::size(kCounterKeys)> taskTokens;
    for (size_t i = 0; i < taskTokens.size(); ++i) {
        taskTokens[i] = task->addObserver(owner, (*counterKeys)[i], KVOOptions::New,
                                          [self](const KVOChange& change) { self->counterChanged(change); });
    }
    std::array<std::pair<NSProgress*, KVOObservable::Token>, 2> progressTokens;
    for (size_t i = 0; i < progressTokens.size(); ++i) {
        NSProgress* observed = i == 0 ? downloadProgress_.get() : uploadProgress_.get();
        progressTokens[i] = {observed, observed->addObserver(owner, *fractionCompleted, KVOOptions::New,
                                                             [self, observed](const KVOChange&) {
                                                                 self->progressChanged(observed);
                                                             })};
    }
    std::lock_guard lock(mutex_);
    observedTask_ = task;
    taskTokens_.insert(taskTokens_.end(), taskTokens.begin(), taskTokens.end());
    progressTokens_.insert(progressTokens_.end(), progressTokens.begin(), progressTokens.end());
}

void HCURLSessionManagerTaskDelegate::cleanUpProgressForTask(const NSURLSessionTaskPtr& task) {
    std::vector<KVOObservable::Token> taskTokens;
    std::vector<std::pair<NSProgress*, KVOObservable::Token>> progressTokens;
    {
        std::lock_guard lock(mutex_);
        if (observedTask_.lock() != task) return;
        taskTokens.swap(taskTokens_);
        progressTokens.swap(progressTokens_);
        observedTask_.reset();
    }
    for (auto token : taskTokens) task->removeObserver(token);
    for (auto& [progress, token] : progressTokens) progress->removeObserver(token);
}

void HCURLSessionManagerTaskDelegate::counterChanged(const KVOChange& change) {
    if (!change.newValue) return;
    int64_t value = change.newValue->integerValue();
    if (change.key == "countOfBytesReceived") {
        downloadProgress_->setCompletedUnitCount(value);
    } else if (change.key == "countOfBytesExpectedToReceive") {
        downloadProgress_->setTotalUnitCount(value);
    } else if (change.key == "countOfBytesSent") {
        uploadProgress_->setCompletedUnitCount(value);
    } else if (change.key == "countOfBytesExpectedToSend") {
        uploadProgress_->setTotalUnitCount(value);
    }
}

void HCURLSessionManagerTaskDelegate::progressChanged(const NSProgress* progress) {
    ProgressBlock block;
    NSProgressPtr which;
    {
        std::lock_guard lock(mutex_);
        if (progress == downloadProgress_.get()) {
            block = downloadProgressBlock_;
            which = downloadProgress_;
        } else if (progress == uploadProgress_.get()) {
            block = uploadProgressBlock_;
            which = uploadProgress_;
        }
    }
    if (block) block(which);
}

void HCURLSessionManagerTaskDelegate::didReceiveData(const std::shared_ptr<NSURLSession>&,
                                                     const NSURLSessionTaskPtr&, const Data& data) {
    std::lock_guard lock(mutex_);
    if (!mutableData_) mutableData_.emplace();
    mutableData_->insert(mutableData_->end(), data.bytes(), data.bytes() + data.length());
}

void HCURLSessionManagerTaskDelegate::didFinishDownloadingToURL(const std::shared_ptr<NSURLSession>& session,
                                                                const NSURLSessionTaskPtr& task,
                                                                const NSURLPtr& location) {
    DownloadDestinationBlock destination;
    {
        std::lock_guard lock(mutex_);
        downloadFileURL_ = nullptr;
        downloadFileError_ = nullptr;
        destination = downloadTaskDidFinishDownloading_;
    }
    if (!destination) return;
    NSURLPtr fileURL = destination(session, task, location);
    if (!fileURL) return;
    NSErrorPtr moveError;
    bool moved = location && NSFileManager::defaultManager()->moveItemAtPath(location->path(),
                                                                             fileURL->path(), &moveError);
    if (!moved && !moveError) {
        moveError = NSError::withDescription(NSCocoaErrorDomain, NSFileNoSuchFileError,
                                             "The downloaded file is missing.");
    }
    setMovedDownload(fileURL, moved ? nullptr : moveError);
    if (!moved) {
        NSNotificationCenter::defaultCenter().post(HCURLSessionDownloadTaskDidFailToMoveFileNotification,
                                                   task, moveError->userInfo());
    }
}

void HCURLSessionManagerTaskDelegate::setMovedDownload(const NSURLPtr& fileURL, const NSErrorPtr& moveError) {
    std::lock_guard lock(mutex_);
    downloadFileURL_ = fileURL;
    downloadFileError_ = moveError;
}

void HCURLSessionManagerTaskDelegate::didCompleteWithError(const std::shared_ptr<NSURLSession>&,
                                                           const NSURLSessionTaskPtr& task,
                                                           const NSErrorPtr& error) {
    auto manager = manager_.lock();
    auto self = std::static_pointer_cast<HCURLSessionManagerTaskDelegate>(shared_from_this());

    std::shared_ptr<HCURLResponseSerialization> serializer;
    DispatchQueuePtr queue = DispatchQueue::main();
    std::shared_ptr<DispatchGroup> group = HCURLSessionManagerCompletionGroup();
    if (manager) {
        serializer = manager->responseSerializer();
        if (auto chosen = manager->completionQueue()) queue = chosen;
        if (auto chosen = manager->completionGroup()) group = chosen;
    }

    auto userInfo = std::make_shared<Value::Dictionary>();
    if (auto object = std::dynamic_pointer_cast<Object>(serializer))
        (*userInfo)[HCNetworkingTaskDidCompleteResponseSerializerKey] = Value(object);

    std::optional<Data> body;
    NSURLPtr fileURL;
    NSErrorPtr moveError;
    CompletionHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (mutableData_) body = Data(std::move(*mutableData_));
        mutableData_.reset();
        fileURL = downloadFileURL_;
        moveError = downloadFileError_;
        handler = std::move(completionHandler_);  // a task completes once
    }
    if (fileURL) {
        (*userInfo)[HCNetworkingTaskDidCompleteAssetPathKey] = Value(fileURL);
    } else if (body) {
        (*userInfo)[HCNetworkingTaskDidCompleteResponseDataKey] = Value(*body);
    }

    // Posting waits for the completion handler: it is queued on the main queue from inside that block. The
    // post is the user info's last reader, so the notification takes it over instead of a copy.
    auto finish = [task, userInfo] {
        DispatchQueue::main()->async([task, userInfo] {
            NSNotificationCenter::defaultCenter().post(HCNetworkingTaskDidCompleteNotification, task,
                                                       std::move(*userInfo));
        });
    };

    // A download that could not be put where the caller asked is not a success: the file is not there.
    NSErrorPtr failure = error ? error : moveError;
    if (failure) {
        (*userInfo)[HCNetworkingTaskDidCompleteErrorKey] = Value(failure);
        group->async(queue, [self, task, handler = std::move(handler), failure, finish = std::move(finish)] {
            if (handler) handler(task->response(), std::nullopt, failure);
            finish();
        });
        return;
    }

    // Each block runs once: what it hands on is moved, not copied.
    HCURLSessionManagerProcessingQueue()->async([self, manager, task, serializer, body, fileURL, userInfo,
                                                 queue, group, handler = std::move(handler),
                                                 finish = std::move(finish)]() mutable {
        NSErrorPtr serializationError;
        std::optional<Value> responseObject;
        if (serializer)
            responseObject =
                serializer->responseObjectForResponse(task->response(), body, &serializationError);
        if (fileURL) responseObject = Value(fileURL);
        if (responseObject) (*userInfo)[HCNetworkingTaskDidCompleteSerializedResponseKey] = *responseObject;
        if (serializationError) (*userInfo)[HCNetworkingTaskDidCompleteErrorKey] = Value(serializationError);
        // Queuing the completion is this block's last act, and the caller's next request often follows from
        // it: this worker takes that on returning, its caches warm, instead of another being woken for it.
        DispatchQueue::workerWillReturn();
        group->async(queue, [self = std::move(self), task = std::move(task), handler = std::move(handler),
                             responseObject = std::move(responseObject), serializationError,
                             finish = std::move(finish)] {
            if (handler) handler(task->response(), responseObject, serializationError);
            finish();
        });
    });
}
