// Server trust: the challenge put to the delegate inside each new TLS handshake, and its answer.
#include "platform/net/URLSessionInternal.h"

#include "platform/foundation/Format.h"

using namespace URLSessionSupport;

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
    auto trust =
        SecTrust::create(certificates, {SecPolicy::createSSL(SecPolicy::Side::Server, host)}, &status);
    if (!trust)
        return secureFailure("cannot make a trust for the server's chain (" + std::to_string(status) + ")");

    auto untrusted = [&](const NSErrorPtr& why) {
        Value::Dictionary info = NSURLError(NSURLErrorServerCertificateUntrusted, url)->userInfo();
        info[NSLocalizedDescriptionKey] = Value(
            NSString::format("The certificate for this server is invalid. You might be connecting to a "
                             "server that is pretending "
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
    t.lastActivity = SteadyClock::now();      // the time the delegate took is not the server's silence
    if (!answered) return defaultHandling();  // the delegate has no say
    if (t.failure) return false;              // cancelled or timed out while waiting
    switch (answer.disposition) {
        case NSURLSessionAuthChallengeDisposition::UseCredential:
            if (answer.credential && answer.credential->serverTrust() == trust) return true;
            return untrusted(
                NSError::withDescription(NSURLErrorDomain, NSURLErrorServerCertificateUntrusted,
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
    NSURLSession::Impl& impl = *t.impl;
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
    impl.enqueue(
        [&owner, session, task, challenge, handler = std::move(handler), sessionLevel] {
            auto current = owner.currentDelegate();
            if (!current) {
                handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
            } else if (sessionLevel) {
                current->didReceiveChallenge(session, challenge, handler);
            } else {
                current->taskDidReceiveChallenge(session, task, challenge, handler);
            }
        },
        NSURLSession::Impl::Wake::Now);  // this thread waits for the answer below
    double seconds = t.idleTimeout;
    if (t.resourceTimeout > 0)
        seconds = std::min(seconds, std::max(0.0, t.resourceTimeout - secondsSince(t.started)));
    auto deadline = SteadyClock::now() +
                    std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
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
