#include "httpclient/HCHTTPSessionManager.h"

#include <cstdio>
#include <mutex>

namespace {

constexpr const char* kBaseURLKey = "baseURL";
constexpr const char* kRequestSerializerKey = "requestSerializer";
constexpr const char* kResponseSerializerKey = "responseSerializer";
constexpr const char* kSecurityPolicyKey = "securityPolicy";

// A base URL with a path gets a trailing slash, so that relative strings resolve below it.
NSURLPtr normalisedBaseURL(NSURLPtr url) {
    if (!url) return url;
    const auto& text = url->absoluteString();
    if (!url->path().empty() && (text.empty() || text.back() != '/'))
        return url->URLByAppendingPathComponent("");
    return url;
}

}  // namespace

std::shared_ptr<HCHTTPSessionManager> HCHTTPSessionManager::manager() {
    return create(nullptr, nullptr);
}

std::shared_ptr<HCHTTPSessionManager> HCHTTPSessionManager::create(
    NSURLPtr baseURL, NSURLSessionConfigurationPtr configuration) {
    auto manager = std::shared_ptr<HCHTTPSessionManager>(new HCHTTPSessionManager());
    manager->initWithBaseURL(std::move(baseURL), std::move(configuration));
    return manager;
}

void HCHTTPSessionManager::initWithBaseURL(NSURLPtr baseURL, NSURLSessionConfigurationPtr configuration) {
    initWithSessionConfiguration(std::move(configuration));
    registerArchivableClasses();
    baseURL_ = normalisedBaseURL(std::move(baseURL));
    requestSerializer_ = HCHTTPRequestSerializer::serializer();
    // The response serializer stays the JSON one the session manager's initialisation made.
}

std::shared_ptr<HCHTTPRequestSerializer> HCHTTPSessionManager::requestSerializer() const {
    std::lock_guard lock(requestSerializerMutex_);
    return requestSerializer_;
}

void HCHTTPSessionManager::setRequestSerializer(std::shared_ptr<HCHTTPRequestSerializer> serializer) {
    std::lock_guard lock(requestSerializerMutex_);
    requestSerializer_ = std::move(serializer);
}

std::shared_ptr<HCHTTPResponseSerializer> HCHTTPSessionManager::HTTPResponseSerializer() const {
    return std::dynamic_pointer_cast<HCHTTPResponseSerializer>(responseSerializer());
}

void HCHTTPSessionManager::setResponseSerializer(std::shared_ptr<HCURLResponseSerialization> serializer) {
    HCURLSessionManager::setResponseSerializer(std::move(serializer));
}

// ---- Verbs ----

NSURLSessionDataTaskPtr HCHTTPSessionManager::GET(const std::string& URLString, const Value& parameters,
                                                  SuccessBlock success, FailureBlock failure) {
    return GET(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::GET(const std::string& URLString, const Value& parameters,
                                                  ProgressBlock downloadProgress, SuccessBlock success,
                                                  FailureBlock failure) {
    auto task = dataTaskWithHTTPMethod("GET", URLString, parameters, nullptr, std::move(downloadProgress),
                                       std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::HEAD(const std::string& URLString, const Value& parameters,
                                                   TaskBlock success, FailureBlock failure) {
    SuccessBlock dropObject;
    if (success) {
        dropObject = [success](const NSURLSessionDataTaskPtr& task, const std::optional<Value>&) {
            success(task);
        };
    }
    auto task = dataTaskWithHTTPMethod("HEAD", URLString, parameters, nullptr, nullptr, std::move(dropObject),
                                       std::move(failure));
    if (task) task->resume();
    return task;
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::POST(const std::string& URLString, const Value& parameters,
                                                   SuccessBlock success, FailureBlock failure) {
    return POST(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::POST(const std::string& URLString, const Value& parameters,
                                                   ProgressBlock uploadProgress, SuccessBlock success,
                                                   FailureBlock failure) {
    auto task = dataTaskWithHTTPMethod("POST", URLString, parameters, std::move(uploadProgress), nullptr,
                                       std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::POST(const std::string& URLString, const Value& parameters,
                                                   ConstructingBodyBlock block, ProgressBlock uploadProgress,
                                                   SuccessBlock success, FailureBlock failure) {
    auto request = buildRequest(
        URLString,
        [&](HCHTTPRequestSerializer& serializer, const NSURLPtr&, const std::string& resolved,
            NSErrorPtr* error) {
            return serializer.multipartFormRequestWithMethod("POST", resolved, parameters, block, error);
        },
        failure);
    if (!request) return nullptr;
    auto task = withOutcome(
        [&](CompletionHandler handler) {
            return uploadTaskWithStreamedRequest(*request, std::move(uploadProgress), std::move(handler));
        },
        std::move(success), std::move(failure));
    if (task) task->resume();
    return task;
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::PUT(const std::string& URLString, const Value& parameters,
                                                  SuccessBlock success, FailureBlock failure) {
    auto task = dataTaskWithHTTPMethod("PUT", URLString, parameters, nullptr, nullptr, std::move(success),
                                       std::move(failure));
    if (task) task->resume();
    return task;
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::PATCH(const std::string& URLString, const Value& parameters,
                                                    SuccessBlock success, FailureBlock failure) {
    auto task = dataTaskWithHTTPMethod("PATCH", URLString, parameters, nullptr, nullptr, std::move(success),
                                       std::move(failure));
    if (task) task->resume();
    return task;
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::DELETE(const std::string& URLString, const Value& parameters,
                                                     SuccessBlock success, FailureBlock failure) {
    auto task = dataTaskWithHTTPMethod("DELETE", URLString, parameters, nullptr, nullptr, std::move(success),
                                       std::move(failure));
    if (task) task->resume();
    return task;
}

void HCHTTPSessionManager::failLater(FailureBlock failure, NSErrorPtr error) const {
    if (!failure) return;
    effectiveCompletionQueue()->async([failure, error] { failure(nullptr, error); });
}

NSURLSessionDataTaskPtr HCHTTPSessionManager::dataTaskWithHTTPMethod(
    const std::string& method, const std::string& URLString, const Value& parameters,
    ProgressBlock uploadProgress, ProgressBlock downloadProgress, SuccessBlock success,
    FailureBlock failure) {
    auto request = buildRequest(
        URLString,
        [&](HCHTTPRequestSerializer& serializer, const NSURLPtr& resolvedURL, const std::string& resolved,
            NSErrorPtr* error) {
            if (resolvedURL) return serializer.requestWithMethod(method, resolvedURL, parameters, error);
            return serializer.requestWithMethod(method, resolved, parameters, error);
        },
        failure);
    if (!request) return nullptr;
    return withOutcome(
        [&](CompletionHandler handler) {
            return dataTaskWithRequest(std::move(*request), std::move(uploadProgress),
                                       std::move(downloadProgress), std::move(handler));
        },
        std::move(success), std::move(failure));
}

std::optional<NSMutableURLRequest> HCHTTPSessionManager::buildRequest(const std::string& URLString,
                                                                      const BuildRequest& build,
                                                                      FailureBlock& failure) const {
    // A string that does not resolve goes to the serializer as given, which refuses it with an error that
    // names it.
    // The resolved URL goes along with its text: it is what parsing that text again would give.
    const NSURLPtr parsed = NSURL::URLWithString(URLString, baseURL_);
    const std::string& resolved = parsed ? parsed->absoluteString() : URLString;
    const NSURLPtr resolvedURL = parsed && parsed->baseURL() ? parsed->absoluteURL() : parsed;

    NSErrorPtr serializationError;
    std::optional<NSMutableURLRequest> request;
    if (auto serializer = requestSerializer()) {
        request = build(*serializer, resolvedURL, resolved, &serializationError);
    } else {
        serializationError = NSError::withDescription(HCRequestSerializationErrorDomain, NSURLErrorBadURL,
                                                      "The session manager has no request serializer.");
    }
    // The serializer may hand back a request together with an error (a body it could not write): that
    // request is not the one asked for, so it is not sent.
    if (request && !serializationError) return request;
    if (!serializationError) {
        serializationError = NSError::withDescription(HCRequestSerializationErrorDomain, NSURLErrorBadURL,
                                                      "The request could not be built.");
    }
    failLater(std::move(failure), std::move(serializationError));
    return std::nullopt;
}

template <class Make>
NSURLSessionDataTaskPtr HCHTTPSessionManager::withOutcome(const Make& make, SuccessBlock success,
                                                          FailureBlock failure) {
    // The handler needs the task that this call returns, which exists only once the manager has made it.
    // When none is made the handler runs on the completion queue while this call may still be storing the
    // null result: the holder is locked.
    struct MadeTask {
        std::mutex mutex;
        NSURLSessionDataTaskPtr task;
    };
    auto madeTask = std::make_shared<MadeTask>();
    auto task = make(
        [madeTask, success = std::move(success), failure = std::move(failure)](
            const NSURLResponsePtr&, const std::optional<Value>& responseObject, const NSErrorPtr& error) {
            // Drop the reference on the way out: the handler lives in the per-task delegate, not the task.
            NSURLSessionDataTaskPtr finished;
            {
                std::lock_guard lock(madeTask->mutex);
                finished = std::move(madeTask->task);
            }
            if (error) {
                if (failure) failure(finished, error);
            } else if (success) {
                success(finished, responseObject);
            }
        });
    if (task) {
        std::lock_guard lock(madeTask->mutex);
        madeTask->task = task;
    }
    return task;
}

// ---- Coding and copying ----

void HCHTTPSessionManager::encodeWithCoder(NSKeyedArchiver& coder) const {
    HCURLSessionManager::encodeWithCoder(coder);
    if (baseURL_) coder.encodeObject(Value(baseURL_->absoluteString()), kBaseURLKey);
    if (auto serializer = requestSerializer()) coder.encodeObject(Value(serializer), kRequestSerializerKey);
    if (auto serializer = HTTPResponseSerializer())
        coder.encodeObject(Value(serializer), kResponseSerializerKey);
    if (auto policy = securityPolicy()) coder.encodeObject(Value(policy), kSecurityPolicyKey);
}

void HCHTTPSessionManager::registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        HCURLSessionManager::registerArchivableClasses();
        HCHTTPRequestSerializer::registerArchivableClasses();
        HCHTTPResponseSerializer::registerArchivableClasses();
        HCSecurityPolicy::registerArchivableClasses();
        NSKeyedUnarchiver::registerClass(
            archiveClassName(), HCURLSessionManager::archiveClassName(),
            [](NSKeyedUnarchiver& coder) -> std::shared_ptr<Object> {
                NSURLPtr baseURL;
                if (auto text = coder.decodeObjectOfClass("NSString", kBaseURLKey)) {
                    baseURL = NSURL::URLWithString(*text->asString());
                    if (!baseURL) {
                        coder.failWithError(NSError::withDescription(NSCocoaErrorDomain,
                                                                     NSCoderReadCorruptError,
                                                                     "The archived base URL is not a URL."));
                        return nullptr;
                    }
                }
                auto configuration = decodeConfiguration(coder);
                auto request = coder.decodeObjectOfClass(HCHTTPRequestSerializer::archiveClassName(),
                                                         kRequestSerializerKey);
                auto response = coder.decodeObjectOfClass(HCHTTPResponseSerializer::archiveClassName(),
                                                          kResponseSerializerKey);
                auto policy =
                    coder.decodeObjectOfClass(HCSecurityPolicy::archiveClassName(), kSecurityPolicyKey);
                if (coder.error()) return nullptr;
                auto manager = create(baseURL, configuration);
                if (request) manager->setRequestSerializer(request->asObjectOf<HCHTTPRequestSerializer>());
                if (response)
                    manager->setResponseSerializer(response->asObjectOf<HCHTTPResponseSerializer>());
                if (policy) manager->setSecurityPolicy(policy->asObjectOf<HCSecurityPolicy>());
                return manager;
            });
    });
}

std::shared_ptr<HCURLSessionManager> HCHTTPSessionManager::newManager(
    NSURLSessionConfigurationPtr configuration) const {
    return create(baseURL_, std::move(configuration));
}

std::shared_ptr<Object> HCHTTPSessionManager::copyWithZone(NSZone*) const {
    auto copy = std::static_pointer_cast<HCHTTPSessionManager>(newManager(session()->configuration()));
    if (auto serializer = requestSerializer()) copy->setRequestSerializer(NSCopy(*serializer));
    if (auto serializer = HTTPResponseSerializer()) copy->setResponseSerializer(NSCopy(*serializer));
    if (auto policy = securityPolicy()) copy->setSecurityPolicy(NSCopy(*policy));
    return copy;
}

std::string HCHTTPSessionManager::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return "<" + className() + ": " + address +
           ", baseURL: " + (baseURL_ ? baseURL_->absoluteString() : "(null)") +
           ", session: " + session()->description() + ", operationQueue: " + operationQueue()->name() + ">";
}
