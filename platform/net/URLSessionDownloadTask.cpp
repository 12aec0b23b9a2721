// Download tasks: the file a body goes to, resuming, and what a finished or cancelled download leaves.
#include "platform/net/URLSessionInternal.h"

using namespace URLSessionSupport;

// The partial file at the end of a download task: kept for the delegate on success, kept and offered as
// resume data when a failure other than a cancel left a download that can go on, removed otherwise.
NSErrorPtr NSURLSession::Impl::finishDownloadFile(URLSessionDownloadState& d, const NSURLRequest& request,
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
std::optional<URLSessionDownload::ResumeInfo> NSURLSession::Impl::resumeInfoOf(
    const URLSessionDownloadState& d, const NSURLRequest& request) {
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

void NSURLSession::Impl::completeDownload(const NSURLSessionDownloadTaskPtr& task, URLSessionDownloadState& d,
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
                if (auto current = currentDelegate())
                    current->didFinishDownloadingToURL(session, task, location);
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
NSErrorPtr NSURLSession::Impl::openDownloadFile(const NSURLSessionTaskPtr& task, URLSessionDownloadState& d) {
    if (d.fd >= 0) return nullptr;
    std::string problem;
    d.path.clear();
    d.fd = URLSessionDownload::createTemporaryFile(&d.path, &problem);
    if (d.fd < 0) return NSURLError(NSURLErrorCannotCreateFile, task->currentRequest().URL(), problem);
    return nullptr;
}

// The final response of a download: for a resumed download, where the file goes on (206 at the offset
// asked for) or starts over (anything else).
NSErrorPtr NSURLSession::Impl::prepareDownloadResponse(const NSURLSessionTaskPtr& task,
                                                       const NSHTTPURLResponsePtr& response) {
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
            if (auto current = currentDelegate())
                current->didResumeAtOffset(session, downloadTask, offset, total);
        });
    }
    return nullptr;
}

NSErrorPtr NSURLSession::Impl::writeDownload(const NSURLSessionTaskPtr& task, const char* bytes,
                                             size_t length) {
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

NSURLSessionDownloadTaskPtr NSURLSession::Impl::becomeDownload(const NSURLSessionTaskPtr& dataTask) {
    auto task = std::shared_ptr<NSURLSessionDownloadTask>(new NSURLSessionDownloadTask());
    task->internal_ = std::make_unique<NSURLSessionTask::Internal>();
    task->internal_->download = std::make_unique<URLSessionDownloadState>();
    task->session_ = dataTask->session_;
    task->originalRequest_ = dataTask->originalRequest_;
    task->sent_.store(dataTask->sent_.load());
    task->expectedToSend_.store(dataTask->expectedToSend_.load());
    task->state_.store(NSURLSessionTaskState::Running);
    task->started_ = true;
    {
        std::lock_guard lock(dataTask->mutex_);
        task->currentRequest_ = dataTask->currentRequest_;
        task->response_ = dataTask->response_;
        task->internal_->loop = dataTask->internal_->loop;
    }
    {
        std::lock_guard lock(mutex);
        task->identifier_ = nextIdentifier++;
        tasks[task->identifier_] = task;
        tasks.erase(dataTask->identifier_);
    }
    dataTask->willChangeValueForKey("state");
    dataTask->state_.store(NSURLSessionTaskState::Completed);
    dataTask->didChangeValueForKey("state");
    if (delegateResponds(NSURLSessionDelegate::Method::DidBecomeDownloadTask)) {
        auto session = self();
        auto data = std::static_pointer_cast<NSURLSessionDataTask>(dataTask);
        enqueue([this, session, data, task] {
            if (auto current = currentDelegate()) current->didBecomeDownloadTask(session, data, task);
        });
    }
    return task;
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
                session->impl_->enqueue([handler] { handler(std::nullopt); }, NSURLSession::Impl::Wake::Now);
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
        session->impl_->enqueue([handler] { handler(std::nullopt); }, NSURLSession::Impl::Wake::Now);
        session->impl_->completeTask(self, error);
        return;
    }
    session->impl_->post(self, [self, error, handler](NSURLSessionIO& io) {
        auto& d = *self->internal_->download;
        URLSessionTransfer* t = io.find(self);
        std::optional<Data> data;
        if (self->state() != NSURLSessionTaskState::Completed) {
            if (auto info = NSURLSession::Impl::resumeInfoOf(d, t ? t->request : self->currentRequest())) {
                d.keepFile = true;
                data = URLSessionDownload::encodeResumeData(*info);
            }
        }
        NSURLSessionIO::implOf(self).enqueue([handler, data] { handler(data); });
        if (t) {
            io.finish(*t, error);
        } else {
            NSURLSessionIO::implOf(self).completeTask(self, error);
        }
    });
}

NSURLSessionDownloadTaskPtr NSURLSession::downloadTaskWithRequest(
    const NSURLRequest& request, DownloadCompletionHandler completionHandler) {
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

NSURLSessionDownloadTaskPtr NSURLSession::downloadTaskWithResumeData(
    const Data& resumeData, DownloadCompletionHandler completionHandler) {
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
