// Error texts, configurations, the delegate's defaults and the authentication objects.
#include "platform/net/URLSession.h"

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
        case NSURLErrorDataLengthExceedsMaximum:
            return "data length exceeds maximum";
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
void NSURLSessionDelegate::didBecomeDownloadTask(const SessionPtr&, const NSURLSessionDataTaskPtr&,
                                                 const NSURLSessionDownloadTaskPtr&) {}
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
void NSURLSessionDelegate::didWriteData(const SessionPtr&, const NSURLSessionDownloadTaskPtr&, int64_t,
                                        int64_t, int64_t) {}
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
    NSURLProtectionSpacePtr protectionSpace, long previousFailureCount,
    NSURLCredentialPtr proposedCredential) {
    auto challenge = std::shared_ptr<NSURLAuthenticationChallenge>(new NSURLAuthenticationChallenge());
    challenge->space_ = std::move(protectionSpace);
    challenge->failures_ = previousFailureCount;
    challenge->proposed_ = std::move(proposedCredential);
    return challenge;
}
