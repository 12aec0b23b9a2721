// HCHTTPSessionManager: requests by HTTP verb, built by a request serializer against an optional base URL.
//
// Each verb builds the request, makes a data task, resumes it and returns it. Exactly one of the success and
// failure blocks is then called, once, on the completion queue (main queue by default), and both get the
// very task that the call returned. When no task can be made (a URL string that does not parse, parameters
// the serializer cannot encode, a session that has been invalidated) the call returns nullptr and the
// failure block gets a null task and the error, asynchronously on the completion queue.
//
// Base URL: a base with a path that lacks a trailing "/" gets one ("http://h/api" is kept as
// "http://h/api/"), so that "users" resolves to "http://h/api/users". Absolute URL strings are used as
// given.
//
// The application's road: `manager()`, the JSON request and response serializers, `POST`. Success and
// failure run on the main queue, then "com.hcnet.networking.task.complete" is posted there.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "httpclient/HCMultipartFormData.h"
#include "httpclient/HCURLRequestSerialization.h"
#include "httpclient/HCURLSessionManager.h"

class HCHTTPSessionManager : public HCURLSessionManager {
  public:
    using SuccessBlock =
        std::function<void(const NSURLSessionDataTaskPtr& task, const std::optional<Value>& responseObject)>;
    using TaskBlock = std::function<void(const NSURLSessionDataTaskPtr& task)>;
    // The task is null when the request could not be made.
    using FailureBlock = std::function<void(const NSURLSessionDataTaskPtr& task, const NSErrorPtr& error)>;

    // No base URL, the default configuration.
    static std::shared_ptr<HCHTTPSessionManager> manager();
    static std::shared_ptr<HCHTTPSessionManager> create(NSURLPtr baseURL = nullptr,
                                                        NSURLSessionConfigurationPtr configuration = nullptr);
    static std::string archiveClassName() { return "HCHTTPSessionManager"; }
    static void registerArchivableClasses();

    const NSURLPtr& baseURL() const { return baseURL_; }
    std::shared_ptr<HCHTTPRequestSerializer> requestSerializer() const;
    void setRequestSerializer(std::shared_ptr<HCHTTPRequestSerializer> serializer);
    // The response serializer, as the HTTP one it is (nullptr if another kind was set).
    std::shared_ptr<HCHTTPResponseSerializer> HTTPResponseSerializer() const;
    void setResponseSerializer(std::shared_ptr<HCURLResponseSerialization> serializer) override;

    NSURLSessionDataTaskPtr GET(const std::string& URLString, const Value& parameters, SuccessBlock success,
                                FailureBlock failure);
    NSURLSessionDataTaskPtr GET(const std::string& URLString, const Value& parameters,
                                ProgressBlock downloadProgress, SuccessBlock success, FailureBlock failure);
    NSURLSessionDataTaskPtr HEAD(const std::string& URLString, const Value& parameters, TaskBlock success,
                                 FailureBlock failure);
    NSURLSessionDataTaskPtr POST(const std::string& URLString, const Value& parameters, SuccessBlock success,
                                 FailureBlock failure);
    NSURLSessionDataTaskPtr POST(const std::string& URLString, const Value& parameters,
                                 ProgressBlock uploadProgress, SuccessBlock success, FailureBlock failure);
    // A "POST" with a streamed multipart body: a form part per parameter, then what `block` appends; sent
    // as an upload task whose progress goes to `uploadProgress`.
    using ConstructingBodyBlock = HCHTTPRequestSerializer::ConstructingBodyBlock;
    NSURLSessionDataTaskPtr POST(const std::string& URLString, const Value& parameters,
                                 ConstructingBodyBlock block, ProgressBlock uploadProgress,
                                 SuccessBlock success, FailureBlock failure);
    // The same without progress. A template so that `POST(url, parameters, nullptr, success, failure)` keeps
    // meaning the progress variant: only a block that takes the builder selects this one.
    template <class Block>
    requires std::is_invocable_v<Block&, HCMultipartFormData&> NSURLSessionDataTaskPtr
    POST(const std::string& URLString, const Value& parameters, Block block, SuccessBlock success,
         FailureBlock failure) {
        return POST(URLString, parameters, ConstructingBodyBlock(std::move(block)), ProgressBlock(),
                    std::move(success), std::move(failure));
    }
    NSURLSessionDataTaskPtr PUT(const std::string& URLString, const Value& parameters, SuccessBlock success,
                                FailureBlock failure);
    NSURLSessionDataTaskPtr PATCH(const std::string& URLString, const Value& parameters, SuccessBlock success,
                                  FailureBlock failure);
    NSURLSessionDataTaskPtr DELETE(const std::string& URLString, const Value& parameters,
                                   SuccessBlock success, FailureBlock failure);

    // The general builder: a data task that is not resumed, or nullptr (the failure block then follows).
    NSURLSessionDataTaskPtr dataTaskWithHTTPMethod(const std::string& method, const std::string& URLString,
                                                   const Value& parameters, ProgressBlock uploadProgress,
                                                   ProgressBlock downloadProgress, SuccessBlock success,
                                                   FailureBlock failure);

    // Archive keys: the base class's, "baseURL" (its absolute string), "requestSerializer",
    // "responseSerializer" and "securityPolicy". A copy has its own session on the same configuration and
    // copies of both serializers and of the policy.
    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;
    std::shared_ptr<Object> copyWithZone(NSZone* zone) const override;
    // "<HCHTTPSessionManager: 0x..., baseURL: ..., session: ..., operationQueue: ...>"
    std::string description() const override;
    std::string className() const override { return archiveClassName(); }

  protected:
    HCHTTPSessionManager() = default;
    void initWithBaseURL(NSURLPtr baseURL, NSURLSessionConfigurationPtr configuration);
    std::shared_ptr<HCURLSessionManager> newManager(
        NSURLSessionConfigurationPtr configuration) const override;

  private:
    using BuildRequest = std::function<std::optional<NSMutableURLRequest>(
        HCHTTPRequestSerializer& serializer, const NSURLPtr& resolvedURL, const std::string& resolvedString,
        NSErrorPtr* error)>;

    void failLater(FailureBlock failure, NSErrorPtr error) const;
    // Resolves the URL against the base URL and builds the request through the serializer; on failure
    // the caller's failure block is called later and nothing is returned.
    std::optional<NSMutableURLRequest> buildRequest(const std::string& URLString, const BuildRequest& build,
                                                    FailureBlock& failure) const;
    // Creates the task through `make` with a handler that reports exactly one of success or failure,
    // with the task this call returns.
    template <class Make>
    static NSURLSessionDataTaskPtr withOutcome(const Make& make, SuccessBlock success, FailureBlock failure);

    NSURLPtr baseURL_;
    mutable std::mutex requestSerializerMutex_;
    std::shared_ptr<HCHTTPRequestSerializer> requestSerializer_;
};

using HCHTTPSessionManagerPtr = std::shared_ptr<HCHTTPSessionManager>;
